#!/usr/bin/env bash
# Installs every Debian 12 package the project builds and tests with.
# Idempotent: when all of them are installed already it only checks and ends.
set -euo pipefail

PACKAGES=(
    # toolchain and unit tests
    cmake ninja-build g++ pkg-config
    libgtest-dev googletest libgmock-dev
    # libraries the program is linked with, and the tools around them
    libssl-dev openssl
    libsnmp-dev snmp
    libip4tc-dev iptables
    libiw-dev
    wpasupplicant libwpa-client-dev
    usb.ids
    gettext
    # whole-program tests and the network-namespace harness
    python3 python3-pytest
    iproute2 iputils-ping procps psmisc util-linux
    rsyslog
    # read-only image and FAT images
    squashfs-tools mtools dosfstools
    # the real-USB guest (QEMU)
    qemu-system-x86 busybox-static
    curl perl
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

missing=()
for pkg in "${PACKAGES[@]}"; do
    is_installed "$pkg" || missing+=("$pkg")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps.sh: all ${#PACKAGES[@]} packages are installed"
    exit 0
fi

echo "install-deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
    "${missing[@]}"

still_missing=()
for pkg in "${missing[@]}"; do
    is_installed "$pkg" || still_missing+=("$pkg")
done
if [ ${#still_missing[@]} -ne 0 ]; then
    echo "install-deps.sh: still not installed: ${still_missing[*]}" >&2
    exit 1
fi
echo "install-deps.sh: done"
