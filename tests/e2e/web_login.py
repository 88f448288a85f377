"""Logging in to a box's web interface from the peer namespace, for every
test that visits pages behind a login.

    box.write_params(web_login.SESSIONS_ON)      # before box.start()
    ...
    cookie = web_login.login(box)                  # administrator
    cookie = web_login.login(box, "user")          # general user
    curl(box, "-b", cookie, url(box, "/info/threads"))

The box's default accounts are admin_name "Admin" and any_name "User", both
with an empty password; pass name/password for others. login() returns the
cookie as curl's -b and a Cookie header take it ("SessKey=<16 characters>")
and raises LoginError when the box gives none."""

import re

SESSIONS_ON = {"sessKeys": "on"}
DEFAULT_ACCOUNTS = {"admin": ("Admin", ""), "user": ("User", "")}


class LoginError(Exception):
    pass


def post_login(box, name, password, scheme="http"):
    """Posts the login form; the head of the answer (text)."""
    port_url = f"{scheme}://{box.box_ip}/index.html"
    r = box.peer_exec(["curl", "-s", "-k", "--ciphers", "DEFAULT:@SECLEVEL=0", "-m", "10", "-D-", "-o",
                       "/dev/null", "--data-urlencode", "action=set", "--data-urlencode", f"name={name}",
                       "--data-urlencode", f"pwd={password}", port_url], timeout=20)
    return r.stdout


def login(box, role="admin", name=None, password=None, scheme="http"):
    """Logs in as role ("admin" or "user") with the default account unless
    name/password are given; returns "SessKey=<key>"."""
    default_name, default_password = DEFAULT_ACCOUNTS[role]
    head = post_login(box, default_name if name is None else name,
                      default_password if password is None else password, scheme)
    m = re.search(r"^Set-Cookie: (SessKey=[0-9A-Za-z]{16}); PATH=/\r?$", head, re.M)
    if not head.startswith("HTTP/1.1 302") or not m:
        raise LoginError(f"no session for {role}: {head[:300]!r}")
    return m.group(1)
