"""Start and stop of the whole program: the start banner and the stop signal."""

import signal

import pytest

BANNER = (r"#### wev Master running on (?P<ifname>\S+) ip:(?P<ip>\S*)/(?P<mask>\S*)"
          r" HTTP:(?P<http>-?\d+) HTTPS:(?P<https>-?\d+) KickOff:(?P<kickoff>-?\d+) ####")


@pytest.mark.parametrize("kickoff, shown", [(3, "3"), (None, "-1")],
                         ids=["KickOff=3", "KickOff-unset"])
def test_banner_shows_start_counter_and_sigterm_ends_with_0(box, kickoff, shown):
    box.start(kickoff=kickoff)
    banner = box.wait_for_stderr(BANNER, timeout=30)
    assert banner["kickoff"] == shown
    assert banner["ifname"] == "eth0"

    box.send_signal(signal.SIGTERM)
    assert box.wait_exit(timeout=6) == 0


def test_start_removes_what_killed_writes_left_behind(box):
    """A kill -9 during the first key generation or a save leaves temporary
    files beside the old ones; the next start removes them and keeps the rest."""
    leftovers = ["/flash/cert_pkey.pem.Gx81Qa", "/flash/cert_srv.pem.0pLm7Z", "/etc/params.dat.tmp"]
    kept = ["/flash/notes.txt.Gx81Qa", "/etc/params.dat"]
    box.write_params({"sys_name": "kept"})
    for name in leftovers + kept[:1]:
        box.path(name).parent.mkdir(parents=True, exist_ok=True)
        box.path(name).write_text("left over\n")
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    for name in leftovers:
        assert not box.path(name).exists(), f"{name} was kept"
        assert str(box.path(name)) in box.stderr or name.endswith(".tmp"), f"no line says {name} went"
    assert "left by a save that did not finish" in box.stderr
    for name in kept:
        assert box.path(name).exists(), f"{name} was removed"
