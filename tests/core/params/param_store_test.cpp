#include "core/params/param_change_effects.h"
#include "core/params/param_store.h"
#include "core/params/user_login.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files/root_path.h"

namespace {

const ParamRange len0to64 = {0, 64};
const ParamRange len0to256 = {0, 256};
const ParamRange len8to32 = {8, 32};
const ParamRange port1to65535 = {1, 65535};

const P3ListRow relayModes[] = {
    {"fix", "Fixed", ""},
    {"eve", "Events", ""},
    {"stat", "Status", ""},
};
const P3ListRow setByRows[] = {
    {"dhcp", "DHCP", ""},
    {"http", "HTTP", ""},
    {"zconf", "ZeroConf", ""},
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// A small store laid out like the catalogue: the same kinds of parameters,
// flags and names that the store's own rules refer to.
class TestTable {
public:
    TestTable()
    {
        const uint8_t zeroMac[6] = {};
        add(new StringParam("any_name", "User", &len0to64, kParamNetwork));
        add(new StringParam("admin_pwd", "", &len8to32, kParamSecret));
        add(new BoolParam("autoSync", 1, 0x10200000));
        add(new BoolParam("dns", 0, kParamNetwork));
        add(new StringParam("dns_domain", "", &len0to256, kParamNetwork));
        add(new MacParam("hw_filter_1", zeroMac, 0, nullptr, 0));
        add(new IpParam("ip_addr", SockAddr::parse("0.0.0.0"), 0, nullptr, 0));
        add(new P3List("ip_setby", "zconf", 3, setByRows, kParamStatus));
        add(new StringParam("ip_filter_1", "", &len0to64, 0));
        add(new StringParam("ip_filter_10", "", &len0to64, 0));
        add(new BoolParam("ip_filter_on_1", 0, 0));
        add(new Ip6Address("ipv6_addr", "::", 0, nullptr, 0));
        add(new StringParam("language", "en", &len0to64, kParamInternal | kParamRuntime));
        add(new IntParam("life", 0, 0, nullptr, kParamStatus | kParamRuntime));
        add(new P3List("relay_ctrl", "fix", 3, relayModes, 0x10400000));
        add(new IntParam("relay_eves", 0, 0, nullptr, 0x10400021));
        add(new BoolParam("relay_on", 0, 0x10400000));
        add(new BoolParam("sessKeys", 0, kParamRuntime));
        add(new IntParam("sw_features", 0, 0, nullptr, kParamStatus | kParamVolatile));
        add(new BoolParam("wifi", 0, 0x40004000 | kParamHidden));
        add(new IntParam("zyt_port", 9200, 2, &port1to65535, kParamNetwork));
        add(new BoolParam("zyt_sec_1", 0, 0x12002000));
        add(new BoolParam("zyt_sec_2", 0, 0x12002000));
        add(new BoolParam("zyt_sec_3", 0, 0x12002000));
        add(new BoolParam("zyt_sec_4", 0, 0x12002000 | kParamHidden));
        std::sort(items_.begin(), items_.end(),
                  [](const Param* a, const Param* b) { return std::strcmp(a->name(), b->name()) < 0; });
    }
    ~TestTable()
    {
        for (Param* p : items_)
            delete p;
    }
    Param** items() { return items_.data(); }
    int count() const { return int(items_.size()); }
    template <class T>
    T* get(const char* name)
    {
        Param* p = ParamStore::findAny(name);
        EXPECT_NE(p, nullptr) << name;
        return static_cast<T*>(p);
    }
    void clearMarks()
    {
        for (Param* p : items_)
            p->takeModified();
    }

private:
    void add(Param* p) { items_.push_back(p); }
    std::vector<Param*> items_;
};

class ParamStoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/wev-param-store-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root_ = dir;
        std::filesystem::create_directories(root_ + "/etc");
        setenv("WEV_ROOT", root_.c_str(), 1);
        reloadRootPrefixForTest();
        table_ = std::make_unique<TestTable>();
        ParamStore::useTableForTest(table_->items(), table_->count());
        resetModified();  // drops a pending save left by another test
    }
    void TearDown() override
    {
        ParamStore::useTableForTest(nullptr, 0);
        table_.reset();
        unsetenv("WEV_ROOT");
        reloadRootPrefixForTest();
        std::filesystem::remove_all(root_);
    }
    // Replaces the table by a new one with every parameter at its default.
    void freshTable()
    {
        auto next = std::make_unique<TestTable>();
        ParamStore::useTableForTest(next->items(), next->count());
        table_ = std::move(next);
    }
    // An uploaded file: unlinked, positioned at its start.
    int uploadOf(const std::string& text)
    {
        std::string path = root_ + "/upload.XXXXXX";
        int fd = mkstemp(path.data());
        EXPECT_GE(fd, 0);
        unlink(path.c_str());
        EXPECT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
        lseek(fd, 0, SEEK_SET);
        return fd;
    }
    int loadText(const std::string& text, bool fromUpload = false)
    {
        FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
        EXPECT_NE(f, nullptr);
        const int rc = ParamStore::load(f, fromUpload);
        std::fclose(f);
        return rc;
    }
    std::string rendered()
    {
        char* buf = nullptr;
        size_t size = 0;
        FILE* f = open_memstream(&buf, &size);
        ParamStore::write(f);
        std::fclose(f);
        std::string s(buf, size);
        std::free(buf);
        return s;
    }
    template <class T>
    T* get(const char* name) { return table_->get<T>(name); }

    std::string root_;
    std::unique_ptr<TestTable> table_;
};

}  // namespace

TEST_F(ParamStoreTest, FindByNameAndFamilyMember)
{
    const std::string name61(61, 'a');
    const std::string name60(60, 'a');
    EXPECT_EQ(ParamStore::find(name61.c_str(), 61, kParamExactName), nullptr);
    EXPECT_EQ(ParamStore::find(name60.c_str(), 60, kParamExactName), nullptr);
    EXPECT_EQ(ParamStore::find("dns", 3, 0), nullptr) << "index 0";
    Param* sec3 = ParamStore::find("zyt_sec_", 8, 3);
    ASSERT_NE(sec3, nullptr);
    EXPECT_STREQ(sec3->name(), "zyt_sec_3");
    EXPECT_EQ(ParamStore::find("zyt_sec_", 8, 0x10003), sec3) << "only the low 16 bits count";
    EXPECT_EQ(ParamStore::find("zyt_sec_", 8, 4), nullptr) << "hidden member";
    EXPECT_NE(ParamStore::findAny("zyt_sec_4"), nullptr);
    EXPECT_EQ(ParamStore::find("zyt_sec_", 8, 5), nullptr);
    Param* dns = ParamStore::find("dns_domainXYZ", 3, kParamExactName);
    ASSERT_NE(dns, nullptr) << "the name need not be terminated";
    EXPECT_STREQ(dns->name(), "dns");
    EXPECT_STREQ(ParamStore::find("dns_domain")->name(), "dns_domain");
    EXPECT_EQ(ParamStore::find("wifi"), nullptr);
    EXPECT_EQ(ParamStore::find("Dns"), nullptr) << "byte order, case matters";
    EXPECT_EQ(ParamStore::find(nullptr), nullptr);
}

TEST_F(ParamStoreTest, EnumerationsAndMaxIndex)
{
    const int total = table_->count();
    EXPECT_EQ(ParamStore::count(), total);
    EXPECT_EQ(ParamStore::countVisible(0), total - 2);  // wifi, zyt_sec_4
    const int listed = ParamStore::countVisible(kParamStatus | kParamInternal);
    EXPECT_EQ(listed, total - 2 - 5);  // ip_setby, language, life, relay_eves, sw_features
    for (int i = 0; i < listed; ++i) {
        const Param* p = ParamStore::nthVisible(i, 3);
        ASSERT_NE(p, nullptr) << i;
        EXPECT_FALSE(p->hasFlags(kParamHidden | kParamStatus | kParamInternal)) << p->name();
    }
    EXPECT_EQ(ParamStore::nthVisible(listed, 3), nullptr);
    EXPECT_EQ(ParamStore::nthVisible(-1, 3), nullptr);

    EXPECT_EQ(ParamStore::maxIndex("zyt_sec_", 8), 3) << "the hidden member 4 does not count";
    EXPECT_EQ(ParamStore::maxIndex("ZYT_SEC_", 8), 3) << "the prefix ignores case";
    EXPECT_EQ(ParamStore::maxIndex("ip_filter_", 10), 10) << "ip_filter_on_1 adds nothing";
    EXPECT_EQ(ParamStore::maxIndex("nothing_", 8), 0);
}

TEST_F(ParamStoreTest, ParamNameIndex)
{
    struct Case {
        const char* name;
        int length;
        int32_t index;
        int prefixLength;
    };
    const Case cases[] = {
        {"zyt_sec_12", 10, 12, 8},   {"zyt_sec_12", 9, 1, 8},  {"zyt_sec_", 8, INT32_MIN, 8},
        {"wifi_wkey1", 10, 1, 9},    {"dns", 3, INT32_MIN, 3}, {"123", 3, 123, 0},
        {"x99999999999", 12, INT32_MAX, 1},
    };
    for (const Case& c : cases) {
        int length = c.length;
        EXPECT_EQ(paramNameIndex(c.name, &length), c.index) << c.name;
        EXPECT_EQ(length, c.prefixLength) << c.name;
    }
}

TEST_F(ParamStoreTest, FileFormatWidthOrderAndSkippedParameters)
{
    get<StringParam>("admin_pwd")->set("topsecret", -1);
    get<P3List>("relay_ctrl")->set("eve", -1);
    get<IpParam>("ip_addr")->set("198.18.0.7", -1);
    get<MacParam>("hw_filter_1")->set("0A:0b:0c:0d:0e:0f", -1);
    get<Ip6Address>("ipv6_addr")->set("fd42:b0c5::7", -1);
    get<IntParam>("sw_features")->setChecked(0x200000);
    // The longest saved name is "ip_filter_on_1" (14); "sw_features" is
    // volatile and the hidden ones are not written at all.
    const std::string expected =
        "      admin_pwd = topsecret\n"
        "       any_name = User\n"
        "       autoSync = on\n"
        "            dns = off\n"
        "     dns_domain = \n"
        "    hw_filter_1 = 0a:0b:0c:0d:0e:0f\n"
        "        ip_addr = 198.18.0.7\n"
        "    ip_filter_1 = \n"
        "   ip_filter_10 = \n"
        " ip_filter_on_1 = off\n"
        "       ip_setby = zconf\n"
        "      ipv6_addr = fd42:b0c5::7\n"
        "       language = en\n"
        "           life = 0\n"
        "     relay_ctrl = eve\n"
        "       relay_on = off\n"
        "       sessKeys = off\n"
        "       zyt_port = 9200\n"
        "      zyt_sec_1 = off\n"
        "      zyt_sec_2 = off\n"
        "      zyt_sec_3 = off\n";
    const std::string path = paramFilePath();
    EXPECT_EQ(path, root_ + "/etc/params.dat");
    const mode_t old = umask(0);
    const int rc = ParamStore::save(path.c_str());
    umask(old);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(readFile(path), expected);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "secrets inside: 0600 whatever the umask";
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(ParamStoreTest, RoundTripOfEdgeValues)
{
    const std::string longest(64, '~');
    ASSERT_NE(get<StringParam>("any_name")->set(longest.c_str(), -1), 0);
    ASSERT_NE(get<StringParam>("admin_pwd")->set("p@ss w=rd #1", -1), 0);
    ASSERT_NE(get<StringParam>("dns_domain")->set("inner  blanks are kept", -1), 0);
    ASSERT_NE(get<StringParam>("ip_filter_1")->set("=", -1), 0);
    ASSERT_NE(get<IntParam>("life")->set("-2147483648", -1), 0);
    ASSERT_NE(get<IntParam>("zyt_port")->set("65535", -1), 0);
    ASSERT_NE(get<BoolParam>("dns")->set("on", -1), 0);
    ASSERT_NE(get<P3List>("relay_ctrl")->set("stat", -1), 0);
    ASSERT_NE(get<P3List>("ip_setby")->set("dhcp", -1), 0);
    ASSERT_NE(get<IpParam>("ip_addr")->set("255.255.255.255", -1), 0);
    ASSERT_NE(get<MacParam>("hw_filter_1")->set("ff:ff:ff:ff:ff:fe", -1), 0);
    ASSERT_NE(get<Ip6Address>("ipv6_addr")->set("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", -1), 0);
    ASSERT_NE(get<StringParam>("language")->set("", -1), 0);
    const std::string before = rendered();
    ASSERT_EQ(ParamStore::save(paramFilePath().c_str()), 0);

    freshTable();
    ASSERT_NE(rendered(), before);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ParamStore::loadFile(paramFilePath().c_str()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "nothing dropped";
    EXPECT_EQ(rendered(), before);
}

TEST_F(ParamStoreTest, LoaderToleranceTable)
{
    struct Case {
        std::string line;
        bool dnsOn;
        int result;
    };
    const Case cases[] = {
        {"dns=on\n", true, 1},
        {"   dns   =   on   \n", true, 1},
        {"\tdns\t=\ton\t\n", true, 1},
        {"dns   anything here = on\n", true, 1},
        {"dns=on\r\n", true, 1},
        {"dns = on", true, 1},  // no trailing newline
        {"dns on\n", false, 0},
        {"dns\n", false, 0},
        {"d=o\n", false, 0},
        {"dns = ON\n", false, 0},
        {"dns = maybe\n", false, 0},
        {"Dns = on\n", false, 0},
        {std::string("dns = on\0\n", 10), false, 0},
        {std::string("dn\0s = on\n", 10), false, 0},
    };
    for (const Case& c : cases) {
        get<BoolParam>("dns")->setValue(0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(loadText(c.line), c.result) << c.line;
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(get<BoolParam>("dns")->isOn(), c.dnsOn) << c.line;
    }
}

TEST_F(ParamStoreTest, BadLinesAreDroppedAndNamedEverythingElseLoads)
{
    const std::string longValue(400, 'x');
    std::string file;
    file += " any_name = Admin\n";
    file += " unknown_thing = 1\n";
    file += " wifi = on\n";                                 // hidden on this model
    file += " zyt_port = 70000\n";                          // out of range
    file += " ip_addr = 300.1.1.1\n";                       // out of range
    file += " dns_domain = " + longValue + "dns = on\n";    // overlong: its tail must not count
    file += std::string(" junk\0\x01\x02 = \xff\n", 13);    // binary junk
    file += "\n   \n";                                      // blank lines
    file += " zyt_port = 9300\n";
    file += " life = 41";                                   // no trailing newline
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadText(file), 1);
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(*get<StringParam>("any_name")->value(), "Admin");
    EXPECT_EQ(get<IntParam>("zyt_port")->value(), 9300);
    EXPECT_EQ(get<IntParam>("life")->value(), 41);
    EXPECT_EQ(get<IpParam>("ip_addr")->text(), "0.0.0.0");
    EXPECT_EQ(*get<StringParam>("dns_domain")->value(), "");
    EXPECT_TRUE(get<BoolParam>("dns")->isOff());
    EXPECT_TRUE(get<BoolParam>("wifi")->isOff());

    const char* expectedMessages[] = {
        "line 2 dropped (unknown name): \"unknown_thing\"",
        "line 3 dropped (not on this model): \"wifi\"",
        "line 4 dropped (value refused): \"zyt_port\"",
        "line 5 dropped (value refused): \"ip_addr\"",
        "line 6 dropped (line too long): \"dns_domain\"",
        "line 7 dropped (binary data): \"junk\"",
    };
    for (const char* m : expectedMessages)
        EXPECT_NE(err.find(m), std::string::npos) << m << "\n" << err;
    EXPECT_EQ(err.find("70000"), std::string::npos) << "values are not echoed (secrets)";
    EXPECT_EQ(err.find("line 8"), std::string::npos) << "blank lines are not worth a message";
}

TEST_F(ParamStoreTest, InjectedLinesCannotReachTheFile)
{
    EXPECT_EQ(get<StringParam>("dns_domain")->set("x\nsessKeys = on", -1), 0);
    ASSERT_EQ(ParamStore::save(paramFilePath().c_str()), 0);
    freshTable();
    testing::internal::CaptureStderr();
    ParamStore::loadFile(paramFilePath().c_str());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(get<BoolParam>("sessKeys")->isOff());
}

TEST_F(ParamStoreTest, VolatileAndAllRefusedFilesCountAsNothingTaken)
{
    EXPECT_EQ(loadText(" sw_features = 4096\n"), 0);
    EXPECT_EQ(get<IntParam>("sw_features")->value(), 4096) << "taken, but not counted";
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadText(" zyt_port = 0\n dns = yes\n nothing = 1\n"), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(loadText(" ip_addr = 0.0.0.0\n"), 0) << "an unchanged address answers 0";
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadText(" status = 1\n ip_setby = http\n"), 1) << "status parameters take file values";
    testing::internal::GetCapturedStderr();
}

TEST_F(ParamStoreTest, LoadFileSwitchOnRuleAndMissingFile)
{
    EXPECT_EQ(ParamStore::loadFile((root_ + "/etc/missing.dat").c_str()), 0);
    EXPECT_TRUE(get<BoolParam>("sessKeys")->isOff());
    writeFile(paramFilePath(), " any_name = switchon\n");
    EXPECT_EQ(ParamStore::loadFile(paramFilePath().c_str()), 1);
    EXPECT_TRUE(get<BoolParam>("sessKeys")->isOn());
    EXPECT_EQ(*get<StringParam>("any_name")->value(), "User");
}

TEST_F(ParamStoreTest, LoadFdTakesOverTheDescriptor)
{
    int fd = -1;
    EXPECT_EQ(ParamStore::loadFd(&fd), -1);
    fd = uploadOf(" zyt_port = 1234\n");
    const int taken = fd;
    EXPECT_EQ(ParamStore::loadFd(&fd), 1);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(fcntl(taken, F_GETFD), -1) << "closed";
    EXPECT_EQ(get<IntParam>("zyt_port")->value(), 1234);

    int wrong = taken;  // closed now: fdopen fails
    EXPECT_EQ(ParamStore::loadFd(&wrong), -1);
    EXPECT_EQ(wrong, -1);
}

// An uploaded file is taken whole or not at all: each of these has good
// lines and one that the store would drop, and none of its lines is taken.
TEST_F(ParamStoreTest, AnUploadWithOneBadLineChangesNothing)
{
    using namespace std::string_literals;
    const std::string bad[] = {
        " zyt_port = 1234\n nosuch_param = 1\n"s,        // unknown name
        " zyt_port = 1234\n dns_domain\n"s,               // no '='
        " zyt_port = 1234\n dns = maybe\n"s,              // wrong type
        " zyt_port = 1234\n zyt_port = 70000\n"s,         // out of range
        " dns_domain = a\x01b\n zyt_port = 1234\n"s,     // control character
        " zyt_port = 1234\n any_name = a\0b\n"s,         // binary data
    };
    for (const std::string& text : bad) {
        SCOPED_TRACE(text);
        freshTable();
        int fd = uploadOf(text);
        EXPECT_EQ(ParamStore::loadFd(&fd), -2);
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(get<IntParam>("zyt_port")->value(), 9200);
        EXPECT_EQ(*get<StringParam>("dns_domain")->value(), "");
    }
    // A line of a parameter this model hides does not refuse the file.
    freshTable();
    int fd = uploadOf(" wifi = on\n zyt_port = 1234\n\n");
    EXPECT_EQ(ParamStore::loadFd(&fd), 1);
    EXPECT_EQ(get<IntParam>("zyt_port")->value(), 1234);
    EXPECT_TRUE(get<BoolParam>("wifi")->isOff());
}

// A copy registered from outside (the SD card) is told of every save and
// of a factory reset; its failure fails the save after the main file.
struct FakeFileCopy {
    static inline std::string path;
    static inline int written = 0;
    static inline int resets = 0;
    static std::string copyPath() { return path; }
    static void copyWritten() { ++written; }
    static void reset() { ++resets; }
    static constexpr ParamFileCopy ops = {copyPath, copyWritten, reset};
};

TEST_F(ParamStoreTest, FactoryReset)
{
    FakeFileCopy::resets = 0;
    setParamFileCopy(&FakeFileCopy::ops);
    writeFile(paramFilePath(), " dns = on\n");
    EXPECT_EQ(ParamStore::factoryReset(), 1);
    EXPECT_FALSE(std::filesystem::exists(paramFilePath()));
    EXPECT_EQ(FakeFileCopy::resets, 1) << "the copy hears of it";
    EXPECT_EQ(ParamStore::factoryReset(), 0);
    setParamFileCopy(nullptr);
}

TEST_F(ParamStoreTest, SavesGoToARegisteredCopy)
{
    setParamFileCopy(&FakeFileCopy::ops);
    FakeFileCopy::written = 0;
    FakeFileCopy::path = "";
    ASSERT_EQ(ParamStore::save(paramFilePath().c_str()), 0);
    EXPECT_EQ(FakeFileCopy::written, 0) << "no copy wanted now";

    const std::string copy = root_ + "/copy.dat";
    FakeFileCopy::path = copy;
    ASSERT_EQ(ParamStore::save(paramFilePath().c_str()), 0);
    EXPECT_EQ(readFile(copy), readFile(paramFilePath()));
    EXPECT_EQ(FakeFileCopy::written, 1);
    struct stat st;
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    FakeFileCopy::path = root_ + "/no-such-dir/copy.dat";
    testing::internal::CaptureStderr();
    EXPECT_EQ(ParamStore::save(paramFilePath().c_str()), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(FakeFileCopy::written, 1) << "a failed copy is not reported as written";
    EXPECT_TRUE(std::filesystem::exists(paramFilePath()));
    setParamFileCopy(nullptr);
}

TEST_F(ParamStoreTest, ResetModifiedBits)
{
    struct Case {
        const char* name;
        const char* value;
        bool hide;
        int bits;
    };
    const Case cases[] = {
        {"dns", "on", false, 0x83},
        {"autoSync", "off", false, 0x81},
        {"autoSync", "off", true, 0x80},
        {"ip_addr", "198.18.0.1", false, 0x85},
        {"sw_features", "7", false, 0x80},
        {"relay_eves", "3", false, 0x80},
    };
    for (const Case& c : cases) {
        freshTable();
        Param* p = ParamStore::findAny(c.name);
        ASSERT_NE(p, nullptr);
        if (c.hide)
            p->addFlags(kParamHidden);
        p->set(c.value, -1);
        EXPECT_EQ(resetModified(), c.bits) << c.name;
        EXPECT_EQ(resetModified(), 0) << c.name << ": collected once";
    }
    BoolParam* dns = get<BoolParam>("dns");
    dns->set("on", -1);
    dns->set("off", -1);
    EXPECT_EQ(resetModified(), 0) << "set and set back";
}

// An effect that changes another parameter (leaving a relay mode clears the
// events counted under it) is collected in the same pass.
void clearRelayEventCount(Param&)
{
    static_cast<IntParam*>(ParamStore::findAny("relay_eves"))->setChecked(0);
}

TEST_F(ParamStoreTest, RelayModeChangeClearsTheEventCount)
{
    registerParamEffect("relay_ctrl", false, clearRelayEventCount);
    get<IntParam>("relay_eves")->setChecked(5);
    resetModified();
    get<P3List>("relay_ctrl")->set("eve", -1);
    EXPECT_EQ(resetModified(), 0x81);
    EXPECT_EQ(get<IntParam>("relay_eves")->value(), 0);
    EXPECT_EQ(resetModified(), 0) << "the cleared count was collected in the same pass";
}

TEST_F(ParamStoreTest, SaveParamsIfDirtySavesAndReportsFailure)
{
    EXPECT_EQ(saveParamsIfDirty(), 0);
    EXPECT_FALSE(std::filesystem::exists(paramFilePath())) << "nothing changed, nothing saved";
    get<IntParam>("zyt_port")->set("9300", -1);
    EXPECT_EQ(saveParamsIfDirty(), 0x83);
    EXPECT_NE(readFile(paramFilePath()).find("zyt_port = 9300\n"), std::string::npos);

    // The directory is gone: the save fails and says so.
    std::filesystem::remove_all(root_ + "/etc");
    get<IntParam>("zyt_port")->set("9400", -1);
    testing::internal::CaptureStderr();
    const int bits = saveParamsIfDirty();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(bits, 0x83 | kChangedSaveFailed);
    EXPECT_NE(err.find("ParamStore::save"), std::string::npos) << err;

    // Once it can be written again, the next collection saves the change
    // even though nothing else changed.
    std::filesystem::create_directories(root_ + "/etc");
    EXPECT_EQ(saveParamsIfDirty(), kChangedSave);
    EXPECT_NE(readFile(paramFilePath()).find("zyt_port = 9400\n"), std::string::npos);
    EXPECT_EQ(saveParamsIfDirty(), 0);
}

// Savers in several threads at once, with values changing meanwhile, always
// leave a whole file behind; a reader never sees a partial one.
TEST_F(ParamStoreTest, ConcurrentSavesLeaveALoadableFile)
{
    ASSERT_EQ(ParamStore::save(paramFilePath().c_str()), 0);
    const std::string initial = rendered();
    const size_t lines = std::count(initial.begin(), initial.end(), '\n');
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<int> badReads{0};
    auto saver = [&](int id) {
        for (int i = 0; i < 150; ++i) {
            std::string value = "d";
            value += std::to_string(id);
            value += '-';
            value += std::to_string(i);
            get<StringParam>("dns_domain")->set(value.c_str(), -1);
            if (ParamStore::save(paramFilePath().c_str()) != 0)
                ++failures;
        }
    };
    std::thread reader([&] {
        while (!stop.load()) {
            const std::string content = readFile(paramFilePath());
            if (size_t(std::count(content.begin(), content.end(), '\n')) != lines || content.empty() ||
                content.back() != '\n')
                ++badReads;
        }
    });
    std::thread a(saver, 1);
    std::thread b(saver, 2);
    a.join();
    b.join();
    stop = true;
    reader.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(badReads.load(), 0);
    const std::string last = rendered();
    freshTable();
    testing::internal::CaptureStderr();
    EXPECT_EQ(ParamStore::loadFile(paramFilePath().c_str()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(rendered(), last);
}

// A save killed at any instant leaves the old file or the new one.
TEST_F(ParamStoreTest, KilledSaveLeavesOldOrNewFile)
{
    const std::string path = paramFilePath();
    ASSERT_EQ(ParamStore::save(path.c_str()), 0);
    const std::string contentA = readFile(path);
    get<StringParam>("dns_domain")->set(std::string(200, 'b').c_str(), -1);
    get<StringParam>("any_name")->set("Second", -1);
    const std::string contentB = rendered();
    ASSERT_NE(contentA, contentB);
    get<StringParam>("dns_domain")->set("", -1);
    get<StringParam>("any_name")->set("User", -1);
    ASSERT_EQ(rendered(), contentA);

    std::mt19937 random(20240611);
    for (int round = 0; round < 200; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(ready[0]);
            for (int i = 0; i < 100000; ++i) {
                const bool b = i % 2 == 0;
                get<StringParam>("dns_domain")->set(b ? std::string(200, 'b').c_str() : "", -1);
                get<StringParam>("any_name")->set(b ? "Second" : "User", -1);
                ParamStore::save(path.c_str());
                if (i == 0)
                    (void)!::write(ready[1], "x", 1);
            }
            _exit(0);
        }
        ::close(ready[1]);
        char c;
        ASSERT_EQ(::read(ready[0], &c, 1), 1) << "child saved once";
        ::close(ready[0]);
        const struct timespec pause = {0, long(random() % 3000) * 1000};
        nanosleep(&pause, nullptr);
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const std::string content = readFile(path);
        ASSERT_TRUE(content == contentA || content == contentB) << "round " << round << ": torn file of "
                                                                 << content.size() << " bytes";
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    freshTable();
    EXPECT_EQ(ParamStore::loadFile(path.c_str()), 1);
}
