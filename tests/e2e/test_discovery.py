"""Discovery: real mDNS clients (python3-zeroconf, dig) in the peer namespace
find the box's web services, resolve its host name and see it give way to
another host's name; an SLP user agent finds the box and, while the box has
only its link-local address, gives it another."""

import ipaddress
import signal
import subprocess
import time
from pathlib import Path

import pytest

from test_parameters import read_params

HERE = Path(__file__).resolve().parent
# Debian's interpreter: python3-zeroconf is installed for it.
PEER_PYTHON = "/usr/bin/python3"
PRODUCT = "USB Device Server 4P"


def multicast_route(box):
    box.peer_exec(["ip", "route", "replace", "224.0.0.0/4", "dev", box.peer_if], check=True)


def default_name(box):
    for line in box.path("/conf.d/product_params").read_text().splitlines():
        if line.startswith("default_name="):
            return line.split("=", 1)[1]
    raise AssertionError("no default_name in the product record")


def browse(box, service_type, seconds=4):
    out = box.peer_exec([PEER_PYTHON, HERE / "mdns_peer.py", "browse", service_type, str(seconds)],
                        timeout=60, check=True).stdout
    return parse_found(out)


def parse_found(out):
    found = {}
    for line in out.splitlines():
        if line.startswith("found "):
            name, _, rest = line[6:].partition(" server=")
            fields = dict(f.split("=", 1) for f in ("server=" + rest).split(" "))
            found[name] = fields
    return found


def started(box, params=None):
    if params:
        box.write_params(params)
    box.start()
    box.wait_for_stderr("Master running", timeout=30)
    multicast_route(box)
    return box


def test_browsers_find_both_web_services_with_host_and_empty_txt(box):
    started(box)
    host = default_name(box)
    instance = f"{PRODUCT}@{host}"
    for service_type, port in (("_http._tcp.local.", "80"), ("_https._tcp.local.", "443")):
        found = browse(box, service_type)
        assert list(found) == [f"{instance}.{service_type}"], found
        record = found[f"{instance}.{service_type}"]
        assert record["server"] == f"{host}.local."
        assert record["port"] == port
        assert record["addresses"] == box.box_ip
        assert record["txt"] == "00", "the TXT record is one empty string"


def test_a_stopping_box_withdraws_its_services(box):
    started(box)
    watcher = subprocess.Popen(
        ["ip", "netns", "exec", box.peer_ns, PEER_PYTHON, str(HERE / "mdns_peer.py"), "watch",
         "_http._tcp.local.", "30"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        added = watcher.stdout.readline().strip()
        assert added.startswith("added ") and added.endswith("._http._tcp.local."), added
        box.send_signal(signal.SIGTERM)
        assert box.wait_exit(timeout=10) == 0
        removed = watcher.stdout.readline().strip()
        assert removed == "removed " + added[len("added "):], (removed, watcher.stderr.read())
    finally:
        if watcher.poll() is None:
            watcher.kill()
        watcher.wait()


def dig(box, name, rrtype):
    return box.peer_exec(["dig", "+time=3", "+tries=2", "+norecurse", "-p", "5353", f"@{box.box_ip}",
                          name, rrtype], timeout=30, check=True).stdout


def answers(dig_output, section="ANSWER"):
    lines, inside = [], False
    for line in dig_output.splitlines():
        if line.startswith(";; "):
            inside = line.startswith(f";; {section} SECTION")
            continue
        if inside and line.strip():
            lines.append(line.split())
    return lines


def test_a_legacy_unicast_query_gets_the_records_at_once(box):
    started(box, {"bonjour_name": "Printer"})
    host = default_name(box)
    # Probing and the announcement take about a second.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        out = dig(box, f"{host.lower()}.local", "A")
        if answers(out):
            break
        time.sleep(0.2)
    assert answers(out) == [[f"{host}.local.", "60", "IN", "A", box.box_ip]], out

    out = dig(box, "_https._tcp.local", "PTR")
    assert answers(out) == [["_https._tcp.local.", "7200", "IN", "PTR", "Printer\\032\\(2\\)._https._tcp.local."]], out
    extra = {(r[0], r[3]) for r in answers(out, "ADDITIONAL")}
    assert ("Printer\\032\\(2\\)._https._tcp.local.", "SRV") in extra
    assert ("Printer\\032\\(2\\)._https._tcp.local.", "TXT") in extra
    assert (f"{host}.local.", "A") in extra


def test_a_name_held_by_another_host_makes_the_box_take_the_next(box):
    box.write_params({"bonjour_name": "Printer"})
    multicast_route(box)
    other = str(ipaddress.ip_address(box.peer_ip))
    claimer = subprocess.Popen(
        ["ip", "netns", "exec", box.peer_ns, PEER_PYTHON, str(HERE / "mdns_peer.py"), "claim-and-browse",
         "_http._tcp.local.", "Printer (2)", "8", other],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert claimer.stdout.readline().strip() == "claimed", claimer.stderr.read()
        box.start()
        out, err = claimer.communicate(timeout=60)
    finally:
        if claimer.poll() is None:
            claimer.kill()
            claimer.wait()
    found = parse_found(out)
    assert found["Printer (2)._http._tcp.local."]["addresses"] == other, (out, err)
    mine = found.get("Printer (3)._http._tcp.local.")
    assert mine is not None, (out, err)
    assert mine["addresses"] == box.box_ip


# -- SLP ------------------------------------------------------------------

def slp(box, dest, *args, seconds=2):
    out = box.peer_exec([PEER_PYTHON, HERE / "slp_client.py", dest, *args, str(seconds)],
                        timeout=30, check=True).stdout
    replies = [line.split(" ", 2)[1:] for line in out.splitlines() if line.startswith("reply ")]
    return replies


def test_an_slp_request_finds_the_box_and_malformed_ones_are_ignored(box):
    started(box)
    host = default_name(box)
    replies = slp(box, "224.0.1.22", "service:x-vekps://")
    assert len(replies) == 1, replies
    sender, url = replies[0]
    assert sender == box.box_ip
    assert url.startswith(f"service:x-vekps://{box.box_ip};x-vek-name={host};x-vek-mode=prot;x-vek-ver=")
    assert url.endswith(f";x-vek-product={PRODUCT}")
    assert ";x-vek-nettype=ETHER;" in url

    malformed = {
        "short": "0101000000000000000000",
        "predicate past the end": "010100000000656e00030001" + "0000" + "00ff" + "73657276",
        "another service": None,
        "version 2": "020100000000656e0003000100000012" + b"service:x-vekps://".hex(),
    }
    for what, raw in malformed.items():
        if raw is None:
            assert slp(box, box.box_ip, "service:printer://", seconds=1) == [], what
        else:
            assert slp(box, box.box_ip, "--raw", raw, seconds=1) == [], what
    # Still serving.
    assert len(slp(box, box.box_ip, "service:x-vekps://")) == 1


def test_slp_changes_a_routable_address_only_in_words(box):
    started(box)
    host = default_name(box)
    new = str(ipaddress.ip_address(box.box_ip) + 50)
    replies = slp(box, box.box_ip, f"service:x-vekps://X-VEK-NAME =={host},X-VEK-IP =={new}")
    assert len(replies) == 1
    assert replies[0][1].endswith(";x-limited-access")
    assert new not in box.box_exec(["ip", "-4", "addr", "show", "dev", "eth0"]).stdout


def test_slp_gives_a_link_local_box_its_address(box):
    box.write_params({"ip_addr": "169.254.3.4", "ip_mask": "255.255.0.0", "ip_auto": "off"})
    box.start()
    box.wait_for_stderr("Master running", timeout=30)
    multicast_route(box)
    box.peer_exec(["ip", "addr", "add", "169.254.200.1/16", "dev", box.peer_if], check=True)
    host = default_name(box)
    new = str(ipaddress.ip_address(box.box_ip) + 50)
    predicate = (f"service:x-vekps://X-VEK-NAME =={host.lower()},X-VEK-IP =={new},"
                 "X-VEK-IPMASK ==255.255.255.0")
    replies = slp(box, "224.0.1.22", predicate)
    assert len(replies) == 1, replies
    url = replies[0][1]
    assert url.startswith("service:x-vekps://169.254.3.4;"), "the reply shows the address it came from"
    assert "x-limited-access" not in url
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if f"inet {new}/24" in box.box_exec(["ip", "-4", "addr", "show", "dev", "eth0"]).stdout:
            break
        time.sleep(0.1)
    assert f"inet {new}/24" in box.box_exec(["ip", "-4", "addr", "show", "dev", "eth0"]).stdout
    stored = read_params(box)
    assert stored["ip_addr"] == new
    assert stored["ip_mask"] == "255.255.255.0"
    assert stored["ip_setby"] == "slp"
    # The new address needs a restart: the program ends by itself.
    assert box.wait_exit(timeout=15) == 0
