#!/usr/bin/env bash
# Builds the normal build and runs every benchmark program that bench/*/
# builds (found under <build>/bench/*/), each printing its own figures, then
# every benchmark script bench/*/*_bench.py (they start the program in its
# own root and network namespaces, so they need root). Arguments are handed
# to the scripts (for example --quick).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$REPO/tools/build-dirs.sh"

"$REPO/tools/build.sh" normal
dir=$(wev_build_dir normal)/bench

mapfile -t programs < <(find "$dir" -mindepth 2 -maxdepth 2 -type f -perm -u+x 2>/dev/null | sort)
mapfile -t scripts < <(find "$REPO/bench" -mindepth 2 -maxdepth 2 -type f -name '*_bench.py' | sort)
if [ ${#programs[@]} -eq 0 ] && [ ${#scripts[@]} -eq 0 ]; then
    echo "bench/run.sh: no benchmarks are built yet"
    exit 0
fi

failed=0
for program in "${programs[@]}"; do
    echo "==== ${program#"$dir"/}"
    "$program" || { echo "bench/run.sh: ${program#"$dir"/} failed ($?)"; failed=1; }
done
for script in "${scripts[@]}"; do
    name=${script#"$REPO"/}
    echo "==== $name"
    if [ "$(id -u)" -ne 0 ]; then
        echo "bench/run.sh: $name needs root (network namespaces); skipped"
        continue
    fi
    /usr/bin/python3 "$script" --binary "$(wev_binary normal)" "$@" ||
        { echo "bench/run.sh: $name failed ($?)"; failed=1; }
done
exit "$failed"
