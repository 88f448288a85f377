// The web sessions: 17 slots, 0 to 15 for logins (an administrator never
// takes slot 0 or 1, so two users can always log in), 16 for a special
// session. Every operation takes the table's one lock, so connection threads
// never see a slot half written: two logins never share a slot, a look-up
// never compares against a key being replaced, and what a look-up returns is
// a copy taken under the lock.
//
// Time is boardTicks (1/100 s). A session idles out when sessKeyTimer is on,
// sessKeyTimeout is not 0 and it has not been used for more than
// sessKeyTimeout seconds; the test runs whenever a slot is looked up, chosen
// over, counted or saved.
//
// The table's file image is 824 bytes, little-endian, written field by field
// (the in-memory layout is the host's business): magic 0x00010030, a
// reserved word, then 48 bytes per slot: key (16 characters) and its NUL at
// +16, type at +20, lastAccess at +24, created at +32, a 4-byte name slot at
// +40 (always 0 here; names are taken from the parameters on reading),
// level at +44. Live slots 0 to 15 store their ticks relative to the moment
// of saving (0 or negative), because the tick clock starts again with each
// run.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

constexpr int kSessionKeyLength = 16;
constexpr int kSessionSlots = 17;
constexpr int kLoginSlots = 16;
constexpr int kSpecialSlot = 16;
constexpr uint32_t kSessionFileMagic = 0x00010030;
constexpr size_t kSessionSlotBytes = 48;
constexpr size_t kSessionFileBytes = 8 + kSessionSlotBytes * kSessionSlots;
static_assert(kSessionFileBytes == 824, "the session file is 824 bytes");

enum SessionType : int {
    kSessionUser = 2,
    kSessionAdmin = 3,
    kSessionSpecial = 4,
};

struct WebSession {
    char key[kSessionKeyLength + 1] = {};
    int type = 0;
    int64_t lastAccess = 0;
    int64_t created = 0;
    std::string userName;
    int level = -1;  // -1: free

    bool live() const { return level != -1; }
    void clear();
    // Fills the slot with a new key from the system's random generator.
    void open(int newLevel, const std::string& user, int newType, int64_t now);
    // True when the slot was live and has now been cleared for idleness.
    bool expireIfIdle(int64_t now, int idleLimitSeconds);
};

class WebSessionTable {
public:
    WebSessionTable() = default;
    WebSessionTable(const WebSessionTable&) = delete;
    WebSessionTable& operator=(const WebSessionTable&) = delete;

    // The slot of a live session with the first 16 characters of key, -1
    // when none has it, -2 when it had but just idled out. With touch the
    // session's last access becomes now. *out gets a copy of the slot.
    int findByKey(const char* key, bool touch, WebSession* out);
    // A slot for a new session (see the .cpp for the choice) with its new
    // key in *key, or -1 when every slot holds a session of a higher type.
    int login(int level, const std::string& user, int type, std::string* key);
    // Clears the live session with this key; true when there was one.
    bool logout(const char* key);
    // Live sessions among the login slots.
    void countByLevel(int* admins, int* users);
    void clear();

    // The file image, and the table taken back from one: slots that are
    // not whole (key of 16 characters of [0-9A-Za-z] ended by its NUL, type
    // 2 to 4, level -1 or the type) are cleared, idle ones expire, and user
    // names follow the current account names. False for an image of the
    // wrong size or magic (the table is cleared then).
    std::string encode();
    bool decode(const std::string& image);

    // Writes the image to path (mode 0600 whatever the umask, replaced in
    // one step); false when it cannot.
    bool save(const std::string& path);
    // On a start counter other than 0 (not the first start since boot) the
    // sessions of path come back; otherwise, or for a missing, short or
    // foreign file, the file is removed and the login slots are cleared.
    bool restore(const std::string& path, int startCounter);

    // A copy of a slot, for tests and diagnostics.
    WebSession slot(int n);

private:
    int chooseSlot(int type, int64_t now);
    void followAccountNames();

    std::mutex lock_;
    WebSession slots_[kSessionSlots];
};

// The seconds after which an unused session ends: sessKeyTimeout while
// sessKeyTimer is on, else 0 (never).
int sessionIdleLimit();
// The account name a session of this type shows: admin_name or any_name.
std::string accountName(int type);

// The program's one table.
WebSessionTable& webSessionTable();
