#!/usr/bin/env python3
"""The web server's benchmark: the whole program in its own root and network
namespaces (tests/e2e/wevbox.py), wrk in the peer namespace, and beside it
lighttpd started in the box's namespace on another port, serving the same
static file from the same root, measured in the same run on the same link:

  - requests per second and latency percentiles (50, 90, 99) of a static
    file (the style sheet) with keep-alive, box against lighttpd;
  - the same for a template page (/start.html, expanded per request), against
    lighttpd's static file as the baseline;
  - the same without keep-alive (a connection per request: accept, task
    start, close), against lighttpd without keep-alive;
  - memory per open connection: the program's resident size with N clients
    that sent half a request head, less the size before, over N.

    sudo bench/web/web_bench.py [--binary PATH] [--quick]

Needs root (network namespaces), wrk and lighttpd (tools/install-deps.sh).
"""

import argparse
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

import wevbox  # noqa: E402
from test_start_stop import BANNER  # noqa: E402
from test_usb_protocol import in_namespace  # noqa: E402

LIGHTTPD_PORT = 8080


def unit_seconds(text):
    m = re.match(r"([\d.]+)(us|ms|s)", text)
    value, unit = float(m.group(1)), m.group(2)
    return value * {"us": 1e-6, "ms": 1e-3, "s": 1.0}[unit]


def wrk(box, url, seconds, connections, keep_alive=True):
    header = [] if keep_alive else ["-H", "Connection: close"]
    r = box.peer_exec(["wrk", "-t", "2", "-c", str(connections), "-d", f"{seconds}s", "--latency", *header, url],
                      timeout=seconds + 60)
    out = r.stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    lat = {p: unit_seconds(re.search(rf"\s{p}%\s+(\S+)", out).group(1)) for p in ("50", "90", "99")}
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return {"rps": rps, "lat": lat, "non2xx": int(errors.group(1)) if errors else 0}


def start_lighttpd(box):
    conf = box.workdir / "lighttpd.conf"
    conf.write_text(f'server.document-root = "{box.path("/romfs/templates")}"\n'
                    f'server.port = {LIGHTTPD_PORT}\n'
                    f'server.errorlog = "{box.workdir}/lighttpd.err"\n'
                    'mimetype.assign = (".css" => "text/css", ".html" => "text/html")\n'
                    'server.max-keep-alive-requests = 1000\n')
    proc = subprocess.Popen(["ip", "netns", "exec", box.ns, shutil.which("lighttpd"), "-D", "-f", str(conf)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        r = box.peer_exec(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                           f"http://{box.box_ip}:{LIGHTTPD_PORT}/style.css"])
        if r.stdout == "200":
            return proc
        time.sleep(0.2)
    proc.kill()
    raise wevbox.BoxError("lighttpd does not answer")


def resident_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def memory_per_connection(box, count):
    before = resident_kib(box.pid)

    def open_half_requests():
        socks = []
        for _ in range(count):
            s = socket.create_connection((box.box_ip, 80), timeout=5)
            s.sendall(b"GET /style.css HTTP/1.1\r\n")
            socks.append(s)
        return socks

    socks = in_namespace(box.peer_ns, open_half_requests)
    time.sleep(1)
    during = resident_kib(box.pid)
    for s in socks:
        s.close()
    return (during - before) / count


def line(name, box_figure, base_figure):
    ratio = box_figure["rps"] / base_figure["rps"] if base_figure["rps"] else 0
    lat = " ".join(f"p{p} {box_figure['lat'][p] * 1e3:.2f}/{base_figure['lat'][p] * 1e3:.2f} ms"
                   for p in ("50", "90", "99"))
    print(f"{name:<34} {box_figure['rps']:>9.0f} req/s  baseline {base_figure['rps']:>9.0f}  "
          f"ratio {ratio:5.2f}  {lat}"
          + (f"  non-2xx {box_figure['non2xx']}" if box_figure["non2xx"] else ""))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default=str(wevbox.binary_path()))
    parser.add_argument("--quick", action="store_true", help="short runs, for a smoke run")
    args = parser.parse_args()
    for tool in ("wrk", "lighttpd"):
        if not shutil.which(tool):
            sys.exit(f"web_bench: {tool} is missing (tools/install-deps.sh)")
    seconds = 2 if args.quick else 8
    box = wevbox.Box(binary=args.binary)
    lighttpd = None
    try:
        box.start(kickoff=0)
        box.wait_for_stderr(BANNER, timeout=30)
        lighttpd = start_lighttpd(box)
        base = f"http://{box.box_ip}"
        light = f"{base}:{LIGHTTPD_PORT}"
        print("figures: box / lighttpd in the same namespace; latencies box/baseline")
        static_box = wrk(box, f"{base}/style.css", seconds, 16)
        static_light = wrk(box, f"{light}/style.css", seconds, 16)
        line("static file, keep-alive", static_box, static_light)
        line("template page, keep-alive", wrk(box, f"{base}/start.html", seconds, 16), static_light)
        line("static file, connection each", wrk(box, f"{base}/style.css", seconds, 8, keep_alive=False),
             wrk(box, f"{light}/style.css", seconds, 8, keep_alive=False))
        print(f"memory per waiting connection       {memory_per_connection(box, 24):.0f} KiB")
    finally:
        if lighttpd:
            lighttpd.kill()
            lighttpd.wait()
        box.close()


if __name__ == "__main__":
    main()
