"""Event mails to a real SMTP server in the peer namespace (aiosmtpd with
STARTTLS and AUTH LOGIN): the restart notice after start, the mail of a
device plugged in, a refused login that still delivers and is reported,
and a server that drops the connection.
"""

import email
import email.policy
import pathlib
import subprocess
import time

import pytest

from test_usb_protocol import usbsim

SMTP_PORT = 2525
USER = "box-user"
PASSWORD = "p" * 60  # longer than one line of the body's base64
MAIL_WAIT = 90       # first check after 15 s, then a pass every 30 s


class SmtpPeer:
    def __init__(self, box, password=PASSWORD, drop=False):
        self.dir = box.workdir / "smtp"
        self.dir.mkdir()
        key, cert = self.dir / "key.pem", self.dir / "cert.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=smtp.example.test", "-keyout", str(key), "-out", str(cert)],
                       check=True, capture_output=True, timeout=60)
        args = ["ip", "netns", "exec", box.peer_ns, "/usr/bin/python3",
                str(pathlib.Path(__file__).with_name("smtp_peer.py")), "--host", box.peer_ip,
                "--port", str(SMTP_PORT), "--cert", str(cert), "--key", str(key), "--user", USER,
                "--password", password, "--outdir", str(self.dir)]
        if drop:
            args.append("--drop")
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "READY"

    def messages(self):
        return sorted(self.dir.glob("*.eml"))

    def wait_message(self, count, timeout=MAIL_WAIT):
        deadline = time.monotonic() + timeout
        while len(self.messages()) < count:
            assert time.monotonic() < deadline, f"no mail {count} within {timeout} s"
            time.sleep(0.5)
        path = self.messages()[count - 1]
        raw = path.read_bytes()
        msg = email.message_from_bytes(raw, policy=email.policy.compat32)
        msg.raw = raw
        msg.envelope = path.with_suffix(".env").read_text().split()
        return msg

    def auth_results(self):
        path = self.dir / "auth.log"
        return path.read_text().split() if path.exists() else []

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


@pytest.fixture
def smtp(box):
    peer = SmtpPeer(box)
    yield peer
    peer.close()


def mail_params(box, **extra):
    params = {"smtp_srv": box.peer_ip, "smtp_port": SMTP_PORT, "smtp_ssl": "on", "smtp_auth": "on",
              "smtp_usr": USER, "smtp_pwd": PASSWORD, "smtp_sender": "box@example.test",
              "mailto_1": "admin@example.test", "noti_pup_1": "on", "noti_dev_1": "on"}
    params.update(extra)
    return params


def test_restart_notice_and_device_mail(box, smtp):
    box.write_params(mail_params(box, sys_name="lab-box"))
    box.start(kickoff=0)

    msg = smtp.wait_message(1)
    assert msg.envelope == ["box@example.test", "admin@example.test"]
    assert msg["From"] == "box <box@example.test>"
    assert msg["To"] == "admin@example.test"
    assert msg["Subject"].startswith("Restart ")
    assert f'"lab-box" ({box.box_ip}) at ' in msg["Subject"]
    assert b"\r\n##   Host name     : lab-box" in msg.raw
    assert b"\r\n=== USB Devices ===" in msg.raw
    assert smtp.auth_results() == ["ok"]

    usbsim(box, "plug", "loopback", "port=2")
    msg = smtp.wait_message(2)
    assert msg["Subject"].startswith("USB devices changed ")
    assert msg.get_content_type() == "text/plain"
    assert b"\r\n Port  2:\r\n ---------\r\n" in msg.raw
    assert b" Device status: recently attached\r\n" in msg.raw


def test_refused_login_still_delivers(box):
    peer = SmtpPeer(box, password="something-else")
    try:
        box.write_params(mail_params(box))
        box.start(kickoff=0)
        msg = peer.wait_message(1)
        assert msg["Subject"].startswith("Restart ")
        assert peer.auth_results() == ["refused"]
    finally:
        peer.close()


def test_a_dropped_connection_sends_nothing_and_the_box_goes_on(box):
    peer = SmtpPeer(box, drop=True)
    try:
        box.write_params(mail_params(box))
        box.start(kickoff=0)
        deadline = time.monotonic() + 30
        while not peer.auth_results():
            assert time.monotonic() < deadline, "the box never tried to send"
            time.sleep(0.5)
        box.wait_for_stderr(r'mail "Restart" to admin@example.test not sent: Send FROM failed', timeout=30)
        assert peer.messages() == []
        assert box.running()
    finally:
        peer.close()
