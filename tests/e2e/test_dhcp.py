"""The DHCP and BOOTP client against dnsmasq in the peer namespace: the
lease and what comes with it, its renewal, its loss, and the ZeroConf
address the box falls back to."""

import re
import signal
import subprocess
import time

import pytest

from test_start_stop import BANNER
from wevbox import end_process

DNSMASQ = "/usr/sbin/dnsmasq"
# Seconds within which a fresh box has its first exchange with a server: the
# client starts after the rest of start-up, which waits for the board.
FIRST_EXCHANGE = 75


def box_mac(box):
    link = box.box_exec(["ip", "-o", "link", "show", "dev", "eth0"], check=True).stdout
    return re.search(r"link/ether ([0-9a-f:]{17})", link).group(1)


def subnet(box):
    return box.peer_ip.rsplit(".", 1)[0]


class Dnsmasq:
    """dnsmasq as the only DHCP (or BOOTP) server on the peer's veth, logging
    every exchange to a file."""

    def __init__(self, box, *options, name="dnsmasq"):
        self.box = box
        self.log = box.workdir / f"{name}.log"
        args = ["ip", "netns", "exec", box.peer_ns, DNSMASQ, "--no-daemon", "--port=0",
                f"--interface={box.peer_if}", "--bind-interfaces", "--log-dhcp",
                f"--log-facility={self.log}", f"--dhcp-leasefile={box.workdir / (name + '.leases')}",
                "--conf-file=/dev/null", *options]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            out = box.peer_exec(["ss", "-Hlun", "sport = :67"]).stdout
            if ":67" in out:
                return
            if self.proc.poll() is not None:
                raise AssertionError(f"dnsmasq ended: {self.proc.stderr.read()}")
            time.sleep(0.05)
        self.close()
        raise AssertionError("dnsmasq did not start listening on port 67")

    def text(self):
        return self.log.read_text() if self.log.exists() else ""

    def count(self, pattern):
        return len(re.findall(pattern, self.text()))

    def wait_count(self, pattern, count, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.count(pattern) >= count:
                return
            time.sleep(0.1)
        raise AssertionError(f"{pattern!r} not seen {count} times in {timeout} s; log:\n{self.text()[-3000:]}")

    def close(self):
        end_process(self.proc)


@pytest.fixture
def dhcp_box(make_box):
    """A box that finds its own address, with DHCP on and BOOTP off, and a
    way to start servers beside it (closed after the test)."""
    box = make_box(static_ip=False)
    box.write_params({"ip_dhcp": "on", "ip_bootp": "off", "ip_auto": "off"})
    servers = []

    def serve(*options, name="dnsmasq"):
        server = Dnsmasq(box, *options, name=name)
        servers.append(server)
        return server

    box.serve = serve
    yield box
    for server in servers:
        server.close()


def lease_options(box, address, lease="2m", t1=None, t2=None):
    net = subnet(box)
    opts = [f"--dhcp-range={net}.50,{net}.99,255.255.255.0,{lease}",
            f"--dhcp-host={box_mac(box)},{address},wevbox",
            f"--dhcp-option=option:router,{net}.1",
            f"--dhcp-option=option:dns-server,{net}.1,{net}.3",
            "--dhcp-option=option:domain-name,lab.test",
            f"--dhcp-option=option:ntp-server,{net}.1"]
    if t1:
        opts.append(f"--dhcp-option=option:T1,{t1}")
    if t2:
        opts.append(f"--dhcp-option=option:T2,{t2}")
    return opts


def params_file(box):
    """The box's saved parameters; none before its first save."""
    path = box.path("/etc/params.dat")
    text = path.read_text() if path.exists() else ""
    return dict((k.strip(), v.strip()) for k, v in
                (ln.split("=", 1) for ln in text.splitlines() if "=" in ln))


def wait_params(box, expected, timeout=20):
    deadline = time.monotonic() + timeout
    got = {}
    while time.monotonic() < deadline:
        got = params_file(box)
        if all(got.get(k) == v for k, v in expected.items()):
            return got
        time.sleep(0.1)
    raise AssertionError(f"parameters {expected} not reached; have "
                         f"{ {k: got.get(k) for k in expected} }\n{box.stderr[-2000:]}")


def ipv4_of(box):
    return box.box_exec(["ip", "-4", "-o", "addr", "show", "dev", "eth0"], check=True).stdout


def test_lease_gives_address_mask_gateway_names_and_time_server(dhcp_box):
    box = dhcp_box
    net = subnet(box)
    server = box.serve(*lease_options(box, f"{net}.77"))
    box.start()
    box.wait_for_stderr(BANNER, timeout=30)
    server.wait_count(r"DHCPACK\(\S+\) " + re.escape(f"{net}.77"), 1, timeout=FIRST_EXCHANGE)
    got = wait_params(box, {"ip_addr": f"{net}.77", "ip_setby": "dhcp", "ip_gate": f"{net}.1",
                            "dns_primary": f"{net}.1", "dns_secondary": f"{net}.3",
                            "dns_domain": "lab.test", "sys_name": "wevbox",
                            "ntp_server": f"{net}.1", "ip_bootp_addr": f"{net}.77"})
    assert got["ip_mask"] == "255.255.255.0"
    assert f"inet {net}.77/24" in ipv4_of(box)
    route = box.box_exec(["ip", "-4", "route", "show", "default"], check=True).stdout
    assert f"default via {net}.1 dev eth0" in route
    assert box.peer_exec(["ping", "-c", "1", "-W", "5", f"{net}.77"]).returncode == 0
    # The network change the lease made is announced: the resolver file follows.
    deadline = time.monotonic() + 15
    resolv = ""
    while time.monotonic() < deadline:
        resolv = box.path("/etc/resolv.conf").read_text()
        if f"nameserver {net}.3\n" in resolv:
            break
        time.sleep(0.1)
    assert f"nameserver {net}.1\n" in resolv and f"nameserver {net}.3\n" in resolv, resolv
    assert "search     lab.test\n" in resolv, resolv


def test_short_renewal_time_renews_by_unicast(dhcp_box):
    box = dhcp_box
    net = subnet(box)
    server = box.serve(*lease_options(box, f"{net}.78", t1="3", t2="100"))
    box.start()
    server.wait_count(r"DHCPACK\(\S+\) " + re.escape(f"{net}.78"), 1, timeout=FIRST_EXCHANGE)
    # Renewals come every three seconds and are answered; the address stays.
    server.wait_count(r"DHCPACK\(\S+\) " + re.escape(f"{net}.78"), 3, timeout=30)
    assert server.count(r"DHCPDISCOVER") == 1
    assert f"inet {net}.78/24" in ipv4_of(box)


def test_refused_renewal_falls_back_to_zeroconf(dhcp_box):
    box = dhcp_box
    net = subnet(box)
    first = box.serve(*lease_options(box, f"{net}.79", t1="3", t2="6"), name="first")
    box.start()
    wait_params(box, {"ip_addr": f"{net}.79", "ip_setby": "dhcp"}, timeout=FIRST_EXCHANGE)
    first.close()
    # A new authoritative server that does not know the address refuses it.
    second = box.serve(f"--dhcp-range={net}.200,{net}.210,255.255.255.0,2m",
                       "--dhcp-authoritative", name="second")
    second.wait_count(r"DHCPNAK", 1, timeout=30)
    box.wait_for_stderr(r"### DHCP RESET ZeroConf IP:169\.254\.\d+\.\d+ and linklocal", timeout=20)
    # Then it starts over and takes what the new server offers.
    second.wait_count(r"DHCPACK\(\S+\) " + re.escape(net) + r"\.2(0\d|10) ", 1, timeout=30)
    deadline = time.monotonic() + 20
    got = params_file(box)
    while time.monotonic() < deadline and not re.match(re.escape(net) + r"\.2(0\d|10)$", got["ip_addr"]):
        time.sleep(0.1)
        got = params_file(box)
    assert re.match(re.escape(net) + r"\.2(0\d|10)$", got["ip_addr"]), got["ip_addr"]
    assert got["ip_setby"] == "dhcp"


def test_unanswered_discovers_leave_the_zeroconf_address(dhcp_box):
    box = dhcp_box
    net = subnet(box)
    # The server hears the box but is told to ignore it.
    server = box.serve(f"--dhcp-range={net}.50,{net}.99,255.255.255.0,2m",
                       f"--dhcp-host={box_mac(box)},ignore")
    box.start()
    box.wait_for_stderr(r"### ZeroConf IP:169\.254\.", timeout=30)
    # DISCOVER is repeated (every 5 s) while nobody answers.
    server.wait_count(r"DHCPDISCOVER\(\S+\) \S+ ignored", 2, timeout=FIRST_EXCHANGE)
    assert params_file(box).get("ip_setby", "zconf") == "zconf"
    assert "inet 169.254." in ipv4_of(box)


def test_bootp_reply_gives_bootp_address(make_box):
    box = make_box(static_ip=False)
    box.write_params({"ip_dhcp": "off", "ip_bootp": "on", "ip_auto": "off"})
    net = subnet(box)
    server = Dnsmasq(box, f"--dhcp-range={net}.50,{net}.99,255.255.255.0,2m",
                     f"--dhcp-host={box_mac(box)},{net}.88", "--bootp-dynamic",
                     f"--dhcp-option=option:router,{net}.1")
    try:
        box.start()
        got = wait_params(box, {"ip_addr": f"{net}.88", "ip_setby": "bootp"}, timeout=FIRST_EXCHANGE)
        assert got["ip_gate"] == f"{net}.1"
        assert f"inet {net}.88/24" in ipv4_of(box)
        assert "BOOTP" in server.text()
    finally:
        server.close()


def test_refused_reboot_request_falls_back_to_zeroconf(dhcp_box):
    box = dhcp_box
    net = subnet(box)
    # The box held a lease from another network before it was restarted here.
    box.write_params({"ip_addr": "198.51.100.20", "ip_bootp_addr": "198.51.100.20", "ip_setby": "dhcp"})
    server = box.serve(f"--dhcp-range={net}.50,{net}.99,255.255.255.0,2m", "--dhcp-authoritative",
                       f"--dhcp-host={box_mac(box)},{net}.66")
    box.start()
    server.wait_count(r"DHCPNAK\(\S+\) 198\.51\.100\.20", 1, timeout=FIRST_EXCHANGE)
    box.wait_for_stderr(r"### DHCP RESET ZeroConf IP:169\.254\.\d+\.\d+ and linklocal", timeout=20)
    # It starts over with a DISCOVER and takes the address offered here.
    got = wait_params(box, {"ip_addr": f"{net}.66", "ip_setby": "dhcp"}, timeout=30)
    assert got["ip_bootp_addr"] == f"{net}.66"


def move_peer_address(box, new_last_octet):
    """The peer's veth gives up its address for another one, so that a server
    started now has a different server identifier."""
    net = subnet(box)
    box.peer_exec(["ip", "addr", "del", f"{box.peer_ip}/24", "dev", box.peer_if], check=True)
    box.peer_exec(["ip", "addr", "add", f"{net}.{new_last_octet}/24", "dev", box.peer_if], check=True)


def test_rebinding_takes_the_new_server_and_renews_with_it(dhcp_box):
    box = dhcp_box
    net = subnet(box)
    wanted = f"{net}.80"
    first = box.serve(*lease_options(box, wanted, t1="3", t2="6"), name="first")
    box.start()
    first.wait_count(r"DHCPACK\(\S+\) " + re.escape(wanted), 1, timeout=FIRST_EXCHANGE)
    first.close()
    move_peer_address(box, 5)
    # The new server renews only by unicast within a minute: after the
    # rebinding broadcast its acknowledgement must be taken whole, or the
    # next renewal goes to the old server's address and is never answered.
    second = box.serve(f"--dhcp-range={net}.50,{net}.99,255.255.255.0,2m", "--dhcp-authoritative",
                       f"--dhcp-host={box_mac(box)},{wanted}", "--dhcp-option=option:T1,3",
                       "--dhcp-option=option:T2,60", name="second")
    second.wait_count(r"DHCPACK\(\S+\) " + re.escape(wanted), 1, timeout=30)
    # From now on only requests sent to the new server itself reach it.
    box.peer_exec(["iptables-legacy", "-A", "INPUT", "-p", "udp", "--dport", "67",
                   "-d", "255.255.255.255", "-j", "DROP"], check=True)
    second.wait_count(r"DHCPACK\(\S+\) " + re.escape(wanted), 3, timeout=20)
    assert params_file(box)["ip_setby"] == "dhcp"
    assert f"inet {wanted}/24" in ipv4_of(box)


def test_lease_runs_out_without_a_server(dhcp_box):
    box = dhcp_box
    net = subnet(box)
    server = box.serve(*lease_options(box, f"{net}.81", lease="2m", t1="3", t2="6"))
    box.start()
    server.wait_count(r"DHCPACK\(\S+\) " + re.escape(f"{net}.81"), 1, timeout=FIRST_EXCHANGE)
    started = time.monotonic()
    server.close()
    # Unanswered renewal and rebinding keep the address until the lease
    # (two minutes) ends; then the box falls back to ZeroConf.
    box.wait_for_stderr(r"### DHCP RESET ZeroConf IP:169\.254\.\d+\.\d+ and linklocal", timeout=150)
    assert time.monotonic() - started > 100
    wait_params(box, {"ip_setby": "zconf", "ip_bootp_addr": "0.0.0.0"})
    assert "inet 169.254." in ipv4_of(box)


def test_refusal_leaves_an_address_set_by_slp_alone(dhcp_box):
    box = dhcp_box
    net = subnet(box)
    box.write_params({"ip_addr": box.box_ip, "ip_mask": "255.255.255.0", "ip_setby": "slp",
                      "ip_bootp_addr": "198.51.100.20"})
    server = box.serve(f"--dhcp-range={net}.50,{net}.99,255.255.255.0,2m", "--dhcp-authoritative")
    box.start()
    server.wait_count(r"DHCPNAK\(\S+\) 198\.51\.100\.20", 1, timeout=FIRST_EXCHANGE)
    # The refusal of the remembered lease does not touch the address; the
    # client goes on with a DISCOVER and takes what this server offers.
    server.wait_count(r"DHCPACK\(\S+\) " + re.escape(net) + r"\.\d+", 1, timeout=30)
    assert "DHCP RESET ZeroConf" not in box.stderr


def test_lease_without_end_is_kept(dhcp_box):
    box = dhcp_box
    net = subnet(box)
    server = box.serve(*lease_options(box, f"{net}.82", lease="infinite"))
    box.start()
    # Taking the lease changes the network set-up; the broadcast of that
    # change makes the client ask once more at once. The lease has no
    # renewal times: however that renewal goes, the lease stays.
    server.wait_count(r"DHCPACK\(\S+\) " + re.escape(f"{net}.82"), 2, timeout=FIRST_EXCHANGE)
    server.close()
    box.send_signal(signal.SIGTERM)
    assert box.wait_exit(timeout=10) == 0
    assert "DHCP RESET" not in box.stderr
    assert server.count(r"DHCPDISCOVER") == 1


def test_factory_fresh_box_takes_its_lease(make_box):
    # DHCP and BOOTP both on, as a new box comes.
    box = make_box(static_ip=False)
    net = subnet(box)
    server = Dnsmasq(box, *lease_options(box, f"{net}.90"))
    try:
        box.start()
        wait_params(box, {"ip_addr": f"{net}.90", "ip_setby": "dhcp"}, timeout=FIRST_EXCHANGE)
        assert f"inet {net}.90/24" in ipv4_of(box)
    finally:
        server.close()
