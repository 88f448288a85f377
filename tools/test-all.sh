#!/usr/bin/env bash
# Everything the project tests, in one run. Each build makes only what is run
# from it:
#   asan    (AddressSanitizer and UBSan) the program and every unit test
#           program: all unit tests and the whole-program tests run here;
#           both sanitizer builds compile at -O1 with line tables only;
#   tsan    (ThreadSanitizer) only the test programs labelled "tsan";
#   release (the normal build at CMake's Release type, the optimisation the
#           box's program ships with, in build-release/) the program, for the
#           whole-program tests at full speed, the unit test programs
#           labelled "plain", whose cases no sanitizer can run, and the link
#           check of every library (the same symbols in every build, and the
#           quickest links here).
# A bounded fuzzing run of the network parsers (tools/fuzz.sh, its targets
# side by side on the processors there are) follows the unit tests. The
# whole-program tests (tests/e2e) run in parallel workers; every box has its
# own namespaces and root. New test files are picked up as they come:
# tests/**/*_test.cpp by CMake, tests/e2e/test_*.py by pytest.
#
# WEV_E2E_ASAN=0 leaves out the whole-program run of the sanitizer build;
# WEV_E2E_WORKERS sets the number of pytest workers (default: twice the
# processors this process may use, since the tests mostly wait on the
# program). WEV_BUILD_TAG: see tools/build.sh.
#
# Every step runs even when an earlier one failed; the exit code is 0 only
# when all of them passed. The summary gives each step's time, its closing
# line and the tests it skipped; the last line printed is pytest's closing
# line of the release build's run.
set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$REPO/tools/build-dirs.sh"
cd "$REPO" || exit 1

JOBS=$(nproc)
E2E_WORKERS=${WEV_E2E_WORKERS:-$((2 * JOBS))}
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
        /usr/bin/python3 -m pytest -q -rs -p no:cacheprovider -n "$E2E_WORKERS" tests/e2e
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

# The tests a step skipped, one a line: ctest's "(Skipped)" entries and
# pytest's "SKIPPED" reasons (-rs).
skipped_tests() {
    grep -E '\(Skipped\)$|^SKIPPED ' "$LOGDIR/$1.log" 2>/dev/null | sed -E 's/^[[:space:]]+//'
}

run_step deps tools/install-deps.sh
run_step build-asan tools/build.sh asan wev unit_tests
run_step build-tsan tools/build.sh tsan unit_tests
run_step build-release tools/build.sh release wev plain_unit_tests link_checks
run_step unit-asan run_ctest asan
run_step unit-tsan run_ctest tsan -L tsan
run_step unit-plain run_ctest release -L plain
run_step fuzz tools/fuzz.sh
if [ "${WEV_E2E_ASAN:-1}" = 1 ]; then
    run_step e2e-asan run_e2e asan
fi
run_step e2e run_e2e release

failed=0
echo
echo "==== summary ($(($(date +%s) - START)) s on $JOBS processors; logs in $LOGDIR)"
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
for name in "${step_names[@]}"; do
    skipped=$(skipped_tests "$name")
    [ -n "$skipped" ] || continue
    echo "  skipped in $name ($(printf '%s\n' "$skipped" | wc -l)):"
    printf '%s\n' "$skipped" | sed 's/^/    /'
done

pytest_line=$(closing_line e2e)
echo "${pytest_line:-e2e: pytest printed no closing line}"
exit "$failed"
