#!/usr/bin/env python3
"""Memory under a long hostile load: the program (normal build) in its own
root and namespaces with the simulated USB host, driven by rounds of the
seeded protocol fuzzer of the whole-program tests (tests/e2e/test_usb_fuzz.py)
from several clients at once. After each round the server's resident size
(VmRSS) is printed beside the size after the first round, the warm-up, as a
ratio; with nothing leaking and the heap not spreading over more and more
per-thread arenas the ratio stays near 1.

    bench/usb/soak_bench.py --binary build/src/qmrthreads/wev/wev [--rounds 6] [--seconds 60] [--quick]
"""

import argparse
import random
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
sys.path.insert(0, str(HERE))

import test_usb_fuzz as fuzz  # noqa: E402
import usb_bench  # noqa: E402

CLIENTS = 8


def status_kib(box, key):
    for line in Path(f"/proc/{box.pid}/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"no {key} in the program's status")


def thread_count(box):
    return len(list(Path(f"/proc/{box.pid}/task").iterdir()))


def fuzz_for(box, devices, seed, seconds):
    """CLIENTS fuzzers at once for seconds; the rounds they made."""
    counts = []
    lock = threading.Lock()

    def one(k):
        fuzzer = fuzz.Fuzzer(random.Random(seed * 100 + k), devices, spared_row=-1)

        def run():
            done = 0
            ends = time.monotonic() + seconds
            while time.monotonic() < ends:
                try:
                    fuzz.fuzz_round(box, fuzzer)
                except OSError:
                    pass
                done += 1
            return done

        n = usb_bench.in_namespace(box.peer_ns, run)
        with lock:
            counts.append(n)

    threads = [threading.Thread(target=one, args=(k,)) for k in range(CLIENTS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(counts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--quick", action="store_true", help="4 rounds of 15 s")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.seconds = 4, 15

    workdir = Path(usb_bench.tempfile.mkdtemp(prefix="wev-soak-"))
    image = workdir / "disk.img"
    image.write_bytes(bytes(4 << 20))
    box = usb_bench.start_box(args.binary, image,
                              ["loopback port=1", "loopback port=2 serial=LB0002", f"storage port=3 image={image}"])
    try:
        def rows():
            with usb_bench.uc.UsbClient.connect(box.box_ip, usb_bench.USB_PORT, timeout=5) as c:
                return {e.port: e.row for e in c.device_list()}
        ports = usb_bench.in_namespace(box.peer_ns, rows)
        endpoints = {1: [0x01, 0x81, 0x82], 2: [0x01, 0x81, 0x82], 3: [0x01, 0x81, 0x02, 0x82]}
        devices = [(ports[p], p, endpoints[p]) for p in sorted(ports) if p in endpoints]
        print(f"soak: {args.rounds} rounds of {args.seconds:g} s, {CLIENTS} fuzzing clients, seed {args.seed}")
        print(f"{'round':>5} {'fuzz rounds':>11} {'VmRSS KiB':>10} {'after warm-up':>13} {'threads':>7}")
        print(f"{'start':>5} {'':>11} {status_kib(box, 'VmRSS'):>10} {'':>13} {thread_count(box):>7}")
        warm = None
        for r in range(1, args.rounds + 1):
            made = fuzz_for(box, devices, args.seed + r, args.seconds)
            if not box.running():
                raise RuntimeError(f"the program ended in round {r}:\n{box.stderr[-3000:]}")
            time.sleep(2)  # the last sessions end
            rss = status_kib(box, "VmRSS")
            warm = warm or rss
            print(f"{r:>5} {made:>11} {rss:>10} {rss / warm:>13.2f} {thread_count(box):>7}")
        print(f"peak VmHWM {status_kib(box, 'VmHWM')} KiB")
    finally:
        box.close()
        usb_bench.shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
