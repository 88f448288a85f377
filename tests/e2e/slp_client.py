#!/usr/bin/python3
"""An SLPv1 user agent, written from RFC 2165: sends one service request
(SrvRqst) and prints the URLs of the replies (SrvRply) that arrive.

  slp_client.py DEST PREDICATE [SECONDS]     a request with this predicate
  slp_client.py DEST --raw HEX [SECONDS]     these bytes as they stand

Prints "reply <url>" per URL entry and "replies <n>" at the end.
"""
import socket
import struct
import sys
import time

SLP_PORT = 427


def service_request(predicate, xid=0x4711):
    body = struct.pack("!H", 0)  # no previous responders
    pred = predicate.encode()
    body += struct.pack("!H", len(pred)) + pred
    # version 1, function 1 (SrvRqst), length, flags, dialect, "en", charset 3 (US-ASCII), xid
    header = struct.pack("!BBHBB2sHH", 1, 1, 12 + len(body), 0, 0, b"en", 3, xid)
    return header + body


def parse_reply(data):
    version, function, _length = struct.unpack("!BBH", data[:4])
    if version != 1 or function != 2:
        return None
    error, count = struct.unpack("!HH", data[12:16])
    urls, at = [], 16
    for _ in range(count):
        _lifetime, n = struct.unpack("!HH", data[at:at + 4])
        urls.append(data[at + 4:at + 4 + n].decode())
        at += 4 + n
    return error, urls


def main():
    dest = sys.argv[1]
    if sys.argv[2] == "--raw":
        message = bytes.fromhex(sys.argv[3])
        rest = sys.argv[4:]
    else:
        message = service_request(sys.argv[2])
        rest = sys.argv[3:]
    seconds = float(rest[0]) if rest else 2.0
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 4)
    s.sendto(message, (dest, SLP_PORT))
    deadline = time.monotonic() + seconds
    replies = 0
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        s.settimeout(left)
        try:
            data, sender = s.recvfrom(4096)
        except socket.timeout:
            break
        parsed = parse_reply(data)
        if parsed is None:
            continue
        replies += 1
        for url in parsed[1]:
            print(f"reply {sender[0]} {url}", flush=True)
    print(f"replies {replies}", flush=True)


if __name__ == "__main__":
    main()
