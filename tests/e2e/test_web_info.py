"""The administrator's /info pages of a running box against what the system
itself reports: /proc/net/dev, the program's threads and tasks, the file
system (modes as ls shows them), the IP filter settings, the USB device
table, the load picture; and the directory and file pages kept inside the
box's root and away from its secrets."""

import html
import os
import re
import socket
import stat
import struct
import threading
import time

import web_login
from test_usb_protocol import in_namespace, start_usb_box
from test_web import curl, read_params, url

FILTER = {"ip_filter_3": "10.*", "ip_filter_on_3": "off", "ip_filter_5": "198.18.*", "ip_filter_on_5": "on",
          "ip_filter_6": "10.x.1", "ip_filter_on_6": "off"}


def info_box(box, extra=None, plugs=()):
    start_usb_box(box, params={**web_login.SESSIONS_ON, **(extra or {})}, plugs=plugs)
    return web_login.login(box)


def page(box, cookie, path, *args):
    return curl(box, "-b", cookie, *args, url(box, path)).stdout


def cells(text):
    """Rows of the page's tables as lists of cell texts."""
    rows = []
    for row in re.findall(r"<tr>(.*?)</tr>", text, re.S):
        rows.append([html.unescape(re.sub(r"<[^>]+>", "", c)).strip()
                     for c in re.findall(r"<t[hd][^>]*>(.*?)(?=<t[hd]|$)", row, re.S)])
    return rows


def proc_net_dev(box):
    counters = {}
    for line in box.box_exec(["cat", "/proc/net/dev"]).stdout.splitlines()[2:]:
        name, _, numbers = line.partition(":")
        counters[name.strip()] = [int(n) for n in numbers.split()]
    return counters


def test_info_pages_show_what_the_system_reports(box):
    admin = info_box(box, FILTER, plugs=["loopback port=1", "keyboard port=3"])
    user = web_login.login(box, "user")
    for path in ("/info/net", "/info/threads", "/info/dir?/", "/info/file?/etc/hostname", "/info/index.html"):
        head = curl(box, "-b", user, "-D-", "-o", "/dev/null", url(box, path)).stdout
        assert head.startswith("HTTP/1.1 302") and "Location: /index_en.html" in head, path

    # Interface counters: the page's numbers lie between two readings of
    # /proc/net/dev in the box's namespace.
    before = proc_net_dev(box)
    head = curl(box, "-b", admin, "-D-", "-o", "/dev/null", url(box, "/info/net")).stdout
    assert "Content-Length" not in head and "Connection: close" in head
    text = page(box, admin, "/info/net")
    after = proc_net_dev(box)
    rows = cells(text)
    at = next(i for i, r in enumerate(rows) if r and r[0] == "eth0")
    eth0 = rows[at:at + 8]
    assert [r[1] for r in eth0] == ["bytes", "packets", "errors", "drop", "fifo", "frames", "compressed",
                                    "multicast"]
    for i, r in enumerate(eth0):
        assert before["eth0"][i] <= int(r[2]) <= after["eth0"][i], r
        assert before["eth0"][8 + i] <= int(r[3]) <= after["eth0"][8 + i], r
    assert not any(r and r[0] == "lo" for r in rows)

    # Threads: every thread the program had before and still has after the
    # page is on it, joined with its task.
    task_dir = f"/proc/{box.pid}/task"
    stable = set(os.listdir(task_dir))
    text = page(box, admin, "/info/threads")
    stable &= set(os.listdir(task_dir))
    listed = {r[0]: r for r in cells(text) if len(r) == 7 and r[0].isdigit()}
    assert stable <= set(listed), stable - set(listed)
    names = {r[4] for r in listed.values()}
    assert {"HTTPD", "UsbSrvd", "Threads Info"} <= names, names
    for tid in stable:
        comm = open(f"{task_dir}/{tid}/comm").read().strip()
        assert listed[tid][1] == comm

    # IP filter rules as the parameters give them.
    rows = {r[0]: r[:3] + [" ".join(r[3].split())] for r in cells(page(box, admin, "/info/filter"))
            if len(r) == 4 and r[0].isdigit()}
    assert rows["3"][1:] == ["", "10.*", "IpAddr:10.0.0.0 IpMask:255.0.0.0"]
    assert rows["5"][1:] == ["\u221a", "198.18.*", "IpAddr:198.18.0.0 IpMask:255.255.0.0"]
    assert rows["6"][3] == "mismatch"
    assert rows["1"][2] == ""
    assert "HTTP Port:80 is not blocked." in page(box, admin, "/info/filter")

    # USB: the port table and the device rows of the USB server.
    text = page(box, admin, "/info/usb")
    rows = cells(text)
    assert rows[1][:5] == ["attached", "1", "0", "1", "0"]
    assert rows[2][:5] == ["connected", "0", "0", "0", "0"]
    assert text.count("<th colspan=\"2\">USB[") == 2
    assert "Vendor ID" in text

    # WLAN: this model has none.
    assert "no WLAN" in page(box, admin, "/info/wlan")

    # The index page.
    text = page(box, admin, "/info/index_en.html")
    assert "/info/dir?/sys/bus/usb/devices" in text and re.search(r"<dd>0</dd>", text)


def test_load_page_picture_and_sampling_interval(box):
    admin = info_box(box)
    text = page(box, admin, "/info/dev")
    assert "CPU/Memory load" in text and 'src="/bin/cpu.bmp"' in text
    assert "Max PageSize" in text and "RamFS" in text
    picture = box.path("/tmp/tmp.bmp").read_bytes()
    magic, size, _, offset = struct.unpack_from("<2sIII", picture, 0)
    width, height, planes, bits = struct.unpack_from("<iiHH", picture, 18)
    assert (magic, offset, width, height, planes, bits) == (b"BM", 118, 768, 128, 1, 1)
    assert size == len(picture) == 118 + 768 * 128 // 8
    copy = box.workdir / "cpu.bmp"
    box.peer_exec(["curl", "-s", "-m", "10", "-o", str(copy), url(box, "/bin/cpu.bmp")], timeout=20)
    assert copy.read_bytes() == picture  # served without a login

    page(box, admin, "/info/dev", "-d", "pollI=99999")
    assert read_params(box).get("cpuLoadPoll", "1") == "1"
    page(box, admin, "/info/dev", "-d", "pollI=0")
    assert read_params(box)["cpuLoadPoll"] == "0"
    assert 'name="pollI" value="0"' in page(box, admin, "/info/dev")


def listing(box, cookie, path):
    rows = {}
    for r in cells(page(box, cookie, "/info/dir?" + path)):
        if len(r) == 6 and re.match(r"[-dlcbps][-rwxsStT]{9}$", r[0]):
            rows[r[5].split(" \u2192 ")[0]] = r
    return rows


def test_directory_and_file_pages_stay_inside_and_away_from_secrets(box):
    admin = info_box(box)
    tmp = box.path("/tmp")
    (tmp / "note.txt").write_text("hello from the box\n")
    os.chmod(tmp / "note.txt", 0o644)
    (tmp / "<b>x&y").write_text("odd name")
    os.mkfifo(tmp / "fifo", 0o644)
    os.symlink("../etc/params.dat", tmp / "params-link")
    os.symlink("note.txt", tmp / "note-link")
    os.chmod(box.path("/etc/params.dat"), 0o644)  # readable, still a secret
    box.path("/var/sessions.raw").write_bytes(bytes(824))
    os.chmod(box.path("/var/sessions.raw"), 0o644)

    # The listing against lstat, mode strings as ls writes them.
    rows = listing(box, admin, "/tmp")
    for name in os.listdir(tmp):
        st = os.lstat(tmp / name)
        assert rows[name][0] == stat.filemode(st.st_mode), name
        assert int(rows[name][3]) == st.st_size, name
    text = page(box, admin, "/info/dir?/tmp")
    assert "&lt;b&gt;x&amp;y" in text and "<b>x" not in text
    assert 'href="file?/tmp/note.txt"' in text and 'href="file?/tmp/note.txt">note-link' in text
    assert 'href="dir?/"' in text  # the parent
    # An empty query lists "/", and ".." never leaves the root.
    assert "<h3>/</h3>" in page(box, admin, "/info/dir")
    assert "<h3>/</h3>" in page(box, admin, "/info/dir?/../../..")
    assert set(listing(box, admin, "/../..")) == set(os.listdir(box.root))

    assert page(box, admin, "/info/file?/tmp/note.txt") == "hello from the box\n"
    assert page(box, admin, "/info/file?/tmp/../../tmp/note.txt") == "hello from the box\n"
    denied = {p: page(box, admin, "/info/file?" + p).strip() for p in (
        "/etc/params.dat", "/tmp/params-link", "/tmp/fifo", "/var/sessions.raw", "/flash/cert_pkey.pem",
        "/tmp")}
    assert denied == dict.fromkeys(denied, "Access denied"), denied
    assert "No such file" in page(box, admin, "/info/file?/../../etc/hostname-not-here")
    assert box.running()


def test_concurrent_listings_see_their_own_directory(box):
    admin = info_box(box)
    for d in ("a", "b"):
        os.makedirs(box.path(f"/tmp/{d}"))
        for i in range(30):
            (box.path(f"/tmp/{d}") / f"{d}{i:02d}").write_text(d * (i + 1))
    expected = {d: listing(box, admin, f"/tmp/{d}") for d in ("a", "b")}
    assert len(expected["a"]) == 30 and all(r[3] == str(int(n[1:]) + 1) for n, r in expected["a"].items())
    bad = []

    def walk(d):
        for _ in range(15):
            if listing(box, admin, f"/tmp/{d}") != expected[d]:
                bad.append(d)

    threads = [threading.Thread(target=walk, args=(d,)) for d in ("a", "b", "a", "b")]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert bad == []


def test_a_client_that_stops_reading_frees_the_streamer(box):
    """A large file sent to a client that reads nothing more: the streamer's
    write gives up within 60 s and its thread ends."""
    admin = info_box(box)
    big = box.path("/tmp/big.bin")
    # Far more than the pipe and the socket's send buffer, which grows to a
    # few MiB, can hold: the streamer is still writing when the test looks.
    big.write_bytes(os.urandom(32 << 20))
    os.chmod(big, 0o644)

    def stall():
        s = socket.create_connection((box.box_ip, 80), timeout=10)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(f"GET /info/file?/tmp/big.bin HTTP/1.1\r\nHost: x\r\nCookie: {admin}\r\n\r\n".encode())
        s.recv(100)
        return s

    held = in_namespace(box.peer_ns, stall)

    def streamers():
        names = []
        for tid in os.listdir(f"/proc/{box.pid}/task"):
            try:
                names.append(open(f"/proc/{box.pid}/task/{tid}/comm").read().strip())
            except OSError:
                pass
        return names.count("FileStream")

    deadline = time.monotonic() + 20
    while streamers() != 1 and time.monotonic() < deadline:
        time.sleep(0.1)
    assert streamers() == 1
    deadline = time.monotonic() + 100
    while streamers() and time.monotonic() < deadline:
        time.sleep(1)
    assert streamers() == 0
    held.close()
    assert "hello" not in page(box, admin, "/info/file?/tmp/none")  # still serving
