"""A small SMTP server for the whole-program tests, run in the peer
namespace: Debian's aiosmtpd with STARTTLS required before AUTH LOGIN, which
checks one user and password. Every accepted message is written to the
output directory as NNN.eml, with the envelope in NNN.env (sender, then the
recipients, one a line); every AUTH attempt appends "ok"/"refused" to
auth.log. --drop closes the connection at MAIL FROM instead; --no-tls
offers no STARTTLS.
Prints READY once it listens.
"""

import argparse
import asyncio
import pathlib
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Store:
    def __init__(self, outdir, drop):
        self.outdir = pathlib.Path(outdir)
        self.count = 0
        self.drop = drop

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if self.drop:
            session.transport.close()
            return "421 closing"
        envelope.mail_from = address
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = self.outdir / f"{self.count:03d}"
        tmp = base.with_suffix(".tmp")
        tmp.write_bytes(envelope.original_content or envelope.content)
        base.with_suffix(".env").write_text("\n".join([envelope.mail_from, *envelope.rcpt_tos]) + "\n")
        tmp.rename(base.with_suffix(".eml"))
        return "250 Message accepted"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--outdir", required=True)
    ap.add_argument("--drop", action="store_true")
    ap.add_argument("--no-tls", action="store_true", help="offer no STARTTLS")
    a = ap.parse_args()

    auth_log = pathlib.Path(a.outdir) / "auth.log"

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (mechanism == "LOGIN" and isinstance(auth_data, LoginPassword)
              and auth_data.login == a.user.encode() and auth_data.password == a.password.encode())
        with auth_log.open("a") as f:
            f.write(("ok" if ok else "refused") + "\n")
        return AuthResult(success=ok)

    context = None
    if not a.no_tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(a.cert, a.key)
    controller = Controller(Store(a.outdir, a.drop), hostname=a.host, port=a.port, tls_context=context,
                            require_starttls=not a.no_tls, auth_require_tls=not a.no_tls,
                            authenticator=authenticator, auth_exclude_mechanism=["PLAIN"])
    controller.start()
    print("READY", flush=True)
    try:
        sys.stdin.read()
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
