"""Self-tests of the USB sharing client (usbclient.py); no program needed.

The expected bytes are written out by hand from the protocol's layout, and the
port-key answers are checked against implementations that are not the client's:
OpenSSL's DES_crypt (which takes any salt character), the C library's crypt
through perl (ordinary salts only), and sha1sum's digests. The box's side of a
connection is played by the test on the other end of a socketpair.
"""

import ctypes
import ctypes.util
import io
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import warnings

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import usbclient as uc  # noqa: E402

PEER_TIMEOUT = 5.0
# Generous: these only prove that a wait ends, not how fast the machine is.
BOUND = 5.0


def h(text):
    """Bytes from hex written with spaces for reading."""
    return bytes.fromhex(text.replace(" ", ""))


def reply_frame(opcode, tag, status=0, error=0, data=b"", word0=0):
    """A reply as the box frames it, built here independently of the client."""
    return struct.pack(">II", word0, opcode) + tag + struct.pack(">Iii", len(data), status, error) + data


def notice_frame(opcode, row, port):
    return struct.pack(">II", 1, opcode) + b"\0\0\0\0" + struct.pack(">I", 2) + bytes([row, port])


def tag(n):
    return n.to_bytes(4, "big")


class Peer:
    """The box's end of the socketpair, played by a test."""

    def __init__(self, sock):
        self.sock = sock
        sock.settimeout(PEER_TIMEOUT)
        self.threads = []
        self.errors = []

    def recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise AssertionError(f"client closed after {len(data)} of {n} bytes")
            data += chunk
        return data

    def send(self, data):
        self.sock.sendall(data)

    def later(self, *steps):
        """Runs (pause, bytes or callable) steps on a thread."""
        def run():
            try:
                for pause, action in steps:
                    time.sleep(pause)
                    action() if callable(action) else self.sock.sendall(action)
            except Exception as e:  # noqa: BLE001 - reported by join()
                self.errors.append(e)
        t = threading.Thread(target=run, daemon=True)
        t.start()
        self.threads.append(t)

    def join(self):
        for t in self.threads:
            t.join(BOUND)
            assert not t.is_alive(), "scripted peer did not finish"
        assert not self.errors, self.errors


@pytest.fixture
def pair():
    a, b = socket.socketpair()
    client = uc.UsbClient(a, timeout=BOUND)
    peer = Peer(b)
    yield client, peer
    client.close()
    b.close()


def _openssl_des_crypt():
    name = ctypes.util.find_library("crypto")
    if not name:
        return None
    try:
        fn = ctypes.CDLL(name).DES_crypt
    except (OSError, AttributeError):
        return None
    fn.restype = ctypes.c_char_p
    fn.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    return fn


# ------------------------------------------------------------ encodings

REQUEST_CASES = [
    ("version", lambda: uc.encode_request(uc.OP_VERSION, tag(7)),
     "00000000 00000001 00000007 00000000"),
    ("word 0 and tag as given", lambda: uc.encode_request(uc.OP_VERSION_ROWS, b"ABCD", word0=0x11223344),
     "11223344 0000001b 41424344 00000000"),
    ("heartbeat", lambda: uc.encode_request(uc.OP_HEARTBEAT, tag(2), bytes.fromhex("deadbeef")),
     "00000000 00000010 00000002 00000004 deadbeef"),
    ("connect, short name NUL-padded", lambda: uc.encode_request(uc.OP_CONNECT, tag(9), uc.encode_connect(3, 2, "pc")),
     "00000000 00000019 00000009 00000022 03 02 7063" + "00" * 30),
    ("connect, 32-byte name without NUL", lambda: uc.encode_connect(0, 1, "N" * 32),
     "00 01" + "4e" * 32),
    ("disconnect", lambda: uc.encode_request(uc.OP_DISCONNECT, tag(1), uc.encode_row_port(0, 1)),
     "00000000 00000006 00000001 00000002 0001"),
    ("set configuration with pairs",
     lambda: uc.encode_request(uc.OP_SET_CONFIGURATION, tag(3), uc.encode_set_configuration(1, 2, 1, [(0, 0), (1, 2)])),
     "00000000 00000015 00000003 00000008 01020102 0000 0102"),
    ("set configuration 0 sends no pairs", lambda: uc.encode_set_configuration(1, 2, 0, [(1, 1)]),
     "01020000"),
    ("claim test", lambda: uc.encode_request(uc.OP_CLAIM_TEST, tag(4), uc.encode_row_port(2, 3, 1)),
     "00000000 00000004 00000004 00000003 020301"),
    ("clear halt", lambda: uc.encode_row_port(2, 3, 0x81), "020381"),
    ("bulk IN transfer", lambda: uc.encode_request(uc.OP_TRANSFER, tag(5), uc.encode_transfer(1, 2, 0x81, uc.BULK, 200000)),
     "00000000 00000008 00000005 0000000c 01 02 81 03 00030d40 00000000"),
    ("bulk OUT transfer", lambda: uc.encode_transfer(1, 2, 0x02, uc.BULK, out_data=b"abc"),
     "01 02 02 03 00000000 00000003 616263"),
    ("setup packet is big-endian", lambda: uc.encode_setup(0x80, 6, 0x0100, 0x0409, 18),
     "80 06 0100 0409 0012"),
    ("isochronous word 0", lambda: uc.transfer_word0(0x1105, 3).to_bytes(4, "big"), "00000305"),
    ("discard by URB id", lambda: uc.encode_request(uc.OP_DISCARD_URB, tag(6), tag(42)),
     "00000000 00000009 00000006 00000004 0000002a"),
    ("key list, crypt form", lambda: uc.encode_key_list_crypt([(1, b"ABCDEFGHIJK")]),
     "56454b 01 01 4142434445464748494a4b"),
    ("key list, digest form", lambda: uc.encode_key_list_digest([(258, bytes(range(20)))]),
     "56456b 01 0102 000102030405060708090a0b0c0d0e0f10111213"),
    ("device list without keys", lambda: uc.encode_request(uc.OP_DEVICE_LIST, tag(8)),
     "00000000 0000001d 00000008 00000000"),
    ("payload length as given", lambda: uc.encode_header(uc.OP_DEVICE_LIST, tag(8), 0xFFFFFFFF),
     "00000000 0000001d 00000008 ffffffff"),
]


@pytest.mark.parametrize("make, expected", [c[1:] for c in REQUEST_CASES], ids=[c[0] for c in REQUEST_CASES])
def test_request_encodings(make, expected):
    assert make().hex() == h(expected).hex()


@pytest.mark.parametrize("bad", [
    lambda: uc.encode_connect(0, 1, "x" * 33),
    lambda: uc.encode_row_port(256, 1),
    lambda: uc.encode_transfer(0, 1, 0x81, uc.BULK, in_length=1 << 32),
    lambda: uc.tag_bytes(b"abc"),
    lambda: uc.encode_key_list_crypt([(1, b"short")]),
    lambda: uc.encode_key_list_digest([(1, b"\0" * 19)]),
    lambda: uc.des_crypt(b"key", b"a"),
    lambda: uc.tls_context("1.3"),
], ids=["long name", "row 256", "IN length 2^32", "3-byte tag", "short crypt answer",
        "short digest", "1-char salt", "TLS 1.3"])
def test_encoders_refuse_bad_input(bad):
    with pytest.raises((ValueError, struct.error)):
        bad()


def test_reply_word0_echo_rule():
    assert uc.expected_reply_word0(uc.OP_VERSION, 0x11223344) == 0x44
    assert uc.expected_reply_word0(uc.OP_TRANSFER, 0x11223344) == 0x44
    assert uc.expected_reply_word0(uc.OP_VERSION_ROWS, 0x11223344) == 0x44
    assert uc.expected_reply_word0(uc.OP_HEARTBEAT, 0x11223344) == 0x11223344


# ------------------------------------------------------------ decodings

def test_reply_header_error_word_is_signed():
    word0, opcode, t, length, status, error = uc.decode_reply_header(
        h("00000044 00001008 0000002a 00000000 00000003 ffffffb9"))
    assert (word0, opcode, t, length, status, error) == (0x44, 0x1008, tag(42), 0, 3, -71)


DEVICE_ENTRY_HEX = "00 01 03 00  12 01 0200 00 00 00 40 046d c52b 1201 01 02 03 01"


def test_device_list_decoding():
    entries = uc.decode_device_list(h("01 0016" + DEVICE_ENTRY_HEX))
    assert len(entries) == 1
    d = entries[0]
    assert (d.row, d.port, d.speed, d.speed_name) == (0, 1, 3, "high")
    assert (d.bcd_usb, d.vendor_id, d.product_id, d.bcd_device) == (0x0200, 0x046D, 0xC52B, 0x1201)
    assert (d.max_packet_size0, d.i_manufacturer, d.i_product, d.i_serial, d.num_configurations) == (64, 1, 2, 3, 1)
    assert uc.decode_device_list(h("00 0000")) == []


def test_small_reply_decodings():
    assert uc.decode_version(h("0007 0000 006f")) == uc.Version(7, 0, 111)
    assert uc.decode_version(h("0007 0000 006f 0028")) == uc.Version(7, 0, 111, 40)
    assert uc.decode_tag_list(h("01 6c6162 00 03 78 00 00")) == [(1, b"lab"), (3, b"x")]
    assert uc.decode_tag_list(h("00")) == []
    assert uc.decode_busy_mask(h("80000001")) == 0x80000001


def test_port_status_decoding():
    s = uc.decode_port_status(h("00000001 03 04 00 00 00 c6 12 00 05") + b"alice ")
    assert (s.code, s.in_use, s.owner_address, s.owner_name) == (1, True, "198.18.0.5", b"alice ")
    s = uc.decode_port_status(h("00000007"))
    assert (s.in_use, s.tls_only, s.refused, s.owner_address) == (True, True, True, None)
    s = uc.decode_port_status(h("00000002"))
    assert (s.in_use, s.tls_only, s.refused) == (False, True, False)


@pytest.mark.parametrize("decode, data", [
    (uc.decode_device_list, "02 002c" + DEVICE_ENTRY_HEX),      # count says 2, one entry
    (uc.decode_device_list, "01 0015" + DEVICE_ENTRY_HEX),      # size field wrong
    (uc.decode_device_list, "00 00"),
    (uc.decode_tag_list, "01 6c6162 00"),                       # no closing 0
    (uc.decode_tag_list, "01 6c6162"),                          # no NUL
    (uc.decode_tag_list, "00 01"),                              # bytes after the end
    (uc.decode_port_status, "000001"),
    (uc.decode_port_status, "00000001 06 10 00 00 00 01 02 03 04"),  # not an IPv4 record
    (uc.decode_busy_mask, "000000"),
    (uc.decode_version, "0007 0000"),
], ids=["count", "size field", "short list", "tag list end", "tag NUL", "after end",
        "short status", "owner record", "short mask", "short version"])
def test_malformed_reply_data(decode, data):
    with pytest.raises(uc.ProtocolError):
        decode(h(data))


# ------------------------------------------------------------ port keys

@pytest.mark.parametrize("nonce, salt, prefix", [
    # salt: A[n ^ n>>24], A[n>>16 ^ n>>8]; prefix: A[n>>24] A[n>>16] A[n>>8] A[n]; A[x] = alphabet[x & 63]
    (0x12345678, b"qi", b"S0W4"),
    (0x0000003E, b"+A", b"AAA+"),
    (0x00003E3E, b"++", b"AA++"),
    (0x0000003F, b"/A", b"AAA/"),
    (0x40414243, b"DD", b"ABCD"),
    (0xFFFFFFFF, b"AA", b"////"),
])
def test_nonce_to_salt_and_prefix(nonce, salt, prefix):
    assert uc.crypt_salt(nonce) == salt
    assert uc.digest_prefix(nonce) == prefix


# Computed with OpenSSL's DES_crypt, which maps every salt character as the
# traditional algorithm does; the C library refuses the '+' salts ("*0").
DES_VECTORS = [
    (b"secret", b"ab", b"abNANd1rDfiNc"),
    (b"secret", b"+A", b"+AX/eXT29FYs6"),
    (b"secret", b"A+", b"A+8LOGF4SAHoU"),
    (b"Port-Key-1", b"++", b"++n4MzR8EIb56"),
    (b"Port-Key-1", b"+A", b"+ADPG05aL.L5w"),
    (b"k", b"+/", b"+/vHKDOrBD7Mc"),
    (b"", b"+9", b"+9yo5frGqJf3o"),
    (b"password", b"qi", b"qiMbk5T0wX9To"),
]


@pytest.mark.parametrize("key, salt, expected", DES_VECTORS)
def test_des_crypt_known_vectors(key, salt, expected):
    assert uc.des_crypt(key, salt) == expected


def test_des_crypt_matches_openssl_for_every_key_alphabet_character():
    openssl_crypt = _openssl_des_crypt()
    if openssl_crypt is None:
        pytest.skip("libcrypto's DES_crypt is not available")
    alphabet = uc.KEY_ALPHABET[:64]
    for i, c in enumerate(alphabet):
        for salt in (bytes([c, ord("x")]), bytes([ord("Q"), c])):
            key = b"key-%d" % i
            assert uc.des_crypt(key, salt) == openssl_crypt(key, salt), salt


@pytest.mark.parametrize("key", [b"secret", b"", b"12345678", b"longer than eight", b"\xe4\xf6\xfc\x80x"])
def test_des_crypt_matches_system_crypt_for_ordinary_salts(key):
    perl = shutil.which("perl")
    if perl is None:
        pytest.skip("perl is not installed")
    for salt in (b"ab", b"./", b"Z9", b"zA"):
        out = subprocess.run([perl, "-e", "print crypt($ARGV[0], $ARGV[1])", key, salt],
                             capture_output=True, timeout=30, check=True).stdout
        assert uc.des_crypt(key, salt) == out


def test_crypt_answer_is_the_part_after_the_salt():
    assert uc.port_key_crypt_answer("secret", 0x0000003E) == b"X/eXT29FYs6"
    assert uc.port_key_crypt_answer("Port-Key-1", 0x00003E3E) == b"n4MzR8EIb56"
    # Only the first 8 key characters count.
    assert uc.port_key_crypt_answer("Port-Key-1", 0x1) == uc.port_key_crypt_answer("Port-Key-2", 0x1)


def test_digest_answer():
    # printf 'BCDEsecret' | sha1sum ; printf '////secret' | sha1sum
    assert uc.port_key_digest_answer("secret", 0x01020304).hex() == "c211c53eefe78fc17775fb811b5fc174f5e923ca"
    assert uc.port_key_digest_answer("secret", 0xFFFFFFFF).hex() == "2d52cdecfd881e64673560cc4926174fe66b92e2"
    long_key = "k" * 67
    assert uc.port_key_digest_answer(long_key + "tail", 5) == uc.port_key_digest_answer(long_key, 5)
    assert uc.port_key_digest_answer(long_key[:-1] + "x", 5) != uc.port_key_digest_answer(long_key, 5)


# ------------------------------------------------------------ helpers on the wire

DEVICE_OP_CASES = [
    ("connect", lambda c: c.connect_device(3, 2, "pc"), "00000019 00000001 00000022 0302 7063" + "00" * 30),
    ("disconnect", lambda c: c.disconnect_device(3, 2), "00000006 00000001 00000002 0302"),
    ("set configuration", lambda c: c.set_configuration(3, 2, 1, [(0, 1)]), "00000015 00000001 00000006 03020101 0001"),
    ("claim test", lambda c: c.claim_test(3, 2, 1), "00000004 00000001 00000003 030201"),
    ("release interface", lambda c: c.release_interface(3, 2, 1), "00000005 00000001 00000003 030201"),
    ("clear halt", lambda c: c.clear_halt(3, 2, 0x81), "0000000c 00000001 00000003 030281"),
    ("reset", lambda c: c.reset_device(3, 2), "0000000d 00000001 00000002 0302"),
    ("abort endpoint", lambda c: c.abort_endpoint(3, 2, 0x82), "0000000b 00000001 00000003 030282"),
    ("discard", lambda c: c.discard(0xCAFE), "00000009 00000001 00000004 0000cafe"),
]


@pytest.mark.parametrize("call, request_hex", [c[1:] for c in DEVICE_OP_CASES], ids=[c[0] for c in DEVICE_OP_CASES])
def test_device_operations_on_the_wire(pair, call, request_hex):
    client, peer = pair
    opcode = int(request_hex[:8], 16)
    peer.send(reply_frame(0x1000 + opcode, tag(1), status=5, error=14))
    reply = call(client)
    assert peer.recv_exact(16 + (len(h(request_hex)) - 12)) == h("00000000" + request_hex)
    assert (reply.opcode, reply.tag, reply.status, reply.error) == (0x1000 + opcode, tag(1), 5, 14)


def test_information_helpers(pair):
    client, peer = pair
    # Version (opcode 1) comes with status 3, error 3: that is its answer.
    peer.send(reply_frame(0x1001, tag(1), 3, 3, h("0007 0000 006f"), word0=0x44))
    assert client.version(word0=0x11223344) == uc.Version(7, 0, 111)
    assert peer.recv_exact(16) == h("11223344 00000001 00000001 00000000")
    assert client.last_reply.word0 == uc.expected_reply_word0(uc.OP_VERSION, 0x11223344)

    peer.send(reply_frame(0x101B, tag(2), data=h("0007 0000 006f 0028")))
    assert client.version_rows().rows == 40
    peer.send(reply_frame(0x1018, tag(3), data=b"box-7"))
    assert client.host_name() == b"box-7"
    peer.send(reply_frame(0x1016, tag(4), data=h("02 6c6162 00 00")))
    assert client.tags() == [(2, b"lab")]
    peer.send(reply_frame(0x1017, tag(5), data=h("00000005")))
    assert client.busy_mask() == 5
    peer.send(reply_frame(0x1010, tag(6), data=h("0000abcd")))
    assert client.heartbeat(0xABCD) == h("0000abcd")
    peer.send(reply_frame(0x101A, tag(7), data=h("00000003 03 04 00 00 00 c6 12 00 09") + b"bob "))
    status = client.port_status(1, 4)
    assert (status.in_use, status.tls_only, status.owner_address, status.owner_name) == (True, True, "198.18.0.9", b"bob ")
    sent = (h("00000000 0000001b 00000002 00000000") + h("00000000 00000018 00000003 00000000")
            + h("00000000 00000016 00000004 00000000") + h("00000000 00000017 00000005 00000000")
            + h("00000000 00000010 00000006 00000004 0000abcd") + h("00000000 0000001a 00000007 00000002 0104"))
    assert peer.recv_exact(len(sent)) == sent


def test_information_helpers_report_unexpected_status(pair):
    client, peer = pair
    peer.send(reply_frame(0x101A, tag(1), 3, 19))
    with pytest.raises(uc.UsbStatusError) as e:
        client.port_status(9, 9)
    assert (e.value.reply.status, e.value.reply.error) == (3, 19)
    peer.send(reply_frame(0x1010, tag(2), data=h("00000001")))
    with pytest.raises(uc.ProtocolError):
        client.heartbeat(2)          # echo differs


def _device_list_with_keys(pair, keys, digest, nonce, expected_key_list):
    client, peer = pair
    peer.send(reply_frame(0x101B, tag(nonce), data=h("0007 0000 006f 0028")))
    peer.send(reply_frame(0x101D, tag(0x77), data=h("01 0016" + DEVICE_ENTRY_HEX)))
    devices = client.device_list(keys=keys, digest=digest, nonce_tag=nonce, tag=0x77)
    assert [(d.row, d.port) for d in devices] == [(0, 1)]
    assert peer.recv_exact(16) == h("00000000 0000001b") + tag(nonce) + h("00000000")
    header = peer.recv_exact(16)
    assert header == h("00000000 0000001d 00000077") + len(expected_key_list).to_bytes(4, "big")
    assert peer.recv_exact(len(expected_key_list)) == expected_key_list


def test_device_list_with_crypt_keys_and_plus_salts(pair):
    # Nonce 0x3E3E gives the salt "++", which the C library's crypt refuses.
    _device_list_with_keys(pair, {2: "Port-Key-1", 1: "secret"}, False, 0x00003E3E,
                           b"VEK\x02" + b"\x01" + uc.des_crypt(b"secret", b"++")[2:]
                           + b"\x02" + b"n4MzR8EIb56")


def test_device_list_with_crypt_keys_checked_by_openssl(pair):
    openssl_crypt = _openssl_des_crypt()
    if openssl_crypt is None:
        pytest.skip("libcrypto's DES_crypt is not available")
    _device_list_with_keys(pair, {5: "secret"}, False, 0x0000003E,
                           b"VEK\x01\x05" + openssl_crypt(b"secret", b"+A")[2:])


def test_device_list_with_digest_keys(pair):
    _device_list_with_keys(pair, {3: "secret"}, True, 0x01020304,
                           b"VEk\x01" + h("0003 c211c53eefe78fc17775fb811b5fc174f5e923ca"))


def test_device_list_without_keys_sends_one_empty_request(pair):
    client, peer = pair
    peer.send(reply_frame(0x101D, tag(1), data=h("00 0000")))
    assert client.device_list() == []
    assert peer.recv_exact(16) == h("00000000 0000001d 00000001 00000000")
    assert client.drain(0.05) == []
    peer.sock.setblocking(False)
    with pytest.raises(BlockingIOError):
        peer.sock.recv(1)


def test_control_requests_on_the_wire(pair):
    client, peer = pair
    descriptor = h("12 01 0002 00 00 00 40 6d04 2bc5 0112 01 02 03 01")
    peer.send(reply_frame(0x1008, tag(1), data=descriptor, word0=0))
    reply = client.get_descriptor(2, 3, 1, length=18)
    assert reply.data == descriptor
    assert peer.recv_exact(16 + 12 + 8) == h("00000000 00000008 00000001 00000014"
                                             "02 03 80 02 00000012 00000008  80 06 0100 0000 0012")
    peer.send(reply_frame(0x1008, tag(2), status=3, error=32))
    reply = client.control(2, 3, 0x40, 0x09, value=1, index=2, data=b"xy")
    assert (reply.status, reply.error) == (3, 32)
    assert peer.recv_exact(16 + 12 + 10) == h("00000000 00000008 00000002 00000016"
                                              "02 03 00 02 00000000 0000000a  40 09 0001 0002 0002 7879")


def test_isochronous_request_counts_its_descriptors_in_word0(pair):
    client, peer = pair
    urb = client.submit_urb(1, 1, 0x83, uc.ISOCHRONOUS, in_length=96, word0=0x07,
                            iso_descriptors=bytes(32))
    assert urb == tag(1)
    assert peer.recv_exact(16 + 12 + 32) == (h("00000207 00000008 00000001 0000002c")
                                             + h("01 01 83 00 00000060 00000000") + bytes(32))


# ------------------------------------------------------------ framing

def test_reply_split_across_segments(pair):
    client, peer = pair
    frame = reply_frame(0x1001, tag(1), 3, 3, h("0007 0000 006f"))
    peer.later((0.05, frame[:5]), (0.1, frame[5:20]), (0.1, frame[20:27]), (0.1, frame[27:]))
    assert client.version() == uc.Version(7, 0, 111)
    peer.join()


def test_out_of_order_urb_answers_and_interleaved_notices(pair):
    client, peer = pair
    bulk = client.submit_urb(0, 1, 0x81, uc.BULK, in_length=131072)
    other = client.submit_urb(0, 1, 0x82, uc.BULK, in_length=8)
    peer.recv_exact(2 * 28)
    peer.send(notice_frame(17, 4, 2)
              + reply_frame(0x101C, bulk, data=b"A" * 65536)
              + reply_frame(0x1008, tag(99), data=b"stray")
              + reply_frame(0x1008, other, data=b"12345678")
              + notice_frame(19, 5, 3))
    peer.later((0.1, reply_frame(0x1008, bulk, data=b"B" * 100)))
    # The later request is answered first; the earlier one's answers wait.
    first = client.reap_urb(other)
    assert (first.status, first.data, len(first.answers)) == (0, b"12345678", 1)
    result = client.reap_urb(bulk)
    assert [a.opcode for a in result.answers] == [0x101C, 0x1008]
    assert result.data == b"A" * 65536 + b"B" * 100
    peer.join()
    gone = client.wait_notice(17)
    assert (gone.opcode, gone.row, gone.port, gone.word0) == (17, 4, 2, 1)
    assert client.wait_notice(19).port == 3
    # The stray answer is still there for whoever asks.
    assert client.next_frame().data == b"stray"


def test_urb_error_answer_is_final(pair):
    client, peer = pair
    urb = client.submit_urb(0, 1, 0x02, uc.BULK, out_data=b"x")
    peer.send(reply_frame(0x1008, urb, status=3, error=-71, word0=0))
    result = client.reap_urb(urb)
    assert (result.status, result.error, result.data) == (3, -71, b"")


def test_notice_waits_behind_replies(pair):
    client, peer = pair
    peer.send(reply_frame(0x1018, tag(50), data=b"late") + notice_frame(19, 0, 1))
    notice = client.wait_notice()
    assert (notice.opcode, notice.row, notice.port) == (19, 0, 1)
    assert client.wait_reply(0x1018, tag(50)).data == b"late"


def test_silent_peer_gives_bounded_failures(pair):
    client, _ = pair
    for wait in (lambda: client.version(timeout=0.2),
                 lambda: client.reap_urb(tag(1), timeout=0.2),
                 lambda: client.wait_notice(timeout=0.2),
                 lambda: client.recv_raw(1, timeout=0.2)):
        start = time.monotonic()
        with pytest.raises(uc.ReplyTimeout):
            wait()
        assert time.monotonic() - start < BOUND
    assert client.wait_closed(0.2) is False
    assert client.drain(0.1) == []


def test_partial_frame_survives_a_timeout(pair):
    client, peer = pair
    frame = reply_frame(0x1018, tag(1), data=b"name")
    peer.send(frame[:20])
    with pytest.raises(uc.ReplyTimeout):
        client.host_name(timeout=0.2)
    peer.send(frame[20:])
    assert client.wait_reply(0x1018, tag(1)).data == b"name"


def test_peer_that_closes(pair):
    client, peer = pair
    peer.send(reply_frame(0x1017, tag(7), data=h("00000000")) + b"\0\0\0")
    peer.sock.close()
    assert client.wait_closed(BOUND) is True
    with pytest.raises(uc.ConnectionClosed):
        client.version()
    # The whole frame that came before the end is kept.
    assert client.wait_reply(0x1017, tag(7)).data == h("00000000")


def test_oversized_frame_is_a_protocol_error():
    a, b = socket.socketpair()
    with uc.UsbClient(a, timeout=BOUND, max_data=1024) as client:
        b.sendall(struct.pack(">IIIIII", 0, 0x1008, 1, 1025, 0, 0))
        with pytest.raises(uc.ProtocolError):
            client.next_frame()
    b.close()


def test_raw_helpers(pair):
    client, peer = pair
    data = uc.encode_request(uc.OP_HEARTBEAT, tag(3), h("01020304"))
    start = time.monotonic()
    client.send_split(data, [2, 15], pause=0.05)
    assert time.monotonic() - start >= 0.1
    assert peer.recv_exact(len(data)) == data
    assert client.send_header(uc.OP_DEVICE_LIST, payload_length=0x7FFFFFFF) == tag(1)
    assert peer.recv_exact(16) == h("00000000 0000001d 00000001 7fffffff")
    peer.send(b"\x01\x02\x03")
    assert client.recv_raw(3) == b"\x01\x02\x03"


# ------------------------------------------------------------ transports

@pytest.fixture(scope="module")
def self_signed(tmp_path_factory):
    openssl = shutil.which("openssl")
    if openssl is None:
        pytest.skip("openssl is not installed")
    d = tmp_path_factory.mktemp("tls")
    subprocess.run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d / "key.pem",
                    "-out", d / "cert.pem", "-days", "2", "-subj", "/CN=box"],
                   capture_output=True, timeout=60, check=True)
    return d / "cert.pem", d / "key.pem"


@pytest.mark.parametrize("version, negotiated", [("1.0", "TLSv1"), ("1.1", "TLSv1.1"),
                                                 ("1.2", "TLSv1.2"), ("any", "TLSv1.2")])
def test_tls_transport(self_signed, version, negotiated):
    a, b = socket.socketpair()
    server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.load_cert_chain(*self_signed)
    server.set_ciphers("ALL:@SECLEVEL=0")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        server.minimum_version = ssl.TLSVersion.TLSv1
    server.maximum_version = ssl.TLSVersion.TLSv1_2
    box = {}

    def serve():
        try:
            s = server.wrap_socket(b, server_side=True)
            s.settimeout(PEER_TIMEOUT)
            request = b""
            while len(request) < 16:
                request += s.recv(16 - len(request))
            box["request"] = request
            s.sendall(reply_frame(0x1001, request[8:12], 3, 3, h("0007 0000 006f")))
            s.close()
        except Exception as e:  # noqa: BLE001
            box["error"] = e

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    a.settimeout(BOUND)
    with uc.UsbClient(uc.tls_context(version).wrap_socket(a), timeout=BOUND) as client:
        assert client.tls_version == negotiated
        assert client.version() == uc.Version(7, 0, 111)
    t.join(BOUND)
    assert "error" not in box, box.get("error")
    assert box["request"] == h("00000000 00000001 00000001 00000000")


def _listener():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(4)
    s.settimeout(PEER_TIMEOUT)
    return s


def test_connect_when_ready_waits_for_an_answer_not_a_connect():
    listener = _listener()
    port = listener.getsockname()[1]
    served = []

    def serve():
        first, _ = listener.accept()     # accepted and dropped, like a forward before the box listens
        first.close()
        conn, _ = listener.accept()
        conn.settimeout(PEER_TIMEOUT)
        request = conn.recv(16)
        served.append(request)
        conn.sendall(reply_frame(0x1001, request[8:12], 3, 3, h("0007 0000 006f")))
        time.sleep(0.2)
        conn.close()

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    client = uc.connect_when_ready("127.0.0.1", port, total_timeout=BOUND, timeout=1.0, pause=0.05)
    client.close()
    t.join(BOUND)
    listener.close()
    assert len(served) == 1 and served[0][4:8] == h("00000001")


# ------------------------------------------------------------ command line

def test_command_line_commands(pair):
    client, peer = pair
    peer.send(reply_frame(0x101D, tag(1), data=h("01 0016" + DEVICE_ENTRY_HEX)))
    out = io.StringIO()
    uc.run_command(client, "list", out)
    assert out.getvalue() == ("row  0  port  1  high     046d:c52b  usb 2.00  dev 12.01  class 00  configurations 1\n"
                              "1 device(s)\n")
    peer.send(reply_frame(0x1001, tag(2), 3, 3, h("0007 0000 006f"))
              + reply_frame(0x101B, tag(3), data=h("0007 0000 006f 0014"))
              + reply_frame(0x1018, tag(4), data=b"kiosk"))
    out = io.StringIO()
    uc.run_command(client, "version", out)
    uc.run_command(client, "hostname", out)
    assert out.getvalue() == "version 7.0.111, 20 table rows\nkiosk\n"


def test_command_line_reports_an_unreachable_box(capsys):
    s = _listener()
    port = s.getsockname()[1]
    s.close()                           # nothing listens there now
    assert uc.main(["127.0.0.1", str(port), "version", "--timeout", "2"]) == 1
    assert f"version on 127.0.0.1:{port} failed" in capsys.readouterr().err


def test_command_line_over_tls(self_signed, capsys):
    server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.load_cert_chain(*self_signed)
    listener = _listener()
    port = listener.getsockname()[1]
    box = {}

    def serve():
        try:
            conn, _ = listener.accept()
            s = server.wrap_socket(conn, server_side=True)
            s.settimeout(PEER_TIMEOUT)
            request = b""
            while len(request) < 16:
                request += s.recv(16 - len(request))
            box["request"] = request
            s.sendall(reply_frame(0x1018, request[8:12], data=b"tls-box"))
            time.sleep(0.2)
            s.close()
        except Exception as e:  # noqa: BLE001
            box["error"] = e

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    assert uc.main(["127.0.0.1", str(port), "hostname", "--tls", "1.2", "--timeout", str(BOUND)]) == 0
    t.join(BOUND)
    listener.close()
    assert "error" not in box, box.get("error")
    assert box["request"][4:8] == h("00000018")
    assert capsys.readouterr().out == "tls-box\n"


# ------------------------------------------------------------ device classes

import usbclasses  # noqa: E402


def test_configuration_parsing_takes_first_alternates_and_their_endpoints():
    config = h("09 02 4900 02 05 00 a0 32"
               "09 04 00 00 02 ff 00 00 00"         # interface 0: vendor
               "07 05 01 02 0002 00"                # bulk OUT 0x01, 512
               "07 05 81 02 0002 00"                # bulk IN 0x81
               "09 04 00 01 01 ff 00 00 00"         # its alternate 1: left out
               "07 05 82 03 0800 01"
               "09 04 01 00 01 03 01 01 00"         # interface 1: boot keyboard
               "09 21 11 01 00 01 22 3f 00"         # HID descriptor between them
               "07 05 83 03 0800 0a")
    parsed = usbclasses.parse_configuration(config)
    assert parsed.value == 5
    assert [(i.number, i.cls) for i in parsed.interfaces] == [(0, 0xFF), (1, 3)]
    vendor, keyboard = parsed.interfaces
    assert usbclasses.is_loopback(vendor) and not usbclasses.is_boot_keyboard(vendor)
    assert [(e.address, e.transfer_type, e.max_packet) for e in vendor.endpoints] == \
        [(0x01, uc.BULK, 512), (0x81, uc.BULK, 512)]
    assert usbclasses.is_boot_keyboard(keyboard) and not usbclasses.is_mass_storage(keyboard)
    assert keyboard.endpoint(uc.INTERRUPT, True).address == 0x83


@pytest.mark.parametrize("data", [
    h("09 04 00 00 00 ff 00 00 00"),                    # not a configuration
    h("09 02 1000 01 01 00 a0 32 09 04 00"),            # total beyond what came: cut short
    h("09 02 0c00 01 01 00 a0 32 00 04 00"),            # a descriptor of length 0
], ids=["interface first", "truncated", "zero length"])
def test_malformed_configurations(data):
    with pytest.raises(uc.ProtocolError):
        usbclasses.parse_configuration(data)


KEY_REPORTS = [
    ("a pressed", "00 00 04 00 00 00 00 00", "a"),
    ("a held, b added", "00 00 04 05 00 00 00 00", "b"),
    ("b held alone", "00 00 05 00 00 00 00 00", ""),
    ("released", "00 00 00 00 00 00 00 00", ""),
    ("shift 1", "02 00 1e 00 00 00 00 00", "!"),
    ("right shift z", "20 00 1d 00 00 00 00 00", "Z"),
    ("too many keys", "00 00 01 01 01 01 01 01", ""),
    ("enter and space", "00 00 28 2c 00 00 00 00", "\n "),
    ("shifted slash", "02 00 38 00 00 00 00 00", "?"),
    ("escape has no text", "00 00 29 00 00 00 00 00", ""),
]


def test_boot_keyboard_reports_in_sequence():
    keyboard = usbclasses.BootKeyboard()
    got = [(name, keyboard.feed(h(report))) for name, report, _ in KEY_REPORTS]
    assert got == [(name, text) for name, _, text in KEY_REPORTS]


def test_hex_dump_stars_repeated_lines_but_shows_where_the_data_ends():
    zeros = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  |................|"
    assert usbclasses.hex_dump(b"ABCDEFGHIJKLMNOP" + bytes(48) + b"\x01") == [
        "00000000  41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|",
        "00000010  " + zeros,
        "*",
        "00000040  01                                               |.|",
    ]
    assert usbclasses.hex_dump(bytes(64), offset=0x200) == [
        "00000200  " + zeros, "*", "00000230  " + zeros]


@pytest.mark.parametrize("argv", [
    ["echo"], ["list", "extra"], ["read-blocks", "two"],
], ids=["echo without text", "list with an argument", "blocks not a number"])
def test_command_line_refuses_bad_arguments_before_connecting(argv, capsys):
    s = _listener()
    port = s.getsockname()[1]
    s.close()                           # nothing listens: a refusal must come before any connect
    with pytest.raises(SystemExit) as e:
        uc.main(["127.0.0.1", str(port), *argv, "--timeout", "2"])
    assert e.value.code == 2
    assert "Connection refused" not in capsys.readouterr().err
