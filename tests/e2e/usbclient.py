"""A client of the box's USB sharing protocol, for the whole-program tests and
for people at a terminal. It is written independently of the box's server and
shares no code with it, so the two check each other.

    with UsbClient.connect("198.18.0.2", 9200, timeout=10) as c:
        print(c.version())                       # Version(major=7, minor=0, build=111)
        devices = c.device_list(keys={1: "secret"})
        d = devices[0]
        assert c.connect_device(d.row, d.port, "tester").status == STATUS_DONE
        urb = c.submit_urb(d.row, d.port, 0x81, BULK, in_length=512)
        result = c.reap_urb(urb)                 # UrbResult: data, status, error
        c.disconnect_device(d.row, d.port)

    python3 tests/e2e/usbclient.py HOST PORT list|version|hostname [--tls [1.0|1.1|1.2]]
    python3 tests/e2e/usbclient.py HOST PORT echo TEXT | read-blocks [N] | keys [SECONDS]

Everything on the wire is big-endian. A request is a 16-byte header {word 0,
opcode, tag, payload length} and a body; a reply is a 24-byte header {word 0,
0x1000 + opcode, tag, length, status, error} and `length` data bytes; a notice
(the box speaks first) is a 16-byte header in the request layout plus its data.

Every read waits at most its time-out and raises ReplyTimeout after it; no call
can hang. Frames that arrive while the client waits for another one (answers of
URBs, replies to earlier requests, notices) are kept and handed out when asked
for, so replies may come in any order.
"""

import argparse
import hashlib
import socket
import ssl
import struct
import sys
import time
import warnings
from collections import deque
from dataclasses import dataclass, field

REQUEST_HEADER = struct.Struct(">IIII")
REPLY_HEADER = struct.Struct(">IIIIII")
REQUEST_HEADER_SIZE = REQUEST_HEADER.size   # 16
REPLY_HEADER_SIZE = REPLY_HEADER.size       # 24

OP_VERSION = 1
OP_OLD_DEVICE_LIST = 2
OP_CLAIM_TEST = 4
OP_RELEASE_INTERFACE = 5
OP_DISCONNECT = 6
OP_TRANSFER = 8
OP_DISCARD_URB = 9
OP_ABORT_ENDPOINT = 11
OP_CLEAR_HALT = 12
OP_RESET = 13
OP_HEARTBEAT = 16
OP_SET_CONFIGURATION = 21
OP_TAG_LIST = 22
OP_BUSY_MASK = 23
OP_HOST_NAME = 24
OP_CONNECT = 25
OP_PORT_STATUS = 26
OP_VERSION_ROWS = 27
OP_DEVICE_LIST = 29

NOTICE_DEVICE_GONE = 17
NOTICE_ADMIN_DISCONNECT = 19

REPLY_BASE = 0x1000
URB_FINAL = REPLY_BASE + OP_TRANSFER    # 0x1008
URB_INTERMEDIATE = 0x101C

# Transfer types of opcode 8, the usbfs URB types.
ISOCHRONOUS = 0
INTERRUPT = 1
CONTROL = 2
BULK = 3

STATUS_DONE = 0
STATUS_GONE = 2
STATUS_FAILED = 3
STATUS_REFUSED = 5

TRANSFER_BODY = struct.Struct(">BBBBII")
ISO_DESCRIPTOR_SIZE = 16
SETUP_PACKET = struct.Struct(">BBHHH")
CLIENT_NAME_SIZE = 32
DEVICE_ENTRY_SIZE = 22
DEVICE_DESCRIPTOR_SIZE = 18
KEY_CRYPT_MAGIC = b"VEK"
KEY_DIGEST_MAGIC = b"VEk"
KEY_CRYPT_ANSWER_SIZE = 11
KEY_DIGEST_ANSWER_SIZE = 20
KEY_DIGEST_MAX_KEY = 67
OWNER_RECORD_SIZE = 9
# The box's key alphabet has 65 characters; only the first 64 are ever picked.
KEY_ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/?"

DEFAULT_TIMEOUT = 10.0
# Largest data part of one frame the client accepts: a URB answer carries at
# most 64 KiB, but a control IN or a bulk IN on a video device may carry what the
# client asked for. Anything larger means the framing is lost.
DEFAULT_MAX_DATA = 16 << 20
RECV_CHUNK = 65536

TLS_VERSIONS = {
    "1.0": (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1),
    "1.1": (ssl.TLSVersion.TLSv1_1, ssl.TLSVersion.TLSv1_1),
    "1.2": (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_2),
    "any": (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_2),
}

SPEED_NAMES = {0: "unknown", 1: "low", 2: "full", 3: "high", 5: "super"}


class UsbClientError(Exception):
    """Base of the client's failures."""


class ReplyTimeout(UsbClientError):
    """What the client waited for did not come within the time-out."""


class ConnectionClosed(UsbClientError):
    """The box closed the connection (or it broke)."""


class ProtocolError(UsbClientError):
    """The box sent bytes that do not fit the protocol."""


class UsbStatusError(UsbClientError):
    """A reply with a status the helper cannot turn into a result."""

    def __init__(self, reply):
        super().__init__(f"reply 0x{reply.opcode:04X} status {reply.status} error {reply.error}")
        self.reply = reply


# ---------------------------------------------------------------- frames

@dataclass
class Reply:
    """A reply or a URB answer. `error` is signed: URB answers carry -errno."""
    word0: int
    opcode: int
    tag: bytes
    status: int
    error: int
    data: bytes = b""

    @property
    def request_opcode(self):
        return self.opcode - REPLY_BASE

    @property
    def is_urb_answer(self):
        return self.opcode in (URB_FINAL, URB_INTERMEDIATE)

    @property
    def final(self):
        return self.opcode != URB_INTERMEDIATE


@dataclass
class Notice:
    """A frame the box sends unasked: 17 the owned device vanished, 19 the
    administrator disconnected the port."""
    word0: int
    opcode: int
    tag: bytes
    data: bytes

    @property
    def row(self):
        return self.data[0] if len(self.data) > 0 else None

    @property
    def port(self):
        return self.data[1] if len(self.data) > 1 else None


@dataclass
class Version:
    major: int
    minor: int
    build: int
    rows: int = None


@dataclass
class DeviceEntry:
    """One row of the device list; the descriptor's 16-bit fields already turned
    into numbers (the box sends them big-endian)."""
    row: int
    port: int
    speed: int
    descriptor: bytes
    bcd_usb: int
    device_class: int
    device_subclass: int
    device_protocol: int
    max_packet_size0: int
    vendor_id: int
    product_id: int
    bcd_device: int
    i_manufacturer: int
    i_product: int
    i_serial: int
    num_configurations: int

    @property
    def speed_name(self):
        return SPEED_NAMES.get(self.speed, f"speed {self.speed}")


@dataclass
class PortStatus:
    code: int
    owner_address: str = None
    owner_name: bytes = b""

    @property
    def in_use(self):
        return bool(self.code & 1)

    @property
    def tls_only(self):
        return bool(self.code & 2)

    @property
    def refused(self):
        # The box ors 5 into the code when the access filter refuses the device.
        return self.code & 5 == 5


@dataclass
class UrbResult:
    """All answers of one URB id, the last one final."""
    answers: list = field(default_factory=list)

    @property
    def final(self):
        return self.answers[-1]

    @property
    def status(self):
        return self.final.status

    @property
    def error(self):
        return self.final.error

    @property
    def data(self):
        return b"".join(a.data for a in self.answers)


# ---------------------------------------------------------------- encoders

def tag_bytes(tag):
    """A tag as its 4 wire bytes: an int is taken as a big-endian number."""
    if isinstance(tag, int):
        return (tag & 0xFFFFFFFF).to_bytes(4, "big")
    tag = bytes(tag)
    if len(tag) != 4:
        raise ValueError(f"a tag has 4 bytes, not {len(tag)}")
    return tag


def encode_header(opcode, tag, payload_length, word0=0):
    return (struct.pack(">II", word0 & 0xFFFFFFFF, opcode & 0xFFFFFFFF) + tag_bytes(tag)
            + struct.pack(">I", payload_length & 0xFFFFFFFF))


def encode_request(opcode, tag, body=b"", word0=0, payload_length=None):
    """Header and body. The payload length says how many body bytes follow;
    the box reads the field only for the device list, but a client fills it
    for every request."""
    body = bytes(body)
    if payload_length is None:
        payload_length = len(body)
    return encode_header(opcode, tag, payload_length, word0) + body


def _byte(value, what):
    if not 0 <= value <= 0xFF:
        raise ValueError(f"{what} {value} does not fit in one byte")
    return value


def encode_row_port(row, port, *more):
    return bytes([_byte(row, "row"), _byte(port, "port")] + [_byte(v, "value") for v in more])


def encode_connect(row, port, client_name):
    """{row, port, 32-byte client name}: shorter names are NUL-padded, a name
    of exactly 32 bytes goes without NUL."""
    name = client_name.encode() if isinstance(client_name, str) else bytes(client_name)
    if len(name) > CLIENT_NAME_SIZE:
        raise ValueError(f"client name of {len(name)} bytes, at most {CLIENT_NAME_SIZE}")
    return encode_row_port(row, port) + name.ljust(CLIENT_NAME_SIZE, b"\0")


def encode_set_configuration(row, port, configuration, pairs=()):
    """{row, port, configuration, n} and n pairs {interface, alternate}. The box
    reads the pairs only when the configuration and n are both non-zero, so for
    configuration 0 they are not sent at all."""
    pairs = list(pairs) if configuration else []
    body = encode_row_port(row, port, configuration, len(pairs))
    for interface, alternate in pairs:
        body += bytes([_byte(interface, "interface"), _byte(alternate, "alternate setting")])
    return body


def encode_setup(request_type, request, value=0, index=0, length=0):
    """The 8-byte setup packet; its 16-bit fields go big-endian on this wire."""
    return SETUP_PACKET.pack(request_type, request, value, index, length)


def encode_transfer(row, port, endpoint, transfer_type, in_length=0, out_data=b""):
    """Body of opcode 8: 12 bytes and the OUT data (for control transfers the
    setup packet and the data stage)."""
    out_data = bytes(out_data)
    return TRANSFER_BODY.pack(_byte(row, "row"), _byte(port, "port"), _byte(endpoint, "endpoint"),
                              _byte(transfer_type, "transfer type"), in_length, len(out_data)) + out_data


def transfer_word0(word0=0, iso_packets=0):
    """Word 0 of opcode 8: for isochronous transfers its upper 24 bits count
    the packet descriptors after the body."""
    return ((iso_packets & 0xFFFFFF) << 8) | (word0 & 0xFF) if iso_packets else word0


def encode_key_list_crypt(entries):
    """"VEK", count, then {port byte, 11 answer characters} per entry."""
    entries = list(entries)
    body = KEY_CRYPT_MAGIC + bytes([_byte(len(entries), "entry count")])
    for port, answer in entries:
        answer = bytes(answer)
        if len(answer) != KEY_CRYPT_ANSWER_SIZE:
            raise ValueError(f"a crypt answer has 11 characters, not {len(answer)}")
        body += bytes([_byte(port, "port")]) + answer
    return body


def encode_key_list_digest(entries):
    """"VEk", count, then {port u16, 20-byte SHA-1} per entry."""
    entries = list(entries)
    body = KEY_DIGEST_MAGIC + bytes([_byte(len(entries), "entry count")])
    for port, digest in entries:
        digest = bytes(digest)
        if len(digest) != KEY_DIGEST_ANSWER_SIZE:
            raise ValueError(f"a digest answer has 20 bytes, not {len(digest)}")
        body += port.to_bytes(2, "big") + digest
    return body


def expected_reply_word0(request_opcode, word0):
    """What the box echoes: the whole word 0, except for the version requests
    and transfers, whose replies keep only its low byte."""
    if request_opcode in (OP_VERSION, OP_TRANSFER, OP_VERSION_ROWS):
        return word0 & 0xFF
    return word0


# ---------------------------------------------------------------- decoders

def decode_reply_header(header):
    """(word0, opcode, tag bytes, length, status, signed error)."""
    if len(header) != REPLY_HEADER_SIZE:
        raise ProtocolError(f"reply header of {len(header)} bytes")
    word0, opcode, _, length, status, error = REPLY_HEADER.unpack(header)
    if error >= 0x80000000:
        error -= 0x100000000
    return word0, opcode, bytes(header[8:12]), length, status, error


def is_notice_opcode(opcode):
    # Replies and URB answers carry 0x1000 and more; what the box sends in the
    # request layout is a notice.
    return opcode < REPLY_BASE


def decode_version(data):
    if len(data) < 6:
        raise ProtocolError(f"version data of {len(data)} bytes, 6 expected")
    major, minor, build = struct.unpack(">HHH", data[:6])
    rows = struct.unpack(">H", data[6:8])[0] if len(data) >= 8 else None
    return Version(major, minor, build, rows)


def decode_device_entry(entry):
    if len(entry) != DEVICE_ENTRY_SIZE:
        raise ProtocolError(f"device entry of {len(entry)} bytes")
    d = bytes(entry[4:])
    return DeviceEntry(
        row=entry[0], port=entry[1], speed=entry[2], descriptor=d,
        bcd_usb=int.from_bytes(d[2:4], "big"),
        device_class=d[4], device_subclass=d[5], device_protocol=d[6], max_packet_size0=d[7],
        vendor_id=int.from_bytes(d[8:10], "big"),
        product_id=int.from_bytes(d[10:12], "big"),
        bcd_device=int.from_bytes(d[12:14], "big"),
        i_manufacturer=d[14], i_product=d[15], i_serial=d[16], num_configurations=d[17])


def decode_device_list(data):
    """{count; u16 22 x count; count entries of 22 bytes}."""
    if len(data) < 3:
        raise ProtocolError(f"device list of {len(data)} bytes")
    count = data[0]
    size = int.from_bytes(data[1:3], "big")
    if size != DEVICE_ENTRY_SIZE * count or len(data) != 3 + size:
        raise ProtocolError(f"device list: count {count}, size field {size}, {len(data)} bytes")
    return [decode_device_entry(data[3 + i * DEVICE_ENTRY_SIZE:3 + (i + 1) * DEVICE_ENTRY_SIZE])
            for i in range(count)]


def decode_tag_list(data):
    """[(port, tag text bytes)] from {port, text, NUL}... ended by a 0 byte."""
    tags = []
    pos = 0
    while True:
        if pos >= len(data):
            raise ProtocolError("tag list without its closing 0 byte")
        port = data[pos]
        if port == 0:
            if pos + 1 != len(data):
                raise ProtocolError(f"{len(data) - pos - 1} bytes after the tag list's end")
            return tags
        end = data.find(b"\0", pos + 1)
        if end < 0:
            raise ProtocolError(f"tag of port {port} without its NUL")
        tags.append((port, bytes(data[pos + 1:end])))
        pos = end + 1


def decode_busy_mask(data):
    # A u32 like every other number on this wire: big-endian.
    if len(data) != 4:
        raise ProtocolError(f"busy mask of {len(data)} bytes")
    return int.from_bytes(data, "big")


def decode_port_status(data):
    """u32 code, then for an IPv4 owner {3, 4, 0, 0, 0, a, b, c, d} and the
    owner's name without NUL."""
    if len(data) < 4:
        raise ProtocolError(f"port status of {len(data)} bytes")
    status = PortStatus(int.from_bytes(data[:4], "big"))
    rest = data[4:]
    if not rest:
        return status
    if len(rest) < OWNER_RECORD_SIZE or rest[:5] != b"\x03\x04\0\0\0":
        raise ProtocolError(f"port status owner record {rest[:OWNER_RECORD_SIZE].hex()}")
    status.owner_address = ".".join(str(b) for b in rest[5:9])
    status.owner_name = bytes(rest[OWNER_RECORD_SIZE:])
    return status


# ---------------------------------------------------------------- port keys

def key_char(x):
    return KEY_ALPHABET[x & 63]


def crypt_salt(nonce):
    """The two salt characters of the crypt answer for session nonce n."""
    n = nonce & 0xFFFFFFFF
    return bytes([key_char(n ^ (n >> 24)), key_char((n >> 16) ^ (n >> 8))])


def digest_prefix(nonce):
    n = nonce & 0xFFFFFFFF
    return bytes([key_char(n >> 24), key_char(n >> 16), key_char(n >> 8), key_char(n)])


def _key_bytes(key):
    # Key texts are typed by an administrator; a str goes out as UTF-8.
    return key.encode() if isinstance(key, str) else bytes(key)


def port_key_crypt_answer(key, nonce):
    """The 11 characters after the salt of the traditional DES crypt of the key."""
    return des_crypt(_key_bytes(key), crypt_salt(nonce))[2:]


def port_key_digest_answer(key, nonce):
    """SHA-1 of the 4-character prefix followed by at most 67 key characters."""
    return hashlib.sha1(digest_prefix(nonce) + _key_bytes(key)[:KEY_DIGEST_MAX_KEY]).digest()


# The traditional UNIX crypt: DES with a salt-perturbed expansion, 25 times over
# a zero block, keyed by the first 8 characters (7 bits each). Written out here
# because the C library and Python's crypt refuse salt characters outside
# "./0-9A-Za-z" (they answer "*0"), while the box's nonces pick '+' as well: the
# traditional algorithm maps any salt character to 6 bits, and so does this one.

_IP = (58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
       62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
       57, 49, 41, 33, 25, 17, 9, 1, 59, 51, 43, 35, 27, 19, 11, 3,
       61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7)
_FP = (40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
       38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
       36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
       34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9, 49, 17, 57, 25)
_PC1 = (57, 49, 41, 33, 25, 17, 9, 1, 58, 50, 42, 34, 26, 18,
        10, 2, 59, 51, 43, 35, 27, 19, 11, 3, 60, 52, 44, 36,
        63, 55, 47, 39, 31, 23, 15, 7, 62, 54, 46, 38, 30, 22,
        14, 6, 61, 53, 45, 37, 29, 21, 13, 5, 28, 20, 12, 4)
_PC2 = (14, 17, 11, 24, 1, 5, 3, 28, 15, 6, 21, 10,
        23, 19, 12, 4, 26, 8, 16, 7, 27, 20, 13, 2,
        41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
        44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32)
_SHIFTS = (1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1)
_E = (32, 1, 2, 3, 4, 5, 4, 5, 6, 7, 8, 9, 8, 9, 10, 11, 12, 13,
      12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25,
      24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1)
_P = (16, 7, 20, 21, 29, 12, 28, 17, 1, 15, 23, 26, 5, 18, 31, 10,
      2, 8, 24, 14, 32, 27, 3, 9, 19, 13, 30, 6, 22, 11, 4, 25)
_S = (
    (14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7,
     0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
     4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0,
     15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13),
    (15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10,
     3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15,
     13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9),
    (10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8,
     13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
     13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7,
     1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12),
    (7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15,
     13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
     10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4,
     3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14),
    (2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9,
     14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
     4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14,
     11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3),
    (12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11,
     10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
     9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6,
     4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13),
    (4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1,
     13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
     1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2,
     6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12),
    (13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7,
     1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
     7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8,
     2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11),
)
_CRYPT_CHARS = b"./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"


def salt_bits(c):
    """The traditional salt character mapping, for any character: '.'..'9' are
    0..11, 'A'..'Z' 12..37, 'a'..'z' 38..63, and every other character lands
    where the same arithmetic puts it, taken modulo 64 ('+' gives 61)."""
    if c > ord("Z"):
        c -= 6
    if c > ord("9"):
        c -= 7
    return (c - ord(".")) & 63


def _key_schedule(key):
    bits = []
    for i in range(8):
        c = key[i] if i < len(key) else 0
        bits += [(c >> (6 - j)) & 1 for j in range(7)] + [0]
    cd = [bits[p - 1] for p in _PC1]
    c, d = cd[:28], cd[28:]
    schedule = []
    for shift in _SHIFTS:
        c = c[shift:] + c[:shift]
        d = d[shift:] + d[:shift]
        cd = c + d
        schedule.append([cd[p - 1] for p in _PC2])
    return schedule


def _salted_expansion(salt):
    e = list(_E)
    for i in range(2):
        bits = salt_bits(salt[i])
        for j in range(6):
            if (bits >> j) & 1:
                e[6 * i + j], e[6 * i + j + 24] = e[6 * i + j + 24], e[6 * i + j]
    return e


def _des_encrypt(block, schedule, expansion):
    block = [block[p - 1] for p in _IP]
    left, right = block[:32], block[32:]
    for keys in schedule:
        pre = [right[expansion[j] - 1] ^ keys[j] for j in range(48)]
        out = []
        for box in range(8):
            six = pre[6 * box:6 * box + 6]
            row = (six[0] << 1) | six[5]
            col = (six[1] << 3) | (six[2] << 2) | (six[3] << 1) | six[4]
            v = _S[box][16 * row + col]
            out += [(v >> 3) & 1, (v >> 2) & 1, (v >> 1) & 1, v & 1]
        f = [out[p - 1] for p in _P]
        left, right = right, [left[j] ^ f[j] for j in range(32)]
    block = right + left
    return [block[p - 1] for p in _FP]


def des_crypt(key, salt):
    """The 13-character traditional crypt of key (bytes, first 8 used) with a
    2-character salt (bytes, any characters)."""
    key = bytes(key).split(b"\0", 1)[0][:8]
    salt = bytes(salt)
    if len(salt) != 2:
        raise ValueError(f"a crypt salt has 2 characters, not {len(salt)}")
    schedule = _key_schedule(key)
    expansion = _salted_expansion(salt)
    block = [0] * 64
    for _ in range(25):
        block = _des_encrypt(block, schedule, expansion)
    bits = block + [0, 0]
    out = bytearray(salt)
    for i in range(11):
        v = 0
        for j in range(6):
            v = (v << 1) | bits[6 * i + j]
        out.append(_CRYPT_CHARS[v])
    return bytes(out)


# ---------------------------------------------------------------- transport

def tls_context(version="any"):
    """A client context for the box's TLS port: version "1.0", "1.1", "1.2" or
    "any" (1.0 to 1.2). The box's certificates are self-signed and its keys may
    be old, so nothing is verified and security level 0 is allowed."""
    if version not in TLS_VERSIONS:
        raise ValueError(f"TLS version {version!r}, one of {', '.join(TLS_VERSIONS)}")
    lowest, highest = TLS_VERSIONS[version]
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    ctx.set_ciphers("ALL:@SECLEVEL=0")
    with warnings.catch_warnings():
        # TLS 1.0 and 1.1 are deprecated in Python; the box offers them, so
        # the client must be able to speak them.
        warnings.simplefilter("ignore", DeprecationWarning)
        ctx.minimum_version = lowest
        ctx.maximum_version = highest
    return ctx


def open_transport(host, port, timeout=DEFAULT_TIMEOUT, tls=None):
    """A connected socket, TLS-wrapped when tls names a version (or is True
    for "any"); the TCP connect and the handshake each wait at most timeout."""
    sock = socket.create_connection((host, port), timeout=timeout)
    if not tls:
        return sock
    try:
        ctx = tls_context("any" if tls is True else tls)
        sock.settimeout(timeout)
        return ctx.wrap_socket(sock, server_side=False, do_handshake_on_connect=True)
    except BaseException:
        sock.close()
        raise


# ---------------------------------------------------------------- the client

class UsbClient:
    """One connection to the box. Use from one thread."""

    def __init__(self, sock, timeout=DEFAULT_TIMEOUT, max_data=DEFAULT_MAX_DATA):
        self.sock = sock
        self.timeout = timeout
        self.max_data = max_data
        self.notices = deque()
        self.last_reply = None
        self._pending = []          # frames read while waiting for others
        self._buf = bytearray()     # bytes of a frame not yet whole
        self._closed = False
        self._next_tag = 1

    @classmethod
    def connect(cls, host, port, timeout=DEFAULT_TIMEOUT, tls=None, **kwargs):
        return cls(open_transport(host, port, timeout, tls), timeout=timeout, **kwargs)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def tls_version(self):
        """The negotiated TLS version ("TLSv1.2"...), None on a plain connection."""
        return self.sock.version() if isinstance(self.sock, ssl.SSLSocket) else None

    def new_tag(self):
        tag = self._next_tag.to_bytes(4, "big")
        self._next_tag = (self._next_tag + 1) & 0xFFFFFFFF or 1
        return tag

    # ----- sending

    def send_raw(self, data, timeout=None):
        """Sends bytes as they are."""
        self.sock.settimeout(self._timeout(timeout))
        try:
            self.sock.sendall(bytes(data))
        except socket.timeout as e:
            raise ReplyTimeout("the box does not take the bytes") from e
        except (BrokenPipeError, ConnectionResetError, ssl.SSLEOFError) as e:
            self._closed = True
            raise ConnectionClosed(str(e)) from e

    def send_split(self, data, at, pause=0.2):
        """Sends data in two writes with a pause between: a frame cut in two
        segments. `at` may be one position or a list of them."""
        cuts = [at] if isinstance(at, int) else sorted(at)
        start = 0
        for cut in cuts + [len(data)]:
            if start > 0:
                self._flush_segment()
                time.sleep(pause)
            self.send_raw(data[start:cut])
            start = cut

    def _flush_segment(self):
        # TCP_NODELAY keeps the first piece from waiting for the second.
        if self.sock.family in (socket.AF_INET, socket.AF_INET6):
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def send_header(self, opcode, tag=None, payload_length=0, word0=0):
        """Sends a request header alone (for example with a huge payload
        length); returns its tag."""
        tag = self.new_tag() if tag is None else tag_bytes(tag)
        self.send_raw(encode_header(opcode, tag, payload_length, word0))
        return tag

    def send_request(self, opcode, body=b"", tag=None, word0=0, payload_length=None):
        """Sends one request; returns its tag. Nothing is read."""
        tag = self.new_tag() if tag is None else tag_bytes(tag)
        self.send_raw(encode_request(opcode, tag, body, word0, payload_length))
        return tag

    def request(self, opcode, body=b"", tag=None, word0=0, payload_length=None, timeout=None):
        """Sends a request and waits for the reply 0x1000 + opcode with its tag."""
        tag = self.send_request(opcode, body, tag, word0, payload_length)
        return self.wait_reply(REPLY_BASE + opcode, tag, timeout)

    # ----- reading

    def _timeout(self, timeout):
        return self.timeout if timeout is None else timeout

    def _fill(self, n, deadline):
        while len(self._buf) < n:
            if self._closed:
                raise ConnectionClosed(f"connection closed with {len(self._buf)} bytes of a frame read")
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise ReplyTimeout(f"{len(self._buf)} of {n} bytes of a frame within the time-out")
            self.sock.settimeout(remaining)
            try:
                chunk = self.sock.recv(min(RECV_CHUNK, max(n - len(self._buf), 1)))
            except socket.timeout as e:
                raise ReplyTimeout(f"{len(self._buf)} of {n} bytes of a frame within the time-out") from e
            except (ConnectionResetError, ssl.SSLEOFError, ssl.SSLZeroReturnError) as e:
                self._closed = True
                raise ConnectionClosed(str(e)) from e
            if not chunk:
                self._closed = True
                continue
            self._buf += chunk

    def _read_frame(self, deadline):
        """Reads one whole frame off the connection. A partial frame stays in
        the buffer when the time runs out, so nothing is lost for the next call."""
        self._fill(REQUEST_HEADER_SIZE, deadline)
        opcode = int.from_bytes(self._buf[4:8], "big")
        if is_notice_opcode(opcode):
            length = int.from_bytes(self._buf[12:16], "big")
            header_size = REQUEST_HEADER_SIZE
        else:
            self._fill(REPLY_HEADER_SIZE, deadline)
            length = int.from_bytes(self._buf[12:16], "big")
            header_size = REPLY_HEADER_SIZE
        if length > self.max_data:
            raise ProtocolError(f"frame 0x{opcode:04X} announces {length} data bytes")
        self._fill(header_size + length, deadline)
        frame = bytes(self._buf[:header_size + length])
        del self._buf[:header_size + length]
        if header_size == REQUEST_HEADER_SIZE:
            word0, opcode, _, _ = REQUEST_HEADER.unpack(frame[:16])
            return Notice(word0, opcode, frame[8:12], frame[16:])
        word0, opcode, tag, _, status, error = decode_reply_header(frame[:24])
        return Reply(word0, opcode, tag, status, error, frame[24:])

    def _take_pending(self, match):
        for i, frame in enumerate(self._pending):
            if match(frame):
                return self._pending.pop(i)
        return None

    def _next_matching(self, match, timeout, what):
        frame = self._take_pending(match)
        if frame is not None:
            return frame
        deadline = time.monotonic() + self._timeout(timeout)
        while True:
            try:
                frame = self._read_frame(deadline)
            except ReplyTimeout as e:
                raise ReplyTimeout(f"no {what}: {e}") from e
            if match(frame):
                return frame
            if isinstance(frame, Notice):
                self.notices.append(frame)
            else:
                self._pending.append(frame)

    def wait_reply(self, opcode, tag, timeout=None):
        """The next reply with this reply opcode and tag; others are kept."""
        tag = tag_bytes(tag)
        reply = self._next_matching(
            lambda f: isinstance(f, Reply) and f.opcode == opcode and f.tag == tag,
            timeout, f"reply 0x{opcode:04X} tag {tag.hex()}")
        self.last_reply = reply
        return reply

    def wait_notice(self, opcode=None, timeout=None):
        """The oldest notice (of this opcode, when given), read or kept."""
        for i, notice in enumerate(self.notices):
            if opcode is None or notice.opcode == opcode:
                del self.notices[i]
                return notice
        return self._next_matching(
            lambda f: isinstance(f, Notice) and (opcode is None or f.opcode == opcode),
            timeout, f"notice {opcode if opcode is not None else ''}")

    def next_frame(self, timeout=None):
        """A frame not yet handed out: a kept reply first, then a kept notice,
        else the next one read (a Reply or a Notice)."""
        if self._pending:
            return self._pending.pop(0)
        if self.notices:
            return self.notices.popleft()
        return self._read_frame(time.monotonic() + self._timeout(timeout))

    def drain(self, timeout):
        """Every frame not yet handed out and every frame that arrives within
        timeout seconds; an empty list shows that the box stayed silent."""
        frames = list(self._pending) + list(self.notices)
        self._pending.clear()
        self.notices.clear()
        deadline = time.monotonic() + timeout
        while True:
            try:
                frames.append(self._read_frame(deadline))
            except ReplyTimeout:
                return frames

    def wait_closed(self, timeout=None):
        """True when the box closes the connection within timeout; frames that
        come before are kept. A partial frame before the end counts as closed."""
        deadline = time.monotonic() + self._timeout(timeout)
        while True:
            try:
                frame = self._read_frame(deadline)
            except ConnectionClosed:
                return True
            except ReplyTimeout:
                return False
            if isinstance(frame, Notice):
                self.notices.append(frame)
            else:
                self._pending.append(frame)

    def recv_raw(self, n, timeout=None):
        """Exactly n bytes as they come, framing ignored (after any kept bytes)."""
        self._fill(n, time.monotonic() + self._timeout(timeout))
        data = bytes(self._buf[:n])
        del self._buf[:n]
        return data

    # ----- requests that need no device

    def _expect_done(self, reply):
        if reply.status != STATUS_DONE:
            raise UsbStatusError(reply)
        return reply

    def version(self, tag=None, word0=0, timeout=None):
        """Opcode 1: Version(7, 0, 111). The box answers it with status 3 and
        error 3 beside the data; that is its normal answer, not a failure. Its
        tag becomes the session nonce."""
        reply = self.request(OP_VERSION, tag=tag, word0=word0, timeout=timeout)
        return decode_version(reply.data)

    def version_rows(self, tag=None, word0=0, timeout=None):
        """Opcode 27: Version with the number of table rows; its tag becomes the
        session nonce."""
        reply = self._expect_done(self.request(OP_VERSION_ROWS, tag=tag, word0=word0, timeout=timeout))
        version = decode_version(reply.data)
        if version.rows is None:
            raise ProtocolError(f"version reply of {len(reply.data)} bytes without the row count")
        return version

    def old_device_list(self, timeout=None):
        """Opcode 2, no longer served: the Reply (status 3, error 3)."""
        return self.request(OP_OLD_DEVICE_LIST, timeout=timeout)

    def host_name(self, timeout=None):
        """Opcode 24: the host name bytes (empty when the box could not read it:
        then last_reply.error is 1)."""
        return self._expect_done(self.request(OP_HOST_NAME, timeout=timeout)).data

    def tags(self, timeout=None):
        """Opcode 22: [(port, tag bytes)] of the ports with a tag."""
        reply = self._expect_done(self.request(OP_TAG_LIST, timeout=timeout))
        if not reply.data:
            return []           # the box could not build the list (error 1)
        return decode_tag_list(reply.data)

    def busy_mask(self, timeout=None):
        """Opcode 23: bit i set when table row i is connected."""
        return decode_busy_mask(self._expect_done(self.request(OP_BUSY_MASK, timeout=timeout)).data)

    def heartbeat(self, value=0, timeout=None):
        """Opcode 16: the 4 bytes the box echoes."""
        body = tag_bytes(value)
        reply = self._expect_done(self.request(OP_HEARTBEAT, body, timeout=timeout))
        if reply.data != body:
            raise ProtocolError(f"heartbeat {body.hex()} echoed as {reply.data.hex()}")
        return reply.data

    def device_list(self, keys=None, digest=False, nonce_tag=None, tag=None, timeout=None):
        """Opcode 29: [DeviceEntry]. keys maps physical ports to key texts; with
        keys the client first asks opcode 27 with a fresh tag, which becomes the
        nonce the answers are computed from, then sends the answers in the crypt
        form ("VEK") or, with digest, the SHA-1 form ("VEk")."""
        body = b""
        if keys:
            nonce_tag = self.new_tag() if nonce_tag is None else tag_bytes(nonce_tag)
            self.version_rows(tag=nonce_tag, timeout=timeout)
            body = self.key_list(keys, int.from_bytes(nonce_tag, "big"), digest)
        reply = self._expect_done(self.request(OP_DEVICE_LIST, body, tag=tag, timeout=timeout))
        return decode_device_list(reply.data)

    @staticmethod
    def key_list(keys, nonce, digest=False):
        """The key list body for {port: key text} under this nonce."""
        ports = sorted(keys)
        if digest:
            return encode_key_list_digest((p, port_key_digest_answer(keys[p], nonce)) for p in ports)
        return encode_key_list_crypt((p, port_key_crypt_answer(keys[p], nonce)) for p in ports)

    # ----- requests on a device (the Reply is the result; status and error tell)

    def connect_device(self, row, port, client_name="", timeout=None):
        """Opcode 25: take the device for this session."""
        return self.request(OP_CONNECT, encode_connect(row, port, client_name), timeout=timeout)

    def disconnect_device(self, row, port, timeout=None):
        """Opcode 6: give the device back."""
        return self.request(OP_DISCONNECT, encode_row_port(row, port), timeout=timeout)

    def set_configuration(self, row, port, configuration, pairs=(), timeout=None):
        """Opcode 21: select a configuration, then each {interface, alternate}."""
        return self.request(OP_SET_CONFIGURATION,
                            encode_set_configuration(row, port, configuration, pairs), timeout=timeout)

    def claim_test(self, row, port, interface, timeout=None):
        """Opcode 4: can the interface be claimed (the device must not be open)."""
        return self.request(OP_CLAIM_TEST, encode_row_port(row, port, interface), timeout=timeout)

    def release_interface(self, row, port, interface, timeout=None):
        """Opcode 5."""
        return self.request(OP_RELEASE_INTERFACE, encode_row_port(row, port, interface), timeout=timeout)

    def clear_halt(self, row, port, endpoint, timeout=None):
        """Opcode 12."""
        return self.request(OP_CLEAR_HALT, encode_row_port(row, port, endpoint), timeout=timeout)

    def reset_device(self, row, port, timeout=None):
        """Opcode 13."""
        return self.request(OP_RESET, encode_row_port(row, port), timeout=timeout)

    def abort_endpoint(self, row, port, endpoint, timeout=None):
        """Opcode 11: discard every transfer of an endpoint. The aborted
        transfers' own answers (status 2, error 32) come as URB answers."""
        return self.request(OP_ABORT_ENDPOINT, encode_row_port(row, port, endpoint), timeout=timeout)

    def discard(self, urb_id, timeout=None):
        """Opcode 9: discard the transfer with this URB id; the reply says
        status 0 whether or not there was one, its own answer follows."""
        return self.request(OP_DISCARD_URB, tag_bytes(urb_id), timeout=timeout)

    def port_status(self, row, port, timeout=None):
        """Opcode 26: PortStatus; a row that is not there answers status 3,
        error 19 (UsbStatusError)."""
        reply = self._expect_done(self.request(OP_PORT_STATUS, encode_row_port(row, port), timeout=timeout))
        return decode_port_status(reply.data)

    # ----- transfers

    def submit_urb(self, row, port, endpoint, transfer_type, in_length=0, out_data=b"",
                   urb_id=None, word0=0, iso_descriptors=b""):
        """Opcode 8: sends the transfer request and returns its URB id (the tag).
        Nothing is read: the answers, immediate or later, come to reap_urb."""
        urb_id = self.new_tag() if urb_id is None else tag_bytes(urb_id)
        iso_descriptors = bytes(iso_descriptors)
        if len(iso_descriptors) % ISO_DESCRIPTOR_SIZE:
            raise ValueError(f"isochronous descriptors of {len(iso_descriptors)} bytes, 16 each")
        packets = len(iso_descriptors) // ISO_DESCRIPTOR_SIZE
        body = encode_transfer(row, port, endpoint, transfer_type, in_length, out_data) + iso_descriptors
        self.send_request(OP_TRANSFER, body, tag=urb_id, word0=transfer_word0(word0, packets))
        return urb_id

    def next_urb_answer(self, urb_id, timeout=None):
        """The next answer (intermediate 0x101C or final 0x1008) of this URB id."""
        urb_id = tag_bytes(urb_id)
        reply = self._next_matching(
            lambda f: isinstance(f, Reply) and f.is_urb_answer and f.tag == urb_id,
            timeout, f"URB answer for {urb_id.hex()}")
        self.last_reply = reply
        return reply

    def reap_urb(self, urb_id, timeout=None):
        """Every answer of the URB id up to its final one: UrbResult. The time-out
        holds for each answer."""
        result = UrbResult()
        while True:
            reply = self.next_urb_answer(urb_id, timeout)
            result.answers.append(reply)
            if reply.final:
                return result

    def transfer(self, row, port, endpoint, transfer_type, in_length=0, out_data=b"", timeout=None):
        """Submit and reap one bulk or interrupt transfer."""
        urb_id = self.submit_urb(row, port, endpoint, transfer_type, in_length, out_data)
        return self.reap_urb(urb_id, timeout)

    def bulk_in(self, row, port, endpoint, length, timeout=None):
        return self.transfer(row, port, endpoint | 0x80, BULK, in_length=length, timeout=timeout)

    def bulk_out(self, row, port, endpoint, data, timeout=None):
        return self.transfer(row, port, endpoint & 0x7F, BULK, out_data=data, timeout=timeout)

    def interrupt_in(self, row, port, endpoint, length, timeout=None):
        return self.transfer(row, port, endpoint | 0x80, INTERRUPT, in_length=length, timeout=timeout)

    def interrupt_out(self, row, port, endpoint, data, timeout=None):
        return self.transfer(row, port, endpoint & 0x7F, INTERRUPT, out_data=data, timeout=timeout)

    def control(self, row, port, request_type, request, value=0, index=0, length=None,
                data=b"", in_length=None, timeout=None):
        """A control transfer on endpoint 0; the box answers it at once: the
        Reply 0x1008 with the IN data. For IN requests length (wLength) and
        in_length default to each other; OUT requests send data as the data
        stage, with wLength its size unless given."""
        data = bytes(data)
        if request_type & 0x80:
            if length is None:
                length = in_length or 0
            if in_length is None:
                in_length = length
        else:
            if length is None:
                length = len(data)
            if in_length is None:
                in_length = 0
        setup = encode_setup(request_type, request, value, index, length)
        # The transfer request names an endpoint even for control transfers:
        # endpoint 0 with the direction bit of the request, as usbfs would.
        urb_id = self.submit_urb(row, port, 0x80 if request_type & 0x80 else 0x00, CONTROL,
                                 in_length=in_length, out_data=setup + data)
        return self.next_urb_answer(urb_id, timeout)

    def get_descriptor(self, row, port, descriptor_type, index=0, language=0, length=255, timeout=None):
        """GET_DESCRIPTOR from the device (the box answers the device,
        configuration and string descriptors from its cache, owner or not)."""
        return self.control(row, port, 0x80, 6, (descriptor_type << 8) | index, language, length,
                            timeout=timeout)


def connect(host, port, timeout=DEFAULT_TIMEOUT, tls=None, **kwargs):
    return UsbClient.connect(host, port, timeout, tls, **kwargs)


def connect_when_ready(host, port, total_timeout, tls=None, timeout=5.0, pause=0.5):
    """A client whose box has answered a version request. A forwarded port may
    accept before the box listens, so only an answer counts as ready."""
    deadline = time.monotonic() + total_timeout
    last = None
    while time.monotonic() < deadline:
        client = None
        try:
            client = UsbClient.connect(host, port, timeout=timeout, tls=tls)
            client.version(timeout=min(timeout, max(deadline - time.monotonic(), 0.1)))
            return client
        except (OSError, UsbClientError) as e:
            last = e
            if client is not None:
                client.close()
        time.sleep(pause)
    raise ReplyTimeout(f"no version answer from {host}:{port} within {total_timeout} s: {last}")


# ---------------------------------------------------------------- command line

def _describe_device(d):
    return (f"row {d.row:2d}  port {d.port:2d}  {d.speed_name:7s}  {d.vendor_id:04x}:{d.product_id:04x}"
            f"  usb {d.bcd_usb >> 8:x}.{d.bcd_usb & 0xFF:02x}  dev {d.bcd_device >> 8:x}.{d.bcd_device & 0xFF:02x}"
            f"  class {d.device_class:02x}  configurations {d.num_configurations}")


def run_command(client, command, out, argument=None, usb_port=None):
    """Runs one command of the command line on an open client."""
    if command == "version":
        v = client.version()
        rows = client.version_rows().rows
        out.write(f"version {v.major}.{v.minor}.{v.build}, {rows} table rows\n")
    elif command == "hostname":
        out.write(client.host_name().decode("utf-8", "replace") + "\n")
    elif command == "list":
        devices = client.device_list()
        for d in devices:
            out.write(_describe_device(d) + "\n")
        out.write(f"{len(devices)} device(s)\n")
    elif command in DEVICE_COMMANDS:
        import usbclasses
        wanted = DEVICE_COMMANDS[command]
        value = getattr(usbclasses, wanted.parse)(argument)
        getattr(usbclasses, wanted.function)(client, out, value, usb_port)
    else:
        raise ValueError(f"unknown command {command!r}")


@dataclass(frozen=True)
class DeviceCommand:
    function: str       # in usbclasses.py
    parse: str          # in usbclasses.py: the argument's text to its value, or ValueError
    argument: str       # what the one argument is, for the help text
    required: bool


# Commands that take a device for a moment and show it working.
DEVICE_COMMANDS = {
    "echo": DeviceCommand("echo_command", "echo_text", "TEXT: sent through a loopback device and read back", True),
    "read-blocks": DeviceCommand("read_blocks_command", "read_blocks_count",
                                 "N: the first N blocks of a mass-storage device, as a hex dump (default 1)", False),
    "keys": DeviceCommand("keys_command", "key_seconds", "SECONDS: what is typed on a keyboard meanwhile (default 10)", False),
}
PLAIN_COMMANDS = ("list", "version", "hostname")


def _parser():
    commands = "\n".join(f"  {name} {c.argument}" if c.required else f"  {name} [{c.argument}]"
                         for name, c in DEVICE_COMMANDS.items())
    parser = argparse.ArgumentParser(
        description="Client of the box's USB sharing protocol.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=f"commands:\n  {', '.join(PLAIN_COMMANDS)}\n{commands}\n"
               "A device command takes the first listed device that fits (--usb-port picks one)\n"
               "and gives it back when done.")
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("command", choices=PLAIN_COMMANDS + tuple(DEVICE_COMMANDS))
    parser.add_argument("argument", nargs="?")
    parser.add_argument("--tls", nargs="?", const="any", choices=sorted(TLS_VERSIONS),
                        help="use TLS (version 1.0, 1.1, 1.2, or any of them)")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT,
                        help="seconds to wait for each answer (default %(default)s)")
    parser.add_argument("--wait", type=float, default=0, metavar="SECONDS",
                        help="wait up to SECONDS for the box to answer before the command")
    parser.add_argument("--usb-port", type=int, metavar="N", help="the device on the box's USB port N")
    return parser


def _check_argument(parser, args):
    wanted = DEVICE_COMMANDS.get(args.command)
    if wanted is None and args.argument is not None:
        parser.error(f"{args.command} takes no argument")
    if wanted is None:
        return
    if wanted.required and args.argument is None:
        parser.error(f"{args.command} needs {wanted.argument.split(':')[0]}")
    import usbclasses
    try:
        getattr(usbclasses, wanted.parse)(args.argument)
    except ValueError as e:
        parser.error(f"{args.command}: {e}")


def _open(args):
    if args.wait > 0:
        return connect_when_ready(args.host, args.port, args.wait, tls=args.tls, timeout=args.timeout)
    return UsbClient.connect(args.host, args.port, timeout=args.timeout, tls=args.tls)


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    _check_argument(parser, args)
    try:
        with _open(args) as client:
            run_command(client, args.command, sys.stdout, args.argument, args.usb_port)
    except (OSError, UsbClientError, ValueError) as e:
        sys.stderr.write(f"usbclient: {args.command} on {args.host}:{args.port} failed: {e}\n")
        return 1
    return 0


if __name__ == "__main__":
    # The device commands' module imports this one by its name: run that
    # copy, so that both see the same classes.
    import usbclient
    sys.exit(usbclient.main())
