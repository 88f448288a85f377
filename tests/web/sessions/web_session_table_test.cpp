#include "web/sessions/web_session_table.h"

#include "core/task/tick_clock.h"
#include "support/param_override.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::atomic<uint64_t> fakeNow{1000};
uint64_t fakeTicks() { return fakeNow.load(); }

class Sessions : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeNow = 1000;
        setTickSourceForTest(fakeTicks);
        params_.set("sessKeyTimer", "on");
        params_.set("sessKeyTimeout", "600");
        params_.set("admin_name", "Boss");
        params_.set("any_name", "Guest");
    }
    void TearDown() override { setTickSourceForTest(nullptr); }

    // Logs in at tick t; the slot.
    int loginAt(uint64_t t, int type, std::string* key = nullptr)
    {
        fakeNow = t;
        return table_.login(type, accountName(type), type, key);
    }

    ParamOverride params_;
    WebSessionTable table_;
};

bool keyIsWellFormed(const std::string& key)
{
    if (key.size() != kSessionKeyLength)
        return false;
    for (char c : key) {
        if (!isalnum(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

TEST_F(Sessions, KeysAreRandomAndFindTheirSlot)
{
    std::set<std::string> keys;
    for (int i = 0; i < kLoginSlots; ++i) {
        std::string key;
        int slot = loginAt(1000 + i, kSessionUser, &key);
        EXPECT_EQ(slot, i);
        EXPECT_TRUE(keyIsWellFormed(key)) << key;
        keys.insert(key);
        WebSession s;
        EXPECT_EQ(table_.findByKey(key.c_str(), false, &s), slot);
        EXPECT_EQ(s.userName, "Guest");
        EXPECT_EQ(s.type, kSessionUser);
        // A longer cookie value whose first 16 characters are the key counts.
        EXPECT_EQ(table_.findByKey((key + "trailing").c_str(), false, nullptr), slot);
    }
    EXPECT_EQ(keys.size(), static_cast<size_t>(kLoginSlots));
    EXPECT_EQ(table_.findByKey("0000000000000000", false, nullptr), -1);
    EXPECT_EQ(table_.findByKey("", false, nullptr), -1);
    EXPECT_EQ(table_.findByKey(nullptr, false, nullptr), -1);
    // A prefix of a key is not the key.
    std::string shortKey = table_.slot(3).key;
    shortKey.resize(8);
    EXPECT_EQ(table_.findByKey(shortKey.c_str(), false, nullptr), -1);
}

TEST_F(Sessions, SlotChoiceAndEviction)
{
    // Sixteen users fill slots 0 to 15; user 5 is the least recently used
    // once the others have been used again.
    std::vector<std::string> users(kLoginSlots);
    for (int i = 0; i < kLoginSlots; ++i)
        ASSERT_EQ(loginAt(1000 + i, kSessionUser, &users[i]), i);
    fakeNow = 2000;
    for (int i = 0; i < kLoginSlots; ++i) {
        if (i != 5)
            table_.findByKey(users[i].c_str(), true, nullptr);
    }
    std::string seventeenth;
    EXPECT_EQ(loginAt(2100, kSessionUser, &seventeenth), 5);
    EXPECT_EQ(table_.findByKey(users[5].c_str(), false, nullptr), -1);
    // An administrator takes the least recently used of slots 2 to 15,
    // never 0 or 1 although they are older.
    fakeNow = 2200;
    for (int i = 2; i < kLoginSlots; ++i) {
        if (i != 9)
            table_.findByKey(i == 5 ? seventeenth.c_str() : users[i].c_str(), true, nullptr);
    }
    EXPECT_EQ(loginAt(2300, kSessionAdmin), 9);

    // A user cannot displace an administrator.
    WebSessionTable admins;
    fakeNow = 3000;
    admins.login(kSessionUser, "Guest", kSessionUser, nullptr);
    admins.login(kSessionUser, "Guest", kSessionUser, nullptr);
    for (int i = 2; i < kLoginSlots; ++i) {
        fakeNow = 3000 + static_cast<uint64_t>(i);
        ASSERT_EQ(admins.login(kSessionAdmin, "Boss", kSessionAdmin, nullptr), i);
    }
    fakeNow = 3100;
    EXPECT_EQ(admins.login(kSessionAdmin, "Boss", kSessionAdmin, nullptr), 2);  // the oldest administrator
    fakeNow = 3200;
    EXPECT_EQ(admins.login(kSessionUser, "Guest", kSessionUser, nullptr), 0);  // users only among users
    // Slots 0 and 1 hold users; every other slot an administrator: a new
    // administrator still never takes 0 or 1.
    EXPECT_EQ(admins.login(kSessionAdmin, "Boss", kSessionAdmin, nullptr), 3);
    int a = 0, u = 0;
    admins.countByLevel(&a, &u);
    EXPECT_EQ(a, 14);
    EXPECT_EQ(u, 2);

}

TEST_F(Sessions, UsersKeepSlotsZeroAndOne)
{
    for (int i = 2; i < kLoginSlots; ++i)
        ASSERT_EQ(loginAt(1000 + static_cast<uint64_t>(i), kSessionAdmin), i);
    EXPECT_EQ(loginAt(1100, kSessionUser), 0);
    EXPECT_EQ(loginAt(1101, kSessionUser), 1);
    EXPECT_EQ(loginAt(1102, kSessionUser), 0);  // the older user, not an administrator
    EXPECT_EQ(loginAt(1103, kSessionSpecial), kSpecialSlot);
}

TEST_F(Sessions, IdleExpiryFollowsTheTimer)
{
    std::string key;
    ASSERT_EQ(loginAt(1000, kSessionUser, &key), 0);
    fakeNow = 1000 + 600 * 100 + 99;  // 600 s: still in time
    EXPECT_EQ(table_.findByKey(key.c_str(), false, nullptr), 0);
    fakeNow = 1000 + 601 * 100;       // 601 s without use
    EXPECT_EQ(table_.findByKey(key.c_str(), false, nullptr), -2);
    EXPECT_EQ(table_.findByKey(key.c_str(), false, nullptr), -1);  // gone now

    // A touch keeps the session; a look-up without touch does not.
    ASSERT_EQ(loginAt(100000, kSessionUser, &key), 0);
    fakeNow = 100000 + 500 * 100;
    EXPECT_EQ(table_.findByKey(key.c_str(), true, nullptr), 0);
    fakeNow = 100000 + 1000 * 100;
    EXPECT_EQ(table_.findByKey(key.c_str(), false, nullptr), 0);
    fakeNow = 100000 + 1101 * 100 + 1;
    EXPECT_EQ(table_.findByKey(key.c_str(), false, nullptr), -2);

    // Timer off: never.
    params_.set("sessKeyTimer", "off");
    ASSERT_EQ(loginAt(200000, kSessionAdmin, &key), 2);
    fakeNow = 200000 + 100000 * 100ull;
    EXPECT_EQ(table_.findByKey(key.c_str(), false, nullptr), 2);
    int a = 0, u = 0;
    table_.countByLevel(&a, &u);
    EXPECT_EQ(a, 1);
}

TEST_F(Sessions, IdleSlotIsTakenBeforeEvicting)
{
    // Users in 0 and 1, administrators in 2 to 15; the administrator of
    // slot 7 idles out. A user may not displace an administrator, but an
    // idle slot is free: the user gets slot 7, not slot 0 or 1.
    std::string keys[kLoginSlots];
    for (int i = 0; i < kLoginSlots; ++i) {
        int type = i < 2 ? kSessionUser : kSessionAdmin;
        ASSERT_EQ(loginAt(1000 + static_cast<uint64_t>(i), type, &keys[i]), i);
    }
    fakeNow = 1000 + 500 * 100;
    for (int i = 0; i < kLoginSlots; ++i) {
        if (i != 7)
            table_.findByKey(keys[i].c_str(), true, nullptr);
    }
    EXPECT_EQ(loginAt(1000 + 602 * 100, kSessionUser), 7);
}

class SessionFile : public Sessions {
protected:
    void SetUp() override
    {
        Sessions::SetUp();
        dir_ = fs::temp_directory_path() / ("sessions" + std::to_string(getpid()));
        fs::create_directories(dir_);
        path_ = (dir_ / "sessions.raw").string();
    }
    void TearDown() override
    {
        fs::remove_all(dir_);
        Sessions::TearDown();
    }
    std::string readFile()
    {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static uint64_t le(const std::string& s, size_t at, int n)
    {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= static_cast<uint64_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
        return v;
    }
    fs::path dir_;
    std::string path_;
};

TEST_F(SessionFile, LayoutModeAndRestore)
{
    std::string user, admin;
    ASSERT_EQ(loginAt(5000, kSessionUser, &user), 0);
    ASSERT_EQ(loginAt(7000, kSessionAdmin, &admin), 2);
    fakeNow = 9000;
    mode_t old = umask(0);
    ASSERT_TRUE(table_.save(path_));
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::string image = readFile();
    ASSERT_EQ(image.size(), 824u);
    EXPECT_EQ(le(image, 0, 4), 0x00010030u);
    EXPECT_EQ(le(image, 4, 4), 0u);
    const size_t s0 = 8, s2 = 8 + 2 * 48, s1 = 8 + 48;
    EXPECT_EQ(image.substr(s0, 16), user);
    EXPECT_EQ(image[s0 + 16], 0);
    EXPECT_EQ(le(image, s0 + 20, 4), 2u);
    EXPECT_EQ(static_cast<int64_t>(le(image, s0 + 24, 8)), -4000);  // relative to the saving
    EXPECT_EQ(static_cast<int64_t>(le(image, s0 + 32, 8)), -4000);
    EXPECT_EQ(le(image, s0 + 40, 4), 0u);
    EXPECT_EQ(le(image, s0 + 44, 4), 2u);
    EXPECT_EQ(image.substr(s2, 16), admin);
    EXPECT_EQ(le(image, s2 + 20, 4), 3u);
    EXPECT_EQ(static_cast<int32_t>(le(image, s1 + 44, 4)), -1);  // free

    // The next run: the clock starts again, names follow the parameters.
    params_.set("any_name", "Visitor");
    fakeNow = 100;
    WebSessionTable next;
    EXPECT_TRUE(next.restore(path_, 1));
    WebSession s;
    EXPECT_EQ(next.findByKey(user.c_str(), false, &s), 0);
    EXPECT_EQ(s.userName, "Visitor");
    EXPECT_EQ(next.findByKey(admin.c_str(), false, &s), 2);
    EXPECT_EQ(s.userName, "Boss");
    // The user had been idle 40 s at saving: 561 s more ends it.
    fakeNow = 100 + 561 * 100;
    EXPECT_EQ(next.findByKey(user.c_str(), false, nullptr), -2);

    // The first start since boot forgets and removes the file.
    WebSessionTable fresh;
    EXPECT_FALSE(fresh.restore(path_, 0));
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_EQ(fresh.findByKey(admin.c_str(), false, nullptr), -1);
}

TEST_F(SessionFile, DamagedSlotsAndFilesAreRefused)
{
    std::string keys[4];
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(loginAt(5000 + static_cast<uint64_t>(i), kSessionUser, &keys[i]), i);
    fakeNow = 6000;
    std::string image = table_.encode();
    auto at = [](int slot) { return static_cast<size_t>(8 + 48 * slot); };
    image[at(0) + 16] = 'x';      // key without its NUL
    image[at(1) + 3] = '%';       // a character no key has
    image[at(2) + 20] = 7;        // no such type
    image[at(3) + 44] = 3;        // level other than the type
    std::ofstream(path_, std::ios::binary) << image;
    WebSessionTable back;
    EXPECT_TRUE(back.restore(path_, 2));
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(back.slot(i).live()) << i;
        EXPECT_EQ(back.findByKey(keys[i].c_str(), false, nullptr), -1) << i;
    }

    const struct {
        const char* what;
        std::string content;
    } bad[] = {
        {"short", image.substr(0, 500)},
        {"long", image + "more"},
        {"magic", std::string("\x31\x00\x01\x00", 4) + image.substr(4)},
        {"empty", ""},
    };
    for (const auto& b : bad) {
        table_.clear();
        ASSERT_EQ(loginAt(7000, kSessionUser), 0);
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << b.content;
        EXPECT_FALSE(table_.restore(path_, 1)) << b.what;
        EXPECT_FALSE(fs::exists(path_)) << b.what;
        EXPECT_FALSE(table_.slot(0).live()) << b.what;
    }
    EXPECT_FALSE(table_.restore(path_, 1));  // missing
}

// Connection threads log in, look up and log out at once: every login gets
// a slot of its own (no key is lost to a second login in the same slot), and
// a user's key never comes back as an administrator's session.
TEST_F(Sessions, ConcurrentLoginsNeverShareASlotNorCrossRights)
{
    params_.set("sessKeyTimer", "off");
    constexpr int kThreads = 8;
    constexpr int kRounds = 400;
    std::atomic<int> crossed{0}, lost{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const int type = t % 2 ? kSessionAdmin : kSessionUser;
            for (int r = 0; r < kRounds; ++r) {
                std::string key;
                int slot = table_.login(type, accountName(type), type, &key);
                if (slot < 0)
                    continue;
                WebSession s;
                int found = table_.findByKey(key.c_str(), true, &s);
                // Evicted by a later login is fine; anything else must be ours.
                if (found >= 0 && (s.type != type || key != s.key))
                    crossed.fetch_add(1);
                if (found >= 0 && found != slot)
                    lost.fetch_add(1);
                table_.logout(key.c_str());
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(crossed.load(), 0);
    EXPECT_EQ(lost.load(), 0);
}

TEST_F(Sessions, TwoLoginsAtOnceGetTwoSessions)
{
    params_.set("sessKeyTimer", "off");
    for (int round = 0; round < 200; ++round) {
        table_.clear();
        std::string a, b;
        std::thread first([&] { table_.login(kSessionUser, "Guest", kSessionUser, &a); });
        std::thread second([&] { table_.login(kSessionUser, "Guest", kSessionUser, &b); });
        first.join();
        second.join();
        ASSERT_GE(table_.findByKey(a.c_str(), false, nullptr), 0) << round;
        ASSERT_GE(table_.findByKey(b.c_str(), false, nullptr), 0) << round;
        ASSERT_NE(table_.findByKey(a.c_str(), false, nullptr), table_.findByKey(b.c_str(), false, nullptr));
    }
}

} // namespace
