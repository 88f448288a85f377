#!/usr/bin/env bash
# Network-namespace harness for whole-program runs (demo, e2e tests, benchmarks).
#
#   tools/netns.sh up NAME [--index K]   make namespace NAME (the box) and NAME-peer
#   tools/netns.sh down NAME             remove both; ends the processes left in them
#   tools/netns.sh exec NS CMD...        run CMD in namespace NS (NAME or NAME-peer)
#   tools/netns.sh info NAME             print the pair's facts as shell assignments
#
# The two are joined by a veth pair: "eth0" inside NAME, "veth0" inside NAME-peer.
# The peer end is up with 198.18.K.1/24 (K = 0..511 spread over 198.18.0.0/15;
# from --index or derived from NAME); the box is expected to take 198.18.K.2.
# The box's eth0 is left down and without an address: the program sets it up.
# Nothing is created or changed in the host's own namespace.
set -euo pipefail

PEER_IF=veth0
BOX_IF=eth0

die() { echo "netns.sh: $*" >&2; exit 1; }

usage() {
    sed -n '2,7p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

check_name() {
    [[ $1 =~ ^[A-Za-z0-9][A-Za-z0-9_.-]{0,39}$ ]] \
        || die "bad namespace name '$1' (letters, digits, _ . -; at most 40)"
}

ns_exists() { [ -e "/run/netns/$1" ]; }

# K from the name, so that differently named pairs get different subnets
# (the pairs are isolated anyway; distinct subnets keep captures readable).
index_of_name() {
    local sum
    sum=$(printf '%s' "$1" | cksum | cut -d' ' -f1)
    echo $((sum % 512))
}

subnet_of_index() {  # K -> "198.18.x" or "198.19.x"
    echo "198.$((18 + $1 / 256)).$(($1 % 256))"
}

# The index in use, read back from the peer's address when the pair is up.
current_index() {
    local name=$1 addr a b
    if ns_exists "$name-peer"; then
        addr=$(ip -n "$name-peer" -4 -o addr show dev "$PEER_IF" 2>/dev/null \
               | awk '{print $4}' | head -n1)
        if [[ $addr =~ ^198\.(18|19)\.([0-9]+)\.1/24$ ]]; then
            a=${BASH_REMATCH[1]}
            b=${BASH_REMATCH[2]}
            echo $(((a - 18) * 256 + b))
            return
        fi
    fi
    index_of_name "$name"
}

print_info() {
    local name=$1 k=$2 net
    net=$(subnet_of_index "$k")
    echo "BOX_NS=$name"
    echo "PEER_NS=$name-peer"
    echo "BOX_IF=$BOX_IF"
    echo "PEER_IF=$PEER_IF"
    echo "PEER_IP4=$net.1"
    echo "BOX_IP4=$net.2"
    echo "PREFIX_LEN=24"
}

# Ends what still runs in the namespace: SIGTERM, up to 3 s, then SIGKILL.
ns_pids() { ip netns pids "$1" 2>/dev/null || true; }

wait_ns_empty() {  # namespace, tenths of a second
    local _
    for _ in $(seq "$2"); do
        [ -z "$(ns_pids "$1")" ] && return 0
        sleep 0.1
    done
    return 1
}

end_processes() {
    local ns=$1 pids
    ns_exists "$ns" || return 0
    mapfile -t pids < <(ns_pids "$ns")
    [ ${#pids[@]} -gt 0 ] || return 0
    echo "netns.sh: ending processes in $ns: ${pids[*]}" >&2
    kill -TERM "${pids[@]}" 2>/dev/null || true
    wait_ns_empty "$ns" 30 && return 0
    mapfile -t pids < <(ns_pids "$ns")
    echo "netns.sh: killing processes in $ns: ${pids[*]}" >&2
    kill -KILL "${pids[@]}" 2>/dev/null || true
    wait_ns_empty "$ns" 30 && return 0
    die "processes $(ns_pids "$ns" | tr '\n' ' ')in $ns do not end"
}

cmd_down() {
    local name=$1 ns
    for ns in "$name" "$name-peer"; do
        end_processes "$ns"
        if ns_exists "$ns"; then
            ip netns del "$ns"
        fi
    done
}

cmd_up() {
    local name=$1 k=$2 net
    if ns_exists "$name" || ns_exists "$name-peer"; then
        die "namespace $name or $name-peer exists already (tools/netns.sh down $name first)"
    fi
    [ -n "$k" ] || k=$(index_of_name "$name")
    net=$(subnet_of_index "$k")
    ip netns add "$name"
    if ! {
        ip netns add "$name-peer" &&
        ip -n "$name" link set lo up &&
        ip -n "$name-peer" link set lo up &&
        # The pair is made inside the box namespace, so it never appears in the host's.
        ip -n "$name" link add "$BOX_IF" type veth peer name "$PEER_IF" netns "$name-peer" &&
        ip -n "$name-peer" addr add "$net.1/24" dev "$PEER_IF" &&
        ip -n "$name-peer" link set "$PEER_IF" up
    }; then
        cmd_down "$name"
        die "could not set up $name / $name-peer"
    fi
    print_info "$name" "$k"
}

[ $# -ge 2 ] || usage
verb=$1
name=$2
shift 2
check_name "$name"

case "$verb" in
    up)
        index=""
        if [ $# -gt 0 ]; then
            [ "$1" = "--index" ] && [ $# -eq 2 ] || usage
            [[ $2 =~ ^[0-9]+$ ]] && [ "$2" -lt 512 ] || die "--index must be 0 to 511"
            index=$2
        fi
        cmd_up "$name" "$index"
        ;;
    down)
        [ $# -eq 0 ] || usage
        cmd_down "$name"
        ;;
    exec)
        [ $# -ge 1 ] || usage
        ns_exists "$name" || die "no namespace $name"
        exec ip netns exec "$name" "$@"
        ;;
    info)
        [ $# -eq 0 ] || usage
        print_info "$name" "$(current_index "$name")"
        ;;
    *) usage ;;
esac
