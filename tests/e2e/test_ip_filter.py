"""The IP filter of a running box: its rules in the box namespace's packet
filter, who still reaches the USB ports, and nothing left after the stop."""

import signal
import socket
import subprocess
import time

from test_start_stop import BANNER
from test_usb_protocol import USB_PORT, in_namespace

OTHER_PEER_IP = "198.19.250.7"


def input_rules(box):
    listing = subprocess.run(["ip", "netns", "exec", box.ns, "iptables-legacy", "-S", "INPUT"],
                             capture_output=True, text=True, check=True).stdout
    return [line for line in listing.splitlines() if line.startswith("-A INPUT")]


def reaches(box, source, timeout=2):
    """A TCP connection from source to the USB port is answered."""
    def connect():
        with socket.socket() as s:
            s.settimeout(timeout)
            s.bind((source, 0))
            try:
                s.connect((box.box_ip, USB_PORT))
                return True
            except OSError:
                return False
    return in_namespace(box.peer_ns, connect)


def wait_rules(box, count, timeout=20):
    """The rules once start-up has applied them: the banner comes before
    the filter step."""
    deadline = time.monotonic() + timeout
    rules = input_rules(box)
    while len(rules) != count and time.monotonic() < deadline:
        time.sleep(0.2)
        rules = input_rules(box)
    return rules


def wait_reaches(box, source, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if reaches(box, source):
            return True
        time.sleep(0.2)
    return False


def test_only_allowed_senders_reach_the_usb_ports_and_the_stop_removes_every_rule(make_box):
    box = make_box()
    subprocess.run(["ip", "-n", box.peer_ns, "addr", "add", OTHER_PEER_IP + "/32", "dev", box.peer_if],
                   check=True)
    subprocess.run(["ip", "-n", box.ns, "route", "add", OTHER_PEER_IP + "/32", "dev", "eth0"], check=False)
    # A rule left by a run that ended without its end sequence.
    subprocess.run(["ip", "netns", "exec", box.ns, "iptables-legacy", "-A", "INPUT", "-j", "DROP"], check=True)
    box.write_params({"protection": "on", "protection_test": "off", "protection_level": "protec_zyt",
                      "ip_filter_on_1": "on", "ip_filter_1": box.peer_ip})
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)

    assert wait_rules(box, 2) == [
        f"-A INPUT -s {box.peer_ip}/32 -j ACCEPT",
        "-A INPUT -p tcp -m multiport --dports 9200,9443 -j DROP",
    ]
    assert wait_reaches(box, box.peer_ip), "the allowed sender reaches the USB port"
    assert not reaches(box, OTHER_PEER_IP)

    box.send_signal(signal.SIGTERM)
    assert box.wait_exit(timeout=10) == 0
    assert input_rules(box) == []


def test_a_filter_left_armed_as_a_test_is_switched_off_at_the_next_start(make_box):
    box = make_box()
    box.write_params({"protection": "on", "protection_test": "on", "protection_level": "protec_all",
                      "ip_filter_on_1": "on", "ip_filter_1": "10.99.99.99"})
    for expected_rules in (2, 0):
        box.start(kickoff=0)
        box.wait_for_stderr(BANNER, timeout=30)
        if expected_rules == 0:
            assert wait_reaches(box, box.peer_ip), "without rules everybody gets in"
            assert input_rules(box) == []
        else:
            assert len(wait_rules(box, expected_rules)) == expected_rules
            assert not reaches(box, box.peer_ip), "everything is dropped but 10.99.99.99"
        box.send_signal(signal.SIGTERM)
        assert box.wait_exit(timeout=10) == 0
