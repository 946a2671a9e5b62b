"""Scaling of a radial three-phase four-wire feeder of N buses.

For each N prints: network building time, solver creation (tape recording) with and without tape
optimisation, the tape's operator count, one Newton solve from the flat start, a second solve
after every load's power changed, and one backward-forward solve; then the growth ratio
time(N=10 000) / time(N=1 000) of each figure. Linear growth gives ratios near 10.

    .venv/bin/python bench/feeder_scaling.py [N ...]
"""

import cmath
import math
import os
import re
import sys
import tempfile
import time

import numpy as np

from meshvolt import ohmweave

A = cmath.exp(-2j * math.pi / 3)
PHASES = np.array([230.0, 230.0 * A, 230.0 * A * A], dtype=np.complex128)


# The physical feeder stays the same whatever N: 1 km of cable and 90 kW in all, cut into N sections
# with one load each, so every N has the same voltage profile and Newton the same iteration count.
FEEDER_KM = 1.0
FEEDER_KW = 90.0


def impedance(n_buses):
    z = np.full((4, 4), 0.05j, dtype=np.complex128)
    np.fill_diagonal(z, 0.2 + 0.08j)
    return (z * FEEDER_KM / n_buses).reshape(-1)


def build(n_buses):
    """Source, reference, then N sections of line + bus + unbalanced star load, upstream first."""
    rng = np.random.default_rng(n_buses)
    source = ohmweave.CyVoltageSource(4, PHASES)
    reference = ohmweave.CyPotentialRef()
    reference.connect(source, [(0, 3)])
    flat = np.append(PHASES, 0.0)
    elements, loads = [source, reference], []
    upstream, z, pairs = source, impedance(n_buses), [(k, k) for k in range(4)]
    mean_w = FEEDER_KW * 1e3 / n_buses / 3
    for _ in range(n_buses):
        line = ohmweave.CySimplifiedLine(4, z)
        bus = ohmweave.CyBus(4, flat)
        load = ohmweave.CyPowerLoad(4, mean_w * (rng.uniform(0.5, 1.5, 3) + 0.3j * rng.uniform(0, 1, 3)).astype(np.complex128))
        line.connect_side(upstream, pairs, True)
        line.connect_side(bus, pairs, False)
        bus.connect(load, pairs)
        elements += [line, bus, load]
        loads.append(load)
        upstream = bus
    return elements, loads


def timed(function):
    start = time.perf_counter()
    result = function()
    return result, time.perf_counter() - start


def operator_counts(make_solver):
    """Creates a solver with debug logging on standard output captured; returns it, the time it
    took and the operator counts its log lines report."""
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile(mode="w+") as capture:
        os.dup2(capture.fileno(), 1)
        try:
            ohmweave.cy_set_logging_config("debug")
            solver, seconds = timed(make_solver)
            ohmweave.cy_set_logging_config("info")
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        capture.seek(0)
        counts = [int(c) for c in re.findall(r"Number of tape operators: (\d+)", capture.read())]
    return solver, seconds, counts


def measure(n_buses):
    figures = {}
    (elements, loads), figures["build network"] = timed(lambda: build(n_buses))
    array = np.array(elements, dtype=object)
    network = ohmweave.CyElectricalNetwork(array, len(elements))

    _, figures["create Newton"], plain_counts = operator_counts(lambda: ohmweave.CyNewton(network, False))
    solver, figures["create Newton, optimised"], counts = operator_counts(lambda: ohmweave.CyNewton(network, True))
    (iterations, residual), figures["solve (flat start)"] = timed(lambda: solver.solve_load_flow(20, 1e-8))
    for load in loads:
        load.update_powers(load_powers(load) * 1.2)
    (iterations_2, _), figures["solve after new powers"] = timed(lambda: solver.solve_load_flow(20, 1e-8))

    bf_network = ohmweave.CyElectricalNetwork(np.array(build(n_buses)[0], dtype=object), len(elements))
    sweeps = ohmweave.CyBackwardForward(bf_network)
    (bf_iterations, _), figures["backward-forward solve"] = timed(lambda: sweeps.solve_load_flow(200, 1e-6))
    operators = f"{plain_counts[-1] if plain_counts else '?'} -> {counts[-1] if counts else '?'}"
    print(f"N={n_buses:>6}  tape operators {operators:>20}  Newton {iterations}+{iterations_2} iterations "
          f"(residual {residual:.1e}), backward-forward {bf_iterations} sweeps")
    for name, seconds in figures.items():
        print(f"    {name:<28} {seconds * 1e3:>10.2f} ms")
    return figures


def load_powers(load):
    """The three set-points a load was built with, read back from its phase voltages and currents."""
    v = load.get_potentials(4)
    i = load.get_currents(4)
    return ((v[:3] - v[3]) * np.conj(i[:3])).astype(np.complex128)


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [10, 100, 1000, 10000]
    results = {n: measure(n) for n in sizes}
    if 1000 in results and 10000 in results:
        print("growth time(N=10000) / time(N=1000):")
        for name in results[1000]:
            print(f"    {name:<28} {results[10000][name] / results[1000][name]:>8.1f}")


if __name__ == "__main__":
    main()
