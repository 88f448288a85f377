// The simulated USB host as tests, tools and the demo drive it. It stands in
// for the kernel's usbfs and sysfs on a machine without the box's USB
// devices (platform/usbfs/usbfs.h chooses it); usb_sim_host.h lists the kernel
// rules it keeps.
//
// Everything lives under the box root (WEV_ROOT; the simulated host does
// nothing without one):
//   /sys/devices/platform/usbsim-hcd.N/...  the devices' sysfs directories,
//   /sys/bus/usb/devices/*                  linked as the kernel links them,
//   /dev/bus/usb/BBB/DDD                    one node per device,
//   /dev/usbsim/commands/NAME.cmd           commands queued from outside,
//   /dev/usbsim/results/NAME                their answers,
//   /dev/usbsim/state                       the devices and their counters,
//   /dev/usbsim/disk-ID.img                 default disk images.
//
// No thread of its own: queued commands are applied when the program next
// touches the usbfs seam (at most every 20 ms) and whenever the device scan
// calls usbHostPoll() before it reads sysfs, so a command takes effect within
// one scan period at the latest. tools/usbsim-ctl queues a command and waits
// for its answer.
//
// Commands (one line; the answer starts with "ok" or "error: "):
//   plug MODEL [at=NAME | port=N] [kernel-driver] [KEY=VALUE ...]
//       MODEL: loopback, keyboard, storage, hub, dual-config, broken, or
//       VVVV:PPPP (a loopback device with those ids). at= names the place
//       ("1-1.2"); port=N takes the place the model's board wires to
//       physical port N; neither takes the first free one of the model's
//       ports (4 when their number is not known). The model is the one
//       handed in through the seam's setUp. kernel-driver:
//       the kernel has a driver for the device (usbhid, usb-storage) and
//       binds it at plug and after a reset. Options: vid=, pid=, bcd=,
//       manufacturer=, product=, serial= (empty: no such string), speed=
//       (1.5, 12, 480, 5000), class= (every interface's); storage: image=PATH, size=BYTES; hub: ports=N;
//       broken: fault=extra-config|long-interface|short-langids[+...].
//       Answers "ok NAME".
//   unplug NAME | unplug port=N | unplug all
//   inject NAME REQUEST ERROR [COUNT]   the request fails with ERROR (an
//       errno name such as EIO, ETIMEDOUT, ENOTTY; "stall" for EPIPE; "ok"
//       to make it succeed) COUNT times, or until cleared. REQUEST: open,
//       control, submit, claim, release, setconfig, setinterface,
//       clear_halt, resetep, reset, getdriver, ioctl, port_release,
//       discard, or urb:EP (the URBs on endpoint EP complete with -ERROR; a
//       stall also halts the endpoint). The port release succeeds unless
//       told otherwise, as on the box's kernel.
//   inject NAME clear
//   type NAME TEXT                      keys typed on a keyboard
//   state                               the state text
//   log NAME                            the device's request log
//   models                              the models and the special ids
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace usbsim {

// Runs one command line; the answer as above.
std::string command(const std::string& line);

struct DeviceCounters {
    bool plugged = false;
    int openFiles = 0;           // usbfs descriptors open on the device
    int pendingUrbs = 0;         // submitted, not yet completed
    int reapableUrbs = 0;        // completed, not yet reaped
    int claimedInterfaces = 0;   // claimed through usbfs
};

// By device name ("1-1.2"): the plugged device, or the last one of that name.
bool deviceCounters(const std::string& name, DeviceCounters* out);
// Lines "REQUEST DETAIL -> RESULT", oldest first (the newest 512).
std::vector<std::string> requestLog(const std::string& name);
// How often a request (by its injection name, also "read", "reap", "close")
// reached the device.
uint64_t requestCount(const std::string& name, const std::string& request);
std::string stateText();

// Applies the commands queued under the root now.
void applyQueuedCommands();

// Tests: unplugs and forgets everything, closes every simulated descriptor,
// and starts afresh under the current root.
void resetForTest();

} // namespace usbsim
