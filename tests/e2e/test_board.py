"""The simulated board driven from outside the running program."""

import signal

from test_start_stop import BANNER


def test_long_press_resets_parameters_and_restarts_cold(box):
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    assert box.path("/etc/params.dat").exists()
    box.press_button(0, long_press=True)
    # Every port's second LED blinks while the box goes down.
    blinking = box.wait_board(lambda s: int(s.get("leds_blinking", "0"), 0) & 0xaa == 0xaa)
    assert blinking["gpio_open"] == "1"
    assert box.wait_exit(timeout=10) == 2
    assert not box.path("/etc/params.dat").exists()


def test_long_press_on_the_display_board_restarts_with_0_and_shows_rs(make_box):
    box = make_box(product_id=353, board=278)
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    box.press_button(0, long_press=True)
    state = box.wait_board(lambda s: s.get("display") == "RS")
    assert state["display_blink"] != "0 0 0 0"
    assert box.wait_exit(timeout=10) == 0
    assert not box.path("/etc/params.dat").exists()


def test_short_press_changes_nothing(box):
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    box.press_button(0, long_press=False)
    box.send_signal(signal.SIGTERM)
    assert box.wait_exit(timeout=6) == 0
    assert box.path("/etc/params.dat").exists()


def test_missing_supply_input_shows_e1_on_the_display_board(make_box):
    box = make_box(product_id=353, board=278)
    box.write_params({"disp_pwr": "on"})
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    box.set_board_input("supply", 2)  # input 1 gone
    state = box.wait_board(lambda s: s.get("display") == "E1", timeout=15)
    assert state["display_points"] != "00"
    box.set_board_input("supply", 3)
    box.wait_board(lambda s: s.get("display") != "E1", timeout=15)
    box.send_signal(signal.SIGTERM)
    assert box.wait_exit(timeout=6) == 0
