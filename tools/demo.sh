#!/usr/bin/env bash
# The demo box: the program running in its own root and network namespace.
#
#   tools/demo.sh start    install, build the program, make the root, start the box
#   tools/demo.sh stop     stop it (SIGTERM; SIGKILL after 10 s), remove its namespaces
#   tools/demo.sh status   is it running, and how to reach it
#
# WEV_DEMO_ROOT chooses the root (default /var/tmp/wev-demo); what the box
# stores there (parameters, keys) survives a stop. Each root has its own
# namespace pair: "wevdemo" and "wevdemo-peer" for the default root, a name
# made from the root's path for any other, or WEV_DEMO_NS; start records it in
# the root, and stop and status act on that root's box alone. WEV_BIN runs
# that program and skips the build. The tools' output goes to .demo/start.log
# in the root, the program's to .demo/wev.log.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$REPO/tools/build-dirs.sh"

DEFAULT_ROOT=/var/tmp/wev-demo
DEFAULT_NS=wevdemo
ROOT=$(realpath -m "${WEV_DEMO_ROOT:-$DEFAULT_ROOT}")
STATE=$ROOT/.demo
PIDFILE=$STATE/pid
EXITFILE=$STATE/exit
BINFILE=$STATE/binary
NSFILE=$STATE/netns
LOG=$STATE/wev.log
START_LOG=$STATE/start.log
BANNER_WAIT=60
PORTS_WAIT=60
DEVICES_WAIT=30
STOP_WAIT=10
# The demo's model wires four ports and takes devices on all of them; the
# demo fills the first three and leaves one for plugging more.
MODEL=(--product-id 356 --ports 4 --product-name "USB Device Server 4P")
DEMO_DISK=$STATE/disk.img
DEMO_DEVICES=("loopback port=1" "keyboard port=2" "storage port=3 image=$DEMO_DISK")
STAGES=6

die() { echo "demo.sh: $*" >&2; exit 1; }

# ---- which namespace belongs to this root ----------------------------------

derived_ns() {
    if [ "$ROOT" = "$DEFAULT_ROOT" ]; then
        echo "$DEFAULT_NS"
    else
        printf 'wevd-%08x\n' "$(printf '%s' "$ROOT" | cksum | cut -d' ' -f1)"
    fi
}

# The recorded namespace of this root's box (at start a new one is chosen);
# a root from before the record has the name the root gives.
recorded_ns() {
    if [ -s "$NSFILE" ]; then
        head -n 1 "$NSFILE"
    else
        derived_ns
    fi
}

ns_exists() { [ -e "/run/netns/$1" ]; }
ns_busy() { [ -n "$(ip netns pids "$1" 2>/dev/null)" ]; }

# ---- the running program ----------------------------------------------------

# The program's pid when it runs, and only when that pid is still the program
# of this root, in this root's namespace.
running_pid() {
    local pid bin ns
    [ -f "$PIDFILE" ] && [ -f "$BINFILE" ] || return 1
    ns=$(recorded_ns)
    pid=$(cat "$PIDFILE")
    bin=$(cat "$BINFILE")
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    # the program itself, or the interpreter of a script given as WEV_BIN
    tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | head -n 2 | grep -xF "$bin" >/dev/null || return 1
    [ "$(ip netns identify "$pid" 2>/dev/null)" = "$ns" ] || return 1
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

print_banner() { grep -m1 'Master running on' "$LOG" 2>/dev/null || true; }

# The box's address: the banner's, else what its parameter file asks for.
box_address() {
    local addr
    addr=$(print_banner | sed -n 's/.* ip:\([^/ ]*\)\/.*/\1/p')
    if [ -z "$addr" ] || [ "$addr" = 0.0.0.0 ]; then
        addr=$(param_value ip_addr)
    fi
    echo "$addr"
}

param_value() {  # name [default]
    local value
    value=$(sed -n "s/^[[:space:]]*$1[[:space:]]*=[[:space:]]*\\([^[:space:]]*\\).*/\\1/p" \
            "$ROOT/etc/params.dat" 2>/dev/null | head -n 1)
    echo "${value:-${2:-}}"
}

usb_port() { param_value zyt_port 9200; }
usb_tls_port() { param_value zyt_sslport 9443; }

# A file of the repository as a person can type it here: relative when the
# shell stands in the repository, absolute otherwise.
shown() { if [ "$PWD" = "$REPO" ]; then echo "$1"; else echo "$REPO/$1"; fi; }

# The simulated host's name of the plugged device of a model ("1-1.2").
sim_device() {
    awk -v m="model=$1" '$1 == "device" && $0 ~ (" " m " ") && / plugged=1 / {print $2; exit}' \
        "$ROOT/dev/usbsim/state" 2>/dev/null
}

print_reach() {
    local ns addr client keyboard
    ns=$(recorded_ns)
    addr=$(box_address)
    addr=${addr:-ADDRESS}
    client="ip netns exec $ns-peer /usr/bin/python3 $(shown tests/e2e/usbclient.py) $addr"
    keyboard=$(sim_device keyboard)
    echo "  box namespace:   $ns        ($(shown tools/netns.sh) exec $ns CMD...)"
    echo "  peer namespace:  $ns-peer   (clients run here)"
    echo "  box address:     $addr"
    echo "  try:             ip netns exec $ns-peer ping -c 3 $addr"
    echo "  USB devices:     $client $(usb_port) list"
    echo "  over TLS:        $client $(usb_tls_port) list --tls"
    echo "  loopback echo:   $client $(usb_port) echo hello"
    echo "  storage blocks:  $client $(usb_port) read-blocks 2"
    echo "  keyboard:        $client $(usb_port) keys 10"
    echo "    and meanwhile: $(shown tools/usbsim-ctl) --root $ROOT type ${keyboard:-NAME} hello"
    echo "  plug another:    $(shown tools/usbsim-ctl) --root $ROOT plug loopback"
    echo "  program output:  $LOG"
    echo "  root:            $ROOT"
    if [ "$ROOT" = "$DEFAULT_ROOT" ]; then
        echo "  stop with:       $(shown tools/demo.sh) stop"
    else
        echo "  stop with:       WEV_DEMO_ROOT=$ROOT $(shown tools/demo.sh) stop"
    fi
}

# ---- start --------------------------------------------------------------------

stage_number=0

# run_stage TITLE CMD...: one line for the stage; the command's output goes
# to the start log. On a terminal the line shows the time so far and the
# build's step counter while the command runs.
run_stage() {
    local title=$1 t0=$SECONDS pid rc=0 progress
    shift
    stage_number=$((stage_number + 1))
    local head="demo.sh: [$stage_number/$STAGES] $title"
    echo "==== $title: $*" >>"$START_LOG"
    "$@" >>"$START_LOG" 2>&1 </dev/null &
    pid=$!
    if [ -t 1 ]; then
        while kill -0 "$pid" 2>/dev/null; do
            progress=$(tail -c 2048 "$START_LOG" | grep -o '^\[[0-9]*/[0-9]*\]' | tail -n 1 || true)
            printf '\r%s ... %d s %s ' "$head" $((SECONDS - t0)) "$progress"
            sleep 1
        done
        printf '\r'
    fi
    wait "$pid" || rc=$?
    if [ "$rc" -ne 0 ]; then
        echo "$head: FAILED (exit $rc) after $((SECONDS - t0)) s; the end of $START_LOG:" >&2
        tail -n 25 "$START_LOG" >&2
        if [ -s "$PIDFILE" ]; then
            echo "demo.sh: $(shown tools/demo.sh) stop ends what was started" >&2
        fi
        exit 1
    fi
    printf '%s: done in %d s%*s\n' "$head" $((SECONDS - t0)) 12 ''
}

skip_stage() {
    stage_number=$((stage_number + 1))
    echo "demo.sh: [$stage_number/$STAGES] $1"
}

# A root holds the start log from the first stage on, so the directory is
# claimed before anything runs: an empty one, or one that is a box root already.
claim_root() {
    if [ -d "$ROOT" ] && [ -n "$(ls -A "$ROOT")" ] && [ ! -d "$ROOT/conf.d" ]; then
        die "$ROOT is not empty and holds no conf.d/: not a box root, left alone"
    fi
    mkdir -p "$ROOT/conf.d" "$STATE"
}

# Only the program and what the demo runs; the tests are not built.
build_program() {
    local dir
    dir=$(wev_build_dir normal)
    mkdir -p "$dir"
    # Two demos starting at once must not build in one directory together.
    exec 8>"$dir/.demo-build.lock"
    flock -w 1800 8 || { echo "another build holds $dir/.demo-build.lock"; return 1; }
    cmake -S "$REPO" -B "$dir" -G Ninja -DWEV_SANITIZE=
    ninja -C "$dir" wev
}

make_root() { "$REPO/tools/mkroot.sh" "$ROOT" "${MODEL[@]}"; }

# The namespace pair of this root. One that still exists from an earlier
# run is reused when nothing runs in it; one in use belongs to another box.
make_namespaces() {
    local ns=$1
    if ns_exists "$ns" || ns_exists "$ns-peer"; then
        if ns_busy "$ns" || ns_busy "$ns-peer"; then
            echo "namespace $ns or $ns-peer is in use by other processes (another demo?): choose another with WEV_DEMO_NS"
            return 1
        fi
        "$REPO/tools/netns.sh" down "$ns"
    fi
    "$REPO/tools/netns.sh" up "$ns" >"$STATE/netns.info"
}

# The first start gets the address planned for the namespace pair; later
# starts keep whatever the box's parameter file says by then.
write_first_params() {
    local params=$ROOT/etc/params.dat box_ip
    [ -e "$params" ] && return 0
    box_ip=$(sed -n 's/^BOX_IP4=//p' "$STATE/netns.info")
    (umask 077 && cat >"$params" <<EOF
ip_addr = $box_ip
ip_mask = 255.255.255.0
ip_dhcp = off
ip_bootp = off
EOF
    )
}

# The simulated devices the box starts with. The commands wait in the root
# until the program's first device scan takes them in; what an earlier start
# left queued goes first. Their ids land in $STATE/queued.
queue_demo_devices() {
    local device
    # A FAT volume, so that the storage device's first blocks show something;
    # what was written to it stays for the next start.
    [ -f "$DEMO_DISK" ] || mkfs.fat -C -n WEVDEMO "$DEMO_DISK" 4096 >>"$START_LOG" 2>&1
    rm -f "$ROOT"/dev/usbsim/commands/*.cmd "$STATE/queued"
    for device in "${DEMO_DEVICES[@]}"; do
        # shellcheck disable=SC2086
        "$REPO/tools/usbsim-ctl" --root "$ROOT" --no-wait plug $device \
            | sed -n 's/^queued //p' >>"$STATE/queued"
    done
}

launch_program() {
    local ns=$1 bin=$2
    rm -f "$PIDFILE" "$EXITFILE"
    echo "$bin" >"$BINFILE"
    : >"$LOG"
    # A small shell stays beside the program to record its exit code for "stop".
    # shellcheck disable=SC2016
    setsid ip netns exec "$ns" env WEV_ROOT="$ROOT" KickOff=0 \
        bash -c '"$1" & echo $! >"$2"; wait $!; echo $? >"$3"' \
        wev-demo "$bin" "$PIDFILE" "$EXITFILE" </dev/null >>"$LOG" 2>&1 &
}

program_ended() {
    [ -s "$EXITFILE" ] || return 1
    echo "the program ended at start-up, $(describe_exit "$(cat "$EXITFILE")"); the end of $LOG:"
    tail -n 40 "$LOG"
}

wait_banner() {
    local _
    for _ in $(seq $((BANNER_WAIT * 10))); do
        grep -q 'Master running on' "$LOG" && return 0
        program_ended && return 1
        sleep 0.1
    done
    echo "no start banner within $BANNER_WAIT s; the end of $LOG:"
    tail -n 40 "$LOG"
    return 1
}

# The box is usable when each USB port it advertises answers a version
# request (a connect alone proves nothing) and the demo devices are plugged.
wait_usable() {
    local ns=$1 addr failed=()
    addr=$(box_address)
    [ -n "$addr" ] || { echo "the box has no address"; return 1; }
    answers "$ns" "$addr" "$(usb_port)" || failed+=("$(usb_port)")
    answers "$ns" "$addr" "$(usb_tls_port)" --tls || failed+=("$(usb_tls_port) (TLS)")
    if [ ${#failed[@]} -ne 0 ]; then
        echo "the USB port(s) ${failed[*]} of $addr gave no answer within $PORTS_WAIT s"
        return 1
    fi
    wait_demo_devices
}

answers() {  # namespace, address, port, client options
    ip netns exec "$1-peer" /usr/bin/python3 "$REPO/tests/e2e/usbclient.py" "$2" "$3" version \
        --wait "$PORTS_WAIT" --timeout 5 "${@:4}"
}

wait_demo_devices() {
    local id result answer _ bad=0
    while read -r id; do
        result=$ROOT/dev/usbsim/results/$id
        for _ in $(seq $((DEVICES_WAIT * 10))); do
            [ -f "$result" ] && break
            sleep 0.1
        done
        [ -f "$result" ] || { echo "the program took no queued device within $DEVICES_WAIT s"; return 1; }
        answer=$(head -n 1 "$result")
        rm -f "$result"
        echo "demo device: $answer"
        [[ $answer == ok* ]] || bad=1
    done <"$STATE/queued"
    [ "$bad" = 0 ] || { echo "a demo device could not be plugged"; return 1; }
}

cmd_start() {
    local pid bin ns
    if pid=$(running_pid); then
        echo "demo.sh: the box runs already (pid $pid)"
        print_banner
        print_reach
        return 0
    fi
    claim_root
    ns=${WEV_DEMO_NS:-$(derived_ns)}
    : >"$START_LOG"
    echo "demo.sh: starting the demo box in $ROOT; the tools' output goes to $START_LOG"
    run_stage "installing the Debian packages (tools/install-deps.sh)" "$REPO/tools/install-deps.sh"
    if [ -n "${WEV_BIN:-}" ]; then
        bin=$(realpath -m "$WEV_BIN")
        [ -x "$bin" ] || die "WEV_BIN: no program at $bin"
        skip_stage "using the program $bin (WEV_BIN), no build"
    else
        echo "demo.sh: the first build of the program takes about 90 s on 2 cores; later ones only check"
        run_stage "building the program" build_program
        bin=$(wev_binary normal)
        [ -x "$bin" ] || die "no program at $bin after the build"
    fi
    run_stage "making the box root" make_root
    echo "$ns" >"$NSFILE"
    run_stage "making the namespaces $ns and $ns-peer" make_namespaces "$ns"
    write_first_params
    queue_demo_devices
    launch_program "$ns" "$bin"
    run_stage "starting the program" wait_banner
    run_stage "waiting for the USB ports and the demo devices" wait_usable "$ns"
    echo "demo.sh: the box is running (pid $(cat "$PIDFILE"))"
    print_banner
    print_reach
}

# ---- stop and status ----------------------------------------------------------

remove_namespaces() {
    local ns=$1
    [ -n "$ns" ] || return 0
    ns_exists "$ns" || ns_exists "$ns-peer" || return 0
    if ns_busy "$ns"; then
        echo "demo.sh: namespace $ns is in use by another box; left alone"
        return 0
    fi
    "$REPO/tools/netns.sh" down "$ns"
    echo "demo.sh: namespaces $ns and $ns-peer removed"
}

cmd_stop() {
    local pid code ns
    ns=$(recorded_ns)
    if ! pid=$(running_pid); then
        echo "demo.sh: the box of $ROOT is not running"
        if [ -s "$EXITFILE" ]; then
            echo "demo.sh: its last run ended: $(describe_exit "$(cat "$EXITFILE")")"
        fi
        remove_namespaces "$ns"
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
    remove_namespaces "$ns"
}

cmd_status() {
    local pid
    if pid=$(running_pid); then
        echo "demo.sh: the box is running (pid $pid)"
        print_banner
        print_reach
    else
        echo "demo.sh: the box of $ROOT is not running"
        if [ -s "$EXITFILE" ]; then
            echo "demo.sh: its last run ended: $(describe_exit "$(cat "$EXITFILE")")"
        fi
        return 3
    fi
}

[ "$(id -u)" -eq 0 ] || die "must run as root (network namespaces)"
[ "$ROOT" != / ] || die "refusing / as the demo root"
case "${1:-}" in
    start) cmd_start ;;
    stop) cmd_stop ;;
    status) cmd_status ;;
    *) echo "usage: tools/demo.sh start|stop|status" >&2; exit 2 ;;
esac
