"""A 20 kV network feeding a low-voltage feeder through a 250 kVA 20/0.4 kV Dyn11 transformer,
solved by Newton-Goldstein.

    20 kV source ── Dyn11 ── LV busbar ── line 1 ── bus 1 ── line 2 ── bus 2 ── line 3 ── bus 3
             │                   │                    │                  │                  │
          neutral           LV neutral            star load         delta load          star load
         reference           reference          (unbalanced)          (a-b-c)           (a heavy)

The transformer's series impedance z2, magnetising admittance ym and ratio k are worked out from
its nameplate, then checked by the transformer's own no-load and short-circuit tests.

Each side of the transformer needs its own potential reference: the transformer couples the two
sides magnetically, by voltage differences only, so the HV side's reference does not fix the LV
potentials. Here the source's neutral and the transformer's LV neutral are each joined to a
CyPotentialRef (a CyGround would fix nothing). A delta source would take a CyDeltaPotentialRef
on its three phases instead.

Prints the transformer's parameters and each LV bus's phase-to-neutral voltages.
"""

import cmath
import math

import numpy as np

from meshvolt import ohmweave

A = cmath.exp(-2j * math.pi / 3)  # the phase rotation a -> b

# Nameplate.
S_RATED = 250e3  # rated power (VA)
U_HV = 20e3  # rated HV line voltage (V)
U_LV = 400.0  # rated LV line voltage (V)
CLOCK = 11  # Dyn11: the LV voltages lag the HV ones by 11 x 30°, i.e. lead them by 30°
P_NO_LOAD = 425.0  # no-load losses (W)
I_NO_LOAD = 0.012  # no-load current, per unit of the rated HV current
U_SHORT_CIRCUIT = 0.04  # short-circuit voltage, per unit of the rated voltage
P_LOAD_LOSSES = 3250.0  # load losses at the rated current (W)


def transformer_parameters():
    """z2 (Ω, referred to the LV winding), ym (S, across each HV winding) and k of the Dyn11
    transformer, from its nameplate.

    Ratio. Each LV winding (phase to neutral, U_LV/√3) faces one HV delta winding (phase to phase,
    U_HV) on the same core:
        k = (U_LV/√3) / U_HV

    Series impedance, referred to the LV side. The rated LV current is I_LV = S/(√3·U_LV); the
    load losses are the three LV windings' resistance at that current, and the short-circuit
    voltage is the rated LV phase voltage times vsc:
        P_k = 3·R2·I_LV²                 so  R2 = P_k·U_LV² / S²
        |z2| = vsc·(U_LV/√3) / I_LV      so  |z2| = vsc·U_LV² / S
        X2 = √(|z2|² - R2²)

    Magnetising admittance, across each HV delta winding at U_HV. The no-load losses are three
    windings' conductance at that voltage; the no-load current in an HV line is √3 times a
    winding's current, compared with the rated HV current S/(√3·U_HV):
        P_0 = 3·G·U_HV²                  so  G = P_0 / (3·U_HV²)
        i_0 = √3·|ym|·U_HV / (S/(√3·U_HV))   so  |ym| = i_0·S / (3·U_HV²)
        B = √(|ym|² - G²),   ym = G - jB  (the magnetising current lags the voltage)
    """
    k = U_LV / math.sqrt(3) / U_HV
    r2 = P_LOAD_LOSSES * U_LV**2 / S_RATED**2
    z2_modulus = U_SHORT_CIRCUIT * U_LV**2 / S_RATED
    z2 = complex(r2, math.sqrt(z2_modulus**2 - r2**2))
    g = P_NO_LOAD / (3 * U_HV**2)
    ym_modulus = I_NO_LOAD * S_RATED / (3 * U_HV**2)
    ym = complex(g, -math.sqrt(ym_modulus**2 - g**2))
    return z2, ym, k


def make_transformer():
    z2, ym, k = transformer_parameters()
    # 3 HV ports (delta: a, b, c), 4 LV ports (star: a, b, c, neutral).
    return ohmweave.CyThreePhaseTransformer(3, 4, "D", "y", z2, ym, k, CLOCK)


def nameplate_check():
    """The no-load and short-circuit tests of a transformer with these parameters:
    ((no-load losses W, no-load current p.u.), (load losses W, short-circuit voltage p.u.)).
    The short-circuit test feeds vsc·U_HV, so its losses include the core's P_0·vsc² (0.7 W).
    The tests write their own potentials into the transformer's nodes, so they run on a
    transformer of their own, outside the network."""
    tested = make_transformer()
    no_load = tested.compute_open_circuit_parameters(U_HV, U_LV, S_RATED)
    short_circuit = tested.compute_short_circuit_parameters(U_HV, U_LV, S_RATED)
    return no_load, short_circuit


def line_impedance(length_km):
    """4x4 series impedance of a 4-wire cable (Ω), self and mutual terms per km."""
    z_self, z_mutual = 0.32 + 0.08j, 0.05j
    z = np.full((4, 4), z_mutual, dtype=np.complex128)
    np.fill_diagonal(z, z_self)
    return (z * length_km).reshape(-1)


def powers(*values):
    """Per-phase (star) or per-pair (delta) complex powers (VA) of a load."""
    return np.array(values, dtype=np.complex128)


def build_network(loaded=True):
    """The elements in the order to list them, the transformer, and the LV buses (busbar first).
    loaded=False leaves the loads out."""
    hv_phases = U_HV / math.sqrt(3) * np.array([1, A, A * A])
    source = ohmweave.CyVoltageSource(4, hv_phases.astype(np.complex128))
    hv_reference = ohmweave.CyPotentialRef()
    hv_reference.connect(source, [(0, 3)])

    transformer = make_transformer()
    transformer.connect_side(source, [(k, k) for k in range(3)], True)

    # Every LV bus starts at the no-load voltages, 230 V leading the HV phases by 30°: Newton
    # starts near the answer, and the loads never see 0 V.
    clock_shift = cmath.exp(-1j * CLOCK * math.pi / 6)  # a lag of 330°: a lead of 30°
    lv_phases = U_LV / math.sqrt(3) * clock_shift * np.array([1, A, A * A])
    flat = np.append(lv_phases, 0).astype(np.complex128)
    busbar = ohmweave.CyBus(4, flat)
    transformer.connect_side(busbar, [(k, k) for k in range(4)], False)
    lv_reference = ohmweave.CyPotentialRef()
    lv_reference.connect(busbar, [(0, 3)])
    elements = [source, hv_reference, transformer, busbar, lv_reference]

    buses = [busbar]
    for length in (0.2, 0.15, 0.1):
        bus = ohmweave.CyBus(4, flat)
        line = ohmweave.CySimplifiedLine(4, line_impedance(length))
        line.connect_side(buses[-1], [(k, k) for k in range(4)], True)
        line.connect_side(bus, [(k, k) for k in range(4)], False)
        elements += [line, bus]
        buses.append(bus)

    if loaded:
        star_1 = ohmweave.CyPowerLoad(4, powers(9e3 + 3e3j, 6e3 + 1e3j, 4e3 + 2e3j))
        delta_2 = ohmweave.CyDeltaPowerLoad(3, powers(5e3 + 1e3j, 5e3 + 1e3j, 2e3))
        star_3 = ohmweave.CyPowerLoad(4, powers(12e3 + 4e3j, 1e3, 2e3 + 500j))
        buses[1].connect(star_1, [(k, k) for k in range(4)])
        buses[2].connect(delta_2, [(k, k) for k in range(3)])
        buses[3].connect(star_3, [(k, k) for k in range(4)])
        elements += [star_1, delta_2, star_3]
    return elements, transformer, buses


def solve(loaded=True):
    """Builds and solves the network by Newton-Goldstein; returns (iterations, residual, LV buses
    busbar first, the elements). Keep the elements while reading the buses."""
    elements, transformer, buses = build_network(loaded)
    network = ohmweave.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
    solver = ohmweave.CyNewtonGoldstein(network, True, 0.1, 0.9, True)
    iterations, residual = solver.solve_load_flow(50, 1e-8)
    return iterations, residual, buses, elements


def print_voltages(buses):
    print(f"{'bus':>7} {'phase':>5} {'|V| (V)':>10} {'angle (deg)':>12}")
    for number, bus in enumerate(buses):
        potentials = bus.get_potentials(4)
        name = "busbar" if number == 0 else str(number)
        for phase, letter in enumerate("abc"):
            v = potentials[phase] - potentials[3]
            print(f"{name:>7} {letter:>5} {abs(v):>10.3f} {math.degrees(cmath.phase(v)):>12.3f}")
    print()


def main():
    z2, ym, k = transformer_parameters()
    print(f"z2 = {z2.real:.6f}{z2.imag:+.6f}j Ω (LV side), ym = {ym.real:.4e}{ym.imag:+.4e}j S "
          f"(HV winding), k = {k:.6f}")
    (p0, i0), (pk, vsc) = nameplate_check()
    print(f"no-load test: {p0:.1f} W, {100 * i0:.3f} % of the rated current; "
          f"short-circuit test: {pk:.1f} W, vsc {100 * vsc:.3f} %")
    print()
    iterations, residual, buses, _ = solve()
    print(f"Newton-Goldstein: {iterations} iterations, residual {residual:.3e}")
    print_voltages(buses)


if __name__ == "__main__":
    main()
