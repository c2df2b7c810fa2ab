#!/usr/bin/env python3
"""Times two commands as whole processes, alternately (ours, peer, ours, ...)
after one warm-up run of each, and prints the median time of each and the
median of the per-pair ratios. On a machine whose speed drifts, neighbouring
runs see the same conditions, so the pairwise ratio holds better than a ratio
of two medians taken minutes apart.

usage: pairs.py RUNS 'OURS COMMAND' 'PEER COMMAND'
prints: ours_median peer_median ratio_median (seconds)
"""
import shlex
import statistics
import subprocess
import sys
import time


def run(command):
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def main():
    runs = int(sys.argv[1])
    ours, peer = shlex.split(sys.argv[2]), shlex.split(sys.argv[3])
    run(ours)
    run(peer)
    a, b = [], []
    for _ in range(runs):
        a.append(run(ours))
        b.append(run(peer))
    ratios = [x / y for x, y in zip(a, b)]
    print(f"{statistics.median(a):.4f} {statistics.median(b):.4f} {statistics.median(ratios):.3f}")


if __name__ == "__main__":
    main()
