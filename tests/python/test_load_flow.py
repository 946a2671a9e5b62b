"""Whole load flows built and solved through the module, checked against closed forms and circuit
laws: a single-phase line feeding a constant-power load, a balanced four-wire feeder, and an
unbalanced four-wire feeder with star and delta loads and a switch, on which the three solvers must
agree, Kirchhoff's current law must hold at every node and every load must take its set-point;
then set-point, source and line updates between solves.

Conventions: potentials are phase-to-earth in volts, the source neutral is the potential reference
(0 V), and every port current is positive into its element."""

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import carray, load_voltage

A2 = np.exp(-2j * np.pi / 3)  # phase b lags phase a by 120°

SOLVERS = {
    "Newton": lambda network: ohmweave.CyNewton(network, True),
    "Newton-Goldstein": lambda network: ohmweave.CyNewtonGoldstein(network, False, 0.1, 0.9, True),
    "backward-forward": lambda network: ohmweave.CyBackwardForward(network),
}

# Newton solvers stop on the largest current mismatch (A), the sweeps on the largest potential
# change (V). Potentials of different solvers then agree to VOLTS, currents to AMPS, powers to VA.
TOLERANCE = {"Newton": 1e-9, "Newton-Goldstein": 1e-9, "backward-forward": 1e-11}
LIMIT = {"Newton": 50, "Newton-Goldstein": 50, "backward-forward": 2000}
VOLTS, AMPS, VA = 1e-7, 1e-7, 1e-5


def solve(solver, method):
    iterations, residual = solver.solve_load_flow(LIMIT[method], TOLERANCE[method])
    assert residual <= TOLERANCE[method], (method, iterations, residual)
    assert iterations < LIMIT[method]
    return iterations


class Feeder:
    """The elements of a network in the order the sweeps need (upstream first), with a record of
    which ports the joins put into one node."""

    def __init__(self):
        self.elements = []
        self.parts = {}  # elements by name, where a test names them
        self._ports = {}
        self._parent = {}

    def add(self, element, port_count):
        self.elements.append(element)
        self._ports[id(element)] = (element, port_count)
        for p in range(port_count):
            self._parent[(id(element), p)] = (id(element), p)
        return element

    def _root(self, key):
        while self._parent[key] != key:
            key = self._parent[key]
        return key

    def _join(self, a, i, b, j):
        self._parent[self._root((id(b), j))] = self._root((id(a), i))

    def join(self, a, i, b, j):
        """Port i of `a` and port j of `b` share a node; a's potential survives."""
        a.connect(b, [(i, j)])
        self._join(a, i, b, j)

    def attach(self, bus, element, bus_ports):
        """Port k of `element` joins port bus_ports[k] of `bus`; the bus's potential survives."""
        pairs = [(b, k) for k, b in enumerate(bus_ports)]
        bus.connect(element, pairs)
        for b, k in pairs:
            self._join(bus, b, element, k)

    def link(self, branch, n, upstream, downstream):
        """Side-1 conductor k on port k of `upstream`, side-2 conductor k on port k of
        `downstream`; the buses' potentials survive."""
        branch.connect_side(upstream, [(k, k) for k in range(n)], True)
        branch.connect_side(downstream, [(k, k) for k in range(n)], False)
        for k in range(n):
            self._join(upstream, k, branch, k)
            self._join(downstream, k, branch, n + k)

    def port_counts(self):
        """Each named part with its port count."""
        return {name: self._ports[id(e)] for name, e in self.parts.items()}

    def network(self):
        return ohmweave.CyElectricalNetwork(np.array(self.elements, dtype=object),
                                            len(self.elements))

    def nodes(self):
        """The ports of each node, as (element, port) pairs."""
        groups = {}
        for key in self._parent:
            element, _ = self._ports[key[0]]
            groups.setdefault(self._root(key), []).append((element, key[1]))
        return list(groups.values())

    def expect_kirchhoff(self, what):
        # The ports of a node read one potential. One potential reference: no current returns
        # through it, so the currents into the elements at every node sum to zero.
        for node in self.nodes():
            potentials = [element.get_port_potential(p) for element, p in node]
            assert all(v == potentials[0] for v in potentials), (what, node, potentials)
            total = sum(element.get_port_current(p) for element, p in node)
            assert abs(total) <= AMPS, (what, node, total)


def source_bus(feeder, voltages):
    """A star source on a head bus (phases, then the neutral), the neutral the potential
    reference."""
    n = len(voltages) + 1
    head = feeder.add(ohmweave.CyBus(n, carray(*voltages, 0)), n)
    source = feeder.add(ohmweave.CyVoltageSource(n, carray(*voltages)), n)
    reference = feeder.add(ohmweave.CyPotentialRef(), 1)
    feeder.attach(head, source, list(range(n)))
    feeder.attach(head, reference, [n - 1])
    return head, source, reference


def star_powers(load, n):
    """S_i = U_i·conj(I_i), U_i = V_i − V_neutral, for the n − 1 phases of a star load."""
    v, i = load.get_potentials(n), load.get_currents(n)
    return (v[:-1] - v[-1]) * np.conj(i[:-1])


def delta_powers(load, n):
    """S_i = U_i·conj(J_i) for the pair currents J_i of pair (i, i+1 mod n), U_i = V_i − V_(i+1)."""
    v = load.get_potentials(n)
    return (v - np.roll(v, -1)) * np.conj(load.get_inner_currents(n))


# --- single phase: the closed form --------------------------------------------------------------

SINGLE_PHASE_CASES = [
    ("inductive load", 230, 0.5 + 0.3j, 5000 + 2000j),
    ("rotated source, heavy load", 230 * np.exp(-1j * np.pi / 6), 1 + 1j, 8000 + 1000j),
    ("capacitive load raises the voltage", 230, 0.2 + 0.4j, 3000 - 4000j),
    ("generation feeds back", 240 * np.exp(1j * np.pi / 3), 0.5 + 0.3j, -6000 - 1000j),
]


def single_phase(u, z, s):
    """Source U, a line of impedance z, a load S between the far end and the source neutral."""
    feeder = Feeder()
    head, source, _ = source_bus(feeder, [u])
    line = feeder.add(ohmweave.CySimplifiedLine(1, carray(z)), 2)
    tail = feeder.add(ohmweave.CyBus(1, carray(u)), 1)
    load = feeder.add(ohmweave.CyPowerLoad(2, carray(s)), 2)
    feeder.link(line, 1, head, tail)
    feeder.attach(tail, load, [0])
    feeder.join(head, 1, load, 1)  # the load's neutral on the source's
    return feeder, source, line, load


@pytest.mark.parametrize("method", SOLVERS)
@pytest.mark.parametrize("name, u, z, s", SINGLE_PHASE_CASES)
def test_single_phase_load_meets_the_closed_form(name, u, z, s, method):
    expected = load_voltage(u, z, s)
    current = np.conj(s / expected)
    assert abs(u - z * current - expected) <= 1e-9  # the closed form itself

    feeder, source, line, load = single_phase(u, z, s)
    solver = SOLVERS[method](feeder.network())
    solve(solver, method)
    assert abs(load.get_port_potential(0) - expected) <= VOLTS
    assert abs(star_powers(load, 2)[0] - s) <= VA
    assert abs(load.get_inner_currents(1)[0] - current) <= AMPS
    assert np.abs(line.get_side_currents(1, 1)[0] - [current]).max() <= AMPS
    # The source delivers the load current: its phase port carries −I, its neutral +I.
    assert np.abs(source.get_currents(2) - [-current, current]).max() <= AMPS
    feeder.expect_kirchhoff(f"{name}, {method}")


# --- balanced four-wire feeder ------------------------------------------------------------------

ZS, ZPP, ZPN, ZNN = 0.21 + 0.42j, 0.05 + 0.17j, 0.05 + 0.15j, 0.28 + 0.46j


def symmetric_four_wire(length):
    """Every phase alike: self zs, phase-phase mutual zpp, phase-neutral mutual zpn. Balanced
    phase currents with no neutral current see the drop (zs − zpp)·I in each phase."""
    z = np.array([[ZS, ZPP, ZPP, ZPN],
                  [ZPP, ZS, ZPP, ZPN],
                  [ZPP, ZPP, ZS, ZPN],
                  [ZPN, ZPN, ZPN, ZNN]])
    return (length * z).ravel()


@pytest.mark.parametrize("method", SOLVERS)
def test_a_balanced_feeder_stays_balanced(method):
    lengths = [0.8, 0.5, 0.3]
    per_phase = [6000 + 2000j, 4000 + 1500j, 3000 - 500j]
    u = [230, 230 * A2, 230 * np.conj(A2)]
    feeder = Feeder()
    upstream, _, _ = source_bus(feeder, u)
    buses, loads = [], []
    for length, s in zip(lengths, per_phase):
        line = feeder.add(ohmweave.CySimplifiedLine(4, symmetric_four_wire(length)), 8)
        bus = feeder.add(ohmweave.CyBus(4, carray(*u, 0)), 4)
        load = feeder.add(ohmweave.CyPowerLoad(4, carray(s, s, s)), 4)
        feeder.link(line, 4, upstream, bus)
        feeder.attach(bus, load, [0, 1, 2, 3])
        buses.append(bus)
        loads.append(load)
        upstream = bus
    solver = SOLVERS[method](feeder.network())
    solve(solver, method)
    feeder.expect_kirchhoff(method)

    # Phase a alone is a single-phase feeder of sections with impedance (zs − zpp)·length, each
    # carrying the currents of every load behind it.
    v = [bus.get_port_potential(0) for bus in buses]
    for k, bus in enumerate(buses):
        potentials = bus.get_potentials(4)
        assert np.abs(potentials - [v[k], A2 * v[k], np.conj(A2) * v[k], 0]).max() <= VOLTS
        assert abs(v[k]) < 230
        assert np.abs(star_powers(loads[k], 4) - per_phase[k]).max() <= VA
    through = [sum(np.conj(per_phase[j] / v[j]) for j in range(k, 3)) for k in range(3)]
    upstream_v = [230, v[0], v[1]]
    for k in range(3):
        assert abs(upstream_v[k] - (ZS - ZPP) * lengths[k] * through[k] - v[k]) <= VOLTS


# --- unbalanced four-wire feeder ----------------------------------------------------------------

def asymmetric_four_wire(length):
    ab, bc, ac = 0.05 + 0.19j, 0.05 + 0.17j, 0.05 + 0.14j
    an, bn, cn = 0.05 + 0.16j, 0.05 + 0.15j, 0.05 + 0.13j
    z = np.array([[0.21 + 0.42j, ab, ac, an],
                  [ab, 0.22 + 0.43j, bc, bn],
                  [ac, bc, 0.20 + 0.41j, cn],
                  [an, bn, cn, ZNN]])
    return (length * z).ravel()


STAR_1 = [5000 + 1500j, 2000 + 300j, 3500 - 200j]
DELTA_1 = [3000 + 900j, 1200 + 0j, 2200 + 700j]
STAR_2 = [1500 + 200j, 4200 + 1800j, 800 + 100j]


def unbalanced_feeder():
    """Source bus → line → bus 1 (star and delta loads) → closed switch → bus 2 → line → bus 3
    (star load)."""
    feeder = Feeder()
    u = [230, 230 * A2, 230 * np.conj(A2)]
    start = carray(*u, 0)
    head, source, reference = source_bus(feeder, u)
    line1 = feeder.add(ohmweave.CySimplifiedLine(4, asymmetric_four_wire(0.6)), 8)
    bus1 = feeder.add(ohmweave.CyBus(4, start), 4)
    star1 = feeder.add(ohmweave.CyPowerLoad(4, carray(*STAR_1)), 4)
    delta1 = feeder.add(ohmweave.CyDeltaPowerLoad(3, carray(*DELTA_1)), 3)
    switch = feeder.add(ohmweave.CySwitch(4), 8)
    bus2 = feeder.add(ohmweave.CyBus(4, start), 4)
    line2 = feeder.add(ohmweave.CySimplifiedLine(4, asymmetric_four_wire(0.4)), 8)
    bus3 = feeder.add(ohmweave.CyBus(4, start), 4)
    star3 = feeder.add(ohmweave.CyPowerLoad(4, carray(*STAR_2)), 4)
    feeder.link(line1, 4, head, bus1)
    feeder.attach(bus1, star1, [0, 1, 2, 3])
    feeder.attach(bus1, delta1, [0, 1, 2])
    feeder.link(switch, 4, bus1, bus2)
    feeder.link(line2, 4, bus2, bus3)
    feeder.attach(bus3, star3, [0, 1, 2, 3])
    feeder.parts.update(head=head, source=source, reference=reference, line1=line1, bus1=bus1,
                        star1=star1, delta1=delta1, switch=switch, bus2=bus2, line2=line2,
                        bus3=bus3, star3=star3)
    return feeder


def bus_potentials(feeder):
    return np.concatenate([feeder.parts[name].get_potentials(4) for name in ("bus1", "bus2", "bus3")])


@pytest.fixture(scope="module")
def newton_solution():
    feeder = unbalanced_feeder()
    solver = ohmweave.CyNewton(feeder.network(), False)
    solve(solver, "Newton")
    return bus_potentials(feeder)


@pytest.mark.parametrize("method", SOLVERS)
def test_the_three_solvers_agree_on_an_unbalanced_feeder(method, newton_solution):
    feeder = unbalanced_feeder()
    solver = SOLVERS[method](feeder.network())
    solve(solver, method)
    p = feeder.parts
    assert np.abs(bus_potentials(feeder) - newton_solution).max() <= VOLTS
    feeder.expect_kirchhoff(method)
    assert np.abs(star_powers(p["star1"], 4) - STAR_1).max() <= VA
    assert np.abs(delta_powers(p["delta1"], 3) - DELTA_1).max() <= VA
    assert np.abs(star_powers(p["star3"], 4) - STAR_2).max() <= VA
    # A delta load's port k carries J_k − J_(k−1).
    pairs = p["delta1"].get_inner_currents(3)
    assert np.abs(p["delta1"].get_currents(3) - (pairs - np.roll(pairs, 1))).max() <= AMPS
    # The closed switch joins its conductors: equal potentials, the current passes through.
    side1, side2 = p["switch"].get_side_potentials(4, 4)
    assert np.abs(side1 - side2).max() <= VOLTS
    i1, i2 = p["switch"].get_side_currents(4, 4)
    assert np.abs(i1 + i2).max() <= AMPS
    # Unbalanced loads: the neutral is off 0 V behind the first line, and carries current.
    assert abs(p["bus1"].get_port_potential(3)) > 0.1
    assert abs(p["line1"].get_port_current(3)) > 0.1
    # Tellegen: with Kirchhoff's law at every node, the powers Σ V·conj(I) that the elements
    # absorb sum to zero. The source delivers what the loads take plus the lines' losses.
    absorbed = {name: np.sum(e.get_potentials(n) * np.conj(e.get_currents(n)))
                for name, (e, n) in feeder.port_counts().items()}
    assert abs(sum(absorbed.values())) <= VA
    taken = sum(STAR_1) + sum(DELTA_1) + sum(STAR_2)
    losses = absorbed["line1"] + absorbed["line2"]
    assert abs(-absorbed["source"] - taken - losses) <= VA
    assert losses.real > 0 and losses.imag > 0


@pytest.mark.parametrize("method", SOLVERS)
def test_the_final_variables_hold_the_reported_potentials(method):
    # The node block starts with the head bus's three phases (its neutral is grounded).
    feeder = unbalanced_feeder()
    solver = SOLVERS[method](feeder.network())
    solve(solver, method)
    variables = solver.get_variables()
    head = feeder.parts["head"].get_potentials(3)
    assert np.abs(variables[0:6:2] + 1j * variables[1:6:2] - head).max() <= VOLTS
    if method != "backward-forward":
        assert np.abs(solver.get_residuals()).max() <= TOLERANCE[method]


# --- updates between solves ---------------------------------------------------------------------

@pytest.mark.parametrize("method", SOLVERS)
def test_set_point_updates_reach_the_next_solve(method):
    new_star = [1000 + 100j, 6000 + 2500j, 2000 - 500j]
    new_delta = [500 + 0j, 4000 + 1000j, 1000 + 100j]

    updated = unbalanced_feeder()
    solver = SOLVERS[method](updated.network())
    solve(solver, method)
    updated.parts["star3"].update_powers(carray(*new_star))
    updated.parts["delta1"].update_powers(carray(*new_delta))
    assert solve(solver, method) > 0

    fresh = unbalanced_feeder()
    fresh.parts["star3"].update_powers(carray(*new_star))
    fresh.parts["delta1"].update_powers(carray(*new_delta))
    fresh_solver = SOLVERS[method](fresh.network())
    solve(fresh_solver, method)

    assert np.abs(bus_potentials(updated) - bus_potentials(fresh)).max() <= VOLTS
    assert np.abs(star_powers(updated.parts["star3"], 4) - new_star).max() <= VA
    assert np.abs(delta_powers(updated.parts["delta1"], 3) - new_delta).max() <= VA
    updated.expect_kirchhoff(method)


@pytest.mark.parametrize("method", SOLVERS)
def test_source_and_line_updates_reach_the_next_solve(method):
    u, z, s = 230, 0.5 + 0.3j, 5000 + 2000j
    feeder, source, line, load = single_phase(u, z, s)
    solver = SOLVERS[method](feeder.network())
    solve(solver, method)
    source.update_voltage(240 + 10j)
    line.update_single_line_parameters(0.8 + 0.2j)
    solve(solver, method)
    assert abs(load.get_port_potential(0) - load_voltage(240 + 10j, 0.8 + 0.2j, s)) <= VOLTS
    load.update_power(-2000 + 500j)
    solve(solver, method)
    assert abs(load.get_port_potential(0) - load_voltage(240 + 10j, 0.8 + 0.2j, -2000 + 500j)) \
        <= VOLTS
    feeder.expect_kirchhoff(method)


@pytest.mark.parametrize("method", SOLVERS)
def test_a_converged_solve_is_not_repeated(method):
    feeder = unbalanced_feeder()
    solver = SOLVERS[method](feeder.network())
    solve(solver, method)
    before = solver.get_variables()
    iterations, residual = solver.solve_load_flow(LIMIT[method], TOLERANCE[method])
    # A Newton solver starts from its solution and needs no step; the sweeps always run one.
    assert iterations == (1 if method == "backward-forward" else 0)
    assert np.abs(solver.get_variables() - before).max() <= VOLTS


def test_a_later_solver_starts_from_the_values_the_elements_hold():
    # Variables [V_head, V_tail, J_source], each (re, im). While its solver lives, a Newton solve
    # writes only that solver's vectors; the sweeps write the nodes' own potentials too.
    u, z, s = 230, 0.5 + 0.3j, 5000 + 2000j
    feeder, source, line, load = single_phase(u, z, s)
    network = feeder.network()
    newton = ohmweave.CyNewton(network, False)
    solve(newton, "Newton")
    assert ohmweave.CyNewton(network, False).get_variables()[:4].tolist() == [230, 0, 230, 0]

    sweeps = ohmweave.CyBackwardForward(network)
    solve(sweeps, "backward-forward")
    v = load_voltage(u, z, s)
    start = ohmweave.CyNewton(network, False).get_variables()
    assert np.abs(start[:4] - [230, 0, v.real, v.imag]).max() <= VOLTS
    # The source's current is a variable of its own, which the sweeps do not write.
    assert start[4:].tolist() == [0, 0]
    # With the source current the sweeps left on its phase port, the sweeps' solution satisfies
    # the later solver's equations.
    later = ohmweave.CyNewton(network, False)
    j = source.get_port_current(0)
    later.set_variables(np.concatenate([sweeps.get_variables()[:4], [j.real, j.imag]]))
    assert np.abs(later.get_residuals()).max() <= 1e-8
    assert later.solve_load_flow(50, 1e-8)[0] == 0
