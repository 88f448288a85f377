#!/usr/bin/env bash
# Makes (or refreshes) a box root: a directory laid out like the box, for the
# program to run in with WEV_ROOT=DIR.
#
#   tools/mkroot.sh DIR [options]
#
# Options (defaults: a four-port model with switchable port power):
#   --product-id N        model number                      (347)
#   --board N             board type gpio_hw_project         (254)
#   --ports N             physical USB ports usb_ports_phy   (4)
#   --device-types TEXT   one letter per port                ("U" x ports)
#   --compat-id HEX       hardware compatibility bits        (80: IPv6, no WLAN)
#   --usbtable-product-id N                                  (the product id)
#   --mac MAC             MAC address aa:bb:cc:dd:ee:ff      (02:00:c6:12:00:02)
#   --serial N            serial number                      (12345)
#   --product-name TEXT   model name                         ("USB Device Server 4P")
#   --default-name TEXT   the box's default name             ("WEV-<serial>")
#   --fw-compat-level N   firmware record compat_level       (1)
#   --fw-version N        firmware record firmware_version   (100)
#   --romfs DIR           source of the read-only image      (the repository's romfs/)
#
# Re-running it rewrites the identity records and the read-only image and
# keeps the box's own state (etc/, flash/, var/).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

die() { echo "mkroot.sh: $*" >&2; exit 1; }

usage() {
    sed -n '2,22p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

[ $# -ge 1 ] || usage
DIR=$1
shift
[ -n "$DIR" ] || die "empty root directory name"

product_id=347
board=254
ports=4
device_types=""
compat_id=80
usbtable_product_id=""
mac=02:00:c6:12:00:02
serial=12345
product_name="USB Device Server 4P"
default_name=""
fw_compat_level=1
fw_version=100
romfs_src="$REPO/romfs"

need_value() { [ $# -ge 2 ] || die "option $1 needs a value"; }
is_decimal() { [[ $1 =~ ^[0-9]+$ ]]; }
is_hex() { [[ $1 =~ ^(0[xX])?[0-9a-fA-F]+$ ]]; }
# Names land in a key=value line: no line ends, no control characters.
is_plain_text() { [[ $1 != *[[:cntrl:]]* ]] && [ ${#1} -le 127 ]; }

while [ $# -gt 0 ]; do
    need_value "$@"
    case "$1" in
        --product-id) product_id=$2 ;;
        --board) board=$2 ;;
        --ports) ports=$2 ;;
        --device-types) device_types=$2 ;;
        --compat-id) compat_id=$2 ;;
        --usbtable-product-id) usbtable_product_id=$2 ;;
        --mac) mac=$2 ;;
        --serial) serial=$2 ;;
        --product-name) product_name=$2 ;;
        --default-name) default_name=$2 ;;
        --fw-compat-level) fw_compat_level=$2 ;;
        --fw-version) fw_version=$2 ;;
        --romfs) romfs_src=$2 ;;
        *) die "unknown option $1" ;;
    esac
    shift 2
done

for pair in "product-id:$product_id" "board:$board" "ports:$ports" "serial:$serial" \
            "fw-compat-level:$fw_compat_level" "fw-version:$fw_version"; do
    is_decimal "${pair#*:}" || die "--${pair%%:*} must be a decimal number, not '${pair#*:}'"
done
[ -z "$usbtable_product_id" ] || is_decimal "$usbtable_product_id" \
    || die "--usbtable-product-id must be a decimal number, not '$usbtable_product_id'"
is_hex "$compat_id" || die "--compat-id must be a hexadecimal number, not '$compat_id'"
[ "$ports" -ge 1 ] && [ "$ports" -le 20 ] || die "--ports must be 1 to 20, not $ports"
[[ $mac =~ ^[0-9a-fA-F]{2}(:[0-9a-fA-F]{2}){5}$ ]] || die "--mac must look like aa:bb:cc:dd:ee:ff, not '$mac'"
[ -n "$device_types" ] || device_types=$(printf 'U%.0s' $(seq "$ports"))
[[ $device_types =~ ^[A-Za-z]{1,20}$ ]] || die "--device-types must be 1 to 20 letters, not '$device_types'"
[ -n "$usbtable_product_id" ] || usbtable_product_id=$product_id
[ -n "$default_name" ] || default_name="WEV-$serial"
is_plain_text "$product_name" || die "--product-name must be one line of at most 127 characters"
is_plain_text "$default_name" || die "--default-name must be one line of at most 127 characters"
[ -d "$romfs_src" ] || die "romfs source $romfs_src is not a directory"

mkdir -p "$DIR"
ROOT=$(cd "$DIR" && pwd -P)
[ "$ROOT" != "/" ] || die "refusing to use / as a box root"
# Refreshing replaces romfs/ and the records: only do that to a box root.
if [ -n "$(ls -A "$ROOT")" ] && [ ! -d "$ROOT/conf.d" ]; then
    die "$ROOT is not empty and holds no conf.d/: not a box root, left alone"
fi

# A fixed creation time keeps repeated runs byte-identical.
creation_time=1714521600

write_file() {  # path, then the content on stdin; replaced in one step
    local tmp="$1.tmp.$$"
    cat >"$tmp"
    mv -f "$tmp" "$1"
}

mkdir -p "$ROOT"/{conf.d,etc,flash,var,tmp,dev,romfs,proc/sys/vm,sys/bus/usb/devices}
chmod 1777 "$ROOT/tmp"

write_file "$ROOT/conf.d/product_params" <<EOF
product_id=$product_id
compat_id=$(printf '%08x' "$((16#${compat_id#0[xX]}))")
oem_id=00000000
product_name=$product_name
default_name=$default_name
ethaddr0=$(echo "$mac" | tr 'A-F' 'a-f')
network_type=0
phy0_addr=0
software_id=1
printer_ports=${#device_types}
usb_ports_phy=$ports
device_types=$device_types
hw_major=1
hw_minor=0
hw_project=$product_id
year=2024
month=5
serial_no=$serial
fpga_compat_id=0
fpga_compat_level=0
creation_time=$creation_time
gpio_hw_project=$board
usbtable_product_id=$usbtable_product_id
EOF

write_file "$ROOT/conf.d/firmware_params" <<EOF
compat_id=$(printf '%08x' "$((16#${compat_id#0[xX]}))")
compat_level=$fw_compat_level
firmware_version=$fw_version
creation_time=$creation_time
EOF

# The read-only image: the repository's romfs/ with its message catalogues
# compiled and Debian's USB name list.
romfs_new="$ROOT/romfs.new.$$"
rm -rf "$romfs_new"
mkdir -p "$romfs_new"
(cd "$romfs_src" && tar --exclude=./po -cf - .) | (cd "$romfs_new" && tar -xf -)
if [ -d "$romfs_src/po" ]; then
    for po in "$romfs_src"/po/*.po; do
        [ -e "$po" ] || continue
        lang=$(basename "$po" .po)
        mkdir -p "$romfs_new/locale/$lang/LC_MESSAGES"
        msgfmt --check-format -o "$romfs_new/locale/$lang/LC_MESSAGES/wev.mo" "$po" \
            || { rm -rf "$romfs_new"; die "msgfmt failed on $po"; }
    done
fi
if [ -f /usr/share/misc/usb.ids ]; then
    cp /usr/share/misc/usb.ids "$romfs_new/usb.ids"
fi
# The image stands in as a directory at the image's place in flash; the
# program shows it on /romfs when it mounts the image.
rm -rf "$ROOT/flash/wev.cramfs"
mv "$romfs_new" "$ROOT/flash/wev.cramfs"
[ -L "$ROOT/romfs" ] || { rm -rf "$ROOT/romfs"; mkdir -p "$ROOT/romfs"; }

# Kernel files that the program reads as they are. proc/net and proc/self
# point into /proc so that they follow the reading process (and its network
# namespace).
for f in stat meminfo net partitions mounts filesystems self; do
    ln -sfn "/proc/$f" "$ROOT/proc/$f"
done
# The program sets arp_ignore under proc/sys/net at start. Those settings
# belong to the writer's network namespace, so the link gives the box's
# namespace (where the program always runs) the setting it has on the box.
[ -L "$ROOT/proc/sys/net" ] || rm -rf "$ROOT/proc/sys/net"
ln -sfn /proc/sys/net "$ROOT/proc/sys/net"
# The program tunes the kernel's dirty-page flush intervals at start; in a
# root those settings are plain files, so a run never changes the host kernel.
for f in dirty_expire_centisecs dirty_writeback_centisecs; do
    [ -f "$ROOT/proc/sys/vm/$f" ] || cat "/proc/sys/vm/$f" >"$ROOT/proc/sys/vm/$f"
done

echo "mkroot.sh: box root $ROOT (product $product_id, board $board, $ports ports)"
