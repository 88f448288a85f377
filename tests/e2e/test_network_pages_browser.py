"""The network settings pages as a browser shows them (Debian's chromium,
headless, in the peer namespace), logged in as the administrator: every page
of the section, a refused value as the page shows it, and a new address set
through the IPv4 page's form, after which the box answers on that address.
Screenshots go to out/screenshots (kept by CI).

The browser carries the administrator's session cookie, taken by a login
with curl; a form is posted by a local page that sends it as it loads."""

import pytest

import web_login
from browser_driver import CHROMIUM, Browser
from test_start_stop import BANNER
from test_web import curl, started, wait_for_web

PAGES = ["ipv4", "ip4vlan", "ipv6", "dns", "snmp", "bonjour", "email", "wlan"]


def admin_view(browser, target, fields=()):
    """The page at target, or the answer to fields posted to it."""
    return browser.form_page("as-admin", target, fields) if fields else target


def admin_dom(browser, target, fields=()):
    return browser.dom(admin_view(browser, target, fields))


def admin_screenshot(browser, target, name, fields=()):
    return browser.screenshot(admin_view(browser, target, fields), name)


@pytest.fixture
def browser(make_box):
    if CHROMIUM is None:
        pytest.fail("chromium is missing: run tools/install-deps.sh")
    # A model with WLAN, so that every page of the section exists.
    box = make_box(compat_id="82")
    box.write_params(web_login.SESSIONS_ON)
    started(box)
    return Browser(box, box.workdir)


def test_network_pages_in_a_browser(browser):
    box = browser.box
    base = f"http://{box.box_ip}"
    cookie = web_login.login(box)
    browser.cookie = cookie
    for number, name in enumerate(PAGES, start=1):
        target = f"{base}/network/{name}_en.html"
        # Behind the login; with it, a whole page.
        assert 'name="action" value="set"' not in curl(box, target).stdout
        dom = curl(box, "-b", cookie, target).stdout
        assert '<nav class="tabs"' in dom and 'class="on">' in dom, (name, dom[-1500:])
        assert "{" not in dom.split("<main>", 1)[1].split("<script", 1)[0], (name, dom[-2500:])
        admin_screenshot(browser, target, f"net-{number:02d}-{name}")
    admin_screenshot(browser, f"{base}/network/ipv4_de.html", "net-09-ipv4-german")

    bad = [("action", "set"), ("dns_domain", "lab.test"), ("dns_primary", "198.18.0.256")]
    refused = admin_dom(browser, f"{base}/network/dns_en.html", bad)
    assert "Invalid value, nothing was changed: dns_primary" in refused, refused[-2000:]
    assert 'name="dns_domain" value=""' in refused
    admin_screenshot(browser, f"{base}/network/dns_en.html", "net-10-refused", bad)

    new = box.box_ip.rsplit(".", 1)[0] + ".78"
    waiting = admin_dom(browser, f"{base}/network/ipv4_en.html",
                        [("action", "set"), ("ip_addr", new), ("ip_mask", "255.255.255.0"),
                         ("ip_gate", "0.0.0.0"), ("ip_dhcp", "off"), ("ip_bootp", "off")])
    assert "The device restarts now." in waiting, waiting[-2000:]
    assert box.wait_exit(30) == 0
    # Whoever runs the program starts it again; it comes up on the new address.
    box.box_ip = new
    box.start(kickoff=1)
    box.wait_for_stderr(BANNER, timeout=30)
    wait_for_web(box)
    browser.cookie = web_login.login(box)
    dom = admin_dom(browser, f"http://{new}/network/ipv4_en.html")
    assert f'name="ip_addr" value="{new}"' in dom and "Set by: HTTP" in dom, dom[-2500:]
    admin_screenshot(browser, f"http://{new}/network/ipv4_en.html", "net-11-new-address")
