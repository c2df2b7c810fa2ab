#!/usr/bin/env python3
"""Times two commands as whole processes, alternately (ours, peer, ours, ...)
after one warm-up run of each, and prints the median time of each, the
median of the per-pair ratios and their spread. On a machine whose speed
drifts, neighbouring runs see the same conditions, so the pairwise ratio
holds better than a ratio of two medians taken minutes apart.

A command that fails, or that leaves its output missing or empty, stops the
benchmark with an error: a failure must never pass for a fast run. Each
output (a file, or a folder whose files are the outputs) is removed before
every run, so a stale result cannot stand in for a missing one.

usage: pairs.py RUNS 'OURS COMMAND' 'PEER COMMAND' [OURS_OUTPUT PEER_OUTPUT]
prints: ours_median peer_median ratio_median ratio_min ratio_max (seconds)
"""
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import time


def clear(path):
    if not path:
        return
    if os.path.isdir(path):
        shutil.rmtree(path)
        os.makedirs(path)
    elif os.path.exists(path):
        os.remove(path)


def produced(path):
    if not path:
        return True
    if os.path.isdir(path):
        files = [os.path.join(path, n) for n in os.listdir(path)]
        return bool(files) and all(os.path.getsize(f) > 0 for f in files if os.path.isfile(f))
    return os.path.isfile(path) and os.path.getsize(path) > 0


def run(command, output):
    clear(output)
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"pairs.py: exit status {done.returncode}: {shlex.join(command)}\n"
                 f"{done.stderr.decode(errors='replace')[-2000:]}")
    if not produced(output):
        sys.exit(f"pairs.py: no output {output}: {shlex.join(command)}")
    return elapsed


def main():
    if len(sys.argv) not in (4, 6):
        sys.exit(__doc__)
    runs = int(sys.argv[1])
    ours, peer = shlex.split(sys.argv[2]), shlex.split(sys.argv[3])
    ours_out, peer_out = (sys.argv[4], sys.argv[5]) if len(sys.argv) == 6 else (None, None)
    run(ours, ours_out)
    run(peer, peer_out)
    a, b = [], []
    for _ in range(runs):
        a.append(run(ours, ours_out))
        b.append(run(peer, peer_out))
    ratios = [x / y for x, y in zip(a, b)]
    print(f"{statistics.median(a):.4f} {statistics.median(b):.4f} {statistics.median(ratios):.3f} "
          f"{min(ratios):.3f} {max(ratios):.3f}")


if __name__ == "__main__":
    main()
