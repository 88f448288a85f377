"""The SNMP agent of a running box, asked by the net-snmp tools from the
peer namespace (numeric identifiers throughout)."""

import re

from test_parameters import read_params
from test_start_stop import BANNER
from wevbox import REPO

ENT = "1.3.6.1.4.1.32473"
V2C = ("-v2c", "-c", "vorlap")  # the default community
V1 = ("-v1", "-c", "vorlap")


def snmp(box, tool, *rest, opts=V2C, target=None):
    """(returncode, stdout and stderr) of a net-snmp tool run against the box."""
    cmd = [tool, "-On", "-t", "2", "-r", "1", *opts, target or box.box_ip, *rest]
    r = box.peer_exec(cmd, timeout=90)
    return r.returncode, r.stdout + r.stderr


def value_of(box, oid, opts=V2C, target=None):
    rc, out = snmp(box, "snmpget", oid, opts=opts, target=target)
    assert rc == 0, out
    return out.split(" = ", 1)[1].strip()


def start_agent_box(box, params=None):
    if params:
        box.write_params(params)
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    box.wait_for_stderr(r"NET-SNMP version", timeout=30)


def test_reads_over_v1_v2c_and_ipv6_and_a_wrong_community_gets_nothing(box):
    start_agent_box(box)
    assert value_of(box, f"{ENT}.2.4.1.0", opts=V1) == f"IpAddress: {box.box_ip}"
    rc, out = snmp(box, "snmpget", f"{ENT}.2.4.1")
    assert "No Such Object" in out or "No Such Instance" in out, out
    description = value_of(box, f"{ENT}.1.1.0")
    assert re.fullmatch(r'STRING: "VEK USB Device Server 4P; version \d+\.\d+\.\d+"', description)
    # The tables' index cells, and their neighbours in a walk.
    assert value_of(box, f"{ENT}.2.40.11.1.1.5.0") == "INTEGER: 5"
    rc, out = snmp(box, "snmpgetnext", f"{ENT}.2.50.1", f"{ENT}.2.50.1.0")
    assert f".{ENT}.2.50.1.0 = INTEGER: 4" in out, out
    assert f".{ENT}.2.50.1.1.0 = INTEGER: 20" in out, out
    rc, out = snmp(box, "snmpgetnext", "1.3.6.1.2.1.43")
    assert ".1.3.6.1.2.1.43.5.1.1.3.1 = INTEGER: 3" in out, out
    # sysUpTime counts from the program's start.
    assert value_of(box, "1.3.6.1.2.1.1.3.0").startswith("Timeticks:")

    rc, out = snmp(box, "snmpget", f"{ENT}.2.4.1.0", opts=("-v2c", "-c", "wrong"))
    assert rc != 0 and "Timeout" in out, out

    link_local = box.box_exec("ip -6 -o addr show dev eth0 scope link", check=True).stdout
    address = re.search(r"inet6 (fe80::[0-9a-f:]+)/", link_local).group(1)
    target = f"udp6:[{address}%{box.peer_if}]:161"
    assert value_of(box, f"{ENT}.2.4.1.0", target=target) == f"IpAddress: {box.box_ip}"


def catalogue_objects():
    """{identifier: (name, class)} of every parameter object, from the data
    file the program's tables are made of."""
    objects = {}
    for line in (REPO / "data" / "params.tsv").read_text().splitlines():
        cols = line.split("\t")
        if line.startswith("#") or len(cols) != 9:
            continue
        name, members, cls, oid = cols[0], cols[1], cols[2], cols[7]
        if members == "-":
            objects[f"{ENT}.{oid}"] = (name, cls)
            continue
        first, last = map(int, members.split(".."))
        numbers = range(first, last + 1)
        oids = [oid.replace("{n}", str(n)) for n in numbers] if "{n}" in oid else oid.split(",")
        for n, o in zip(numbers, oids):
            objects[f"{ENT}.{o}"] = (name.replace("{n}", str(n)), cls)
    return objects


def test_walk_shows_what_the_model_has_with_the_stored_values(box):
    start_agent_box(box, {"sys_contact": "ops desk", "zyt_port": "9300"})
    rc, out = snmp(box, "snmpbulkwalk", f"{ENT}.2")
    assert rc == 0, out[-2000:]
    walked = {}
    for line in out.splitlines():
        m = re.match(r"\.(\S+)\.0 = (?:([\w-]+): ?)?(.*)$", line)
        assert m, line
        # The tools print an empty text without its type.
        walked[m.group(1)] = (m.group(2) or "STRING", m.group(3))
    objects = catalogue_objects()
    stored = read_params(box)
    names = {objects[o][0]: (o, v) for o, v in walked.items() if o in objects}
    # A 4-port model: its ports' columns are there, the others hidden.
    assert "zyt_sec_4" in names and "zyt_sec_5" not in names
    assert "language" not in names  # internal
    checked = 0
    for name, (oid, (typ, value)) in names.items():
        cls = objects[oid][1]
        if name not in stored:
            continue
        if cls == "Int":
            assert value == stored[name], name
        elif cls == "Bool":
            assert value == ("1" if stored[name] == "on" else "0"), name
        elif cls == "String" and value != '"****"':
            assert value.strip('"') == stored[name], name
        elif cls == "Ip":
            assert value == stored[name], name
        else:
            continue
        checked += 1
    assert names["zyt_port"][1] == ("INTEGER", "9300")
    assert names["sys_contact"][1] == ("STRING", '"ops desk"')
    assert checked > 100
    # Besides the parameters: the identity objects, the reset object and the
    # tables' index and count cells.
    identity = {f"{ENT}.2.1.{n}" for n in (2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 33)}
    identity |= {f"{ENT}.2.2.1", f"{ENT}.2.8.1"}
    unknown = [o for o in walked if o not in objects and o not in identity]
    assert all(re.match(rf"{ENT}\.2\.(40\.1[0-3]|43\.[12]|50\.[12])\.", o) for o in unknown), unknown
    assert len(unknown) == 60
    assert walked[f"{ENT}.2.8.1"] == ("INTEGER", "0")


def test_writes_of_every_class_reach_the_store_and_the_file(box):
    start_agent_box(box)
    sets = [
        ("2.1.35", "i", "9300", "zyt_port", "9300"),
        ("2.40.13.1.2.1", "i", "1", "hw_filter_on_1", "on"),
        ("2.5.1", "s", "box seven", "sys_name", "box seven"),
        ("2.21.5", "s", "GMT", "ntp_tzone", "GMT"),
        ("2.40.21", "i", "3", "sslmethod", "tls12"),
        ("2.4.3", "a", "198.18.5.1", "ip_gate", "198.18.5.1"),
        ("2.4.23", "s", "fd42:b0c5::7", "ipv6_addr", "fd42:b0c5::7"),
        ("2.40.13.1.3.1", "x", "020000000009", "hw_filter_1", "02:00:00:00:00:09"),
    ]
    for oid, typ, value, name, text in sets:
        rc, out = snmp(box, "snmpset", f"{ENT}.{oid}.0", typ, value)
        assert rc == 0, f"{name}: {out}"
        assert read_params(box)[name] == text, name
    assert box.stdout.count("call wrapper sys_name") >= 3

    refused = [
        ("2.1.35", "i", "70000", "wrongValue"),
        ("2.1.35", "s", "9400", "wrongType"),
        ("2.40.21", "i", "4", "wrongValue"),
        ("2.4.23", "s", "fd42:zz::7", "wrongType"),
        ("2.5.1", "x", "410a42", "wrongValue"),        # a line end
        ("2.1.50", "i", "1", "notWritable"),           # sw_features
        ("2.50.2.1.21.1", "s", "x", "notWritable"),    # a device column
    ]
    before = read_params(box)
    for oid, typ, value, status in refused:
        rc, out = snmp(box, "snmpset", f"{ENT}.{oid}.0", typ, value)
        assert rc != 0 and status in out, f"{oid}: {out}"
    assert read_params(box) == before
    # SNMPv1 sees the status mapped to its own.
    rc, out = snmp(box, "snmpset", f"{ENT}.2.1.35.0", "i", "70000", opts=V1)
    assert rc != 0 and "badValue" in out, out

    rc, out = snmp(box, "snmpset", f"{ENT}.2.4.1.0", "a", box.box_ip)
    assert rc == 0, out
    assert read_params(box)["ip_setby"] == "snmp"
    assert box.running


V3_USERS = {
    "snmpv3": "on",
    "admin_name": "Admin", "admin_rights": "readwrite", "admin_pwd": "adminpass1",
    "admin_hash": "sha", "admin_cipher": "aes", "admin_passphrase": "adminphrase",
    "any_name": "viewer", "any_rights": "readonly", "any_pwd": "it's-a-pass",
    "any_hash": "md5", "any_cipher": "des", "any_passphrase": "viewphrase",
}


def test_v3_users_with_authentication_and_privacy(box):
    start_agent_box(box, V3_USERS)
    admin = ("-v3", "-l", "authPriv", "-u", "Admin", "-a", "SHA", "-A", "adminpass1",
             "-x", "AES", "-X", "adminphrase")
    viewer = ("-v3", "-l", "authPriv", "-u", "viewer", "-a", "MD5", "-A", "it's-a-pass",
              "-x", "DES", "-X", "viewphrase")
    viewer_auth_only = ("-v3", "-l", "authNoPriv", "-u", "viewer", "-a", "MD5", "-A", "it's-a-pass")
    assert value_of(box, f"{ENT}.2.41.11.0", opts=admin) == 'STRING: "Admin"'
    assert value_of(box, f"{ENT}.2.41.1.0", opts=viewer) == 'STRING: "viewer"'
    # The user's level is privacy: a request with authentication only is refused.
    rc, out = snmp(box, "snmpget", f"{ENT}.2.41.1.0", opts=viewer_auth_only)
    assert rc != 0 and "authorizationError" in out, out
    # The secrets never leave the box.
    assert value_of(box, f"{ENT}.2.41.12.0", opts=admin) == 'STRING: "****"'

    rc, out = snmp(box, "snmpset", f"{ENT}.2.1.21.0", "s", "by admin", opts=admin)
    assert rc == 0, out
    assert read_params(box)["sys_contact"] == "by admin"
    rc, out = snmp(box, "snmpset", f"{ENT}.2.1.21.0", "s", "by viewer", opts=viewer)
    assert rc != 0 and ("noAccess" in out or "authorizationError" in out), out

    wrong = ("-v3", "-l", "authNoPriv", "-u", "Admin", "-a", "SHA", "-A", "not-the-pass")
    rc, out = snmp(box, "snmpget", f"{ENT}.2.41.11.0", opts=wrong)
    assert rc != 0 and "STRING" not in out, out
    conf = box.path("/var/snmpd.conf")
    assert conf.stat().st_mode & 0o777 == 0o600


def test_restart_by_snmp_keeps_the_parameters_and_factory_reset_removes_them(box):
    start_agent_box(box, {"sys_contact": "kept"})
    rc, out = snmp(box, "snmpset", f"{ENT}.2.8.1.0", "i", "5")
    assert rc == 0, out
    rc, out = snmp(box, "snmpset", f"{ENT}.2.8.1.0", "s", "\t")
    assert rc != 0 and "wrongType" in out, out
    # A reset in a request whose other binding is refused does nothing.
    rc, out = snmp(box, "snmpset", f"{ENT}.2.8.1.0", "i", "9", f"{ENT}.2.1.35.0", "i", "70000")
    assert rc != 0 and "wrongValue" in out, out
    assert box.running and box.path("/etc/params.dat").exists()

    rc, out = snmp(box, "snmpset", f"{ENT}.2.8.1.0", "i", "10")
    assert rc == 0, out
    assert box.wait_exit(timeout=15) == 0
    assert read_params(box)["sys_contact"] == "kept"

    start_agent_box(box)
    rc, out = snmp(box, "snmpset", f"{ENT}.2.8.1.0", "i", "9")
    assert rc == 0, out
    assert box.wait_exit(timeout=15) == 0
    assert not box.path("/etc/params.dat").exists()


def test_no_agent_when_both_versions_are_off(box):
    box.write_params({"snmpv1": "off", "snmpv3": "off"})
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    rc, out = snmp(box, "snmpget", f"{ENT}.2.4.1.0")
    assert rc != 0 and "Timeout" in out, out
    assert not box.path("/var/snmpd.conf").exists()
    assert "NET-SNMP" not in box.stderr


def test_management_vlan_answers_only_on_its_interface(box):
    # The stand-in for VLAN 7: a second veth pair, "eth0.7" in the box and
    # "vlan7" in the peer. The peer sends from 198.19.254.1 through vlan7
    # (its own routing table for that source) and from its usual address
    # through veth0, to the same box address.
    box.box_exec(f"ip link add eth0.7 type veth peer name vlan7 netns {box.peer_ns}", check=True)
    box.peer_exec("ip addr add 198.19.254.1/24 dev vlan7 && ip link set vlan7 up && "
                  "ip rule add from 198.19.254.1 table 7 && ip route add default dev vlan7 table 7",
                  check=True)
    start_agent_box(box, {"ip4vlan_mgmt": "on", "ip4vlan_mgmt_id": "7", "ipv6": "off"})
    box.wait_for_stdout(r"force2face\(\d+\) rc:0", timeout=10)
    through_vlan = ("-v2c", "-c", "vorlap", "--clientaddr=198.19.254.1")
    assert value_of(box, f"{ENT}.2.43.11.0", opts=through_vlan) == "INTEGER: 7"
    rc, out = snmp(box, "snmpget", f"{ENT}.2.43.11.0")
    assert rc != 0 and "Timeout" in out, out


def test_agent_ends_when_its_socket_cannot_be_bound_to_the_management_vlan(box):
    # No device "eth0.9": the bind fails and the agent gives up; the box runs on.
    box.write_params({"ip4vlan_mgmt": "on", "ip4vlan_mgmt_id": "9", "ipv6": "off"})
    box.start(kickoff=0)
    box.wait_for_stderr(BANNER, timeout=30)
    box.wait_for_stdout(r"snmpUDPDomain\.c netsnmp_udp_transport force2face\(\d+\) rc:-1", timeout=15)
    box.wait_for_stderr(r"could not open its transports", timeout=10)
    rc, out = snmp(box, "snmpget", f"{ENT}.2.4.1.0")
    assert rc != 0 and "Timeout" in out, out
    assert box.running
