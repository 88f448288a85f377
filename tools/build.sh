#!/usr/bin/env bash
# Configures and builds the program and its unit tests.
#   tools/build.sh [normal|asan|tsan|all] [TARGET...]    (default: normal)
# Build directories: build/ (normal), build-asan/ (AddressSanitizer and
# UndefinedBehaviorSanitizer), build-tsan/ (ThreadSanitizer).
# WEV_BUILD_TAG=NAME puts them at build-NAME/, build-NAME-asan/, build-NAME-tsan/
# instead, so that several people can build one work tree side by side.
# TARGETs (for one kind only) build just those, for example "wev" (the
# program) or "unit_tests" (every test program of that build).
# WEV_BUILD_TYPE sets CMAKE_BUILD_TYPE (default RelWithDebInfo); WEV_JOBS the
# number of parallel jobs (default: the processors this process may use).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$REPO/tools/build-dirs.sh"

build_one() {
    local kind=$1 dir sanitize
    shift
    dir=$(wev_build_dir "$kind")
    case "$kind" in
        normal) sanitize="" ;;
        asan) sanitize=address ;;
        tsan) sanitize=thread ;;
    esac
    echo "build.sh: $kind build (${WEV_BUILD_TYPE:-RelWithDebInfo}) in $dir${*:+, targets: $*}"
    cmake -S "$REPO" -B "$dir" -G Ninja -DWEV_SANITIZE="$sanitize" \
        -DCMAKE_BUILD_TYPE="${WEV_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
    ninja -C "$dir" -j "${WEV_JOBS:-$(nproc)}" "$@"
}

what=${1:-normal}
[ $# -gt 0 ] && shift
case "$what" in
    normal|asan|tsan) build_one "$what" "$@" ;;
    all)
        [ $# -eq 0 ] || { echo "build.sh: targets go with one kind of build" >&2; exit 2; }
        for kind in normal asan tsan; do build_one "$kind"; done ;;
    *) echo "usage: tools/build.sh [normal|asan|tsan|all] [TARGET...]" >&2; exit 2 ;;
esac
