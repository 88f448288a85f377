"""Remote syslog: the program greets a real syslog daemon (rsyslogd, in the
peer namespace) when it starts and says goodbye when it stops."""

import re
import shutil
import signal
import subprocess
import time

import pytest

from wevbox import end_process

RSYSLOGD = shutil.which("rsyslogd") or "/usr/sbin/rsyslogd"

# "<133>Mmm dd hh:mm:ss <box address> <source right-aligned in 18>[line]:<task>:<s>.<hh>| text"
LINE = (r"^local0\.notice <133>[A-Z][a-z]{{2}} [ \d]\d \d\d:\d\d:\d\d {ip} {{16}}udp\[ {line}\]:"
        r" *\d+: *\d+\.\d\d\| {text}$")


class SyslogDaemon:
    """rsyslogd listening on UDP 514 of the peer, writing every message with
    its facility and severity to a file."""

    def __init__(self, box):
        self.log = box.workdir / "received.log"
        conf = box.workdir / "rsyslog.conf"
        conf.write_text(
            f'global(workDirectory="{box.workdir}")\n'
            'module(load="imudp")\n'
            f'input(type="imudp" address="{box.peer_ip}" port="514")\n'
            'template(name="raw" type="string" '
            'string="%syslogfacility-text%.%syslogseverity-text% %rawmsg%\\n")\n'
            f'*.* action(type="omfile" file="{self.log}" template="raw")\n')
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", box.peer_ns, RSYSLOGD, "-n", "-f", str(conf),
             "-i", str(box.workdir / "rsyslogd.pid")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            listening = subprocess.run(
                ["ip", "netns", "exec", box.peer_ns, "ss", "-Hlun", "sport = :514"],
                capture_output=True, text=True, timeout=10).stdout
            if box.peer_ip in listening:
                return
            time.sleep(0.05)
        self.close()
        raise AssertionError("rsyslogd did not start listening in the peer namespace")

    def wait_line(self, pattern, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = self.log.read_text() if self.log.exists() else ""
            for line in text.splitlines():
                if re.search(pattern, line):
                    return line
            time.sleep(0.1)
        text = self.log.read_text() if self.log.exists() else "(nothing received)"
        raise AssertionError(f"no line like {pattern!r} arrived; received:\n{text}")

    def close(self):
        end_process(self.proc)


@pytest.mark.skipif(not shutil.which("rsyslogd") and not shutil.which(RSYSLOGD),
                    reason="rsyslogd is not installed (tools/install-deps.sh installs it)")
def test_syslog_daemon_gets_the_greeting_and_the_goodbye(make_box):
    box = make_box()
    box.write_params({"syslog": "on", "syslog_ipa": box.peer_ip, "syslog_upo": 514})
    daemon = SyslogDaemon(box)
    try:
        box.start(kickoff=0)
        ip = re.escape(box.box_ip)
        hello = daemon.wait_line(r"I'm .*@" + ip + r" alive\.\.\.$", timeout=30)
        assert re.match(LINE.format(ip=ip, line="546", text=r"I'm \S+@" + ip + r" alive\.\.\."), hello), hello

        box.send_signal(signal.SIGTERM)
        assert box.wait_exit(timeout=10) == 0
        bye = daemon.wait_line(r"I'm \S+ stopped$", timeout=10)
        assert re.match(LINE.format(ip=ip, line="522", text=r"I'm \S+ stopped"), bye), bye
    finally:
        daemon.close()
