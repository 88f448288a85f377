"""The benchmark's C reader (bench/usb/guest_reader.cpp) on this machine, no
program and no USB needed: its loopback peer's frames checked byte by byte
against the USB sharing protocol's layout, written out here by hand, and its
modes without USB (the loopback share, the peer and its client) run end to
end. The benchmark's figures are only as good as these frames: the server,
the peer and the relay must all answer the same requests with the same
bytes.
"""

import os
import shutil
import socket
import struct
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SOURCE = REPO / "bench" / "usb" / "guest_reader.cpp"
TIMEOUT = 60
URB_FINAL = 0x1008
URB_INTERMEDIATE = 0x101C
SIZES = (4096, 65536, 1 << 20)


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    if not shutil.which("g++"):
        pytest.skip("no g++ to build the reader")
    out = tmp_path_factory.mktemp("reader") / "guest_reader"
    subprocess.run(["g++", "-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror", "-funsigned-char", "-o", str(out),
                    str(SOURCE)], check=True, capture_output=True, timeout=300)
    return out


@pytest.fixture
def peer(reader):
    """guest_reader peer on a free port: (port, process)."""
    proc = subprocess.Popen([str(reader), "peer", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        line = proc.stdout.readline()
        assert line.startswith("listening port="), (line, proc.stderr.read())
        yield int(line.split("=")[1])
    finally:
        os.killpg(proc.pid, 9)
        proc.wait(10)


def transfer_request(tag, endpoint, in_length, out_data=b"", row=3, port=2):
    """A transfer request (opcode 8) as the protocol lays it out."""
    head = struct.pack(">IIII", 0, 8, tag, 0)
    body = struct.pack(">BBBBII", row, port, endpoint, 3, in_length, len(out_data))
    return head + body + out_data


def read_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        assert chunk, f"the peer closed after {len(data)} of {n} bytes"
        data += chunk
    return data


def answers(sock, tag):
    """(opcode, length, status, error) of every answer to tag up to the final one."""
    out = []
    while True:
        word0, opcode, got_tag, length, status, error = struct.unpack(">IIIIII", read_exactly(sock, 24))
        assert got_tag == tag and word0 == 0
        read_exactly(sock, length)
        out.append((opcode, length, status, error))
        if opcode == URB_FINAL:
            return out


@pytest.mark.parametrize("endpoint, in_length, out_data, expected", [
    # The CBW of a command: one final answer without data.
    (0x02, 0, bytes(range(31)), [(URB_FINAL, 0)]),
    # A CSW.
    (0x81, 13, b"", [(URB_FINAL, 13)]),
    # Exactly one URB's worth.
    (0x81, 65536, b"", [(URB_FINAL, 65536)]),
    # One byte more: a full URB, then the rest.
    (0x81, 65537, b"", [(URB_INTERMEDIATE, 65536), (URB_FINAL, 1)]),
    # A 1 MiB data phase: sixteen URBs of 64 KiB, as the server answers it.
    (0x81, 1 << 20, b"", [(URB_INTERMEDIATE, 65536)] * 15 + [(URB_FINAL, 65536)]),
])
def test_peer_answers_in_the_protocols_frames(peer, endpoint, in_length, out_data, expected):
    with socket.create_connection(("127.0.0.1", peer), timeout=TIMEOUT) as sock:
        # Two requests on one connection: the OUT data must be taken whole,
        # or the second request would be read from the middle of it.
        for tag in (0x11223344, 7):
            sock.sendall(transfer_request(tag, endpoint, in_length, out_data))
            got = answers(sock, tag)
            assert [(opcode, length) for opcode, length, _, _ in got] == expected
            assert all(status == 0 and error == 0 for _, _, status, error in got)


def result_lines(text):
    return [dict(w.split("=", 1) for w in line.split()[1:]) for line in text.splitlines()
            if line.startswith("result ")]


def run_reader(reader, *args):
    run = subprocess.run([str(reader), *map(str, args)], capture_output=True, text=True, timeout=TIMEOUT)
    assert run.returncode == 0, run.stderr
    return result_lines(run.stdout)


@pytest.mark.parametrize("mode", ["loopback", "peer-client"])
def test_client_modes_without_usb_read_every_size(reader, peer, mode):
    args = ["loopback"] if mode == "loopback" else ["peer-client", "127.0.0.1", peer]
    results = run_reader(reader, *args, "--sizes", ",".join(map(str, SIZES)), "--budget", 1, "--total", 4 << 20)
    assert [int(r["size"]) for r in results] == list(SIZES)
    for r in results:
        commands = int(r["commands"])
        assert commands > 0
        assert int(r["bytes"]) == commands * int(r["size"])
        # CBW, data and CSW: three transfer requests per command.
        assert int(r["urbs"]) == 3 * commands
        assert r["mode"] == ("loopback" if mode == "loopback" else "peer")
        # The loopback mode samples its own peer's usage; the peer client
        # knows no process to sample.
        assert ("server_cpu" in r) == (mode == "loopback")
