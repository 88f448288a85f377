#!/usr/bin/env bash
# Boots the real-USB test guest under QEMU; the serial console is this
# script's standard input and output (the guest's /init takes commands there).
#
#   tools/guest/run-vm.sh [options]
#
#   --vm-dir DIR      this VM's own files: disk image, serial adapter output,
#                     QMP socket, the ports file (default: a new directory in
#                     /tmp, removed when QEMU ends)
#   --initrd FILE     the image from build-initramfs.sh (default: the cache's)
#   --usb-port N      host port on 127.0.0.1 forwarded to the guest's 9200
#   --tls-port N      host port on 127.0.0.1 forwarded to the guest's 9443
#                     (default for both: free ports picked now)
#   --timeout S       QEMU is ended after S seconds whatever happens (600)
#   --append TEXT     more kernel command-line words (e.g. wev.idle=60)
#   --dry-run         print the QEMU command instead of running it
#
# The guest: q35, software emulation (ACCEL=kvm for machines where KVM works),
# one xHCI controller with eight USB 2 and eight USB 3 ports holding a USB
# stick on a disk image (port 1, id "stick", block node "stick0"), a keyboard
# (port 2, id "kbd"), a tablet (port 3, id "tablet") and an FTDI serial
# adapter writing into a file (port 4, id "ftdi"); an e1000 on QEMU's user
# network that reaches nothing outside, with the two forwarded ports.
# QMP (for device_del / device_add) listens on DIR/qmp.sock; DIR/ports holds
# USB_PORT, TLS_PORT and QMP_SOCKET as shell assignments.
# Several VMs may run at once, each with its own directory and ports.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/guest-env.sh"

die() { echo "run-vm.sh: $*" >&2; exit 1; }

vm_dir=""
initrd=$GUEST_CACHE/initramfs.cpio.gz
usb_port=""
tls_port=""
limit=600
append=""
dry_run=0
while [ $# -gt 0 ]; do
    case "$1" in
        --dry-run) dry_run=1; shift; continue ;;
    esac
    [ $# -ge 2 ] || die "option $1 needs a value"
    case "$1" in
        --vm-dir) vm_dir=$2 ;;
        --initrd) initrd=$2 ;;
        --usb-port) usb_port=$2 ;;
        --tls-port) tls_port=$2 ;;
        --timeout) limit=$2 ;;
        --append) append=$2 ;;
        *) die "unknown option $1" ;;
    esac
    shift 2
done

is_port() { [[ $1 =~ ^[0-9]+$ ]] && [ "$1" -ge 1 ] && [ "$1" -le 65535 ]; }
if ! [[ $limit =~ ^[0-9]+$ ]] || [ "$limit" -lt 1 ]; then
    die "--timeout must be a number of seconds, not '$limit'"
fi
[ -z "$usb_port" ] || is_port "$usb_port" || die "--usb-port must be 1 to 65535, not '$usb_port'"
[ -z "$tls_port" ] || is_port "$tls_port" || die "--tls-port must be 1 to 65535, not '$tls_port'"
[[ $append != *[[:cntrl:]]* ]] || die "--append must be one line"
[ -f "$initrd" ] || die "no initramfs at $initrd: run tools/guest/build-initramfs.sh"
kernel=$(guest_boot_image) || die "no guest kernel in $GUEST_KERNEL_DIR: run tools/guest/setup.sh"
command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 is missing: run tools/guest/setup.sh"

# Free ports now; QEMU binds them a moment later. A port taken in between
# makes QEMU fail at once with "Could not set up host forwarding rule", and
# the caller starts again with new ports.
free_ports() {
    python3 -c '
import socket, sys
held = []
for _ in range(int(sys.argv[1])):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    held.append(s)
print(" ".join(str(s.getsockname()[1]) for s in held))
' "$1"
}
if [ -z "$usb_port" ] || [ -z "$tls_port" ]; then
    read -r p1 p2 <<<"$(free_ports 2)"
    [ -n "$usb_port" ] || usb_port=$p1
    if [ -z "$tls_port" ]; then
        tls_port=$p2
        [ "$tls_port" != "$usb_port" ] || tls_port=$p1
    fi
fi
[ "$usb_port" != "$tls_port" ] || die "--usb-port and --tls-port must differ"

own_vm_dir=0
if [ -z "$vm_dir" ]; then
    vm_dir=$(mktemp -d "${TMPDIR:-/tmp}/wev-guest-vm.XXXXXX")
    own_vm_dir=1
fi
mkdir -p "$vm_dir"
vm_dir=$(cd "$vm_dir" && pwd -P)
qmp_socket=$vm_dir/qmp.sock
# sun_path holds 108 bytes with the terminating NUL.
[ ${#qmp_socket} -le 107 ] || die "QMP socket path too long for a unix socket: $qmp_socket"
rm -f "$qmp_socket"

stick=$vm_dir/stick0.img
if [ ! -f "$stick" ]; then
    # Sector 0 carries a marker that a reader over usbfs can recognise.
    truncate -s 8M "$stick"
    printf 'WEV-GUEST-DISK stick0 sector 0' | dd of="$stick" conv=notrunc status=none
fi

case "${ACCEL:-tcg}" in
    tcg) accel=(-accel tcg) ;;
    kvm) accel=(-accel kvm -cpu host) ;;
    *) die "ACCEL must be tcg or kvm, not '$ACCEL'" ;;
esac

forward="hostfwd=tcp:127.0.0.1:$usb_port-$GUEST_IP:$GUEST_USB_PORT"
forward+=",hostfwd=tcp:127.0.0.1:$tls_port-$GUEST_IP:$GUEST_USB_TLS_PORT"
# shellcheck disable=SC2054  # QEMU's own option syntax separates with commas
args=(
    -M q35 "${accel[@]}" -m 512 -smp 1
    -nodefaults -no-user-config -display none -monitor none -no-reboot
    -serial stdio
    -kernel "$kernel" -initrd "$initrd"
    # With fewer free ports than devices QEMU would silently put a hub in between.
    -device qemu-xhci,id=xhci,p2=8,p3=8
    -blockdev "node-name=stick0,driver=raw,file.driver=file,file.filename=$stick"
    -device usb-storage,bus=xhci.0,port=1,id=stick,drive=stick0,serial=STICK0001
    -device usb-kbd,bus=xhci.0,port=2,id=kbd
    -device usb-tablet,bus=xhci.0,port=3,id=tablet
    # QEMU attaches the serial adapter only when its back-end is open: a file, not null.
    -chardev "file,id=ftdi0,path=$vm_dir/ftdi0.out"
    -device usb-serial,bus=xhci.0,port=4,id=ftdi,chardev=ftdi0
    -netdev "user,id=net0,restrict=on,net=$GUEST_NET,host=$GUEST_NET_HOST,dhcpstart=$GUEST_IP,ipv6-net=$GUEST_NET6,$forward"
    -device e1000,netdev=net0
    -qmp "unix:$qmp_socket,server=on,wait=off"
    -append "console=ttyS0 quiet panic=-1 mitigations=off $append"
)

if [ "$dry_run" = 1 ]; then
    printf '%q ' qemu-system-x86_64 "${args[@]}"
    echo
    exit 0
fi

cat >"$vm_dir/ports" <<EOF
USB_PORT=$usb_port
TLS_PORT=$tls_port
QMP_SOCKET=$qmp_socket
EOF
echo "run-vm.sh: vm $vm_dir, 127.0.0.1:$usb_port -> guest $GUEST_USB_PORT," \
     "127.0.0.1:$tls_port -> guest $GUEST_USB_TLS_PORT, QMP $qmp_socket" >&2

# timeout makes itself a process group leader; on a terminal QEMU must stay
# in the foreground group to read the console.
foreground=()
[ -t 0 ] && foreground=(--foreground)
vm=(timeout "${foreground[@]}" -k 10 "$limit" qemu-system-x86_64 "${args[@]}")
if [ "$own_vm_dir" = 0 ]; then
    exec "${vm[@]}"
fi
# A directory made here is removed here; one given by the caller is the caller's.
trap 'rm -rf "$vm_dir"' EXIT
code=0
"${vm[@]}" || code=$?
exit "$code"
