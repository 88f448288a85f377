#include "web/sessions/web_session_table.h"

#include "core/params/param_handles.h"
#include "core/task/tick_clock.h"
#include "core/util/random_text.h"
#include "platform/files/file_replace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

void putLe(std::string& out, size_t at, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

uint64_t getLe(const std::string& in, size_t at, int bytes)
{
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= static_cast<uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
    return value;
}

bool isKeyCharacter(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A slot of the file that the table may take: a whole key and a type and
// level that a session can have.
bool slotIsWhole(const std::string& image, size_t at)
{
    for (int i = 0; i < kSessionKeyLength; ++i) {
        if (!isKeyCharacter(image[at + i]))
            return false;
    }
    if (image[at + kSessionKeyLength] != 0)
        return false;
    int type = static_cast<int32_t>(getLe(image, at + 20, 4));
    int level = static_cast<int32_t>(getLe(image, at + 44, 4));
    return type >= kSessionUser && type <= kSessionSpecial && (level == -1 || level == type);
}

int64_t nowTicks()
{
    return static_cast<int64_t>(boardTicks());
}

} // namespace

void WebSession::clear()
{
    level = -1;
    memset(key, 0, sizeof key);
    type = 0;
    lastAccess = created = 0;
    userName.clear();
}

void WebSession::open(int newLevel, const std::string& user, int newType, int64_t now)
{
    level = newLevel;
    type = newType;
    userName = user;
    lastAccess = created = now;
    randomText(key, kSessionKeyLength);
    key[kSessionKeyLength] = 0;
}

bool WebSession::expireIfIdle(int64_t now, int idleLimitSeconds)
{
    if (!live() || idleLimitSeconds <= 0)
        return false;
    if ((now - lastAccess) / 100 <= idleLimitSeconds)
        return false;
    clear();
    return true;
}

int sessionIdleLimit()
{
    if (!params::sessKeyTimer()->isOn())
        return 0;
    return params::sessKeyTimeout()->value();
}

std::string accountName(int type)
{
    return paramText(type == kSessionAdmin ? params::admin_name() : params::any_name());
}

int WebSessionTable::findByKey(const char* key, bool touch, WebSession* out)
{
    if (!key)
        return -1;
    const int64_t now = nowTicks();
    const int limit = sessionIdleLimit();
    std::lock_guard<std::mutex> hold(lock_);
    for (int n = 0; n < kSessionSlots; ++n) {
        WebSession& s = slots_[n];
        if (!s.live() || strncmp(s.key, key, kSessionKeyLength) != 0)
            continue;
        if (s.expireIfIdle(now, limit))
            return -2;
        if (touch)
            s.lastAccess = now;
        if (out)
            *out = s;
        return n;
    }
    return -1;
}

// The first slot that is free or idles out now is taken at once; otherwise
// the least recently used session of a type not above the new one (the
// earlier slot on equal times). Administrators search from slot 2.
int WebSessionTable::chooseSlot(int type, int64_t now)
{
    if (type == kSessionSpecial)
        return kSpecialSlot;
    const int limit = sessionIdleLimit();
    int candidate = -1;
    for (int n = type == kSessionAdmin ? 2 : 0; n < kLoginSlots; ++n) {
        WebSession& s = slots_[n];
        if (!s.live() || s.expireIfIdle(now, limit))
            return n;
        if (s.type <= type && (candidate < 0 || s.lastAccess < slots_[candidate].lastAccess))
            candidate = n;
    }
    return candidate;
}

int WebSessionTable::login(int level, const std::string& user, int type, std::string* key)
{
    const int64_t now = nowTicks();
    std::lock_guard<std::mutex> hold(lock_);
    int n = chooseSlot(type, now);
    if (n < 0)
        return -1;
    slots_[n].open(level, user, type, now);
    if (key)
        *key = slots_[n].key;
    return n;
}

bool WebSessionTable::logout(const char* key)
{
    if (!key)
        return false;
    std::lock_guard<std::mutex> hold(lock_);
    for (WebSession& s : slots_) {
        if (s.live() && strncmp(s.key, key, kSessionKeyLength) == 0) {
            s.clear();
            return true;
        }
    }
    return false;
}

void WebSessionTable::countByLevel(int* admins, int* users)
{
    const int64_t now = nowTicks();
    const int limit = sessionIdleLimit();
    int a = 0, u = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (int n = 0; n < kLoginSlots; ++n) {
            WebSession& s = slots_[n];
            if (!s.live() || s.expireIfIdle(now, limit))
                continue;
            a += s.type == kSessionAdmin;
            u += s.type == kSessionUser;
        }
    }
    if (admins)
        *admins = a;
    if (users)
        *users = u;
}

void WebSessionTable::clear()
{
    std::lock_guard<std::mutex> hold(lock_);
    for (WebSession& s : slots_)
        s.clear();
}

WebSession WebSessionTable::slot(int n)
{
    std::lock_guard<std::mutex> hold(lock_);
    return n >= 0 && n < kSessionSlots ? slots_[n] : WebSession();
}

std::string WebSessionTable::encode()
{
    const int64_t now = nowTicks();
    const int limit = sessionIdleLimit();
    std::string image(kSessionFileBytes, '\0');
    putLe(image, 0, kSessionFileMagic, 4);
    std::lock_guard<std::mutex> hold(lock_);
    for (int n = 0; n < kSessionSlots; ++n) {
        WebSession& s = slots_[n];
        int64_t last = s.lastAccess, created = s.created;
        if (n < kLoginSlots && s.live() && !s.expireIfIdle(now, limit)) {
            last -= now;
            created -= now;
        }
        if (!s.live())
            last = created = 0;
        size_t at = 8 + kSessionSlotBytes * static_cast<size_t>(n);
        memcpy(&image[at], s.key, kSessionKeyLength);
        putLe(image, at + 20, static_cast<uint32_t>(s.type), 4);
        putLe(image, at + 24, static_cast<uint64_t>(last), 8);
        putLe(image, at + 32, static_cast<uint64_t>(created), 8);
        putLe(image, at + 44, static_cast<uint32_t>(s.level), 4);
    }
    return image;
}

bool WebSessionTable::decode(const std::string& image)
{
    const int64_t now = nowTicks();
    const int limit = sessionIdleLimit();
    std::lock_guard<std::mutex> hold(lock_);
    for (WebSession& s : slots_)
        s.clear();
    if (image.size() != kSessionFileBytes || getLe(image, 0, 4) != kSessionFileMagic)
        return false;
    for (int n = 0; n < kSessionSlots; ++n) {
        size_t at = 8 + kSessionSlotBytes * static_cast<size_t>(n);
        if (!slotIsWhole(image, at))
            continue;
        WebSession& s = slots_[n];
        memcpy(s.key, &image[at], kSessionKeyLength);
        s.type = static_cast<int32_t>(getLe(image, at + 20, 4));
        s.lastAccess = static_cast<int64_t>(getLe(image, at + 24, 8));
        s.created = static_cast<int64_t>(getLe(image, at + 32, 8));
        s.level = static_cast<int32_t>(getLe(image, at + 44, 4));
        if (!s.live()) {
            s.clear();
            continue;
        }
        if (n < kLoginSlots && s.expireIfIdle(now, limit))
            continue;
        s.userName = accountName(s.type);
    }
    return true;
}

bool WebSessionTable::save(const std::string& path)
{
    FileReplaceResult r = replaceFile(path, encode(), 0600, true);
    if (!r.ok())
        fprintf(stderr, "web sessions: cannot %s %s: %s\n", r.step, path.c_str(), strerror(r.error));
    return r.ok();
}

bool WebSessionTable::restore(const std::string& path, int startCounter)
{
    std::string image;
    if (startCounter != 0) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            char buffer[kSessionFileBytes + 1];
            ssize_t n = 0, got;
            while (n < static_cast<ssize_t>(sizeof buffer)
                   && (got = read(fd, buffer + n, sizeof buffer - static_cast<size_t>(n))) != 0) {
                if (got < 0 && errno == EINTR)
                    continue;
                if (got < 0)
                    break;
                n += got;
            }
            close(fd);
            image.assign(buffer, static_cast<size_t>(n));
        }
    }
    if (startCounter != 0 && decode(image))
        return true;
    unlink(path.c_str());
    std::lock_guard<std::mutex> hold(lock_);
    for (int n = 0; n < kLoginSlots; ++n)
        slots_[n].clear();
    return false;
}

WebSessionTable& webSessionTable()
{
    static WebSessionTable table;
    return table;
}
