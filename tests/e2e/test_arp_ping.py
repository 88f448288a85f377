"""Address set-up by ping: a box on its link-local address takes the address
of the first echo request a computer sends to its MAC."""

import re
import time

from test_dhcp import box_mac, ipv4_of, subnet, wait_params


def test_first_ping_to_the_box_mac_gives_its_address(make_box):
    box = make_box(static_ip=False)
    box.write_params({"ip_dhcp": "off", "ip_bootp": "off", "ip_auto": "on"})
    box.start()
    box.wait_for_stderr(r"### ZeroConf IP:169\.254\.\d+\.\d+ setup linklocal", timeout=30)
    net = subnet(box)
    wanted = f"{net}.123"
    elsewhere = f"{net}.124"
    # An echo request for another host crosses the box's link too (the
    # veth delivers it) and must not be taken.
    box.peer_exec(["ip", "neigh", "replace", elsewhere, "lladdr", "02:00:5e:10:20:30",
                   "dev", box.peer_if, "nud", "permanent"], check=True)
    box.peer_exec(["ping", "-c", "2", "-i", "0.2", "-W", "1", elsewhere])
    # Pings to a multicast or broadcast address do not count either.
    box.peer_exec(["ping", "-c", "1", "-W", "1", "-b", f"{net}.255"])
    assert params_or_zconf(box), box.stderr[-2000:]

    box.peer_exec(["ip", "neigh", "replace", wanted, "lladdr", box_mac(box),
                   "dev", box.peer_if, "nud", "permanent"], check=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and f"inet {wanted}/" not in ipv4_of(box):
        box.peer_exec(["ping", "-c", "1", "-W", "1", wanted])
    got = wait_params(box, {"ip_addr": wanted, "ip_setby": "ping", "ip_mask": "255.255.255.0"})
    assert f"inet {wanted}/24" in ipv4_of(box)
    # The box now answers on it.
    assert box.peer_exec(["ping", "-c", "1", "-W", "5", wanted]).returncode == 0
    assert got["ip_addr"] == wanted


def params_or_zconf(box):
    """The box still runs on its link-local address."""
    return re.search(r"inet 169\.254\.\d+\.\d+/16", ipv4_of(box)) is not None
