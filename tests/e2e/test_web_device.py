"""The device and USB port pages against the running program: the start
page's port table with the simulated devices, its owner column as a client
takes a device, the administrator's disconnect from the page (the client gets
notice 19), the port settings, port access, encryption and device access
forms, the notification counters and the relay page of the relay model. Browser screenshots go to out/screenshots."""

import html
import re
import time

import pytest

import usbclient as uc
import web_login
from browser_driver import CHROMIUM, Browser
from test_usb_devices import take
from test_usb_protocol import client, start_usb_box
from test_web import curl, read_params, url, wait_for_web

RELAY_MODEL = 365


def page(box, path, *args):
    result = curl(box, *args, url(box, path))
    assert result.returncode == 0, result.stderr
    return result.stdout


def port_rows(text):
    """{port: (state class, state text)} of the start page's first rows."""
    rows = re.findall(r'<tr><td class="num">(\d+)</td><td><span class="state (\w+)">([^<]*)</span>', text)
    return {int(p): (cls, html.unescape(state)) for p, cls, state in rows}


def wait_page(box, path, predicate, timeout=15, cookie=None):
    deadline = time.monotonic() + timeout
    while True:
        text = page(box, path, *(("-b", cookie) if cookie else ()))
        if predicate(text):
            return text
        assert time.monotonic() < deadline, text[-3000:]
        time.sleep(0.3)


@pytest.fixture
def browser(box):
    if CHROMIUM is None:
        pytest.fail("chromium is missing: run tools/install-deps.sh")
    start_usb_box(box, plugs=["loopback port=1", "keyboard port=3"])
    wait_for_web(box)
    return Browser(box, box.workdir)


def test_owner_shows_and_the_administrator_disconnects_it(browser):
    box = browser.box
    base = f"http://{box.box_ip}"
    rows = port_rows(page(box, "/start.html"))
    assert rows == {1: ("present", "Available"), 2: ("empty", "No device connected"),
                    3: ("present", "Available"), 4: ("empty", "No device connected")}, rows
    browser.screenshot(f"{base}/start.html", "device-01-ports")

    # A client whose name is markup takes the device on port 1.
    name = "<b>lab</b>&pc"
    with client(box) as c:
        take(c, 1, name)
        text = wait_page(box, "/start.html", lambda t: port_rows(t)[1][0] == "connected")
        state = port_rows(text)[1][1]
        # The owner text names the client's address as the USB server
        # publishes it, each byte in three digits.
        padded = ".".join(f"{int(b):03d}" for b in box.peer_ip.split("."))
        assert state == f"Occupied by {name} ({padded})", state
        assert "<b>lab</b>" not in text and "&lt;b&gt;lab&lt;/b&gt;&amp;pc" in text
        assert 'name="disconnect" value="1"' in text
        dom = browser.dom(f"{base}/start.html")
        assert "Occupied by" in dom and "<b>lab</b>" not in dom
        browser.screenshot(f"{base}/start.html", "device-02-port-in-use")

        # The browser sends the page's own disconnect form.
        browser.dom(browser.form_page("disconnect", f"{base}/start_en.html", {"disconnect": "1"}))
        n = c.wait_notice(uc.NOTICE_ADMIN_DISCONNECT, timeout=10)
        assert n.port == 1
    after = wait_page(box, "/start.html", lambda t: port_rows(t)[1] == ("present", "Available"))
    assert 'name="disconnect"' not in after
    browser.screenshot(f"{base}/start.html", "device-03-disconnected")
    for path, shot in (("/device/usb.html", "device-04-usb-settings"), ("/device/notify.html", "device-05-notify"),
                       ("/device/time.html", "device-06-time"), ("/device/description.html", "device-07-description"),
                       ("/start_de.html", "device-08-ports-german"), ("/device/port.html", "device-11-port-settings"),
                       ("/security/port_access.html", "device-12-port-access"),
                       ("/security/encrypt.html", "device-13-usb-encryption"),
                       ("/security/devacc.html", "device-14-device-access")):
        dom = browser.dom(f"{base}{path}")
        assert "</main>" in dom and not re.findall(r"\{[^}\s]*\}", dom), path
        browser.screenshot(f"{base}{path}", shot)


def test_disconnect_of_a_port_the_box_lacks_changes_nothing(box):
    start_usb_box(box, plugs=["loopback port=1"])
    wait_for_web(box)
    with client(box) as c:
        take(c, 1, "keeper")
        for value in ("5", "0", "-1", "1x", "99999999999"):
            page(box, "/start.html", "-d", f"disconnect={value}")
        time.sleep(0.5)
        assert port_rows(page(box, "/start.html"))[1][0] == "connected"
        with pytest.raises(uc.UsbClientError):
            c.wait_notice(uc.NOTICE_ADMIN_DISCONNECT, timeout=1)


def test_port_settings_page_saves_and_the_start_page_shows_the_tag(box):
    start_usb_box(box, plugs=["loopback port=2"])
    wait_for_web(box)
    answer = page(box, "/device/usb.html", "--data-urlencode", "action=set",
                  "--data-urlencode", "zyt_tag_2=Rack <2>", "--data-urlencode", "zyt_sec_3=on",
                  "--data-urlencode", "zyt_poff_4=on", "--data-urlencode", "zyt_2vlan_1=9")
    assert "Parameters have been changed." in answer
    values = read_params(box)
    assert (values["zyt_tag_2"], values["zyt_sec_3"], values["zyt_poff_4"], values["zyt_2vlan_1"]) == \
        ("Rack <2>", "on", "on", "9")
    assert 'value="Rack &lt;2&gt;"' in answer and "Rack <2>" not in answer
    start = page(box, "/start.html")
    rows = port_rows(start)
    assert rows[4] == ("off", "Port deactivated")
    # The tagged port with its device: the tag, then a row of its own for
    # the device.
    assert '<b class="tagname">Rack &lt;2&gt;</b>' in start and "Rack <2>" not in start
    assert re.search(r'<tr class="sub"><td class="num"></td><td><span class="state present">Available</span></td>'
                     r'<td><span class="sub">&#8627; [^<]+</span>', start), start[-3000:]
    assert "VLAN &mdash;" in start  # 9 is past the four ports: untagged only


# Each form of the per-port settings: fields it saves, and values it must
# refuse (each sent with the good fields, which then stay unsaved too).
PORT_FORMS = [
    ("/device/port.html",
     {"zyt_tag_1": "Lab", "zyt_poff_2": "on", "zyt_poffdura_3": "25", "zyt_prereset_1": "on", "zyt_2vlan_4": "2"},
     [{"zyt_poffdura_1": "101"}, {"zyt_2vlan_2": "22"}, {"zyt_tag_1": "a\x01b"}, {"zyt_tag_2": "x" * 33},
      {"zyt_prereset_3": "yes"}, {"zyt_poffdura_2": "5x"}]),
    ("/security/port_access.html",
     {"zyt_accctrl_1": "keyids", "zyt_keyval_1": "Open Sesame", "zyt_vendprodIDs_1": "1d6b:0104 abcd:0001"},
     [{"zyt_vendprodIDs_2": "abcd:0001 " * 16 + "ab"}, {"zyt_accctrl_2": "open"}, {"zyt_keyval_2": "a\nb"},
      {"zyt_keyval_2": "k" * 66}]),
    ("/security/encrypt.html", {"zyt_sec_2": "on"}, [{"zyt_sec_1": "yes"}, {"zyt_sec_1": "o\tn"}]),
    ("/security/devacc.html", {"zyt_vendprodIDs_3": "0781:5567"}, [{"zyt_vendprodIDs_3": "0" * 162}]),
]


def post_form(box, path, fields):
    args = ["--data-urlencode", "action=set"]
    for name, value in fields.items():
        args += ["--data-urlencode", f"{name}={value}"]
    return page(box, path, *args)


def params_file(box):
    stored = box.path("/etc/params.dat")
    return stored.read_bytes() if stored.exists() else None


@pytest.mark.parametrize("path, good, bad", PORT_FORMS, ids=[f[0] for f in PORT_FORMS])
def test_port_forms_save_whole_or_refuse_whole(box, path, good, bad):
    box.start(kickoff=0)
    wait_for_web(box)
    for fields in bad:
        before = params_file(box)
        answer = post_form(box, path, {**good, **fields})
        field = next(iter(fields))
        assert f"Invalid value, nothing was changed: {field}" in answer, fields
        assert params_file(box) == before, fields
    answer = post_form(box, path, good)
    assert "Parameters have been changed." in answer
    values = read_params(box)
    for name, value in good.items():
        if name.startswith("zyt_keyval_"):
            continue  # a secret: its page shows it masked, the access page in clear
        assert values[name] == value, name
    # The form shows what was saved, with rows for the four ports and no more.
    if path == "/device/port.html":
        assert 'name="zyt_tag_4"' in answer and 'name="zyt_tag_5"' not in answer
        assert 'value="Lab"' in answer and re.search(r'name="zyt_prereset_1".*?value="on" selected', answer)
    if path == "/security/port_access.html":
        assert 'name="zyt_accctrl_4"' in answer and 'name="zyt_accctrl_5"' not in answer
        assert '<option value="keyids" selected>' in answer
        assert 'name="zyt_keyval_1" type="password" value="****"' in answer and "Open Sesame" not in answer
        access = page(box, "/security/devacc.html")
        assert '<td class="ids">Open Sesame</td>' in access
        assert '<td class="ids">1d6b:0104 abcd:0001</td>' in access


def test_device_access_page_shows_the_ids_of_each_port_and_allows_them(box):
    start_usb_box(box, plugs=["loopback port=1", "keyboard port=3"])
    wait_for_web(box)
    with client(box) as c:
        listed = c.device_list()
    wanted = {}
    for d in listed:
        wanted.setdefault(d.port, []).append(f"{d.vendor_id:04x}:{d.product_id:04x}")
    assert set(wanted) == {1, 3}, listed
    text = page(box, "/security/devacc.html")
    offered = {int(p): v.split() for p, v in re.findall(r'name="zyt_vendprodIDs_(\d+)" value="([^"]*)"', text)}
    assert offered == wanted, text[-3000:]

    # Port 1 allows the device plugged in now, port 3 allows another one.
    page(box, "/security/devacc.html", "-d", "action=set", "--data-urlencode",
         f"zyt_vendprodIDs_1={' '.join(wanted[1])} ")
    post_form(box, "/security/port_access.html", {"zyt_accctrl_1": "ids", "zyt_accctrl_3": "ids",
                                                  "zyt_vendprodIDs_3": "0781:5567"})
    assert read_params(box)["zyt_vendprodIDs_1"] == " ".join(wanted[1])
    text = page(box, "/security/devacc.html")
    marks = re.findall(r'<td class="num">(\d+)</td>.*?<span class="mark (ok|bad)">', text)
    assert marks == [("1", "ok"), ("3", "bad")], marks


def test_notification_counters(box):
    box.start(kickoff=0)
    wait_for_web(box)
    text = page(box, "/device/notify.html")
    cells = re.findall(r'<td class="num">([^<]*)</td>', text)
    # Nothing sent, no trap sink configured.
    assert cells == ["0", "0", "0", "0", "---", "---"], cells


def test_relay_page_lists_events_and_clear_opens_the_relay(make_box):
    box = make_box(product_id=RELAY_MODEL, board=278, ports=4)
    box.write_params({"relay_ctrl": "eve", "relay_eve_start": "warm"})
    box.start(kickoff=0)
    box.wait_board(lambda s: s.get("relay_line") == "0")
    wait_for_web(box)
    # The restart event comes once the start-up has ended.
    text = wait_page(box, "/device/relay.html", lambda t: "<td>Restart</td>" in t)
    assert re.search(r"<tr><td>Restart</td><td class=\"ids\">\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", text), text[-2000:]
    assert "<b>Closed</b>" in text
    assert CHROMIUM, "chromium is missing: run tools/install-deps.sh"
    Browser(box, box.workdir).screenshot(f"http://{box.box_ip}/device/relay.html", "device-09-relay")
    cleared = page(box, "/device/relay.html", "-d", "clear=1")
    assert "<b>open</b>" in cleared and "No events" in cleared
    box.wait_board(lambda s: s.get("relay_line") == "1")


def test_relay_and_notify_pages_need_their_features(make_box):
    box = make_box(product_id=330)
    box.start(kickoff=0)
    wait_for_web(box)
    for path in ("/device/relay.html", "/device/notify.html", "/security/devacc.html"):
        assert curl(box, "-o", "/dev/null", "-w", "%{http_code}", url(box, path)).stdout == "500", path
    # Without port access control and port power, their settings are not offered.
    access = page(box, "/security/port_access.html")
    assert "This model has no port access control." in access and "zyt_accctrl_" not in access
    assert "/security/devacc" not in access
    port = page(box, "/device/port.html")
    assert 'name="zyt_tag_1"' in port and 'name="zyt_prereset_1"' in port
    assert "zyt_poff_" not in port and "zyt_2vlan_" not in port and "zyt_comp_" not in port


def login_page(browser, role, name):
    """A page that logs in through the welcome page's form as it loads; the
    browser follows the answer to the start page."""
    return browser.form_page(f"login-{role}", f"http://{browser.box.box_ip}/index.html",
                             {"action": "set", "name": name, "pwd": ""})


def test_only_an_administrator_disconnects(make_box):
    box = make_box()
    box.write_params(web_login.SESSIONS_ON)
    start_usb_box(box, plugs=["loopback port=1"])
    wait_for_web(box)
    admin = web_login.login(box)
    user = web_login.login(box, "user")
    with client(box) as c:
        take(c, 1, "desk-7")
        for cookie, sees_button in ((admin, True), (user, False)):
            text = wait_page(box, "/start.html", lambda t: "Occupied by desk-7" in t, cookie=cookie)
            assert ('name="disconnect" value="1"' in text) == sees_button, text[-2000:]
        # A user's disconnect, whichever way it comes, is ignored; the
        # settings page is not a user's.
        page(box, "/start.html", "-b", user, "-d", "disconnect=1")
        page(box, "/start.html", "-b", user + "x", "-d", "disconnect=1")
        page(box, "/start.html", "-d", "disconnect=1")
        assert 'name="zyt_tag_1"' not in page(box, "/device/usb.html", "-b", user)
        with pytest.raises(uc.UsbClientError):
            c.wait_notice(uc.NOTICE_ADMIN_DISCONNECT, timeout=1)
        assert port_rows(page(box, "/start.html", "-b", admin))[1][0] == "connected"

        assert CHROMIUM, "chromium is missing: run tools/install-deps.sh"
        browser = Browser(box, box.workdir)
        user_view = browser.dom(login_page(browser, "user", "User"))
        assert "Occupied by desk-7" in user_view and 'name="disconnect"' not in user_view, user_view[-2000:]
        admin_view = browser.dom(login_page(browser, "admin", "Admin"))
        assert 'name="disconnect" value="1"' in admin_view, admin_view[-2000:]
        browser.screenshot(login_page(browser, "admin", "Admin"), "device-10-administrator-logged-in")

        page(box, "/start.html", "-b", admin, "-d", "disconnect=1")
        n = c.wait_notice(uc.NOTICE_ADMIN_DISCONNECT, timeout=10)
        assert n.port == 1
