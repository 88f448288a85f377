# shellcheck shell=bash disable=SC2034
# Sourced by the guest tools (setup.sh, build-initramfs.sh, run-vm.sh): where
# the guest's kernel cache lives and the fixed plan of the guest's network.
#
# The guest's kernel is fetched once per machine by the install step
# (tools/install-deps.sh runs setup.sh --fetch) into /var/cache/wev-guest, so
# that every work tree and every test run uses it without the network; the
# images built from it stay in the work tree's build-guest/, which git
# ignores. WEV_GUEST_CACHE puts both in one directory of its own instead.

GUEST_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$GUEST_TOOLS/../.." && pwd)
GUEST_CACHE=${WEV_GUEST_CACHE:-$REPO/build-guest}
if [ -n "${WEV_GUEST_CACHE:-}" ]; then
    GUEST_KERNEL_DIR=$WEV_GUEST_CACHE/kernel
else
    GUEST_KERNEL_DIR=/var/cache/wev-guest/kernel
fi

# QEMU's user network inside the guest. It never leaves QEMU (restrict=on), but
# it still uses the project's test range so that no address plan mixes.
GUEST_NET=198.18.254.0/24
GUEST_NET_HOST=198.18.254.2
GUEST_IP=198.18.254.15
GUEST_MASK=255.255.255.0
GUEST_NET6=fd42:b0c5:fe::/64

# The ports the program serves inside the guest and that the host reaches
# through forwarding: the USB sharing protocol, plain and over TLS.
GUEST_USB_PORT=9200
GUEST_USB_TLS_PORT=9443

# setup.sh's exit code when the machine cannot provide QEMU or the kernel:
# callers report that as "skipped", never as passed or failed.
GUEST_EXIT_UNAVAILABLE=77

# The kernel version unpacked in the cache, or nothing.
guest_kernel_version() {
    local modules=$GUEST_KERNEL_DIR/root/lib/modules
    [ -d "$modules" ] || return 1
    local v
    for v in "$modules"/*; do
        [ -f "$GUEST_KERNEL_DIR/root/boot/vmlinuz-${v##*/}" ] || continue
        echo "${v##*/}"
        return 0
    done
    return 1
}

# The image QEMU boots: the ELF vmlinux when setup.sh could extract one (QEMU
# enters it directly and the guest skips decompressing itself, seconds under
# software emulation), else the compressed bzImage.
guest_boot_image() {
    local kver
    if [ -f "$GUEST_KERNEL_DIR/vmlinux" ]; then
        echo "$GUEST_KERNEL_DIR/vmlinux"
        return 0
    fi
    kver=$(guest_kernel_version) || return 1
    echo "$GUEST_KERNEL_DIR/root/boot/vmlinuz-$kver"
}
