#!/bin/sh
# Records one run with the scheduler's events and CPU samples and prints how
# long only one of its threads wanted a core (bench/core_timeline.py).
# Needs perf and the right to trace the whole system (root, or
# kernel.perf_event_paranoid <= -1).
#   bench/core-timeline.sh OUTDIR quovix [options] inputs...
set -eu
if [ $# -lt 2 ]; then
    echo "usage: $0 OUTDIR program [arguments...]" >&2
    exit 2
fi
out=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
perf record -q -a -g -e cpu-clock/freq=997/ -e sched:sched_switch -e sched:sched_waking \
    -e sched:sched_wakeup_new -c 1 -o "$out/run.data" -- "$@" >"$out/run.log" 2>&1
perf script -i "$out/run.data" -F comm,pid,tid,time,event,trace,ip,sym >"$out/run.txt" 2>/dev/null
python3 "$here/core_timeline.py" --comm "$(basename "$1" | cut -c1-15)" "$out/run.txt"
