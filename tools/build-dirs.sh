# shellcheck shell=bash
# Sourced by the tool scripts: where each kind of build lives.
# WEV_BUILD_TAG=NAME gives build-NAME/, build-NAME-asan/, build-NAME-tsan/ and
# build-NAME-release/.

wev_build_dir() {
    local base="$REPO/build${WEV_BUILD_TAG:+-$WEV_BUILD_TAG}"
    case "$1" in
        normal) echo "$base" ;;
        asan) echo "$base-asan" ;;
        tsan) echo "$base-tsan" ;;
        release) echo "$base-release" ;;
        *) return 1 ;;
    esac
}

wev_binary() {
    echo "$(wev_build_dir "${1:-normal}")/src/qmrthreads/wev/wev"
}
