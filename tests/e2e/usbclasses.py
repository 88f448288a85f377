"""What the USB sharing client knows of standard USB devices, on top of
usbclient.py: configuration descriptors, picking a device by what its
interfaces are, mass storage over the bulk-only transport, and the reports of
a boot keyboard. Written from the USB specifications alone; the command line
of usbclient.py uses it, and so do the whole-program tests.

    with usbclient.connect(host, 9200) as c:
        device = find_device(c, is_mass_storage)
        with Session(c, device) as s:
            disk = BulkOnly(c, s.row, s.port, *device.bulk_pair)
            capacity = disk.read_capacity()
"""

import struct
import time
from dataclasses import dataclass, field

import usbclient as uc

DESCRIPTOR_DEVICE = 1
DESCRIPTOR_CONFIGURATION = 2
DESCRIPTOR_INTERFACE = 4
DESCRIPTOR_ENDPOINT = 5
CONFIGURATION_HEADER_SIZE = 9

CLASS_HID = 3
CLASS_MASS_STORAGE = 8
CLASS_VENDOR = 0xFF
SUBCLASS_SCSI = 6
PROTOCOL_BULK_ONLY = 0x50
SUBCLASS_BOOT = 1
PROTOCOL_KEYBOARD = 1


# ---------------------------------------------------------------- descriptors

@dataclass
class Endpoint:
    address: int
    transfer_type: int      # usbfs numbering: 1 interrupt, 3 bulk (bmAttributes differ)
    max_packet: int

    @property
    def is_in(self):
        return bool(self.address & 0x80)


@dataclass
class Interface:
    number: int
    alternate: int
    cls: int
    subclass: int
    protocol: int
    endpoints: list = field(default_factory=list)

    def endpoint(self, transfer_type, direction_in):
        for e in self.endpoints:
            if e.transfer_type == transfer_type and e.is_in == direction_in:
                return e
        return None


@dataclass
class Configuration:
    value: int
    interfaces: list


# bmAttributes' transfer type (0 control, 1 isochronous, 2 bulk, 3 interrupt)
# as the usbfs URB types that the transfer request names.
_URB_TYPE = {0: uc.CONTROL, 1: uc.ISOCHRONOUS, 2: uc.BULK, 3: uc.INTERRUPT}


def parse_configuration(data):
    """A configuration descriptor with everything behind it (little-endian, as
    the device sends it) -> Configuration; the first alternate setting of each
    interface only."""
    data = bytes(data)
    if len(data) < CONFIGURATION_HEADER_SIZE or data[1] != DESCRIPTOR_CONFIGURATION:
        raise uc.ProtocolError(f"no configuration descriptor: {data[:9].hex()}")
    total = struct.unpack_from("<H", data, 2)[0]
    data = data[:total]
    config = Configuration(value=data[5], interfaces=[])
    current = None
    pos = data[0]
    while pos + 2 <= len(data):
        length, kind = data[pos], data[pos + 1]
        if length < 2 or pos + length > len(data):
            raise uc.ProtocolError(f"descriptor of length {length} at {pos} of {len(data)}")
        d = data[pos:pos + length]
        if kind == DESCRIPTOR_INTERFACE and length >= 9:
            current = Interface(d[2], d[3], d[5], d[6], d[7]) if d[3] == 0 else None
            if current:
                config.interfaces.append(current)
        elif kind == DESCRIPTOR_ENDPOINT and length >= 7 and current is not None:
            current.endpoints.append(Endpoint(d[2], _URB_TYPE[d[3] & 3], struct.unpack_from("<H", d, 4)[0]))
        pos += length
    return config


def read_configuration(client, row, port):
    """The first configuration of the device (the box answers it from its
    cache, whoever owns the device): its 9-byte head first, then all of it."""
    head = client.get_descriptor(row, port, DESCRIPTOR_CONFIGURATION, length=CONFIGURATION_HEADER_SIZE)
    if head.status != uc.STATUS_DONE or len(head.data) < 4:
        raise uc.UsbStatusError(head)
    total = struct.unpack_from("<H", head.data, 2)[0]
    whole = client.get_descriptor(row, port, DESCRIPTOR_CONFIGURATION, length=total)
    if whole.status != uc.STATUS_DONE:
        raise uc.UsbStatusError(whole)
    return parse_configuration(whole.data)


# ---------------------------------------------------------------- picking a device

@dataclass
class FoundDevice:
    entry: object           # usbclient.DeviceEntry
    configuration: Configuration
    interface: Interface

    @property
    def row(self):
        return self.entry.row

    @property
    def port(self):
        return self.entry.port


def is_loopback(interface):
    """A vendor-specific interface with a bulk OUT and a bulk IN endpoint."""
    return (interface.cls == CLASS_VENDOR and interface.endpoint(uc.BULK, False) is not None
            and interface.endpoint(uc.BULK, True) is not None)


def is_mass_storage(interface):
    return (interface.cls == CLASS_MASS_STORAGE and interface.subclass == SUBCLASS_SCSI
            and interface.protocol == PROTOCOL_BULK_ONLY
            and interface.endpoint(uc.BULK, False) is not None and interface.endpoint(uc.BULK, True) is not None)


def is_boot_keyboard(interface):
    return (interface.cls == CLASS_HID and interface.subclass == SUBCLASS_BOOT
            and interface.protocol == PROTOCOL_KEYBOARD and interface.endpoint(uc.INTERRUPT, True) is not None)


class NoSuchDevice(uc.UsbClientError):
    """No listed device has what the command needs."""


def find_device(client, fits, port=None, what="device"):
    """The first listed device (on physical port `port`, when given) with an
    interface that fits."""
    entries = client.device_list()
    for entry in entries:
        if port is not None and entry.port != port:
            continue
        config = read_configuration(client, entry.row, entry.port)
        for interface in config.interfaces:
            if fits(interface):
                return FoundDevice(entry, config, interface)
    where = f" on port {port}" if port is not None else ""
    raise NoSuchDevice(f"no {what}{where} among the {len(entries)} listed device(s)")


class Session:
    """The device taken for this client: connected and configured on entry,
    given back on exit."""

    def __init__(self, client, device, client_name="usbclient"):
        self.client = client
        self.device = device
        self.row = device.row
        self.port = device.port
        self.client_name = client_name

    def __enter__(self):
        c = self.client
        reply = c.connect_device(self.row, self.port, self.client_name)
        if (reply.status, reply.error) != (uc.STATUS_DONE, 0):
            raise uc.UsbStatusError(reply)
        reply = c.set_configuration(self.row, self.port, self.device.configuration.value)
        if (reply.status, reply.error) != (uc.STATUS_DONE, 0):
            c.disconnect_device(self.row, self.port)
            raise uc.UsbStatusError(reply)
        return self

    def __exit__(self, *exc):
        try:
            self.client.disconnect_device(self.row, self.port)
        except uc.UsbClientError:
            if exc[0] is None:
                raise


def check_transfer(result, what):
    if (result.status, result.error) != (uc.STATUS_DONE, 0):
        raise uc.UsbClientError(f"{what}: status {result.status} error {result.error}")
    return result


# ---------------------------------------------------------------- loopback

# A loopback device holds what it was sent until it is read back; the echo
# reads at most this many times before it gives up on the rest.
ECHO_MAX_READS = 64


def echo(client, row, port, interface, data):
    """Sends data on the bulk OUT endpoint and reads it back on the bulk IN one."""
    out_ep = interface.endpoint(uc.BULK, False).address
    in_ep = interface.endpoint(uc.BULK, True).address
    check_transfer(client.bulk_out(row, port, out_ep, data), "bulk OUT")
    back = b""
    for _ in range(ECHO_MAX_READS):
        if len(back) >= len(data):
            break
        back += check_transfer(client.bulk_in(row, port, in_ep, len(data) - len(back)), "bulk IN").data
    return back


# ---------------------------------------------------------------- mass storage

CBW_SIGNATURE = 0x43425355
CSW_SIGNATURE = 0x53425355
CSW_SIZE = 13
SCSI_INQUIRY = 0x12
SCSI_READ_CAPACITY_10 = 0x25
SCSI_READ_10 = 0x28
INQUIRY_LENGTH = 36


class BulkOnly:
    """SCSI commands over the bulk-only transport, through the box."""

    def __init__(self, client, row, port, out_ep=0x02, in_ep=0x81):
        self.c, self.row, self.port = client, row, port
        self.out_ep, self.in_ep = out_ep, in_ep
        self.tag = 0

    @classmethod
    def on(cls, client, device):
        i = device.interface
        return cls(client, device.row, device.port, i.endpoint(uc.BULK, False).address,
                   i.endpoint(uc.BULK, True).address)

    def command(self, cdb, data_in=0, data_out=b""):
        """One command: the CBW, the data stage, the CSW. The data read, when
        data_in asks for some; a failed stage or a CSW that is not a good
        answer to this command raises."""
        self.tag += 1
        length = data_in or len(data_out)
        flags = 0x80 if data_in else 0x00
        cbw = struct.pack("<IIIBBB", CBW_SIGNATURE, self.tag, length, flags, 0, len(cdb)) + cdb.ljust(16, b"\0")
        check_transfer(self.c.bulk_out(self.row, self.port, self.out_ep, cbw), "command block")
        data = b""
        if data_in:
            data = check_transfer(self.c.bulk_in(self.row, self.port, self.in_ep, data_in), "data IN").data
        elif data_out:
            check_transfer(self.c.bulk_out(self.row, self.port, self.out_ep, data_out), "data OUT")
        csw = check_transfer(self.c.bulk_in(self.row, self.port, self.in_ep, CSW_SIZE), "status").data
        if len(csw) != CSW_SIZE:
            raise uc.ProtocolError(f"command status of {len(csw)} bytes")
        signature, tag, _residue, status = struct.unpack("<IIIB", csw)
        if (signature, tag, status) != (CSW_SIGNATURE, self.tag, 0):
            raise uc.ProtocolError(f"command 0x{cdb[0]:02x}: status block signature 0x{signature:08x} "
                                   f"tag {tag} (sent {self.tag}) status {status}")
        return data

    def inquiry(self):
        """(vendor, product) texts of the INQUIRY answer."""
        data = self.command(bytes([SCSI_INQUIRY, 0, 0, 0, INQUIRY_LENGTH, 0]), data_in=INQUIRY_LENGTH)
        text = lambda b: b.decode("ascii", "replace").strip()  # noqa: E731
        return text(data[8:16]), text(data[16:32])

    def read_capacity(self):
        """(number of blocks, block size)."""
        last, block = struct.unpack(">II", self.command(bytes([SCSI_READ_CAPACITY_10]) + bytes(9), data_in=8))
        return last + 1, block

    def read(self, lba, blocks, block_size):
        return self.command(struct.pack(">BBIBHB", SCSI_READ_10, 0, lba, 0, blocks, 0),
                            data_in=blocks * block_size)


def hex_dump(data, offset=0):
    """Lines of 16 bytes: offset, hex, text; runs of equal lines become "*"."""
    lines = []
    previous = None
    starred = False
    for pos in range(0, len(data), 16):
        chunk = data[pos:pos + 16]
        if chunk == previous and pos + 16 < len(data):
            if not starred:
                lines.append("*")
                starred = True
            continue
        previous, starred = chunk, False
        hex_part = " ".join(f"{b:02x}" for b in chunk).ljust(47)
        text = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in chunk)
        lines.append(f"{offset + pos:08x}  {hex_part}  |{text}|")
    return lines


# ---------------------------------------------------------------- boot keyboard

BOOT_REPORT_SIZE = 8
ROLLOVER = 1
SHIFT_BITS = 0x22           # left and right shift
HID_SET_PROTOCOL = 0x0B
HID_CLASS_OUT_TO_INTERFACE = 0x21
BOOT_PROTOCOL = 0

_UNSHIFTED = {0x28: "\n", 0x2B: "\t", 0x2C: " "}
_SHIFTED_PAIRS = {0x2D: "-_", 0x2E: "=+", 0x2F: "[{", 0x30: "]}", 0x31: "\\|", 0x33: ";:", 0x34: "'\"",
                  0x35: "`~", 0x36: ",<", 0x37: ".>", 0x38: "/?"}


def key_text(usage, shifted):
    """The character of a key usage on the US layout; "" for keys without one."""
    if 0x04 <= usage <= 0x1D:
        c = chr(ord("a") + usage - 0x04)
        return c.upper() if shifted else c
    if 0x1E <= usage <= 0x27:
        return ("!@#$%^&*()" if shifted else "1234567890")[usage - 0x1E]
    if usage in _SHIFTED_PAIRS:
        return _SHIFTED_PAIRS[usage][1 if shifted else 0]
    return _UNSHIFTED.get(usage, "")


class BootKeyboard:
    """Turns boot reports into the characters of the keys newly pressed."""

    def __init__(self):
        self.held = set()

    def feed(self, report):
        if len(report) < 3:
            return ""
        if ROLLOVER in report[2:BOOT_REPORT_SIZE]:
            return ""           # too many keys at once: the report names none of them
        shifted = bool(report[0] & SHIFT_BITS)
        now = {u for u in report[2:BOOT_REPORT_SIZE] if u}
        pressed = [u for u in report[2:BOOT_REPORT_SIZE] if u in now - self.held]
        self.held = now
        return "".join(key_text(u, shifted) for u in pressed)


def set_boot_protocol(client, row, port, interface_number):
    reply = client.control(row, port, HID_CLASS_OUT_TO_INTERFACE, HID_SET_PROTOCOL, BOOT_PROTOCOL, interface_number)
    return reply.status == uc.STATUS_DONE


def read_keys(client, row, port, interface, seconds, out, heartbeat_every=1.0):
    """Writes what is typed to out for the given seconds; the session's
    heartbeat keeps the box from releasing the device meanwhile. The text."""
    endpoint = interface.endpoint(uc.INTERRUPT, True)
    keyboard = BootKeyboard()
    typed = []
    deadline = time.monotonic() + seconds
    urb = client.submit_urb(row, port, endpoint.address, uc.INTERRUPT, in_length=max(endpoint.max_packet, 8))

    def show(report):
        text = keyboard.feed(report)
        if text:
            typed.append(text)
            out.write(text)
            out.flush()

    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        try:
            answer = client.next_urb_answer(urb, timeout=min(left, heartbeat_every))
        except uc.ReplyTimeout:
            client.heartbeat(1)
            continue
        check_transfer(answer, "interrupt IN")
        show(answer.data)
        urb = client.submit_urb(row, port, endpoint.address, uc.INTERRUPT, in_length=max(endpoint.max_packet, 8))
    client.discard(urb)
    # A report that came just before the discard is still shown.
    last = client.reap_urb(urb)
    if last.status == uc.STATUS_DONE:
        show(last.data)
    return "".join(typed)


# ---------------------------------------------------------------- the command line's device commands

DEFAULT_READ_BLOCKS = 1
MAX_READ_BLOCKS = 128
DEFAULT_KEY_SECONDS = 10.0
MAX_KEY_SECONDS = 3600.0


def _number(text, default, low, high, what, kind=int):
    if text is None:
        return default
    try:
        value = kind(text)
    except ValueError:
        raise ValueError(f"{what} must be a number, not {text!r}") from None
    if not low <= value <= high:
        raise ValueError(f"{what} must be {low} to {high}, not {text}")
    return value


def echo_text(text):
    return text.encode()


def read_blocks_count(text):
    return _number(text, DEFAULT_READ_BLOCKS, 1, MAX_READ_BLOCKS, "the number of blocks")


def key_seconds(text):
    return _number(text, DEFAULT_KEY_SECONDS, 0.1, MAX_KEY_SECONDS, "the seconds", float)


def _taken(out, device, what):
    out.write(f"{what} on port {device.port} (row {device.row}, "
              f"{device.entry.vendor_id:04x}:{device.entry.product_id:04x})\n")


def echo_command(client, out, data, usb_port):
    device = find_device(client, is_loopback, usb_port, "loopback device")
    with Session(client, device):
        back = echo(client, device.row, device.port, device.interface, data)
    _taken(out, device, "loopback")
    out.write(f"sent {len(data)} bytes, read back {len(back)}: {back.decode('utf-8', 'replace')}\n")
    if back != data:
        raise uc.UsbClientError(f"the loopback answered {back!r} to {data!r}")


def read_blocks_command(client, out, count, usb_port):
    device = find_device(client, is_mass_storage, usb_port, "mass-storage device")
    with Session(client, device):
        disk = BulkOnly.on(client, device)
        vendor, product = disk.inquiry()
        blocks, block_size = disk.read_capacity()
        count = min(count, blocks)
        data = disk.read(0, count, block_size)
    _taken(out, device, "storage")
    out.write(f"{vendor} {product}: {blocks} blocks of {block_size} bytes; the first {count}:\n")
    for line in hex_dump(data):
        out.write(line + "\n")


def keys_command(client, out, seconds, usb_port):
    device = find_device(client, is_boot_keyboard, usb_port, "keyboard")
    with Session(client, device):
        set_boot_protocol(client, device.row, device.port, device.interface.number)
        _taken(out, device, "keyboard")
        out.write(f"what is typed in the next {seconds:g} s:\n")
        out.flush()
        typed = read_keys(client, device.row, device.port, device.interface, seconds, out)
    out.write(("\n" if typed and not typed.endswith("\n") else "") + f"{len(typed)} character(s)\n")
