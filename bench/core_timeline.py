#!/usr/bin/env python3
"""How many of one process's threads wanted a core, over the whole run.

On a shared machine the cores a run gets depend on the other jobs, so the
serial share is measured from what the run itself asks for: a thread counts
from the moment it is woken (or preempted while still runnable) until it
sleeps. With two cores, "one thread runnable" is the time a quiet machine
would have had one core busy. CPU samples taken while only one thread was
runnable tell which code holds the run up.

Record and read (as root; bench/core-timeline.sh does both):
  perf record -a -g -e cpu-clock/freq=997/ -e sched:sched_switch \
      -e sched:sched_waking -e sched:sched_wakeup_new -c 1 -o run.data -- quovix ...
  perf script -i run.data -F comm,pid,tid,time,event,trace,ip,sym > run.txt
  bench/core_timeline.py run.txt [--comm quovix] [--stretch 0.05]
"""
import argparse
import collections
import re
import sys

HEAD = re.compile(r'^\s*(.+?)\s+(-?\d+)/(-?\d+)\s+([\d.]+):\s+(\S+):\s*(.*)$')
SWITCH = re.compile(r'prev_comm=.* prev_pid=(\d+) .*prev_state=(\S+) ==> next_comm=.* next_pid=(\d+)')
WAKE = re.compile(r'comm=.* pid=(\d+) prio=')


def parse(path):
    """Events (time, kind, fields) and samples (time, tid, [symbols])."""
    events = []
    samples = []
    current = None
    for line in open(path, errors='replace'):
        if line.startswith('\t'):
            if current is not None:
                parts = line.strip().split(None, 1)
                if len(parts) == 2:
                    current[2].append(parts[1])
            continue
        m = HEAD.match(line)
        if not m:
            current = None
            continue
        comm, pid, tid, t, event, rest = m.groups()
        pid, tid, t = int(pid), int(tid), float(t)
        current = None
        if event.startswith('cpu-clock'):
            current = (t, tid, [], pid, comm)
            samples.append(current)
        elif event == 'sched:sched_switch':
            s = SWITCH.search(rest)
            if s:
                events.append((t, 'switch', int(s.group(1)), s.group(2), int(s.group(3)), pid))
        elif event in ('sched:sched_waking', 'sched:sched_wakeup', 'sched:sched_wakeup_new'):
            w = WAKE.search(rest)
            if w:
                events.append((t, 'wake', int(w.group(1)), None, None, pid))
    events.sort(key=lambda e: e[0])
    return events, samples


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('script')
    ap.add_argument('--comm', default='quovix', help='process name (its busiest process is taken)')
    ap.add_argument('--stretch', type=float, default=0.05, help='list one-thread stretches at least this long (s)')
    ap.add_argument('--bin', type=float, default=0.1, help='timeline bin (s); 0: none')
    ap.add_argument('--top', type=int, default=25)
    args = ap.parse_args()

    events, samples = parse(args.script)
    per_pid = collections.Counter(s[3] for s in samples if s[4].startswith(args.comm))
    if not per_pid:
        sys.exit('no samples of a process named %s' % args.comm)
    target = per_pid.most_common(1)[0][0]
    tids = {s[1] for s in samples if s[3] == target}
    tids |= {e[2] for e in events if e[5] == target and e[1] == 'switch'}
    tids.add(target)

    # Runnable intervals from the scheduler's events.
    runnable = set()
    changes = []  # (time, count after)
    first = last = None
    for t, kind, a, state, nxt, _ in events:
        before = len(runnable)
        if kind == 'wake' and a in tids:
            runnable.add(a)
        elif kind == 'switch':
            if a in tids and not state.startswith('R'):
                runnable.discard(a)
            if nxt in tids:
                runnable.add(nxt)
        if (kind == 'wake' and a in tids) or (kind == 'switch' and (a in tids or nxt in tids)):
            first = t if first is None else first
            last = t
        if len(runnable) != before:
            changes.append((t, len(runnable)))
    if first is None:
        sys.exit('no scheduler events of pid %d' % target)

    spans = []  # (start, end, count)
    prev_t, prev_n = first, 0
    for t, n in changes:
        if t > prev_t:
            spans.append((prev_t, t, prev_n))
        prev_t, prev_n = t, n
    if last > prev_t:
        spans.append((prev_t, last, prev_n))

    totals = collections.Counter()
    for s, e, n in spans:
        totals[min(n, 2)] += e - s
    wall = last - first
    print('pid %d, %d threads, %.2f s from first to last event' % (target, len(tids), wall))
    print('threads runnable: none %.2f s, one %.2f s (%.1f %%), two or more %.2f s' %
          (totals[0], totals[1], 100.0 * totals[1] / wall if wall else 0.0, totals[2]))
    cpu = sum(1 for s in samples if s[3] == target) / 997.0
    print('CPU sampled %.2f s' % cpu)

    # One character per bin: the threads runnable on average, 0-9.
    if args.bin > 0:
        nbins = int(wall / args.bin) + 1
        load = [0.0] * nbins
        for s, e, n in spans:
            t, e = s - first, e - first
            b = int(t / args.bin)
            while t < e and b < nbins:
                end = min(e, (b + 1) * args.bin)
                load[b] += max(end - t, 0.0) * n
                t = end
                b += 1
        print('timeline, one character per %.0f ms (threads runnable):' % (args.bin * 1000))
        text = ''.join(str(min(9, int(round(x / args.bin)))) for x in load)
        for i in range(0, len(text), 100):
            print('  %6.1f s %s' % (i * args.bin, text[i:i + 100]))

    # Merge spans into stretches with one runnable thread (short blips of two
    # shorter than 2 ms do not end a stretch).
    stretches = []
    for s, e, n in spans:
        if n == 1:
            if stretches and s - stretches[-1][1] < 0.002:
                stretches[-1][1] = e
            else:
                stretches.append([s, e])

    def one_thread(t):
        lo, hi = 0, len(stretches)
        while lo < hi:
            mid = (lo + hi) // 2
            if stretches[mid][1] < t:
                lo = mid + 1
            else:
                hi = mid
        return lo < len(stretches) and stretches[lo][0] <= t <= stretches[lo][1], lo

    self_top = collections.Counter()
    inclusive = collections.Counter()
    per_stretch = collections.defaultdict(collections.Counter)
    for t, tid, syms, pid, _ in samples:
        if pid != target:
            continue
        inside, k = one_thread(t)
        if not inside:
            continue
        self_top[syms[0] if syms else '?'] += 1
        seen = set()
        for f in syms:
            if f not in seen:
                inclusive[f] += 1
                seen.add(f)
        own = [f for f in syms if f.startswith('quovix::') and 'Function_handler' not in f]
        per_stretch[k][' < '.join(own[:3]) if own else (syms[0] if syms else '?')] += 1

    one_cpu = sum(self_top.values()) / 997.0
    rest = max(cpu - one_cpu, 0.0)
    quiet = one_cpu + rest / 2
    print('CPU while one thread was runnable %.2f s, while more were %.2f s: on two free cores about '
          '%.2f s one core busy of %.2f s (%.1f %%)' % (one_cpu, rest, one_cpu, quiet,
                                                       100.0 * one_cpu / quiet if quiet else 0.0))
    print('\none-thread stretches of %.0f ms or more (start s, length ms: where the samples fall):' %
          (args.stretch * 1000))
    for k, (s, e) in enumerate(stretches):
        if e - s >= args.stretch:
            where = '; '.join('%s %d' % (f, c) for f, c in per_stretch[k].most_common(3))
            print('  %7.3f %6.0f  %s' % (s - first, (e - s) * 1000, where))
    print('\nself samples while one thread was runnable (1 ms each):')
    for f, c in self_top.most_common(args.top):
        print('  %5d %s' % (c, f))
    print('\ninclusive:')
    for f, c in inclusive.most_common(args.top * 2):
        print('  %5d %s' % (c, f))


if __name__ == '__main__':
    main()
