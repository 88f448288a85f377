"""Stop signals and the signals that are only reported."""

import re
import signal
import time

import pytest

from test_start_stop import BANNER


def test_sigint_counts_and_stops_with_0(box):
    box.start(kickoff=1)
    box.wait_for_stderr(BANNER, timeout=30)
    box.send_signal(signal.SIGINT)
    line = box.wait_for_stderr(r"sigINT\(2\) <NoTask> shutdowns:(\d+) sigInts:(\d+)", timeout=10)
    assert line.group(1) == "1" and line.group(2) == "1"
    assert box.wait_exit(timeout=6) == 0


def test_usr1_usr2_pipe_are_only_reported(box):
    box.start(kickoff=0)
    after = box.wait_for_stderr(BANNER, timeout=30).end()
    for sig, label in ((signal.SIGUSR1, "sigUSR1"), (signal.SIGUSR2, "sigUSR2"), (signal.SIGPIPE, "sigPIPE")):
        box.send_signal(sig)
        line = box.wait_for_stderr(re.escape(label) + r"\(\d+\) <\S+> shutdowns:0 sigInts:0",
                                   timeout=10, start=after)
        after = line.end()
    assert box.running()
    box.send_signal(signal.SIGTERM)
    assert box.wait_exit(timeout=6) == 0


def test_two_stop_signals_make_one_stop(box):
    # Every stop request counts, and the signal line prints the count: the
    # first SIGTERM makes it 1 and starts the one "ShutDown" task, which
    # counts itself only when it ends, at least two seconds later. The second
    # SIGTERM comes half a second after the first, while the supervision
    # loop (a pass every 100 ms) looks again and again at a stop that is
    # already under way: a "ShutDown" started again on any of those passes
    # counts at once and shows in the second line.
    box.start(kickoff=0)
    after = box.wait_for_stderr(BANNER, timeout=30).end()
    report = r"sigTERM\(15\) <[^>]*> shutdowns:(\d+)"
    box.send_signal(signal.SIGTERM)
    first = box.wait_for_stderr(report, timeout=10, start=after)
    assert first.group(1) == "1"
    time.sleep(0.5)
    box.send_signal(signal.SIGTERM)
    second = box.wait_for_stderr(report, timeout=10, start=first.end())
    # 3 when the machine was so slow that the first "ShutDown" ended already.
    assert int(second.group(1)) in (2, 3), box.stderr[after:]
    assert box.wait_exit(timeout=8) == 0


@pytest.mark.parametrize("sig", [signal.SIGFPE, signal.SIGBUS, signal.SIGSEGV])
def test_a_fatal_signal_dumps_and_ends_with_0(box, sig):
    # A hardware trap cannot be returned from on this machine: the handler
    # must dump and end the process, never resume.
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    box.send_signal(sig)
    assert box.wait_exit(timeout=10) == 0
    out = box.stdout
    assert re.search(rf"^Signal {int(sig)}, errno \d+, code -?\d+, addr ", out, re.M), out[:2000]
    assert "\nStack: \n" in out
    assert "[stack]" in out, "the memory map follows the dump"
