#!/usr/bin/python3
"""A DNS-SD browser in the peer namespace, on python3-zeroconf: finds the
instances of a service type and resolves each one, or first registers an
instance of its own (to claim a name the box wants).

  mdns_peer.py browse TYPE SECONDS
  mdns_peer.py claim-and-browse TYPE INSTANCE SECONDS ADDRESS
  mdns_peer.py watch TYPE SECONDS      prints "added NAME" and "removed NAME"
                                       as they happen; ends after the first
                                       removal or after SECONDS

Prints one line per resolved instance:
  found <instance> server=<host> port=<port> addresses=<a,b> txt=<hex>
"""
import socket
import sys
import threading
import time

from zeroconf import IPVersion, ServiceBrowser, ServiceInfo, Zeroconf


class Watcher:
    def __init__(self):
        self.removed = threading.Event()

    def add_service(self, zc, type_, name):
        print(f"added {name}", flush=True)

    def update_service(self, zc, type_, name):
        pass

    def remove_service(self, zc, type_, name):
        print(f"removed {name}", flush=True)
        self.removed.set()


class Listener:
    def __init__(self):
        self.names = set()

    def add_service(self, zc, type_, name):
        self.names.add(name)

    def update_service(self, zc, type_, name):
        self.names.add(name)

    def remove_service(self, zc, type_, name):
        pass


def browse(zc, type_, seconds):
    listener = Listener()
    ServiceBrowser(zc, type_, listener)
    time.sleep(seconds)
    for name in sorted(listener.names):
        info = zc.get_service_info(type_, name, timeout=3000)
        if info is None:
            print(f"unresolved {name}", flush=True)
            continue
        addresses = ",".join(info.parsed_addresses())
        print(f"found {name} server={info.server} port={info.port} addresses={addresses} "
              f"txt={info.text.hex()}", flush=True)


def main():
    mode = sys.argv[1]
    zc = Zeroconf(ip_version=IPVersion.V4Only)
    try:
        if mode == "browse":
            browse(zc, sys.argv[2], float(sys.argv[3]))
        elif mode == "watch":
            watcher = Watcher()
            ServiceBrowser(zc, sys.argv[2], watcher)
            watcher.removed.wait(float(sys.argv[3]))
        elif mode == "claim-and-browse":
            type_, instance = sys.argv[2], sys.argv[3]
            # The claimer's record points at a host of its own.
            info = ServiceInfo(type_, f"{instance}.{type_}", port=80, server="claimer.local.",
                               addresses=[socket.inet_aton(sys.argv[5])])
            zc.register_service(info, allow_name_change=False)
            print("claimed", flush=True)
            browse(zc, type_, float(sys.argv[4]))
        else:
            raise SystemExit(f"unknown mode {mode}")
    finally:
        zc.close()


if __name__ == "__main__":
    main()
