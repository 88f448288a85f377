"""The security and maintenance pages in Debian's chromium, headless: every
page of them shown and kept as a screenshot (out/screenshots, kept by CI),
a certificate generated through the page's form and then served over
HTTPS, a PKCS#12 file and a parameter file uploaded by the browser itself,
and a firmware image uploaded and followed on its progress page through to
the restart, after which the box answers again."""

import base64
import re
import time

import pytest

import web_login
from browser_driver import CHROMIUM, NOT_WAITING, Browser
from test_web import curl, read_params, started, wait_for_web
from test_web_admin import fingerprint, image, make_pair, openssl, served_certificate

SECURITY_PAGES = ["ssl", "http", "certificate", "authentication", "sscert", "rqcert", "pkcs12", "ca", "mime",
                  "request", "encrypt", "port_access", "devacc"]
MAINTENANCE_PAGES = ["backup", "showparams", "sdcard", "restart", "reset", "update"]
SHOWN = ["security/ssl", "security/certificate", "security/sscert", "security/pkcs12", "maintenance/backup",
         "maintenance/update", "security/port_access", "device/port"]


@pytest.fixture
def admin_browser(box):
    if CHROMIUM is None:
        pytest.fail("chromium is missing: run tools/install-deps.sh")
    started(box)
    return Browser(box, box.workdir)


def uploading_form(browser, name, action, data, fields=()):
    """A page that puts data into its file field, as a person choosing the
    file would, and sends the form: the file first, then the fields."""
    encoded = base64.b64encode(data).decode()
    inputs = "".join(f'<input name="{k}" value="{v}">' for k, v in fields)
    return browser.local_page(name, f"""
<form method="post" action="{action}" enctype="multipart/form-data"><input type="file" name="file">{inputs}</form>
<script>
const bytes = Uint8Array.from(atob("{encoded}"), c => c.charCodeAt(0));
const chosen = new DataTransfer();
chosen.items.add(new File([bytes], "{name}.bin"));
document.forms[0].file.files = chosen.files;
document.forms[0].submit();
</script>""")


def test_security_and_maintenance_pages_in_a_browser(admin_browser):
    browser = admin_browser
    box = browser.box
    base = f"http://{box.box_ip}"

    # Every page expands whole; the ones a person mostly uses are kept as
    # pictures (each browser start takes seconds).
    for folder, pages in (("security", SECURITY_PAGES), ("maintenance", MAINTENANCE_PAGES)):
        for page in pages:
            html = curl(box, f"{base}/{folder}/{page}.html").stdout
            assert "</main>" in html and "{" not in html.split("<main", 1)[1].replace("{ ", ""), page
    for n, page in enumerate(SHOWN):
        browser.screenshot(f"{base}/{page}.html", f"2{n}-{page.replace('/', '-')}")
    details = browser.dom(f"https://{box.box_ip}/security/details.html", ignore_certificate_errors=True)
    assert "TLSv1.2" in details, details[-1500:]

    # A self-signed certificate made through the page's form.
    form = browser.form_page("certgen", f"{base}/security/certgen.cgi", {
        "self_cn": "browser.example", "self_on": "Lab", "self_ou": "", "self_ln": "Town", "self_sn": "",
        "self_ctry": "DE", "self_san": "browser.example", "self_mail": "", "self_syear": "2024", "self_smon": "1",
        "self_sday": "1", "self_eyear": "2031", "self_emon": "1", "self_eday": "1", "RSAbits": "2048",
        "sub_cert": "1"})
    # The wait page reloads by itself into the result.
    dom = browser.dom(form, until=NOT_WAITING)
    assert "required fields" not in dom and "browser.example" in dom, dom[-1500:]
    deadline = time.monotonic() + 60
    while "is being generated" in curl(box, f"{base}/security/certgen.cgi").stdout:
        assert time.monotonic() < deadline
        time.sleep(0.5)
    assert "CN = browser.example" in openssl("x509", "-noout", "-subject", input=served_certificate(box))
    browser.screenshot(f"{base}/security/showcert.html", "30-security-generated")

    # A PKCS#12 file chosen in the browser; it then takes precedence.
    key, cert = make_pair(box.workdir, "import", "Browser Import")
    p12 = box.workdir / "a.p12"
    openssl("pkcs12", "-export", "-inkey", str(key), "-in", str(cert), "-passout", "pass:Secr3t", "-out", str(p12))
    dom = browser.dom(uploading_form(browser, "p12", f"{base}/security/certpstore.cgi", p12.read_bytes(),
                                     [("pass", "Secr3t")]))
    assert "Browser Import" in dom, dom[-1500:]
    assert fingerprint(served_certificate(box)) == fingerprint(cert.read_text())
    browser.screenshot(f"{base}/security/showforg.html", "31-security-imported")
    browser.screenshot(f"{base}/security/certificate.html", "32-security-certificates")
    # The German words are the long ones: the same table in German, whole.
    german = curl(box, f"{base}/security/certificate_de.html").stdout
    assert "Zertifikatsanforderung" in german and "Selbstsigniertes Zertifikat" in german, german[-1500:]
    assert "Certificate request" not in german and "Self-signed certificate" not in german
    browser.screenshot(f"{base}/security/certificate_de.html", "35-security-certificates-german")
    browser.screenshot(f"{base}/security/ssl_de.html", "36-security-encryption-german")
    # The language of a URL becomes the box's: English again for what follows.
    assert "Certificate request" in curl(box, f"{base}/security/certificate_en.html").stdout

    # The parameter file, downloaded, changed and uploaded by the browser.
    listing = curl(box, f"{base}/bin/parameters").stdout
    changed = re.sub(r"^( sys_contact +=).*$", r"\1 Browser desk", listing, flags=re.M)
    dom = browser.dom(uploading_form(browser, "params", f"{base}/maintenance/setparams.cgi", changed.encode()))
    assert "Parameters are changed. Please wait." in dom
    assert read_params(box)["sys_contact"] == "Browser desk"

    # A firmware image: its progress page, then the restart.
    # The picture is of the page the upload answers; the box restarts a few
    # seconds later.
    data = image(bytes(range(256)) * 256)
    browser.screenshot(uploading_form(browser, "firmware", f"{base}/maintenance/updatecheck.html", data),
                       "33-maintenance-update-progress")
    assert box.wait_exit(timeout=60) == 2
    assert box.path("/dev/mtdblock2").read_bytes() == data

    # The box runs again after the update's restart, now with logins: the
    # browser logs in as the administrator and sees the pages again.
    box.write_params(web_login.SESSIONS_ON)
    box.start(kickoff=1)
    wait_for_web(box, timeout=30)
    assert curl(box, "-o", "/dev/null", "-w", "%{http_code}", f"{base}/security/certificate.html").stdout == "302"
    login = browser.form_page("login", f"{base}/index.html", {"action": "set", "name": "Admin", "pwd": ""})
    assert "Log out (Admin)" in browser.dom(login)
    browser.screenshot(login, "34-logged-in-after-the-update")
    cookie = web_login.login(box)
    assert "Browser desk" in curl(box, "-b", cookie, f"{base}/network/snmp.html").stdout
    assert "Browser Import" in curl(box, "-b", cookie, f"{base}/security/showforg.html").stdout
