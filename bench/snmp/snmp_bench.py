#!/usr/bin/env python3
"""The SNMP agent's benchmark: the whole program in its own root and network
namespaces (tests/e2e/wevbox.py) and, beside it in the box's namespace,
Debian's snmpd as the reference agent, both asked from the peer namespace
in the same run:

  - a walk (GETNEXT, one object per request, snmpwalk) of the whole
    enterprise subtree against a walk of snmpd's MIB-II of comparable
    length, as time per object and their ratio;
  - 10,000 single GETs of one object (snmp_get_worker.py, one request in
    flight) against the same number from snmpd, as time per GET and ratio;
  - the program's resident memory before and after the walk.

    sudo bench/snmp/snmp_bench.py [--binary PATH] [--quick]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

import wevbox  # noqa: E402

ENTERPRISE = "1.3.6.1.4.1.32473.2"
REFERENCE_PORT = 1161
REFERENCE_COMMUNITY = "bench"


def resident_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return -1


def timed_walk(box, target, community, root):
    start = time.perf_counter()
    r = box.peer_exec(["snmpwalk", "-v2c", "-c", community, "-On", "-t", "2", "-r", "1", target, root],
                      timeout=600, check=True)
    elapsed = time.perf_counter() - start
    return elapsed, len([line for line in r.stdout.splitlines() if " = " in line])


def timed_gets(box, host, port, community, oid, count):
    r = box.peer_exec(["/usr/bin/python3", str(HERE / "snmp_get_worker.py"), host, str(port), community, oid,
                       str(count)], timeout=900, check=True)
    return float(r.stdout.strip())


def start_reference(box, workdir):
    conf = workdir / "snmpd.conf"
    conf.write_text(f"rocommunity {REFERENCE_COMMUNITY}\n")
    env = f"MIBS= SNMP_PERSISTENT_DIR={workdir}"
    box.box_exec(f"env {env} snmpd -C -c {conf} -Lf {workdir}/snmpd.log -p {workdir}/snmpd.pid "
                 f"udp:{box.box_ip}:{REFERENCE_PORT}", check=True)
    for _ in range(100):
        if (workdir / "snmpd.pid").exists() and (workdir / "snmpd.pid").read_text().strip():
            return int((workdir / "snmpd.pid").read_text())
        time.sleep(0.05)
    raise RuntimeError("snmpd did not start")


def reference_root(box, target, wanted):
    """The MIB-II subtree of snmpd whose walk is closest in length to wanted."""
    best = None
    for root in ("1.3.6.1.2.1", "1.3.6.1.2.1.2", "1.3.6.1.2.1.4", "1.3.6.1.2.1.25", "1.3.6.1"):
        _, n = timed_walk(box, target, REFERENCE_COMMUNITY, root)
        if best is None or abs(n - wanted) < abs(best[1] - wanted):
            best = (root, n)
    return best[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    gets = 1000 if args.quick else 10000

    box = wevbox.Box(binary=args.binary)
    workdir = Path(tempfile.mkdtemp(prefix="wev-snmp-bench-"))
    reference_pid = None
    try:
        box.start(kickoff=0)
        box.wait_for_stderr(r"NET-SNMP version", timeout=30)
        reference_pid = start_reference(box, workdir)
        reference_target = f"udp:{box.box_ip}:{REFERENCE_PORT}"

        rss_before = resident_kib(box.pid)
        walk_time, walk_count = timed_walk(box, box.box_ip, "vorlap", ENTERPRISE)
        rss_after = resident_kib(box.pid)
        root = reference_root(box, reference_target, walk_count)
        ref_time, ref_count = timed_walk(box, reference_target, REFERENCE_COMMUNITY, root)
        per_object = walk_time / walk_count * 1000
        ref_per_object = ref_time / ref_count * 1000
        print(f"walk:  {walk_count} objects of {ENTERPRISE} in {walk_time:.3f} s ({per_object:.3f} ms/object); "
              f"snmpd {ref_count} objects of {root} in {ref_time:.3f} s ({ref_per_object:.3f} ms/object); "
              f"ratio {per_object / ref_per_object:.2f}")

        get_time = timed_gets(box, box.box_ip, 161, "vorlap", f"{ENTERPRISE}.4.1.0", gets)
        ref_get_time = timed_gets(box, box.box_ip, REFERENCE_PORT, REFERENCE_COMMUNITY, "1.3.6.1.2.1.1.5.0", gets)
        print(f"gets:  {gets} GETs in {get_time:.3f} s ({get_time / gets * 1e6:.1f} us/GET); "
              f"snmpd {ref_get_time:.3f} s ({ref_get_time / gets * 1e6:.1f} us/GET); "
              f"ratio {get_time / ref_get_time:.2f}")
        print(f"memory: program resident {rss_before} KiB before the walk, {rss_after} KiB after "
              f"({rss_after - rss_before:+d} KiB)")
        return 0
    finally:
        if reference_pid:
            try:
                os.kill(reference_pid, 15)
            except ProcessLookupError:
                pass
        box.close()
        subprocess.run(["rm", "-rf", str(workdir)], check=False)


if __name__ == "__main__":
    sys.exit(main())
