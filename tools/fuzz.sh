#!/usr/bin/env bash
# Builds the parsers of data from the network into libFuzzer targets (clang,
# with AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for a
# bounded time from its seed corpus in tests/fuzz/corpus/<target>, with a
# fixed seed.
#
#   tools/fuzz.sh [TARGET...]      (default: all; WEV_FUZZ_SECONDS per target, default 30)
#
# The targets are built and run side by side, as many at a time as there are
# processors this process may use (WEV_JOBS sets it), so each still gets a
# whole processor for its time.
#
# New inputs found during a run go to a scratch directory, not to the
# repository's corpus. A crash leaves its input in the scratch directory and
# makes the script exit 1.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SRC=$REPO/src/qmrthreads/wev
SECONDS_PER_TARGET=${WEV_FUZZ_SECONDS:-30}
JOBS=${WEV_JOBS:-$(nproc)}
WORK=$(mktemp -d /tmp/wev-fuzz.XXXXXX)

# target: the sources it needs besides its own file under tests/fuzz.
declare -A SOURCES=(
    [dhcp_reply]="$SRC/services/dhcp/dhcp_message.cpp"
    [sntp_reply]="$SRC/services/sntp/sntp_packet.cpp"
    [mdns_message]="$SRC/services/mdns/mdns_reader.cpp"
    [slp_request]="$SRC/services/slp/slp_request.cpp"
)

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(dhcp_reply sntp_reply mdns_message slp_request)
for t in "${targets[@]}"; do
    [ -n "${SOURCES[$t]:-}" ] || { echo "fuzz.sh: no target '$t'" >&2; exit 2; }
done

# fuzz_one TARGET: builds and runs it; its output goes to $WORK/TARGET.log,
# and $WORK/TARGET.failed marks a failure.
fuzz_one() {
    local t=$1 bin=$WORK/${1}_fuzz
    # shellcheck disable=SC2086  # SOURCES holds a list of files
    if ! clang++ -std=c++20 -g -O1 -funsigned-char -fno-exceptions -fno-rtti \
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
            -I "$SRC" "$REPO/tests/fuzz/${t}_fuzz.cpp" ${SOURCES[$t]} -o "$bin" >"$WORK/$t.log" 2>&1; then
        touch "$WORK/$t.failed"
        return
    fi
    mkdir -p "$WORK/$t.corpus"
    (cd "$WORK" && "$bin" -max_total_time="$SECONDS_PER_TARGET" -seed=1 -print_final_stats=1 \
        -artifact_prefix="$WORK/$t-" "$WORK/$t.corpus" "$REPO/tests/fuzz/corpus/$t" \
        >>"$WORK/$t.log" 2>&1) || touch "$WORK/$t.failed"
}

running=0
for t in "${targets[@]}"; do
    if [ "$running" -ge "$JOBS" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    echo "fuzz.sh: $t for ${SECONDS_PER_TARGET} s"
    fuzz_one "$t" &
    running=$((running + 1))
done
wait

failed=0
for t in "${targets[@]}"; do
    if [ -e "$WORK/$t.failed" ]; then
        echo "fuzz.sh: $t FAILED; input and log in $WORK" >&2
        tail -n 30 "$WORK/$t.log" >&2
        failed=1
        continue
    fi
    grep -E '^stat::number_of_executed_units' "$WORK/$t.log" | sed "s/^/fuzz.sh: $t /"
done
[ "$failed" = 1 ] || rm -rf "$WORK"
exit "$failed"
