#include "services/pop3/pop3_intake.h"

#include "core/addr/sock_addr.h"
#include "core/net/connection.h"
#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/task/shutdown.h"
#include "core/task/task.h"
#include "core/task/tick_clock.h"
#include "core/tls/tls_connection.h"
#include "services/mail/mail_text.h"
#include "services/mail/smtp_client.h"
#include "services/pop3/mail_commands.h"
#include "services/pop3/mail_grammar.h"
#include "services/pop3/mail_message.h"
#include "services/update/firmware_update.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

enum Pop3Code {
    kPop3DnsDone = 2,
    kPop3Connected = 3,
    kPop3Greeted = 4,
    kPop3LoggedIn = 5,
    kPop3Done = 6,
    kPop3Ended = 7,  // the box restarts for what a mail asked
    kErrApopLogin = 8,
    kErrApopStamp = 9,
    kErrConnect = 10,
    kErrDele = 12,
    kErrDns = 13,
    kErrList = 14,
    kErrPassword = 20,
    kErrRetr = 22,
    kErrScan = 23,
    kErrStat = 25,
    kErrStatScan = 26,
    kErrUser = 27,
};

constexpr int kConnectTicks = 1000;
constexpr int64_t kReceiveTicks = 6000;
constexpr int kSendTicks = 6000;
constexpr size_t kMaxStatusLine = 4096;
// A header read with TOP is kept up to this size; the rest is read and
// dropped, and the mail counts as malformed.
constexpr size_t kMaxHeaderBytes = 256 * 1024;
// What a server may send beyond the size it listed (line ends, a final dot).
constexpr size_t kSizeSlack = 64 * 1024;
constexpr size_t kMaxListedMails = 4096;

struct MailRef {
    int number;
    long long size;
};

std::atomic<int> progress{1};
std::atomic<int> lastError{0};
std::atomic<int> received{0};
std::atomic<int> refused{0};
std::mutex tlsInfoMutex;
std::string tlsInfo;

void raiseProgress(int code)
{
    int now = progress.load();
    while (code > now && !progress.compare_exchange_weak(now, code)) {
    }
}

// Everything a poll holds lives here, not on the stack: a stop message can
// end the thread inside any wait without unwinding it, and what this object
// owns stays reachable.
struct Pop3Intake {
    TlsConnection* conn = nullptr;
    std::string pending;  // received, not consumed yet
    std::string text;     // the current mail's text, dots unstuffed
    std::string line;
    std::vector<MailRef> mails;
    MailMessage mail;
    MailOutcome outcome;
    std::vector<std::string> to;
    std::string subject;
    char chunk[4096];
    int networkFlags = 0;
    bool restart = false;
    int updateFd = -1;
};

Pop3Intake& intake()
{
    static Pop3Intake* state = new Pop3Intake;
    return *state;
}

bool connectTo(Pop3Intake& in, const SockAddr& server, int port, bool tls)
{
    const int vlan = params::ip4vlan_mgmt()->isOn() ? params::ip4vlan_mgmt_id()->value() : -1;
    in.conn = new TlsConnection(Task::current(), &wiredInterface(), vlan);
    if (!in.conn->open(server.family() == AF_INET6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0))
        return false;
    in.conn->peer = server;
    if (server.family() == AF_INET6)
        in.conn->peer.in6.sin6_port = htons(static_cast<uint16_t>(port));
    else
        in.conn->peer.in4.sin_port = htons(static_cast<uint16_t>(port));
    if (vlan >= 0)
        in.conn->bindToDevice();
    in.conn->setNonBlocking();
    return in.conn->connectWithTls(kConnectTicks, tls) == 1;
}

// More bytes into pending; a message that ends the wait early is no
// failure, only the deadline or a broken connection is.
bool receiveMore(Pop3Intake& in, uint64_t deadline)
{
    for (uint64_t now = boardTicks(); now < deadline; now = boardTicks()) {
        const int n = in.conn->receiveSome(in.chunk, sizeof in.chunk, static_cast<int64_t>(deadline - now));
        if (n > 0) {
            in.pending.append(in.chunk, static_cast<size_t>(n));
            return true;
        }
        if (n < 0)
            return false;
    }
    return false;
}

// The next line (without CR LF) into in.line.
bool readLine(Pop3Intake& in)
{
    const uint64_t deadline = boardTicks() + kReceiveTicks;
    for (;;) {
        const size_t lf = in.pending.find('\n');
        if (lf != std::string::npos) {
            in.line.assign(in.pending, 0, lf);
            if (!in.line.empty() && in.line.back() == '\r')
                in.line.pop_back();
            in.pending.erase(0, lf + 1);
            return true;
        }
        if (in.pending.size() > kMaxStatusLine || !receiveMore(in, deadline))
            return false;
    }
}

bool send(Pop3Intake& in, const char* text)
{
    const int n = static_cast<int>(strlen(text));
    return in.conn->send(text, n, kSendTicks, false) == n;
}

// Sends the command (when given) and reads the status line: "+OK" or not.
bool command(Pop3Intake& in, const char* text)
{
    if (text && !send(in, text))
        return false;
    return readLine(in) && in.line.compare(0, 3, "+OK") == 0;
}

// The lines of a multi-line answer up to the line "." into in.text, the
// leading dot of stuffed lines removed. At most keep bytes are kept
// (*cut tells); more than limit bytes in all fail the session.
bool readMultiLine(Pop3Intake& in, size_t keep, size_t limit, bool* cut)
{
    in.text.clear();
    *cut = false;
    size_t total = 0;
    for (;;) {
        const uint64_t deadline = boardTicks() + kReceiveTicks;
        size_t lf;
        while ((lf = in.pending.find('\n')) == std::string::npos) {
            if (in.pending.size() > limit || !receiveMore(in, deadline))
                return false;
        }
        std::string_view line(in.pending.data(), lf + 1);
        total += line.size();
        if (line == ".\r\n" || line == ".\n") {
            in.pending.erase(0, lf + 1);
            return true;
        }
        if (total > limit)
            return false;
        if (line.front() == '.')
            line.remove_prefix(1);
        if (in.text.size() + line.size() <= keep)
            in.text.append(line);
        else
            *cut = true;
        in.pending.erase(0, lf + 1);
    }
}

// A parameter's text without control characters into a fixed array (no
// heap text is held across the waits of the login).
void credential(StringParam* p, char* out, size_t size)
{
    std::shared_ptr<const std::string> v = p->value();
    snprintf(out, size, "%s", v ? mailHeaderText(*v).c_str() : "");
}

bool login(Pop3Intake& in)
{
    char user[130];
    char password[130];
    char cmd[300];
    credential(params::pop3_usr(), user, sizeof user);
    credential(params::pop3_pwd(), password, sizeof password);
    if (params::pop3_sec()->value() == 1) {
        char hex[33];
        if (!apopDigest(in.line.data(), in.line.size(), password, hex)) {
            lastError.store(kErrApopStamp);
            return false;
        }
        snprintf(cmd, sizeof cmd, "APOP %s %s\r\n", user, hex);
        if (!command(in, cmd)) {
            lastError.store(kErrApopLogin);
            return false;
        }
        return true;
    }
    snprintf(cmd, sizeof cmd, "USER %s\r\n", user);
    if (!command(in, cmd)) {
        lastError.store(kErrUser);
        return false;
    }
    snprintf(cmd, sizeof cmd, "PASS %s\r\n", password);
    const bool ok = command(in, cmd);
    explicit_bzero(password, sizeof password);
    explicit_bzero(cmd, sizeof cmd);
    if (!ok) {
        lastError.store(kErrPassword);
        return false;
    }
    return true;
}

bool readMailList(Pop3Intake& in)
{
    int count = 0;
    long long octets = 0;
    if (!command(in, "STAT\r\n")) {
        lastError.store(kErrStat);
        return false;
    }
    if (sscanf(in.line.c_str() + 3, "%d %lld", &count, &octets) != 2) {
        lastError.store(kErrStatScan);
        return false;
    }
    {
        char text[140] = "";
        in.conn->describeTls(text, sizeof text);
        std::lock_guard<std::mutex> lock(tlsInfoMutex);
        tlsInfo = text;
    }
    bool cut = false;
    if (!command(in, "LIST\r\n") || !readMultiLine(in, kMaxListedMails * 32, kMaxListedMails * 64, &cut)) {
        lastError.store(kErrList);
        return false;
    }
    in.mails.clear();
    for (std::string_view line : splitMailLines(in.text)) {
        MailRef ref{0, 0};
        if (sscanf(std::string(line).c_str(), "%d %lld", &ref.number, &ref.size) != 2 || ref.size < 0)
            break;
        in.mails.push_back(ref);
    }
    return true;
}

// A sender an answer can go to: one address, nothing an SMTP command could
// take for more.
bool isReplyAddress(const std::string& from)
{
    return !from.empty() && from.find('@') != std::string::npos
           && from.find_first_of(" \t<>,;\"") == std::string::npos;
}

void sendAnswer(Pop3Intake& in)
{
    if (in.outcome.answer.empty() || !isReplyAddress(in.mail.header.from))
        return;
    in.to.assign(1, in.mail.header.from);
    in.subject.assign("Re: ");
    in.subject += in.mail.header.subject;
    if (!sendSmtpMail(in.to, in.subject, in.outcome.answer.data(), in.outcome.answer.size()))
        fprintf(stderr, "answer to %s not sent: %s\n", in.mail.header.from.c_str(),
                mailStatusText(smtpStatus().error));
}

void commitParameters(Pop3Intake& in)
{
    if (in.outcome.paramFlags == 0)
        return;
    const int flags = saveParamsIfDirty();
    in.networkFlags |= flags & kChangedNetwork;
    in.restart = in.restart || (flags & kChangedRestart);
}

// Reads the mail (the header, and all of it when the command needs it)
// into in.mail. false when the session failed.
bool readMail(Pop3Intake& in, const MailRef& ref)
{
    char cmd[64];
    bool cut = false;
    snprintf(cmd, sizeof cmd, "TOP %d 0\r\n", ref.number);
    if (!command(in, cmd)) {
        lastError.store(kErrRetr);
        return false;
    }
    const size_t limit = static_cast<size_t>(ref.size) + kSizeSlack;
    if (!readMultiLine(in, kMaxHeaderBytes, limit, &cut)) {
        lastError.store(kErrScan);
        return false;
    }
    in.mail = readMailMessage(in.text, true);
    if (cut)
        in.mail.problem = "mail header too large";
    const int commandCode = parseMailCommand(in.mail.header.subject.data(), in.mail.header.subject.size());
    const bool withinLimit = ref.size / 1024 <= params::pop3_limit()->value();
    if (in.mail.problem || !withinLimit || !mailCommandNeedsBody(commandCode))
        return true;
    snprintf(cmd, sizeof cmd, "RETR %d\r\n", ref.number);
    if (!command(in, cmd)) {
        lastError.store(kErrRetr);
        return false;
    }
    const size_t keep = static_cast<size_t>(params::pop3_limit()->value()) * 1024 + kSizeSlack;
    if (!readMultiLine(in, keep, limit + keep, &cut)) {
        lastError.store(kErrScan);
        return false;
    }
    in.mail = readMailMessage(in.text);
    if (cut)
        in.mail.problem = "mail larger than the limit";
    return true;
}

// One mail: read, handled, answered, deleted. false when the session
// failed.
bool handleOne(Pop3Intake& in, const MailRef& ref)
{
    in.mail = MailMessage{};
    in.outcome = MailOutcome{};
    received.fetch_add(1);
    if (!readMail(in, ref))
        return false;
    const int commandCode = parseMailCommand(in.mail.header.subject.data(), in.mail.header.subject.size());
    in.outcome = handleMailCommand(in.mail, commandCode, ref.size);
    if (in.outcome.refused)
        refused.fetch_add(1);
    commitParameters(in);
    if (in.outcome.updateFd >= 0)
        in.updateFd = in.outcome.updateFd;
    sendAnswer(in);
    char cmd[64];
    snprintf(cmd, sizeof cmd, "DELE %d\r\n", ref.number);
    if (!command(in, cmd))
        lastError.store(kErrDele);
    return true;
}

bool runSession(Pop3Intake& in, const SockAddr& server)
{
    const bool tls = params::pop3_sec()->value() == 2;
    if (!connectTo(in, server, params::pop3_port()->value(), tls)) {
        lastError.store(kErrConnect);
        return false;
    }
    raiseProgress(kPop3Connected);
    if (!readLine(in) || in.line.compare(0, 3, "+OK") != 0) {
        lastError.store(kErrConnect);
        return false;
    }
    raiseProgress(kPop3Greeted);
    // The greeting is in in.line: APOP takes its time stamp.
    if (!login(in))
        return false;
    raiseProgress(kPop3LoggedIn);
    if (!readMailList(in))
        return false;
    // A restart or an update waits for the next start: the mails after it
    // stay in the box until then.
    for (const MailRef& ref : in.mails) {
        if (in.restart || in.updateFd >= 0)
            break;
        if (!handleOne(in, ref))
            return false;
    }
    return true;
}

void closeSession(Pop3Intake& in)
{
    if (!in.conn)
        return;
    if (in.conn->state != kConnClosed && send(in, "QUIT\r\n"))
        readLine(in);
    in.conn->closeSession();
    in.conn = nullptr;
    in.pending.clear();
}

// What the mails asked for that must wait until the session is over.
void actAfterSession(Pop3Intake& in)
{
    if (in.networkFlags) {
        TaskMessage msg{0, MSG_NETWORK_CHANGED, 0, 0};
        broadcastMessage(&msg);
    }
    if (in.updateFd >= 0) {
        if (startUpdate(in.updateFd, true) < 0)
            fprintf(stderr, "%s: the update from a mail could not start\n", "pollPop3");
        else
            raiseProgress(kPop3Ended);
    } else if (in.restart) {
        raiseProgress(kPop3Ended);
        startShutdownTask(1);
    }
    in.networkFlags = 0;
    in.restart = false;
    in.updateFd = -1;
}

bool resolveServer(SockAddr* server)
{
    const std::string name = params::pop3_srv()->text();
    return !name.empty() && server->resolve(name.c_str());
}

} // namespace

Pop3Status pop3Status()
{
    std::lock_guard<std::mutex> lock(tlsInfoMutex);
    return Pop3Status{progress.load(), lastError.load(), received.load(), refused.load(), tlsInfo};
}

bool apopDigest(const char* greeting, size_t length, const char* password, char* hex)
{
    std::string_view g(greeting, length);
    const size_t close = g.rfind('>');
    const size_t open = close == std::string_view::npos ? close : g.rfind('<', close);
    if (open == std::string_view::npos || close - open + 1 < 8)
        return false;
    std::string text(g.substr(open, close - open + 1));
    text += password;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &n, EVP_md5(), nullptr) != 1 || n != 16)
        return false;
    for (unsigned int i = 0; i < n; ++i)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return true;
}

int pollPop3()
{
    if (!params::pop3()->isOn())
        return 0;
    SockAddr server;
    if (!resolveServer(&server)) {
        lastError.store(kErrDns);
        return 0;
    }
    raiseProgress(kPop3DnsDone);
    Pop3Intake& in = intake();
    const bool ok = runSession(in, server);
    if (ok)
        raiseProgress(kPop3Done);
    closeSession(in);
    actAfterSession(in);
    in.mail = MailMessage{};
    in.text.clear();
    return ok ? 1 : 0;
}
