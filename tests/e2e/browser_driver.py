"""Debian's chromium, headless, as the whole-program tests drive it: in the
peer namespace with a fresh profile, over the DevTools protocol on a pipe
(--remote-debugging-pipe: commands in on fd 3, answers and events out on
fd 4, each a JSON text ended by a NUL byte).

    browser = Browser(box, box.workdir)
    html = browser.dom(f"http://{box.box_ip}/start.html")
    browser.screenshot(f"http://{box.box_ip}/start.html", "02-ports")
    browser.cookie = web_login.login(box)          # the pages behind a login
    answer = browser.dom(browser.form_page("set", url, {"action": "set", ...}))

Each call starts its own chromium and closes it again, whatever happens, so
no call sees another's cookies and no chromium outlives its test. Nothing
waits on a timer: a call waits, with a deadline in real time, until the page
has loaded (for a local form page: until the box's answer has), and fails
saying what it waited for and what the page showed. Timers inside the pages
run in real time too, so a loaded box answering slowly is only slow."""

import base64
import fcntl
import html
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import wevbox

SHOTS = Path(os.environ.get("WEV_SCREENSHOTS", wevbox.REPO / "out" / "screenshots"))
CHROMIUM = shutil.which("chromium")

# Seconds; generous, since the box may be a sanitizer build on a busy machine.
START_TIMEOUT = 60
LOAD_TIMEOUT = 60
CLOSE_TIMEOUT = 10

# A page that reloads itself (a wait page) carries a refresh; its end does not.
NOT_WAITING = "!document.querySelector('meta[http-equiv=\"refresh\" i]')"


class BrowserError(Exception):
    pass


class Chromium:
    """One chromium process and its protocol pipe; close() ends it and every
    process it started, and removes its profile."""

    def __init__(self, peer_ns, workdir, size):
        self.profile = tempfile.mkdtemp(dir=workdir, prefix="profile-")
        self.log = Path(self.profile) / "chromium.log"
        commands, self._commands = _pipe_far_from_stdio()
        self._answers, answers = _pipe_far_from_stdio()
        argv = ["ip", "netns", "exec", peer_ns, CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                "--no-first-run", "--disable-background-networking", "--disable-dev-shm-usage",
                "--hide-scrollbars", "--disable-popup-blocking", f"--user-data-dir={self.profile}",
                f"--window-size={size[0]},{size[1]}", "--remote-debugging-pipe", "about:blank"]
        # The shell puts the pipe's ends where chromium looks for them.
        shell = f'exec "$@" 3<&{commands} 4>&{answers} {commands}<&- {answers}>&-'
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(["bash", "-c", shell, "bash", *argv], stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=log, pass_fds=(commands, answers),
                                            start_new_session=True)
        os.close(commands)
        os.close(answers)
        self._buffer = b""
        self._next_id = 0
        self.events = []
        self.session = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.process.poll() is None:
            try:
                self._send("Browser.close", {}, None)
            except OSError:
                pass
            try:
                self.process.wait(timeout=CLOSE_TIMEOUT)
            except subprocess.TimeoutExpired:
                pass
        # Its renderers and helpers share its process group; none stays behind.
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        for fd in (self._commands, self._answers):
            try:
                os.close(fd)
            except OSError:
                pass
        self._commands = self._answers = -1
        shutil.rmtree(self.profile, ignore_errors=True)

    def stderr_tail(self):
        try:
            return self.log.read_text(errors="replace")[-2000:]
        except OSError:
            return ""

    # The protocol.

    def _send(self, method, params, session):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self._commands, data):]
        return self._next_id

    def _receive(self, deadline):
        """The next message, or None once the deadline has passed."""
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self._answers], [], [], left)
            if not ready:
                return None
            chunk = os.read(self._answers, 1 << 16)
            if not chunk:
                raise BrowserError(f"chromium ended (exit {self.process.poll()}): {self.stderr_tail()}")
            self._buffer += chunk
        text, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(text)

    def call(self, method, params=None, timeout=LOAD_TIMEOUT, session=True):
        """Sends a command (to the page unless session is False) and returns
        its result; a protocol error or no answer in time is a BrowserError."""
        sent = self._send(method, params or {}, self.session if session else None)
        deadline = time.monotonic() + timeout
        while True:
            message = self._receive(deadline)
            if message is None:
                raise BrowserError(f"no answer to {method} within {timeout} s")
            if message.get("id") == sent:
                if "error" in message:
                    raise BrowserError(f"{method} failed: {message['error']}")
                return message.get("result", {})
            if "method" in message:
                self.events.append(message)

    def open_page(self, size):
        """Attaches to the window chromium opened, sized as asked."""
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            targets = self.call("Target.getTargets", timeout=START_TIMEOUT, session=False)["targetInfos"]
            pages = [t for t in targets if t["type"] == "page"]
            if pages:
                break
            if time.monotonic() > deadline:
                raise BrowserError(f"chromium opened no page: {targets}")
            time.sleep(0.1)
        self.session = self.call("Target.attachToTarget", {"targetId": pages[0]["targetId"], "flatten": True},
                                 session=False)["sessionId"]
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": size[0], "height": size[1], "deviceScaleFactor": 1, "mobile": False})

    def evaluate(self, expression, timeout=LOAD_TIMEOUT):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, timeout=timeout)
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression} threw: {result['exceptionDetails']}")
        return result["result"].get("value")

    def navigate(self, url):
        answer = self.call("Page.navigate", {"url": url})
        if answer.get("errorText"):
            raise BrowserError(f"loading {url} failed: {answer['errorText']}")

    def wait_until(self, what, condition, timeout=LOAD_TIMEOUT):
        """Waits until the page has loaded and the JavaScript condition holds;
        a page whose load failed ends the wait at once."""
        probe = ("JSON.stringify([location.href, document.readyState, "
                 f"document.readyState === 'complete' && document.fonts.status === 'loaded' && ({condition}), "
                 "document.body ? document.body.innerText.slice(0, 600) : ''])")
        deadline = time.monotonic() + timeout
        seen = ("(nothing yet)", "", False, "")
        while True:
            try:
                seen = json.loads(self.evaluate(probe, timeout=max(0.1, min(10, deadline - time.monotonic()))))
            except BrowserError as e:
                # A navigation between probes destroys the page's context:
                # the next probe asks the new page.
                if "chromium ended" in str(e):
                    raise
            else:
                href, ready, met, text = seen
                if href.startswith("chrome-error:"):
                    raise BrowserError(f"waiting for {what}, the page failed to load: {text!r}")
                if met:
                    return
            if time.monotonic() > deadline:
                href, ready, _, text = seen
                raise BrowserError(f"waited {timeout} s for {what}; the page at {href} ({ready}) showed: {text!r}")
            time.sleep(0.1)

    def screenshot(self):
        return base64.b64decode(self.call("Page.captureScreenshot", {"format": "png"})["data"])


def _pipe_far_from_stdio():
    """A pipe whose ends are above the numbers 3 and 4 chromium needs."""
    ends = []
    for fd in os.pipe():
        ends.append(fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10))
        os.close(fd)
    return ends


class Browser:
    """Visits the pages of box from its peer namespace; cookie (as
    web_login.login() gives it) logs every visit in."""

    def __init__(self, box, workdir, cookie=None):
        self.box = box
        self.workdir = Path(workdir)
        self.cookie = cookie

    def visit(self, url, then, size=(1280, 860), until=None, ignore_certificate_errors=False, timeout=LOAD_TIMEOUT):
        """Loads url in a new chromium and returns then(chromium). A local
        page (file:) is one that sends a form or goes on by itself: the wait
        is for the page it leads to. until is a further JavaScript condition
        the page must meet, waited for as well (e.g. NOT_WAITING)."""
        with Chromium(self.box.peer_ns, self.workdir, size) as chromium:
            chromium.open_page(size)
            if ignore_certificate_errors:
                chromium.call("Security.setIgnoreCertificateErrors", {"ignore": True}, session=False)
            if self.cookie:
                name, value = self.cookie.split("=", 1)
                chromium.call("Network.setCookie", {"name": name, "value": value, "url": f"http://{self.box.box_ip}/"})
            chromium.navigate(url)
            local = url.startswith("file:")
            condition = "!location.href.startsWith('file:')" if local else "location.href !== 'about:blank'"
            what = f"the answer to {url}" if local else f"{url} to load"
            if until:
                condition = f"{condition} && ({until})"
                what += f" and {until}"
            chromium.wait_until(what, condition, timeout)
            return then(chromium)

    def dom(self, url, **options):
        return self.visit(url, lambda c: c.evaluate("document.documentElement.outerHTML"), **options)

    def screenshot(self, url, name, size=(1280, 860), **options):
        SHOTS.mkdir(parents=True, exist_ok=True)
        path = SHOTS / f"{name}.png"
        path.unlink(missing_ok=True)
        path.write_bytes(self.visit(url, Chromium.screenshot, size=size, **options))
        assert path.stat().st_size > 5000, f"{path}: {path.stat().st_size} bytes"
        return path

    def form_page(self, name, action, fields):
        """A local page whose form sends fields (name, value pairs or a dict)
        to action as it loads; its URL, for dom() or screenshot()."""
        pairs = fields.items() if isinstance(fields, dict) else fields
        inputs = "".join(f'<input name="{html.escape(k)}" value="{html.escape(v)}">' for k, v in pairs)
        return self.local_page(name, f'<form method="post" action="{html.escape(action)}">{inputs}</form>'
                                     "<script>document.forms[0].submit()</script>")

    def local_page(self, name, body):
        """A page of the test's own, readable by all whoever chromium runs as."""
        page = self.workdir / (name if name.endswith(".html") else name + ".html")
        page.write_text(f"<!DOCTYPE html><html><body>{body}</body></html>")
        os.chmod(self.workdir, 0o755)
        os.chmod(page, 0o644)
        return page.as_uri()
