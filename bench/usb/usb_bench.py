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
    simulated host's share), and the peak memory a 64 MiB OUT transfer adds;
  - with the real-USB guest (tools/guest/, QEMU): READ(10) throughput of the
    emulated USB stick through the server, the client inside the guest,
    against a minimal C relay that makes the same usbfs URBs and sends the
    same frames over the same loopback TCP to the same client, the two
    alternating pair by pair; for information both against the same reads
    straight through usbfs in the same guest, and the same exchanges over
    the guest's loopback TCP without USB. All of it is guest_reader.cpp
    (built here with g++ -static), at 4 KiB, 64 KiB and 1 MiB per command.

On the simulated host both sides of every ratio use the same Python client
code, so the ratios say what the server adds; absolute figures are bounded
by the Python client. In the guest both sides are the same C++ reader.

    sudo bench/usb/usb_bench.py [--binary PATH] [--quick] [--no-callgrind] [--no-guest | --guest-only]
                                [--pairs N] [--record FILE]

Needs root (network namespaces) and the normal build's program. The guest
part is skipped, with the reason, when tools/guest/setup.sh says that this
machine cannot run the guest.
"""

import argparse
import ctypes
import json
import os
import random
import re
import shutil
import signal
import statistics
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
import usbguest  # noqa: E402
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
# The real-USB guest part.
GUEST_READER_SOURCE = HERE / "guest_reader.cpp"
GUEST_READER = "/opt/wev/bin/guest_reader"
GUEST_SIZES = (4 << 10, 64 << 10, MIB)
STICK_IDS = ("46f4", "0001")
STICK_MIB = 64
SECTOR = 512
# Every 16 bytes of sector L: these 8 bytes and L as a little-endian u64
# (guest_reader.cpp checks the same).
SECTOR_PATTERN = b"WEVBENCH"
GUEST_BANNER = r"#### wev Master running on "
# The relay/server pairs run on time alone, so both sides of a pair get the
# same seconds whatever their speed.
NO_BYTE_LIMIT = 1 << 40
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


def sessions(runs):
    return {(r.get("tls"), r.get("cipher")) for r in runs}


def throughput(runs):
    return sum(r["bytes"] for r in runs) / max(r["seconds"] for r in runs) / MIB


def round_trip_us(run):
    return run["seconds"] / run["count"] * 1e6


def write_stick_image(path, mib):
    """The guest's stick: every sector holds its own number, so a wrong or
    misplaced sector read anywhere is caught."""
    per_chunk = MIB // SECTOR
    with open(path, "wb") as f:
        for first in range(0, mib * per_chunk, per_chunk):
            f.write(b"".join((SECTOR_PATTERN + struct.pack("<Q", lba)) * (SECTOR // 16)
                             for lba in range(first, first + per_chunk)))


def guest_env(name):
    """A value that tools/guest/guest-env.sh assigns (the guest's network plan)."""
    text = (REPO / "tools" / "guest" / "guest-env.sh").read_text()
    m = re.search(rf"^{name}=(\S+)$", text, re.M)
    if not m:
        raise RuntimeError(f"tools/guest/guest-env.sh assigns no {name}")
    return m.group(1)


def reader_results(lines):
    """{(mode, size): {field: text}} from guest_reader's "result" lines, and
    ("idle", 0) for its figures of the program's process at rest."""
    found = {}
    for line in lines:
        words = line.split()
        fields = dict(w.split("=", 1) for w in words[1:] if "=" in w)
        if words[:1] == ["result"]:
            found[(fields["mode"], int(fields["size"]))] = fields
        elif words[:1] == ["idle"]:
            found[("idle", 0)] = fields
    return found


# The operations of the simulated usbfs seam. The simulated board has
# functions of the same names, so only those of the seam's own source file
# count.
SIM_USBFS_SOURCE = "usbfs_sim.cpp"
SIM_USBFS_OPERATIONS = ("simIoctl", "simOpen", "simRead", "simClose", "simLseek", "simPollFd", "simHostPoll")


def simulated_host_share(annotate):
    """Inclusive instructions of the simulated usbfs's operations in a
    callgrind_annotate --inclusive=yes listing."""
    share = 0
    for name in SIM_USBFS_OPERATIONS:
        m = re.search(rf"^\s*([\d,]+)\s+\([^)]*\)\s+\S*/{re.escape(SIM_USBFS_SOURCE)}:"
                      rf"\(anonymous namespace\)::{name}\(", annotate, re.M)
        if m:
            share += int(m.group(1).replace(",", ""))
    return share


def pair_summary(ratios):
    """Every pair's ratio, then the least, the median and the most."""
    return (f"pairs {' '.join(f'{r:.2f}' for r in ratios)}; min {min(ratios):.2f} "
            f"median {statistics.median(ratios):.2f} max {max(ratios):.2f}")


def pair_cell(ratios):
    """The pairs' ratios in a table cell: median (least-most)."""
    return f"{statistics.median(ratios):.2f} ({min(ratios):.2f}-{max(ratios):.2f})"


def pooled(runs, mode, size):
    """guest_reader's figures of several runs of one mode and size as one run:
    all commands, bytes and seconds together, per-command figures weighted by
    each run's commands."""
    fields = [run[(mode, size)] for run in runs]
    commands = sum(int(f["commands"]) for f in fields)
    out = {"commands": commands, "bytes": sum(int(f["bytes"]) for f in fields),
           "seconds": sum(float(f["seconds"]) for f in fields)}
    out["bytes_per_second"] = out["bytes"] / out["seconds"]
    for key in ("reader_cpu", "server_cpu"):
        if all(key in f for f in fields):
            out[key] = sum(float(f[key]) for f in fields)
    for key in ("switches_per_command", "reader_faults_per_command", "server_faults_per_command"):
        if all(key in f for f in fields):
            out[key] = sum(float(f[key]) * int(f["commands"]) for f in fields) / max(commands, 1)
    return out


def size_label(size):
    return f"{size // MIB} MiB" if size >= MIB else f"{size // 1024} KiB" if size >= 1024 else f"{size} B"


class Bench:
    def __init__(self, args):
        self.args = args
        # Each part of the run records its own section of the README.
        self.rows = {"simulated": [], "guest": []}   # (what, server, baseline, unit, pair ratios)
        self.notes = {"simulated": [], "guest": []}
        self.part = "simulated"

    def add(self, what, value, baseline, unit, ratios=None):
        """A figure beside its baseline; with ratios (one per pair of runs
        that alternated), value and baseline are the pairs' medians."""
        self.rows[self.part].append((what, value, baseline, unit, ratios))
        ratio = (f"{statistics.median(ratios):6.2f}" if ratios else f"{value / baseline:6.2f}" if baseline
                 else "     -")
        base = f"{baseline:12.1f}" if baseline is not None else " " * 12
        spread = f"  {pair_summary(ratios)}" if ratios else ""
        print(f"{what:46s} {value:12.1f} {base}  {ratio}  {unit}{spread}", flush=True)

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
        key, cert = box.wait_for_key_pair(timeout=120)

        def negotiated():
            with uc.UsbClient.connect(box.box_ip, TLS_USB_PORT, timeout=30, tls=TLS_VERSION) as c:
                return c.sock.version(), c.sock.cipher()[0]

        version, cipher = in_namespace(box.peer_ns, negotiated)
        self.notes[self.part].append(f"TLS rows: {version}, cipher {cipher} on both sides.")
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
            # "% time, seconds, usecs/call, calls[, errors] total": the calls,
            # not the errors column that follows them when some failed.
            m = re.search(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?total$", err, re.M)
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
                return total, simulated_host_share(annotate), elapsed

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
        print(f"{'figure':46s} {'server':>12s} {'baseline':>12s}  ratio  unit")
        if not self.args.guest_only:
            self.run_simulated()
        if self.args.guest or self.args.guest_only:
            self.part = "guest"
            self.guest()
        if self.args.record:
            self.record(Path(self.args.record))

    def run_simulated(self):
        binary = self.args.binary
        image = Path(tempfile.mkdtemp(prefix="wev-bench-")) / "disk.img"
        devices = [f"loopback port={p}" for p in LOOPBACK_PORTS] + [
            f"keyboard port={KEYBOARD_PORT}", f"storage port={STORAGE_PORT} image={image} size=80M"]
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

    # -- the real-USB guest ----------------------------------------------------

    def guest_budget(self):
        """Seconds and bytes per size and run: software emulation is slow, and
        the whole part (two builds, a boot, the runs) stays within minutes."""
        return (3, 64 * MIB) if self.args.quick else (10, 512 * MIB)

    def guest_image(self, workdir):
        """guest_reader built static, and an initramfs holding it beside the
        program; GuestUnavailable when this machine cannot run the guest."""
        reader = workdir / "guest_reader"
        build = subprocess.run(["g++", "-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror", "-funsigned-char",
                                "-static", "-o", str(reader), str(GUEST_READER_SOURCE)],
                               capture_output=True, text=True, timeout=300)
        if build.returncode != 0:
            raise RuntimeError(f"building guest_reader failed:\n{build.stderr[-3000:]}")
        setup = usbguest._run_tool([usbguest.GUEST_TOOLS / "setup.sh"], usbguest.SETUP_TIMEOUT)
        if setup.returncode == usbguest.EXIT_UNAVAILABLE:
            raise usbguest.GuestUnavailable(usbguest._tail(setup.stderr, 1) or "setup.sh: guest unavailable")
        if setup.returncode != 0:
            raise RuntimeError(f"tools/guest/setup.sh failed ({setup.returncode}):\n{usbguest._tail(setup.stderr)}")
        image = workdir / "initramfs.cpio.gz"
        made = usbguest._run_tool([usbguest.GUEST_TOOLS / "build-initramfs.sh", "--wev", self.args.binary,
                                   "--add", f"{reader}:{GUEST_READER}", "--out", image], usbguest.BUILD_TIMEOUT)
        if made.returncode != 0:
            raise RuntimeError(f"tools/guest/build-initramfs.sh failed ({made.returncode}):\n"
                               f"{usbguest._tail(made.stderr)}")
        return image

    def guest_reader(self, guest, mode, *args, total=None):
        """One run of guest_reader in the guest; its results by (mode, size).
        total: bytes per size (default the budget's)."""
        seconds, budget_total = self.guest_budget()
        words = ["guest_reader", mode, *args, "--sizes", ",".join(map(str, GUEST_SIZES)),
                 "--total", total or budget_total, "--budget", seconds]
        started = time.monotonic()
        lines = guest.command("run", *words, timeout=len(GUEST_SIZES) * (seconds + 60) + 60, check=False)
        found = reader_results(lines)
        if any((mode, size) not in found for size in GUEST_SIZES):
            raise RuntimeError(f"guest_reader {mode} {' '.join(map(str, args))} failed:\n" + "\n".join(lines[-20:]))
        for line in lines:
            print(f"  guest: {line}", flush=True)
        print(f"  guest: {mode} took {time.monotonic() - started:.1f} s", flush=True)
        return found

    def guest_server_ready(self, guest, timeout=120):
        """The program lists the stick (asked through the forwarded port: QEMU
        accepts there before the guest listens, so only an answer counts)."""
        vendor, product = (int(x, 16) for x in STICK_IDS)
        deadline = time.monotonic() + timeout
        with uc.connect_when_ready("127.0.0.1", int(guest.ports["USB_PORT"]), total_timeout=timeout,
                                   timeout=30) as c:
            while not any((e.vendor_id, e.product_id) == (vendor, product) for e in c.device_list()):
                if time.monotonic() > deadline:
                    raise RuntimeError(f"the program in the guest did not list the stick within {timeout} s")
                time.sleep(1)

    def guest_pairs(self, guest, ids, port, stick_bound):
        """Relay and server alternating, pair after pair, on time alone. The
        relay takes the stick while the program runs but no client has it
        connected (the program closes a device its client disconnects, and
        the relay refuses an interface another usbfs user holds); after each
        relay the stick must be back with its kernel driver. Returns the
        relay runs, the server runs and the server's address."""
        relays, servers, address = [], [], None
        for pair in range(1, self.args.pairs + 1):
            print(f"  guest: pair {pair} of {self.args.pairs}", flush=True)
            relays.append(self.guest_reader(guest, "relay", "--device", ids, total=NO_BYTE_LIMIT))
            guest.wait_usb(stick_bound, "the stick given back to its kernel driver by the relay", 30)
            if address is None:
                try:
                    servers.append(self.guest_reader(guest, "server", "127.0.0.1", port, "--device", ids,
                                                     total=NO_BYTE_LIMIT))
                    address = "127.0.0.1"
                    continue
                except RuntimeError as e:
                    # A program listening only on the guest's eth0 address.
                    print(f"  guest: through 127.0.0.1 failed ({e}); again through the guest's own address",
                          flush=True)
                    address = guest_env("GUEST_IP")
            servers.append(self.guest_reader(guest, "server", address, port, "--device", ids,
                                             total=NO_BYTE_LIMIT))
        return relays, servers, address

    def guest(self):
        started = time.monotonic()
        load = os.getloadavg()[0]
        workdir = Path(tempfile.mkdtemp(prefix="wev-bench-guest-"))
        guest = None
        try:
            try:
                image = self.guest_image(workdir)
            except usbguest.GuestUnavailable as e:
                print(f"guest part skipped: the real-USB guest cannot run on this machine: {e}", flush=True)
                self.part = "simulated"
                return
            guest = usbguest.Guest(image, workdir / "guest")
            guest.vm_dir.mkdir(parents=True)
            write_stick_image(guest.vm_dir / "stick0.img", STICK_MIB)
            guest.boot()

            def stick_bound(snapshot):
                for name, d in snapshot.plugged().items():
                    if (d.get("idVendor"), d.get("idProduct")) == STICK_IDS:
                        interfaces = snapshot.interfaces_of(name)
                        return bool(interfaces and interfaces[0]["driver"] == "usb-storage")
                return False

            guest.wait_usb(stick_bound, "the stick with its kernel driver", 60)
            ids = ":".join(STICK_IDS)
            port = guest_env("GUEST_USB_PORT")
            # Nothing else touches the device while the direct reads run.
            direct = self.guest_reader(guest, "direct", "--device", ids)
            guest.command("wev-start", 0)
            guest.wait_console(GUEST_BANNER, 120)
            self.guest_server_ready(guest)
            relays, servers, address = self.guest_pairs(guest, ids, port, stick_bound)
            loopback = self.guest_reader(guest, "loopback")
            stop = guest.command("wev-stop")
            if stop != ["wev exit=0"]:
                raise RuntimeError(f"the program in the guest ended with {stop}")
            # Direct reads again, the program stopped: the speed of software
            # emulation follows this machine's other load, so the direct
            # figure brackets the others in time.
            direct_after = self.guest_reader(guest, "direct", "--device", ids)
            guest.power_off()
            self.guest_figures(direct, direct_after, relays, servers, loopback)
            self.guest_notes(direct, direct_after, relays, servers, loopback, address, port, started, load)
        finally:
            if guest is not None:
                guest.close()
            shutil.rmtree(workdir, ignore_errors=True)

    def guest_figures(self, direct, direct_after, relays, servers, loopback):
        """Per size: the server against the relay pair by pair, and for
        information the server, the relay and the guest's TCP alone against
        direct usbfs (both direct runs pooled)."""
        def mib_per_second(runs, mode, size):
            return pooled(runs, mode, size)["bytes_per_second"] / MIB

        for size in GUEST_SIZES:
            server = [mib_per_second([run], "server", size) for run in servers]
            relay = [mib_per_second([run], "relay", size) for run in relays]
            self.add(f"guest READ(10) {size_label(size)}: server / C relay, MiB/s", statistics.median(server),
                     statistics.median(relay), "MiB/s", [s / r for s, r in zip(server, relay)])
        for size in GUEST_SIZES:
            base = mib_per_second([direct, direct_after], "direct", size)
            self.add(f"  {size_label(size)}: server / direct usbfs", mib_per_second(servers, "server", size), base,
                     "MiB/s")
            self.add(f"  {size_label(size)}: C relay / direct usbfs", mib_per_second(relays, "relay", size), base,
                     "MiB/s")
            self.add(f"  {size_label(size)}: loopback TCP alone / direct usbfs",
                     mib_per_second([loopback], "loopback", size), base, "MiB/s")

    def guest_notes(self, direct, direct_after, relays, servers, loopback, address, port, started, load):
        pairs = len(relays)
        detail = ["| size | path | MiB/s | wall ms per command | CPU ms per command: reader "
                  "| CPU ms per command: server, relay or peer | page faults per command: reader, server, relay "
                  "or peer | context switches per command |",
                  "|---|---|---:|---:|---:|---:|---:|---:|"]
        for size in GUEST_SIZES:
            for name, runs, mode in (("direct usbfs, before", [direct], "direct"),
                                     (f"C relay, {pairs} runs", relays, "relay"),
                                     (f"server, {pairs} runs", servers, "server"),
                                     ("loopback TCP alone", [loopback], "loopback"),
                                     ("direct usbfs, after", [direct_after], "direct")):
                f = pooled(runs, mode, size)
                commands = max(f["commands"], 1)
                peer, peer_faults = "-", "-"
                if "server_cpu" in f:
                    peer = f"{f['server_cpu'] * 1000 / commands:.3f}"
                    peer_faults = f"{f['server_faults_per_command']:.1f}"
                detail.append(f"| {size_label(size)} | {name} | {f['bytes_per_second'] / MIB:,.1f} "
                              f"| {f['seconds'] * 1000 / commands:.3f} "
                              f"| {f['reader_cpu'] * 1000 / commands:.3f} | {peer} "
                              f"| {f['reader_faults_per_command']:.1f}, {peer_faults} "
                              f"| {f['switches_per_command']:.1f} |")
        self.notes[self.part].append("Where the guest's time went (from the guest's /proc; it has one "
                                     "virtual CPU, so the CPU times of a row add up to about its wall "
                                     "time when the path is bound by that CPU; the relay and server "
                                     "rows pool their runs):\n\n" + "\n".join(detail))
        for line in detail:
            print(f"  {line}", flush=True)
        idle = servers[0].get(("idle", 0))
        if idle:
            self.notes[self.part].append(
                f"The program's process at rest in the guest (before the first server run, "
                f"{float(idle['seconds']):.0f} s): {float(idle['server_cpu_share']) * 100:.1f} % of the guest's "
                f"CPU, {float(idle['switches_per_second']):.0f} context switches per second in the whole guest.")
        seconds, total = self.guest_budget()

        def per_command(run, mode, size):
            return int(run[(mode, size)]["urbs"]) / int(run[(mode, size)]["commands"])

        self.notes[self.part].append(
            f"Guest: C relay and server alternating, {pairs} pairs in one boot, each side {seconds} s per size "
            f"(the ratio column of the pair rows: median (least-most) of the pairs' ratios; server and "
            f"baseline: the medians of the pairs); the direct figure is the direct runs before and after "
            f"pooled, each size read for {seconds} s or {total // MIB} MiB, whichever came first, as the "
            f"loopback row; server reached at {address}:{port} inside the guest; sequential LBAs over a "
            f"{STICK_MIB} MiB stick; usbfs URBs per command (direct): "
            + ", ".join(f"{size_label(n)} {per_command(direct, 'direct', n):.0f}" for n in GUEST_SIZES)
            + "; transfer requests per command (server, relay): "
            + ", ".join(f"{size_label(n)} {per_command(servers[0], 'server', n):.0f}, "
                        f"{per_command(relays[0], 'relay', n):.0f}" for n in GUEST_SIZES)
            + f". The whole guest part took {time.monotonic() - started:.0f} s; this machine's load average "
            f"(1 minute) was {load:.1f} at its start and {os.getloadavg()[0]:.1f} at its end, on "
            f"{os.cpu_count()} CPUs shared with other work.")

    # -- the README ------------------------------------------------------------------

    MARKERS = {"simulated": "<!-- figures -->", "guest": "<!-- guest figures -->"}

    def section(self, part):
        lines = ["| figure | server | baseline | ratio |", "|---|---:|---:|---:|"]
        for what, value, base, unit, ratios in self.rows[part]:
            ratio = pair_cell(ratios) if ratios else f"{value / base:.2f}" if base else "-"
            shown = f"{value:,.1f} {unit}"
            baseline = f"{base:,.1f} {unit}" if base is not None else "-"
            lines.append(f"| {what.strip()} | {shown} | {baseline} | {ratio} |")
        stamp = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
        notes = "".join(f"\n{n}\n" for n in self.notes[part])
        return f"\n\nLast run {stamp}, {os.cpu_count()} CPUs:\n\n" + "\n".join(lines) + "\n" + notes

    def record(self, path):
        """Rewrites the figures of the parts that ran, each from its marker up
        to the next marker or heading, so that what the README says after
        them stays; a part that did not run (left out, or skipped) keeps the
        figures recorded before, and a missing marker goes to the end."""
        text = path.read_text() if path.exists() else ""
        for part, marker in self.MARKERS.items():
            if marker not in text:
                text = text.rstrip("\n") + ("\n\n" if text else "") + marker + "\n"
            if not self.rows[part]:
                continue
            start = text.index(marker) + len(marker)
            ends = [at for at in [text.find(m, start) for m in self.MARKERS.values()]
                    + [text.find("\n#", start)] if at >= 0]
            rest = text[min(ends):].lstrip("\n") if ends else ""
            text = text[:start] + self.section(part).rstrip("\n") + "\n\n" + rest
        path.write_text(text.rstrip("\n") + "\n")
        print(f"recorded in {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default=str(wevbox.binary_path()))
    parser.add_argument("--quick", action="store_true", help="smaller amounts, for a smoke run")
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--guest", action=argparse.BooleanOptionalAction, default=True,
                        help="the real-USB guest part (default on; skipped when the guest cannot run here)")
    parser.add_argument("--guest-only", action="store_true", help="only the real-USB guest part")
    parser.add_argument("--pairs", type=int, default=3,
                        help="relay/server pairs in the guest (default 3)")
    parser.add_argument("--record", help="markdown file whose figures sections are rewritten")
    args = parser.parse_args()
    if args.pairs < 1:
        parser.error("--pairs needs at least one pair")
    if args.guest_only and not args.guest:
        parser.error("--guest-only and --no-guest exclude each other")
    # The box runs the program from its own root, so a relative path would not name it.
    args.binary = str(Path(args.binary).resolve())
    if os.geteuid() != 0 and not args.guest_only:
        raise SystemExit("usb_bench.py needs root (network namespaces)")
    random.seed(1)
    Bench(args).run()


if __name__ == "__main__":
    main()
