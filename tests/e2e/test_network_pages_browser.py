"""The network settings pages as a browser shows them (Debian's chromium,
headless, in the peer namespace): every page of the section, a refused value
as the page shows it, and a new address set through the IPv4 page's own form,
after which the box answers on that address. Screenshots go to
out/screenshots (kept by CI)."""

import os
import time

import pytest

from test_start_stop import BANNER
from test_web import curl, started, wait_for_web
from test_web_browser import CHROMIUM, Browser

PAGES = ["ipv4", "ip4vlan", "ipv6", "dns", "snmp", "bonjour", "email", "wlan"]


def submit(browser, action, fields):
    """Lets the browser post a form with these fields to action and returns
    the page it got back."""
    inputs = "".join(f'<input name="{name}" value="{value}">' for name, value in fields)
    page = browser.workdir / "submit.html"
    page.write_text(f"""<!DOCTYPE html><html><body onload="document.forms[0].submit()">
<form method="post" action="{action}">{inputs}</form></body></html>""")
    os.chmod(browser.workdir, 0o755)
    os.chmod(page, 0o644)
    return browser.dom(page.as_uri())


@pytest.fixture
def browser(make_box):
    if CHROMIUM is None:
        pytest.fail("chromium is missing: run tools/install-deps.sh")
    # A model with WLAN, so that every page of the section exists.
    box = make_box(compat_id="82")
    started(box)
    return Browser(box, box.workdir)


def test_network_pages_in_a_browser(browser):
    box = browser.box
    base = f"http://{box.box_ip}"
    for number, name in enumerate(PAGES, start=1):
        dom = curl(box, f"{base}/network/{name}_en.html").stdout
        assert '<nav class="tabs"' in dom and 'class="on">' in dom, (name, dom[-1500:])
        assert "{" not in dom.split("<main>", 1)[1].split("<script", 1)[0], (name, dom[-2500:])
        browser.screenshot(f"{base}/network/{name}.html", f"net-{number:02d}-{name}")
    browser.screenshot(f"{base}/network/ipv4_de.html", "net-09-ipv4-german")

    refused = submit(browser, f"{base}/network/dns_en.html",
                     [("action", "set"), ("dns_domain", "lab.test"), ("dns_primary", "198.18.0.256")])
    assert "Invalid value, nothing was changed: dns_primary" in refused, refused[-2000:]
    assert 'name="dns_domain" value=""' in refused
    browser.screenshot(f"{base}/network/dns_en.html?action=set&dns_primary=198.18.0.256", "net-10-refused")

    new = box.box_ip.rsplit(".", 1)[0] + ".78"
    waiting = submit(browser, f"{base}/network/ipv4_en.html",
                     [("action", "set"), ("ip_addr", new), ("ip_mask", "255.255.255.0"),
                      ("ip_gate", "0.0.0.0"), ("ip_dhcp", "off"), ("ip_bootp", "off")])
    assert "The device restarts now." in waiting, waiting[-2000:]
    assert box.wait_exit(30) == 0
    # Whoever runs the program starts it again; it comes up on the new address.
    box.box_ip = new
    box.start(kickoff=1)
    box.wait_for_stderr(BANNER, timeout=30)
    wait_for_web(box)
    dom = browser.dom(f"http://{new}/network/ipv4_en.html")
    assert f'name="ip_addr" value="{new}"' in dom and "Set by: HTTP" in dom, dom[-2500:]
    browser.screenshot(f"http://{new}/network/ipv4.html", "net-11-new-address")
