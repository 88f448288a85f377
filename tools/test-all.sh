#!/usr/bin/env bash
# Everything the project tests, in one run:
#   packages, the three builds, the unit tests of the normal and the
#   AddressSanitizer build, the ThreadSanitizer tests (label "tsan"), a
#   bounded fuzzing run of the network parsers (tools/fuzz.sh), and the
#   whole-program tests (tests/e2e) against the normal build's program.
# The whole-program tests also run against the AddressSanitizer build's
# program (WEV_E2E_ASAN=0 leaves that run out). WEV_BUILD_TAG: see tools/build.sh.
#
# Every step runs even when an earlier one failed; the exit code is 0 only
# when all of them passed. The last line printed is pytest's closing line.
set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$REPO/tools/build-dirs.sh"
cd "$REPO" || exit 1

JOBS=$(nproc)
LOGDIR=$(mktemp -d /tmp/wev-test-all.XXXXXX)
START=$(date +%s)

step_names=()
step_results=()
step_seconds=()

# run_step NAME CMD...: runs CMD with its output shown and kept in $LOGDIR/NAME.log.
run_step() {
    local name=$1 t0 rc
    shift
    echo
    echo "==== $name: $*"
    t0=$(date +%s)
    "$@" 2>&1 | tee "$LOGDIR/$name.log"
    rc=${PIPESTATUS[0]}
    step_names+=("$name")
    step_results+=("$rc")
    step_seconds+=($(($(date +%s) - t0)))
    return 0
}

run_ctest() {  # build kind, then extra ctest arguments
    local dir
    dir=$(wev_build_dir "$1")
    shift
    ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --timeout 600 --no-tests=error "$@"
}

run_e2e() {  # build kind; the program named relative to the repository, as the README does
    local bin
    bin=$(wev_binary "$1")
    WEV_BIN=${bin#"$REPO"/} timeout -k 30 1800 \
        /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/e2e
}

# The line a step's runner closed with: ctest's count, else the last line.
closing_line() {
    local log=$LOGDIR/$1.log counts
    counts=$(grep -E 'tests passed|No tests were found' "$log" 2>/dev/null | tail -n 1)
    if [ -n "$counts" ]; then
        echo "$counts"
    else
        grep -v '^[[:space:]]*$' "$log" 2>/dev/null | tail -n 1
    fi
}

run_step deps tools/install-deps.sh
run_step build-normal tools/build.sh normal
run_step build-asan tools/build.sh asan
run_step build-tsan tools/build.sh tsan
run_step unit run_ctest normal
run_step unit-asan run_ctest asan
run_step unit-tsan run_ctest tsan -L tsan
run_step fuzz tools/fuzz.sh
if [ "${WEV_E2E_ASAN:-1}" = 1 ]; then
    run_step e2e-asan run_e2e asan
fi
run_step e2e run_e2e normal

failed=0
echo
echo "==== summary ($(($(date +%s) - START)) s; logs in $LOGDIR)"
for i in "${!step_names[@]}"; do
    if [ "${step_results[$i]}" -eq 0 ]; then
        verdict=ok
    else
        verdict="FAILED (exit ${step_results[$i]})"
        failed=1
    fi
    printf '  %-13s %-18s %5s s  %s\n' "${step_names[$i]}" "$verdict" "${step_seconds[$i]}" \
        "$(closing_line "${step_names[$i]}")"
done

pytest_line=$(closing_line e2e)
echo "${pytest_line:-e2e: pytest printed no closing line}"
exit "$failed"
