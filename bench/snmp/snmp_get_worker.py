#!/usr/bin/env python3
"""Sends COUNT SNMPv2c GET requests for one object, one after the other, and
prints the seconds they took. Runs in the peer namespace of a benchmark.

    snmp_get_worker.py HOST PORT COMMUNITY OID COUNT
"""

import socket
import sys
import time


def ber_length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, body):
    return bytes([tag]) + ber_length(len(body)) + body


def ber_int(v):
    return tlv(0x02, v.to_bytes(max(1, (v.bit_length() + 8) // 8), "big", signed=True))


def ber_oid(text):
    parts = [int(p) for p in text.strip(".").split(".")]
    body = bytearray([parts[0] * 40 + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.append(0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(reversed(chunk))
    return tlv(0x06, bytes(body))


def get_request(community, oid, request_id):
    varbind = tlv(0x30, ber_oid(oid) + b"\x05\x00")
    pdu = tlv(0xA0, ber_int(request_id) + ber_int(0) + ber_int(0) + tlv(0x30, varbind))
    return tlv(0x30, ber_int(1) + tlv(0x04, community.encode()) + pdu)


def main(argv):
    host, port, community, oid, count = argv[1], int(argv[2]), argv[3], argv[4], int(argv[5])
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(2)
    sock.connect((host, port))
    start = time.perf_counter()
    for i in range(count):
        sock.send(get_request(community, oid, i + 1))
        answer = sock.recv(2048)
        # A response PDU (0xA2) with error status 0 for every request.
        if b"\xa2" not in answer[:40]:
            print(f"request {i + 1}: no response PDU", file=sys.stderr)
            return 1
    print(f"{time.perf_counter() - start:.6f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
