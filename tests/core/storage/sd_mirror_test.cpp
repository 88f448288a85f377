#include "core/storage/sd_mirror.h"

#include "core/params/param_store.h"
#include "support/sd_card_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace sdtest;

class SdMirrorTest : public SdCardFixture {};

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

TEST_F(SdMirrorTest, InterruptedCopiesOnTheCardAreRemovedAndNothingElse)
{
    root.writeFile("/flash/cert_rpriv.pem", "KEY");
    root.writeFile("/flash/1a2b3c4d.0", "CA");
    const struct { const char* name; bool removed; } cases[] = {
        {"params.dat.tmp", true},          // the parameter file's copy
        {"cert_rpriv.pem.tmp", true},      // a key's copy
        {"1a2b3c4d.0.tmp", true},          // a CA file's copy
        {"params.dat", false},             // the copies themselves
        {"cert_rpriv.pem", false},
        {"holiday.tmp", false},            // not a copy of the box's
        {"cert_gone.pem.tmp", false},      // no such file under /flash
        {".tmp", false},
    };
    for (const auto& c : cases)
        root.writeFile(std::string("/var/slot1/") + c.name, "x");

    EXPECT_EQ(removeInterruptedCardCopies(), 3);
    for (const auto& c : cases)
        EXPECT_EQ(fs::exists(path((std::string("/var/slot1/") + c.name).c_str())), !c.removed) << c.name;
    EXPECT_EQ(removeInterruptedCardCopies(), 0);
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
        {"autoSync off", kFeatureSdCard, 0, kSdCardMounted, "/flash/cert_root.pem"},
        {"card removed", kFeatureSdCard, 1, kSdCardRemoved, "/flash/cert_root.pem"},
        {"card unusable", kFeatureSdCard, 1, kSdCardUnusable, "/flash/cert_root.pem"},
        {"card write-protected", kFeatureSdCard, 1, kSdCardWriteProtected, "/flash/cert_root.pem"},
        {"not under /flash", kFeatureSdCard, 1, kSdCardMounted, "/etc/params.dat"},
        {"a look-alike prefix", kFeatureSdCard, 1, kSdCardMounted, "/flashy/cert_root.pem"},
        {"the directory itself", kFeatureSdCard, 1, kSdCardMounted, "/flash"},
        {"missing file", kFeatureSdCard, 1, kSdCardMounted, "/flash/nothing.pem"},
    };
    for (const Case& c : cases) {
        params::sw_features()->setValue(c.features);
        params::autoSync()->setValue(c.autoSync);
        setSdCardState(c.cardState);
        EXPECT_EQ(mirrorToSdCard(c.file), 0) << c.what;
        EXPECT_TRUE(fs::is_empty(path("/var/slot1"))) << c.what;
    }
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
    useProduct(root, "product_name=" + std::string(120, 'P') + "\ndefault_name=TB-0102\nserial_no=4294967295\nyear=123456\n");
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

// The parameter file on the card: every save writes the copy while the card
// takes copies, and the card says which box wrote it.
TEST_F(SdMirrorTest, ParamFileSavesTakeACardCopy)
{
    keepParamFileOnSdCard();
    fs::create_directories(path("/etc"));
    struct Case {
        int32_t features;
        bool autoSync;
        int cardState;
        bool copied;
    };
    const Case cases[] = {
        {kFeatureSdCard, true, kSdCardMounted, true},
        {kFeatureSdCard, true, kSdCardRemoved, false},
        {kFeatureSdCard, true, kSdCardWriteProtected, false},
        {kFeatureSdCard, false, kSdCardMounted, false},
        {0x1000, true, kSdCardMounted, false},
    };
    for (const Case& c : cases) {
        fs::remove(paramFileSdPath());
        fs::remove(logFile());
        params::sw_features()->setChecked(c.features);
        params::autoSync()->setValue(c.autoSync ? 1 : 0);
        setSdCardState(c.cardState);
        resetLogFileStampForTest();
        ASSERT_EQ(ParamStore::save(paramFilePath().c_str()), 0);
        ASSERT_EQ(fs::exists(paramFileSdPath()), c.copied) << c.features << c.autoSync << c.cardState;
        if (!c.copied)
            continue;
        EXPECT_EQ(readAll(paramFileSdPath()), readAll(paramFilePath()));
        EXPECT_TRUE(fs::exists(logFile())) << "the card says which box wrote it";
        struct stat st;
        ASSERT_EQ(stat(paramFileSdPath().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    // A card that cannot take the copy fails the save after the main file.
    params::autoSync()->setValue(1);
    params::sw_features()->setChecked(kFeatureSdCard);
    setSdCardState(kSdCardMounted);
    fs::remove_all(path("/var/slot1"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(ParamStore::save(paramFilePath().c_str()), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fs::exists(paramFilePath()));
    setParamFileCopy(nullptr);
}

// A factory reset keeps the card's copy aside, so the next start does not
// take the old settings back from the card.
TEST_F(SdMirrorTest, FactoryResetMovesTheCardCopyAside)
{
    keepParamFileOnSdCard();
    root.writeFile("/etc/params.dat", " dns = on\n");
    root.writeFile("/var/slot1/params.dat", " dns = on\n");
    EXPECT_EQ(ParamStore::factoryReset(), 1);
    EXPECT_FALSE(fs::exists(paramFilePath()));
    EXPECT_FALSE(fs::exists(paramFileSdPath()));
    EXPECT_TRUE(fs::exists(path("/var/slot1/params.bup"))) << "autoSync is on";
    EXPECT_EQ(ParamStore::factoryReset(), 0);

    root.writeFile("/var/slot1/params.dat", " dns = off\n");
    params::autoSync()->setValue(0);
    ParamStore::factoryReset();
    EXPECT_TRUE(fs::exists(paramFileSdPath())) << "autoSync off: the card is left alone";
    setParamFileCopy(nullptr);
}
