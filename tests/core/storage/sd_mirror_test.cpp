#include "core/storage/sd_mirror.h"

#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "core/storage/sd_card_state.h"
#include "core/task/tick_clock.h"
#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int32_t FEATURE_SD_CARD = 0x200000;

std::atomic<uint64_t> fakeTicks{0};
uint64_t fakeTickSource()
{
    return fakeTicks.load();
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> crlfLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no CR LF>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::set<std::string> filesIn(const std::string& dir)
{
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

class SdMirrorTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.ok());
        root.writeFile("/conf.d/firmware_params", "firmware_version=21\n");
        root.useProduct("product_name=Test Box 12\ndefault_name=TB-0102\nhw_project=12\nyear=2024\nmonth=3\n"
                        "serial_no=42\nethaddr0=00:c0:eb:01:02:0a\nhw_major=2\nhw_minor=1\n");
        fs::create_directories(root.dir() + "/flash");
        fs::create_directories(root.dir() + "/var/slot1");
        savedFeatures = params::sw_features()->value();
        savedAutoSync = params::autoSync()->value();
        savedSysName = *params::sys_name()->value();
        params::sw_features()->setValue(savedFeatures | FEATURE_SD_CARD);
        params::autoSync()->setValue(1);
        setSdCardState(kSdCardMounted);
        fakeTicks.store(100000);
        setTickSourceForTest(fakeTickSource);
        resetLogFileStampForTest();
    }
    void TearDown() override
    {
        setTickSourceForTest(nullptr);
        setSdCardState(kSdCardRemoved);
        params::sw_features()->setValue(savedFeatures);
        params::autoSync()->setValue(savedAutoSync);
        params::sys_name()->set(savedSysName.c_str(), -1);
        resetLogFileStampForTest();
    }
    std::string path(const char* boxFile) const { return root.dir() + boxFile; }
    std::string logFile() const { return path("/var/slot1/TB-0102.log"); }

    TempBoxRoot root;
    int32_t savedFeatures = 0;
    int32_t savedAutoSync = 0;
    std::string savedSysName;
};

} // namespace

TEST_F(SdMirrorTest, MirrorsAFlashFileAndWritesTheLog)
{
    root.writeFile("/flash/cert_root.pem", "ROOT CA");
    EXPECT_EQ(mirrorToSdCard("/flash/cert_root.pem"), 1);
    EXPECT_EQ(readAll(path("/var/slot1/cert_root.pem")), "ROOT CA");
    EXPECT_TRUE(fs::exists(logFile()));

    // The same file named by its path under the root.
    root.writeFile("/flash/cert_root.pem", "ROOT CA 2");
    EXPECT_EQ(mirrorToSdCard(path("/flash/cert_root.pem").c_str()), 1);
    EXPECT_EQ(readAll(path("/var/slot1/cert_root.pem")), "ROOT CA 2");
}

TEST_F(SdMirrorTest, CopiesArePrivateAndReplaceTheOldOneWhole)
{
    root.writeFile("/flash/cert_rpriv.pem", "KEY");
    chmod(path("/flash/cert_rpriv.pem").c_str(), 0600);
    root.writeFile("/flash/cert_root.pem", "CA");
    chmod(path("/flash/cert_root.pem").c_str(), 0644);
    for (const char* name : {"cert_rpriv.pem", "cert_root.pem"}) {
        std::string flash = std::string("/flash/") + name;
        ASSERT_EQ(mirrorToSdCard(flash.c_str()), 1) << name;
        struct stat st;
        ASSERT_EQ(stat(path(("/var/slot1/" + std::string(name)).c_str()).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }

    // A copy that cannot be completed leaves the previous copy as it was.
    fs::create_directories(path("/var/slot1/cert_root.pem.tmp"));
    root.writeFile("/flash/cert_root.pem", "NEW CA");
    EXPECT_EQ(mirrorToSdCard("/flash/cert_root.pem"), 0);
    EXPECT_EQ(readAll(path("/var/slot1/cert_root.pem")), "CA");
    fs::remove(path("/var/slot1/cert_root.pem.tmp"));
    EXPECT_EQ(mirrorToSdCard("/flash/cert_root.pem"), 1);
    EXPECT_EQ(readAll(path("/var/slot1/cert_root.pem")), "NEW CA");
    EXPECT_FALSE(fs::exists(path("/var/slot1/cert_root.pem.tmp")));
}

TEST_F(SdMirrorTest, MirrorOnlyWhenTheCardTakesCopies)
{
    root.writeFile("/flash/cert_root.pem", "ROOT CA");
    struct Case {
        const char* what;
        int32_t features;
        int32_t autoSync;
        int cardState;
        const char* file;
    } cases[] = {
        {"no SD feature", 0, 1, kSdCardMounted, "/flash/cert_root.pem"},
        {"autoSync off", FEATURE_SD_CARD, 0, kSdCardMounted, "/flash/cert_root.pem"},
        {"card removed", FEATURE_SD_CARD, 1, kSdCardRemoved, "/flash/cert_root.pem"},
        {"card unusable", FEATURE_SD_CARD, 1, kSdCardUnusable, "/flash/cert_root.pem"},
        {"card write-protected", FEATURE_SD_CARD, 1, kSdCardWriteProtected, "/flash/cert_root.pem"},
        {"not under /flash", FEATURE_SD_CARD, 1, kSdCardMounted, "/etc/params.dat"},
        {"a look-alike prefix", FEATURE_SD_CARD, 1, kSdCardMounted, "/flashy/cert_root.pem"},
        {"the directory itself", FEATURE_SD_CARD, 1, kSdCardMounted, "/flash"},
        {"missing file", FEATURE_SD_CARD, 1, kSdCardMounted, "/flash/nothing.pem"},
    };
    for (const Case& c : cases) {
        params::sw_features()->setValue(c.features);
        params::autoSync()->setValue(c.autoSync);
        setSdCardState(c.cardState);
        EXPECT_EQ(mirrorToSdCard(c.file), 0) << c.what;
        EXPECT_TRUE(fs::is_empty(path("/var/slot1"))) << c.what;
    }
}

TEST_F(SdMirrorTest, MirrorCertsLeavesOutTheSelfSignedPair)
{
    for (const char* name : {"cert_pkey.pem", "cert_srv.pem", "cert_fpkey.pem", "cert_fsrv.pem", "cert_rcert.pem",
                             "cert_root.pem", "1a2b3c4d.0", "abcdefgh.0", "12345678.1", "short.0", "123456789.0"})
        root.writeFile(std::string("/flash/") + name, name);
    ASSERT_EQ(mirrorCertsToSdCard(), 1);
    std::set<std::string> expected = {"cert_fpkey.pem", "cert_fsrv.pem", "cert_rcert.pem", "cert_root.pem",
                                      "1a2b3c4d.0", "abcdefgh.0", "TB-0102.log"};
    EXPECT_EQ(filesIn(path("/var/slot1")), expected);
    EXPECT_EQ(readAll(path("/var/slot1/1a2b3c4d.0")), "1a2b3c4d.0");
}

TEST_F(SdMirrorTest, MirrorCertsWithoutSyncOrCard)
{
    root.writeFile("/flash/cert_root.pem", "ROOT CA");
    params::autoSync()->setValue(0);
    EXPECT_EQ(mirrorCertsToSdCard(), 1) << "nothing to do counts as done";
    EXPECT_TRUE(fs::is_empty(path("/var/slot1")));

    params::autoSync()->setValue(1);
    setSdCardState(kSdCardRemoved);
    EXPECT_EQ(mirrorCertsToSdCard(), 0) << "a file that could not be mirrored";

    fs::remove(path("/flash/cert_root.pem"));
    EXPECT_EQ(mirrorCertsToSdCard(), 1) << "no files, nothing failed";
}

TEST_F(SdMirrorTest, LogFileLayout)
{
    params::sys_name()->set("printer-room", -1);
    ASSERT_EQ(writeLogFile("/var/slot1"), 1);
    std::vector<std::string> lines = crlfLines(readAll(logFile()));
    ASSERT_EQ(lines.size(), 13u);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.size(), 67u) << '"' << line << '"';
        EXPECT_EQ(line.substr(0, 2), "##") << line;
        EXPECT_EQ(line.substr(65), "##") << line;
    }
    const std::string hashes(67, '#');
    const std::string empty = "##" + std::string(63, ' ') + "##";
    EXPECT_EQ(lines[0], hashes);
    EXPECT_EQ(lines[1], empty);
    EXPECT_EQ(lines[2], "##   Device: Test Box 12" + std::string(41, ' ') + "##");
    EXPECT_EQ(lines[3], "##   Name  : TB-0102" + std::string(45, ' ') + "##");
    EXPECT_EQ(lines[4].substr(0, 26), "##   Host  : printer-room ");
    EXPECT_EQ(lines[5].substr(0, 34), "##   Serial: 012202403" "00042" "       ");
    EXPECT_EQ(lines[6].substr(0, 13), "##   IPv4  : ");
    EXPECT_EQ(lines[7].substr(0, 31), "##   MAC   : 00:c0:eb:01:02:0a ");
    // 100000 ticks = 1000 s: 0 days, 0 hours, 16 minutes.
    EXPECT_NE(lines[8].find("alive since   0/00/16"), std::string::npos) << lines[8];
    EXPECT_EQ(lines[8].substr(0, 13), "##   Starts: ");
    EXPECT_EQ(lines[9].substr(0, 34), "##   Vers. : HW: 2.1  FW:21  SW:  ");
    EXPECT_EQ(lines[10].substr(0, 13), "##   Time  : ");
    EXPECT_EQ(lines[10][15], '.');
    EXPECT_EQ(lines[10][18], '.');
    EXPECT_EQ(lines[11], empty);
    EXPECT_EQ(lines[12], hashes);
}

TEST_F(SdMirrorTest, LogFileWithoutHostNameAndWithLongNames)
{
    params::sys_name()->set("", -1);
    root.useProduct("product_name=" + std::string(120, 'P') + "\ndefault_name=TB-0102\nserial_no=4294967295\nyear=123456\n");
    ASSERT_EQ(writeLogFile("/var/slot1"), 1);
    std::vector<std::string> lines = crlfLines(readAll(logFile()));
    ASSERT_EQ(lines.size(), 12u) << "no host line";
    for (const std::string& line : lines)
        EXPECT_EQ(line.size(), 67u) << '"' << line << '"';
    EXPECT_EQ(lines[2], "##   Device: " + std::string(50, 'P') + "  ##");
}

TEST_F(SdMirrorTest, LogFileAtMostOncePerMinute)
{
    ASSERT_EQ(writeLogFile("/var/slot1"), 1);
    ASSERT_TRUE(fs::exists(logFile()));
    fs::remove(logFile());

    fakeTicks.fetch_add(5999);
    EXPECT_EQ(writeLogFile("/var/slot1"), 1);
    EXPECT_FALSE(fs::exists(logFile())) << "within a minute nothing is written";

    fakeTicks.fetch_add(1);
    EXPECT_EQ(writeLogFile("/var/slot1"), 1);
    EXPECT_TRUE(fs::exists(logFile()));
}

TEST_F(SdMirrorTest, LogFileThatCannotBeCreated)
{
    EXPECT_EQ(writeLogFile("/var/no-card-here"), 0);
    // A failed attempt does not count as written.
    EXPECT_EQ(writeLogFile("/var/slot1"), 1);
    EXPECT_TRUE(fs::exists(logFile()));
}
