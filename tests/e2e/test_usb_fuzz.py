"""A seeded, bounded fuzzer of the USB sharing protocol against the whole
program with simulated devices: rounds of one to three connections send
requests whose fields are drawn from the values where faults hide (zero and
boundary lengths, lying payload lengths, every opcode, control requests of
every type, transfers of every type on real and made-up endpoints, from the
owner of a device and from others) mixed with noise, and leave in every way a
client can (answer read, half-close, reset).

The run prints its seed; WEV_FUZZ_SEED=N repeats one, WEV_FUZZ_SECONDS sets
its length (default 60). The program must keep running without a sanitizer
report, a steady session on another device must stay served, and the
simulated host must be clean once everyone has gone.
"""

import os
import random
import socket
import struct
import sys
import time

import usbclient as uc
from test_usb_protocol import USB_PORT, assert_host_clean, client, in_namespace, start_usb_box

LENGTHS = (0, 0, 1, 2, 4, 7, 8, 9, 18, 64, 255, 256, 512, 4096, 4097, 65535, 65536)
REQUEST_TYPES = (0x00, 0x01, 0x02, 0x21, 0x40, 0x41, 0x80, 0x81, 0x82, 0xa0, 0xa1, 0xc0, 0xc1, 0xc2)
# (bmRequestType, bRequest, wValue) that the simulated devices answer.
KNOWN_REQUESTS = ((0x80, 0, 0), (0x80, 6, 0x0100), (0x80, 6, 0x0200), (0x80, 6, 0x0300), (0x80, 6, 0x0302),
                  (0x80, 6, 0x03ee), (0x80, 8, 0), (0x81, 0, 0), (0x81, 10, 0), (0x82, 0, 0x81),
                  (0xc0, 1, 0), (0xc0, 1, 0), (0x40, 2, 0), (0x81, 6, 0x2200), (0xa0, 6, 0x2900),
                  (0xa1, 0xfe, 0), (0x21, 0xff, 0), (0x00, 9, 1), (0x01, 11, 0), (0x02, 1, 0))
OPCODES = (uc.OP_VERSION, uc.OP_OLD_DEVICE_LIST, uc.OP_CLAIM_TEST, uc.OP_RELEASE_INTERFACE, uc.OP_DISCONNECT,
           uc.OP_TRANSFER, uc.OP_DISCARD_URB, uc.OP_ABORT_ENDPOINT, uc.OP_CLEAR_HALT, uc.OP_RESET,
           uc.OP_HEARTBEAT, uc.OP_SET_CONFIGURATION, uc.OP_TAG_LIST, uc.OP_BUSY_MASK, uc.OP_HOST_NAME,
           uc.OP_CONNECT, uc.OP_PORT_STATUS, uc.OP_VERSION_ROWS, uc.OP_DEVICE_LIST)


def fuzz_seed():
    given = os.environ.get("WEV_FUZZ_SEED")
    return int(given) if given else random.SystemRandom().randrange(1 << 32)


class Fuzzer:
    """Makes the requests of one run from its seed; devices is a list of
    (row, port, endpoints) of the devices to work on; spared_row is a device
    no request names (a steady session owns it)."""

    def __init__(self, rng, devices, spared_row):
        self.rng = rng
        self.devices = devices
        self.spared_row = spared_row

    def length(self):
        r = self.rng
        return r.choice(LENGTHS) if r.random() < 0.85 else r.getrandbits(r.choice((8, 16, 32)))

    def data(self, limit=4096):
        return self.rng.randbytes(min(self.length(), limit))

    def target(self):
        """(row, port, endpoints): a real device mostly, sometimes made up."""
        r = self.rng
        row = r.randrange(256)
        if r.random() < 0.85 or row == self.spared_row:
            return r.choice(self.devices)
        return row, r.randrange(256), [r.randrange(256)]

    def endpoint(self, endpoints):
        r = self.rng
        return r.choice(endpoints) if r.random() < 0.8 else r.choice((0, 0x80, r.randrange(256)))

    def setup(self):
        """A control request: mostly one that some device answers (so that it
        reaches the device model), sometimes any bytes at all."""
        r = self.rng
        if r.random() < 0.65:
            request_type, request, value = r.choice(KNOWN_REQUESTS)
        else:
            request_type = r.choice(REQUEST_TYPES) if r.random() < 0.9 else r.randrange(256)
            request = r.choice((0, 1, 2, 3, 6, 8, 9, 10, 11, 0xfe, 0xff, r.randrange(256)))
            value = r.choice((0, 0x0100, 0x0200, 0x0300, 0x0302, 0x03ee, 0x2200, 0x2900, r.getrandbits(16)))
        index = r.choice((0, 0, 0x0409, 0x81, 0x01, r.getrandbits(16)))
        w_length = r.choice((0, 0, 0, 1, 2, 4, 9, 18, 255, 4096, 0xffff, r.getrandbits(16)))
        return request_type, uc.encode_setup(request_type, request, value, index, w_length), w_length

    def transfer(self):
        r = self.rng
        row, port, endpoints = self.target()
        kind = r.choice((uc.CONTROL, uc.CONTROL, uc.CONTROL, uc.BULK, uc.BULK, uc.INTERRUPT, uc.ISOCHRONOUS, 4, 255))
        word0 = r.getrandbits(8)
        if kind == uc.CONTROL:
            request_type, setup, w_length = self.setup()
            stage = b"" if request_type & 0x80 else r.randbytes(min(w_length, 512))
            out = setup + stage if r.random() < 0.9 else self.data(64)
            in_length = w_length if r.random() < 0.7 else r.choice((0, self.length()))
            body = uc.encode_transfer(row, port, 0, kind, in_length & 0xFFFFFFFF, out)
        else:
            endpoint = self.endpoint(endpoints)
            out = b"" if endpoint & 0x80 else self.data()
            in_length = self.length() & 0xFFFFFFFF
            body = uc.encode_transfer(row, port, endpoint, kind, in_length, out)
            if kind == uc.ISOCHRONOUS:
                packets = r.choice((0, 1, 2, 8, 1025, r.getrandbits(24)))
                word0 = uc.transfer_word0(word0, packets)
                body += r.randbytes(min(packets, 8) * uc.ISO_DESCRIPTOR_SIZE)
        return uc.encode_request(uc.OP_TRANSFER, r.getrandbits(32), body, word0)

    def device_operation(self):
        r = self.rng
        row, port, endpoints = self.target()
        choice = r.randrange(8)
        if choice == 0:
            body = uc.encode_connect(row, port, r.randbytes(r.randrange(33)))
            return uc.encode_request(uc.OP_CONNECT, r.getrandbits(32), body)
        if choice == 1:
            configuration = r.choice((0, 1, 1, 2, r.randrange(256)))
            pairs = [(r.randrange(4), r.randrange(3)) for _ in range(r.choice((0, 1, 2, 5)))]
            body = uc.encode_row_port(row, port, configuration, len(pairs) if r.random() < 0.8 else r.randrange(256))
            body += b"".join(bytes(p) for p in pairs)
            return uc.encode_request(uc.OP_SET_CONFIGURATION, r.getrandbits(32), body)
        if choice in (2, 3):
            opcode = (uc.OP_CLAIM_TEST, uc.OP_RELEASE_INTERFACE)[choice - 2]
            return uc.encode_request(opcode, r.getrandbits(32), uc.encode_row_port(row, port, r.randrange(5)))
        if choice == 4:
            opcode = r.choice((uc.OP_CLEAR_HALT, uc.OP_ABORT_ENDPOINT))
            return uc.encode_request(opcode, r.getrandbits(32),
                                     uc.encode_row_port(row, port, self.endpoint(endpoints)))
        if choice == 5:
            opcode = r.choice((uc.OP_RESET, uc.OP_DISCONNECT, uc.OP_PORT_STATUS))
            return uc.encode_request(opcode, r.getrandbits(32), uc.encode_row_port(row, port))
        if choice == 6:
            return uc.encode_request(uc.OP_DISCARD_URB, r.getrandbits(32), r.randbytes(r.choice((0, 2, 4, 16))))
        return uc.encode_request(uc.OP_HEARTBEAT, r.getrandbits(32), b"", r.choice((0, 1, 30, 0xFFFFFFFF)))

    def plain_request(self):
        r = self.rng
        opcode = r.choice((uc.OP_VERSION, uc.OP_VERSION_ROWS, uc.OP_TAG_LIST, uc.OP_BUSY_MASK, uc.OP_HOST_NAME,
                           uc.OP_OLD_DEVICE_LIST, uc.OP_DEVICE_LIST))
        body = b""
        if opcode == uc.OP_DEVICE_LIST and r.random() < 0.5:
            body = r.choice((uc.KEY_CRYPT_MAGIC, uc.KEY_DIGEST_MAGIC)) + bytes([r.randrange(256)]) + self.data(300)
        return uc.encode_request(opcode, r.getrandbits(32), body, r.getrandbits(32))

    def malformed(self):
        r = self.rng
        if r.random() < 0.3:
            return self.data(600)
        opcode = r.choice(OPCODES) if r.random() < 0.7 else r.getrandbits(r.choice((8, 32)))
        body = self.data(600)
        stated = r.choice((len(body), 0, self.length() & 0xFFFFFFFF))
        return uc.encode_header(opcode, r.getrandbits(32), stated, r.getrandbits(32)) + body

    def action(self):
        r = self.rng.random()
        if r < 0.40:
            return self.transfer()
        if r < 0.65:
            return self.device_operation()
        if r < 0.80:
            return self.plain_request()
        return self.malformed()


def drain(sock, seconds):
    """Reads and drops what the box sends for up to seconds; False once the
    connection has ended."""
    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return True
        sock.settimeout(left)
        try:
            if not sock.recv(65536):
                return False
        except socket.timeout:
            return True
        except OSError:
            return False


def leave(sock, how):
    try:
        if how == "reset":
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif how == "half-close":
            sock.shutdown(socket.SHUT_WR)
            drain(sock, 2)
        else:
            drain(sock, 0.2)
    except OSError:
        pass
    finally:
        sock.close()


def fuzz_round(box, fuzzer):
    r = fuzzer.rng
    sockets = [socket.create_connection((box.box_ip, USB_PORT), timeout=10) for _ in range(r.choice((1, 1, 2, 3)))]
    alive = set(range(len(sockets)))
    for s in sockets:  # most requests on a device need its owner
        if r.random() < 0.5:
            row, port, _ = r.choice(fuzzer.devices)
            try:
                s.sendall(uc.encode_request(uc.OP_CONNECT, r.getrandbits(32), uc.encode_connect(row, port, "fuzz")))
            except OSError:
                pass
    for _ in range(r.randrange(1, 25)):
        if not alive:
            break
        k = r.choice(sorted(alive))
        request = fuzzer.action()
        try:
            if r.random() < 0.1 and len(request) > 2:  # trickled: the header in pieces
                sockets[k].setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                at = r.randrange(1, len(request))
                sockets[k].sendall(request[:at])
                time.sleep(0.01)
                sockets[k].sendall(request[at:])
            else:
                sockets[k].sendall(request)
        except OSError:
            alive.discard(k)
            continue
        if not drain(sockets[k], 0.002):
            alive.discard(k)
    for s in sockets:
        leave(s, r.choice(("read", "read", "half-close", "reset")))


def say(request, text):
    """A line on the terminal even when pytest captures the test's output."""
    plugins = request.config.pluginmanager
    reporter = plugins.get_plugin("terminalreporter")
    capture = plugins.get_plugin("capturemanager")
    if reporter and capture:
        with capture.global_and_fixture_disabled():
            reporter.write_line(text)
    print(text, file=sys.stderr)


def test_seeded_protocol_fuzzer_leaves_the_server_whole(box, request):
    seed = fuzz_seed()
    seconds = float(os.environ.get("WEV_FUZZ_SECONDS", "60"))
    max_rounds = int(os.environ.get("WEV_FUZZ_ROUNDS", "5000"))
    say(request, f"USB protocol fuzzer: seed {seed} (WEV_FUZZ_SEED={seed} repeats it), {seconds:g} s")
    image = box.workdir / "disk.img"
    image.write_bytes(bytes(1 << 20))
    start_usb_box(box, {"zyt_hid": "on"},
                  plugs=["loopback port=1", "keyboard port=2", f"storage port=3 image={image}"])
    steady = client(box)
    entries = {e.port: e for e in steady.device_list()}
    assert sorted(entries) == [1, 2, 3], entries
    assert steady.connect_device(entries[2].row, 2, "steady").status == 0
    endpoints = {1: [0x01, 0x81, 0x82], 3: [0x01, 0x81, 0x02, 0x82]}
    fuzzer = Fuzzer(random.Random(seed), [(entries[p].row, p, endpoints[p]) for p in (1, 3)],
                    spared_row=entries[2].row)

    def run():
        started = time.monotonic()
        rounds = 0
        while rounds < max_rounds and time.monotonic() - started < seconds:
            try:
                fuzz_round(box, fuzzer)
            except OSError:
                pass  # refused while the sessions of earlier rounds end: the checks below decide
            rounds += 1
            if rounds % 50 == 0 and not box.running():
                break
        return rounds

    rounds = in_namespace(box.peer_ns, run, timeout=seconds + 120)
    report = box.sanitizer_report()
    assert report is None, f"seed {seed}, {rounds} rounds: a sanitizer report\n{report}"
    assert box.running(), f"seed {seed}: the program ended after {rounds} rounds\n{box.stderr[-3000:]}"
    assert steady.version_rows().rows == 12, f"seed {seed}: the steady session was disturbed"
    assert steady.busy_mask() & (1 << entries[2].row), f"seed {seed}: the steady session lost its device"
    steady.close()
    assert_host_clean(box, timeout=30)
    with client(box) as after:
        assert sorted(e.port for e in after.device_list()) == [1, 2, 3], f"seed {seed}"
    say(request, f"USB protocol fuzzer: seed {seed}, {rounds} rounds")
