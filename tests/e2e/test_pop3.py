"""Commands by mail: the box reads a real POP3 mailbox (dovecot in the peer
namespace) and answers through a real SMTP server (aiosmtpd). Each command
is answered; what changes the box needs the TAN the box mailed; a wrong or
missing TAN changes nothing; APOP and POP3 over TLS log in; malformed mails
are refused with an answer and change nothing; every handled mail is
deleted.
"""

import base64
import re
import struct
import time
import zlib

import pytest

from pop3_peer import POP3_PORT, POP3S_PORT, Pop3Peer
from test_mail import SmtpPeer, mail_params

POP3_USER = "boxmail"
POP3_PASSWORD = "pop-secret-1"
ADMIN = "admin@example.test"
FIRST_POLL = 60   # Notify's first pass comes 15 s after start
ASKED_POLL = 30   # a poll asked for on the e-mail page starts at once


@pytest.fixture
def smtp(box):
    peer = SmtpPeer(box)
    yield peer
    peer.close()


@pytest.fixture
def pop3(box):
    peer = Pop3Peer(box, POP3_USER, POP3_PASSWORD)
    yield peer
    peer.close()


def pop3_params(box, sec=0, port=POP3_PORT, **extra):
    return mail_params(box, pop3="on", pop3_srv=box.peer_ip, pop3_port=port, pop3_sec=sec,
                       pop3_usr=POP3_USER, pop3_pwd=POP3_PASSWORD, pop3_poll=1, **extra)


def mail(subject, body="", sender=ADMIN, headers=""):
    text = f"From: Admin <{sender}>\nTo: box@example.test\nSubject: {subject}\n{headers}\n{body}"
    return text.replace("\n", "\r\n").encode()


def multipart_update(tan_line, attachment_b64):
    body = ("--b1\nContent-Type: text/plain\n\n" + tan_line + "\n"
            "--b1\nContent-Type: application/octet-stream; name=image.bin\nContent-Transfer-Encoding: base64\n\n"
            + attachment_b64 + "\n--b1--\n")
    return mail("cmd: update zyt", body, headers='MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary="b1"\n')


def firmware_image(payload, compat_id=0x80, compat_level=1):
    """A firmware image this box takes: the 128-byte header (big-endian
    words, the CRC without inversion) and the payload."""
    crc = zlib.crc32(payload, 0xffffffff) ^ 0xffffffff
    words = [0x514D5257, 0x66770000, crc, len(payload), compat_id, compat_level, 0, 0, 1, 2, 3]
    header = struct.pack(">11I", *words).ljust(128, b"\0")
    return header + payload


def tan_of(msg):
    found = re.search(rb"TAN              = ([0-9A-Za-z]{16})\r\n", msg.raw)
    assert found, msg.raw[:2000]
    return found.group(1).decode()


def answers(smtp, count, timeout):
    """The first count mails the box sent, by subject."""
    smtp.wait_message(count, timeout=timeout)
    got = {}
    for n in range(1, len(smtp.messages()) + 1):
        msg = smtp.wait_message(n, timeout=1)
        got.setdefault(msg["Subject"], msg)
    return got


def poll_now(box, pop3):
    """Asks for a poll through the e-mail page's "check now" (the timed
    poll comes only a minute after the last one) and waits until the
    mailbox is empty."""
    r = box.peer_exec(["curl", "-s", "-m", "10", "-d", "checknow=1", f"http://{box.box_ip}/network/email.html"],
                      timeout=20)
    assert "Check email now..." in r.stdout, r.stdout[-1500:]
    pop3.wait_empty(ASKED_POLL)


def saved_param(box, name):
    path = box.path("/etc/params.dat")
    for line in path.read_text().splitlines():
        key, _, value = line.partition("=")
        if key.strip() == name:
            return value.strip()
    return None


def test_commands_are_answered_and_changes_need_the_current_tan(box, smtp, pop3):
    pop3.deliver(mail("cmd: get status"))
    pop3.deliver(mail("CMD: help me"))
    pop3.deliver(mail("cmd: print"))
    pop3.deliver(mail("Re: cmd: get status"))
    pop3.deliver(mail("cmd: get parameters"))
    pop3.deliver(mail("cmd: set parameters", "tan = WRONGTAN00000000\nsys_name = by-wrong-tan\n"))
    pop3.deliver(mail("cmd: set parameters", "sys_name = without-tan\n"))
    pop3.deliver(multipart_update("TAN = WRONGTAN00000000", "SGVsbG8="))
    pop3.deliver(mail("cmd: update zyt", "\nSGVsbG8=\n"))
    box.write_params(pop3_params(box, sys_name="lab-box", noti_dev_1="off"))
    box.start(kickoff=0)

    pop3.wait_empty(FIRST_POLL)
    got = answers(smtp, 7, 30)  # restart notice and six answers
    restart = next(m for s, m in got.items() if s.startswith("Restart "))
    tan = tan_of(restart)
    status = got["Re: cmd: get status"]
    assert status.envelope == ["box@example.test", ADMIN]
    assert status["To"] == ADMIN
    assert b"##   Host name     : lab-box" in status.raw
    assert b"=== USB Devices ===" in status.raw
    assert tan_of(status) == tan
    assert b"Help info" in got["Re: CMD: help me"].raw
    assert b"Received unknown command" in got["Re: cmd: print"].raw
    assert b'"set parameters"    sets parameters on the device' in got["Re: cmd: print"].raw
    params = got["Re: cmd: get parameters"].raw
    assert b"Parmeter list" in params and b"pop3_srv" in params
    assert POP3_PASSWORD.encode() not in params
    update_answers = [m for s, m in got.items() if s == "Re: cmd: update zyt"]
    assert update_answers, got.keys()
    assert "Re: Re: cmd: get status" not in got
    assert "Re: cmd: set parameters" not in got
    assert box.running()
    # Nothing changed: no TAN, a wrong one, an update without one.
    assert saved_param(box, "sys_name") == "lab-box"

    # The mailed TAN sets parameters once; the same TAN again does nothing.
    pop3.deliver(mail("cmd: set parameters", f"tan = {tan}\nsys_name = set-by-mail\nsys_contact = ops team\n"))
    poll_now(box, pop3)
    deadline = time.monotonic() + 10
    while saved_param(box, "sys_name") != "set-by-mail":
        assert time.monotonic() < deadline, box.path("/etc/params.dat").read_text()
        time.sleep(0.2)
    assert saved_param(box, "sys_contact") == "ops team"
    pop3.deliver(mail("cmd: set parameters", f"tan = {tan}\nsys_name = replayed\n"))
    pop3.deliver(mail("cmd: get status"))
    poll_now(box, pop3)
    msg = smtp.wait_message(8, timeout=30)
    assert msg["Subject"] == "Re: cmd: get status"
    assert b"##   Host name     : set-by-mail" in msg.raw
    assert tan_of(msg) != tan
    assert saved_param(box, "sys_name") == "set-by-mail"
    assert box.running()


def test_update_answers_name_the_failure(box, smtp, pop3):
    pop3.deliver(multipart_update("TAN = WRONGTAN00000000", "SGVsbG8="))
    box.write_params(pop3_params(box, noti_dev_1="off"))
    box.start(kickoff=0)
    pop3.wait_empty(FIRST_POLL)
    got = answers(smtp, 2, 30)
    assert b"Error : Update failed on wrong TAN!?" in got["Re: cmd: update zyt"].raw
    tan = tan_of(next(m for s, m in got.items() if s.startswith("Restart ")))

    # Without a multipart there is no TAN; with the TAN the attachment is
    # checked (and this one is no image).
    pop3.deliver(mail("cmd: update zyt", "\nSGVsbG8=\n"))
    poll_now(box, pop3)
    assert b"Error : Update failed on no TAN detected!?" in smtp.wait_message(3, timeout=30).raw
    pop3.deliver(multipart_update(f"TAN = {tan}", "SGVsbG8="))
    poll_now(box, pop3)
    assert b"Error : Update file validation failed!?" in smtp.wait_message(4, timeout=30).raw
    assert box.running()


def test_an_update_with_the_tan_is_installed_after_the_mail_is_deleted(box, smtp, pop3):
    box.path("/dev").mkdir(exist_ok=True)
    box.path("/dev/mtdblock2").write_bytes(b"")
    box.write_params(pop3_params(box, noti_dev_1="off"))
    box.start(kickoff=0)
    tan = tan_of(smtp.wait_message(1, timeout=FIRST_POLL))

    image = firmware_image(bytes(range(256)) * 64)
    encoded = base64.encodebytes(image).decode()
    pop3.deliver(multipart_update(f"TAN = {tan}", encoded))
    poll_now(box, pop3)
    # The update waits for the end of the session: the mail is gone before
    # the program restarts into the new firmware (exit code 2).
    assert box.wait_exit(timeout=60) == 2
    assert box.path("/dev/mtdblock2").read_bytes() == image
    assert pop3.waiting() == []
    assert smtp.messages()[1:] == [], "an accepted update is not answered"
    assert box.sanitizer_report() is None


@pytest.mark.parametrize("sec,port", [(1, POP3_PORT), (2, POP3S_PORT)], ids=["apop", "tls"])
def test_apop_and_pop3_over_tls_log_in(box, smtp, pop3, sec, port):
    pop3.deliver(mail("cmd: get status"))
    box.write_params(pop3_params(box, sec=sec, port=port, noti_pup_1="off", noti_dev_1="off"))
    box.start(kickoff=0)
    pop3.wait_empty(FIRST_POLL)
    msg = smtp.wait_message(1, timeout=30)
    assert msg["Subject"] == "Re: cmd: get status"
    log = pop3.log()
    if sec == 1:
        assert re.search(r"pop3-login: (Info: )?Login: user=<boxmail>, method=APOP", log), log[-2000:]
    else:
        assert re.search(r"pop3-login: (Info: )?Login: user=<boxmail>, method=PLAIN.*TLS", log), log[-2000:]
        # The TLS page names the session's protocol on its mail receiving row.
        page = box.peer_exec(["curl", "-s", "-m", "10", f"http://{box.box_ip}/security/ssl.html"], timeout=20).stdout
        row = re.search(r"Mail receiving</td><td>(.*?)</td></tr>", page, re.S)
        assert row and "TLSv1" in row.group(1), page[-2000:]


def test_malformed_mails_are_refused_and_change_nothing(box, smtp, pop3):
    long_dot_header = "X-Filler: " + "a" * 245 + "."  # 256 characters, the last a '.'
    assert len(long_dot_header) == 256
    pop3.deliver(mail("cmd: get status", headers=long_dot_header + "\n"))
    pop3.deliver(b"\x00\x01 no header at all \xff\r\n")
    pop3.deliver(mail("", ""))
    box.write_params(pop3_params(box, sys_name="lab-box", noti_dev_1="off", pop3_limit=64))
    box.start(kickoff=0)
    pop3.wait_empty(FIRST_POLL)
    got = answers(smtp, 3, 30)  # restart notice, status, the help for no subject
    assert b"##   Host name     : lab-box" in got["Re: cmd: get status"].raw
    assert b"Received unknown command" in got["Re: "].raw
    tan = tan_of(next(m for s, m in got.items() if s.startswith("Restart ")))

    # Each of these carries the right TAN, yet is broken: none may change
    # anything, each is answered with why.
    good = f"tan = {tan}\nsys_name = hacked\n"
    broken = {
        "line": mail("cmd: set parameters", good + "x" * 1500 + "\n"),
        "no boundary": mail("cmd: set parameters", "--x\n\n" + good + "--x--\n",
                            headers="Content-Type: multipart/mixed\n"),
        "missing boundary": mail("cmd: set parameters", good, headers="Content-Type: multipart/mixed; boundary=x\n"),
        "unclosed": mail("cmd: set parameters", "--x\n\n" + good, headers="Content-Type: multipart/mixed; boundary=x\n"),
        "huge": multipart_update(f"TAN = {tan}", ("QUJD" * 19 + "\n") * 2000),
    }
    for raw in broken.values():
        pop3.deliver(raw)
    poll_now(box, pop3)
    smtp.wait_message(3 + len(broken), timeout=30)
    texts = [smtp.wait_message(n, timeout=1).raw for n in range(4, 4 + len(broken))]
    assert all(b"Error : Mail refused!?" in t for t in texts), texts
    reasons = b"".join(texts)
    for why in (b"a line longer than 998 characters", b"multipart mail without a usable boundary",
                b"MIME boundary never appears", b"MIME part not closed", b"mail larger than the limit"):
        assert why in reasons
    assert saved_param(box, "sys_name") == "lab-box"

    # The TAN was not used up by any of them.
    pop3.deliver(mail("cmd: set parameters", f"tan = {tan}\nsys_name = after-all\n"))
    poll_now(box, pop3)
    deadline = time.monotonic() + 10
    while saved_param(box, "sys_name") != "after-all":
        assert time.monotonic() < deadline
        time.sleep(0.2)
    assert box.running()
