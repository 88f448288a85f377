// The usbfs seam. Every call the program makes on a USB device file
// ("/dev/bus/usb/BBB/DDD": open, close, read, lseek, ioctl, and the
// descriptor that epoll watches for completions) goes through one table of
// operations. Two back-ends sit side by side: the kernel's usbfs itself, and
// a simulated USB host that keeps the kernel's rules for machines without
// USB devices (platform/usbfs/sim/usb_sim.h). The choice is made once, on
// first use; nothing above this header knows which back-end answers.
//
// Requests and structures are those of <linux/usbdevice_fs.h> for the
// machine the program is built for (struct usbdevfs_urb, usbdevfs_ctrltransfer,
// usbdevfs_setinterface, usbdevfs_getdriver, usbdevfs_ioctl, and the
// USBDEVFS_* request numbers built from them). Never write request numbers or
// structure sizes by hand: they differ between machines.
//
// Completion readiness: a descriptor from open() reports EPOLLOUT while a
// completed URB waits to be reaped, as the kernel's usbfs does. The kernel
// adds EPOLLHUP once the device is gone; the simulated host instead keeps the
// descriptor writable from the unplug on, so a caller that watches
// EPOLLOUT|EPOLLHUP and reaps on either sees the same sequence on both: the
// remaining completions, then ENODEV.
#pragma once

#include <linux/ioctl.h>
#include <cstdint>
#include <linux/usbdevice_fs.h>
#include <sys/types.h>

// The board kernel's port release request: no argument. A kernel without it
// (every standard kernel) answers ENOTTY. Not the standard kernel's
// USBDEVFS_GET_CAPABILITIES, which shares its number but carries an argument.
constexpr unsigned long USBDEVFS_PORT_RELEASE = _IO('U', 26);
static_assert(USBDEVFS_PORT_RELEASE != USBDEVFS_GET_CAPABILITIES);

// What a back-end cannot learn from the devices themselves: the model it
// serves. The layer above knows it from the product record and hands it in.
struct UsbfsSetup {
    uint32_t product = 0;       // model number: where its physical ports sit
                                // on the buses
    uint32_t ports = 0;         // physical USB ports; 0: unknown
};

struct UsbfsOps {
    // Before the first device is looked at. Until then a back-end serves
    // product 0 with an unknown number of ports.
    void (*setUp)(const UsbfsSetup& setup);
    // open(2) semantics on a usbfs device file: a descriptor, or -1 with
    // errno. O_RDONLY gives a descriptor that reads descriptors but whose
    // requests all fail with EPERM.
    int (*open)(const char* path, int flags);
    // close(2) semantics. Pending URBs of the descriptor are dropped and its
    // claimed interfaces given back; nothing of them can be reaped later.
    int (*close)(int fd);
    // read(2) semantics: the device descriptor (18 bytes, USB byte order)
    // followed by every configuration's descriptors, from the current offset.
    ssize_t (*read)(int fd, void* buf, size_t size);
    // lseek(2) semantics; SEEK_SET and SEEK_CUR only (SEEK_END: EINVAL).
    off_t (*lseek)(int fd, off_t offset, int whence);
    // ioctl(2) semantics: USBDEVFS_* requests with the argument the kernel
    // takes (a pointer to the request's structure, the URB pointer itself for
    // USBDEVFS_DISCARDURB, a pointer to a URB pointer for the reaps, nullptr
    // for USBDEVFS_RESET and USBDEVFS_PORT_RELEASE).
    int (*ioctl)(int fd, unsigned long request, void* arg);
    // The descriptor to register with epoll for completion readiness
    // (EPOLLOUT); -1 when fd is not an open usbfs descriptor of this back-end.
    int (*pollFd)(int fd);
    // Whether pollFd's descriptor is ready now (a completed URB waits to be
    // reaped, or the device is gone), when the back-end knows it without a
    // system call: the simulated host, which completes most URBs within
    // their submit, does. The kernel would need a poll to tell, so its
    // answer is always false and the caller waits for the descriptor as
    // usual. A caller that has just submitted URBs asks it to reap them
    // without a wait in between.
    bool (*readyNow)(int fd);
    // Brings the back-end's view of the attached devices up to date before
    // the caller reads the sysfs tree. The kernel keeps its own tree; the
    // simulated host applies the plug and unplug commands queued from outside.
    void (*hostPoll)();
    const char* name;  // "kernel" or "simulated", for the start banner
};

// The back-end of this run, chosen on first use by selectUsbfs() on the
// root's "/sys/bus/usb/devices".
const UsbfsOps& usbfs();

// The rule itself: the kernel's usbfs when the box root is "/" (WEV_ROOT
// unset or empty) or when sysfsDevicesPath lies on a sysfs file system (a
// root whose "sys" is the real one, as in the guest that runs real USB);
// the simulated host otherwise. A simulated root never writes outside
// itself.
const UsbfsOps& selectUsbfs(const char* sysfsDevicesPath);

// usbfs().hostPoll(): the device scan calls it before it reads sysfs.
void usbHostPoll();

extern const UsbfsOps realUsbfsOps;
extern const UsbfsOps simUsbfsOps;
