"""The pages as a browser shows them: Debian's chromium, headless, in the
peer namespace with a fresh profile. The test walks the first pages with the
simulated devices plugged, changes a setting through the page's own form,
and leaves screenshots of every page in out/screenshots (kept by CI)."""

import re
import time
from pathlib import Path

import pytest

from browser_driver import CHROMIUM, Browser, BrowserError
from test_usb_protocol import start_usb_box
from test_web import curl, read_params, wait_for_web


@pytest.fixture
def browser(box):
    if CHROMIUM is None:
        pytest.fail("chromium is missing: run tools/install-deps.sh")
    start_usb_box(box, plugs=["loopback port=1", "keyboard port=3"])
    wait_for_web(box)
    return Browser(box, box.workdir)


def test_first_pages_in_a_browser(browser):
    box = browser.box
    base = f"http://{box.box_ip}"

    welcome = browser.dom(f"{base}/")
    assert "This device asks for no login." in welcome
    browser.screenshot(f"{base}/", "01-welcome")

    ports = browser.dom(f"{base}/start.html")
    rows = re.findall(r'<td class="num">(\d+)</td><td><span class="state (\w+)">', ports)
    assert rows == [("1", "present"), ("2", "empty"), ("3", "present"), ("4", "empty")], ports[-3000:]
    browser.screenshot(f"{base}/start.html", "02-ports")
    browser.screenshot(f"{base}/start.html", "03-ports-phone", size=(390, 844))

    # The page's own form, filled and sent by the browser.
    form = browser.form_page("change", f"{base}/network/snmp.html", {
        "action": "set", "sys_name": "Lab box 7", "sys_contact": "Ops & desk", "sys_descr": "Rack 3 <left>"})
    changed = browser.dom(form)
    assert "Parameters have been changed." in changed, changed[-1500:]
    assert 'value="Rack 3 &lt;left&gt;"' in changed
    values = read_params(box)
    assert values["sys_name"] == "Lab box 7" and values["sys_descr"] == "Rack 3 <left>"
    browser.screenshot(f"{base}/network/snmp.html", "04-device-name")

    german = curl(box, f"{base}/start_de.html").stdout
    assert "USB-Ports" in german and "Verfügbar" in german
    browser.screenshot(f"{base}/start_de.html", "05-ports-german")
    browser.screenshot(f"{base}/contact_de.html", "06-contact-german")
    browser.screenshot(f"{base}/sitemap_en.html", "07-sitemap")

    # The logout page answers the welcome page.
    assert "Welcome" in curl(box, f"{base}/exit_en.html").stdout
    browser.screenshot(f"{base}/nothing.html", "08-not-found")


def chromiums_in(workdir):
    """The chromium processes with a profile in workdir."""
    profile = f"--user-data-dir={workdir}/profile-".encode()
    found = []
    for proc in Path("/proc").iterdir():
        try:
            argv = (proc / "cmdline").read_bytes().split(b"\0") if proc.name.isdigit() else []
        except OSError:
            continue
        if any(arg.startswith(profile) for arg in argv):
            found.append(int(proc.name))
    return found


def test_a_wait_ends_saying_what_the_page_showed_and_leaves_no_chromium(browser):
    box = browser.box
    base = f"http://{box.box_ip}"
    assert chromiums_in(browser.workdir) == []
    running = browser.visit(f"{base}/start.html", lambda c: chromiums_in(browser.workdir))
    assert running, "the running chromium went unseen"

    # A condition the page never meets: the error names the wait, the page
    # and its text.
    with pytest.raises(BrowserError) as never:
        browser.dom(f"{base}/start.html", until="document.title === 'never'", timeout=3)
    assert "waited 3 s for" in str(never.value) and "document.title === 'never'" in str(never.value)
    assert f"the page at {base}/start.html (complete) showed:" in str(never.value), never.value
    assert "USB ports" in str(never.value)

    # Nothing answers on port 81: neither a visit nor a form post waits it out.
    started = time.monotonic()
    with pytest.raises(BrowserError, match="ERR_CONNECTION_REFUSED"):
        browser.dom(f"{base}:81/start.html")
    with pytest.raises(BrowserError, match="failed to load"):
        browser.dom(browser.form_page("nowhere", f"{base}:81/start.html", {"action": "set"}))
    assert time.monotonic() - started < 30

    assert chromiums_in(browser.workdir) == []
    assert list(browser.workdir.glob("profile-*/")) == []
