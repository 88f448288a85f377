#include "usbserver/usb_port_power.h"

#include "core/board/board_device.h"
#include "core/task/tick_clock.h"
#include "usbserver/usb_server_task.h"

#include <atomic>

namespace {

std::atomic<uint64_t> portPowerTimers[kUsbPowerTimerPorts];
std::atomic<UsbPortPowerOff> powerOff{nullptr};
std::atomic<int> powerOffRequests{0};

} // namespace

void powerOffPort(int portIndex, int ticks)
{
    if (portIndex < 0 || portIndex >= kUsbPowerTimerPorts)
        return;
    boardDevice().setPortPower(portIndex, 0);
    // Never 0, which means "no deadline".
    const uint64_t deadline = boardTicks() + static_cast<uint64_t>(ticks > 0 ? ticks : 0);
    portPowerTimers[portIndex].store(deadline ? deadline : 1);
}

void powerOnExpiredPorts()
{
    const uint64_t now = boardTicks();
    for (int i = 0; i < kUsbPowerTimerPorts; ++i) {
        uint64_t deadline = portPowerTimers[i].load();
        // Cleared only if no newer power-off set another time meanwhile.
        if (deadline != 0 && now >= deadline && portPowerTimers[i].compare_exchange_strong(deadline, 0))
            boardDevice().setPortPower(i, 1);
    }
}

uint64_t portPowerDeadline(int portIndex)
{
    if (portIndex < 0 || portIndex >= kUsbPowerTimerPorts)
        return 0;
    return portPowerTimers[portIndex].load();
}

void setUsbPortPowerOff(UsbPortPowerOff op)
{
    powerOff.store(op);
}

void usbPortPowerOff(int portIndex, int ticks)
{
    powerOffRequests.fetch_add(1);
    if (UsbPortPowerOff op = powerOff.load())
        op(portIndex, ticks);
    else
        powerOffPort(portIndex, ticks);
}

int usbPortPowerOffRequests()
{
    return powerOffRequests.load();
}
