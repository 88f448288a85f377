#include "core/params/param.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const ParamRange range0to100 = {0, 100};
const ParamRange len0to1024 = {0, 1024};
const ParamRange len8to32 = {8, 32};
const ParamRange len0to32 = {0, 32};
const ParamRange len2to2 = {2, 2};

const P3ListRow relayRows[] = {
    {"fix", "Fixed", "f-extra"},
    {"eve", "Events", "e-extra"},
    {"stat", "Status", ""},
};

std::string textOf(const Param& p, size_t size = kParamTextBufferSize)
{
    std::vector<char> buf(size > 0 ? size : 1, 'Z');
    const int n = p.toText(buf.data(), size);
    EXPECT_GE(n, 0);
    if (size > 0) {
        EXPECT_EQ(std::strlen(buf.data()), size_t(n)) << "toText must report what it wrote";
    }
    return size > 0 ? std::string(buf.data()) : std::string();
}

}  // namespace

TEST(ParamSet, LengthLimitAndLocalBufferBoundary)
{
    StringParam s("note", "", &len0to1024, 0);
    for (size_t len : {size_t(63), size_t(64), size_t(65), size_t(1024)}) {
        const std::string v(len, 'a' + char(len % 26));
        EXPECT_EQ(s.set(v.c_str(), -1), kSetRestart) << len;
        EXPECT_EQ(*s.value(), v) << len;
    }
    const std::string before = *s.value();
    const std::string tooLong(1025, 'x');
    testing::internal::CaptureStderr();
    EXPECT_EQ(s.set(tooLong.c_str(), -1), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("!PARAMS SET ILLEGAL VALUES!"), std::string::npos);
    EXPECT_EQ(*s.value(), before);
}

TEST(ParamSet, NullTextAndSlicesOfLongerBuffers)
{
    IntParam i("n", 7, 2, &range0to100, 0);
    EXPECT_EQ(i.set(nullptr, -1), 0);
    EXPECT_EQ(i.set(nullptr, 3), 0);
    EXPECT_EQ(i.value(), 7);
    // Only the given length counts: "42" out of "429".
    EXPECT_EQ(i.set("429", 2), kSetRestart);
    EXPECT_EQ(i.value(), 42);
    BoolParam b("b", 0, 0);
    EXPECT_NE(b.set("onion", 2), 0);
    EXPECT_TRUE(b.isOn());
}

TEST(ParamSet, ResultFollowsFlags)
{
    struct Case {
        uint32_t flags;
        int expected;
    };
    const Case cases[] = {
        {0, kSetRestart},
        {kParamRuntime, kSetRuntime},
        {kParamNetwork, kSetNetwork},
        {kParamNetwork | kParamRuntime, kSetNetwork},
        {kParamVolatile | kParamRuntime, 0},
        {kParamHidden | kParamNetwork, 0},
    };
    for (const Case& c : cases) {
        IntParam p("n", 1, 2, &range0to100, c.flags);
        EXPECT_EQ(p.set("5", -1), c.expected) << std::hex << c.flags;
        // Accepted in every case, even where the answer is 0.
        EXPECT_EQ(p.value(), 5) << std::hex << c.flags;
        bool refused = true;
        p.setReporting("6", -1, &refused);
        EXPECT_FALSE(refused);
        p.setReporting("500", -1, &refused);
        EXPECT_TRUE(refused);
    }
}

TEST(IntParamText, Table)
{
    IntParam ranged("ranged", 50, 2, &range0to100, 0);
    IntParam free("free", 50, 0, nullptr, 0);
    struct Case {
        const char* text;
        bool rangedOk;
        int32_t rangedValue;
        bool freeOk;
        int32_t freeValue;
    };
    const Case cases[] = {
        {"12abc", true, 12, true, 12},
        {"-", true, 0, true, 0},
        {"100", true, 100, true, 100},
        {"0", true, 0, true, 0},
        {"101", false, 0, true, 101},
        {"-1", false, 0, true, -1},
        {" 5", false, 0, true, 5},
        {"abc", true, 0, true, 0},
        // atoi would wrap these to 1 (or worse); they must be refused.
        {"4294967297", false, 0, false, 0},
        {"2147483648", false, 0, false, 0},
        {"-2147483649", false, 0, false, 0},
        {"99999999999999999999999999", false, 0, false, 0},
        {"2147483647", false, 0, true, 2147483647},
        {"-2147483648", false, 0, true, INT32_MIN},
        {"1.5", false, 0, true, 1},
    };
    for (const Case& c : cases) {
        ranged.setValue(50);
        free.setValue(50);
        EXPECT_EQ(ranged.set(c.text, -1) != 0, c.rangedOk) << c.text;
        EXPECT_EQ(ranged.value(), c.rangedOk ? c.rangedValue : 50) << c.text;
        EXPECT_EQ(free.set(c.text, -1) != 0, c.freeOk) << c.text;
        EXPECT_EQ(free.value(), c.freeOk ? c.freeValue : 50) << c.text;
    }
    IntParam noTable("kind1", 3, 1, nullptr, 0);
    EXPECT_FALSE(noTable.isValid("3"));
}

TEST(IntParamText, AssignLengthAndChecks)
{
    IntParam p("n", 0, 0, nullptr, 0);
    const char* longText = "0000000000000000000000000000007";  // 31 characters
    EXPECT_EQ(p.assign(longText, 31), 0);
    EXPECT_EQ(p.assign(longText, 30), 1);
    EXPECT_EQ(p.value(), 0);
    EXPECT_EQ(p.assign(longText, -1), 1);
    EXPECT_EQ(p.value(), 7);

    IntParam r("r", 5, 2, &range0to100, 0);
    EXPECT_FALSE(r.setChecked(101));
    EXPECT_EQ(r.value(), 5);
    EXPECT_FALSE(r.takeModified());
    EXPECT_TRUE(r.setChecked(5));
    EXPECT_FALSE(r.takeModified()) << "an unchanged value is not marked";
    EXPECT_TRUE(r.setChecked(9));
    EXPECT_TRUE(r.takeModified());
}

TEST(IntParamText, ToTextIsBoundedAndTerminated)
{
    IntParam p("n", -12345, 0, nullptr, 0);
    EXPECT_EQ(textOf(p), "-12345");
    EXPECT_EQ(textOf(p, 4), "-12");
    EXPECT_EQ(textOf(p, 1), "");
    char untouched = 'Z';
    EXPECT_EQ(p.toText(&untouched, 0), 0);
    EXPECT_EQ(untouched, 'Z');
}

TEST(BoolParamText, SpellingsAndMarks)
{
    BoolParam b("b", 0, 0);
    EXPECT_EQ(b.set("ON", -1), 0) << "isValid takes it, assign does not";
    EXPECT_TRUE(b.isOff());
    EXPECT_NE(b.set("on", -1), 0);
    EXPECT_NE(b.set("on", -1), 0);
    EXPECT_TRUE(b.takeModified());
    EXPECT_FALSE(b.takeModified()) << "marked once";

    BoolParam wasOn("w", 1, 0);
    EXPECT_NE(wasOn.set("off", -1), 0);
    EXPECT_NE(wasOn.set("on", -1), 0);
    EXPECT_FALSE(wasOn.isModified()) << "switched and switched back";

    struct Case {
        const char* text;
        int length;
        int result;
        bool on;
    };
    const Case cases[] = {
        {"on", -1, 1, true},     {"off", -1, 1, false}, {"onx", 2, 1, true},  {"offx", 3, 1, false},
        {"onx", -1, 0, false},   {"of", 2, 0, false},   {"o", -1, 0, false},  {"offf", -1, 0, false},
        {"on", 4, 0, false},     {"Off", -1, 0, false}, {"", -1, 0, false},
    };
    for (const Case& c : cases) {
        BoolParam p("p", 0, 0);
        EXPECT_EQ(p.assign(c.text, c.length), c.result) << c.text << " " << c.length;
        EXPECT_EQ(p.isOn(), c.on) << c.text;
    }
}

TEST(BoolParamText, ToTextSizes)
{
    BoolParam on("on", 1, 0);
    BoolParam off("off", 0, 0);
    EXPECT_EQ(textOf(on, 3), "on");
    EXPECT_EQ(textOf(on, 2), "");
    EXPECT_EQ(textOf(off, 4), "off");
    EXPECT_EQ(textOf(off, 3), "");
    EXPECT_STREQ(on.yesNo(), "yes");
    EXPECT_STREQ(off.yesNo(), "no");
}

TEST(StringParamText, ControlCharactersAreRefused)
{
    StringParam name("any_name", "User", &len0to1024, kParamNetwork);
    const char* refused[] = {"x\nsessKeys = off", "a\rb", "tab\there", "del\x7f", "bell\a", "\x1b[0m"};
    for (const char* t : refused) {
        EXPECT_EQ(name.set(t, -1), 0) << t;
        EXPECT_EQ(name.assign(t, -1), 0) << t;
        EXPECT_EQ(*name.value(), "User");
        EXPECT_FALSE(name.isModified());
    }
    EXPECT_EQ(name.set("Gr\xc3\xbc\xc3\x9f" "e", -1), kSetNetwork) << "UTF-8 text is fine";
    EXPECT_EQ(name.set("with blanks and = signs", -1), kSetNetwork);
}

// The parameter file's reader trims blanks around a value, so a value with
// blanks at either end would not be the same after the next start.
TEST(StringParamText, BlanksAtEitherEndAreRefused)
{
    StringParam name("any_name", "User", &len0to1024, kParamNetwork);
    for (const char* t : {" lead", "trail ", " ", "  both  "}) {
        EXPECT_EQ(name.set(t, -1), 0) << '"' << t << '"';
        EXPECT_EQ(*name.value(), "User");
    }
    EXPECT_EQ(name.set("in side", -1), kSetNetwork);
    EXPECT_EQ(name.set("", -1), kSetNetwork) << "an empty value is no blank";

    // A password is kept as its hash, so its blanks are safe.
    const ParamRange hashLength = {0, 46};
    StringParam h("h", "", &hashLength, kParamHashed);
    EXPECT_NE(h.set("pass word ", -1), 0);
    EXPECT_EQ(h.value()->find(' '), std::string::npos);
}

TEST(StringParamText, Secrets)
{
    StringParam pwd("admin_pwd", "", &len8to32, kParamSecret);
    EXPECT_NE(pwd.set("", -1), 0) << "an empty secret is allowed below the minimum";
    EXPECT_EQ(textOf(pwd), "") << "no value shows nothing";
    std::string snmp = "x";
    ASSERT_TRUE(pwd.getSnmp(snmp));
    EXPECT_EQ(snmp, "");
    EXPECT_NE(pwd.set("secret123", -1), 0);
    EXPECT_EQ(textOf(pwd), "****");
    ASSERT_TRUE(pwd.getSnmp(snmp));
    EXPECT_EQ(snmp, "****");
    EXPECT_EQ(pwd.set("****", -1), 0) << "shorter than the minimum";
    EXPECT_EQ(*pwd.value(), "secret123");

    StringParam loose("any_pwd", "old", &len0to32, kParamSecret);
    loose.takeModified();
    EXPECT_NE(loose.set("****", -1), 0);
    EXPECT_EQ(*loose.value(), "old");
    EXPECT_FALSE(loose.isModified());

    char* buf = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&buf, &size);
    pwd.print(f);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, size), "secret123") << "the file keeps secrets in clear";
    std::free(buf);
}

TEST(StringParamText, DisplayEntry)
{
    StringParam disp("disp_def", "DS", &len2to2, 0x10040000);
    for (const char* ok : {"DS", "AB", "A1", "99"})
        EXPECT_NE(disp.set(ok, -1), 0) << ok;
    for (const char* bad : {"E5", "ds", "D", "DSX", "", "D-", "E0"})
        EXPECT_EQ(disp.set(bad, -1), 0) << bad;
    EXPECT_EQ(*disp.value(), "99");
}

TEST(StringParamText, LengthRangeAndToTextCut)
{
    StringParam s("s", "abcdef", &len2to2, 0);
    EXPECT_FALSE(s.isValid("a"));
    EXPECT_FALSE(s.isValid("abc"));
    EXPECT_TRUE(s.isValid("ab"));
    EXPECT_EQ(textOf(s, 4), "abc");
    EXPECT_EQ(textOf(s, 7), "abcdef");
    EXPECT_EQ(paramText(s), "abcdef");
    EXPECT_EQ(paramText(static_cast<const StringParam*>(nullptr)), "");
}

TEST(StringParamText, HashedValuesAreNeverStoredInClear)
{
    const ParamRange hashLength = {0, 46};
    StringParam h("h", "", &hashLength, kParamHashed);
    EXPECT_NE(h.set("plain", -1), 0);
    const std::string hash = *h.value();
    EXPECT_EQ(hash.size(), 13u);
    EXPECT_EQ(hash.compare(0, 2, "ms"), 0);
    EXPECT_EQ(hash.find("plain"), std::string::npos);
    EXPECT_TRUE(h.takeModified());
    EXPECT_NE(h.set("plain", -1), 0) << "the same password again";
    EXPECT_FALSE(h.isModified());
    EXPECT_EQ(*h.value(), hash);
    for (const char* keep : {"****", "kbR4uVn9sLq2E"}) {
        EXPECT_NE(h.assign(keep, -1), 0) << keep;
        EXPECT_EQ(*h.value(), hash) << keep;
    }
    EXPECT_EQ(h.text(), "****");
    const std::string tooLong(33, 'p');
    EXPECT_EQ(h.assign(tooLong.c_str(), -1), 0) << "cannot be hashed: refused, not cleared";
    EXPECT_EQ(*h.value(), hash);
    EXPECT_NE(h.set("", -1), 0) << "an empty password clears it";
    EXPECT_EQ(*h.value(), "");

    // The length checked is that of the hash the text would become.
    const ParamRange len0to24 = {0, 24};
    StringParam short24("s", "", &len0to24, kParamHashed);
    EXPECT_TRUE(short24.isValid("12345678"));   // 13
    EXPECT_TRUE(short24.isValid("123456789"));  // 24
    EXPECT_FALSE(short24.isValid("12345678901234567"));  // 35
}

class P3ListTest : public testing::Test {
protected:
    P3List list{"relay_ctrl", "fix", 3, relayRows, 0};
};

TEST_F(P3ListTest, SelectorTable)
{
    ASSERT_TRUE(list.set("eve", -1));
    struct Case {
        uint32_t selector;
        const char* expected;
        bool error;
    };
    const Case cases[] = {
        {0x80000000u, "eve", false},  {0x80010000u, "Events", false}, {0x80020000u, "e-extra", false},
        {0x80030000u, "e-extra", false}, {0, "fix", false},           {2, "stat", false},
        {0x10000u, "Fixed", false},   {0x10002u, "Status", false},    {0x20000u, "f-extra", false},
        {0x30001u, "e-extra", false}, {3, "", true},                  {0x10003u, "", true},
        {0xffffu, "", true},
    };
    for (const Case& c : cases) {
        char buf[32];
        std::memset(buf, 'Z', sizeof(buf));
        testing::internal::CaptureStderr();
        const int n = list.toTextSel(c.selector, buf, sizeof(buf));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::string(buf), c.expected) << std::hex << c.selector;
        EXPECT_EQ(n, int(std::strlen(c.expected))) << std::hex << c.selector;
        EXPECT_EQ(err.find("ERROR P3List ill base idx:x") != std::string::npos, c.error) << std::hex << c.selector;
    }
    char small[3];
    EXPECT_EQ(list.toTextSel(2, small, sizeof(small)), 2);
    EXPECT_STREQ(small, "st") << "cut and terminated";
}

TEST_F(P3ListTest, UnsetListAnswersWithTheErrorLine)
{
    P3List unset("u", "nope", 3, relayRows, 0);
    P3List none("n", nullptr, 3, relayRows, 0);
    for (P3List* p : {&unset, &none}) {
        EXPECT_FALSE(p->hasValue());
        EXPECT_STREQ(p->currentToken(), "");
        EXPECT_STREQ(p->label(), "");
        char buf[8] = "ZZZZZZZ";
        testing::internal::CaptureStderr();
        EXPECT_EQ(p->toText(buf, sizeof(buf)), 0);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR P3List ill base idx:x80000000"),
                  std::string::npos);
        EXPECT_STREQ(buf, "");
        std::string snmp;
        EXPECT_FALSE(p->getSnmp(snmp));
    }
}

TEST_F(P3ListTest, AssignAndMarks)
{
    EXPECT_EQ(list.set("nope", -1), 0);
    EXPECT_NE(list.set("fix", -1), 0) << "the current token is accepted";
    EXPECT_FALSE(list.isModified());
    EXPECT_NE(list.set("eve", -1), 0);
    EXPECT_NE(list.set("eve", -1), 0);
    EXPECT_TRUE(list.isModified()) << "naming the new value twice must not lose the change";
    EXPECT_TRUE(list.takeModified());
    EXPECT_EQ(list.assign("stat!", 4), 1) << "the given length counts";
    EXPECT_STREQ(list.currentToken(), "stat");
    EXPECT_EQ(list.assign("sta", -1), 0);
    EXPECT_EQ(list.assign("stat", 3), 0);
    EXPECT_TRUE(list.equalsToken("STAT"));
    const char* any[] = {"fix", "Stat", nullptr};
    EXPECT_TRUE(list.matchesAny(any));
    const char* none[] = {"fix", "eve", nullptr};
    EXPECT_FALSE(list.matchesAny(none));
    EXPECT_EQ(list.valueCount(), 3);
    EXPECT_FALSE(list.setIndex(3));
    EXPECT_TRUE(list.setIndex(0));
    EXPECT_STREQ(list.label(), "Fixed");
}

TEST(MacParamText, ParseAndText)
{
    const uint8_t zero[6] = {};
    MacParam m("hw_filter_1", zero, 0, nullptr, 0);
    EXPECT_FALSE(m.hasValue());
    EXPECT_EQ(m.set("12:34:56", -1), 0) << "three numbers are not a full address";
    EXPECT_EQ(m.set("1:2:3:4:5:100", -1), 0);
    EXPECT_EQ(m.set("01:02:0A:0b:fe:FF", -1), kSetRestart);
    EXPECT_TRUE(m.takeModified());
    bool refused = true;
    EXPECT_EQ(m.setReporting("1:2:a:b:fe:ff", -1, &refused), 0) << "unchanged";
    EXPECT_FALSE(refused);
    EXPECT_FALSE(m.isModified());
    EXPECT_EQ(textOf(m, 17), "");
    EXPECT_EQ(textOf(m, 18), "01:02:0a:0b:fe:ff");
    std::string snmp;
    ASSERT_TRUE(m.getSnmp(snmp));
    EXPECT_EQ(snmp, std::string("\x01\x02\x0a\x0b\xfe\xff", 6));
    const uint8_t other[6] = {1, 2, 3, 4, 5, 6};
    m.setBytes(other);
    EXPECT_FALSE(m.isModified()) << "setBytes leaves the mark to its caller";
    EXPECT_EQ(m.text(), "01:02:03:04:05:06");
}

TEST(IpParamText, AddressesAndSizes)
{
    IpParam ip("ip_addr", SockAddr::parse("192.168.1.10"), 0, nullptr, 0);
    EXPECT_EQ(ip.set("192.168.1.10", -1), 0) << "the current address answers 0";
    EXPECT_FALSE(ip.isModified());
    EXPECT_FALSE(ip.isValid("1.2.3.256"));
    EXPECT_FALSE(ip.isValid("1.2.3"));
    EXPECT_FALSE(ip.isValid("99999999999.1.1.1"));
    EXPECT_TRUE(ip.isValid("1.2.3.4junk"));
    EXPECT_EQ(ip.set("1.2.3.4junk", -1), 0) << "the address itself must parse";
    EXPECT_EQ(ip.set("10.0.0.1", -1), kSetRestart);
    EXPECT_TRUE(ip.isModified());
    EXPECT_EQ(textOf(ip, 19), "");
    EXPECT_EQ(textOf(ip, 20), "10.0.0.1");
    std::string snmp;
    ASSERT_TRUE(ip.getSnmp(snmp));
    EXPECT_EQ(snmp, std::string("\x0a\x00\x00\x01", 4));
    EXPECT_FALSE(ip.isLinkLocal());
    EXPECT_EQ(ip.set("169.254.7.8", -1), kSetRestart);
    EXPECT_TRUE(ip.isLinkLocal());
    EXPECT_TRUE(ip.setAddress(SockAddr::parse("0.0.0.0")));
    EXPECT_FALSE(ip.hasValue());
}

TEST(IpParamText, Ipv6)
{
    testing::internal::CaptureStderr();
    Ip6Address bad("ipv6_gate", "zz", 0, nullptr, 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR: Ip6Address initialization faild with:[zz]!"),
              std::string::npos);
    EXPECT_TRUE(bad.address().isIpv6());
    EXPECT_FALSE(bad.hasValue());

    Ip6Address a("ipv6_addr", "::", 0, nullptr, 0);
    EXPECT_EQ(a.text(), "::");
    EXPECT_EQ(a.set("1.2.3.4", -1), 0);
    EXPECT_EQ(a.set("fe80::1", -1), kSetRestart);
    EXPECT_EQ(a.set("fe80::1", -1), 0);
    EXPECT_EQ(textOf(a, 39), "");
    EXPECT_EQ(textOf(a, 40), "fe80::1");
    std::string snmp;
    ASSERT_TRUE(a.getSnmp(snmp));
    ASSERT_EQ(snmp.size(), 16u);
    EXPECT_EQ(uint8_t(snmp[0]), 0xfe);
    EXPECT_EQ(uint8_t(snmp[15]), 0x01);
    const std::string longest = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";
    EXPECT_EQ(a.set(longest.c_str(), -1), kSetRestart);
    EXPECT_EQ(textOf(a, 40), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
}

TEST(ParamSnmp, HiddenAndInternalGiveNoValue)
{
    IntParam hidden("h", 1, 0, nullptr, kParamHidden);
    StringParam internal("i", "x", &len0to32, kParamInternal);
    std::string v;
    EXPECT_FALSE(hidden.getSnmp(v));
    EXPECT_FALSE(internal.getSnmp(v));
    IntParam visible("v", 0x01020304, 0, nullptr, 0);
    ASSERT_TRUE(visible.getSnmp(v));
    int32_t back = 0;
    ASSERT_EQ(v.size(), sizeof(back));
    std::memcpy(&back, v.data(), sizeof(back));
    EXPECT_EQ(back, 0x01020304);
}

// Readers must never see a torn or freed text while a writer replaces it.
TEST(ParamThreads, TextReadersAndWriterDoNotRace)
{
    StringParam s("usb_manu_1", "", &len0to1024, kParamStatus | kParamVolatile);
    const std::string a(300, 'a');
    const std::string b(700, 'b');
    s.set(a.c_str(), -1);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const std::string t1 = *s.value();
                const std::string t2 = paramText(s);
                const std::string t3 = s.text();
                std::string t4;
                s.getSnmp(t4);
                for (const std::string* t : std::initializer_list<const std::string*>{&t1, &t2, &t3, &t4}) {
                    if (*t != a && *t != b)
                        ++bad;
                }
            }
        });
    }
    for (int i = 0; i < 20000; ++i)
        s.set((i % 2 ? a : b).c_str(), -1);
    stop = true;
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}

// A mark set while another thread collects is either collected or still
// there afterwards: never lost.
TEST(ParamThreads, MarksAreNeverLost)
{
    IntParam p("n", 0, 0, nullptr, 0);
    std::atomic<int32_t> lastCollected{0};
    std::atomic<bool> done{false};
    std::thread collector([&] {
        while (!done.load()) {
            if (p.takeModified())
                lastCollected = p.value();
        }
    });
    for (int i = 1; i <= 50000; ++i)
        p.setValue(i);
    done = true;
    collector.join();
    if (!p.takeModified()) {
        EXPECT_EQ(lastCollected.load(), 50000) << "the last change was neither collected nor marked";
    }
}
