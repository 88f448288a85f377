#!/usr/bin/env bash
# Installs every Debian 12 package the project builds and tests with, and
# fetches the real-USB guest's kernel (tools/guest/setup.sh --fetch), so that
# test runs need no network. Idempotent: when all is there it only checks.
#
# What it changes on the machine: the packages below and what they depend on
# (without recommends; apt may upgrade an installed library that a new
# package needs a newer version of, and the plan names those upgrades before
# it installs), and the guest kernel's files under /var/cache/wev-guest
# (about 450 MB, unpacked from Debian's kernel image package; nothing goes to
# /boot). Services that the packages bring (rsyslog, wpa_supplicant, ...) are
# neither started nor enabled: the tests start their own daemons inside their
# network namespaces.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

PACKAGES=(
    # toolchain and unit tests
    cmake ninja-build g++ pkg-config
    libgtest-dev googletest libgmock-dev
    # fuzzing of the network parsers (tools/fuzz.sh)
    clang libclang-rt-14-dev
    # libraries the program is linked with, and the tools around them
    libssl-dev openssl
    libsnmp-dev snmp snmptrapd snmpd
    libip4tc-dev iptables
    libiw-dev
    wpasupplicant libwpa-client-dev
    # wired IEEE 802.1X peer of the whole-program tests (wired driver, own EAP server)
    hostapd
    usb.ids
    gettext
    # whole-program tests and the network-namespace harness
    python3 python3-pytest python3-pytest-xdist
    iproute2 iputils-ping procps psmisc util-linux
    rsyslog
    dnsmasq-base chrony
    python3-aiosmtpd dovecot-pop3d
    # mDNS clients: a DNS-SD browser library and dig
    python3-zeroconf bind9-dnsutils
    # read-only image and FAT images
    squashfs-tools mtools dosfstools
    # the real-USB guest (QEMU) and the tools that build its image
    qemu-system-x86 busybox-static binutils xz-utils
    curl perl
    # the web pages seen by a browser, and the web benchmark's client and reference server
    chromium wrk lighttpd
)

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps.sh: must run as root (apt-get install)" >&2
    exit 1
fi

is_installed() {
    local status
    status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) || return 1
    [ "$status" = "install ok installed" ]
}

# ---- services stay off ------------------------------------------------------

POLICY=/usr/sbin/policy-rc.d
own_policy=0

# Maintainer scripts start services through invoke-rc.d or deb-systemd-invoke,
# which ask policy-rc.d first; 101 means "not now". A policy the machine has
# already stays in charge.
hold_service_starts() {
    [ -e "$POLICY" ] && return 0
    printf '#!/bin/sh\n# written by the project install step while it runs\nexit 101\n' >"$POLICY"
    chmod 0755 "$POLICY"
    own_policy=1
}

release_service_starts() {
    [ "$own_policy" = 1 ] && rm -f "$POLICY"
    own_policy=0
}

# The links that enable services at boot: systemd's wants and aliases, and
# the SysV start links.
enable_links() {
    find /etc/systemd/system /etc/rc2.d /etc/rc3.d /etc/rc4.d /etc/rc5.d \
         -type l 2>/dev/null | sort || true
}

# Undoes the enabling that this install did, and nothing else: only the links
# that were not there before it. Package upgrades later see the service as
# disabled by the administrator and leave it so.
disable_new_services() {
    local before=$1 link name sysv=()
    while IFS= read -r link; do
        case "$link" in
            /etc/rc?.d/S*)
                name=${link##*/}
                sysv+=("${name#S[0-9][0-9]}")
                ;;
            /etc/systemd/system/*)
                echo "install-deps.sh: not enabling $(basename "$(readlink "$link")") ($link)"
                rm -f "$link"
                ;;
        esac
    done < <(comm -13 <(printf '%s\n' "$before") <(enable_links))
    [ ${#sysv[@]} -gt 0 ] || return 0
    for name in $(printf '%s\n' "${sysv[@]}" | sort -u); do
        echo "install-deps.sh: not starting $name at boot (init script)"
        update-rc.d "$name" disable >/dev/null 2>&1 || rm -f /etc/rc?.d/S[0-9][0-9]"$name"
    done
}

# ---- packages -------------------------------------------------------------------

missing=()
for pkg in "${PACKAGES[@]}"; do
    is_installed "$pkg" || missing+=("$pkg")
done

APT_OPTIONS=(-y -q --no-install-recommends
             -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)

# Says which installed packages the install would upgrade.
print_upgrades() {
    local upgrades
    upgrades=$(apt-get -s "${APT_OPTIONS[@]}" install "$@" 2>/dev/null \
               | sed -n 's/^Inst \([^ ]*\) \[\([^]]*\)\].*/\1 (\2)/p' | tr '\n' ' ') || true
    [ -z "$upgrades" ] || echo "install-deps.sh: to satisfy them apt upgrades: $upgrades"
}

install_packages() {
    local before still_missing=() pkg
    echo "install-deps.sh: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    print_upgrades "${missing[@]}"
    before=$(enable_links)
    hold_service_starts
    trap release_service_starts EXIT
    apt-get install "${APT_OPTIONS[@]}" "${missing[@]}"
    release_service_starts
    disable_new_services "$before"
    for pkg in "${missing[@]}"; do
        is_installed "$pkg" || still_missing+=("$pkg")
    done
    if [ ${#still_missing[@]} -ne 0 ]; then
        echo "install-deps.sh: still not installed: ${still_missing[*]}" >&2
        exit 1
    fi
    echo "install-deps.sh: packages done"
}

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps.sh: all ${#PACKAGES[@]} packages are installed"
else
    install_packages
fi

# ---- the real-USB guest's kernel ------------------------------------------------

"$REPO/tools/guest/setup.sh" --fetch
