"""The README's commands, run as a new user would type them: the demo box's
start, the commands it prints, the device commands of the client, status and
stop, with a second demo in another root beside the first; and the README's
whole-program test command with its relative WEV_BIN.

The demos use roots of their own, never the default /var/tmp/wev-demo that a
person may be using: the README's commands for the default root are run with
the default root, namespace and address replaced by those of the test's
first demo. Every demo runs WEV_BIN, the program under test (no build).
"""

import os
import re
import shlex
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

import wevbox

README = wevbox.REPO / "README.md"
DEMO = wevbox.TOOLS / "demo.sh"
DEFAULT_ROOT = "/var/tmp/wev-demo"
DEFAULT_NS = "wevdemo"
COMMAND_TIMEOUT = 60
START_TIMEOUT = 300
KEYS_TYPED = "Hello, box!"


# ---------------------------------------------------------------- helpers

def readme_blocks():
    """The README's indented code blocks: lists of command lines, comments cut."""
    blocks, current = [], []
    for line in README.read_text().splitlines():
        if line.startswith("    ") and line.strip():
            current.append(line[4:].split("  #")[0].rstrip())
        elif current:
            blocks.append(current)
            current = []
    if current:
        blocks.append(current)
    return blocks


def readme_block_with(text):
    for block in readme_blocks():
        if any(text in line for line in block):
            return block
    raise AssertionError(f"the README shows no command with {text!r}")


def sh(command, cwd, env=None, timeout=COMMAND_TIMEOUT):
    """One command line as a person types it, in bash."""
    result = subprocess.run(["bash", "-c", command], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=timeout)
    return result


def ok(command, cwd, env=None, timeout=COMMAND_TIMEOUT):
    result = sh(command, cwd, env, timeout)
    assert result.returncode == 0, f"{command}\nexit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def hints(start_output):
    """{label: command} of the lines start prints after the banner."""
    found = {}
    for line in start_output.splitlines():
        m = re.match(r"^  ([a-zA-Z ]+):\s+(.*)$", line)
        if m:
            found[m.group(1).strip()] = m.group(2)
        m = re.match(r"^    and meanwhile:\s+(.*)$", line)
        if m:
            found["and meanwhile"] = m.group(1)
    return found


def verb_of(line):
    """What a README command does: "ping", or the verb of the client or of
    usbsim-ctl (the third word after the program: HOST PORT VERB, --root ROOT VERB)."""
    words = shlex.split(line)
    if "ping" in words:
        return "ping"
    for i, word in enumerate(words):
        if word.endswith(("usbclient.py", "usbsim-ctl")):
            return words[i + 3]
    raise AssertionError(f"README command {line!r} is neither ping, the client nor usbsim-ctl")


class Demo:
    """A demo box in a root of its own, driven through tools/demo.sh."""

    def __init__(self, root, cwd):
        self.root = Path(root)
        self.cwd = cwd
        self.env = dict(os.environ, WEV_DEMO_ROOT=str(self.root), WEV_BIN=str(wevbox.binary_path()))
        self.env.pop("WEV_DEMO_NS", None)
        self.started = False
        self.output = ""

    def run(self, verb, timeout=COMMAND_TIMEOUT):
        return sh(f"{DEMO} {verb}", self.cwd, self.env, timeout)

    def start(self, command=None):
        self.started = True
        result = sh(command or f"{DEMO} start", self.cwd, self.env, START_TIMEOUT)
        assert result.returncode == 0, f"start: {result.stdout}\n{result.stderr}"
        self.output = result.stdout
        self.hints = hints(result.stdout)
        self.ns = (self.root / ".demo" / "netns").read_text().strip()
        self.address = self.hints["box address"]
        return result.stdout

    def close(self):
        if self.started:
            self.run("stop")


def keys_while_typing(keys_command, type_command, cwd, env=None):
    """Runs the client's keys command, types on the keyboard once it listens,
    and returns the keys command's output."""
    keys = subprocess.Popen(["bash", "-c", keys_command], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = keys.stdout.readline() + keys.stdout.readline()
        assert "what is typed" in first, first + keys.stderr.read()
        ok(type_command, cwd, env)
        rest, err = keys.communicate(timeout=COMMAND_TIMEOUT)
    finally:
        if keys.poll() is None:
            keys.kill()
            keys.wait()
    assert keys.returncode == 0, f"{keys_command}\n{first}{rest}\n{err}"
    return first + rest


def check_device_commands(run, keys_and_type, expect):
    """run(label) runs one printed or README command; checks what each shows."""
    listed = run("USB devices")
    assert re.search(r"port  1 .* 1209:0001", listed) and "3 device(s)" in listed, listed
    assert run("over TLS") == listed
    assert "read back 5: hello" in run("loopback echo")
    blocks = run("storage blocks")
    # the FAT volume's boot sector: its maker, its type, its signature at 510
    assert "blocks of 512 bytes; the first 2:" in blocks and "mkfs.fat" in blocks, blocks
    assert "FAT12" in blocks and re.search(r"^000001f0 .* 55 aa  \|", blocks, re.M), blocks
    typed = keys_and_type()
    assert f"{expect}\n{len(expect)} character(s)" in typed, typed


# ---------------------------------------------------------------- tests

@pytest.fixture
def demos():
    made = []
    work = Path(tempfile.mkdtemp(prefix="wev-readme-"))

    def make(name, cwd=wevbox.REPO):
        demo = Demo(work / name, cwd)
        made.append(demo)
        return demo

    yield make
    for demo in reversed(made):
        demo.close()
    subprocess.run(["rm", "-rf", str(work)], check=False)


def test_readme_demo_commands_and_printed_hints_with_two_demos(demos):
    first = demos("first")
    start_block = readme_block_with("tools/demo.sh start")
    assert start_block[0].split() == ["tools/demo.sh", "start"]
    out = first.start(start_block[0])
    assert out.count("\n") < 40, "start prints a line per stage, not the tools' output"
    assert "start.log" in out.splitlines()[0]

    # The README's commands for the default demo, on the first demo's box.
    def as_first(line):
        line = line.replace(DEFAULT_ROOT, str(first.root))
        line = re.sub(rf"\b{DEFAULT_NS}\b", first.ns, line)
        return re.sub(r"\b198\.1[89]\.\d+\.2\b", first.address, line)

    commands = readme_block_with("usbclient.py")
    by_verb = {}
    for line in commands:
        by_verb.setdefault(verb_of(line), line)
    assert set(by_verb) >= {"ping", "list", "echo", "read-blocks", "keys", "type", "plug"}, by_verb
    readme_run = {"USB devices": by_verb["list"], "loopback echo": by_verb["echo"],
                  "storage blocks": by_verb["read-blocks"]}
    tls_line = next(line for line in commands if "--tls" in line and " list" in line)
    readme_run["over TLS"] = tls_line
    assert any("--tls" in line and "read-blocks" in line for line in commands), \
        "a device command over TLS"
    ok(as_first(by_verb["ping"]), wevbox.REPO)
    check_device_commands(
        lambda label: ok(as_first(readme_run[label]), wevbox.REPO),
        lambda: keys_while_typing(as_first(by_verb["keys"]),
                                  as_first(by_verb["type"]).replace("hello", shlex.quote(KEYS_TYPED)),
                                  wevbox.REPO),
        KEYS_TYPED)

    # A second demo beside it, started from another directory: its hints
    # name the repository's files by their whole path and work as printed.
    second = demos("second", cwd="/tmp")
    second.start()
    assert second.ns != first.ns
    h = second.hints
    assert str(wevbox.REPO) in h["USB devices"]
    ok(h["try"], "/tmp")
    check_device_commands(lambda label: ok(h[label], "/tmp"),
                          lambda: keys_while_typing(h["keyboard"], h["and meanwhile"], "/tmp"),
                          "hello")
    plugged = ok(h["plug another"], "/tmp")
    assert plugged.startswith("ok "), plugged
    assert re.search(r"port  4 .* 1209:0001", ok(h["USB devices"], "/tmp"))

    # The README's plug command fills the first demo's free port too.
    ok(as_first(by_verb["plug"]), wevbox.REPO)
    assert "4 device(s)" in ok(as_first(by_verb["list"]), wevbox.REPO)

    # Stopping the second leaves the first running and reachable.
    stopped = ok(h["stop with"], "/tmp")
    assert "ended: exit code 0" in stopped, stopped
    assert not Path(f"/run/netns/{second.ns}").exists()
    second.started = False
    status = sh(f"{DEMO} status", wevbox.REPO, first.env)
    assert status.returncode == 0 and "is running" in status.stdout, status.stdout
    assert "1209:0001" in ok(as_first(by_verb["list"]), wevbox.REPO)

    stop_line = readme_block_with("tools/demo.sh stop")[-1]
    stopped = ok(stop_line, wevbox.REPO, first.env)
    assert "ended: exit code 0" in stopped, stopped
    first.started = False
    assert not Path(f"/run/netns/{first.ns}").exists()
    assert first.run("status").returncode == 3


def test_readme_whole_program_command_with_a_relative_binary():
    line = next(line for block in readme_blocks() for line in block
                if line.startswith("WEV_BIN=") and "pytest" in line)
    m = re.fullmatch(r"WEV_BIN=(\S+) (/usr/bin/python3 -m pytest .*) tests/e2e", line)
    assert m and not m.group(1).startswith("/"), f"README: {line}"
    binary = os.path.relpath(wevbox.binary_path(), wevbox.REPO)
    assert not binary.startswith(".."), "the program under test lies outside the repository"
    command = f"WEV_BIN={binary} {m.group(2)} tests/e2e/test_start_stop.py"
    result = sh(command, wevbox.REPO, dict(os.environ, WEV_BIN=""), timeout=300)
    assert result.returncode == 0 and re.search(r"\b2 passed\b", result.stdout), \
        f"{command}\n{result.stdout}\n{result.stderr}"
