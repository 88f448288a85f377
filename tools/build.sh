#!/usr/bin/env bash
# Configures and builds the program and its unit tests.
#   tools/build.sh [normal|asan|tsan|all]    (default: normal)
# Build directories: build/ (normal), build-asan/ (AddressSanitizer and
# UndefinedBehaviorSanitizer), build-tsan/ (ThreadSanitizer).
# WEV_BUILD_TAG=NAME puts them at build-NAME/, build-NAME-asan/, build-NAME-tsan/
# instead, so that several people can build one work tree side by side.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$REPO/tools/build-dirs.sh"

build_one() {
    local kind=$1 dir sanitize
    dir=$(wev_build_dir "$kind")
    case "$kind" in
        normal) sanitize="" ;;
        asan) sanitize=address ;;
        tsan) sanitize=thread ;;
    esac
    echo "build.sh: $kind build in $dir"
    cmake -S "$REPO" -B "$dir" -G Ninja -DWEV_SANITIZE="$sanitize" >/dev/null
    ninja -C "$dir" -j "$(nproc)"
}

what=${1:-normal}
case "$what" in
    normal|asan|tsan) build_one "$what" ;;
    all) for kind in normal asan tsan; do build_one "$kind"; done ;;
    *) echo "usage: tools/build.sh [normal|asan|tsan|all]" >&2; exit 2 ;;
esac
