#include "supervision.h"

#include "core/board/board_device.h"
#include "core/board/relay_control.h"
#include "core/notify/notify_event.h"
#include "core/product/model_features.h"
#include "core/stats/cpu_load.h"
#include "core/net/net_interface.h"
#include "core/params/param_change_effects.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/product_info.h"
#include "core/task/shutdown.h"
#include "core/task/start_state.h"
#include "core/task/task.h"
#include "core/i18n/texts.h"
#include "core/task/tick_clock.h"
#include "usbserver/usb_server_task.h"

#include <cstdio>
#include <cstring>
#include <time.h>

namespace {

constexpr uint32_t kCardReaderProduct = 337;

void setRowOneTexts(const char* manufacturer, const char* product, const char* serial, const char* owner)
{
    const struct { StringParam* param; const char* text; } rows[] = {
        {params::usb_manu(1), manufacturer}, {params::usb_prod(1), product},
        {params::usb_sern(1), serial}, {params::usb_owner(1), owner}};
    for (const auto& row : rows) {
        if (row.param)
            row.param->set(row.text, -1);
    }
}

void sampleCpuLoad(SupervisionState& state)
{
    if (cpuLoadSampleDue(state.cpuCountdown, params::cpuLoadPoll()->value()))
        updateCpuLoad();
}

void onceASecond(SupervisionState& state)
{
    sampleCpuLoad(state);
    if (++state.secondPasses % 2 == 0)
        boardDevice().pollPowerInputs();
    pollWiredLink(state);
    pollRelayInputs(state);
    state.lastSecond = boardTicks();
}

} // namespace

namespace {

void linkDisplayChanged(Param& p)
{
    if (p.isOff()) {
        boardDevice().setDisplayEntry('E', '5', kDisplayRemove);
        return;
    }
    constexpr int kBothPhysLinked = 0x11;  // a failed reading leaves this
    int mask = kBothPhysLinked;
    if (wiredInterface().linkStatus(&mask) < 0)
        mask = kBothPhysLinked;
    if (mask != kBothPhysLinked)
        boardDevice().setDisplayEntry('E', '5', kDisplayAdd | kDisplaySlowBlink);
}

} // namespace

void registerLinkDisplayEffect()
{
    registerParamEffect("disp_lnk", false, linkDisplayChanged);
}

bool cpuLoadSampleDue(int& countdown, int periodSeconds)
{
    if (--countdown > 0)
        return false;
    countdown = periodSeconds;
    return periodSeconds != 0;
}

void pollWiredLink(SupervisionState& state)
{
    constexpr int kBothPhysLinked = 0x11;
    if (state.lastLinkMask < 0)
        state.lastLinkMask = productInfo().product_id == 353 ? kBothPhysLinked : 0x10;
    int mask = 0;
    if (wiredInterface().linkStatus(&mask) < 0)
        mask = 0;
    // A box with WLAN that chose its interface at start-up by the wired link
    // starts again to choose anew when that link comes or goes.
    const bool couldRunOnWlan = (productInfo().compat_id & COMPAT_WLAN_BITS) && params::wifi()->isOn();
    if (state.linkPoll && couldRunOnWlan && (mask != 0) != state.wiredInUse)
        requestStop();
    if (mask == state.lastLinkMask)
        return;
    if (postNotifyEvent(NOTIFY_LINK_CHANGED, mask, nullptr, nullptr, nullptr, nullptr))
        postNotifyMessage(NOTIFY_LINK_CHANGED);
    if (params::disp_lnk()->isOn()) {
        if (mask == kBothPhysLinked)
            boardDevice().setDisplayEntry('E', '5', kDisplayRemove);
        else
            boardDevice().setDisplayEntry('E', '5', kDisplayAdd | kDisplaySlowBlink);
    }
    // Once per change, not every second while the link is incomplete.
    if (mask != kBothPhysLinked && params::beepLnk()->isOn())
        boardDevice().beep(0);
    handleRelayEvent(mask == 0 ? RELAY_NETWORK_OFF : RELAY_NETWORK_ON);
    state.lastLinkMask = mask;
}

void pollRelayInputs(SupervisionState& state)
{
    if (!(params::sw_features()->value() & kFeatureRelay) || !params::relay_ctrl()->equalsToken("eve"))
        return;
    uint32_t bits = 0;
    if (!boardDevice().readSupplyInputs(&bits))
        return;
    bits &= 0x3;
    // The first reading only sets the baseline.
    if (state.lastSupplyBits >= 0)
        handleRelaySupplyChange(static_cast<uint32_t>(state.lastSupplyBits), bits);
    state.lastSupplyBits = static_cast<int>(bits);
}

void pollCardReader(SupervisionState& state)
{
    if (productInfo().product_id != kCardReaderProduct)
        return;
    uint32_t present = 0;
    if (!boardDevice().readCardReader(&present))
        return;
    int card = present != 0;
    if (card != state.cardState) {
        if (card)
            setRowOneTexts("CardReader", "MemoryCard", "?", getmuText("Available"));
        else
            setRowOneTexts("-", "-", "-", "-");
        state.cardState = card;
    }
    int led = boardDevice().portLedState(0);
    if (led != 0)
        state.rememberedPortLed = led;
    if (card)
        boardDevice().setPortLed(0, state.rememberedPortLed ? state.rememberedPortLed : 1, 0);
    else
        boardDevice().setPortLed(0, 0, 0);
}

namespace {

} // namespace

bool supervisionPass(SupervisionState& state)
{
    int live = countRegisteredTasks();
    if (live < 0)
        fprintf(stderr, "TLOCK[%d] failed!\n", -1);
    if (live == 0)
        return false;

    uint64_t stopTick = shutdownTick();
    // An image being written to the flash holds the end back: a box stopped
    // half way through would not start again.
    if (stopTick != 0 && monotonicTicksForSignal() > stopTick + kStopSignalGraceTicks &&
        (!stopMustWait() || monotonicTicksForSignal() > stopTick + kStopWaitLimitSeconds * 100))
        return false;

    if (boardTicks() > state.lastSecond + 100) {
        pollCardReader(state);
        onceASecond(state);
    }

    if (shutdownRequests() > 0 && !state.shutdownStarted) {
        state.shutdownStarted = true;
        startShutdownTask(1);
    }
    powerOnExpiredPorts();
    return true;
}

void superviseTasks(SupervisionState& state)
{
    const timespec pause{0, 100 * 1000 * 1000};
    while (supervisionPass(state))
        nanosleep(&pause, nullptr);
}
