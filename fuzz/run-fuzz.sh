#!/bin/sh
# Runs every fuzz target of a QUOVIX_FUZZ build for a while, one after the
# other, each on one core, on a scratch copy of its corpus and reproducers
# (the committed corpus never grows by itself). Prints the executions and
# coverage each reached and the paths of any crash artifacts.
#   run-fuzz.sh <fuzz build folder> <seconds per target> [target...]
set -eu
build=$(cd "$1" && pwd)
seconds=$2
shift 2
fuzzdir=$(cd "$(dirname "$0")" && pwd)
targets=${*:-"tiff_reader jpeg_reader command_line raw_output metadata_copy transform_file scratch_file"}
runs="$build/fuzz-runs/$(date +%Y%m%d-%H%M%S)"
status=0
for target in $targets; do
    work="$runs/$target"
    mkdir -p "$work/corpus" "$work/artifacts" "$work/tmp"
    cp "$fuzzdir/corpus/$target"/* "$fuzzdir/reproducers/$target"/* "$work/corpus/"
    echo "== $target: ${seconds}s (log $work/fuzz.log)"
    # The target's private folders go under the scratch folder too.
    if TMPDIR="$work/tmp" "$build/fuzz/fuzz_$target" "$work/corpus" \
        -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" >"$work/fuzz.log" 2>&1; then
        :
    else
        status=1
    fi
    grep -E '^#[0-9]+' "$work/fuzz.log" | tail -n 1
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$work/fuzz.log" || true
    # Crashes, leaks, timeouts and memory limits are findings; a slow unit
    # may only mean the machine was busy (replay it to see).
    found=$(find "$work/artifacts" -type f ! -name 'slow-unit-*')
    slow=$(find "$work/artifacts" -type f -name 'slow-unit-*')
    if [ -n "$found" ]; then
        status=1
        echo "Artifacts (replay with $build/fuzz/fuzz_$target <file>):"
        echo "$found"
        grep -E '^(==[0-9]+==ERROR|SUMMARY)' "$work/fuzz.log" | head -n 5 || true
    else
        echo "No crash, leak, timeout or memory excess."
    fi
    if [ -n "$slow" ]; then
        echo "Slow inputs (over 10 s once; replay with $build/fuzz/fuzz_$target <file>):"
        echo "$slow"
    fi
done
exit $status
