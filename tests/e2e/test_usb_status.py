"""The device status the USB server publishes, seen from outside: the
owner's name a second client reads in the port status, the port LEDs of a
per-port LED model following attach, use and release, and the port switched
off for `zyt_poffdura_<port>` after its last session and on again when its
time has run out. (The simulated host keeps the device while the power is
off, so the device stays listed throughout.)
"""

import time

from test_usb_protocol import client, start_usb_box

PORT = 1


def lit_leds(state):
    """Port 0's LEDs on the display board: (attached LED, in-use LED)."""
    word = int(state.get("port_leds", "0 0").split()[0], 16)
    return bool(word & (1 << 8)), bool(word & (1 << 16))


def port_powered(state):
    return bool(int(state.get("power_lines", "0"), 16) & 1)


def entry_on(c, port):
    return next((e for e in c.device_list() if e.port == port), None)


def test_owner_leds_and_power_off_after_the_last_session(make_box):
    box = make_box(product_id=353, board=278, ports=4)
    start_usb_box(box, {"zyt_poffdura_1": "20"}, plugs=[f"loopback port={PORT}"])
    box.wait_board(lambda s: lit_leds(s) == (True, False))

    with client(box) as owner, client(box) as watcher:
        row = entry_on(owner, PORT).row
        r = owner.connect_device(row, PORT, "lab-pc")
        assert (r.status, r.error) == (0, 0)
        box.wait_board(lambda s: lit_leds(s) == (False, True))

        status = watcher.port_status(row, PORT)
        assert status.in_use
        assert status.owner_address == box.peer_ip
        assert status.owner_name == b"lab-pc "

        assert owner.disconnect_device(row, PORT).status == 0
        off = box.wait_board(lambda s: not port_powered(s))
        assert lit_leds(off) != (False, True), "the in-use LED went out with the session"
        switched_off = time.monotonic()
        box.wait_board(port_powered, timeout=10)
        # 20 tenths of a second, on again at the first pass after that.
        assert time.monotonic() - switched_off >= 1.5

        box.wait_board(lambda s: lit_leds(s) == (True, False))
        assert not watcher.port_status(row, PORT).in_use
