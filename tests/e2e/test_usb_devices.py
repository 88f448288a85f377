"""The device operations of the whole program, driven by the independent
client (usbclient.py) from the peer namespace against the simulated USB
host: connect and configuration, control requests answered from the cached
descriptors (which must not reach the device), bulk transfers around the URB
size compared byte for byte, interrupt reports, discard, stall and clear
halt, reset, take-over, unplug, heartbeat release, and a mass-storage device
read and written through the server and checked against its disk image.
"""

import os
import random
import struct
import time

import pytest

import usbclient as uc
from usbclasses import BulkOnly
from test_usb_protocol import assert_host_clean, client, start_usb_box, usbsim
import wevbox

LOOPBACK_PORT = 1
KEYBOARD_PORT = 2
STORAGE_PORT = 3
BULK_OUT, BULK_IN, INTERRUPT_IN = 0x01, 0x81, 0x82
STORAGE_OUT, STORAGE_IN = 0x02, 0x81
KEYBOARD_IN = 0x81
LANGUAGE = 0x0409


# ---------------------------------------------------------------- helpers

def sim_name(box, model):
    """The simulated host's name of the plugged device of this model."""
    for line in usbsim(box, "state").splitlines():
        fields = line.split()
        if fields and fields[0] == "device" and f"model={model}" in fields and "plugged=1" in fields:
            return fields[1]
    raise AssertionError(f"no plugged {model} device")


def sim_log(box, name):
    return usbsim(box, "log", name).splitlines()


def entry_on(c, port):
    for e in c.device_list():
        if e.port == port:
            return e
    raise AssertionError(f"nothing listed on port {port}")


def take(c, port, name="e2e"):
    """Connects the device on port and selects configuration 1; its row."""
    e = entry_on(c, port)
    r = c.connect_device(e.row, port, name)
    assert (r.status, r.error) == (0, 0), r
    r = c.set_configuration(e.row, port, 1)
    assert (r.status, r.error) == (0, 0), r
    return e.row


@pytest.fixture
def usb_box(box):
    image = box.workdir / "disk.img"
    image.write_bytes(random.Random(7).randbytes(4 << 20))
    start_usb_box(box, {"zyt_hid": "on"},
                  plugs=[f"loopback port={LOOPBACK_PORT}", f"keyboard port={KEYBOARD_PORT}",
                         f"storage port={STORAGE_PORT} image={image}"])
    box.image = image
    return box


# ---------------------------------------------------------------- tests

def test_descriptors_come_from_the_cache_without_reaching_the_device(usb_box):
    box = usb_box
    name = sim_name(box, "loopback")
    with client(box) as owner, client(box) as other:
        row = take(owner, LOOPBACK_PORT)
        def controls():
            return sum(ln.startswith("control") for ln in sim_log(box, name))

        before = controls()
        for c in (owner, other):
            r = c.get_descriptor(row, LOOPBACK_PORT, 1, length=64)
            assert (r.status, len(r.data)) == (0, 18)
            assert r.data[2:4] == b"\x02\x00" and r.data[8:12] == b"\x12\x09\x00\x01", "16-bit fields big-endian"
            r = c.get_descriptor(row, LOOPBACK_PORT, 2, length=255)
            total = struct.unpack_from("<H", r.data, 2)[0]
            assert (r.status, r.data[:2], len(r.data)) == (0, b"\x09\x02", total)
            r = c.get_descriptor(row, LOOPBACK_PORT, 3, index=2, language=LANGUAGE)
            assert r.status == 0 and r.data[2:].decode("utf-16-le") == "Loopback Device"
        # The configuration comes from the kernel's copy in the device file;
        # no request reached the device.
        assert controls() == before

        # A string the device lacks is asked once, then remembered.
        for _ in range(2):
            r = other.get_descriptor(row, LOOPBACK_PORT, 3, index=9, language=LANGUAGE)
            assert (r.status, r.data) == (0, b"\x02\x03")
        assert sum("control 80 06 0309" in ln for ln in sim_log(box, name)) == 1


@pytest.mark.parametrize("size", [1, 512, 65535, 65536, 65537, 200000, 4 << 20])
def test_bulk_out_then_in_on_the_loopback_byte_for_byte(usb_box, size):
    box = usb_box
    data = random.Random(size).randbytes(size)
    with client(box, timeout=30) as c:
        row = take(c, LOOPBACK_PORT)
        out = c.submit_urb(row, LOOPBACK_PORT, BULK_OUT, uc.BULK, out_data=data)
        back = b""
        while len(back) < size:
            # The device holds at most 1 MiB: read while the OUT transfer goes on.
            r = c.bulk_in(row, LOOPBACK_PORT, BULK_IN, min(size - len(back), 1 << 20))
            assert (r.status, r.error) == (0, 0)
            for a in r.answers[:-1]:
                assert (a.opcode, len(a.data)) == (uc.URB_INTERMEDIATE, 65536)
            back += r.data
        done = c.reap_urb(out)
        assert (done.status, done.error, done.data) == (0, 0, b"")
        assert len(done.answers) == 1
        assert back == data
        c.disconnect_device(row, LOOPBACK_PORT)
    assert_host_clean(box)


def test_keyboard_reports_and_a_discarded_interrupt_urb(usb_box):
    box = usb_box
    name = sim_name(box, "keyboard")
    with client(box) as c:
        row = take(c, KEYBOARD_PORT)
        usbsim(box, "type", name, "a")
        press = c.interrupt_in(row, KEYBOARD_PORT, KEYBOARD_IN, 8)
        release = c.interrupt_in(row, KEYBOARD_PORT, KEYBOARD_IN, 8)
        assert press.status == 0 and press.data == bytes([0, 0, 4, 0, 0, 0, 0, 0]), "usage 4: 'a'"
        assert release.data == bytes(8)

        pending = c.submit_urb(row, KEYBOARD_PORT, KEYBOARD_IN, uc.INTERRUPT, in_length=8)
        assert c.discard(pending).status == 0
        r = c.reap_urb(pending)
        assert len(r.answers) == 1 and r.status == 0 and r.data == b""
        assert any(ln.startswith("discard") and ln.endswith("-> 0") for ln in sim_log(box, name))
    assert_host_clean(box)


def test_stall_clear_halt_and_reset(usb_box):
    box = usb_box
    name = sim_name(box, "loopback")
    with client(box) as c:
        row = take(c, LOOPBACK_PORT)
        usbsim(box, "inject", name, "urb:0x81", "stall", "1")
        c.bulk_out(row, LOOPBACK_PORT, BULK_OUT, b"x" * 10)
        r = c.bulk_in(row, LOOPBACK_PORT, BULK_IN, 512)
        assert (r.status, r.error) == (3, -32)
        r = c.bulk_in(row, LOOPBACK_PORT, BULK_IN, 512)
        assert (r.status, r.error) == (3, -32), "the endpoint stays halted"
        assert c.clear_halt(row, LOOPBACK_PORT, BULK_IN).status == 0
        r = c.bulk_in(row, LOOPBACK_PORT, BULK_IN, 512)
        assert (r.status, r.data) == (0, b"x" * 10)

        resets = sum(ln.startswith("reset") for ln in sim_log(box, name))
        assert c.reset_device(row, LOOPBACK_PORT).status == 0
        assert sum(ln.startswith("reset") for ln in sim_log(box, name)) == resets + 1


def test_take_over_notice_comes_before_the_new_owners_answer(usb_box):
    box = usb_box
    with client(box) as a, client(box) as b:
        row = take(a, LOOPBACK_PORT, "alpha")
        pending = a.submit_urb(row, LOOPBACK_PORT, BULK_IN, uc.BULK, in_length=512)
        a.heartbeat(1)
        r = b.connect_device(row, LOOPBACK_PORT, "beta")
        assert (r.status, r.error) == (0, 0)
        # The old owner was told before the new owner got its answer: the
        # notice is there at once.
        n = a.wait_notice(uc.NOTICE_DEVICE_GONE, timeout=0.5)
        assert (n.row, n.port, n.word0) == (row, LOOPBACK_PORT, 1)
        aborted = a.reap_urb(pending, timeout=2)
        assert (aborted.status, aborted.error) == (2, 32)
        assert b.busy_mask() & (1 << row)
        # The old owner may no longer act on it.
        r = a.reset_device(row, LOOPBACK_PORT)
        assert (r.status, r.error) == (5, 12)
    assert_host_clean(box)


def test_unplug_during_a_pending_in(usb_box):
    box = usb_box
    name = sim_name(box, "loopback")
    with client(box) as c:
        row = take(c, LOOPBACK_PORT)
        pending = c.submit_urb(row, LOOPBACK_PORT, BULK_IN, uc.BULK, in_length=4096)
        c.heartbeat(1)
        usbsim(box, "unplug", name)
        r = c.reap_urb(pending, timeout=10)
        assert r.status != 0
        n = c.wait_notice(uc.NOTICE_DEVICE_GONE, timeout=10)
        assert (n.row, n.port) == (row, LOOPBACK_PORT)
        assert c.heartbeat(2) == b"\x00\x00\x00\x02", "the session goes on"
    assert_host_clean(box)


def test_heartbeat_release_of_a_silent_owner(box):
    start_usb_box(box, {"zyt_heartbeat": "1"}, plugs=[f"loopback port={LOOPBACK_PORT}"])
    with client(box, timeout=20) as c, client(box) as watcher:
        row = take(c, LOOPBACK_PORT)
        deadline = time.monotonic() + 20
        while watcher.busy_mask() & (1 << row):
            assert time.monotonic() < deadline, "the silent owner kept the device"
            time.sleep(0.5)
    assert_host_clean(box)


# ---------------------------------------------------------------- mass storage

def test_mass_storage_reads_and_writes_match_the_disk_image(usb_box):
    box = usb_box
    with client(box, timeout=30) as c:
        row = take(c, STORAGE_PORT)
        disk = BulkOnly(c, row, STORAGE_PORT)
        inquiry = disk.command(bytes([0x12, 0, 0, 0, 36, 0]), data_in=36)
        assert len(inquiry) == 36 and inquiry[0] & 0x1f == 0
        last, block = struct.unpack(">II", disk.command(bytes([0x25]) + bytes(9), data_in=8))
        assert (last + 1) * block == 4 << 20 and block == 512

        image = box.image.read_bytes()
        for lba, blocks in ((0, 1), (8, 128), (1000, 300)):
            data = disk.command(struct.pack(">BBIBHB", 0x28, 0, lba, 0, blocks, 0), data_in=blocks * 512)
            assert data == image[lba * 512:(lba + blocks) * 512], f"READ(10) {lba}+{blocks}"

        written = random.Random(99).randbytes(257 * 512)
        disk.command(struct.pack(">BBIBHB", 0x2A, 0, 2000, 0, 257, 0), data_out=written)
        assert disk.command(struct.pack(">BBIBHB", 0x28, 0, 2000, 0, 257, 0), data_in=len(written)) == written
        with open(box.image, "rb") as f:
            f.seek(2000 * 512)
            assert f.read(len(written)) == written
        c.disconnect_device(row, STORAGE_PORT)
    assert_host_clean(box)


# ---------------------------------------------------------------- real usbfs

STICK_IDS = (0x46F4, 0x0001)
GUEST_KEYBOARD_IDS = (0x0627, 0x0001)
GUEST_TIMEOUT = 60


def test_real_usbfs_in_the_guest_storage_and_keyboard(tmp_path):
    """The program in the QEMU guest on the kernel's own usbfs, the client on
    this machine: the emulated stick's descriptors and strings, and sectors
    read over bulk-only transport that match the guest's disk image; the
    keyboard's pending interrupt URB answers a discard. The kernel's
    usb-storage and usbhid drivers hold the interfaces until the server
    takes the devices."""
    import usbguest
    from test_usb_guest import BANNER
    binary = wevbox.binary_path()
    try:
        image = usbguest.prepare_image(binary, tmp_path)
    except usbguest.GuestUnavailable as e:
        pytest.skip(f"the real-USB guest cannot run on this machine: {e}")
    guest = usbguest.Guest(image, tmp_path / "guest")
    try:
        guest.boot()
        guest.command("wev-start", 0)
        guest.wait_console(BANNER, 120)
        guest.wait_usb(lambda s: all(n in s.devices and s.interfaces_of(n) and s.interfaces_of(n)[0]["driver"]
                                     for n in ("2-1", "1-2")), "the stick and the keyboard with drivers",
                       GUEST_TIMEOUT)
        port = int(guest.ports["USB_PORT"])
        with uc.connect_when_ready("127.0.0.1", port, total_timeout=120, timeout=GUEST_TIMEOUT) as c:
            deadline = time.monotonic() + GUEST_TIMEOUT
            while True:
                entries = {(e.vendor_id, e.product_id): e for e in c.device_list()}
                if STICK_IDS in entries and GUEST_KEYBOARD_IDS in entries:
                    break
                assert time.monotonic() < deadline, f"listed: {sorted(entries)}"
                time.sleep(1)
            stick = entries[STICK_IDS]
            row = take(c, stick.port, "guest")
            r = c.get_descriptor(row, stick.port, 1, length=18)
            assert r.status == 0 and r.data[8:12] == b"\x46\xf4\x00\x01"
            r = c.get_descriptor(row, stick.port, 2, length=255)
            assert r.status == 0 and r.data[1] == 2 and len(r.data) == struct.unpack_from("<H", r.data, 2)[0]
            texts = []
            for index in (stick.i_manufacturer, stick.i_product, stick.i_serial):
                r = c.get_descriptor(row, stick.port, 3, index=index, language=LANGUAGE)
                assert r.status == 0
                texts.append(r.data[2:r.data[0]].decode("utf-16-le"))
            assert texts == ["QEMU", "QEMU USB HARDDRIVE", "STICK0001"]

            disk = BulkOnly(c, row, stick.port)
            disk.command(bytes([0x12, 0, 0, 0, 36, 0]), data_in=36)
            last, block = struct.unpack(">II", disk.command(bytes([0x25]) + bytes(9), data_in=8))
            assert block == 512
            image_bytes = (guest.vm_dir / "stick0.img").read_bytes()
            assert (last + 1) * block == len(image_bytes)
            for lba, blocks in ((0, 1), (1, 64), (4096, 128)):
                data = disk.command(struct.pack(">BBIBHB", 0x28, 0, lba, 0, blocks, 0), data_in=blocks * 512)
                assert data == image_bytes[lba * 512:(lba + blocks) * 512], f"READ(10) {lba}+{blocks}"
            assert data_marker(image_bytes) in disk.command(struct.pack(">BBIBHB", 0x28, 0, 0, 0, 1, 0),
                                                             data_in=512)
            c.disconnect_device(row, stick.port)

            keyboard = entries[GUEST_KEYBOARD_IDS]
            row = take(c, keyboard.port, "guest")
            pending = c.submit_urb(row, keyboard.port, KEYBOARD_IN, uc.INTERRUPT, in_length=8)
            assert c.heartbeat(5) == b"\x00\x00\x00\x05"
            assert c.discard(pending).status == 0
            r = c.reap_urb(pending, timeout=GUEST_TIMEOUT)
            assert len(r.answers) == 1 and r.status == 0 and r.data == b""
            c.disconnect_device(row, keyboard.port)
        assert guest.command("wev-stop") == ["wev exit=0"]
    finally:
        guest.close()


def data_marker(image_bytes):
    return image_bytes[:len(b"WEV-GUEST-DISK stick0 sector 0")]
