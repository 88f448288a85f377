"""IPv6 on a box with IPv6 hardware (the harness's default model record):
the static address and route in the box namespace while it runs, the USB
server reached over IPv6, and nothing left after the stop."""

import signal
import socket
import subprocess
import time

from test_start_stop import BANNER
from test_usb_protocol import USB_PORT, in_namespace

BOX_IP6 = "2001:db8::7"
PEER_IP6 = "2001:db8::8"


def box_ip6(box, *what):
    return subprocess.run(["ip", "-n", box.ns, "-6", *what, "show", "dev", "eth0"], capture_output=True, text=True,
                          check=True).stdout


def reaches_over_ipv6(box, timeout=20):
    def connect():
        with socket.socket(socket.AF_INET6) as s:
            s.settimeout(2)
            s.connect((BOX_IP6, USB_PORT))
            return True

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            return in_namespace(box.peer_ns, connect)
        except OSError:
            time.sleep(0.3)
    return False


def test_the_static_address_and_route_are_set_while_the_box_runs(make_box):
    box = make_box()
    subprocess.run(["ip", "-n", box.peer_ns, "addr", "add", PEER_IP6 + "/64", "dev", box.peer_if, "nodad"],
                   check=True)
    box.write_params({"ipv6": "on", "ipv6_addr": BOX_IP6, "ipv6_plen": "64", "ipv6_gate": "2001:db8:5::"})
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    deadline = time.monotonic() + 10
    while BOX_IP6 not in box_ip6(box, "addr") and time.monotonic() < deadline:
        time.sleep(0.2)
    assert f"inet6 {BOX_IP6}/64" in box_ip6(box, "addr")
    assert "2001:db8:5::/64 metric 1" in box_ip6(box, "route")
    assert reaches_over_ipv6(box), "the USB server answers on IPv6"

    box.send_signal(signal.SIGTERM)
    assert box.wait_exit(timeout=10) == 0
    assert BOX_IP6 not in box_ip6(box, "addr")
    assert "2001:db8:5::" not in box_ip6(box, "route")
