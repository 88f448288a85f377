// The front display of the display board: the list of codes it rotates
// through, the supply-input watch that lists "E1", and the lock that keeps
// a restart or update code on the display.
#include "core/board/board_device.h"

#include "core/product/model_features.h"
#include "core/params/param_handles.h"
#include "core/storage/sd_card_state.h"

#include <atomic>

namespace {

std::atomic<SupplyEventSink> supplyEventSink{nullptr};

constexpr uint32_t kListFlags = kDisplayAdd | kDisplayRemove;

BoardRecord displayRecord(char first, char second, uint32_t flags, uint32_t stateFlags)
{
    uint32_t points = flags | stateFlags;
    uint32_t pointFirst = (points & kDisplayPointFirst) ? '.' : 0;
    uint32_t pointSecond = (points & kDisplayPointSecond) ? '.' : 0;
    BoardRecord rec = {};
    rec.word[0] = static_cast<uint32_t>(static_cast<unsigned char>(first)) << 24 | pointFirst << 16 |
                  static_cast<uint32_t>(static_cast<unsigned char>(second)) << 8 | pointSecond;
    if (flags & kDisplayFastBlink) {
        rec.word[1] = 28, rec.word[2] = 31, rec.word[3] = 1, rec.word[4] = 50;
    } else if (flags & kDisplaySlowBlink) {
        rec.word[1] = 11, rec.word[2] = 15, rec.word[3] = 1, rec.word[4] = 200;
    }
    return rec;
}

// The notification side learns of supply changes through its registered
// sink; without one the change shows only on the display.
void reportSupplyChange(uint32_t inputBits)
{
    if (SupplyEventSink sink = supplyEventSink.load())
        sink(kSupplyChangedEvent, inputBits);
}

} // namespace

void setSupplyEventSink(SupplyEventSink sink)
{
    supplyEventSink.store(sink);
}

int DisplayState::changeList(char first, char second, uint32_t flags)
{
    if (first == 0)
        return 0;
    for (Entry& e : entries) {
        if (e.first == 0 || e.first != first || e.second != second)
            continue;
        if (flags & kDisplayRemove)
            e = Entry{};
        else
            e.flags = flags & ~kListFlags;
        return 1;
    }
    if (flags & kDisplayRemove)
        return 0;
    for (Entry& e : entries) {
        if (e.first != 0)
            continue;
        e = Entry{first, second, flags & ~kListFlags};
        ++entryCount;
        return 2;
    }
    return 0;
}

std::string DisplayState::listText() const
{
    std::string text;
    for (const Entry& e : entries) {
        if (e.first == 0)
            continue;
        if (!text.empty())
            text += ", ";
        text += e.first;
        text += e.second;
    }
    return text;
}

int DisplayState::nextListed() const
{
    for (int i = rotationIndex + 1; i < kEntries; ++i) {
        if (i >= 0 && entries[i].first != 0)
            return i;
    }
    return -1;
}

int BoardDevice::setDisplayEntry(char first, char second, uint32_t flags)
{
    std::lock_guard<std::mutex> guard(display_->mutex);
    return setDisplayEntryLocked(first, second, flags);
}

int BoardDevice::setDisplayEntryLocked(char first, char second, uint32_t flags)
{
    DisplayState& d = *display_;
    BoardRecord rec = displayRecord(first, second, flags, d.stateFlags);
    if (board_ != kBoardDisplay)
        return 1;
    if (d.locked() && !(flags & kDisplayLock))
        return 1;
    int result = 1;
    if (!(flags & kDisplayRemove))
        result = ioctlLocked(GPIO_SET_DISPLAY, &rec) >= 0 ? 1 : 0;
    if (flags & kDisplayLock) {
        d.entryCount = 0;
        d.rotationIndex = -1;
        d.stateFlags |= kDisplayLocked;
    }
    if (flags & kListFlags) {
        int change = d.changeList(first, second, flags);
        if (change == 0)
            return 0;
        if (change == 1) {
            // A removed code must not stay in the published list.
            if (flags & kDisplayRemove)
                publishDisplayList();
            return 1;
        }
    }
    publishDisplayList();
    return result;
}

void BoardDevice::publishDisplayList()
{
    std::string text = display_->listText();
    StringParam* list = params::disp_erVals();
    if (*list->value() != text)
        list->set(text.c_str(), static_cast<int>(text.size()));
}

uint32_t BoardDevice::displayStateFlags()
{
    std::lock_guard<std::mutex> guard(display_->mutex);
    return display_->stateFlags;
}

void BoardDevice::showDefaultTextLocked()
{
    std::string text = paramText(params::disp_def());
    char first = text.size() > 0 ? text[0] : ' ';
    char second = text.size() > 1 ? text[1] : ' ';
    setDisplayEntryLocked(first, second, 0);
}

void BoardDevice::rotateDisplay()
{
    std::lock_guard<std::mutex> guard(display_->mutex);
    DisplayState& d = *display_;
    if (d.entryCount == 0)
        return;
    int next = d.nextListed();
    if (next < 0) {
        showDefaultTextLocked();
        d.rotationIndex = -1;
        return;
    }
    const DisplayState::Entry e = d.entries[next];
    setDisplayEntryLocked(e.first, e.second, e.flags);
    d.rotationIndex = next;
}

void BoardDevice::beepForSupply(uint32_t missing)
{
    if (!featureOn(kFeatureBeeper))
        return;
    if (missing && params::beepPwr()->isOn())
        beep(0);
    else if (sdCardState() != kSdCardMounted && params::beepSDc()->isOn())
        beep(0);
}

int BoardDevice::pollPowerInputs()
{
    {
        std::lock_guard<std::mutex> guard(display_->mutex);
        if (display_->locked())
            return 0;
    }
    uint32_t inputs = 0;
    if (!readSupplyInputs(&inputs)) {
        // An unreadable board says nothing about the supplies: reporting
        // both as lost would raise a false alarm.
        rotateDisplay();
        return 1;
    }
    uint32_t missing = 0;
    if (!(inputs & 0x1))
        missing |= kSupply1Missing;
    if (!(inputs & 0x2))
        missing |= kSupply2Missing;
    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(display_->mutex);
        DisplayState& d = *display_;
        if (d.locked())
            return 0;
        changed = (d.stateFlags & (kSupply1Missing | kSupply2Missing)) != missing;
        if (changed) {
            d.stateFlags = (d.stateFlags & ~(kSupply1Missing | kSupply2Missing)) | missing;
            if (params::disp_pwr()->isOn()) {
                uint32_t flags = missing ? (missing | kDisplaySlowBlink | kDisplayAdd) : kDisplayRemove;
                setDisplayEntryLocked('E', '1', flags);
            }
        }
    }
    if (changed)
        reportSupplyChange(inputs);
    beepForSupply(missing);
    rotateDisplay();
    return 1;
}
