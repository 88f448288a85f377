"""A POP3 mailbox for the whole-program tests: Debian's dovecot (pop3d) in
the peer namespace, with its own configuration, one user whose maildir the
test fills, USER/PASS and APOP on a plain port and POP3 over TLS on a
second one. Everything lives in its own directory, which dovecot's
unprivileged processes can reach.
"""

import itertools
import os
import pathlib
import pwd
import shutil
import subprocess
import tempfile
import time
from wevbox import end_process

POP3_PORT = 1110
POP3S_PORT = 1995

CONFIG = """\
base_dir = {dir}/run
state_dir = {dir}/state
log_path = {dir}/dovecot.log
protocols = pop3
listen = {ip}
ssl = yes
ssl_cert = <{dir}/cert.pem
ssl_key = <{dir}/key.pem
ssl_dh = </usr/share/dovecot/dh.pem
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = no
auth_mechanisms = plain apop
mail_location = maildir:{dir}/mail/%u
default_internal_user = dovecot
default_login_user = dovenull
first_valid_uid = 1
pop3_uidl_format = %08Xu%08Xv
passdb {{
  driver = passwd-file
  args = scheme=PLAIN {dir}/passwd
}}
userdb {{
  driver = static
  args = uid={uid} gid={gid} home={dir}/home/%u
}}
service pop3-login {{
  inet_listener pop3 {{
    port = {port}
  }}
  inet_listener pop3s {{
    port = {tls_port}
    ssl = yes
  }}
}}
"""


class Pop3Peer:
    def __init__(self, box, user, password):
        self.box = box
        self.user = user
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="wev-pop3-"))
        os.chmod(self.dir, 0o755)
        owner = pwd.getpwnam("dovecot")
        self.uid, self.gid = owner.pw_uid, owner.pw_gid
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=pop.example.test", "-keyout", str(self.dir / "key.pem"),
                        "-out", str(self.dir / "cert.pem")], check=True, capture_output=True, timeout=60)
        (self.dir / "passwd").write_text(f"{user}:{{PLAIN}}{password}::::::\n")
        for sub in ("tmp", "new", "cur"):
            (self.maildir / sub).mkdir(parents=True)
        (self.dir / "home" / user).mkdir(parents=True)
        for path in [self.dir / "mail", self.maildir, *[self.maildir / s for s in ("tmp", "new", "cur")],
                     self.dir / "home", self.dir / "home" / user]:
            os.chown(path, self.uid, self.gid)
        conf = self.dir / "dovecot.conf"
        conf.write_text(CONFIG.format(dir=self.dir, ip=box.peer_ip, uid=self.uid, gid=self.gid,
                                      port=POP3_PORT, tls_port=POP3S_PORT))
        self._counter = itertools.count(1)
        self.proc = subprocess.Popen(["ip", "netns", "exec", box.peer_ns, "dovecot", "-F", "-c", str(conf)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self._wait_listening()

    @property
    def maildir(self):
        return self.dir / "mail" / self.user

    def _wait_listening(self):
        deadline = time.monotonic() + 30
        while True:
            out = self.box.peer_exec(["ss", "-ltn"]).stdout
            if f":{POP3_PORT} " in out and f":{POP3S_PORT} " in out:
                return
            assert self.proc.poll() is None, f"dovecot ended: {self.log()}"
            assert time.monotonic() < deadline, f"dovecot does not listen: {self.log()}"
            time.sleep(0.2)

    def log(self):
        path = self.dir / "dovecot.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def deliver(self, raw):
        """Puts one mail (bytes, any line ends) into the user's maildir."""
        name = f"{time.time():.0f}.M{next(self._counter):04d}P{os.getpid()}.test"
        tmp = self.maildir / "tmp" / name
        tmp.write_bytes(raw)
        os.chown(tmp, self.uid, self.gid)
        tmp.rename(self.maildir / "new" / name)

    def waiting(self):
        """The mails still in the box."""
        return [p for sub in ("new", "cur") for p in (self.maildir / sub).iterdir()]

    def wait_empty(self, timeout):
        deadline = time.monotonic() + timeout
        while self.waiting():
            assert time.monotonic() < deadline, f"mails left after {timeout} s: {self.waiting()}\n{self.log()[-3000:]}"
            time.sleep(0.5)

    def close(self):
        end_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)
