// What the TLS tests share: key pairs made once per test program with the
// openssl command (a 1024-bit self-signed pair as the box's default, 2048-bit
// pairs for imports), a box root with the pairs installed under "/flash", a
// test-driven clock, an OpenSSL client for the far end of a socket, and a
// background process (openssl s_server) that the test starts and ends.
#pragma once

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/task/tick_clock.h"
#include "support/private_netns.h"
#include "support/temp_box_root.h"

namespace tlstest {

// Key and certificate files in a directory of their own, made once.
class KeyMaterial {
public:
    static const KeyMaterial& get()
    {
        static KeyMaterial made;
        return made;
    }
    KeyMaterial(const KeyMaterial&) = delete;
    KeyMaterial& operator=(const KeyMaterial&) = delete;
    ~KeyMaterial()
    {
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }

    bool ok() const { return ok_; }
    // "<name>.key" / "<name>.crt" for the names made below.
    std::string key(const std::string& name) const { return dir_ + "/" + name + ".key"; }
    std::string cert(const std::string& name) const { return dir_ + "/" + name + ".crt"; }

private:
    KeyMaterial()
    {
        char pattern[] = "/tmp/wev-tls-keys-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made)
            return;
        dir_ = made;
        ok_ = make("self", 1024) && make("imported", 2048) && make("other", 2048);
    }

    bool make(const std::string& name, int bits) const
    {
        const netns::Result r = netns::run("openssl req -x509 -newkey rsa:" + std::to_string(bits)
                                           + " -nodes -sha256 -days 3650 -subj /CN=wev-" + name + " -keyout "
                                           + key(name) + " -out " + cert(name));
        return r.status == 0;
    }

    std::string dir_;
    bool ok_ = false;
};

inline std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// Installs key material as a pair of kind 0 ("cert_pkey"/"cert_srv"), 1
// ("cert_fpkey"/"cert_fsrv") or 2 ("cert_rpriv"/"cert_rcert").
inline void installPair(const TempBoxRoot& root, int kind, const std::string& keyName, const std::string& certName)
{
    static const char* const keys[] = {"/flash/cert_pkey.pem", "/flash/cert_fpkey.pem", "/flash/cert_rpriv.pem"};
    static const char* const certs[] = {"/flash/cert_srv.pem", "/flash/cert_fsrv.pem", "/flash/cert_rcert.pem"};
    const KeyMaterial& keysMade = KeyMaterial::get();
    root.writeFile(keys[kind], fileText(keysMade.key(keyName)));
    root.writeFile(certs[kind], fileText(keysMade.cert(certName)));
}

// The subject common name of a certificate, "" for none.
inline std::string commonName(X509* cert)
{
    if (!cert)
        return "";
    char text[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, text, sizeof text);
    return text;
}

// boardTicks() under the test's control while an object lives.
class ManualClock {
public:
    explicit ManualClock(uint64_t start = 1000)
    {
        now().store(start);
        reads().store(0);
        setTickSourceForTest([] {
            reads().fetch_add(1);
            return now().load();
        });
    }
    ~ManualClock() { setTickSourceForTest(nullptr); }
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    void set(uint64_t ticks) { now().store(ticks); }
    uint64_t get() const { return now().load(); }
    // How often the program read the clock since this object was made: a
    // wait that counts from its start has taken its start time once this
    // is above 0.
    int readCount() const { return reads().load(); }

private:
    static std::atomic<uint64_t>& now()
    {
        static std::atomic<uint64_t> ticks{0};
        return ticks;
    }
    static std::atomic<int>& reads()
    {
        static std::atomic<int> count{0};
        return count;
    }
};

// An OpenSSL client context that takes what the box offers: any version
// from 1.0 to 1.2 (or the one given), security level 0, no verification.
inline SSL_CTX* clientContext(int version = 0, const char* ciphers = nullptr)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx)
        return nullptr;
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_min_proto_version(ctx, version ? version : TLS1_VERSION);
    SSL_CTX_set_max_proto_version(ctx, version ? version : TLS1_2_VERSION);
    if (ciphers)
        SSL_CTX_set_cipher_list(ctx, ciphers);
    return ctx;
}

// A process started through sh -c (use "exec" so the pid is the program's
// own); its joined output is read on demand. Killed when the object goes.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const std::string& command)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            int null = open("/dev/null", O_RDONLY);
            if (null >= 0)
                dup2(null, STDIN_FILENO);
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~BackgroundProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Reads output until it holds text or limitMs pass; whether it does.
    bool waitFor(const std::string& text, int limitMs = 10000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (output_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || out_ < 0)
                return false;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char chunk[1024];
            ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0)
                return output_.find(text) != std::string::npos;
            output_.append(chunk, static_cast<size_t>(n));
        }
        return true;
    }
    const std::string& output() const { return output_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

// The openssl command's line for a client that accepts the box's old
// versions and 1024-bit keys.
constexpr const char* kOldClientOptions = "-cipher DEFAULT@SECLEVEL=0";

}  // namespace tlstest
