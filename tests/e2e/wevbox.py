"""A box for whole-program tests: the real program in its own root directory
and its own pair of network namespaces.

    box = Box(product_id=353)             # root made, namespaces up, not started
    box.write_params({"zyt_port": 9300})   # edit the root before the start
    box.start(kickoff=3)
    m = box.wait_for_stderr(r"KickOff:(-?\\d+)", timeout=20)
    box.send_signal(signal.SIGTERM)
    assert box.wait_exit(6) == 0
    box.close()                            # always: ends the program, removes it all

Every wait is bounded and raises BoxError with the end of the program's
output when what it waits for does not come.
"""

import atexit
import codecs
import os
import stat
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
TOOLS = REPO / "tools"
DEFAULT_BINARY = REPO / "build" / "src" / "qmrthreads" / "wev" / "wev"
# A relative WEV_BIN names a file from where the tests were started; the
# program itself runs in its box's work directory.
START_DIR = Path.cwd()

# Namespaces of these tests are named NS_PREFIX + <pid of the test run> + "n" + <seq>,
# so a later run can tell which ones a dead run left behind.
NS_PREFIX = "wevt"
_STALE_NS = re.compile(r"^" + NS_PREFIX + r"(\d+)n\d+$")

READ_CHUNK = 4096
TAIL_CHARS = 4000


# The first line of a report of AddressSanitizer, LeakSanitizer,
# UndefinedBehaviorSanitizer or ThreadSanitizer.
SANITIZER_MARKS = ("runtime error:", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                   "WARNING: ThreadSanitizer", "SUMMARY: UndefinedBehaviorSanitizer")

_sanitizer_builds = {}


def is_sanitizer_build(binary):
    """Whether the program binary was built with a sanitizer (it then holds
    the sanitizer's run-time entry points)."""
    key = str(binary)
    if key not in _sanitizer_builds:
        try:
            with open(binary, "rb") as f:
                data = f.read()
            _sanitizer_builds[key] = b"__asan_init" in data or b"__tsan_init" in data
        except OSError:
            _sanitizer_builds[key] = False
    return _sanitizer_builds[key]



def end_process(proc, term_timeout=10):
    """Ends a program a test started (the box or a peer daemon): SIGTERM,
    then SIGKILL when it has not ended after term_timeout seconds. Nothing
    happens when it has ended already."""
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout=term_timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=10)

class BoxError(AssertionError):
    """A wait of the box ran out, or the harness could not do its part."""


def binary_path():
    """The program under test: $WEV_BIN (a relative path taken from the
    directory the tests started in), else the normal build's binary."""
    given = os.environ.get("WEV_BIN")
    return START_DIR / given if given else DEFAULT_BINARY


def _run(cmd, timeout, check=True):
    try:
        result = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        raise BoxError(f"{' '.join(map(str, cmd))} did not finish within {timeout} s") from e
    if check and result.returncode != 0:
        raise BoxError(f"{' '.join(map(str, cmd))} failed ({result.returncode}): "
                       f"{result.stderr.strip()}")
    return result


def _netns(*args, timeout=30, check=True):
    return _run([str(TOOLS / "netns.sh"), *args], timeout, check)


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def sweep_stale_namespaces():
    """Removes the namespace pairs of test runs whose process is gone."""
    listing = _run(["ip", "netns", "list"], 10, check=False).stdout
    for line in listing.splitlines():
        name = line.split()[0] if line.split() else ""
        m = _STALE_NS.match(name)
        if m and not _pid_alive(int(m.group(1))):
            _netns("down", name, check=False)


class _OutputCapture:
    """Copies one output stream of the program into a file and keeps its text
    for waits. Reads are bounded by READ_CHUNK."""

    def __init__(self, stream, path):
        self._stream = stream
        self._file = open(path, "wb")
        self._decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        self._text = ""
        self._eof = False
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._pump, daemon=True,
                                        name=f"capture {path.name}")
        self._thread.start()

    def _pump(self):
        fd = self._stream.fileno()
        while True:
            try:
                chunk = os.read(fd, READ_CHUNK)
            except OSError:
                chunk = b""
            if chunk:
                self._file.write(chunk)
                self._file.flush()
            with self._cond:
                if chunk:
                    self._text += self._decoder.decode(chunk)
                else:
                    self._text += self._decoder.decode(b"", final=True)
                    self._eof = True
                self._cond.notify_all()
            if not chunk:
                break
        self._file.close()
        self._stream.close()

    @property
    def text(self):
        with self._cond:
            return self._text

    def tail(self, chars=TAIL_CHARS):
        return self.text[-chars:]

    def wait_for(self, pattern, timeout, start=0):
        """The first match of pattern at or after position start; waits at most
        timeout seconds. Raises BoxError when the stream ends or time runs out."""
        regex = re.compile(pattern) if isinstance(pattern, str) else pattern
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                m = regex.search(self._text, start)
                if m:
                    return m
                if self._eof:
                    return None
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError
                self._cond.wait(left)

    def join(self, timeout):
        self._thread.join(timeout)
        return not self._thread.is_alive()


_live_boxes = set()
_live_lock = threading.RLock()
_handlers_installed = False


def _close_all_boxes():
    with _live_lock:
        boxes = list(_live_boxes)
    for box in boxes:
        box.close()


def _on_fatal_signal(signum, frame):
    _close_all_boxes()
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


def _install_cleanup_handlers():
    """Namespaces and programs must not outlive the test run, whichever way it ends."""
    global _handlers_installed
    if _handlers_installed:
        return
    _handlers_installed = True
    atexit.register(_close_all_boxes)
    if threading.current_thread() is threading.main_thread():
        for sig in (signal.SIGTERM, signal.SIGHUP):
            if signal.getsignal(sig) in (signal.SIG_DFL, None):
                signal.signal(sig, _on_fatal_signal)


_seq = 0
_seq_lock = threading.Lock()


def _next_ns_name():
    global _seq
    with _seq_lock:
        _seq += 1
        return f"{NS_PREFIX}{os.getpid()}n{_seq}"


class Box:
    """One box: a fresh root (tools/mkroot.sh), a namespace pair (tools/netns.sh)
    and, after start(), the running program.

    product_id, board, ports, compat_id and serial go to mkroot.sh; mkroot_args
    adds further options. With static_ip (default) the root's parameter file
    gives the box the address netns.sh planned for it and switches DHCP and
    BOOTP off; pass static_ip=False to let the program find its address.
    """

    def __init__(self, product_id=None, board=None, ports=None, compat_id=None,
                 serial=None, mkroot_args=(), static_ip=True, binary=None):
        _install_cleanup_handlers()
        self.binary = START_DIR / binary if binary else binary_path()
        self.proc = None
        self._stdout = None
        self._stderr = None
        self._closed = False
        self.ns = None
        self.workdir = Path(tempfile.mkdtemp(prefix=f"wev-e2e-{os.getpid()}-"))
        self.root = self.workdir / "root"
        with _live_lock:
            _live_boxes.add(self)
        try:
            self._make_root(product_id, board, ports, compat_id, serial, mkroot_args)
            self._make_namespaces()
            if static_ip:
                self.write_params({"ip_addr": self.box_ip, "ip_mask": "255.255.255.0",
                                   "ip_dhcp": "off", "ip_bootp": "off"})
        except BaseException:
            self.close()
            raise

    # -- set-up ------------------------------------------------------------

    def _make_root(self, product_id, board, ports, compat_id, serial, extra):
        args = []
        for option, value in (("--product-id", product_id), ("--board", board),
                              ("--ports", ports), ("--compat-id", compat_id),
                              ("--serial", serial)):
            if value is not None:
                args += [option, str(value)]
        _run([str(TOOLS / "mkroot.sh"), str(self.root), *args, *map(str, extra)], 120)

    def _make_namespaces(self):
        name = _next_ns_name()
        info = _netns("up", name).stdout
        self.ns = name
        facts = dict(line.split("=", 1) for line in info.split() if "=" in line)
        self.peer_ns = facts["PEER_NS"]
        self.box_ip = facts["BOX_IP4"]
        self.peer_ip = facts["PEER_IP4"]
        self.peer_if = facts["PEER_IF"]

    def path(self, box_path):
        """Where a path of the box ("/etc/params.dat") lies in this root."""
        return self.root / str(box_path).lstrip("/")

    def write_params(self, params):
        """Sets parameters in the root's /etc/params.dat before the start:
        lines of the named parameters are replaced, others kept."""
        path = self.path("/etc/params.dat")
        lines = path.read_text().splitlines() if path.exists() else []
        names = set(params)
        kept = [ln for ln in lines if ln.split("=", 1)[0].strip() not in names]
        for name, value in params.items():
            text = str(value)
            if "\n" in text or "\r" in text:
                raise ValueError(f"parameter {name}: a value cannot hold a line end")
            kept.append(f"{name} = {text}")
        path.write_text("".join(ln + "\n" for ln in kept))
        os.chmod(path, 0o600)

    # -- the simulated board -----------------------------------------------

    def board_state(self):
        """The simulated board's outputs (dev/gpio.sim/state) as a dict of
        texts; empty while the board was never opened."""
        path = self.path("/dev/gpio.sim/state")
        if not path.exists():
            return {}
        return dict(line.split("=", 1) for line in path.read_text().splitlines() if "=" in line)

    def set_board_input(self, name, value):
        """Sets one of the simulated board's inputs (supply, card, ...)."""
        path = self.path("/dev/gpio.sim/" + name)
        path.parent.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(".tmp")
        tmp.write_text(f"{value}\n")
        tmp.replace(path)

    def press_button(self, number, long_press, timeout=30):
        """Presses a button of the simulated board once the program listens
        on it: a long press writes "1", a short one "0"."""
        fifo = self.path(f"/dev/button{number}")
        deadline = time.monotonic() + timeout
        while not (fifo.exists() and stat.S_ISFIFO(fifo.stat().st_mode)):
            if time.monotonic() > deadline:
                raise BoxError(f"{fifo} did not appear within {timeout} s")
            time.sleep(0.05)
        fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, b"1" if long_press else b"0")
        finally:
            os.close(fd)

    def wait_board(self, predicate, timeout=10):
        """Waits until predicate(board_state()) is true; returns the state."""
        deadline = time.monotonic() + timeout
        while True:
            state = self.board_state()
            if predicate(state):
                return state
            if time.monotonic() > deadline:
                raise BoxError(f"the board did not reach the awaited state within {timeout} s: {state}")
            time.sleep(0.05)

    # -- the program -------------------------------------------------------

    def start(self, kickoff=0, args=(), env=None):
        """Starts the program in the box namespace. kickoff None leaves the
        variable KickOff out of its environment."""
        if self.proc is not None and self.proc.poll() is None:
            raise BoxError("the program of this box is still running")
        if not self.binary.is_file():
            raise BoxError(f"program {self.binary} not found: build it with tools/build.sh")
        program_env = {k: v for k, v in os.environ.items() if k not in ("KickOff", "WEV_ROOT")}
        program_env["WEV_ROOT"] = str(self.root)
        if kickoff is not None:
            program_env["KickOff"] = str(kickoff)
        program_env.update(env or {})
        # "ip netns exec" replaces itself with the program: the pid is the program's.
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", self.ns, str(self.binary), *map(str, args)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=program_env, cwd=self.workdir, start_new_session=True)
        self._stdout = _OutputCapture(self.proc.stdout, self.workdir / "stdout.log")
        self._stderr = _OutputCapture(self.proc.stderr, self.workdir / "stderr.log")
        return self

    def _require_started(self):
        if self.proc is None:
            raise BoxError("the box has not been started")

    @property
    def pid(self):
        self._require_started()
        return self.proc.pid

    @property
    def stderr(self):
        return self._stderr.text if self._stderr else ""

    @property
    def stdout(self):
        return self._stdout.text if self._stdout else ""

    def _wait_for(self, capture, what, pattern, timeout, start):
        self._require_started()
        try:
            m = capture.wait_for(pattern, timeout, start)
        except TimeoutError:
            raise BoxError(f"{what}: no match for {pattern!r} within {timeout} s; "
                           f"{self._state()}\n--- {what} ---\n{capture.tail()}") from None
        if m is None:
            raise BoxError(f"{what} ended ({self._state()}) without a match for {pattern!r}"
                           f"\n--- {what} ---\n{capture.tail()}")
        return m

    def wait_for_key_pair(self, timeout=60):
        """The first start generates the box's key and certificate in the
        background (each written whole, then renamed into place); the
        paths of both once they are there."""
        key, cert = self.path("/flash/cert_pkey.pem"), self.path("/flash/cert_srv.pem")
        deadline = time.monotonic() + timeout
        while not all(p.exists() and p.stat().st_size > 0 for p in (key, cert)):
            if time.monotonic() > deadline:
                raise BoxError(f"the box generated no key pair in {timeout} s")
            time.sleep(0.2)
        return key, cert

    def wait_for_stderr(self, pattern, timeout=10, start=0):
        """The first match of the regular expression in the program's standard
        error at or after position start (pass a previous match's end() to look
        only at what came after it)."""
        return self._wait_for(self._stderr, "stderr", pattern, timeout, start)

    def wait_for_stdout(self, pattern, timeout=10, start=0):
        return self._wait_for(self._stdout, "stdout", pattern, timeout, start)

    def _state(self):
        code = self.proc.poll()
        return "the program is running" if code is None else f"the program exited with {code}"

    def send_signal(self, sig):
        self._require_started()
        if self.proc.poll() is not None:
            raise BoxError(f"cannot send signal {sig}: {self._state()}")
        self.proc.send_signal(sig)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_exit(self, timeout):
        """The program's exit code (negative: the signal that ended it) once it
        has ended, at most timeout seconds from now; its output is complete then."""
        self._require_started()
        try:
            code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise BoxError(f"the program did not exit within {timeout} s"
                           f"\n--- stderr ---\n{self._stderr.tail()}") from None
        self._stdout.join(5)
        self._stderr.join(5)
        return code

    # -- commands in the namespaces -----------------------------------------

    def _exec_in(self, ns, cmd, timeout, check):
        argv = ["sh", "-c", cmd] if isinstance(cmd, str) else [str(c) for c in cmd]
        return _run(["ip", "netns", "exec", ns, *argv], timeout, check)

    def box_exec(self, cmd, timeout=30, check=False):
        """Runs a command (argument list, or a string for sh -c) in the box's
        namespace; returns the CompletedProcess with text output."""
        return self._exec_in(self.ns, cmd, timeout, check)

    def peer_exec(self, cmd, timeout=30, check=False):
        """The same in the peer namespace, where clients of the box run."""
        return self._exec_in(self.peer_ns, cmd, timeout, check)

    # -- teardown ----------------------------------------------------------

    def stop_program(self, term_timeout=10):
        """SIGTERM, then SIGKILL when it has not ended after term_timeout seconds."""
        if self.proc is not None:
            end_process(self.proc, term_timeout)

    def sanitizer_report(self):
        """The first sanitizer report on the program's standard error (leaks
        are checked when a sanitizer build ends by itself), or None."""
        text = self.stderr
        found = [text.find(m) for m in SANITIZER_MARKS if m in text]
        return text[max(0, min(found) - 200):][:4000] if found else None

    def close(self, keep_files=False):
        """Ends the program, removes the namespaces and (unless keep_files or
        WEV_E2E_KEEP=1) the root. Safe to call more than once. A sanitizer
        build is stopped as a box is (SIGTERM), so that its leak check runs."""
        if self._closed:
            return
        self._closed = True
        try:
            if self.proc is not None and self.proc.poll() is None:
                if is_sanitizer_build(self.binary):
                    self.stop_program(term_timeout=15)
                else:
                    self.proc.kill()
                    self.proc.wait(timeout=10)
            for capture in (self._stdout, self._stderr):
                if capture:
                    capture.join(5)
        finally:
            try:
                if self.ns:
                    _netns("down", self.ns, check=False)
            finally:
                with _live_lock:
                    _live_boxes.discard(self)
                if not (keep_files or os.environ.get("WEV_E2E_KEEP") == "1"):
                    shutil.rmtree(self.workdir, ignore_errors=True)
