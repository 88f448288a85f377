#!/usr/bin/env bash
# Builds the real-USB test guest's initramfs.
#
#   tools/guest/build-initramfs.sh [--wev BINARY] [--out FILE] [--add HOSTFILE:GUESTPATH]...
#                                  [-- MKROOT_OPTIONS...]
#
# The image holds busybox (static), the kernel modules for xHCI, USB storage,
# HID, the FTDI serial adapter and e1000 (loaded in dependency order), the
# guest's /init (init.sh beside this script), the program at /opt/wev/wev with
# copies of the shared libraries and the dynamic loader it was linked with, and
# a box root at /box made by tools/mkroot.sh (MKROOT_OPTIONS are passed on).
# In the box root, sys and dev/bus/usb lead to the guest's real sysfs and usbfs
# nodes; the board driver is not there, so the program simulates the board.
# Each --add copies one more host file (a static program, as the guest has no
# C library of its own besides the program's copies) to the absolute
# GUESTPATH, executable; init.sh's "run" command starts those under
# /opt/wev/bin.
#
# Defaults: BINARY is $WEV_BIN, else the normal build's program (WEV_BUILD_TAG
# picks build-NAME/); FILE is initramfs.cpio.gz in the guest cache.
# Run setup.sh first.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/guest-env.sh"
source "$REPO/tools/build-dirs.sh"

die() { echo "build-initramfs.sh: $*" >&2; exit 1; }

# The drivers wanted; their dependencies are added from the modules' own
# "depends=" records, so the list names only what the guest uses directly.
WANTED_MODULES="usbcore xhci_pci usbhid hid_generic ftdi_sio sd_mod usb_storage e1000"

wev=${WEV_BIN:-$(wev_binary normal)}
out=$GUEST_CACHE/initramfs.cpio.gz
mkroot_args=()
extra_files=()
while [ $# -gt 0 ]; do
    case "$1" in
        --wev) [ $# -ge 2 ] || die "--wev needs a file"; wev=$2; shift 2 ;;
        --out) [ $# -ge 2 ] || die "--out needs a file"; out=$2; shift 2 ;;
        --add) [ $# -ge 2 ] || die "--add needs HOSTFILE:GUESTPATH"; extra_files+=("$2"); shift 2 ;;
        --) shift; mkroot_args=("$@"); break ;;
        *) die "unknown option $1 (usage: [--wev BINARY] [--out FILE] [--add HOSTFILE:GUESTPATH]..." \
               "[-- MKROOT_OPTIONS...])" ;;
    esac
done

[ -x "$wev" ] || die "no program at $wev: build it first (tools/build.sh)"
# Checked before any work: a wrong path must not leave a half-built image.
for entry in "${extra_files[@]}"; do
    host_file=${entry%%:*}
    guest_path=${entry#*:}
    [ "$host_file" != "$entry" ] || die "--add $entry: expected HOSTFILE:GUESTPATH"
    [ -f "$host_file" ] || die "--add $entry: no file $host_file"
    case $guest_path in
        /*) ;;
        *) die "--add $entry: the guest path must be absolute" ;;
    esac
    case $guest_path/ in
        */../*|*/./*|*//*) die "--add $entry: the guest path must be plain (no '.', '..' or '//')" ;;
    esac
    [[ $guest_path != *[[:space:][:cntrl:]]* ]] || die "--add $entry: the guest path holds blanks"
done
kver=$(guest_kernel_version) || die "no guest kernel in $GUEST_KERNEL_DIR: run tools/guest/setup.sh"
[ -x /bin/busybox ] || die "no /bin/busybox: run tools/guest/setup.sh"
moddir=$GUEST_KERNEL_DIR/root/lib/modules/$kver

stage=$(mktemp -d "${TMPDIR:-/tmp}/wev-initramfs.XXXXXX")
trap 'rm -rf "$stage"' EXIT

# ---- kernel modules in dependency order -------------------------------------

declare -A module_path=()
while IFS= read -r -d '' file; do
    name=${file##*/}
    name=${name%.ko}
    module_path[${name//-/_}]=$file
done < <(find "$moddir/kernel" -name '*.ko' -print0)

module_depends() {
    objcopy -O binary --only-section=.modinfo "$1" /dev/stdout \
        | tr '\0' '\n' | sed -n 's/^depends=//p' | tr ',' ' '
}

declare -A module_added=()
module_order=()
add_module() {  # dependencies first: a module is listed after all it needs
    local name=${1//-/_} dep
    [ -n "${module_added[$name]:-}" ] && return 0
    module_added[$name]=1
    [ -n "${module_path[$name]:-}" ] || die "kernel $kver has no module $name"
    for dep in $(module_depends "${module_path[$name]}"); do
        add_module "$dep"
    done
    module_order+=("$name")
}
for m in $WANTED_MODULES; do
    add_module "$m"
done

mkdir -p "$stage"/{bin,sbin,proc,sys,dev,tmp,etc,modules,opt/wev}
for name in "${module_order[@]}"; do
    cp "${module_path[$name]}" "$stage/modules/$name.ko"
done
printf '%s\n' "${module_order[@]}" >"$stage/modules/order"

# ---- busybox and /init --------------------------------------------------------

cp /bin/busybox "$stage/bin/busybox"
for applet in $(/bin/busybox --list); do
    # a link named busybox would point at itself
    [ "$applet" = busybox ] || ln -s busybox "$stage/bin/$applet"
done
install -m 0755 "$GUEST_TOOLS/init.sh" "$stage/init"

# ---- the program and what it loads ----------------------------------------------

# Copies a host file to the same path in the image, following links.
copy_host_file() {
    mkdir -p "$stage$(dirname "$1")"
    cp -L "$1" "$stage$1"
}

# The shared libraries and the loader that the binary resolves to on this
# machine; a static binary has none.
shared_libraries() {
    local listing
    listing=$(ldd "$1" 2>/dev/null) || return 0
    awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' <<<"$listing"
}

install -m 0755 "$wev" "$stage/opt/wev/wev"
libraries=$(shared_libraries "$wev")
for lib in $libraries; do
    copy_host_file "$lib"
done
# The program switches to the C.UTF-8 locale at start; without its files
# there, the guest would run it in the "C" locale, unlike this machine.
if [ -d /usr/lib/locale/C.utf8 ]; then
    mkdir -p "$stage/usr/lib/locale"
    cp -a /usr/lib/locale/C.utf8 "$stage/usr/lib/locale/"
fi

# ---- the box root -----------------------------------------------------------------

box=$stage/box
"$REPO/tools/mkroot.sh" "$box" "${mkroot_args[@]}" >&2
# The guest's QEMU network: the program sets this address on eth0, and the
# host's forwarded ports lead to it.
# The parameter file may hold secrets: it is made 0600 before anything is in it.
install -m 0600 /dev/null "$box/etc/params.dat"
cat >"$box/etc/params.dat" <<EOF
ip_addr = $GUEST_IP
ip_mask = $GUEST_MASK
ip_gate = $GUEST_NET_HOST
ip_dhcp = off
ip_bootp = off
zyt_hid = on
EOF
# Real kernel trees instead of the simulated ones that mkroot.sh prepares.
rm -rf "$box/sys"
ln -s /sys "$box/sys"
mkdir -p "$box/dev/bus"
rm -rf "$box/dev/bus/usb"
ln -s /dev/bus/usb "$box/dev/bus/usb"

# ---- extra files -------------------------------------------------------------

# The image has links into the guest's own trees (box/sys, box/dev/bus/usb,
# the busybox applets): a path through one of them would write through the
# link on this machine, so every directory on the way must be a real one.
add_extra_file() {
    local host_file=$1 guest_path=$2 at=$stage part
    local -a parts
    IFS=/ read -r -a parts <<<"${guest_path#/}"
    for part in "${parts[@]:0:${#parts[@]}-1}"; do
        at=$at/$part
        [ ! -L "$at" ] || die "--add $host_file:$guest_path: ${at#"$stage"} is a link in the image"
        mkdir -p "$at"
    done
    [ ! -d "$stage$guest_path" ] || die "--add $host_file:$guest_path: a directory of the image"
    # A busybox applet of the same name gives way to the file.
    rm -f "$stage$guest_path"
    install -m 0755 "$host_file" "$stage$guest_path"
}
for entry in "${extra_files[@]}"; do
    add_extra_file "${entry%%:*}" "${entry#*:}"
done

# ---- the archive --------------------------------------------------------------------

mkdir -p "$(dirname "$out")"
tmp_out=$out.tmp.$$
trap 'rm -rf "$stage" "$tmp_out"' EXIT
(cd "$stage" && find . -mindepth 1 | LC_ALL=C sort | /bin/busybox cpio -o -H newc 2>/dev/null) \
    | gzip -1 >"$tmp_out"
mv -f "$tmp_out" "$out"
echo "build-initramfs.sh: $out ($(du -h "$out" | cut -f1)), kernel $kver," \
     "program $wev with $(wc -w <<<"$libraries") libraries, ${#extra_files[@]} extra file(s)," \
     "modules: ${module_order[*]}" >&2
