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

