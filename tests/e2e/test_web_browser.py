"""The pages as a browser shows them: Debian's chromium, headless, in the
peer namespace with a fresh profile. The test walks the first pages with the
simulated devices plugged, changes a setting through the page's own form,
and leaves screenshots of every page in out/screenshots (kept by CI)."""

import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

import wevbox
from test_usb_protocol import start_usb_box
from test_web import curl, read_params, wait_for_web

SHOTS = Path(os.environ.get("WEV_SCREENSHOTS", wevbox.REPO / "out" / "screenshots"))
CHROMIUM = shutil.which("chromium")


class Browser:
    def __init__(self, box, workdir):
        self.box = box
        self.workdir = workdir

    def run(self, url, *options, size=(1280, 860), timeout=90):
        profile = tempfile.mkdtemp(dir=self.workdir, prefix="profile-")
        argv = ["ip", "netns", "exec", self.box.peer_ns, CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                "--no-first-run", "--disable-background-networking", "--disable-dev-shm-usage",
                "--hide-scrollbars", f"--user-data-dir={profile}", f"--window-size={size[0]},{size[1]}",
                "--virtual-time-budget=4000", *options, url]
        result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
        shutil.rmtree(profile, ignore_errors=True)
        return result

    def dom(self, url):
        result = self.run(url, "--dump-dom")
        assert result.returncode == 0, result.stderr[-2000:]
        return result.stdout

    def screenshot(self, url, name, size=(1280, 860)):
        SHOTS.mkdir(parents=True, exist_ok=True)
        path = SHOTS / f"{name}.png"
        path.unlink(missing_ok=True)
        result = self.run(url, f"--screenshot={path}", size=size)
        assert path.exists() and path.stat().st_size > 5000, result.stderr[-2000:]
        return path


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
    form = browser.workdir / "change.html"
    form.write_text(f"""<!DOCTYPE html><html><body onload="document.forms[0].submit()">
<form method="post" action="{base}/network/snmp.html">
<input type="hidden" name="action" value="set">
<input name="sys_name" value="Lab box 7"><input name="sys_contact" value="Ops &amp; desk">
<input name="sys_descr" value="Rack 3 &lt;left&gt;"></form></body></html>""")
    os.chmod(browser.workdir, 0o755)
    os.chmod(form, 0o644)
    changed = browser.dom(form.as_uri())
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
