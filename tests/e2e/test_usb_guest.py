"""The program on a real kernel's USB stack: a QEMU guest with emulated xHCI and
USB devices (tools/guest/), the program started in the guest's box root.

When this machine cannot provide QEMU or the guest kernel, the tests are
skipped with the reason; they never pass without having run.
"""

import re
import sys
import time
from dataclasses import dataclass

import pytest

import usbguest
import wevbox
from wevbox import BoxError

BANNER = (r"#### wev Master running on (?P<ifname>\S+) ip:\S*/\S* HTTP:-?\d+ HTTPS:-?\d+"
          r" KickOff:(?P<kickoff>-?\d+) ####")

# Software emulation: every limit leaves the guest ample room on a slow machine.
BANNER_TIMEOUT = 120
USB_TIMEOUT = 60
HOTPLUG_TIMEOUT = 60


@dataclass(frozen=True)
class ExpectedDevice:
    """A device of tools/guest/run-vm.sh as the guest's sysfs must show it."""
    name: str            # sysfs name: bus-port (the xHCI port QEMU was told)
    ids: str             # idVendor:idProduct
    product: str
    serial: str          # a regular expression
    speed: str           # Mbit/s as sysfs writes it
    version: str         # USB release of the device descriptor
    interface_class: str
    driver: str          # the guest kernel's driver on interface 0

    def check(self, device, interfaces):
        problems = []
        actual = {"ids": f"{device['idVendor']}:{device['idProduct']}",
                  "manufacturer": device["manufacturer"], "product": device["product"],
                  "speed": device["speed"], "version": device["version"].strip()}
        wanted = {"ids": self.ids, "manufacturer": "QEMU", "product": self.product,
                  "speed": self.speed, "version": self.version}
        for key, value in wanted.items():
            if actual[key] != value:
                problems.append(f"{key} {actual[key]!r}, expected {value!r}")
        if not re.fullmatch(self.serial, device["serial"]):
            problems.append(f"serial {device['serial']!r} does not match {self.serial!r}")
        if device["node"] == "missing":
            problems.append("no usbfs node under /dev/bus/usb")
        first = interfaces[0] if interfaces else {}
        if first.get("bInterfaceClass") != self.interface_class:
            problems.append(f"interface class {first.get('bInterfaceClass')!r}, "
                            f"expected {self.interface_class!r}")
        if first.get("driver") != self.driver:
            problems.append(f"driver {first.get('driver')!r}, expected {self.driver!r}")
        return [f"{self.name}: {p}" for p in problems]


# QEMU numbers the serial of its own devices by the controller's PCI path and
# the port, so they differ between the keyboard and the tablet with equal ids.
def _qemu_serial(port):
    return rf"\d+-[0-9a-f]{{4}}:[0-9a-f]{{2}}:[0-9a-f]{{2}}\.\d-{port}"


STICK = ExpectedDevice("2-1", "46f4:0001", "QEMU USB HARDDRIVE", "STICK0001",
                       "5000", "3.00", "08", "usb-storage")
EXPECTED = (
    STICK,
    ExpectedDevice("1-2", "0627:0001", "QEMU USB Keyboard", _qemu_serial(2),
                   "480", "2.00", "03", "usbhid"),
    ExpectedDevice("1-3", "0627:0001", "QEMU USB Tablet", _qemu_serial(3),
                   "480", "2.00", "03", "usbhid"),
    ExpectedDevice("1-4", "0403:6001", "QEMU USB SERIAL", _qemu_serial(4),
                   "12", "2.00", "ff", "ftdi_sio"),
)


def _all_bound(snapshot, names):
    """Every named device is there and the kernel has bound a driver to its
    first interface (drivers bind a moment after the device appears)."""
    for name in names:
        interfaces = snapshot.interfaces_of(name)
        if name not in snapshot.devices or not interfaces or not interfaces[0]["driver"]:
            return False
    return True


def check_against_expected(snapshot):
    problems = []
    plugged = set(snapshot.plugged())
    wanted = {e.name for e in EXPECTED}
    if plugged != wanted:
        # e.g. a hub that QEMU inserts when the controller runs out of ports
        problems.append(f"devices {sorted(plugged)}, expected {sorted(wanted)}")
    for expected in EXPECTED:
        if expected.name in snapshot.devices:
            problems += expected.check(snapshot.devices[expected.name],
                                       snapshot.interfaces_of(expected.name))
    return problems


# The device list's speed codes for the texts sysfs gives.
SPEED_CODES = {"1.5": 1, "12": 2, "480": 3, "5000": 5}


def program_device_list(port, want, timeout=USB_TIMEOUT):
    """The program's table as a client sees it (the device list of the USB
    sharing protocol), once `want(entries)` holds."""
    import usbclient as uc
    deadline = time.monotonic() + timeout
    with uc.connect_when_ready("127.0.0.1", port, total_timeout=120, timeout=30) as c:
        while True:
            entries = c.device_list()
            if want(entries) or time.monotonic() > deadline:
                return entries
            time.sleep(0.5)


def check_program_usb_table(guest, snapshot):
    """The program's table, read the way a client does through QEMU's
    forward of the guest's 9200, against the guest's own sysfs: every
    device with its ids, USB release and speed; the stick leaves the table
    when it is unplugged and comes back when it is added again."""
    port = int(guest.ports["USB_PORT"])

    def listed(entries):
        return sorted((f"{e.vendor_id:04x}:{e.product_id:04x}", f"{e.bcd_usb >> 8:x}.{e.bcd_usb & 0xff:02x}",
                       e.speed) for e in entries)

    expected = sorted((f"{snapshot.devices[e.name]['idVendor']}:{snapshot.devices[e.name]['idProduct']}",
                       snapshot.devices[e.name]["version"].strip(), SPEED_CODES[snapshot.devices[e.name]["speed"]])
                      for e in EXPECTED)
    entries = program_device_list(port, lambda got: listed(got) == expected)
    assert listed(entries) == expected

    stick_ids = STICK.ids
    guest.qmp.execute("device_del", id="stick")
    guest.qmp.wait_event("DEVICE_DELETED", HOTPLUG_TIMEOUT, lambda data: data.get("device") == "stick")
    without = [x for x in expected if x[0] != stick_ids]
    entries = program_device_list(port, lambda got: listed(got) == without, HOTPLUG_TIMEOUT)
    assert listed(entries) == without

    guest.qmp.execute("device_add", driver="usb-storage", bus="xhci.0", port="1", id="stick",
                      drive="stick0", serial="STICK0001")
    entries = program_device_list(port, lambda got: listed(got) == expected, HOTPLUG_TIMEOUT)
    assert listed(entries) == expected


# -- fixtures -----------------------------------------------------------------------------

@pytest.fixture(scope="module")
def guest_image(tmp_path_factory):
    binary = wevbox.binary_path()
    if not binary.is_file():
        raise BoxError(f"program {binary} not found: build it with tools/build.sh")
    started = time.monotonic()
    try:
        image = usbguest.prepare_image(binary, tmp_path_factory.mktemp("usb-guest"))
    except usbguest.GuestUnavailable as e:
        pytest.skip(f"the real-USB guest cannot run on this machine: {e}")
    print(f"\nusb guest: setup and initramfs {time.monotonic() - started:.1f} s")
    return image


@pytest.fixture
def usb_guest(guest_image, request):
    guest = usbguest.Guest(guest_image)
    failed = True
    try:
        guest.boot()
        yield guest
        failed = any(getattr(request.node, "rep_" + when, None) is not None
                     and getattr(request.node, "rep_" + when).failed
                     for when in ("setup", "call"))
    finally:
        if failed and guest.console is not None:
            sys.stderr.write(f"--- guest console (files kept in {guest.workdir}) ---\n"
                             f"{guest.console.tail()}\n")
        guest.close(keep_files=failed)


# -- tests ----------------------------------------------------------------------------------

def test_program_runs_on_guest_usb_and_sysfs_follows_hotplug(usb_guest):
    guest = usb_guest
    boot_seconds = guest.ready_at - guest.started_at

    guest.command("wev-start", 0)
    banner = guest.wait_console(BANNER, BANNER_TIMEOUT)
    banner_seconds = time.monotonic() - guest.started_at
    assert banner["kickoff"] == "0"
    assert banner["ifname"] == "eth0"

    names = [e.name for e in EXPECTED]
    before = guest.wait_usb(lambda s: _all_bound(s, names), "all four devices with drivers",
                            USB_TIMEOUT)
    assert check_against_expected(before) == [], before.describe()

    # The stick leaves and comes back at run time, as a user would unplug it.
    old_stick = before.devices[STICK.name]
    guest.qmp.execute("device_del", id="stick")
    guest.qmp.wait_event("DEVICE_DELETED", HOTPLUG_TIMEOUT,
                         lambda data: data.get("device") == "stick")
    gone = guest.wait_usb(lambda s: STICK.name not in s.devices
                          and old_stick["node"] not in s.nodes,
                          "the stick's removal", HOTPLUG_TIMEOUT)
    assert set(gone.plugged()) == set(names) - {STICK.name}

    guest.qmp.execute("device_add", driver="usb-storage", bus="xhci.0", port="1", id="stick",
                      drive="stick0", serial="STICK0001")
    back = guest.wait_usb(lambda s: _all_bound(s, [STICK.name]), "the stick's return",
                          HOTPLUG_TIMEOUT)
    assert check_against_expected(back) == [], back.describe()
    new_stick = back.devices[STICK.name]
    # A new enumeration: the kernel gives it the next device number, and the
    # node of the old number is gone.
    assert int(new_stick["devnum"]) > int(old_stick["devnum"])
    assert old_stick["node"] not in back.nodes
    for name in set(names) - {STICK.name}:
        assert back.devices[name]["devnum"] == before.devices[name]["devnum"], name

    assert guest.command("wev-stop") == ["wev exit=0"]
    assert guest.power_off() == 0
    print(f"\nusb guest: ready {boot_seconds:.1f} s, banner {banner_seconds:.1f} s "
          f"after QEMU started, whole run {time.monotonic() - guest.started_at:.1f} s")


def test_program_usb_table_matches_guest_sysfs(usb_guest):
    guest = usb_guest
    guest.command("wev-start", 0)
    guest.wait_console(BANNER, BANNER_TIMEOUT)
    snapshot = guest.wait_usb(lambda s: _all_bound(s, [e.name for e in EXPECTED]),
                              "all four devices with drivers", USB_TIMEOUT)
    check_program_usb_table(guest, snapshot)
    assert guest.command("wev-stop") == ["wev exit=0"]
