"""A WLAN model on the simulated radio: start-up's WLAN branch, the network
block written to the supplicant stand-in on the real control socket, the
connection it reports, and WPS by the button."""

import re
import time

from test_start_stop import BANNER

WLAN_MODEL = 357          # no wired link poll: the box runs on WLAN
WLAN_COMPAT = "82"        # a WLAN bit and IPv6
AP = "02:00:5e:10:00:01"
SSID = "lab \"net\" <&>"


def wlan_box(make_box):
    box = make_box(product_id=WLAN_MODEL, compat_id=WLAN_COMPAT)
    # The radio's interface: a stand-in device (one end of a veth pair whose
    # other end stays in the box namespace), so that addresses can be set.
    box.box_exec(["ip", "link", "add", "wlan0", "type", "veth", "peer", "name", "wlan0-air"], check=True)
    box.box_exec(["ip", "link", "set", "wlan0-air", "up"], check=True)
    sim = box.path("/var/wlan.sim")
    sim.mkdir(parents=True, exist_ok=True)
    (sim / "scan").write_text(f"bssid={AP}\nfreq=2437\nlevel=-48\nflags=[WPA2-PSK-CCMP][ESS]\n"
                              f"ssid={SSID}\npsk=lab passphrase\n\n"
                              "bssid=02:00:5e:10:00:02\nfreq=2484\nlevel=-80\nflags=[ESS]\nssid=other\n")
    return box


def params_file(box):
    return box.path("/etc/params.dat").read_text()


def param_value(text, name):
    match = re.search(rf"^\s*{name} = (.*)$", text, re.M)
    return match.group(1) if match else None


def test_box_runs_on_wlan_and_joins_the_network(make_box):
    box = wlan_box(make_box)
    box.write_params({"wifi": "on", "wifi_mode": "infra", "wifi_name": SSID, "wifi_encrypt": "AES2",
                      "wifi_psk": "lab passphrase", "btn_wps_pbc": "on"})
    box.start()
    banner = box.wait_for_stderr(BANNER, timeout=30)
    assert banner.group("ifname") == "wlan0"
    box.wait_for_stdout(r"start wpa supplicant", timeout=30)
    box.wait_for_stdout(r"WLan: wlan0 connected", timeout=40)
    # The first connection ends the push-button offer, and it is saved.
    text = params_file(box)
    assert param_value(text, "btn_wps_pbc") == "off", text
    # The pages show what the radio reads and the networks of the scan; the
    # box's own network is on the radio, so they are asked from inside.
    wlan_page = page_from_inside(box, "/network/wlan.html")
    assert "lab &quot;net&quot; &lt;&amp;&gt;" in wlan_page, wlan_page
    assert "2.484 GHz" in wlan_page and "other" in wlan_page, wlan_page
    assert "Infrastructure" in wlan_page, wlan_page
    info = page_from_inside(box, "/info/wlan")
    assert "AP BSSID" in info and "no WLAN interface" not in info, info


def page_from_inside(box, path):
    deadline = time.monotonic() + 20
    page = ""
    while time.monotonic() < deadline:
        answer = box.box_exec(["curl", "-s", "-m", "10", f"http://{box.box_ip}{path}"], timeout=20)
        page = answer.stdout if isinstance(answer.stdout, str) else answer.stdout.decode()
        if answer.returncode == 0 and page:
            return page
        time.sleep(0.5)
    return page


def test_wps_button_takes_the_credential(make_box):
    box = wlan_box(make_box)
    # A WPA2-PSK/AES credential for "wps-net" with the key "wps-passphrase".
    def attr(t, v):
        return t.to_bytes(2, "big") + len(v).to_bytes(2, "big") + v
    inner = (attr(0x1045, b"wps-net") + attr(0x1003, b"\x00\x20") + attr(0x100f, b"\x00\x08")
             + attr(0x1028, b"\x01") + attr(0x1027, b"wps-passphrase"))
    box.path("/var/wlan.sim/wps").write_text(attr(0x100e, inner).hex() + "\n")
    box.write_params({"wifi": "on", "wifi_mode": "adhoc", "wifi_name": "nothing here", "btn_wps_pbc": "on"})
    box.start()
    box.wait_for_stderr(BANNER, timeout=30)
    box.wait_for_stdout(r"start wpa supplicant", timeout=30)
    box.press_button(0, long_press=False)
    deadline_text = ""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        deadline_text = params_file(box)
        if param_value(deadline_text, "wifi_name") == "wps-net":
            break
        time.sleep(0.2)
    assert param_value(deadline_text, "wifi_name") == "wps-net", deadline_text
    assert param_value(deadline_text, "wifi_mode") == "infra"
    assert param_value(deadline_text, "wifi_encrypt") == "AESTKIP2"
    # The passphrase is a secret: the file holds it, the test only sees it is set.
    assert param_value(deadline_text, "wifi_psk") not in (None, "")
