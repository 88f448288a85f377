"""The web server of a running box: answers and their headers over HTTP and
HTTPS, keep-alive, forms that change parameters, multipart bodies, the
language switch, and clients that misbehave (slow, silent, malformed,
oversized, path traversal) while a normal client keeps being served."""

import email.utils
import html.parser
import re
import socket
import ssl
import threading
import time

import pytest

import wevbox
from test_start_stop import BANNER
from test_usb_protocol import in_namespace, start_usb_box


def curl(box, *args, timeout=20):
    return box.peer_exec(["curl", "-s", "-m", "10", *args], timeout=timeout)


def url(box, path, scheme="http"):
    return f"{scheme}://{box.box_ip}{path}"


def started(box):
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    wait_for_web(box)
    return box


def wait_for_web(box, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if curl(box, "-o", "/dev/null", "-w", "%{http_code}", url(box, "/style.css")).stdout == "200":
            return
        time.sleep(0.2)
    raise wevbox.BoxError("the web server does not answer")


def raw(box, data, timeout=5, tls=False, read_all=True):
    """Sends bytes on a fresh connection from the peer side; returns what came
    back until the box closed the connection (or the time-out)."""
    def run():
        s = socket.create_connection((box.box_ip, 80 if not tls else 443), timeout=timeout)
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            ctx.set_ciphers("ALL:@SECLEVEL=0")
            s = ctx.wrap_socket(s)
        with s:
            s.sendall(data)
            chunks = []
            while True:
                try:
                    b = s.recv(65536)
                except (socket.timeout, ConnectionResetError):
                    break
                if not b:
                    break
                chunks.append(b)
                if not read_all:
                    break
            return b"".join(chunks)
    return in_namespace(box.peer_ns, run)


def status_of(reply):
    m = re.match(rb"HTTP/1\.1 (\d{3}) ", reply)
    return int(m.group(1)) if m else None


def read_params(box):
    values = {}
    for line in box.path("/etc/params.dat").read_text().splitlines():
        name, _, value = line.partition("=")
        values[name.strip()] = value.strip()
    return values


@pytest.fixture
def web(box):
    return started(box)


def test_status_codes_headers_and_head(web):
    r = curl(web, "-D-", "-o", "/dev/null", url(web, "/style.css"))
    lines = r.stdout.splitlines()
    assert lines[0] == "HTTP/1.1 200 OK"
    names = [l.split(":")[0] for l in lines[1:] if l]
    assert names == ["Date", "Server", "Connection", "Accept-Charset", "Content-Length", "Last-Modified",
                     "Content-Type"]
    headers = dict(l.split(": ", 1) for l in lines[1:] if l)
    assert headers["Server"] == "Vek HTTP Server"
    assert headers["Content-Type"] == "text/css; charset=UTF-8"
    assert int(headers["Content-Length"]) == web.path("/romfs/templates/style.css").stat().st_size
    assert email.utils.parsedate_to_datetime(headers["Date"]).tzname() == "UTC"

    head = curl(web, "-I", url(web, "/logo.svg")).stdout
    assert head.startswith("HTTP/1.1 200 OK") and "Content-Type: image/svg+xml" in head
    assert curl(web, "-I", "-o", "/dev/null", "-w", "%{size_download}", url(web, "/index.html")).stdout == "0"

    codes = {path: curl(web, "-o", "/dev/null", "-w", "%{http_code}", url(web, path)).stdout
             for path in ("/", "/start.html", "/nothing.html", "/inc/top.html", "/missing.gif")}
    assert codes == {"/": "200", "/start.html": "200", "/nothing.html": "404", "/inc/top.html": "404",
                     "/missing.gif": "404"}
    page = curl(web, url(web, "/start.html")).stdout
    assert "{" not in page.replace("{ ", "")  # no construct left unexpanded
    assert "</html>" in page


def test_error_answers(web):
    bad = raw(web, b"GET / HTTP/1.2\r\n\r\n")
    assert status_of(bad) == 400 and b"Connection: close" in bad
    assert status_of(raw(web, b"PUT / HTTP/1.1\r\n\r\n")) == 501
    assert status_of(raw(web, b"GET /%zz HTTP/1.1\r\n\r\n")) == 400
    assert status_of(raw(web, b"POST /network/snmp.html HTTP/1.1\r\n\r\n")) == 400
    assert status_of(raw(web, b"POST /network/snmp.html HTTP/1.1\r\nContent-Length: -1\r\n\r\n")) == 400
    echo = raw(web, b"GET /no<script>x.html HTTP/1.1\r\n\r\n")
    assert status_of(echo) == 404 and b"<script>" not in echo and b"URL /no was not found" in echo
    # HTTP/0.9: the page alone, no status line and no headers.
    old = raw(web, b"GET /nothing.html\r\n")
    assert old.startswith(b"<HTML><HEAD><TITLE>404 Not Found")
    assert raw(web, b"HEAD /index.html\r\n") == b""
    # A header line without a colon ends the connection without an answer.
    assert raw(web, b"GET / HTTP/1.1\r\nno colon\r\n\r\n") == b""


def test_keep_alive_budget_and_reuse(web):
    r = curl(web, "-v", "-o", "/dev/null", "-o", "/dev/null", "-o", "/dev/null",
             "-H", "Connection: keep-alive", url(web, "/style.css"), url(web, "/index.html"), url(web, "/logo.svg"))
    assert r.stderr.count("Re-using existing connection") == 2, r.stderr
    budgets = re.findall(r"Keep-Alive: timeout=5, max=(\d+)", r.stderr)
    assert budgets == ["15", "14", "13"]
    # After an error answer the socket closes even when keep-alive was asked.
    r = curl(web, "-v", "-o", "/dev/null", "-o", "/dev/null", "-H", "Connection: keep-alive",
             url(web, "/nothing.html"), url(web, "/style.css"))
    assert "Re-using existing connection" not in r.stderr
    assert "Connection: close" in r.stderr


def test_form_post_changes_a_parameter(web):
    r = curl(web, "-D-", "--data", "action=set&sys_name=Lab+%26+Co&sys_contact=%3Cb%3Edesk", url(web, "/network/snmp.html"))
    assert r.stdout.startswith("HTTP/1.1 200 OK")
    assert "Parameters have been changed." in r.stdout
    # The value is shown escaped in the form and the page title.
    assert 'value="Lab &amp; Co"' in r.stdout and 'value="&lt;b&gt;desk"' in r.stdout
    assert "<b>desk" not in r.stdout
    values = read_params(web)
    assert values["sys_name"] == "Lab & Co"
    # Without action=set the form is only shown.
    curl(web, "--data", "sys_name=other", url(web, "/network/snmp.html"))
    assert read_params(web)["sys_name"] == "Lab & Co"


def test_language_from_the_url_is_kept(web):
    page = curl(web, url(web, "/index_de.html")).stdout
    assert '<html lang="de">' in page and "Willkommen" in page and "Weiter" in page
    assert read_params(web)["language"] == "de"
    # Without a language in the URL the box's language holds.
    assert "Willkommen" in curl(web, url(web, "/index.html")).stdout
    redirect = curl(web, "-D-", "-o", "/dev/null", url(web, "/index_en.html")).stdout
    assert "Welcome" in curl(web, url(web, "/")).stdout


def multipart(boundary, name, content, trailer=None):
    head = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"file\"; filename=\"{name}\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n").encode()
    end = trailer if trailer is not None else f"\r\n--{boundary}--\r\n".encode()
    return head + content + end


def post(path, body, boundary, keep=True):
    return (f"POST {path} HTTP/1.1\r\nHost: box\r\n"
            f"Content-Type: multipart/form-data; boundary={boundary}\r\n"
            f"Content-Length: {len(body)}\r\n" + ("Connection: keep-alive\r\n" if keep else "") + "\r\n").encode() + body


def test_multipart_body_is_consumed_exactly(web):
    content = bytes(range(256)) * 200 + b"--notaboundary\r\n"
    body = multipart("XyZ", "data.bin", content)
    # The request after the upload on the same socket is answered: the body
    # was taken to its last byte and nothing of it was read as a request.
    reply = raw(web, post("/network/snmp.html", body, "XyZ") + b"GET /style.css HTTP/1.1\r\n\r\n")
    assert reply.count(b"HTTP/1.1 200 OK") == 2, reply[:300]
    assert b"text/css" in reply
    # A body that does not end in the closing delimiter is refused.
    bad = multipart("XyZ", "data.bin", content, trailer=b"\r\n--XyZ-\r\n\r\n")
    assert status_of(raw(web, post("/network/snmp.html", bad, "XyZ", keep=False))) == 400


def test_paths_never_leave_the_template_tree(web):
    web.path("/romfs/secret.txt").write_text("not for the web\n")
    for path in ("/../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E/%2e%2e/etc/params.dat", "/..",
                 "/templates/../secret.txt", "/a/..%2f..%2fsecret.txt", "//..//..//etc/params.dat"):
        r = raw(web, f"GET {path} HTTP/1.1\r\n\r\n".encode())
        assert b"not for the web" not in r and b"sys_name" not in r, path
        assert status_of(r) in (200, 400, 404), path
        if status_of(r) == 200:  # a cleaned path that names a page of the tree
            assert b"<!DOCTYPE html>" in r, path


def test_oversized_heads_and_bodies(web):
    # A head that fills the input buffer ends without an answer.
    assert raw(web, b"GET / HTTP/1.1\r\nX: " + b"a" * 9000 + b"\r\n\r\n") == b""
    long_url = b"/" + b"a" * 2048
    assert status_of(raw(web, b"GET " + long_url + b" HTTP/1.1\r\n\r\n")) == 400
    form = b"action=set&sys_name=" + b"x" * 9000
    r = raw(web, b"POST /network/snmp.html HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(form) + form)
    assert status_of(r) == 400
    huge = raw(web, b"POST /network/snmp.html HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n")
    assert status_of(huge) == 400


def test_https_and_a_silent_tls_client(web):
    web.wait_for_key_pair()
    r = curl(web, "-k", "--ciphers", "DEFAULT:@SECLEVEL=0", "-D-", "-o", "/dev/null", url(web, "/index.html", "https"))
    assert r.stdout.startswith("HTTP/1.1 200 OK"), r.stdout + r.stderr
    page = raw(web, b"GET /style.css HTTP/1.1\r\n\r\n", tls=True)
    assert status_of(page) == 200

    # Clients that open the TLS port and say nothing hold only their own
    # tasks: plain and TLS clients are answered meanwhile.
    def silent():
        socks = [socket.create_connection((web.box_ip, 443), timeout=5) for _ in range(5)]
        return socks
    socks = in_namespace(web.peer_ns, silent)
    try:
        t0 = time.monotonic()
        assert curl(web, "-o", "/dev/null", "-w", "%{http_code}", url(web, "/style.css")).stdout == "200"
        assert curl(web, "-k", "--ciphers", "DEFAULT:@SECLEVEL=0", "-o", "/dev/null", "-w", "%{http_code}",
                    url(web, "/style.css", "https")).stdout == "200"
        assert time.monotonic() - t0 < 5
    finally:
        for s in socks:
            s.close()


def test_slow_clients_cannot_lock_others_out(web):
    """500 clients that send their head a byte at a time while a normal client
    keeps asking; each of its answers comes within a second."""
    stop = threading.Event()
    opened = []

    def slow_clients():
        socks = []
        for _ in range(500):
            try:
                s = socket.create_connection((web.box_ip, 80), timeout=2)
                s.setblocking(False)
                s.send(b"G")
                socks.append(s)
            except OSError:
                pass
        opened.append(len(socks))
        return socks

    socks = in_namespace(web.peer_ns, slow_clients)

    def dribble():
        while not stop.is_set():
            for s in socks:
                try:
                    s.send(b"E")
                except OSError:
                    pass
            stop.wait(1)

    t = threading.Thread(target=dribble, daemon=True)
    t.start()
    try:
        assert opened[0] > 400
        for _ in range(5):
            r = curl(web, "-m", "1", "-o", "/dev/null", "-w", "%{http_code} %{time_total}", url(web, "/style.css"))
            code, took = r.stdout.split()
            assert code == "200" and float(took) < 1.0, r.stdout
        # Malformed heads meanwhile get their answers too.
        assert status_of(raw(web, b"BREW / HTTP/1.1\r\n\r\n")) == 501
    finally:
        stop.set()
        t.join(5)
        for s in socks:
            s.close()
    # The box is still whole afterwards.
    assert curl(web, "-o", "/dev/null", "-w", "%{http_code}", url(web, "/start.html")).stdout == "200"


def test_port_table_shows_the_simulated_devices(box):
    start_usb_box(box, plugs=["loopback port=1", "keyboard port=3"])
    wait_for_web(box)
    page = curl(box, url(box, "/start.html")).stdout
    rows = re.findall(r'<tr><td class="num">(\d+)</td><td><span class="state (\w+)">', page)
    states = dict(rows)
    assert states["1"] == "present" and states["3"] == "present" and states["2"] == "empty", rows
    assert len(rows) == 4


class PageChecker(html.parser.HTMLParser):
    """Collects unbalanced tags of a page (void elements excepted)."""
    VOID = {"meta", "link", "img", "input", "br", "hr", "source", "wbr", "area", "base", "col", "embed", "track"}

    def __init__(self):
        super().__init__()
        self.stack = []
        self.problems = []

    def handle_starttag(self, tag, attrs):
        if tag not in self.VOID:
            self.stack.append(tag)

    def handle_endtag(self, tag):
        if tag in self.VOID:
            return
        if not self.stack or self.stack[-1] != tag:
            self.problems.append(f"</{tag}> closes {self.stack[-1:] or 'nothing'}")
            if tag in self.stack:
                while self.stack.pop() != tag:
                    pass
            return
        self.stack.pop()


def test_every_page_is_whole_html(web):
    for lang in ("en", "de"):
        for path in ("/index", "/start", "/sitemap", "/contact", "/network/snmp"):
            page = curl(web, url(web, f"{path}_{lang}.html")).stdout
            leftover = re.findall(r"\{[^}\s]*\}", page)
            assert not leftover, (path, leftover)
            checker = PageChecker()
            checker.feed(page)
            checker.close()
            assert not checker.problems and not checker.stack, (path, lang, checker.problems, checker.stack)


def test_plain_http_refused_leads_to_https(box):
    box.write_params({"http_allowed": "off"})
    started(box)
    deadline = time.monotonic() + 60
    while not box.path("/flash/cert_pkey.pem").exists() and time.monotonic() < deadline:
        time.sleep(0.2)
    page = curl(box, "-H", "Host: box.example", url(box, "/start_de.html")).stdout
    assert '<meta http-equiv="refresh" content="3; url=https://box.example/start_de.html"/>' in page, page[:600]
    assert "sichere Verbindung" in page
    secure = curl(box, "-k", "--ciphers", "DEFAULT:@SECLEVEL=0", url(box, "/start.html", "https")).stdout
    assert "USB ports" in secure or "USB-Ports" in secure


def test_pages_behind_a_login_redirect_to_the_welcome_page(box):
    box.write_params({"sessKeys": "on"})
    started(box)
    head = curl(box, "-D-", "-o", "/dev/null", url(box, "/start.html")).stdout
    assert head.startswith("HTTP/1.1 302 Moved Temporarily")
    assert "Location: /index_en.html" in head and "Connection: close" in head
    head = curl(box, "-D-", "-o", "/dev/null", "-b", "SessKey=AAAAAAAAAAAAAAAA", url(box, "/sitemap_de.html")).stdout
    assert "Location: /index_de.html" in head
    # Open pages and files stay open.
    assert curl(box, "-o", "/dev/null", "-w", "%{http_code}", url(box, "/index.html")).stdout == "200"
    assert curl(box, "-o", "/dev/null", "-w", "%{http_code}", url(box, "/logo.svg")).stdout == "200"
    assert "Log in" in curl(box, url(box, "/index_en.html")).stdout
