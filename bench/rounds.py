#!/usr/bin/env python3
"""Runs named commands in rounds, in the order given (one round of warm-up
first), so that each command meets the machine as the one before it left
it: memory a peer has just used, or memory our own previous run has just
freed. Prints for each name the median wall time with its range, the median
system time, and what the kernel counted meanwhile on the whole machine
(transparent huge pages faulted in, direct compactions); then, for each
--ratio A/B, the median of the per-round ratios of A's time to B's with
their spread (lowest and highest round).

A command that fails, or that leaves its output missing or empty, stops the
benchmark with an error (bench/pairs.py's checks); each output is emptied
before every run. An empty OUTPUT names none (a pause, say).

usage: rounds.py RUNS [--ratio A/B]... NAME OUTPUT 'COMMAND' [NAME OUTPUT 'COMMAND']...
"""
import os
import shlex
import statistics
import subprocess
import sys
import time

from pairs import clear, produced

COUNTERS = ("thp_fault_alloc", "compact_stall")


def vmstat():
    counts = {}
    with open("/proc/vmstat") as f:
        for line in f:
            name, value = line.split()
            counts[name] = int(value)
    return counts


def run(command, output):
    clear(output)
    before = vmstat()
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = child.stderr.read()
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    after = vmstat()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"rounds.py: exit status {code}: {shlex.join(command)}\n"
                 f"{err.decode(errors='replace')[-2000:]}")
    if not produced(output):
        sys.exit(f"rounds.py: no output {output}: {shlex.join(command)}")
    return {"wall": elapsed, "system": usage.ru_stime,
            **{c: after.get(c, 0) - before.get(c, 0) for c in COUNTERS}}


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    runs = int(args.pop(0))
    ratios = []
    while args and args[0] == "--ratio":
        ratios.append(args[1].split("/"))
        del args[:2]
    if not args or len(args) % 3:
        sys.exit(__doc__)
    steps = [(args[i], args[i + 1], shlex.split(args[i + 2])) for i in range(0, len(args), 3)]
    names = [name for name, _, _ in steps]
    for a, b in ratios:
        if a not in names or b not in names:
            sys.exit(f"rounds.py: --ratio {a}/{b} names a command not given")
    for _, output, command in steps:
        run(command, output)
    results = {name: [] for name in names}
    for _ in range(runs):
        for name, output, command in steps:
            results[name].append(run(command, output))
    for name in dict.fromkeys(names):
        r = results[name]
        wall = [x["wall"] for x in r]
        print(f"  {name}: {statistics.median(wall):.3f}s ({min(wall):.3f}-{max(wall):.3f}), "
              f"system {statistics.median(x['system'] for x in r):.2f}s, "
              f"huge pages faulted {statistics.median(x['thp_fault_alloc'] for x in r):.0f}, "
              f"compaction stalls {statistics.median(x['compact_stall'] for x in r):.0f}")
    for a, b in ratios:
        per_round = sorted(x["wall"] / y["wall"] for x, y in zip(results[a], results[b]))
        print(f"  {a} / {b}: ratio median {statistics.median(per_round):.2f} "
              f"(spread {per_round[0]:.2f}-{per_round[-1]:.2f}, {runs} rounds)")


if __name__ == "__main__":
    main()
