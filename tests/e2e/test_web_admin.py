"""The security, certificate and maintenance pages of a running box, driven
with curl and checked with openssl: restarts and their exit codes, the
parameter file's download and upload, CA names that try to leave "/flash",
a PKCS#12 import and a generated certificate served over HTTPS, and a
firmware image uploaded and followed through to the restart."""

import re
import struct
import subprocess
import time
import zlib

import pytest

import web_login
from test_web import curl, read_params, started, url


def product_value(box, name):
    for line in box.path("/conf.d/product_params").read_text().splitlines():
        key, _, value = line.partition("=")
        if key.strip() == name:
            return value.strip()
    return None


def openssl(*args, input=None):
    return subprocess.run(["openssl", *args], capture_output=True, text=True, input=input, check=True).stdout


def make_pair(workdir, name, cn):
    key = workdir / f"{name}.key"
    cert = workdir / f"{name}.pem"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30", "-subj", f"/CN={cn}",
            "-keyout", str(key), "-out", str(cert))
    return key, cert


def fingerprint(pem_text):
    return openssl("x509", "-noout", "-fingerprint", "-sha256", input=pem_text).strip()


def served_certificate(box):
    r = box.peer_exec(["sh", "-c", f"openssl s_client -connect {box.box_ip}:443 -cipher ALL:@SECLEVEL=0 "
                                   "</dev/null 2>/dev/null | openssl x509"], timeout=30)
    assert "BEGIN CERTIFICATE" in r.stdout, r.stderr
    return r.stdout


def upload(box, path, file, *fields, scheme="http"):
    args = ["-F", f"file=@{file}"] + [a for f in fields for a in ("-F", f)]
    return curl(box, *args, url(box, path, scheme)).stdout


@pytest.mark.parametrize("form, code", [("?cold=1", 2), ("", 0)])
def test_restart_ends_the_program_after_its_wait_page(box, form, code):
    started(box)
    before = time.monotonic()
    page = curl(box, url(box, "/maintenance/restart.cgi" + form)).stdout
    assert "The device is restarting." in page
    assert box.wait_exit(timeout=20) == code
    assert time.monotonic() - before >= 3.5


def test_parameter_file_download_and_upload(box):
    started(box)
    work = box.workdir / "params"
    work.mkdir()
    r = box.peer_exec(["curl", "-s", "-OJ", "--output-dir", str(work), url(box, "/bin/parameters")])
    assert r.returncode == 0, r.stderr
    name = f"{product_value(box, 'default_name')}_parameters.txt"
    assert [p.name for p in work.iterdir()] == [name]
    listing = (work / name).read_text()
    assert re.search(r"^ sys_contact +=", listing, re.M)
    text = curl(box, "-D-", url(box, "/txt/parameters.txt")).stdout
    assert "Content-Type: text/plain" in text and "attachment" not in text

    # The list goes back as it came: nothing changes.
    stored = box.path("/etc/params.dat").read_bytes() if box.path("/etc/params.dat").exists() else b""
    page = upload(box, "/maintenance/setparams.cgi", work / name)
    assert "Invalid parameter file. No parameters have been changed." in page

    # One bad line refuses the whole file, its good lines too.
    changed = re.sub(r"^( sys_contact +=).*$", r"\1 Upload desk", listing, flags=re.M)
    for bad in ("sys_nosuch = 1", "zyt_port = 70000", "zyt_port = http", "sys_name = a\x01b"):
        (work / "bad.txt").write_text(changed + f" {bad}\r\n")
        page = upload(box, "/maintenance/setparams.cgi", work / "bad.txt")
        assert "Invalid parameter file." in page, bad
        assert read_params(box).get("sys_contact", "") != "Upload desk", bad
    if stored:
        assert box.path("/etc/params.dat").read_bytes() == stored

    (work / "good.txt").write_text(changed)
    page = upload(box, "/maintenance/setparams.cgi", work / "good.txt")
    assert "Parameters are changed. Please wait." in page
    assert read_params(box)["sys_contact"] == "Upload desk"
    assert box.path("/etc/params.dat").stat().st_mode & 0o777 == 0o600


def test_ca_names_never_leave_the_flash_directory(box):
    started(box)
    _, ca = make_pair(box.workdir, "ca", "Lab Root")
    page = upload(box, "/security/certcastore.cgi", ca)
    assert "Lab Root" in page
    ca_hash = openssl("x509", "-hash", "-noout", "-in", str(ca)).strip()
    stored = box.path(f"/flash/{ca_hash}.0")
    assert stored.exists()

    box.path("/tmp/victim.0").write_text("not a certificate\n")
    for value in ("../tmp/victim", "..%2Ftmp%2Fvictim", "%2e%2e%2ftmp%2fvictim", "victim", ca_hash + "/..",
                  ca_hash[:7], ca_hash + "0", ""):
        page = curl(box, "-w", "%{http_code}", url(box, f"/security/certificate.html?delete_ca={value}")).stdout
        assert "Invalid certificate name." in page or page.endswith("400"), value
        page = curl(box, url(box, f"/security/showca.html?no=1&name={value}")).stdout
        assert "Unable to open certificate" in page or "400" in page, value
        assert box.path("/tmp/victim.0").exists() and stored.exists(), value

    # A file that is no certificate is refused and changes nothing.
    (box.workdir / "junk.pem").write_text("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n")
    page = upload(box, "/security/certcastore.cgi", box.workdir / "junk.pem")
    assert "The certificate could not be installed." in page
    assert sorted(p.name for p in box.path("/flash").glob("*.0")) == [f"{ca_hash}.0"]

    page = curl(box, url(box, f"/security/certificate.html?delete_ca={ca_hash}")).stdout
    assert "Invalid certificate name." not in page
    assert not stored.exists()


def test_pkcs12_import_is_served_over_https(box):
    started(box)
    key, cert = make_pair(box.workdir, "import", "Imported Box")
    p12 = box.workdir / "a.p12"
    openssl("pkcs12", "-export", "-inkey", str(key), "-in", str(cert), "-passout", "pass:Secr3t", "-out", str(p12))

    page = upload(box, "/security/certpstore.cgi", p12, "pass=wrong")
    assert "The certificate could not be installed." in page and 'content="4;' in page
    assert not box.path("/flash/cert_fsrv.pem").exists()
    assert not box.path("/flash/cert_fpkey.pem").exists()

    page = upload(box, "/security/certpstore.cgi", p12, "pass=Secr3t")
    assert "Imported Box" in page
    assert box.path("/flash/cert_fpkey.pem").stat().st_mode & 0o777 == 0o600
    assert fingerprint(served_certificate(box)) == fingerprint(cert.read_text())


def test_generated_certificate_is_served_over_https(box):
    started(box)
    # Until the first start's own key pair is made, the generation page
    # only says that a certificate is being generated.
    deadline = time.monotonic() + 60
    while "is being generated" in curl(box, url(box, "/security/certgen.cgi")).stdout:
        assert time.monotonic() < deadline, "the first start's key pair was not made in 60 s"
        time.sleep(0.5)
    fields = {"self_cn": "gen.example", "self_on": "Lab", "self_ou": "Ops", "self_ln": "Town", "self_sn": "",
              "self_ctry": "DE", "self_san": "gen.example, 198.18.0.9", "self_mail": "",
              "self_syear": "2024", "self_smon": "1", "self_sday": "2",
              "self_eyear": "2030", "self_emon": "12", "self_eday": "31", "RSAbits": "2048", "sub_cert": "1"}
    missing = dict(fields, self_cn="")
    page = curl(box, *[a for k, v in missing.items() for a in ("--data-urlencode", f"{k}={v}")],
                url(box, "/security/certgen.cgi")).stdout
    assert "One ore more required fields have not been completed" in page and "sscert" in page
    bad = dict(fields, RSAbits="512")
    page = curl(box, *[a for k, v in bad.items() for a in ("--data-urlencode", f"{k}={v}")],
                url(box, "/security/certgen.cgi")).stdout
    assert "One ore more required fields have not been completed" in page

    page = curl(box, *[a for k, v in fields.items() for a in ("--data-urlencode", f"{k}={v}")],
                url(box, "/security/certgen.cgi")).stdout
    assert "Starting to generate a new certificate." in page
    deadline = time.monotonic() + 60
    while "is being generated" in (page := curl(box, url(box, "/security/certgen.cgi")).stdout):
        assert time.monotonic() < deadline
        time.sleep(0.5)
    assert "gen.example" in page
    served = openssl("x509", "-noout", "-text", input=served_certificate(box))
    assert "Subject: C = DE, L = Town, O = Lab, OU = Ops, CN = gen.example" in served or "CN = gen.example" in served
    assert "sha256WithRSAEncryption" in served and "IP Address:198.18.0.9" in served


def image(payload, magic=b"QMRW", compat_id=0xFFFFFFFF, level=1, length=None):
    crc = ~zlib.crc32(payload, 0xFFFFFFFF) & 0xFFFFFFFF  # start 0, no final inversion
    words = struct.pack(">4sIIIII", magic, 0x66770000, crc, len(payload) if length is None else length,
                        compat_id, level)
    return words.ljust(128, b"\0") + payload


def test_firmware_update_through_to_the_restart(box):
    started(box)
    payload = bytes(range(256)) * 4096
    for name, data in (("short", image(payload)[:-1]), ("magic", image(payload, magic=b"XXXX")),
                       ("huge", image(payload, length=0xFFFFFFF0))):
        f = box.workdir / f"{name}.img"
        f.write_bytes(data)
        page = upload(box, "/maintenance/updatecheck.html", f)
        assert "Unrecognizable update file" in page, name
    assert not box.path("/dev/mtdblock2").exists()

    good = box.workdir / "good.img"
    good.write_bytes(image(payload))
    page = upload(box, "/maintenance/updatecheck.html", good)
    assert "Update file is verified. Please wait..." in page
    seen = set()
    deadline = time.monotonic() + 60
    while box.running() and time.monotonic() < deadline:
        r = curl(box, url(box, "/maintenance/updater.html"))
        for m in re.findall(r'aria-valuenow="(\d+)"', r.stdout):
            seen.add(int(m))
        if "The device is restarting." in r.stdout:
            seen.add(100)
        time.sleep(0.3)
    assert box.wait_exit(timeout=20) == 2
    assert box.path("/dev/mtdblock2").read_bytes() == good.read_bytes()
    assert seen and max(seen) <= 100 and all(p <= 96 for p in seen if p != 100), seen


# A field of each port form, set to what is not its default.
PORT_FORM_FIELDS = (("/device/port.html", "zyt_prereset_1=on"), ("/security/encrypt.html", "zyt_sec_1=on"),
                    ("/security/port_access.html", "zyt_accctrl_1=key"),
                    ("/security/devacc.html", "zyt_vendprodIDs_1=abcd:0001"))


def test_with_session_keys_only_an_administrator_reaches_the_pages(box):
    box.write_params(web_login.SESSIONS_ON)
    started(box)
    _, ca = make_pair(box.workdir, "ca", "Session Root")
    ca_hash = openssl("x509", "-hash", "-noout", "-in", str(ca)).strip()
    admin = web_login.login(box)
    user = web_login.login(box, "user")

    def code(path, *args):
        return curl(box, "-o", "/dev/null", "-w", "%{http_code}", *args, url(box, path)).stdout

    # Without a session, or as a user, the uploads and actions are refused.
    for cookie in ((), ("-b", user)):
        assert code("/security/certificate.html", *cookie) == "302"
        assert code("/maintenance/restart.cgi?cold=1", *cookie) == "302"
        r = curl(box, *cookie, "-F", f"file=@{ca}", url(box, "/security/certcastore.cgi"))
        assert not box.path(f"/flash/{ca_hash}.0").exists(), r.stdout[:300]
        # Nor do the port forms show or take anything.
        for path, field in PORT_FORM_FIELDS:
            assert code(path, *cookie) == "302", (path, cookie)
            assert code(path, *cookie, "-d", f"action=set&{field}") == "302", (path, cookie)
    assert box.running()
    listing = curl(box, "-b", admin, url(box, "/txt/parameters.txt")).stdout.replace(" ", "")
    for path, field in PORT_FORM_FIELDS:
        name = field.partition("=")[0]
        assert re.search(rf"^{name}=(off|---|)\r?$", listing, re.M), (name, listing[:500])

    page = curl(box, "-b", admin, "-F", f"file=@{ca}", url(box, "/security/certcastore.cgi")).stdout
    assert "Session Root" in page and box.path(f"/flash/{ca_hash}.0").exists()
    page = curl(box, "-b", admin, url(box, "/security/http.html")).stdout
    assert re.search(r"Open administrator sessions</dt><dd>1<", page), page
    assert re.search(r"Open user sessions</dt><dd>1<", page), page
