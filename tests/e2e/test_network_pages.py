"""The network settings pages of a running box, driven by curl from the peer
namespace: every form refuses bad values with the page's error and changes
nothing, and good values reach the services that use them (the resolver
file, the SNMP agent, the kernel's IPv6 addresses, the address the box
answers on after its restart, the DHCP lease). The pages are the
administrator's: each test logs in first, and a visitor without a session
changes nothing."""

import glob
import html
import re
import time

from test_dhcp import Dnsmasq, lease_options, subnet
from test_snmp import ENT, snmp
from test_start_stop import BANNER
from test_web import curl, started, url, wait_for_web
import web_login
import wevbox


def admin(box, start=True):
    """Starts the box with logins on (unless it runs already) and logs in as
    the administrator; the cookie is kept on the box for post() and get()."""
    if start:
        box.write_params(web_login.SESSIONS_ON)
        started(box)
    box.cookie = web_login.login(box)
    return box


def post(box, path, form, cookie=True):
    """The page a form post answers (status line and body)."""
    session = ["-b", box.cookie] if cookie else []
    return curl(box, "-i", *session, "--data-raw", form, url(box, path)).stdout


def get(box, path):
    return curl(box, "-b", box.cookie, url(box, path)).stdout


def param_lines(box):
    return box.path("/etc/params.dat").read_bytes()


def error_of(page):
    m = re.search(r'<p class="note error">(.*?)</p>', page)
    return html.unescape(m.group(1)) if m else None


# Per page: fields that must be refused. Each is sent with a good value
# of another field on the same page, which must not be taken either.
BAD_FORMS = [
    ("/network/ipv4.html", "ip_gate=198.18.9.1", [
        ("ip_addr", "198.18.0.300"),   # out of range
        ("ip_mask", "mask"),           # wrong type
        ("ip_addr", "198.18.%01.7"),   # control character
    ]),
    ("/network/ipv6.html", "ipv6_addr=fd42:b0c5::9", [
        ("ipv6_plen", "65"),
        ("ipv6_plen", "six"),
        ("ipv6_addr", "fd42:b0c5::g"),
    ]),
    ("/network/dns.html", "dns_domain=lab.test", [
        ("dns_primary", "198.18.0.256"),
        ("dns_domain", "lab%0Atest"),
        ("dns", "perhaps"),
    ]),
    ("/network/snmp.html", "sys_name=Lab", [
        ("snmpv1_community", "pub%00lic"),
        ("snmpv1_community", "x" * 65),
        ("snmpv1", "2"),
    ]),
    ("/network/bonjour.html", "bonjour=off", [
        ("bonjour_name", "a%1Bb"),
        ("bonjour_name", "y" * 65),
    ]),
]


def test_every_form_refuses_bad_values_and_changes_nothing(box):
    admin(box)
    for path, good, bad_fields in BAD_FORMS:
        for name, value in bad_fields:
            before = param_lines(box)
            page = post(box, path, f"action=set&{good}&{name}={value}")
            assert page.startswith("HTTP/1.1 200"), page[:300]
            assert error_of(page) == f"Invalid value, nothing was changed: {name}", (path, name, value)
            # The page shows the stored values, and no file changed.
            assert param_lines(box) == before, (path, name, value)
    page = post(box, "/network/ipv4.html", "action=set&ip_gate=198.18.9.1&ip_addr=198.18.0.300")
    assert 'name="ip_gate" value="0.0.0.0"' in page
    # Without a session a good form changes nothing either.
    before = param_lines(box)
    page = post(box, "/network/dns.html", "action=set&dns_domain=lab.test", cookie=False)
    assert 'name="dns_domain"' not in page and param_lines(box) == before
    assert box.running()


def wait_for_task(box, name, timeout=60):
    """Waits until the program runs a task of that name (its thread's name)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for comm in glob.glob(f"/proc/{box.pid}/task/*/comm"):
            try:
                if open(comm).read().strip() == name:
                    return
            except OSError:
                pass
        time.sleep(0.2)
    raise wevbox.BoxError(f"no task {name} after {timeout} s")


def test_dns_page_writes_the_resolver_file(box):
    admin(box)
    # The task that rewrites the resolver file after a change starts once
    # the board has started, which may be well after the web server.
    wait_for_task(box, "LazyHubWatcher")
    page = post(box, "/network/dns.html", "action=set&dns=off&dns=on&dns_primary=198.18.0.53"
                "&dns_secondary=198.18.0.54&dns_domain=lab.test")
    assert error_of(page) is None and "Parameters have been changed." in page
    deadline = time.monotonic() + 10
    resolv = ""
    while time.monotonic() < deadline:
        resolv = box.path("/etc/resolv.conf").read_text()
        if "198.18.0.54" in resolv:
            break
        time.sleep(0.1)
    assert "nameserver 198.18.0.53\n" in resolv and "nameserver 198.18.0.54\n" in resolv, resolv
    assert "search     lab.test\n" in resolv, resolv


def test_snmp_page_changes_the_community_the_agent_answers(box):
    admin(box)
    box.wait_for_stderr(r"NET-SNMP version", timeout=30)
    page = post(box, "/network/snmp.html", "action=set&snmpv1=off&snmpv1=on&snmpv1_community=lab-7")
    assert error_of(page) is None, page
    opts = ("-v2c", "-c", "lab-7")
    deadline = time.monotonic() + 20
    rc, out = 1, ""
    while time.monotonic() < deadline:
        rc, out = snmp(box, "snmpget", f"{ENT}.2.4.1.0", opts=opts)
        if rc == 0:
            break
        time.sleep(0.5)
    assert rc == 0 and box.box_ip in out, out
    rc, out = snmp(box, "snmpget", f"{ENT}.2.4.1.0", opts=("-v2c", "-c", "vorlap"))
    assert rc != 0, out


def kernel_ipv6(box):
    text = box.box_exec(["ip", "-6", "-o", "addr", "show", "dev", "eth0"], check=True).stdout
    return sorted(re.findall(r"inet6 ([0-9a-f:]+)/", text))


def test_ipv6_page_lists_the_kernels_addresses_and_routes(make_box):
    box = make_box()
    box.write_params({"ipv6": "on", "ipv6_auto": "off"})
    admin(box)
    box.box_exec(["ip", "-6", "addr", "add", "fd42:b0c5:25::7/64", "dev", "eth0", "nodad"], check=True)
    box.box_exec(["ip", "-6", "addr", "add", "fd42:b0c5:26::8/64", "dev", "eth0", "nodad"], check=True)
    page = get(box, "/network/ipv6.html")
    shown = sorted(re.findall(r"<li><code>([0-9a-f:]+)</code></li>", page))
    assert shown == kernel_ipv6(box) and "fd42:b0c5:25::7" in shown, (shown, page[-2000:])
    routes = box.box_exec(["ip", "-6", "route", "show", "dev", "eth0"], check=True).stdout
    for prefix in ("fd42:b0c5:25::/64", "fd42:b0c5:26::/64"):
        assert prefix in routes
        assert f"<td>{prefix} </td><td> ::</td>" in page, page[-2000:]


def test_ipv4_address_change_restarts_on_the_new_address(box):
    admin(box)
    old = box.box_ip
    new = old.rsplit(".", 1)[0] + ".77"
    page = post(box, "/network/ipv4.html", f"action=set&ip_addr={new}&ip_dhcp=off&ip_bootp=off")
    assert "The device restarts now." in page, page[-2000:]
    assert box.wait_exit(30) == 0
    saved = dict((k.strip(), v.strip()) for k, v in (ln.split("=", 1) for ln in
                 box.path("/etc/params.dat").read_text().splitlines() if "=" in ln))
    assert saved["ip_addr"] == new and saved["ip_setby"] == "http"
    box.box_ip = new
    box.start(kickoff=1)
    box.wait_for_stderr(BANNER, timeout=30)
    wait_for_web(box)
    admin(box, start=False)
    page = get(box, "/network/ipv4.html")
    assert f'name="ip_addr" value="{new}"' in page and "Set by: HTTP" in page
    assert curl(box, "-o", "/dev/null", "-w", "%{http_code}", f"http://{old}/style.css").stdout != "200"


def test_switching_dhcp_off_makes_the_web_the_address_source(make_box):
    box = make_box(static_ip=False)
    box.write_params({"ip_dhcp": "on", "ip_bootp": "off", "ip_auto": "off", **web_login.SESSIONS_ON})
    server = Dnsmasq(box, *lease_options(box, f"{subnet(box)}.60", lease="10m"))
    try:
        box.start(kickoff=0)
        box.wait_for_stderr(BANNER, timeout=30)
        box.box_ip = f"{subnet(box)}.60"
        wait_for_web(box, timeout=90)
        admin(box, start=False)
        page = get(box, "/network/ipv4.html")
        m = re.search(r"DHCP lease time</dt><dd>(.*?)</dd>\s*<dt>Lease held for</dt><dd>(.*?)</dd>", page)
        assert m, page[-2500:]
        assert m.group(1).strip() == "0/00/10"
        assert re.fullmatch(r"0/00/0\d", m.group(2).strip())
        page = post(box, "/network/ipv4.html", "action=set&ip_dhcp=off")
        assert "The device restarts now." in page
        assert box.wait_exit(30) == 0
        saved = box.path("/etc/params.dat").read_text()
        assert re.search(r"ip_setby = http\n", saved) and re.search(r"ip_dhcp = off\n", saved), saved
    finally:
        server.close()
