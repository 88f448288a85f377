#!/usr/bin/env python3
"""The USB server's benchmark on the simulated host: the whole program in
its own root and network namespaces (tests/e2e/wevbox.py), measuring
clients (bench_worker.py) in the peer namespace, and beside every figure a
baseline measured in the same run on the same veth link:

  - bulk echo throughput through the server (bulk OUT then bulk IN on the
    loopback device, WINDOW transfers outstanding) at 512 B, 64 KiB and
    1 MiB, with 1 and with 4 devices at once, against raw TCP echo of the
    same sizes through a plain echo server in the box's namespace;
  - the same bulk echo through the server's TLS port (TLS 1.2) against
    the same raw echo over TLS 1.2 with the cipher the server chose,
    through a Python TLS echo server holding the box's own key pair;
  - round trip of one URB (512-byte bulk OUT, 64-byte interrupt IN on the
    keyboard) against a raw TCP echo round trip of 512 and 64 bytes;
  - system calls per URB of the server process (strace), instructions per
    MiB and per URB (valgrind --tool=callgrind, with and without the
    simulated host's share), and the peak memory a 64 MiB OUT transfer adds.

Both sides of every ratio use the same Python client code, so the ratios
say what the server adds; absolute figures are bounded by the Python client.

    sudo bench/usb/usb_bench.py [--binary PATH] [--quick] [--no-callgrind] [--record FILE]

Needs root (network namespaces) and the normal build's program.
"""

import argparse
import ctypes
import json
import os
import random
import re
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

import usbclient as uc  # noqa: E402
import wevbox  # noqa: E402

USB_PORT = 9200
TCP_PORT = 9300
TLS_USB_PORT = 9443
TLS_ECHO_PORT = 9301
TLS_VERSION = "1.2"
WORKER = HERE / "bench_worker.py"
PYTHON = "/usr/bin/python3"
LOOPBACK_PORTS = (1, 2, 3, 4)
KEYBOARD_PORT = 5
STORAGE_PORT = 6
MIB = 1 << 20
CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


def in_namespace(ns, fn):
    out = {}

    def run():
        try:
            fd = os.open(f"/run/netns/{ns}", os.O_RDONLY)
            try:
                if _libc.setns(fd, CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), f"setns {ns}")
            finally:
                os.close(fd)
            out["value"] = fn()
        except BaseException as e:
            out["error"] = e

    t = threading.Thread(target=run, daemon=True)
    t.start()
    t.join(120)
    if "error" in out:
        raise out["error"]
    return out.get("value")


def usbsim(box, *args):
    return subprocess.run([str(REPO / "tools" / "usbsim-ctl"), "--root", str(box.root), "--timeout", "20",
                           *map(str, args)], capture_output=True, text=True, timeout=60, check=True).stdout


def sim_name(box, model):
    for line in usbsim(box, "state").splitlines():
        f = line.split()
        if f and f[0] == "device" and f"model={model}" in f and "plugged=1" in f:
            return f[1]
    raise RuntimeError(f"no {model}")


def start_box(binary, image, devices):
    box = wevbox.Box(product_id=353, ports=8, binary=binary)
    for plug in devices:
        usbsim_queue = [str(REPO / "tools" / "usbsim-ctl"), "--root", str(box.root), "--no-wait", "plug", *plug.split()]
        subprocess.run(usbsim_queue, check=True, capture_output=True, timeout=30)
    box.write_params({"zyt_hid": "on", "zyt_heartbeat": "0"})
    box.start(kickoff=0)
    deadline = time.monotonic() + 180
    while True:
        try:
            def listed():
                with uc.UsbClient.connect(box.box_ip, USB_PORT, timeout=5) as c:
                    return len(c.device_list())
            if in_namespace(box.peer_ns, listed) >= len(devices):
                return box
        except (OSError, uc.UsbClientError):
            pass
        if time.monotonic() > deadline:
            box.close()
            raise RuntimeError("the USB server did not list its devices")
        time.sleep(0.5)


def worker(ns, *args):
    return subprocess.Popen(["ip", "netns", "exec", ns, PYTHON, str(WORKER), *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def results(procs, timeout=600):
    out = []
    for p in procs:
        stdout, stderr = p.communicate(timeout=timeout)
        if p.returncode != 0:
            raise RuntimeError(f"worker failed: {stderr[-2000:]}")
        out.append(json.loads(stdout.strip().splitlines()[-1]))
    return out


def wait_for_key_pair(box, timeout=120):
    """The first start generates the box's key and certificate in the background."""
    key, cert = box.path("/flash/cert_pkey.pem"), box.path("/flash/cert_srv.pem")
    deadline = time.monotonic() + timeout
    while not all(p.exists() and p.stat().st_size > 0 for p in (key, cert)):
        if time.monotonic() > deadline:
            raise RuntimeError("the box generated no key pair")
        time.sleep(0.2)
    return key, cert


def sessions(runs):
    return {(r.get("tls"), r.get("cipher")) for r in runs}


def throughput(runs):
    return sum(r["bytes"] for r in runs) / max(r["seconds"] for r in runs) / MIB


def round_trip_us(run):
    return run["seconds"] / run["count"] * 1e6


class Bench:
    def __init__(self, args):
        self.args = args
        self.rows = []   # (what, server, baseline, unit)
        self.notes = []

    def add(self, what, value, baseline, unit):
        self.rows.append((what, value, baseline, unit))
        ratio = f"{value / baseline:6.2f}" if baseline else "     -"
        base = f"{baseline:12.1f}" if baseline is not None else " " * 12
        print(f"{what:46s} {value:12.1f} {base}  {ratio}  {unit}", flush=True)

    # -- throughput and round trips ------------------------------------------

    def echo(self, box):
        sizes = [(512, 2 * MIB, 64), (64 << 10, 64 * MIB, 8), (MIB, 128 * MIB, 1)]
        if self.args.quick:
            sizes = [(512, MIB // 2, 64), (64 << 10, 16 * MIB, 8), (MIB, 32 * MIB, 1)]
        for size, total, window in sizes:
            for count in (1, 4):
                ports = LOOPBACK_PORTS[:count]
                usb = results([worker(box.peer_ns, "usb-echo", box.box_ip, USB_PORT, p, size, total, window)
                               for p in ports])
                tcp = results([worker(box.peer_ns, "tcp-echo", box.box_ip, TCP_PORT, size, total, window)
                               for _ in ports])
                label = f"{size // 1024} KiB" if size >= 1024 else f"{size} B"
                self.add(f"bulk echo {label}, {count} device(s), MiB/s each way", throughput(usb),
                         throughput(tcp), "MiB/s")

    def tls_echo(self, box):
        key, cert = wait_for_key_pair(box)

        def negotiated():
            with uc.UsbClient.connect(box.box_ip, TLS_USB_PORT, timeout=30, tls=TLS_VERSION) as c:
                return c.sock.version(), c.sock.cipher()[0]

        version, cipher = in_namespace(box.peer_ns, negotiated)
        self.notes.append(f"TLS rows: {version}, cipher {cipher} on both sides.")
        print(f"TLS: {version}, cipher {cipher}", flush=True)
        server = subprocess.Popen(["ip", "netns", "exec", box.ns, PYTHON, str(WORKER), "tls-server",
                                   str(TLS_ECHO_PORT), str(cert), str(key), cipher],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            if not server.stdout.readline():
                raise RuntimeError(f"TLS echo server: {server.stderr.read()[-2000:]}")
            sizes = [(512, MIB, 64), (64 << 10, 32 * MIB, 8), (MIB, 64 * MIB, 1)]
            if self.args.quick:
                sizes = [(512, MIB // 4, 64), (64 << 10, 8 * MIB, 8), (MIB, 16 * MIB, 1)]
            for size, total, window in sizes:
                for count in (1, 4):
                    ports = LOOPBACK_PORTS[:count]
                    usb = results([worker(box.peer_ns, "usb-echo", box.box_ip, TLS_USB_PORT, p, size, total, window,
                                          TLS_VERSION) for p in ports])
                    tls = results([worker(box.peer_ns, "tcp-echo", box.box_ip, TLS_ECHO_PORT, size, total, window,
                                          TLS_VERSION) for _ in ports])
                    if sessions(usb) | sessions(tls) != {(version, cipher)}:
                        raise RuntimeError(f"TLS sessions differ: {sessions(usb) | sessions(tls)}")
                    label = f"{size // 1024} KiB" if size >= 1024 else f"{size} B"
                    self.add(f"TLS bulk echo {label}, {count} device(s), MiB/s each way", throughput(usb),
                             throughput(tls), "MiB/s")
        finally:
            server.kill()
            server.wait(10)

    def round_trips(self, box):
        n = 500 if self.args.quick else 2000
        usbsim(box, "type", sim_name(box, "keyboard"), "x" * (n // 2 + 10))
        bulk = results([worker(box.peer_ns, "usb-rtt", box.box_ip, USB_PORT, 1, "bulk512", n)])[0]
        tcp512 = results([worker(box.peer_ns, "tcp-rtt", box.box_ip, TCP_PORT, 512, n)])[0]
        irq = results([worker(box.peer_ns, "usb-rtt", box.box_ip, USB_PORT, KEYBOARD_PORT, "int64", n)])[0]
        tcp64 = results([worker(box.peer_ns, "tcp-rtt", box.box_ip, TCP_PORT, 64, n)])[0]
        self.add("round trip, 512-byte bulk OUT URB (us)", round_trip_us(bulk), round_trip_us(tcp512), "us")
        self.add("round trip, 64-byte interrupt IN URB (us)", round_trip_us(irq), round_trip_us(tcp64), "us")

    # -- the server process --------------------------------------------------

    def syscalls(self, box):
        n = 500 if self.args.quick else 2000

        def traced(seconds=None, work=None):
            trace = subprocess.Popen(["strace", "-f", "-c", "-p", str(box.pid)], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
            time.sleep(1)
            start = time.monotonic()
            if work:
                results([work()])
            else:
                time.sleep(seconds)
            elapsed = time.monotonic() - start
            trace.send_signal(signal.SIGINT)
            _, err = trace.communicate(timeout=60)
            m = re.search(r"^\S+\s+\S+\s+\S+\s+\S+\s+(\d+)\s+(?:\d+\s+)?total$", err, re.M)
            return (int(m.group(1)) if m else 0), elapsed

        idle_calls, idle_time = traced(seconds=3)
        calls, elapsed = traced(work=lambda: worker(box.peer_ns, "usb-rtt", box.box_ip, USB_PORT, 1, "bulk512", n))
        per_urb = (calls - idle_calls / idle_time * elapsed) / n
        self.add("system calls per 512-byte bulk URB", per_urb, None, "calls")

    def peak_memory(self, box):
        def status(key):
            text = Path(f"/proc/{box.pid}/status").read_text()
            return int(re.search(rf"^{key}:\s+(\d+) kB", text, re.M).group(1)) / 1024

        before = status("VmRSS")
        size = 64 * MIB

        def write():
            with uc.UsbClient.connect(box.box_ip, USB_PORT, timeout=120) as c:
                e = next(e for e in c.device_list() if e.port == STORAGE_PORT)
                assert c.connect_device(e.row, STORAGE_PORT, "bench").status == 0
                assert c.set_configuration(e.row, STORAGE_PORT, 1).status == 0
                blocks = size // 512
                cbw = struct.pack("<IIIBBB", 0x43425355, 1, size, 0, 0, 10) + \
                    struct.pack(">BBIBHB", 0x2A, 0, 0, 0, blocks & 0xffff, 0).ljust(16, b"\0")
                assert c.bulk_out(e.row, STORAGE_PORT, 0x02, cbw).status == 0
                assert c.bulk_out(e.row, STORAGE_PORT, 0x02, os.urandom(size), timeout=120).status == 0
                c.bulk_in(e.row, STORAGE_PORT, 0x81, 13)
                c.disconnect_device(e.row, STORAGE_PORT)

        in_namespace(box.peer_ns, write)
        peak = status("VmHWM")
        self.add("peak memory added by one 64 MiB bulk OUT (MiB)", max(peak - before, 0.0), 64.0, "MiB")

    def callgrind(self, binary):
        wrapper = Path(tempfile.mkdtemp(prefix="wev-bench-")) / "wev-callgrind"
        out = wrapper.parent / "callgrind.out"
        wrapper.write_text(f"#!/bin/sh\nexec valgrind --tool=callgrind --callgrind-out-file={out}.%p "
                           f"--dump-instr=no --collect-jumps=no {binary} \"$@\"\n")
        wrapper.chmod(0o755)
        box = start_box(str(wrapper), None, [f"loopback port={p}" for p in LOOPBACK_PORTS[:1]])
        try:
            pid = box.pid

            def measure(work=None, seconds=None):
                subprocess.run(["callgrind_control", "-z", str(pid)], check=True, capture_output=True, timeout=120)
                start = time.monotonic()
                if work:
                    results([work()], timeout=1800)
                else:
                    time.sleep(seconds)
                elapsed = time.monotonic() - start
                for f in out.parent.glob("callgrind.out.*"):
                    f.unlink()
                subprocess.run(["callgrind_control", "-d", str(pid)], check=True, capture_output=True, timeout=300)
                dump = sorted(out.parent.glob("callgrind.out.*"), key=lambda p: p.stat().st_mtime)[-1]
                annotate = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(dump)],
                                          capture_output=True, text=True, timeout=300).stdout
                total = int(re.search(r"^([\d,]+)\s+\(100.0%\)\s+PROGRAM TOTALS", annotate, re.M)
                            .group(1).replace(",", ""))
                sim = 0
                for name in ("simIoctl", "simOpen", "simRead", "simClose", "simLseek", "simPollFd", "simHostPoll"):
                    m = re.search(rf"^\s*([\d,]+)\s+\([^)]*\)\s+\S*\(anonymous namespace\)::{name}\(", annotate, re.M)
                    if m:
                        sim += int(m.group(1).replace(",", ""))
                return total, sim, elapsed

            idle, idle_sim, idle_time = measure(seconds=5)
            mib = 4 if self.args.quick else 16
            total, sim, elapsed = measure(lambda: worker(box.peer_ns, "usb-echo", box.box_ip, USB_PORT, 1,
                                                          64 << 10, mib * MIB, 8))
            idle_share = idle / idle_time * elapsed
            per_mib = (total - idle_share) / (2 * mib)
            per_mib_server = (total - sim - (idle - idle_sim) / idle_time * elapsed) / (2 * mib)
            self.add("instructions per MiB moved (64 KiB URBs), whole process", per_mib, None, "Ir")
            self.add("  the same without the simulated host", per_mib_server, None, "Ir")
            n = 200 if self.args.quick else 1000
            total, sim, elapsed = measure(lambda: worker(box.peer_ns, "usb-rtt", box.box_ip, USB_PORT, 1,
                                                          "bulk512", n))
            self.add("instructions per 512-byte URB, whole process", (total - idle / idle_time * elapsed) / n,
                     None, "Ir")
            self.add("  the same without the simulated host",
                     (total - sim - (idle - idle_sim) / idle_time * elapsed) / n, None, "Ir")
        finally:
            box.close()

    def run(self):
        binary = self.args.binary
        image = Path(tempfile.mkdtemp(prefix="wev-bench-")) / "disk.img"
        devices = [f"loopback port={p}" for p in LOOPBACK_PORTS] + [
            f"keyboard port={KEYBOARD_PORT}", f"storage port={STORAGE_PORT} image={image} size=80M"]
        print(f"{'figure':46s} {'server':>12s} {'baseline':>12s}  ratio  unit")
        box = start_box(binary, image, devices)
        try:
            server = subprocess.Popen(["ip", "netns", "exec", box.ns, PYTHON, str(WORKER), "tcp-server", str(TCP_PORT)],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            server.stdout.readline()
            try:
                self.echo(box)
                self.tls_echo(box)
                self.round_trips(box)
                self.syscalls(box)
                self.peak_memory(box)
            finally:
                server.kill()
                server.wait(10)
        finally:
            box.close()
            image.unlink(missing_ok=True)
        if not self.args.no_callgrind:
            self.callgrind(binary)
        if self.args.record:
            self.record(Path(self.args.record))

    def record(self, path):
        lines = ["| figure | server | baseline | ratio |", "|---|---:|---:|---:|"]
        for what, value, base, unit in self.rows:
            ratio = f"{value / base:.2f}" if base else "-"
            shown = f"{value:,.1f} {unit}"
            baseline = f"{base:,.1f} {unit}" if base is not None else "-"
            lines.append(f"| {what.strip()} | {shown} | {baseline} | {ratio} |")
        stamp = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
        text = path.read_text() if path.exists() else ""
        marker = "<!-- figures -->"
        head = text.split(marker)[0] if marker in text else text
        notes = "".join(f"\n{n}\n" for n in self.notes)
        path.write_text(head + marker + f"\n\nLast run {stamp}, {os.cpu_count()} CPUs:\n\n" + "\n".join(lines) + "\n"
                        + notes)
        print(f"recorded in {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default=str(wevbox.binary_path()))
    parser.add_argument("--quick", action="store_true", help="smaller amounts, for a smoke run")
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--record", help="markdown file whose figures section is rewritten")
    args = parser.parse_args()
    # The box runs the program from its own root, so a relative path would not name it.
    args.binary = str(Path(args.binary).resolve())
    if os.geteuid() != 0:
        raise SystemExit("usb_bench.py needs root (network namespaces)")
    random.seed(1)
    Bench(args).run()


if __name__ == "__main__":
    main()
