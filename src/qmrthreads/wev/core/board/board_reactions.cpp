#include "core/board/board_reactions.h"

#include "core/addr/sock_addr.h"
#include "core/board/board_device.h"
#include "core/params/param_change_effects.h"
#include "core/params/param_store.h"
#include "core/product/model_features.h"
#include "core/product/product_info.h"
#include "core/storage/sd_card_state.h"
#include "core/task/shutdown.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t kShowBlinking = kDisplayAdd | kDisplaySlowBlink;

// Looked up in the store, like the parameter whose change is collected.
template <typename T>
T* storeParam(const char* name, ParamClass cls)
{
    Param* p = ParamStore::findAny(name);
    return p && p->paramClass() == cls ? static_cast<T*>(p) : nullptr;
}

bool relayMode(const char* token)
{
    P3List* mode = storeParam<P3List>("relay_ctrl", ParamClass::List);
    return mode && mode->equalsToken(token);
}

// Switching `zyt_poff_<n>` on powers port n off.
void portPowerChanged(Param& p)
{
    if (!(p.flags() & kFeaturePortPower))
        return;
    int port = atoi(p.name() + strlen("zyt_poff_"));
    if (port < 1 || static_cast<uint32_t>(port) > productInfo().usb_ports_phy)
        return;
    boardDevice().setPortPower(port - 1, p.isOff());
}

// Leaving a relay mode forgets the events counted under the old one.
void relayModeChanged(Param&)
{
    Param* relayOn = ParamStore::findAny("relay_on");
    boardDevice().setRelay(relayMode("fix") && relayOn && relayOn->isOn());
    if (IntParam* eves = storeParam<IntParam>("relay_eves", ParamClass::Int))
        eves->setChecked(0);
}

void relayOnChanged(Param& p)
{
    if (relayMode("fix"))
        boardDevice().setRelay(p.isOn());
}

void relayStateRuleChanged(Param&)
{
    if (relayMode("stat"))
        boardDevice().setRelay(0);
}

// A relay held by "fix" stays as relay_on says whatever the rules do.
void relayEventRuleChanged(Param&)
{
    if (!relayMode("stat") && !relayMode("fix"))
        boardDevice().setRelay(0);
}

void defaultDisplayTextChanged(Param& p)
{
    std::string text = p.text();
    if (text.size() >= 2)
        boardDevice().setDisplayEntry(text[0], text[1], 0);
}

void supplyDisplayChanged(Param& p)
{
    if (p.isOff()) {
        boardDevice().setDisplayEntry('E', '1', kDisplayRemove);
        return;
    }
    // Only the supply bits: the lock bit must not turn this entry into a
    // lock of its own over "RS" or "DL".
    uint32_t missing = boardDevice().displayStateFlags() & (kSupply1Missing | kSupply2Missing);
    if (missing)
        boardDevice().setDisplayEntry('E', '1', missing | kShowBlinking);
}

void sdCardDisplayChanged(Param& p)
{
    if (p.isOff()) {
        for (char code : {'2', '3', '4'})
            boardDevice().setDisplayEntry('E', code, kDisplayRemove);
        return;
    }
    switch (sdCardState()) {
    case kSdCardUnusable: boardDevice().setDisplayEntry('E', '2', kShowBlinking); break;
    case kSdCardWriteProtected: boardDevice().setDisplayEntry('E', '3', kShowBlinking); break;
    case kSdCardRemoved: boardDevice().setDisplayEntry('E', '4', kShowBlinking); break;
    default: break;
    }
}

void showStopSequence()
{
    boardDevice().setDisplayEntry('R', 'S', kDisplayLock | kDisplaySlowBlink);
}

}  // namespace

void showAddressOnLeds(const SockAddr& address)
{
    BoardDevice& board = boardDevice();
    if (!board.extendedDriver())
        return;
    if (address.isSet() && !address.isLinkLocal())
        board.blinkPatternA();
    else
        board.blinkPatternB();
}

void registerBoardReactions()
{
    setStopSequenceNotice(showStopSequence);
    registerParamEffect("zyt_poff_", true, portPowerChanged);
    registerParamEffect("relay_ctrl", false, relayModeChanged);
    registerParamEffect("relay_on", false, relayOnChanged);
    registerParamEffect("relay_stat_", true, relayStateRuleChanged);
    registerParamEffect("relay_eve_", true, relayEventRuleChanged);
    registerParamEffect("disp_def", false, defaultDisplayTextChanged);
    registerParamEffect("disp_pwr", false, supplyDisplayChanged);
    registerParamEffect("disp_sdc", false, sdCardDisplayChanged);
}
