"""Joining and deleting N buses that share one ground node.

Each bus joins its port 0 to the same ground, so the ground's node lists N + 1 members; deleting
the buses then takes each one out of that node. Prints the seconds of both for each N and the growth
per doubling: linear costs give ratios near 2.

    .venv/bin/python bench/teardown_scaling.py [N ...]
"""

import gc
import sys
import time

import numpy as np

from meshvolt import ohmweave


def measure(n):
    ground = ohmweave.CyGround()
    potentials = np.zeros(1, dtype=np.complex128)
    buses = [ohmweave.CyBus(1, potentials) for _ in range(n)]
    gc.collect()
    start = time.perf_counter()
    for bus in buses:
        ground.connect(bus, [(0, 0)])
    joined = time.perf_counter() - start
    start = time.perf_counter()
    del buses[:]
    deleted = time.perf_counter() - start
    return joined, deleted


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [20_000, 40_000, 80_000, 160_000]
    previous = None
    print(f"{'N':>8} {'join (s)':>10} {'delete (s)':>11} {'join growth':>12} {'delete growth':>14}")
    for n in sizes:
        joined, deleted = measure(n)
        growth = ("", "") if previous is None else (
            f"{joined / previous[0]:.2f}", f"{deleted / previous[1]:.2f}")
        print(f"{n:>8} {joined:>10.4f} {deleted:>11.4f} {growth[0]:>12} {growth[1]:>14}")
        previous = (joined, deleted)


if __name__ == "__main__":
    main()
