"""The login and the /info pages as headless chromium shows them, with
screenshots in out/screenshots (kept by CI)."""

import pytest

import web_login
from browser_driver import CHROMIUM, Browser
from test_usb_protocol import start_usb_box
from test_web import wait_for_web


def new_browser(box, params, plugs=()):
    if CHROMIUM is None:
        pytest.fail("chromium is missing: run tools/install-deps.sh")
    start_usb_box(box, params=params, plugs=plugs)
    wait_for_web(box)
    return Browser(box, box.workdir)


def test_login_in_a_browser(box):
    browser = new_browser(box, web_login.SESSIONS_ON)
    base = f"http://{box.box_ip}"
    welcome = browser.dom(f"{base}/index_en.html")
    assert 'name="pwd"' in welcome
    browser.screenshot(f"{base}/index_en.html", "20-login")

    wrong = browser.form_page("wrong", f"{base}/index_en.html", {"action": "set", "name": "Admin", "pwd": "guess"})
    shown = browser.dom(wrong)
    assert "The password is incorrect." in shown and 'value="Admin"' in shown
    browser.screenshot(wrong, "21-login-wrong-password")

    right = browser.form_page("right", f"{base}/index_en.html", {"action": "set", "name": "Admin", "pwd": ""})
    shown = browser.dom(right)
    assert "Log out (Admin)" in shown and "USB ports" in shown, shown[-2000:]
    browser.screenshot(right, "22-logged-in")


def test_information_pages_in_a_browser(box):
    browser = new_browser(box, {"ip_filter_3": "10.*"}, plugs=["loopback port=1", "keyboard port=3"])
    base = f"http://{box.box_ip}"
    (box.path("/tmp") / "<b>odd & name").write_text("x")
    shots = [("/info/index_en.html", "30-info-index", "System information"),
             ("/info/net", "31-info-net", "eth0"),
             ("/info/dev", "32-info-load", "CPU/Memory load"),
             ("/info/threads", "33-info-threads", "HTTPD"),
             ("/info/filter", "34-info-filter", "10.0.0.0"),
             ("/info/usb", "35-info-usb", "USB["),
             ("/info/wlan", "36-info-wlan", "WLAN"),
             ("/info/dir?/tmp", "37-info-dir", "&lt;b&gt;odd &amp; name")]
    for path, name, text in shots:
        assert text in browser.dom(base + path), path
        browser.screenshot(base + path, name, size=(1280, 1000))
