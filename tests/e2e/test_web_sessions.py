"""Logins on a running box with session keys on: the cookie flow as curl
sees it, the access level of each kind of page for visitors without a
session, with a user session and with an administrator session, logout,
sessions of two rights used at the same moment, and the session file kept
over a restart."""

import os
import stat
import struct
import threading

import web_login
from test_start_stop import BANNER
from test_web import curl, started, url, wait_for_web

ADMIN_PAGE = "/sitemap.html"   # level 3
USER_PAGE = "/start.html"      # level 2
OPTIONAL_PAGE = "/contact.html"  # level 1
OPEN_PAGE = "/index.html"      # level 0


def code_of(box, path, cookie=None):
    """The status and, for a redirect, the location."""
    args = ["-o", "/dev/null", "-w", "%{http_code} %{redirect_url}"]
    if cookie:
        args += ["-b", cookie]
    code, _, location = curl(box, *args, url(box, path)).stdout.partition(" ")
    return code, location.replace(f"http://{box.box_ip}", "")


def test_logins_and_the_level_of_every_kind_of_page(box):
    box.write_params(web_login.SESSIONS_ON)
    started(box)
    admin = web_login.login(box)
    user = web_login.login(box, "user")
    assert admin != user
    refused = ("302", "/index_en.html")
    allowed = ("200", "")
    table = {
        (OPEN_PAGE, None): allowed, (OPEN_PAGE, user): allowed, (OPEN_PAGE, admin): allowed,
        (OPTIONAL_PAGE, None): allowed, (OPTIONAL_PAGE, user): allowed, (OPTIONAL_PAGE, admin): allowed,
        (USER_PAGE, None): refused, (USER_PAGE, user): allowed, (USER_PAGE, admin): allowed,
        (ADMIN_PAGE, None): refused, (ADMIN_PAGE, user): refused, (ADMIN_PAGE, admin): allowed,
        ("/network/snmp.html", user): refused, ("/network/snmp.html", admin): allowed,
        ("/txt/parameters.txt", user): refused,
        (ADMIN_PAGE, "SessKey=0123456789abcdefXYZ"): refused,
    }
    seen = {k: code_of(box, *k) for k in table}
    assert seen == table

    # The pages greet the session's account; a cookie value longer than the
    # key still names it.
    page = curl(box, "-b", admin + "trailing", url(box, "/start_en.html")).stdout
    assert "Log out (Admin)" in page
    assert "Log out (User)" in curl(box, "-b", user, url(box, "/start_en.html")).stdout

    # Wrong name, wrong password: the form again with the reason; the name
    # comes back escaped in the form.
    head = web_login.post_login(box, "Nobody", "")
    assert head.startswith("HTTP/1.1 200") and "Set-Cookie" not in head
    page = curl(box, "-d", "action=set&name=Nobody&pwd=", url(box, "/index_en.html")).stdout
    assert "The user name is incorrect." in page
    page = curl(box, "-d", "action=set&name=Admin&pwd=x", url(box, "/index_en.html")).stdout
    assert "The password is incorrect." in page and 'value="Admin"' in page
    # Without action=set the form is only shown.
    assert "Set-Cookie" not in curl(box, "-D-", "-o", "/dev/null", "-d", "name=Admin&pwd=",
                                    url(box, "/index.html")).stdout

    # Logout ends exactly that session and answers the login form.
    page = curl(box, "-b", user, url(box, "/exit_en.html")).stdout
    assert 'name="pwd"' in page
    assert code_of(box, USER_PAGE, user) == refused
    assert code_of(box, ADMIN_PAGE, admin) == allowed


def test_without_session_keys_login_and_logout_are_harmless(box):
    started(box)
    head = web_login.post_login(box, "Admin", "")
    assert head.startswith("HTTP/1.1 302") and "Location: /start_en.html" in head
    assert "Set-Cookie" not in head
    # Logout without any Cookie header, and with a stub of one.
    assert code_of(box, "/exit.html") == ("200", "")
    assert code_of(box, "/exit.html", "SessKey=ab") == ("200", "")
    assert code_of(box, ADMIN_PAGE) == ("200", "")
    assert box.running()


def test_two_sessions_of_different_rights_at_once_never_cross(box):
    box.write_params(web_login.SESSIONS_ON)
    started(box)
    admin = web_login.login(box)
    user = web_login.login(box, "user")
    rounds = 60
    results = {}

    def hammer(name, cookie):
        targets = [url(box, ADMIN_PAGE)] * rounds
        r = box.peer_exec(["curl", "-s", "-m", "60", "-b", cookie, "-w", "%{http_code}\n",
                           *sum((["-o", "/dev/null", t] for t in targets), [])], timeout=120)
        results[name] = r.stdout.split()

    def churn():
        # Other users come and go meanwhile, filling and reusing slots.
        results["churn"] = [web_login.login(box, "user") for _ in range(20)]

    threads = [threading.Thread(target=hammer, args=("admin", admin)),
               threading.Thread(target=hammer, args=("user", user)),
               threading.Thread(target=churn)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(180)
    assert results["admin"] == ["200"] * rounds
    assert results["user"] == ["302"] * rounds
    assert len(set(results["churn"])) == 20


def parse_sessions(data):
    assert len(data) == 824
    magic, reserved = struct.unpack_from("<II", data, 0)
    slots = []
    for i in range(17):
        key, t, last, created, _name, level = struct.unpack_from("<17s3xiqqIi", data, 8 + 48 * i)
        slots.append((key.rstrip(b"\0").decode("latin-1"), t, last, created, level))
    return magic, reserved, slots


def start_again(box, kickoff):
    box.start(kickoff=kickoff)
    box.wait_for_stderr(BANNER, timeout=30)
    wait_for_web(box)


def restart(box, kickoff):
    box.stop_program()
    start_again(box, kickoff)


def test_sessions_outlive_a_restart_but_not_a_boot(box):
    box.write_params({**web_login.SESSIONS_ON, "any_name": "Visitor"})
    started(box)
    admin = web_login.login(box)
    user = web_login.login(box, "user", name="Visitor")
    restart(box, kickoff=1)

    path = box.path("/var/sessions.raw")
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    magic, reserved, slots = parse_sessions(path.read_bytes())
    assert (magic, reserved) == (0x00010030, 0)
    live = {s[0]: s for s in slots if s[4] != -1}
    assert set(live) == {admin.split("=")[1], user.split("=")[1]}
    assert live[admin.split("=")[1]][1] == 3 and live[user.split("=")[1]][1] == 2
    assert all(s[2] <= 0 and s[3] <= 0 for s in live.values())  # ticks relative to the saving
    assert slots[0][0] == user.split("=")[1] and slots[2][0] == admin.split("=")[1]

    assert code_of(box, ADMIN_PAGE, admin) == ("200", "")
    assert "Log out (Visitor)" in curl(box, "-b", user, url(box, "/start_en.html")).stdout

    restart(box, kickoff=0)
    assert code_of(box, USER_PAGE, user) == ("302", "/index_en.html")
    assert code_of(box, ADMIN_PAGE, admin) == ("302", "/index_en.html")


def test_a_restored_session_idle_too_long_has_timed_out(box):
    """The file of a previous run names one session idle for 601 s and one
    used just before the restart; only the second still opens pages."""
    box.write_params({**web_login.SESSIONS_ON, "sessKeyTimeout": "600"})
    image = bytearray(824)
    struct.pack_into("<II", image, 0, 0x00010030, 0)
    for i in range(17):
        struct.pack_into("<17s3xiqqIi", image, 8 + 48 * i, b"", 0, 0, 0, 0, -1)
    stale, fresh = "Stale0123456789a", "Fresh0123456789b"
    struct.pack_into("<17s3xiqqIi", image, 8, stale.encode(), 2, -60100, -70000, 0, 2)
    struct.pack_into("<17s3xiqqIi", image, 8 + 48 * 2, fresh.encode(), 3, -100, -70000, 0, 3)
    # A damaged slot (no NUL after its key) is not taken.
    struct.pack_into("<17s3xiqqIi", image, 8 + 48 * 3, b"Broken0123456789x", 3, 0, 0, 0, 3)
    box.path("/var").mkdir(exist_ok=True)
    box.path("/var/sessions.raw").write_bytes(bytes(image))
    start_again(box, kickoff=3)
    assert code_of(box, USER_PAGE, "SessKey=" + stale) == ("302", "/index_en.html")
    assert code_of(box, ADMIN_PAGE, "SessKey=" + fresh) == ("200", "")
    assert code_of(box, ADMIN_PAGE, "SessKey=Broken0123456789") == ("302", "/index_en.html")
