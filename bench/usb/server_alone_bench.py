#!/usr/bin/env python3
"""What the USB server itself costs, measured with C clients only, so that
no client bounds the figures: the program in its own root and network
namespaces with the simulated host (tests/e2e/wevbox.py), the client
(guest_reader.cpp, built here) in the peer namespace across the veth link,
and a C baseline in the box's namespace answering the same frames:

  - READ(10) of the simulated storage device through the server at 4 KiB,
    64 KiB and 1 MiB per command, against a trivial C peer that answers the
    same requests with frames of the same sizes (guest_reader peer);
  - the round trip of one 512-byte bulk OUT URB (loopback device) against a
    C TCP echo of 512 bytes (guest_reader echo-server);
  - the server's system calls per URB of those round trips (strace -f -c:
    what a long run adds to a short one, the process's idle rate
    subtracted);
  - the same 64 KiB READ(10)s in a freshly started program and in the same
    program once 1 MiB transfers went through it.

The two sides of every ratio run one after the other with the same time
budget, pair after pair (A B A B ...); the ratio of each pair is printed,
then the least, the median and the most of them.

    sudo bench/usb/server_alone_bench.py [--binary PATH] [--quick] [--pairs N] [--record FILE]
"""

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
sys.path.insert(0, str(HERE))

import usb_bench as ub  # noqa: E402
import wevbox  # noqa: E402

READER_SOURCE = HERE / "guest_reader.cpp"
PEER_PORT = 9400
ECHO_PORT = 9401
LOOPBACK_PORT = 1
STORAGE_PORT = 6
STICK_MIB = 64
SIZES = (4 << 10, 64 << 10, ub.MIB)
MARKER = "<!-- server alone figures -->"


def build_reader(workdir):
    out = workdir / "guest_reader"
    subprocess.run(["g++", "-O2", "-std=c++20", "-o", str(out), str(READER_SOURCE)], check=True,
                   capture_output=True, timeout=300)
    return out


def results(text):
    """The "result" lines of guest_reader as dicts."""
    found = []
    for line in text.splitlines():
        words = line.split()
        if words[:1] == ["result"]:
            found.append(dict(w.split("=", 1) for w in words[1:] if "=" in w))
    return found


class ServerAlone:
    def __init__(self, args):
        self.args = args
        self.budget = 1 if args.quick else 3
        self.pairs = args.pairs
        self.rows = []   # (figure, server, baseline, unit, ratios)
        self.workdir = Path(tempfile.mkdtemp(prefix="wev-bench-"))
        self.reader = build_reader(self.workdir)
        self.image = self.workdir / "disk.img"
        ub.write_stick_image(self.image, STICK_MIB)

    def start_box(self):
        return ub.start_box(self.args.binary, self.image, [
            f"loopback port={LOOPBACK_PORT}", f"storage port={STORAGE_PORT} image={self.image} size={STICK_MIB}M"])

    def client(self, box, *args, env=None):
        cmd = ["ip", "netns", "exec", box.peer_ns, str(self.reader), *map(str, args)]
        run = subprocess.run(cmd, capture_output=True, text=True, timeout=600,
                             env={**os.environ, "GUEST_READER_SERVER_PID": str(box.pid), **(env or {})})
        if run.returncode != 0:
            raise RuntimeError(f"{' '.join(cmd)}: {run.stderr[-2000:]}")
        return results(run.stdout)

    def baseline_server(self, box, mode, port):
        proc = subprocess.Popen(["ip", "netns", "exec", box.ns, str(self.reader), mode, str(port)],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                start_new_session=True)
        if not proc.stdout.readline().startswith("listening"):
            raise RuntimeError(f"guest_reader {mode} did not listen")
        return proc

    def read10(self, box, size, port=ub.USB_PORT, mode="server"):
        args = [mode if mode == "server" else "peer-client", box.box_ip, port]
        if mode == "server":
            args += ["--port", STORAGE_PORT]
        r = self.client(box, *args, "--sizes", size, "--budget", self.budget, "--total", 1 << 40)[0]
        return float(r["bytes_per_second"]) / ub.MIB

    def add(self, figure, server, baseline, unit, ratios):
        self.rows.append((figure, server, baseline, unit, ratios))
        spread = ub.pair_summary(ratios) if ratios else ""
        base = f"{baseline:10.1f}" if baseline is not None else " " * 10
        print(f"{figure:52s} {server:10.1f} {base} {unit:6s} {spread}", flush=True)

    # -- the rows ------------------------------------------------------------

    def throughput(self, box):
        for size in SIZES:
            server, peer = [], []
            for _ in range(self.pairs):
                server.append(self.read10(box, size))
                peer.append(self.read10(box, size, PEER_PORT, "peer"))
            ratios = [s / p for s, p in zip(server, peer)]
            self.add(f"READ(10) {ub.size_label(size)}: server / trivial C peer, MiB/s",
                     statistics.median(server), statistics.median(peer), "MiB/s", ratios)

    def round_trips(self, box):
        urb, tcp = [], []
        for _ in range(self.pairs):
            urb.append(float(self.client(box, "urb-rtt", box.box_ip, ub.USB_PORT, "--port", LOOPBACK_PORT,
                                         "--size", 512, "--budget", self.budget)[0]["us_per_round_trip"]))
            tcp.append(float(self.client(box, "echo", box.box_ip, ECHO_PORT, "--size", 512,
                                         "--budget", self.budget)[0]["us_per_round_trip"]))
        self.add("round trip, 512-byte bulk OUT URB / C TCP echo of 512 B, us", statistics.median(urb),
                 statistics.median(tcp), "us", [u / t for u, t in zip(urb, tcp)])

    def syscalls(self, box):
        def traced(work=None, seconds=None):
            trace = subprocess.Popen(["strace", "-f", "-c", "-p", str(box.pid)], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
            time.sleep(1)
            start = time.monotonic()
            out = work() if work else time.sleep(seconds)
            elapsed = time.monotonic() - start
            trace.send_signal(signal.SIGINT)
            _, err = trace.communicate(timeout=60)
            m = re.search(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?total$", err, re.M)
            return (int(m.group(1)) if m else 0), elapsed, out

        def round_trips(budget):
            return lambda: self.client(box, "urb-rtt", box.box_ip, ub.USB_PORT, "--port", LOOPBACK_PORT,
                                       "--size", 512, "--budget", budget)

        idle_calls, idle_time, _ = traced(seconds=3)
        # Each client connects, opens the device and sets its configuration
        # (hundreds of calls of the simulated host's sysfs), then runs its
        # round trips: a short and a long run, and only what the long one
        # adds counts, so that the cost of a session's start does not.
        runs = [traced(round_trips(budget)) for budget in (1, 1 + 2 * self.budget)]
        # Every round trip is a bulk OUT URB and the bulk IN URB that reads it back.
        (calls0, time0, out0), (calls1, time1, out1) = runs
        urbs = 2 * (int(out1[0]["count"]) - int(out0[0]["count"]))
        extra = calls1 - calls0 - idle_calls / idle_time * (time1 - time0)
        self.add("system calls of the server per 512-byte URB", extra / urbs, None, "calls", [])

    def history(self):
        """64 KiB READ(10)s in a fresh process, then in the same process once
        1 MiB transfers went through it (READ(10)s of 1 MiB, and 1 MiB echoed
        by the loopback device); a new process for every pair."""
        fresh, warmed = [], []
        for _ in range(self.pairs):
            box = self.start_box()
            try:
                fresh.append(self.read10(box, 64 << 10))
                self.client(box, "server", box.box_ip, ub.USB_PORT, "--port", STORAGE_PORT, "--sizes", ub.MIB,
                            "--budget", 1, "--total", 4 * ub.MIB)
                self.client(box, "urb-rtt", box.box_ip, ub.USB_PORT, "--port", LOOPBACK_PORT, "--size", ub.MIB,
                            "--budget", 1)
                warmed.append(self.read10(box, 64 << 10))
            finally:
                box.close()
        self.add("READ(10) 64 KiB: after 1 MiB transfers / fresh process, MiB/s", statistics.median(warmed),
                 statistics.median(fresh), "MiB/s", [w / f for w, f in zip(warmed, fresh)])

    def run(self):
        print(f"{'figure':52s} {'server':>10s} {'baseline':>10s} unit   ratio per pair", flush=True)
        self.history()
        box = self.start_box()
        try:
            peer = self.baseline_server(box, "peer", PEER_PORT)
            echo = self.baseline_server(box, "echo-server", ECHO_PORT)
            try:
                self.throughput(box)
                self.round_trips(box)
                self.syscalls(box)
            finally:
                for proc in (peer, echo):
                    os.killpg(proc.pid, signal.SIGTERM)
                    proc.wait(10)
        finally:
            box.close()
        if self.args.record:
            self.record(Path(self.args.record))

    # -- the README ----------------------------------------------------------

    def section(self):
        lines = ["| figure | server | baseline | ratio: median (min-max of the pairs) |", "|---|---:|---:|---:|"]
        for figure, server, base, unit, ratios in self.rows:
            shown = f"{server:,.2f} {unit}"
            baseline = f"{base:,.2f} {unit}" if base is not None else "-"
            ratio = ub.pair_cell(ratios) if ratios else "-"
            lines.append(f"| {figure} | {shown} | {baseline} | {ratio} |")
        stamp = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
        return (f"\n\nLast run {stamp}, {os.cpu_count()} CPUs, {self.pairs} pairs of {self.budget} s per side "
                f"(server and baseline figures are the medians of the pairs):\n\n" + "\n".join(lines) + "\n\n")

    def record(self, path):
        """Rewrites what follows the marker up to the next heading."""
        text = path.read_text()
        start = text.find(MARKER)
        if start < 0:
            raise RuntimeError(f"{path} has no {MARKER}")
        end = text.find("\n#", start)
        end = len(text) if end < 0 else end + 1
        path.write_text(text[:start + len(MARKER)] + self.section() + text[end:])
        print(f"recorded in {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default=str(wevbox.binary_path()))
    parser.add_argument("--quick", action="store_true", help="1 s per side instead of 3")
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--record", help="markdown file whose server-alone section is rewritten")
    args, _ = parser.parse_known_args()
    args.binary = str(Path(args.binary).resolve())
    if os.geteuid() != 0:
        raise SystemExit("server_alone_bench.py needs root (network namespaces)")
    ServerAlone(args).run()


if __name__ == "__main__":
    main()
