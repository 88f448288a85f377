"""The SD card slot of model 353. The card is a FAT image in the box root
("/dev/mmcblk0p1"), present while its sysfs files exist; what the mounted
card holds lies in the directory beside the image."""

import signal
import subprocess
import time

from test_parameters import read_params
from test_start_stop import BANNER

CARD_FILES = "/dev/mmcblk0p1.files"


def insert_card(box, card_params=None):
    image = box.path("/dev/mmcblk0p1")
    image.parent.mkdir(parents=True, exist_ok=True)
    image.unlink(missing_ok=True)
    subprocess.run(["mkfs.fat", "-F", "16", "-s", "1", "-C", str(image), "8192"],
                   check=True, capture_output=True)
    # The root's partition list points at the host's; the card's own
    # replaces it.
    partitions = box.path("/proc/partitions")
    partitions.unlink(missing_ok=True)
    partitions.write_text(
        "major minor  #blocks  name\n 179 0 8192 mmcblk0\n 179 1 8192 mmcblk0p1\n")
    if card_params is not None:
        files = box.path(CARD_FILES)
        files.mkdir(parents=True, exist_ok=True)
        (files / "params.dat").write_text(card_params)
    sysfs = box.path("/sys/block/mmcblk0/device")
    sysfs.mkdir(parents=True, exist_ok=True)
    (sysfs / "cid").write_text("0353445344303847801234567800d501\n")
    (sysfs / "name").write_text("SD08G\n")


def remove_card(box):
    for name in ("cid", "name"):
        box.path("/sys/block/mmcblk0/device/" + name).unlink()
    box.path("/sys/block/mmcblk0/device").rmdir()


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise AssertionError("not within %s s: %s" % (timeout, what))


def stop(box):
    box.send_signal(signal.SIGTERM)
    assert box.wait_exit(timeout=10) == 0


def test_the_first_start_takes_over_the_cards_configuration_and_a_later_start_does_not(make_box):
    box = make_box(product_id=353)
    box.write_params({"sys_name": "old-box", "autoSync": "on"})
    insert_card(box, " sys_name = from-card\n")
    slot = box.path("/var/slot1")

    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    assert slot.is_symlink(), "the card is mounted at start-up"
    assert read_params(box)["sys_name"] == "from-card"
    card_copy = box.path(CARD_FILES + "/params.dat")
    wait_until(lambda: card_copy.read_text() == box.path("/etc/params.dat").read_text(), 10,
               "the card holds the box's parameter file")

    remove_card(box)
    wait_until(lambda: not slot.is_symlink() and slot.is_dir(), 5, "the removed card is unmounted")
    stop(box)

    # A restart of the program (not of the box) keeps its own configuration.
    insert_card(box, " sys_name = second-card\n")
    box.start(kickoff=1)
    box.wait_for_stderr(BANNER, timeout=30)
    wait_until(slot.is_symlink, 5, "the card is mounted again")
    assert read_params(box)["sys_name"] == "from-card"
    wait_until(lambda: "from-card" in card_copy.read_text(), 10, "the card gets the box's file")
    stop(box)
