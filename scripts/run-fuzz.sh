#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehavior-
# Sanitizer, installing what is missing), replays the seed corpus of each, then
# fuzzes each target for the given number of seconds.
#   scripts/run-fuzz.sh [SECONDS] [BUILD_DIR]
# A crash, a leak, undefined behaviour or a broken invariant fails the run; the
# input that caused it is left in BUILD_DIR/fuzz-artifacts/.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build_dir=${2:-$here/build-fuzz}
targets=(fuzz_udp_handler fuzz_rpc_frames fuzz_rpc_values fuzz_bind_host)

CC=clang CXX=clang++ VEMO_BUILD_TARGETS="${targets[*]}" \
    "$here/scripts/setup.sh" "$build_dir" -DVEMO_FUZZ=ON -DVEMO_WARNINGS_AS_ERRORS=ON -DVEMO_BUILD_TESTS=OFF \
    -DVEMO_BUILD_BENCH=OFF -DVEMO_BUILD_CONFIG=OFF

artifacts="$build_dir/fuzz-artifacts"
mkdir -p "$artifacts"
for target in "${targets[@]}"; do
    program="$build_dir/tests/fuzz/$target"
    seeds="$here/tests/fuzz/corpus/$target"
    echo "== $target: replaying $(ls "$seeds" | wc -l) seed input(s)"
    "$program" -runs=0 -artifact_prefix="$artifacts/$target-" "$seeds"
    echo "== $target: fuzzing for $seconds s"
    # New inputs go to a scratch corpus; the seeds in the repository stay as they are.
    work=$(mktemp -d)
    status=0
    "$program" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2560 \
        -artifact_prefix="$artifacts/$target-" -print_final_stats=1 "$work" "$seeds" \
        2>"$artifacts/$target.log" || status=$?
    tail -n 15 "$artifacts/$target.log"
    rm -rf "$work"
    if [ "$status" -ne 0 ]; then
        echo "$target failed (exit $status); see $artifacts/$target.log" >&2
        exit "$status"
    fi
done
