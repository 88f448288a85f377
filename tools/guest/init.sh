#!/bin/sh
# shellcheck disable=SC3043,SC3045  # busybox ash has local and read -t
# /init of the real-USB test guest (busybox sh, PID 1).
#
# It mounts the kernel file systems, loads the USB, storage, HID, serial and
# network drivers, and then serves commands that the host types on the serial
# console, one per line:
#
#   @SEQ usb-dump           the USB devices and interfaces as sysfs shows them
#   @SEQ wev-start [N]      start the program in the box root /box (KickOff=N, default 0)
#   @SEQ wev-stop           SIGTERM to the program; its exit code
#   @SEQ run NAME ARGS...   runs /opt/wev/bin/NAME (a program the image was built
#                           with, build-initramfs.sh --add) and answers its output
#                           lines, standard error included, when it has ended;
#                           the answer's code is the program's exit code
#   @SEQ poweroff           power the guest off
#
# Every answer line starts with "@@SEQ " and an answer ends with "@@SEQ end RC",
# so the host finds it between the program's own output on the same console.
# Kernel command-line knob: wev.idle=S powers off after S seconds without a
# command (default 300), so a guest whose host went away ends by itself.
export PATH=/bin:/sbin
BOX=/box
WEV=/opt/wev/wev
BIN=/opt/wev/bin
STOP_GRACE=20

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs -o mode=1777 tmpfs /tmp

uptime_now() { read -r up _ </proc/uptime; echo "$up"; }

cmdline_value() {
    local w
    for w in $(cat /proc/cmdline); do
        case $w in "$1"=*) echo "${w#*=}"; return 0 ;; esac
    done
    return 1
}

IDLE=$(cmdline_value wev.idle) || IDLE=300
case $IDLE in ''|*[!0-9]*) IDLE=300 ;; esac

echo "@@ init start uptime=$(uptime_now)"
while read -r module; do
    insmod "/modules/$module.ko" || echo "@@ insmod $module failed"
done </modules/order
ip link set lo up
echo "@@ modules loaded uptime=$(uptime_now)"

# ---- answers -----------------------------------------------------------

SEQ=0
answer() { echo "@@$SEQ $*"; }

# One attribute file into $value without starting a process: under software
# emulation every fork costs milliseconds, and a dump reads a hundred files.
value=
read_attr() {
    value=
    [ -r "$1/$2" ] || return 0
    read -r value <"$1/$2" || true
}

# usbfs names buses and devices with three digits; into $padded, no fork.
padded=
pad3() {
    case ${#1} in
        1) padded=00$1 ;;
        2) padded=0$1 ;;
        *) padded=$1 ;;
    esac
}

TAB=$(printf '\t')

dump_device() {
    local d=$1 line attr bus dev node
    line="dev${TAB}name=${d##*/}"
    for attr in busnum devnum devpath idVendor idProduct bcdDevice bDeviceClass \
                bDeviceSubClass speed version bMaxPower bNumConfigurations dev \
                manufacturer product serial; do
        read_attr "$d" "$attr"
        line="$line${TAB}$attr=$value"
    done
    read_attr "$d" busnum; pad3 "$value"; bus=$padded
    read_attr "$d" devnum; pad3 "$value"; dev=$padded
    node=$BOX/dev/bus/usb/$bus/$dev
    if [ -c "$node" ]; then line="$line${TAB}node=$node"; else line="$line${TAB}node=missing"; fi
    answer "$line"
}

dump_interface() {
    local i=$1 line attr driver=
    line="if${TAB}name=${i##*/}"
    for attr in bInterfaceNumber bAlternateSetting bInterfaceClass bInterfaceSubClass \
                bInterfaceProtocol bNumEndpoints; do
        read_attr "$i" "$attr"
        line="$line${TAB}$attr=$value"
    done
    if [ -e "$i/driver" ] && cd -P "$i/driver" 2>/dev/null; then
        driver=${PWD##*/}
        cd /
    fi
    answer "$line${TAB}driver=$driver"
}

# Read through the box root, the way the program reaches sysfs and usbfs: a
# dump that works proves the root's links as well as the kernel's trees.
usb_dump() {
    local e
    for e in "$BOX"/sys/bus/usb/devices/*; do
        [ -f "$e/idVendor" ] && dump_device "$e"
    done
    for e in "$BOX"/sys/bus/usb/devices/*:*; do
        [ -f "$e/bInterfaceClass" ] && dump_interface "$e"
    done
    for e in "$BOX"/dev/bus/usb/*/*; do
        [ -c "$e" ] && answer "node${TAB}path=$e"
    done
    return 0
}

# ---- the program ---------------------------------------------------------

WEV_PID=

wev_start() {
    local kickoff=${1:-0}
    if [ -n "$WEV_PID" ] && kill -0 "$WEV_PID" 2>/dev/null; then
        answer "wev already running pid=$WEV_PID"
        return 1
    fi
    [ -x "$WEV" ] || { answer "wev missing: $WEV"; return 1; }
    WEV_ROOT=$BOX KickOff=$kickoff "$WEV" </dev/null >/dev/console 2>&1 &
    WEV_PID=$!
    answer "wev started pid=$WEV_PID"
}

# SIGTERM, and SIGKILL after STOP_GRACE seconds so that a hung program
# cannot hold the guest; the exit code is the program's own (or 128+signal).
wev_stop() {
    local watchdog code
    [ -n "$WEV_PID" ] || { answer "wev not started"; return 1; }
    kill -TERM "$WEV_PID" 2>/dev/null || answer "wev had ended before the stop"
    (sleep "$STOP_GRACE"; kill -KILL "$WEV_PID" 2>/dev/null) &
    watchdog=$!
    wait "$WEV_PID"
    code=$?
    kill "$watchdog" 2>/dev/null
    wait "$watchdog" 2>/dev/null
    WEV_PID=
    answer "wev exit=$code"
}

# Only programs of the image's own directory: the name comes from the console.
# The output goes to a file first, so the answer comes whole after the end
# and the exit code is the program's, not a pipe's.
run_program() {
    local name="${1:-}" out=/tmp/run.out code line
    case $name in
        ''|*/*|.*) answer "run: no program name '$name'"; return 2 ;;
    esac
    [ -x "$BIN/$name" ] || { answer "run: no program $BIN/$name"; return 2; }
    shift
    "$BIN/$name" "$@" </dev/null >"$out" 2>&1
    code=$?
    while IFS= read -r line || [ -n "$line" ]; do
        answer "$line"
    done <"$out"
    rm -f "$out"
    return "$code"
}

power_off() {
    [ -n "$WEV_PID" ] && kill -KILL "$WEV_PID" 2>/dev/null
    echo "@@ poweroff uptime=$(uptime_now)"
    sync
    poweroff -f
}

# ---- command loop ----------------------------------------------------------

# The host types on the console: no echo, or its commands would come back
# mixed into the answers.
stty -echo 2>/dev/null
echo "@@ ready uptime=$(uptime_now)"
while :; do
    if ! read -r -t "$IDLE" line; then
        echo "@@ no command for ${IDLE}s"
        power_off
    fi
    case $line in
        @*) ;;
        *) continue ;;
    esac
    # Split into words without expanding patterns: the line comes from outside.
    set -f
    set -- $line
    set +f
    SEQ=${1#@}
    case $SEQ in ''|*[!0-9]*) continue ;; esac
    command=${2:-}
    shift 2 2>/dev/null || shift $#
    rc=0
    case $command in
        usb-dump) usb_dump || rc=$? ;;
        wev-start) wev_start "$@" || rc=$? ;;
        wev-stop) wev_stop || rc=$? ;;
        run) run_program "$@" || rc=$? ;;
        poweroff) answer "end 0"; power_off ;;
        *) answer "unknown command '$command'"; rc=2 ;;
    esac
    answer "end $rc"
done
