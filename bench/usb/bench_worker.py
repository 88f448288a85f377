"""One measuring client (or the raw TCP echo server) of the USB benchmark.
Started by usb_bench.py inside a network namespace with `ip netns exec`;
prints one JSON line with what it measured.

    bench_worker.py usb-echo HOST PORT DEVPORT SIZE TOTAL WINDOW [TLS]
    bench_worker.py usb-rtt  HOST PORT DEVPORT bulk512|int64 COUNT
    bench_worker.py tcp-server PORT
    bench_worker.py tls-server PORT CERT KEY CIPHER
    bench_worker.py tcp-echo HOST PORT SIZE TOTAL WINDOW [TLS]
    bench_worker.py tcp-rtt  HOST PORT SIZE COUNT

The echo runs keep WINDOW transfers of SIZE bytes outstanding each way
(bulk OUT then bulk IN on the loopback device, or bytes through the echo
server) until TOTAL bytes came back. The client writes a whole window
before it reads: WINDOW x SIZE must fit in the sockets' buffers, or both
sides end up writing to a peer that does not read (the box then ends the
session when its send time-out runs out; 5 x 1 MiB does that here). TLS names a version ("1.2") to speak
it over the connection (the client's own context, tests/e2e/usbclient.py);
the TLS echo server offers only CIPHER, the one the box chose, so both
sides of a TLS ratio pay for the same cipher. usb-echo's JSON line then
also names the negotiated version and cipher.
"""

import json
import os
import socket
import ssl
import sys
import threading
import time
from collections import deque

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import usbclient as uc  # noqa: E402

CHUNK = 1 << 16


def take_device(c, port, empty_fifo=False):
    for e in c.device_list():
        if e.port == port:
            r = c.connect_device(e.row, port, "bench")
            assert r.status == 0, r
            r = c.set_configuration(e.row, port, 1)
            assert r.status == 0, r
            if empty_fifo:
                # The loopback's vendor request 2: whatever an earlier run
                # left in its FIFO goes.
                r = c.control(e.row, port, 0x40, 2)
                assert r.status == 0, r
            return e.row
    raise SystemExit(f"no device on port {port}")


def usb_connect(host, port, tls=None):
    # The same socket options as the baselines' clients: without TCP_NODELAY
    # the last short segment of a request waits for the box's delayed ACK.
    c = uc.UsbClient.connect(host, port, timeout=60, tls=tls)
    c.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return c


def usb_echo(host, port, devport, size, total, window, tls=None):
    with usb_connect(host, port, tls) as c:
        session = tls_session(c.sock)
        row = take_device(c, devport, empty_fifo=True)
        data = os.urandom(size)
        pending = deque()
        received = 0
        sent = 0
        start = time.monotonic()
        while received < total:
            while sent < total and len(pending) < window:
                out = c.submit_urb(row, devport, 0x01, uc.BULK, out_data=data)
                inn = c.submit_urb(row, devport, 0x81, uc.BULK, in_length=size)
                pending.append((out, inn))
                sent += size
            out, inn = pending.popleft()
            r = c.reap_urb(out, timeout=60)
            assert r.status == 0, r.final
            r = c.reap_urb(inn, timeout=60)
            assert r.status == 0, r.final
            received += len(r.data)
        seconds = time.monotonic() - start
        c.disconnect_device(row, devport)
    return {"bytes": received, "seconds": seconds, **session}


def tls_session(sock):
    if not isinstance(sock, ssl.SSLSocket):
        return {}
    return {"tls": sock.version(), "cipher": sock.cipher()[0]}


def usb_rtt(host, port, devport, kind, count):
    with usb_connect(host, port) as c:
        row = take_device(c, devport, empty_fifo=kind == "bulk512")
        payload = os.urandom(512)
        start = time.monotonic()
        for _ in range(count):
            if kind == "bulk512":
                r = c.transfer(row, devport, 0x01, uc.BULK, out_data=payload)
            else:
                r = c.transfer(row, devport, 0x81, uc.INTERRUPT, in_length=64)
            assert r.status == 0, r.final
        seconds = time.monotonic() - start
        c.disconnect_device(row, devport)
    return {"count": count, "seconds": seconds}


def tcp_server(port):
    listener = socket.create_server(("", port), reuse_port=True)
    print(json.dumps({"listening": port}), flush=True)

    def serve(conn):
        with conn:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            while True:
                data = conn.recv(CHUNK)
                if not data:
                    return
                conn.sendall(data)

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def tls_server(port, cert, key, cipher):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    ctx.set_ciphers(f"{cipher}:@SECLEVEL=0")
    ctx.load_cert_chain(cert, key)
    listener = socket.create_server(("", port), reuse_port=True)
    print(json.dumps({"listening": port}), flush=True)

    def serve(conn):
        try:
            conn.settimeout(60)
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with ctx.wrap_socket(conn, server_side=True) as tls:
                while True:
                    data = tls.recv(CHUNK)
                    if not data:
                        return
                    tls.sendall(data)
        except (OSError, ssl.SSLError):
            conn.close()

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def tcp_connect(host, port, tls=None):
    s = uc.open_transport(host, port, timeout=60, tls=tls)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def recv_exactly(s, n):
    got = 0
    while got < n:
        chunk = s.recv(min(CHUNK, n - got))
        if not chunk:
            raise SystemExit("echo server closed")
        got += len(chunk)
    return got


def tcp_echo(host, port, size, total, window, tls=None):
    s = tcp_connect(host, port, tls)
    session = tls_session(s)
    data = os.urandom(size)
    outstanding = 0
    sent = 0
    received = 0
    start = time.monotonic()
    while received < total:
        while sent < total and outstanding < window:
            s.sendall(data)
            sent += size
            outstanding += 1
        received += recv_exactly(s, size)
        outstanding -= 1
    seconds = time.monotonic() - start
    s.close()
    return {"bytes": received, "seconds": seconds, **session}


def tcp_rtt(host, port, size, count):
    s = tcp_connect(host, port)
    data = os.urandom(size)
    start = time.monotonic()
    for _ in range(count):
        s.sendall(data)
        recv_exactly(s, size)
    seconds = time.monotonic() - start
    s.close()
    return {"count": count, "seconds": seconds}


def main(argv):
    mode = argv[0]
    if mode == "usb-echo":
        host, port, devport, size, total, window = argv[1], *map(int, argv[2:7])
        result = usb_echo(host, port, devport, size, total, window, *argv[7:8])
    elif mode == "usb-rtt":
        result = usb_rtt(argv[1], int(argv[2]), int(argv[3]), argv[4], int(argv[5]))
    elif mode == "tcp-server":
        tcp_server(int(argv[1]))
        return
    elif mode == "tls-server":
        tls_server(int(argv[1]), argv[2], argv[3], argv[4])
        return
    elif mode == "tcp-echo":
        host, port, size, total, window = argv[1], *map(int, argv[2:6])
        result = tcp_echo(host, port, size, total, window, *argv[6:7])
    elif mode == "tcp-rtt":
        result = tcp_rtt(argv[1], int(argv[2]), int(argv[3]), int(argv[4]))
    else:
        raise SystemExit(__doc__)
    print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
