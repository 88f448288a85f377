#include "services/update/firmware_update.h"

#include "core/storage/update_status.h"
#include "core/task/start_state.h"
#include "services/update/tar_unpack.h"
#include "support/product_record.h"
#include "support/shell_command.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kProductCompat = 0x1234;
constexpr uint32_t kSoftwareId = 77;

// The box's CRC, bit by bit (start 0, no inversion), and the usual one.
uint32_t plainCrc(const std::string& data, uint32_t crc = 0)
{
    for (unsigned char c : data) {
        crc ^= c;
        for (int i = 0; i < 8; ++i)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1)));
    }
    return crc;
}
uint32_t usualCrc(const std::string& data)
{
    return ~plainCrc(data, 0xffffffffu);
}

struct Image {
    uint32_t type = IMAGE_TYPE_FIRMWARE;
    uint32_t compatId = kProductCompat;
    uint32_t compatLevel = 3;
    uint32_t softwareId = kSoftwareId;
    std::string payload = std::string(40000, 'f');
    bool usualCrc = false;

    std::string bytes() const
    {
        FirmwareImageHeader h;
        h.init(IMAGE_MAGIC, type);
        h.setWord(8, usualCrc ? ::usualCrc(payload) : plainCrc(payload));
        h.setWord(12, static_cast<uint32_t>(payload.size()));
        h.setWord(16, compatId);
        h.setWord(20, compatLevel);
        h.setWord(24, softwareId);
        h.setWord(32, 2);
        h.setWord(36, 5);
        h.setWord(40, 9);
        return std::string(reinterpret_cast<const char*>(h.bytes), sizeof h.bytes) + payload;
    }
};

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FirmwareUpdate : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.ok());
        root.writeFile("/conf.d/firmware_params", "compat_id=1234\ncompat_level=3\n");
        useProduct(root, "product_name=Test Box\ndefault_name=TB\ncompat_id=1234\nsoftware_id=77\n");
        fs::create_directories(root.dir() + "/dev");
        fs::create_directories(root.dir() + "/flash");
        setUpdateState(kUpdatePrenatal, 0);
        setExitCode(0);
    }
    void TearDown() override { setUpdateState(kUpdatePrenatal, 0); }

    int imageFd(const std::string& content)
    {
        std::string path = root.dir() + "/tmp/upload" + std::to_string(files_++);
        root.writeFile(path.substr(root.dir().size()), content);
        return open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }

    // Runs an update until its task has ended; the final state (Restart
    // after a success, once the task is gone).
    int update(const std::string& content)
    {
        int fd = imageFd(content);
        EXPECT_EQ(precheckUpdateFile(fd), 0);
        EXPECT_GE(startUpdate(fd, false), 0);
        return waitForEnd();
    }

    static int waitForEnd()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (updateState() >= kUpdateAlive && updateState() <= kUpdateWaitingForRestart &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return updateState();
    }

    std::string description()
    {
        char text[128];
        copyUpdateDescription(text, sizeof text);
        return text;
    }

    std::string path(const char* boxFile) { return root.dir() + boxFile; }

    TempBoxRoot root;
    int files_ = 0;
};

TEST_F(FirmwareUpdate, TheCompatibilityCheckTakesOnlyImagesForThisBox)
{
    struct Case {
        const char* what;
        uint32_t type, compatId, compatLevel, softwareId;
        int result;
        const char* description;
    } cases[] = {
        {"firmware", IMAGE_TYPE_FIRMWARE, 0x1234, 3, 0, 0, "firmware 1234.3"},
        {"firmware with more bits", IMAGE_TYPE_FIRMWARE, 0xff234, 4, 0, 0, "firmware ff234.4"},
        {"firmware lacking a bit", IMAGE_TYPE_FIRMWARE, 0x1230, 3, 0, 255, "incompatible firmware id"},
        {"firmware of a lower level", IMAGE_TYPE_FIRMWARE, 0x1234, 2, 0, 255, "incompatible firmware level"},
        {"software", IMAGE_TYPE_SOFTWARE, 0x1234, 0, 77, 0, "Software: 1234.77 Version: 2.5.9"},
        {"software for another product", IMAGE_TYPE_SOFTWARE, 0x0234, 0, 77, 255, "incompatible software/product id"},
        {"software of another line", IMAGE_TYPE_SOFTWARE, 0x1234, 0, 78, 255, "incompatible software id"},
        {"serial board", IMAGE_TYPE_SERIAL_BOARD, 0, 0, 0, 0, "serboard"},
        {"fpga", IMAGE_TYPE_FPGA, 0, 0, 0, 0, "fpga image info not supported"},
        {"unknown type", 0x41424344, 0, 0, 0, 255, "incompatible type:1094861636"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FirmwareImageHeader h;
        h.init(IMAGE_MAGIC, c.type);
        h.setWord(16, c.compatId);
        h.setWord(20, c.compatLevel);
        h.setWord(24, c.softwareId);
        h.setWord(32, 2);
        h.setWord(36, 5);
        h.setWord(40, 9);
        char text[128];
        EXPECT_EQ(h.checkCompat(text, sizeof text), c.result);
        EXPECT_STREQ(text, c.description);
    }
    FirmwareImageHeader noMagic;
    noMagic.init(0, IMAGE_TYPE_FIRMWARE);
    char text[128];
    EXPECT_EQ(noMagic.checkCompat(text, sizeof text), 255);
    EXPECT_STREQ(text, "incompatible");
}

TEST_F(FirmwareUpdate, ThePrecheckRefusesWhatCannotBeAnImage)
{
    std::string good = Image().bytes();
    std::string badMagic = good;
    badMagic[0] = 'X';
    EXPECT_EQ(precheckUpdateFile(0), -9);
    EXPECT_EQ(precheckUpdateFile(imageFd(good.substr(0, 100))), -10);
    EXPECT_EQ(precheckUpdateFile(imageFd(good.substr(0, good.size() - 1))), -11);
    EXPECT_EQ(precheckUpdateFile(imageFd(badMagic)), -12);
    EXPECT_EQ(precheckUpdateFile(imageFd(good)), 0);

    setUpdateState(kUpdateError, kUpdateBadImage);
    EXPECT_EQ(precheckUpdateFile(imageFd(good)), 0) << "a failed update leaves room for a new attempt";
    EXPECT_EQ(updateState(), kUpdatePrenatal);
    EXPECT_EQ(updateError(), 0);

    ASSERT_TRUE(claimUpdate());
    EXPECT_EQ(precheckUpdateFile(imageFd(good)), -7);
}

TEST_F(FirmwareUpdate, AFirmwareImageIsWrittenWholeAndTheProgramRestartsWithCodeTwo)
{
    std::string image = Image().bytes();
    EXPECT_EQ(update(image), kUpdateRestart);
    EXPECT_TRUE(readAll(path("/dev/mtdblock2")) == image);
    EXPECT_EQ(updateProgress(), 100);
    EXPECT_EQ(exitCode(), 2);
    EXPECT_EQ(description(), "firmware 1234.3");
}

TEST_F(FirmwareUpdate, ARefusedImageWritesNothingAndKeepsTheExitCode)
{
    struct Case {
        const char* what;
        Image image;
        int error;
    } cases[] = {
        {"the usual CRC", [] { Image i; i.usualCrc = true; return i; }(), kUpdateBadImage},
        {"another product", [] { Image i; i.compatId = 0x1000; return i; }(), kUpdateIncompatible},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(update(c.image.bytes()), kUpdateError);
        EXPECT_EQ(updateError(), c.error);
        EXPECT_FALSE(fs::exists(path("/dev/mtdblock2")));
        EXPECT_EQ(exitCode(), 0);
    }
    char text[64];
    EXPECT_STREQ(updateStateText(text, sizeof text), "Error:255 Done:0");
}

TEST_F(FirmwareUpdate, AFailedFlashWriteIsAnErrorAndNoRestart)
{
    fs::create_directories(path("/dev/mtdblock2"));  // cannot be opened for writing
    EXPECT_EQ(update(Image().bytes()), kUpdateError);
    EXPECT_EQ(updateError(), kUpdateWriteFailed);
    EXPECT_EQ(exitCode(), 0);
}

TEST_F(FirmwareUpdate, ASerialBoardImageWritesNothingAndKeepsThePreviousExitCode)
{
    setExitCode(1);
    Image serb;
    serb.type = IMAGE_TYPE_SERIAL_BOARD;
    EXPECT_EQ(update(serb.bytes()), kUpdateRestart);
    EXPECT_FALSE(fs::exists(path("/dev/mtdblock2")));
    EXPECT_EQ(exitCode(), 1);
}

TEST_F(FirmwareUpdate, OnlyOneUpdateRunsAtATime)
{
    int first = imageFd(Image().bytes()), second = imageFd(Image().bytes());
    ASSERT_GE(startUpdate(first, false), 0);
    EXPECT_EQ(startUpdate(second, false), -7);
    EXPECT_EQ(fcntl(second, F_GETFD), -1) << "the refused file is closed";
    EXPECT_EQ(waitForEnd(), kUpdateRestart);
}

// Packages are built with Python's tarfile, which writes any entry asked of
// it, hostile ones included.
class SoftwarePackage : public FirmwareUpdate {
protected:
    std::string makeTar(const std::string& entries)
    {
        std::string tarPath = root.dir() + "/package.tar";
        std::string script = "import io, tarfile\n"
                             "t = tarfile.open('" + tarPath + "', 'w', format=tarfile.GNU_FORMAT)\n"
                             "def f(name, data, mode=0o644):\n"
                             "    i = tarfile.TarInfo(name); i.size = len(data); i.mode = mode; i.mtime = 1700000000\n"
                             "    t.addfile(i, io.BytesIO(data))\n"
                             "def d(name):\n"
                             "    i = tarfile.TarInfo(name); i.type = tarfile.DIRTYPE; i.mode = 0o755; t.addfile(i)\n"
                             "def l(name, target):\n"
                             "    i = tarfile.TarInfo(name); i.type = tarfile.SYMTYPE; i.linkname = target; t.addfile(i)\n" +
                             entries + "t.close()\n";
        root.writeFile("/make_tar.py", script);
        ShellResult r = runShell("/usr/bin/python3 " + root.dir() + "/make_tar.py");
        EXPECT_EQ(r.status, 0) << r.out;
        return readAll(tarPath);
    }
    Image package(const std::string& tar)
    {
        Image i;
        i.type = IMAGE_TYPE_SOFTWARE;
        i.payload = tar;
        return i;
    }
};

TEST_F(SoftwarePackage, APackageIsUnpackedIntoTheFlashAndTheProgramRestartsWithCodeOne)
{
    root.writeFile("/flash/application", "old program");
    std::string tar = makeTar("d('/flash/app/')\n"
                              "f('/flash/app/run.sh', b'echo hello', 0o750)\n"
                              "f('/flash/lib/libwev.so', b'library')\n"
                              "f('/flash/wev.cramfs', b'image')\n"
                              "l('/flash/current', 'app')\n");
    Image image = package(tar);
    EXPECT_EQ(update(image.bytes()), kUpdateRestart);
    EXPECT_EQ(readAll(path("/flash/app/run.sh")), "echo hello");
    EXPECT_EQ(fs::status(path("/flash/app/run.sh")).permissions(), fs::perms(0750));
    EXPECT_EQ(readAll(path("/tmp/lib/libwev.so")), "library");
    EXPECT_EQ(readAll(path("/tmp/tmp.cramfs")), "image");
    EXPECT_FALSE(fs::exists(path("/flash/wev.cramfs")));
    EXPECT_EQ(fs::read_symlink(path("/flash/current")), "app");
    EXPECT_FALSE(fs::exists(path("/flash/application")));
    std::string record = readAll(path("/flash/software.bin"));
    EXPECT_EQ(record.substr(0, 128), image.bytes().substr(0, 128));
    EXPECT_EQ(record.size(), 128u + 5 * 512) << "the header and every entry's header";
    EXPECT_EQ(exitCode(), 1);
    EXPECT_EQ(description(), "Software: 1234.77 Version: 2.5.9");
}

TEST_F(SoftwarePackage, EntriesOutsideTheFlashOrThroughItsOwnLinksAreRefusedAndTheUpdateFails)
{
    std::string outside = root.dir() + "/outside";
    fs::create_directories(outside);
    std::string tar = makeTar("f('/flash/../etc/escaped', b'x')\n"
                              "f('/etc/absolute', b'x')\n"
                              "f('flash/relative', b'x')\n"
                              "l('/flash/door', '" + outside + "')\n"
                              "f('/flash/door/through', b'x')\n"
                              "f('/flash/good', b'kept')\n");
    EXPECT_EQ(update(package(tar).bytes()), kUpdateError);
    EXPECT_EQ(updateError(), kUpdateWriteFailed);
    EXPECT_FALSE(fs::exists(path("/etc/escaped")));
    EXPECT_FALSE(fs::exists(path("/etc/absolute")));
    EXPECT_FALSE(fs::exists(outside + "/through"));
    EXPECT_TRUE(fs::is_symlink(path("/flash/door")));
    EXPECT_EQ(readAll(path("/flash/good")), "kept");
    EXPECT_EQ(exitCode(), 0);
}

TEST(PackageEntryTarget, PathsMapToTheirPlaceOrAreRefused)
{
    struct Case {
        const char* path;
        const char* target;
    } cases[] = {
        {"/flash/app/run.sh", "/flash/app/run.sh"},
        {"/flash/app/", "/flash/app/"},
        {"/flash/wev.cramfs", "/tmp/tmp.cramfs"},
        {"/flash/lib/libc.so.6", "/tmp/lib/libc.so.6"},
        {"/flash/library.txt", "/flash/library.txt"},
        {"/flash/a/../b", ""},
        {"/flash/./a", ""},
        {"/flash//a", ""},
        {"/flashy/a", ""},
        {"/etc/passwd", ""},
        {"flash/a", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(packageEntryTarget(c.path), c.target) << c.path;
}

} // namespace
