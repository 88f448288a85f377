"""The relay of a model that has one, on the simulated board, following the
wired link in state mode, and the restart in event mode, as the peer takes
its end of the link down and up again. The relay line is wired inverted:
level 0 = relay on. (The network-off event may fire while the interface
comes up at start, so event mode on the link has no fixed start state.)
"""

import pytest

RELAY_MODEL = 365


def relay_on(state):
    return state.get("relay_line") == "0"


def set_peer_link(box, up):
    box.peer_exec(["ip", "link", "set", "veth0", "up" if up else "down"], check=True)


@pytest.mark.parametrize("params, at_start, link_down, link_up", [
    # State mode: the relay is on while the link is.
    ({"relay_ctrl": "stat", "relay_stat_net": "neton"}, True, False, True),
    # State mode the other way round.
    ({"relay_ctrl": "stat", "relay_stat_net": "netoff"}, False, True, False),
    # Event mode on the restart event.
    ({"relay_ctrl": "eve", "relay_eve_start": "warm"}, True, True, True),
], ids=["state-neton", "state-netoff", "event-restart"])
def test_relay_follows_the_link(make_box, params, at_start, link_down, link_up):
    box = make_box(product_id=RELAY_MODEL, board=278, ports=4)
    box.write_params(params)
    box.start(kickoff=0)
    box.wait_for_stderr(r"Master running", timeout=30)
    box.wait_board(lambda s: relay_on(s) == at_start and "relay_line" in s)
    set_peer_link(box, False)
    box.wait_board(lambda s: relay_on(s) == link_down)
    set_peer_link(box, True)
    box.wait_board(lambda s: relay_on(s) == link_up)
