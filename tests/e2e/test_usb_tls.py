"""The USB sharing protocol over TLS: openssl s_client and the independent
client against the box's TLS port, silent TLS clients that must not hold up
anyone else, and TLS-only ports."""

import socket
import subprocess
import time

import pytest

import usbclient as uc
import wevbox
from test_usb_protocol import client, in_namespace, start_usb_box, usbsim

TLS_PORT = 9443


def wait_for_key_pair(box, timeout=60):
    """The first start generates the box's key and certificate in the background."""
    deadline = time.monotonic() + timeout
    cert = box.path("/flash/cert_srv.pem")
    while not (cert.exists() and cert.stat().st_size > 0):
        if time.monotonic() > deadline:
            raise wevbox.BoxError("no certificate was generated")
        time.sleep(0.2)


def s_client(box, *options):
    return box.peer_exec(["sh", "-c", f"echo | timeout 20 openssl s_client -connect {box.box_ip}:{TLS_PORT} "
                          f"-cipher 'ALL:@SECLEVEL=0' {' '.join(options)} 2>&1"], timeout=40)


def tls_client(box, version="any", timeout=10):
    return in_namespace(box.peer_ns, lambda: uc.UsbClient.connect(box.box_ip, TLS_PORT, timeout=timeout,
                                                                  tls=version))


@pytest.fixture
def tls_box(box):
    start_usb_box(box, plugs=["loopback port=1"])
    wait_for_key_pair(box)
    return box


def test_tls_versions_offered_and_refused(tls_box):
    box = tls_box
    for option, protocol in (("-tls1_2", "TLSv1.2"), ("-tls1_1", "TLSv1.1"), ("-tls1", "TLSv1")):
        out = s_client(box, option).stdout
        assert f"Protocol  : {protocol}" in out, out[-2000:]
    # The certificate is the generated one, with the default request's subject.
    out = s_client(box, "-tls1_2", "-showcerts").stdout
    assert "O = Vekotron GmbH" in out and "CN = WEV-" in out, out[-2000:]
    refused = s_client(box, "-tls1_3").stdout
    assert "Protocol  : TLSv1.3" not in refused
    assert "Cipher is (NONE)" in refused or "handshake failure" in refused or "alert" in refused, refused[-2000:]


def test_the_protocol_runs_over_tls(tls_box):
    with tls_client(tls_box, "1.2") as c:
        assert c.tls_version == "TLSv1.2"
        v = c.version()
        assert v.major == 7
        devices = c.device_list()
        assert [d.port for d in devices] == [1]


def test_silent_tls_clients_do_not_hold_up_others(tls_box):
    box = tls_box
    silent = [in_namespace(box.peer_ns, lambda: socket.create_connection((box.box_ip, TLS_PORT), timeout=10))
              for _ in range(4)]
    try:
        t0 = time.monotonic()
        for _ in range(5):
            with client(box) as c:
                assert len(c.device_list()) == 1
        with tls_client(box) as c:
            assert len(c.device_list()) == 1
        # Each round above is one connect and one request: seconds, not the
        # handshake time-out of the silent clients.
        assert time.monotonic() - t0 < 15
    finally:
        for s in silent:
            s.close()


def test_tls_only_port_refuses_plain_sessions(box):
    start_usb_box(box, params={"zyt_sec_1": "on"}, plugs=["loopback port=1", "keyboard port=2"])
    wait_for_key_pair(box)
    with client(box) as c:
        rows = {d.port: d.row for d in c.device_list()}
        assert sorted(rows) == [1, 2]  # listed to everyone; connect checks TLS
        assert c.port_status(rows[1], 1).tls_only
        refused = c.connect_device(rows[1], 1, "plain")
        assert (refused.status, refused.error) == (5, 13)
        taken = c.connect_device(rows[2], 2, "plain")
        assert taken.status == 0
    with tls_client(box) as c:
        answer = c.connect_device(rows[1], 1, "secure")
        assert answer.status == 0
