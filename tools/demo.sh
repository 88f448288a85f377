#!/usr/bin/env bash
# The demo box: the program running in its own root and network namespace.
#
#   tools/demo.sh start    install, build, make the root, start the box
#   tools/demo.sh stop     stop it (SIGTERM; SIGKILL after 10 s), remove the namespaces
#   tools/demo.sh status   is it running, and where
#
# The root is /var/tmp/wev-demo (WEV_DEMO_ROOT overrides); what the box stores
# there (parameters, keys) survives a stop. The box runs in the namespace
# "wevdemo"; its clients run in "wevdemo-peer". WEV_BIN runs another binary
# than the normal build's.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$REPO/tools/build-dirs.sh"

ROOT=${WEV_DEMO_ROOT:-/var/tmp/wev-demo}
NS=wevdemo
STATE=$ROOT/.demo
PIDFILE=$STATE/pid
EXITFILE=$STATE/exit
BINFILE=$STATE/binary
LOG=$STATE/wev.log
BANNER_WAIT=60
STOP_WAIT=10

die() { echo "demo.sh: $*" >&2; exit 1; }

# The program's pid when it runs, and only when that pid is still the program.
running_pid() {
    local pid bin
    [ -f "$PIDFILE" ] && [ -f "$BINFILE" ] || return 1
    pid=$(cat "$PIDFILE")
    bin=$(cat "$BINFILE")
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    # the program itself, or the interpreter of a script given as WEV_BIN
    tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | head -n 2 | grep -qxF "$bin" || return 1
    echo "$pid"
}

describe_exit() {
    local code=$1
    if [ "$code" -gt 128 ]; then
        echo "killed by signal $((code - 128))"
    else
        echo "exit code $code"
    fi
}

print_banner() { grep -m1 'Master running on' "$LOG" || true; }

print_reach() {
    local addr planned
    addr=$(print_banner | sed -n 's/.* ip:\([^/ ]*\)\/.*/\1/p')
    echo "  box namespace:   $NS        (tools/netns.sh exec $NS CMD...)"
    echo "  peer namespace:  $NS-peer   (clients run here)"
    if [ -z "$addr" ] || [ "$addr" = 0.0.0.0 ]; then
        planned=$(sed -n 's/^[[:space:]]*ip_addr[[:space:]]*=[[:space:]]*\([0-9.]*\).*/\1/p' \
                  "$ROOT/etc/params.dat" 2>/dev/null | head -n 1)
        echo "  box address:     none in the banner (etc/params.dat asks for ${planned:-none})"
        addr=$planned
    else
        echo "  box address:     $addr"
    fi
    echo "  try:             ip netns exec $NS-peer ping -c 3 ${addr:-ADDRESS}"
    echo "  USB devices:     ip netns exec $NS-peer /usr/bin/python3 tests/e2e/usbclient.py ${addr:-ADDRESS} 9200 list"
    echo "                   (TLS: add --tls; plug more: tools/usbsim-ctl --root $ROOT plug keyboard port=4)"
    echo "  program output:  $LOG"
    echo "  root:            $ROOT"
    echo "  stop with:       tools/demo.sh stop"
}

# The first start gets the address planned for the namespace pair; later
# starts keep whatever the box's parameter file says by then.
write_first_params() {
    local params=$ROOT/etc/params.dat
    [ -e "$params" ] && return 0
    (umask 077 && cat >"$params" <<EOF
ip_addr = $BOX_IP4
ip_mask = 255.255.255.0
ip_dhcp = off
ip_bootp = off
EOF
    )
}

# The simulated USB devices the box starts with, one on each of the first
# three ports. The commands wait in the root until the program's first device
# scan takes them in; what an earlier start left queued goes first.
queue_demo_devices() {
    local device
    rm -f "$ROOT"/dev/usbsim/commands/*.cmd
    for device in "loopback port=1" "keyboard port=2" "storage port=3"; do
        # shellcheck disable=SC2086
        "$REPO/tools/usbsim-ctl" --root "$ROOT" --no-wait plug $device >/dev/null
    done
}

cmd_start() {
    local pid bin
    if pid=$(running_pid); then
        echo "demo.sh: the box runs already (pid $pid)"
        print_banner
        print_reach
        return 0
    fi
    "$REPO/tools/install-deps.sh"
    "$REPO/tools/build.sh" normal
    bin=${WEV_BIN:-$(wev_binary normal)}
    [ -x "$bin" ] || die "no program at $bin after the build"
    "$REPO/tools/mkroot.sh" "$ROOT"
    mkdir -p "$STATE"

    "$REPO/tools/netns.sh" down "$NS"
    eval "$("$REPO/tools/netns.sh" up "$NS")"
    write_first_params
    queue_demo_devices

    rm -f "$PIDFILE" "$EXITFILE"
    echo "$bin" >"$BINFILE"
    : >"$LOG"
    # A small shell stays beside the program to record its exit code for "stop".
    # shellcheck disable=SC2016
    setsid ip netns exec "$NS" env WEV_ROOT="$ROOT" KickOff=0 \
        bash -c '"$1" & echo $! >"$2"; wait $!; echo $? >"$3"' \
        wev-demo "$bin" "$PIDFILE" "$EXITFILE" </dev/null >>"$LOG" 2>&1 &

    for _ in $(seq $((BANNER_WAIT * 10))); do
        if grep -q 'Master running on' "$LOG"; then
            echo "demo.sh: the box is running (pid $(cat "$PIDFILE"))"
            print_banner
            print_reach
            return 0
        fi
        if [ -s "$EXITFILE" ]; then
            echo "demo.sh: the program ended at start-up, $(describe_exit "$(cat "$EXITFILE")"); its output:" >&2
            tail -n 40 "$LOG" >&2
            "$REPO/tools/netns.sh" down "$NS"
            exit 1
        fi
        sleep 0.1
    done
    echo "demo.sh: no start banner within $BANNER_WAIT s; its output so far:" >&2
    tail -n 40 "$LOG" >&2
    echo "demo.sh: it still runs; tools/demo.sh stop ends it" >&2
    exit 1
}

cmd_stop() {
    local pid code
    if ! pid=$(running_pid); then
        echo "demo.sh: the box is not running"
        if [ -s "$EXITFILE" ]; then
            echo "demo.sh: its last run ended: $(describe_exit "$(cat "$EXITFILE")")"
        fi
        "$REPO/tools/netns.sh" down "$NS"
        return 0
    fi
    echo "demo.sh: sending SIGTERM to pid $pid"
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq $((STOP_WAIT * 10))); do
        [ -s "$EXITFILE" ] && break
        sleep 0.1
    done
    if [ ! -s "$EXITFILE" ]; then
        echo "demo.sh: the program did not end within $STOP_WAIT s; sending SIGKILL"
        kill -KILL "$pid" 2>/dev/null || true
        for _ in $(seq 50); do
            [ -s "$EXITFILE" ] && break
            sleep 0.1
        done
    fi
    if [ -s "$EXITFILE" ]; then
        code=$(cat "$EXITFILE")
        echo "demo.sh: the program ended: $(describe_exit "$code")"
    else
        echo "demo.sh: the program's exit code was not recorded"
    fi
    rm -f "$PIDFILE"
    "$REPO/tools/netns.sh" down "$NS"
    echo "demo.sh: namespaces $NS and $NS-peer removed"
}

cmd_status() {
    local pid
    if pid=$(running_pid); then
        echo "demo.sh: the box is running (pid $pid)"
        print_banner
        print_reach
    else
        echo "demo.sh: the box is not running"
        if [ -s "$EXITFILE" ]; then
            echo "demo.sh: its last run ended: $(describe_exit "$(cat "$EXITFILE")")"
        fi
        return 3
    fi
}

[ "$(id -u)" -eq 0 ] || die "must run as root (network namespaces)"
case "${1:-}" in
    start) cmd_start ;;
    stop) cmd_stop ;;
    status) cmd_status ;;
    *) echo "usage: tools/demo.sh start|stop|status" >&2; exit 2 ;;
esac
