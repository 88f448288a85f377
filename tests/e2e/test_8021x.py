"""Wired IEEE 802.1X for real: hostapd with its wired driver and its own EAP
server on the peer end of the box's veth; the box's supplicant (Debian's
wpa_supplicant, run by the program) authenticates with PEAP/MSCHAPv2 and
with EAP-TLS, certificates made here with openssl."""

import re
import signal
import subprocess
import time

import pytest

from test_start_stop import BANNER
from wevbox import end_process

HOSTAPD = "/usr/sbin/hostapd"
HOSTAPD_CLI = "/usr/sbin/hostapd_cli"
WPA_CLI = "/usr/sbin/wpa_cli"
USER = "alice"
PASSWORD = "correct horse 42"
CLIENT_CN = "box-client"
# Start-up, the 3 s before the network block is written, and the exchange.
AUTH_TIMEOUT = 60


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def make_pki(directory):
    """A CA, a server certificate signed by it for hostapd, and a client
    certificate for the box, all RSA 2048 with SHA-256."""
    directory.mkdir(parents=True, exist_ok=True)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj", "/CN=Test 802.1X CA",
            "-keyout", "ca.key", "-out", "ca.pem", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    for name, cn, usage in (("server", "radius.test", "serverAuth"), ("client", CLIENT_CN, "clientAuth")):
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={cn}", "-keyout", f"{name}.key",
                "-out", f"{name}.csr", cwd=directory)
        (directory / f"{name}.ext").write_text(f"extendedKeyUsage={usage}\nbasicConstraints=CA:FALSE\n")
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-days", "30", "-sha256", "-extfile", f"{name}.ext", "-out", f"{name}.pem", cwd=directory)
    return directory


class Authenticator:
    """hostapd as the wired port's authenticator with its own EAP server."""

    def __init__(self, box, pki):
        self.box = box
        self.ctrl = box.workdir / "hostapd-ctrl"
        self.log = box.workdir / "hostapd.log"
        users = box.workdir / "eap_users"
        users.write_text(f'"{USER}" PEAP\n"{USER}" MSCHAPV2 "{PASSWORD}" [2]\n"{CLIENT_CN}" TLS\n')
        conf = box.workdir / "hostapd.conf"
        conf.write_text("\n".join([
            f"interface={box.peer_if}", "driver=wired", f"ctrl_interface={self.ctrl}",
            "ieee8021x=1", "eapol_version=2", "use_pae_group_addr=1", "eap_server=1",
            f"eap_user_file={users}", f"ca_cert={pki / 'ca.pem'}", f"server_cert={pki / 'server.pem'}",
            f"private_key={pki / 'server.key'}", "logger_stdout=-1", "logger_stdout_level=1", ""]))
        self.out = open(self.log, "w")
        self.proc = subprocess.Popen(["ip", "netns", "exec", box.peer_ns, HOSTAPD, "-dd", str(conf)],
                                     stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError(f"hostapd ended: {self.log.read_text()[-2000:]}")
            if (self.ctrl / box.peer_if).exists():
                return
            time.sleep(0.05)
        self.close()
        raise AssertionError("hostapd did not open its control socket")

    def cli(self, *args):
        return self.box.peer_exec([HOSTAPD_CLI, "-p", str(self.ctrl), "-i", self.box.peer_if, *args],
                                  check=True).stdout

    def wait_authorized(self, timeout):
        deadline = time.monotonic() + timeout
        text = ""
        while time.monotonic() < deadline:
            text = self.cli("all_sta")
            if "[AUTHORIZED]" in text:
                return text
            time.sleep(0.5)
        raise AssertionError(f"the port was not authorised: {text}\n{self.log.read_text()[-3000:]}")

    def close(self):
        end_process(self.proc)
        self.out.close()


@pytest.fixture
def pki(tmp_path_factory):
    return make_pki(tmp_path_factory.mktemp("pki"))


def box_status(box):
    """The box's supplicant as its own control socket reports it."""
    ctrl = box.path("/var/wifi")
    return box.box_exec([WPA_CLI, "-p", str(ctrl), "-i", "eth0", "status"], check=True).stdout


def install_ca(box, pki):
    flash = box.path("/flash")
    flash.mkdir(parents=True, exist_ok=True)
    (flash / "cert_root.pem").write_bytes((pki / "ca.pem").read_bytes())


def run_until_authorized(box, pki):
    auth = Authenticator(box, pki)
    try:
        box.start()
        box.wait_for_stderr(BANNER, timeout=30)
        box.wait_for_stdout(r"start wpa supplicant", timeout=30)
        stations = auth.wait_authorized(AUTH_TIMEOUT)
        box.wait_for_stdout(r"WLan: eth0 connected", timeout=20)
        return auth, stations
    except BaseException:
        auth.close()
        raise


def supplicant_pids(box):
    out = subprocess.run(["pgrep", "-f", f"wpa_supplicant -i eth0 -D wired -C {box.path('/var/wifi')}"],
                         capture_output=True, text=True).stdout
    return [int(p) for p in out.split()]


def test_peap_mschapv2_authorises_the_port(box, pki):
    install_ca(box, pki)
    box.write_params({"auth_typ": "PEAP", "auth_intern": "MSCHAP2", "auth_extern": "PVER0",
                      "auth_name": USER, "auth_pwd": PASSWORD})
    auth, stations = run_until_authorized(box, pki)
    try:
        status = box_status(box)
        assert "Supplicant PAE state=AUTHENTICATED" in status
        assert "suppPortStatus=Authorized" in status
        assert "selectedMethod=25 (EAP-PEAP)" in status
        assert re.search(r"dot1xAuthAuthSuccessesWhileAuthenticating=1", stations)
        # The network block the program wrote, as the supplicant holds it.
        config = box.box_exec([WPA_CLI, "-p", str(box.path("/var/wifi")), "-i", "eth0",
                               "get_network", "0", "phase2"], check=True).stdout
        assert '"autheap=MSCHAPV2"' in config
        assert supplicant_pids(box), "the supplicant runs as a child of the program"
        pids = supplicant_pids(box)
        # A stop signal stops the program, and with it the supplicant.
        box.send_signal(signal.SIGTERM)
        assert box.wait_exit(timeout=15) == 0
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and any(supplicant_pids(box)):
            time.sleep(0.1)
        assert not [p for p in pids if p in supplicant_pids(box)]
    finally:
        auth.close()


def test_eap_tls_with_the_box_certificate(box, pki):
    install_ca(box, pki)
    flash = box.path("/flash")
    (flash / "cert_fsrv.pem").write_bytes((pki / "client.pem").read_bytes())
    (flash / "cert_fpkey.pem").write_bytes((pki / "client.key").read_bytes())
    # The identity comes from the imported certificate, not from auth_name.
    box.write_params({"auth_typ": "TLS", "auth_name": "someone-else", "auth_pwd": ""})
    auth, stations = run_until_authorized(box, pki)
    try:
        status = box_status(box)
        assert "suppPortStatus=Authorized" in status
        assert "selectedMethod=13 (EAP-TLS)" in status
        assert f"dot1xAuthSessionUserName={CLIENT_CN}" in stations, stations
    finally:
        auth.close()


def test_wrong_password_fails_and_is_reported(box, pki):
    install_ca(box, pki)
    box.write_params({"auth_typ": "PEAP", "auth_intern": "MSCHAP2", "auth_name": USER,
                      "auth_pwd": "not the password"})
    auth = Authenticator(box, pki)
    try:
        box.start()
        box.wait_for_stderr(BANNER, timeout=30)
        box.wait_for_stdout(r"WLan: 802\.1X authentication on eth0 failed", timeout=AUTH_TIMEOUT)
        assert "[AUTHORIZED]" not in auth.cli("all_sta")
        assert "suppPortStatus=Unauthorized" in box_status(box)
    finally:
        auth.close()
