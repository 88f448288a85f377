"""The real-USB test guest: a small Linux under QEMU whose kernel sees emulated
USB devices (a stick, a keyboard, a tablet, an FTDI serial adapter) through
real xHCI, sysfs and usbfs, with the program inside it.

    image = prepare_image(binary, workdir)   # tools/guest/setup.sh + build-initramfs.sh
    guest = Guest(image, workdir).boot()
    guest.command("wev-start", 0)
    guest.wait_console(r"Master running on", timeout=120)
    usb = guest.wait_usb(lambda s: "1-2" in s.devices, "the keyboard", timeout=60)
    guest.qmp.execute("device_del", id="kbd")
    guest.command("wev-stop")                # ["wev exit=0"]
    guest.power_off()
    guest.close()                            # always

prepare_image raises GuestUnavailable when this machine cannot provide QEMU or
the guest kernel (tools/install-deps.sh fetches it); tests turn that into a skip, never a pass. Every wait is
bounded and raises BoxError with the end of the console when it runs out.
Software emulation is slow and its speed varies between machines: the limits
are generous, and no test depends on how fast the guest is.
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

from wevbox import REPO, BoxError, _OutputCapture

GUEST_TOOLS = REPO / "tools" / "guest"
# setup.sh's exit code for "this machine cannot provide QEMU or the kernel".
EXIT_UNAVAILABLE = 77
SETUP_TIMEOUT = 900
BUILD_TIMEOUT = 300
VM_TIME_LIMIT = 900
BOOT_TIMEOUT = 120
COMMAND_TIMEOUT = 60
BOOT_ATTEMPTS = 3
QMP_MAX_LINE = 1 << 20
READY = re.compile(r"(?m)^@@ ready ")
PORT_TAKEN = "Could not set up host forwarding"


class GuestUnavailable(Exception):
    """This machine cannot run the guest (no QEMU, no kernel to be had)."""


def _tail(text, lines=15):
    return "\n".join(text.strip().splitlines()[-lines:])


def _run_tool(argv, timeout):
    try:
        return subprocess.run([str(a) for a in argv], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise BoxError(f"{argv[0]} did not finish within {timeout} s") from None


def prepare_image(binary, workdir):
    """Runs setup.sh (checks QEMU and the kernel that the install step
    fetched; nothing is downloaded) and builds an initramfs holding binary.
    Returns the initramfs path."""
    setup = _run_tool([GUEST_TOOLS / "setup.sh"], SETUP_TIMEOUT)
    if setup.returncode == EXIT_UNAVAILABLE:
        raise GuestUnavailable(_tail(setup.stderr, 1) or "setup.sh: guest unavailable")
    if setup.returncode != 0:
        raise BoxError(f"tools/guest/setup.sh failed ({setup.returncode}):\n{_tail(setup.stderr)}")
    image = Path(workdir) / "initramfs.cpio.gz"
    build = _run_tool([GUEST_TOOLS / "build-initramfs.sh", "--wev", binary, "--out", image],
                      BUILD_TIMEOUT)
    if build.returncode != 0:
        raise BoxError(f"tools/guest/build-initramfs.sh failed ({build.returncode}):\n"
                       f"{_tail(build.stderr)}")
    return image


# -- what the guest's sysfs shows ------------------------------------------------

def _fields(text):
    """'dev\\tname=1-2\\tidVendor=0627...' -> ('dev', {'name': '1-2', ...})"""
    kind, *pairs = text.split("\t")
    values = {}
    for pair in pairs:
        key, _, value = pair.partition("=")
        values[key] = value
    return kind, values


@dataclass
class UsbSnapshot:
    """One usb-dump of the guest: devices and interfaces by their sysfs name,
    and the usbfs device nodes that exist."""
    devices: dict = field(default_factory=dict)
    interfaces: dict = field(default_factory=dict)
    nodes: set = field(default_factory=set)

    @classmethod
    def parse(cls, lines):
        snapshot = cls()
        for line in lines:
            kind, values = _fields(line)
            if kind == "dev":
                snapshot.devices[values["name"]] = values
            elif kind == "if":
                snapshot.interfaces[values["name"]] = values
            elif kind == "node":
                snapshot.nodes.add(values["path"])
            else:
                raise BoxError(f"usb-dump: unexpected line {line!r}")
        return snapshot

    def plugged(self):
        """The devices other than the controllers' root hubs."""
        return {name: d for name, d in self.devices.items() if not name.startswith("usb")}

    def interfaces_of(self, device):
        return [i for name, i in sorted(self.interfaces.items())
                if name.split(":")[0] == device]

    def describe(self):
        rows = []
        for name, d in sorted(self.devices.items()):
            drivers = ",".join(i["driver"] or "-" for i in self.interfaces_of(name))
            rows.append(f"  {name}: {d.get('idVendor')}:{d.get('idProduct')} "
                        f"devnum={d.get('devnum')} speed={d.get('speed')} "
                        f"{d.get('product')!r} serial={d.get('serial')!r} "
                        f"node={d.get('node')} drivers={drivers}")
        return "\n".join(rows) or "  (no USB devices)"


# -- QMP -------------------------------------------------------------------------------

class QmpError(BoxError):
    pass


class QmpClient:
    """QEMU's control socket: commands and their answers, events kept for waits."""

    def __init__(self, path, timeout=30):
        deadline = time.monotonic() + timeout
        self._buffer = b""
        self._next_id = 0
        self.events = []
        while True:
            self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                self._sock.connect(str(path))
                break
            except OSError as e:
                self._sock.close()
                if time.monotonic() >= deadline:
                    raise BoxError(f"QMP socket {path}: {e}") from None
                time.sleep(0.1)
        try:
            greeting = self._read_message(deadline)
            if "QMP" not in greeting:
                raise BoxError(f"QMP socket {path}: no greeting but {greeting!r}")
            self.execute("qmp_capabilities")
        except BaseException:
            self._sock.close()
            raise

    def close(self):
        self._sock.close()

    def _read_line(self, deadline):
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError
            self._sock.settimeout(left)
            try:
                chunk = self._sock.recv(4096)
            except socket.timeout:
                raise TimeoutError from None
            if not chunk:
                raise BoxError("QMP: QEMU closed the control socket")
            self._buffer += chunk
            if len(self._buffer) > QMP_MAX_LINE:
                raise BoxError(f"QMP: a message longer than {QMP_MAX_LINE} bytes")
        line, _, self._buffer = self._buffer.partition(b"\n")
        return line

    def _read_message(self, deadline):
        try:
            return json.loads(self._read_line(deadline))
        except TimeoutError:
            raise BoxError("QMP: no message within the time-out") from None

    def execute(self, command, timeout=30, **arguments):
        """The command's "return" value; a QMP error raises QmpError."""
        self._next_id += 1
        request = {"execute": command, "id": self._next_id}
        if arguments:
            request["arguments"] = arguments
        self._sock.sendall(json.dumps(request).encode() + b"\n")
        deadline = time.monotonic() + timeout
        while True:
            message = self._read_message(deadline)
            if "event" in message:
                self.events.append(message)
                continue
            if message.get("id") != self._next_id:
                continue
            if "error" in message:
                raise QmpError(f"QMP {command} {arguments}: {message['error'].get('desc')}")
            return message.get("return")

    def wait_event(self, name, timeout, match=lambda data: True):
        """The first event called name whose data satisfies match (kept or new)."""
        deadline = time.monotonic() + timeout
        while True:
            for event in self.events:
                if event["event"] == name and match(event.get("data", {})):
                    self.events.remove(event)
                    return event
            try:
                message = json.loads(self._read_line(deadline))
            except TimeoutError:
                raise BoxError(f"QMP: no event {name} within {timeout} s") from None
            if "event" in message:
                self.events.append(message)


# -- the guest ---------------------------------------------------------------------------

class Guest:
    """One QEMU guest (tools/guest/run-vm.sh) with its own directory, ports and
    control socket. The serial console is the program's output and the guest's
    command line (see tools/guest/init.sh)."""

    def __init__(self, image, workdir=None):
        self.image = Path(image)
        self._own_workdir = workdir is None
        self.workdir = Path(workdir or tempfile.mkdtemp(prefix="wev-guest-"))
        self.vm_dir = self.workdir / "vm"
        self.proc = None
        self.console = None
        self._stderr = None
        self._qmp = None
        self._seq = 0
        self.ports = {}
        self.started_at = None
        self.ready_at = None

    # -- start and stop ------------------------------------------------------------

    def boot(self, timeout=BOOT_TIMEOUT):
        """Starts QEMU and waits for the guest's command line. A port taken
        between choosing and binding it makes QEMU fail at once: then again
        with new ports."""
        for attempt in range(1, BOOT_ATTEMPTS + 1):
            self._start_qemu(attempt)
            if self._wait_ready(timeout):
                self.ready_at = time.monotonic()
                self.ports = self._read_ports()
                return self
            self._stop_qemu()
        raise BoxError(f"QEMU lost its forwarded ports to other programs {BOOT_ATTEMPTS} times"
                       f"\n--- qemu ---\n{self._stderr.tail()}")

    def _wait_ready(self, timeout):
        """True once the guest takes commands; False when QEMU ended because a
        forwarded port was taken; anything else raises BoxError."""
        try:
            if self.console.wait_for(READY, timeout) is not None:
                return True
        except TimeoutError:
            raise BoxError(f"the guest was not ready within {timeout} s; {self._state()}"
                           f"\n--- console ---\n{self.console.tail()}") from None
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        self._stderr.join(5)
        if self.proc.poll() is not None and PORT_TAKEN in self._stderr.text:
            return False
        raise BoxError(f"the console ended before the guest was ready; {self._state()}"
                       f"\n--- console ---\n{self.console.tail()}"
                       f"\n--- qemu ---\n{self._stderr.tail()}")

    def _start_qemu(self, attempt):
        self.vm_dir.mkdir(parents=True, exist_ok=True)
        argv = [str(GUEST_TOOLS / "run-vm.sh"), "--vm-dir", str(self.vm_dir),
                "--initrd", str(self.image), "--timeout", str(VM_TIME_LIMIT)]
        self.started_at = time.monotonic()
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, start_new_session=True)
        self.console = _OutputCapture(self.proc.stdout, self.workdir / f"console.{attempt}.log")
        self._stderr = _OutputCapture(self.proc.stderr, self.workdir / f"qemu.{attempt}.log")

    def _read_ports(self):
        ports = {}
        for line in (self.vm_dir / "ports").read_text().splitlines():
            key, _, value = line.partition("=")
            ports[key] = value
        return ports

    def _stop_qemu(self, grace=10):
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            # run-vm.sh became "timeout", which leads QEMU's process group.
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
                self.proc.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=10)
            except ProcessLookupError:
                pass
        for capture in (self.console, self._stderr):
            if capture:
                capture.join(5)
        if self.proc.stdin:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
        return self.proc.returncode

    def power_off(self, timeout=COMMAND_TIMEOUT):
        """Powers the guest off; QEMU's exit code (0 after a clean power-off)."""
        self.command("poweroff")
        try:
            code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise BoxError(f"QEMU did not end within {timeout} s of the power-off"
                           f"\n--- console ---\n{self.console.tail()}") from None
        self.console.join(5)
        self._stderr.join(5)
        return code

    def close(self, keep_files=False):
        if self._qmp:
            self._qmp.close()
            self._qmp = None
        self._stop_qemu()
        if self._own_workdir and not (keep_files or os.environ.get("WEV_E2E_KEEP") == "1"):
            shutil.rmtree(self.workdir, ignore_errors=True)

    # -- the console ------------------------------------------------------------------

    def wait_console(self, pattern, timeout, start=0):
        """The first match of pattern on the console at or after position start."""
        try:
            m = self.console.wait_for(pattern, timeout, start)
        except TimeoutError:
            raise BoxError(f"console: no {pattern!r} within {timeout} s; "
                           f"{self._state()}\n--- console ---\n{self.console.tail()}") from None
        if m is None:
            raise BoxError(f"console ended ({self._state()}) without {pattern!r}"
                           f"\n--- console ---\n{self.console.tail()}"
                           f"\n--- qemu ---\n{self._stderr.tail()}")
        return m

    def _state(self):
        code = self.proc.poll() if self.proc else None
        return "QEMU is running" if code is None else f"QEMU exited with {code}"

    def command(self, name, *args, timeout=COMMAND_TIMEOUT, check=True):
        """Runs one command of the guest's /init; its answer lines. With check,
        an answer that ends with a code other than 0 raises BoxError."""
        self._seq += 1
        seq = self._seq
        words = [name, *map(str, args)]
        if any(not w or any(c.isspace() for c in w) for w in words):
            raise ValueError(f"guest command words must be non-empty and blank-free: {words}")
        start = len(self.console.text)
        try:
            self.proc.stdin.write((f"@{seq} " + " ".join(words) + "\n").encode())
            self.proc.stdin.flush()
        except BrokenPipeError:
            raise BoxError(f"guest command {' '.join(words)}: the console is closed, "
                           f"{self._state()}\n--- console ---\n{self.console.tail()}") from None
        end = self.wait_console(rf"(?m)^@@{seq} end (-?\d+)\r?$", timeout, start)
        answer = re.findall(rf"(?m)^@@{seq} (.*?)\r?$", self.console.text[start:end.start()])
        if check and end.group(1) != "0":
            raise BoxError(f"guest command {' '.join(words)} ended with {end.group(1)}: "
                           f"{answer}")
        return answer

    # -- USB --------------------------------------------------------------------------------

    def usb_dump(self):
        return UsbSnapshot.parse(self.command("usb-dump"))

    def wait_usb(self, condition, what, timeout):
        """Dumps the guest's USB tree until condition(snapshot) holds."""
        deadline = time.monotonic() + timeout
        while True:
            snapshot = self.usb_dump()
            if condition(snapshot):
                return snapshot
            if time.monotonic() >= deadline:
                raise BoxError(f"guest sysfs: {what} not seen within {timeout} s; last dump:\n"
                               f"{snapshot.describe()}")
            time.sleep(0.2)

    @property
    def qmp(self):
        if self._qmp is None:
            self._qmp = QmpClient(self.ports.get("QMP_SOCKET") or self.vm_dir / "qmp.sock")
        return self._qmp
