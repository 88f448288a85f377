#!/usr/bin/env bash
# Configures and builds the program and its unit tests.
#   tools/build.sh [normal|asan|tsan|release|all] [TARGET...]    (default: normal)
# Build directories: build/ (normal), build-asan/ (AddressSanitizer and
# UndefinedBehaviorSanitizer), build-tsan/ (ThreadSanitizer), build-release/
# (the normal build at CMake's Release type, as tools/test-all.sh tests it).
# WEV_BUILD_TAG=NAME puts them at build-NAME/, build-NAME-asan/, ... instead, so that several people can build one work tree side by side.
# TARGETs (for one kind only) build just those, for example "wev" (the
# program) or "unit_tests" (every test program of that build).
# WEV_BUILD_TYPE sets CMAKE_BUILD_TYPE (default RelWithDebInfo, Release for
# the release build); WEV_JOBS the
# number of parallel jobs (default: the processors this process may use).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$REPO/tools/build-dirs.sh"

build_one() {
    local kind=$1 dir sanitize type=${WEV_BUILD_TYPE:-RelWithDebInfo}
    shift
    dir=$(wev_build_dir "$kind")
    case "$kind" in
        normal) sanitize="" ;;
        asan) sanitize=address ;;
        tsan) sanitize=thread ;;
        release) sanitize="" type=${WEV_BUILD_TYPE:-Release} ;;
    esac
    echo "build.sh: $kind build ($type) in $dir${*:+, targets: $*}"
    cmake -S "$REPO" -B "$dir" -G Ninja -DWEV_SANITIZE="$sanitize" -DCMAKE_BUILD_TYPE="$type" >/dev/null
    ninja -C "$dir" -j "${WEV_JOBS:-$(nproc)}" "$@"
}

what=${1:-normal}
[ $# -gt 0 ] && shift
case "$what" in
    normal|asan|tsan|release) build_one "$what" "$@" ;;
    all)
        [ $# -eq 0 ] || { echo "build.sh: targets go with one kind of build" >&2; exit 2; }
        for kind in normal asan tsan; do build_one "$kind"; done ;;
    *) echo "usage: tools/build.sh [normal|asan|tsan|release|all] [TARGET...]" >&2; exit 2 ;;
esac
