"""The SNTP client against chronyd serving its local clock in the peer
namespace, and against a scripted server whose answers must not be believed.
The box runs under a test root, so its clock setting lands in the root's
simulated clock and never touches the machine's."""

import re
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

from test_start_stop import BANNER
from wevbox import end_process

CHRONYD = shutil.which("chronyd") or "/usr/sbin/chronyd"
NTP_TO_UNIX = 2208988800


def sim_clock(box):
    path = box.path("/var/clock.sim")
    return float(path.read_text()) if path.exists() else None


def wait_sim_clock(box, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = sim_clock(box)
        if value is not None:
            return value
        time.sleep(0.1)
    raise AssertionError(f"the clock was not set within {timeout} s\n{box.stderr[-2000:]}")


def ntp_box(make_box):
    box = make_box()
    box.write_params({"ntp": "on", "ntp_server": box.peer_ip, "ntp_tzone": "GMT/BST (EU)"})
    return box


class Chronyd:
    """chronyd as a stratum 8 server of its local clock; -x: it never
    touches the machine's clock either."""

    def __init__(self, box):
        conf = box.workdir / "chrony.conf"
        conf.write_text(f"local stratum 8\nallow all\nbindaddress {box.peer_ip}\ncmdport 0\n"
                        f"pidfile {box.workdir / 'chronyd.pid'}\n")
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", box.peer_ns, CHRONYD, "-d", "-x", "-f", str(conf)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if ":123" in box.peer_exec(["ss", "-Hlun", "sport = :123"]).stdout:
                return
            if self.proc.poll() is not None:
                raise AssertionError(f"chronyd ended: {self.proc.stderr.read()}")
            time.sleep(0.05)
        self.close()
        raise AssertionError("chronyd did not start listening on port 123")

    def close(self):
        end_process(self.proc)


def test_clock_is_set_from_chrony(make_box):
    box = ntp_box(make_box)
    server = Chronyd(box)
    try:
        box.start()
        box.wait_for_stderr(BANNER, timeout=30)
        # chronyd answers unsynchronised until its local reference takes
        # over; the box retries every 15 s until it gets a real answer.
        value = wait_sim_clock(box, timeout=45)
        assert abs(value - time.time()) < 2.0, (value, time.time())
    finally:
        server.close()


class ScriptedServer:
    """Answers every request on the peer's UDP 123 with the given header
    byte, stratum and transmit time (NTP seconds), echoing the origin time
    unless told otherwise, and then with a sound answer of a later time;
    counts the requests."""

    def __init__(self, box, first_byte, stratum, transmit, echo_origin=True, then_sound=True):
        self.requests = 0
        self.then_sound = then_sound
        self.box = box
        # The socket is made inside the peer namespace by a helper process
        # that passes it back over a unix socket pair.
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
        helper = ("import socket,sys,array\n"
                  "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                  f"s.bind(('{box.peer_ip}',123))\n"
                  "u=socket.socket(fileno=int(sys.argv[1]))\n"
                  "socket.send_fds(u,[b'x'],[s.fileno()])\n")
        subprocess.run(["ip", "netns", "exec", box.peer_ns, "/usr/bin/python3", "-c", helper,
                        str(theirs.fileno())], pass_fds=[theirs.fileno()], check=True, timeout=20)
        theirs.close()
        _, fds, _, _ = socket.recv_fds(ours, 1, 1)
        ours.close()
        self.sock = socket.socket(fileno=fds[0])
        self.sock.settimeout(0.2)
        self.answer = (first_byte, stratum, transmit, echo_origin)
        self.stop = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        first_byte, stratum, transmit, echo = self.answer
        while not self.stop:
            try:
                data, peer = self.sock.recvfrom(512)
            except socket.timeout:
                continue
            if len(data) < 48:
                continue
            self.requests += 1
            origin = data[40:48] if echo else b"\x00\x00\x00\x01" + data[44:48]
            self.sock.sendto(self._reply(first_byte, stratum, origin, transmit), peer)
            if self.then_sound:
                self.sock.sendto(self._reply(GOOD, 2, data[40:48], JAN_2031 + NTP_TO_UNIX), peer)

    @staticmethod
    def _reply(first_byte, stratum, origin, transmit):
        return (bytes([first_byte, stratum, 4, 0xec]) + bytes(20) + origin
                + struct.pack("!II", transmit, 0) + struct.pack("!II", transmit, 0))

    def wait_requests(self, count, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.requests < count:
            time.sleep(0.05)
        assert self.requests >= count, f"{self.requests} requests"

    def close(self):
        self.stop = True
        self.thread.join(5)
        self.sock.close()


GOOD = 0x24  # leap 0, version 4, mode 4
JAN_2030 = 1893456000
JAN_2031 = 1924992000


@pytest.mark.parametrize("first_byte, stratum, transmit, echo, believed", [
    (GOOD, 2, JAN_2030 + NTP_TO_UNIX, True, True),
    (GOOD, 0, JAN_2030 + NTP_TO_UNIX, True, False),          # kiss-o'-death
    (0xE4, 2, JAN_2030 + NTP_TO_UNIX, True, False),          # unsynchronised
    (GOOD, 2, 0, True, False),                               # no transmit time
    (GOOD, 2, JAN_2030 + NTP_TO_UNIX, False, False),         # not our request's answer
    (0x23, 2, JAN_2030 + NTP_TO_UNIX, True, False),          # client mode
], ids=["good", "stratum0", "leap3", "zero-transmit", "wrong-origin", "wrong-mode"])
def test_only_a_sound_answer_sets_the_clock(make_box, first_byte, stratum, transmit, echo, believed):
    box = ntp_box(make_box)
    server = ScriptedServer(box, first_byte, stratum, transmit, echo)
    try:
        box.start()
        server.wait_requests(1, timeout=30)
        # The answer under test comes first; a refused one leaves the clock
        # to the sound answer that follows it.
        expected = JAN_2030 if believed else JAN_2031
        assert wait_sim_clock(box, timeout=15) == pytest.approx(expected, abs=1e-6)
    finally:
        server.close()


def test_time_zone_of_the_list_applies_to_the_box_local_time(make_box):
    """The goodbye sent to a syslog daemon carries the box's local time,
    which after the NTP task's set-up is that of the zone chosen (UTC+5:45)."""
    from test_syslog import SyslogDaemon

    box = make_box()
    box.write_params({"ntp": "on", "ntp_server": box.peer_ip, "ntp_tzone": "NPT",
                      "syslog": "on", "syslog_ipa": box.peer_ip, "syslog_upo": 514})
    daemon = SyslogDaemon(box)
    server = ScriptedServer(box, GOOD, 2, JAN_2030 + NTP_TO_UNIX)
    try:
        box.start()
        wait_sim_clock(box, timeout=30)
        box.send_signal(signal.SIGTERM)
        assert box.wait_exit(timeout=10) == 0
        sent = time.time()
        bye = daemon.wait_line(r"I'm \S+ stopped$", timeout=10)
        stamp = re.search(r"<\d+>([A-Z][a-z]{2} [ \d]\d \d\d:\d\d):\d\d ", bye).group(1)
        nepal = [time.strftime("%b %e %H:%M", time.gmtime(sent + 5 * 3600 + 45 * 60 + d))
                 for d in (-60, 0, 60)]
        assert stamp in nepal, (bye, nepal)
    finally:
        server.close()
        daemon.close()


def test_failed_exchange_is_retried_soon_and_sets_nothing(make_box):
    box = ntp_box(make_box)
    box.write_params({"ntp_update": 1024})
    server = ScriptedServer(box, GOOD, 0, JAN_2030 + NTP_TO_UNIX, then_sound=False)
    try:
        box.start()
        # Only kiss-o'-death answers: the exchange runs out after 10 s and
        # the next one follows 15 s later, long before the update period.
        server.wait_requests(2, timeout=45)
        assert sim_clock(box) is None
    finally:
        server.close()
