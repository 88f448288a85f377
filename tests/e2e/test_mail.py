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
    def __init__(self, box, password=PASSWORD, drop=False, tls=True):
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
        if not tls:
            args.append("--no-tls")
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


def test_signed_mail_verifies_against_the_box_certificate(box, smtp):
    box.write_params(mail_params(box, smtp_sign="on"))
    box.start(kickoff=0)
    msg = smtp.wait_message(1)
    assert msg.get_content_type() == "multipart/signed", msg.raw[:600]
    signed = box.workdir / "signed.eml"
    signed.write_bytes(msg.raw)
    content = box.workdir / "content.txt"
    result = subprocess.run(["openssl", "smime", "-verify", "-in", str(signed), "-CAfile",
                             str(box.path("/flash/cert_srv.pem")), "-purpose", "any", "-out", str(content)],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, result.stderr
    assert "Verification successful" in result.stderr
    assert "=== USB Devices ===" in content.read_text()


def test_encrypted_mail_opens_with_the_recipients_key(box, smtp):
    key, cert = box.workdir / "rcpt-key.pem", box.workdir / "rcpt-cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=admin@example.test", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    mime_cert = box.path("/flash/cert_mime.pem")
    mime_cert.parent.mkdir(parents=True, exist_ok=True)
    mime_cert.write_bytes(cert.read_bytes())
    box.write_params(mail_params(box, smtp_sign="on", smtp_encrypt="on"))
    box.start(kickoff=0)
    msg = smtp.wait_message(1)
    assert msg.get_content_type() in ("application/pkcs7-mime", "application/x-pkcs7-mime"), msg.raw[:600]
    sealed = box.workdir / "sealed.eml"
    sealed.write_bytes(msg.raw)
    result = subprocess.run(["openssl", "smime", "-decrypt", "-in", str(sealed), "-inkey", str(key),
                             "-recip", str(cert)], capture_output=True, timeout=30)
    assert result.returncode == 0, result.stderr
    assert b"=== USB Devices ===" in result.stdout
    assert b"TAN              = " in result.stdout


def test_a_server_without_starttls_gets_nothing(box):
    peer = SmtpPeer(box, tls=False)
    try:
        box.write_params(mail_params(box))
        box.start(kickoff=0)
        box.wait_for_stderr(r'mail "Restart" to admin@example.test not sent: TCP connect failed', timeout=40)
        assert peer.messages() == []
        assert peer.auth_results() == [], "no password goes over a plain connection"
    finally:
        peer.close()
