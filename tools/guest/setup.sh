#!/usr/bin/env bash
# Prepares the real-USB test guest. Idempotent: a second run only checks.
#
#   tools/guest/setup.sh --fetch    the install step's part (tools/install-deps.sh)
#   tools/guest/setup.sh            what a test run does: no network, no apt
#
# With --fetch:
# - installs qemu-system-x86 and busybox-static (Debian packages, without
#   recommends) and the few tools the guest build uses, when they are missing;
# - downloads Debian's kernel image package into the kernel cache (see
#   guest-env.sh) and unpacks it there: the kernel is not installed on this
#   machine (no initramfs-tools, no maintainer scripts, nothing in /boot).
# Both ways, it extracts from the bzImage an ELF vmlinux that QEMU can boot
# directly. Without --fetch, what is missing is reported and nothing fetched.
#
# Exit codes: 0 ready; 77 this machine cannot provide QEMU or the kernel (not
# fetched by the install step, no root for apt-get, the package or the
# download failed); anything else is a fault of the tooling.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/guest-env.sh"

say() { echo "setup.sh: $*" >&2; }
unavailable() { say "$*"; exit "$GUEST_EXIT_UNAVAILABLE"; }

# The commands the guest tools need, each with the package that brings it.
TOOLS=(
    "qemu-system-x86_64 qemu-system-x86"
    "objcopy binutils"
    "readelf binutils"
    "xz xz-utils"
    "gzip gzip"
    "flock util-linux"
    "timeout coreutils"
    "python3 python3"
)

apt_lists_fresh=0
refresh_apt_lists() {
    [ "$apt_lists_fresh" = 1 ] && return 0
    apt-get update -q >&2 || return 1
    apt_lists_fresh=1
}

# busybox must be the static build: the guest has no C library of its own
# besides the copies made for the program.
busybox_is_static() {
    [ -x /bin/busybox ] || return 1
    # grep reads the whole list: an early exit would end busybox with
    # SIGPIPE, which pipefail turns into a failure now and then.
    /bin/busybox --list 2>/dev/null | grep -x cpio >/dev/null || return 1
    ! readelf -l /bin/busybox 2>/dev/null | grep 'program interpreter' >/dev/null
}

install_missing_packages() {
    local missing=() entry cmd pkg
    for entry in "${TOOLS[@]}"; do
        cmd=${entry%% *}
        pkg=${entry#* }
        command -v "$cmd" >/dev/null 2>&1 || missing+=("$pkg")
    done
    busybox_is_static || missing+=(busybox-static)
    [ ${#missing[@]} -eq 0 ] && return 0

    mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
    [ "$fetch" = 1 ] || unavailable "missing ${missing[*]}: run tools/install-deps.sh"
    [ "$(id -u)" -eq 0 ] || unavailable "missing ${missing[*]}, and only root can install them"
    command -v apt-get >/dev/null 2>&1 || unavailable "missing ${missing[*]}, and there is no apt-get"
    say "installing ${missing[*]}"
    refresh_apt_lists || unavailable "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
        "${missing[@]}" >&2 || unavailable "apt-get install ${missing[*]} failed"
    busybox_is_static || unavailable "/bin/busybox is still not a static busybox with cpio"
}

# The versioned image package that the metapackage linux-image-amd64 names.
kernel_package_name() {
    local name
    name=$(apt-cache depends linux-image-amd64 2>/dev/null \
           | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    if [ -z "$name" ]; then
        refresh_apt_lists || return 1
        name=$(apt-cache depends linux-image-amd64 2>/dev/null \
               | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    fi
    [ -n "$name" ] || return 1
    echo "$name"
}

# Download and unpack into a scratch directory, then rename: an interrupted
# run leaves no half-unpacked kernel that a later run would take as complete.
fetch_kernel() {
    guest_kernel_version >/dev/null && return 0
    [ "$fetch" = 1 ] || unavailable "no guest kernel in $GUEST_KERNEL_DIR: run tools/install-deps.sh"
    local pkg scratch
    pkg=$(kernel_package_name) || unavailable "apt-cache knows no linux-image-amd64 kernel package"
    scratch=$GUEST_KERNEL_DIR/fetch.$$
    rm -rf "$scratch" "$GUEST_KERNEL_DIR/root" "$GUEST_KERNEL_DIR/vmlinux" "$GUEST_KERNEL_DIR/vmlinux.unavailable"
    mkdir -p "$scratch"
    # apt fetches as its own user where it can write
    chown _apt "$scratch" 2>/dev/null || true
    say "downloading $pkg"
    (cd "$scratch" && apt-get download -q "$pkg" >&2) \
        || { rm -rf "$scratch"; unavailable "apt-get download $pkg failed"; }
    local deb
    deb=$(find "$scratch" -maxdepth 1 -name "${pkg}_*.deb" | head -n 1)
    [ -n "$deb" ] || { rm -rf "$scratch"; unavailable "apt-get download $pkg left no .deb"; }
    say "unpacking $(basename "$deb")"
    dpkg-deb -x "$deb" "$scratch/root"
    rm -f "$deb"
    mv "$scratch/root" "$GUEST_KERNEL_DIR/root"
    rm -rf "$scratch"
    guest_kernel_version >/dev/null || { say "$pkg holds no boot/vmlinuz-* with its modules"; exit 1; }
}

# A bzImage carries the kernel as an XZ stream behind its boot code. The
# stream that unpacks to an ELF file with the PVH entry note is the vmlinux.
has_pvh_entry() {
    # Xen note type 18: the 32-bit physical entry point QEMU uses for PVH.
    readelf -n "$1" 2>/dev/null | awk '$1 == "Xen" && /\(0x00000012\)|PHYS32_ENTRY/ {f=1} END {exit !f}'
}

extract_vmlinux() {
    local out=$GUEST_KERNEL_DIR/vmlinux
    local none=$out.unavailable
    [ -f "$out" ] || [ -f "$none" ] && return 0
    local kver image tmp offset
    kver=$(guest_kernel_version)
    image=$GUEST_KERNEL_DIR/root/boot/vmlinuz-$kver
    tmp=$out.tmp.$$
    # The stream is cut to a file first: in a pipe, xz stopping after the
    # stream would make tail fail and hide whether xz itself succeeded.
    for offset in $(LC_ALL=C grep -abo $'\xfd7zXZ' "$image" | cut -d: -f1); do
        tail -c +$((offset + 1)) "$image" >"$tmp.xz"
        xz -dc --single-stream "$tmp.xz" >"$tmp" 2>/dev/null || continue
        if [ "$(head -c 4 "$tmp" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] && has_pvh_entry "$tmp"; then
            mv -f "$tmp" "$out"
            rm -f "$tmp.xz"
            say "extracted $out from vmlinuz-$kver"
            return 0
        fi
    done
    rm -f "$tmp" "$tmp.xz"
    : >"$none"
    say "no PVH-bootable vmlinux in vmlinuz-$kver; QEMU boots the bzImage (slower)"
}

fetch=0
case "${1:-}" in
    --fetch) fetch=1 ;;
    "") ;;
    *) echo "usage: tools/guest/setup.sh [--fetch]" >&2; exit 2 ;;
esac

install_missing_packages
mkdir -p "$GUEST_KERNEL_DIR"
# Two runs may set up at the same time; one fetches or extracts, the other waits.
exec 9>"$GUEST_KERNEL_DIR/setup.lock"
flock -w 900 9 || { say "another setup holds $GUEST_KERNEL_DIR/setup.lock for 900 s"; exit 1; }
fetch_kernel
extract_vmlinux
say "guest kernel $(guest_kernel_version), boot image $(guest_boot_image)"
