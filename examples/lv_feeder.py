"""A three-phase four-wire low-voltage feeder, solved by Newton-Goldstein and by backward-forward sweeps.

    source ── line 1 ── bus 1 ── line 2 ── bus 2 ── line 3 ── bus 3
      │                   │                 │                  │
    neutral           star load        delta load          star load
    reference        (unbalanced)      (phases a-b-c)    (one phase heavy)

Every bus has the ports a, b, c, n. The source imposes 230 V phase to neutral; the neutral of the
source is the potential reference. Prints each bus's phase-to-neutral voltages.
"""

import cmath
import math

import numpy as np

from meshvolt import ohmweave

A = cmath.exp(-2j * math.pi / 3)  # the phase rotation a -> b
U_PHASE = 230.0


def line_impedance(length_km):
    """4x4 series impedance of a 4-wire cable (Ω), self and mutual terms per km."""
    z_self, z_mutual = 0.32 + 0.08j, 0.05j
    z = np.full((4, 4), z_mutual, dtype=np.complex128)
    np.fill_diagonal(z, z_self)
    return (z * length_km).reshape(-1)


def build_network():
    source = ohmweave.CyVoltageSource(4, np.array([U_PHASE, U_PHASE * A, U_PHASE * A * A], dtype=np.complex128))
    reference = ohmweave.CyPotentialRef()
    reference.connect(source, [(0, 3)])

    flat = np.array([U_PHASE, U_PHASE * A, U_PHASE * A * A, 0.0], dtype=np.complex128)
    buses = [ohmweave.CyBus(4, flat) for _ in range(3)]
    upstream = source
    elements = [source, reference]
    lines = []
    for bus, length in zip(buses, (0.2, 0.15, 0.1)):
        line = ohmweave.CySimplifiedLine(4, line_impedance(length))
        line.connect_side(upstream, [(k, k) for k in range(4)], True)
        line.connect_side(bus, [(k, k) for k in range(4)], False)
        elements += [line, bus]
        lines.append(line)
        upstream = bus

    star_1 = ohmweave.CyPowerLoad(4, np.array([9e3 + 3e3j, 6e3 + 1e3j, 4e3 + 2e3j], dtype=np.complex128))
    delta_2 = ohmweave.CyDeltaPowerLoad(3, np.array([5e3 + 1e3j, 5e3 + 1e3j, 2e3], dtype=np.complex128))
    star_3 = ohmweave.CyPowerLoad(4, np.array([12e3 + 4e3j, 1e3, 2e3 + 500j], dtype=np.complex128))
    buses[0].connect(star_1, [(k, k) for k in range(4)])
    buses[1].connect(delta_2, [(k, k) for k in range(3)])
    buses[2].connect(star_3, [(k, k) for k in range(4)])
    elements += [star_1, delta_2, star_3]
    return elements, buses


def print_voltages(title, buses):
    print(title)
    print(f"{'bus':>4} {'phase':>5} {'|V| (V)':>10} {'angle (deg)':>12}")
    for number, bus in enumerate(buses, start=1):
        potentials = bus.get_potentials(4)
        for phase, name in enumerate("abc"):
            v = potentials[phase] - potentials[3]
            print(f"{number:>4} {name:>5} {abs(v):>10.3f} {math.degrees(cmath.phase(v)):>12.3f}")
    print()


def main():
    for name, make_solver in (
        ("Newton-Goldstein", lambda network: ohmweave.CyNewtonGoldstein(network, True, 0.1, 0.9, True)),
        ("backward-forward", lambda network: ohmweave.CyBackwardForward(network)),
    ):
        elements, buses = build_network()
        network = ohmweave.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
        solver = make_solver(network)
        iterations, residual = solver.solve_load_flow(50, 1e-8)
        print_voltages(f"{name}: {iterations} iterations, residual {residual:.3e}", buses)


if __name__ == "__main__":
    main()
