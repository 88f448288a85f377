#include "core/cert/cert_files.h"

#include "core/util/byte_buffer.h"
#include "support/cert_test_support.h"

#include <gtest/gtest.h>

#include <set>
#include <unistd.h>

using namespace certtest;

namespace {

std::set<std::string> filesIn(const std::string& dir)
{
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

class CertFilesTest : public CertFixture {};

} // namespace

TEST_F(CertFilesTest, TableAndPathsLieUnderTheRoot)
{
    const char* names[CERT_FILE_COUNT] = {"cert_pkey.pem", "cert_fpkey.pem", "cert_rpriv.pem", "cert_srv.pem",
                                          "cert_fsrv.pem", "cert_rcert.pem", "cert_req.pem",   "cert_mime.pem",
                                          "cert_root.pem", "cert.tmp"};
    for (int i = 0; i < CERT_FILE_COUNT; ++i) {
        EXPECT_EQ(std::string(certFiles[i]), std::string("/flash/") + names[i]);
        EXPECT_EQ(certFilePath(i), root.dir() + "/flash/" + names[i]);
    }
    EXPECT_EQ(certFilePath(-1), "");
    EXPECT_EQ(certFilePath(CERT_FILE_COUNT), "");
    EXPECT_EQ(caFilePath(0x1a2bUL), root.dir() + "/flash/00001a2b.0");
    EXPECT_EQ(caFilePath(0xdeadbeefUL), root.dir() + "/flash/deadbeef.0");

    struct Pair {
        int kind, key, cert;
    } pairs[] = {{0, CERT_PKEY, CERT_SRV}, {1, CERT_FPKEY, CERT_FSRV}, {2, CERT_RPRIV, CERT_RCERT}, {3, -1, -1}, {-1, -1, -1}};
    for (const Pair& p : pairs) {
        EXPECT_EQ(certPairKeyIndex(p.kind), p.key) << p.kind;
        EXPECT_EQ(certPairCertIndex(p.kind), p.cert) << p.kind;
    }
    EXPECT_EQ(certRealPath("/flash/x.0"), root.dir() + "/flash/x.0");
    EXPECT_EQ(certRealPath((root.dir() + "/flash/x.0").c_str()), root.dir() + "/flash/x.0");
}

TEST_F(CertFilesTest, AtomicWriteSetsTheModeWhateverTheUmask)
{
    UmaskZero zero;
    std::string key = flash(CERT_PKEY);
    std::string cert = flash(CERT_SRV);
    ASSERT_EQ(writeCertFileAtomic(key, "KEY", 3, 0600), 1);
    ASSERT_EQ(writeCertFileAtomic(cert, "CERT", 4, 0644), 1);
    EXPECT_EQ(modeOf(key), 0600u);
    EXPECT_EQ(modeOf(cert), 0644u);

    // A file left world-writable before is replaced by a private one.
    chmod(key.c_str(), 0666);
    ASSERT_EQ(writeCertFileAtomic(key, "KEY2", 4, 0600), 1);
    EXPECT_EQ(readAll(key), "KEY2");
    EXPECT_EQ(modeOf(key), 0600u);
    EXPECT_EQ(filesIn(path("/flash")), (std::set<std::string>{"cert_pkey.pem", "cert_srv.pem"}));

    // No directory: nothing written, nothing left.
    EXPECT_EQ(writeCertFileAtomic(path("/nowhere/cert.pem"), "X", 1, 0644), 0);
    EXPECT_FALSE(fs::exists(path("/nowhere")));
}

// A kill in the middle of a write leaves temporary files (one may hold a
// private key) and backup links in /flash; only those go at start-up.
TEST_F(CertFilesTest, InterruptedWritesLeaveNothingAfterTheCleanUp)
{
    const std::set<std::string> leftovers = {
        "cert_pkey.pem.a1B2c3", "cert_srv.pem.ZZZZZZ", "cert_fpkey.pem.q9W8e7b", "cert_root.pem.000000",
        "1a2b3c4d.0.AbCdEf",    "cert.tmp.xYz123",
    };
    const std::set<std::string> kept = {
        "cert_pkey.pem",        "cert_srv.pem",         "1a2b3c4d.0",          "mine.pem.a1B2c3",
        "cert_pkey.pem.a1B2c",  "cert_pkey.pem.a1B2c3d", "cert_pkey.pem.a1-2c3", "cert_pkey.pem.tmp",
        "1a2b3c4g.0.AbCdEf",    "wev.cramfs",
    };
    for (const std::string& name : leftovers)
        writeAll(path("/flash/" + name), "x");
    for (const std::string& name : kept)
        writeAll(path("/flash/" + name), "x");
    ASSERT_EQ(symlink("cert_srv.pem", path("/flash/cert_root.pem.Qw3rty").c_str()), 0);

    EXPECT_EQ(removeInterruptedCertWrites(), static_cast<int>(leftovers.size()) + 1);
    EXPECT_EQ(filesIn(path("/flash")), kept);
    EXPECT_EQ(removeInterruptedCertWrites(), 0);
}

TEST_F(CertFilesTest, ASetIsReplacedWholeOrNotAtAll)
{
    std::string cert = flash(CERT_SRV);
    std::string key = flash(CERT_PKEY);
    writeAll(cert, "OLD CERT");
    writeAll(key, "OLD KEY");

    // The second rename fails (a directory is in the way): the first file
    // gets its old content back.
    fs::remove(key);
    fs::create_directories(key + "/blocker");
    CertFileContent files[] = {{cert, "NEW CERT", 0644}, {key, "NEW KEY", 0600}};
    EXPECT_EQ(replaceCertFiles(files, 2), 0);
    EXPECT_EQ(readAll(cert), "OLD CERT");
    EXPECT_EQ(filesIn(path("/flash")), (std::set<std::string>{"cert_srv.pem", "cert_pkey.pem"}))
        << "no temporary or backup file is left";

    // A first file that did not exist before is removed again.
    fs::remove(cert);
    EXPECT_EQ(replaceCertFiles(files, 2), 0);
    EXPECT_FALSE(fs::exists(cert));

    fs::remove_all(key);
    ASSERT_EQ(replaceCertFiles(files, 2), 1);
    EXPECT_EQ(readAll(cert), "NEW CERT");
    EXPECT_EQ(readAll(key), "NEW KEY");
    EXPECT_EQ(modeOf(key), 0600u);
    EXPECT_EQ(filesIn(path("/flash")), (std::set<std::string>{"cert_srv.pem", "cert_pkey.pem"}));
}

TEST_F(CertFilesTest, DeleteRemovesTheFileAndItsCardCopy)
{
    setMirror(true);
    for (const char* name : {"cert_mime.pem", "cert.tmp", "0badcafe.0"}) {
        writeAll(path("/flash/") + name, "x");
        writeAll(card(name), "x");
    }
    EXPECT_EQ(deleteCertFile(CERT_MIME), 1);
    EXPECT_FALSE(fs::exists(flash(CERT_MIME)));
    EXPECT_FALSE(fs::exists(card("cert_mime.pem")));

    // Index 9 names a CA file by its path, box path or under the root.
    EXPECT_EQ(deleteCertFile(CERT_TMP, "/flash/0badcafe.0"), 1);
    EXPECT_FALSE(fs::exists(path("/flash/0badcafe.0")));
    EXPECT_FALSE(fs::exists(card("0badcafe.0")));
    EXPECT_TRUE(fs::exists(flash(CERT_TMP)));
    EXPECT_EQ(deleteCertFile(CERT_TMP, ""), 1);
    EXPECT_FALSE(fs::exists(flash(CERT_TMP)));
    EXPECT_FALSE(fs::exists(card("cert.tmp")));

    // A name from a form cannot reach outside "/flash".
    root.writeFile("/etc/params.0", "keep");
    EXPECT_EQ(deleteCertFile(CERT_TMP, "/flash/../etc/params.0"), 0);
    EXPECT_EQ(deleteCertFile(CERT_TMP, "/etc/params.0"), 0);
    EXPECT_EQ(deleteCertFile(CERT_TMP, "/flash/sub/x.0"), 0);
    EXPECT_EQ(readAll(path("/etc/params.0")), "keep");

    EXPECT_EQ(deleteCertFile(CERT_REQ), 1) << "a missing file is gone already";
    EXPECT_EQ(deleteCertFile(10), 0);
    EXPECT_EQ(deleteCertFile(-1), 0);

    // Without the card taking copies, the card is left alone.
    setMirror(false);
    writeAll(flash(CERT_MIME), "x");
    writeAll(card("cert_mime.pem"), "x");
    EXPECT_EQ(deleteCertFile(CERT_MIME), 1);
    EXPECT_TRUE(fs::exists(card("cert_mime.pem")));
}

TEST_F(CertFilesTest, RootLinkIsReplacedAndMirrored)
{
    setMirror(true);
    writeAll(path("/flash/11111111.0"), "CA ONE");
    writeAll(path("/flash/22222222.0"), "CA TWO");
    ASSERT_EQ(setRootCertificate("/flash/11111111.0"), 1);
    std::string link = flash(CERT_ROOT);
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string(), "11111111.0") << "linked by name, valid under any root";
    EXPECT_EQ(readAll(link), "CA ONE");
    EXPECT_EQ(readAll(card("cert_root.pem")), "CA ONE");

    ASSERT_EQ(setRootCertificate((root.dir() + "/flash/22222222.0").c_str()), 1);
    EXPECT_EQ(readAll(link), "CA TWO");
    EXPECT_EQ(readAll(card("cert_root.pem")), "CA TWO");
    for (const char* outside : {"", "/etc/passwd", "/flash/../etc/passwd", "/flash/..", "/flash/cert_root.pem"})
        EXPECT_EQ(setRootCertificate(outside), 0) << outside;
    EXPECT_EQ(readAll(link), "CA TWO");
}

TEST_F(CertFilesTest, RestoreFromTheCardLeavesOutTheSelfSignedPair)
{
    UmaskZero zero;
    std::string dir = path("/var/slot1");
    for (const char* name : {"cert_pkey.pem", "cert_srv.pem", "cert_fpkey.pem", "cert_fsrv.pem", "cert_rpriv.pem",
                             "cert_rcert.pem", "cert_req.pem", "cert_mime.pem", "cert_root.pem", "cert.tmp",
                             "1a2b3c4d.0", "abc.0", "12345678.1"})
        writeAll(dir + "/" + name, std::string("card ") + name);
    writeAll(flash(CERT_FSRV), "old flash copy");
    writeAll(flash(CERT_PKEY), "own key");

    EXPECT_EQ(restoreCertsFromMirror("/var/slot1"), 1);
    EXPECT_EQ(filesIn(path("/flash")),
              (std::set<std::string>{"cert_pkey.pem", "cert_fpkey.pem", "cert_fsrv.pem", "cert_rpriv.pem",
                                     "cert_rcert.pem", "cert_req.pem", "cert_mime.pem", "cert_root.pem", "1a2b3c4d.0"}));
    EXPECT_EQ(readAll(flash(CERT_PKEY)), "own key");
    EXPECT_EQ(readAll(flash(CERT_FSRV)), "card cert_fsrv.pem");
    EXPECT_EQ(readAll(path("/flash/1a2b3c4d.0")), "card 1a2b3c4d.0");
    EXPECT_EQ(modeOf(flash(CERT_FPKEY)), 0600u);
    EXPECT_EQ(modeOf(flash(CERT_RPRIV)), 0600u);
    EXPECT_EQ(modeOf(flash(CERT_FSRV)), 0644u);
}

TEST_F(CertFilesTest, ReadIntoTheBuffersFreeSpace)
{
    writeAll(flash(CERT_REQ), "REQUEST TEXT");
    ByteBuffer buffer;
    ASSERT_EQ(buffer.reserve(64), 1);
    buffer.appendf("head:");
    ASSERT_EQ(readCertFile(CERT_REQ, &buffer), 1);
    EXPECT_EQ(std::string(buffer.cursor, static_cast<size_t>(buffer.length)), "head:REQUEST TEXT");

    // Only what fits is read.
    ByteBuffer small;
    ASSERT_EQ(small.reserve(7), 1);
    ASSERT_EQ(readCertFile(CERT_REQ, &small), 1);
    EXPECT_EQ(std::string(small.cursor, static_cast<size_t>(small.length)), "REQUEST");

    EXPECT_EQ(readCertFile(CERT_MIME, &buffer), 0);
    EXPECT_EQ(readCertFile(42, &buffer), 0);
}
