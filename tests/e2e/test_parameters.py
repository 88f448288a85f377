"""The parameter file of a running box, and what interrupted writes leave at start."""

import signal

from test_start_stop import BANNER


def read_params(box):
    values = {}
    for line in box.path("/etc/params.dat").read_text().splitlines():
        name, _, value = line.partition("=")
        values[name.strip()] = value.strip()
    return values


def run_once(box, kickoff):
    box.start(kickoff=kickoff)
    banner = box.wait_for_stderr(BANNER, timeout=30)
    box.send_signal(signal.SIGTERM)
    assert box.wait_exit(timeout=6) == 0
    return banner


def test_stored_address_is_in_force_and_every_start_counts(make_box):
    box = make_box()
    box.write_params({"ip_mask": "255.255.254.0"})
    banner = run_once(box, 0)
    assert banner["ip"] == box.box_ip
    assert banner["mask"] == "255.255.254.0"
    life = int(read_params(box)["life"])
    for kickoff in (1, 2):
        run_once(box, kickoff)
        assert int(read_params(box)["life"]) == life + kickoff


def test_bad_lines_are_dropped_and_the_rest_loads(make_box):
    box = make_box()
    path = box.path("/etc/params.dat")
    path.write_text(path.read_text()
                    + "no_such_parameter = 1\n"
                    + "cpuLoadPoll = 99999\n"
                    + "sys_name = " + "x" * 400 + "\n"
                    + "sys_contact = admin desk\n")
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    box.wait_for_stderr(r"no_such_parameter", timeout=5)
    box.send_signal(signal.SIGTERM)
    assert box.wait_exit(timeout=6) == 0
    values = read_params(box)
    assert values["sys_contact"] == "admin desk"
    assert values["cpuLoadPoll"] == "1"
    assert "no_such_parameter" not in values


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
