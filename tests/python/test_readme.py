"""The README's section "Building a network": its example runs and obeys the physics it states
(Kirchhoff's law, the loads' set-points, Ohm's law and the losses of the line, the power balance,
the Dyn11 shift), and its constructor table, sign conventions, joins and transformer codes hold."""

import cmath
import math
import re
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import (ABSTRACT_ELEMENT_TYPES, ABSTRACT_SOLVER_TYPES, carray, objects,
                            raises_exactly, solve_newton)

README = Path(__file__).resolve().parents[2] / "README.md"
SQRT3 = math.sqrt(3)


def section():
    """The text of the section, up to the next section of the same level."""
    text = README.read_text(encoding="utf-8")
    start = text.index("\n## Building a network\n")
    end = text.index("\n## ", start + 1)
    return text[start:end]


def subsection(title):
    text = section()
    start = text.index(f"\n### {title}\n")
    end = text.find("\n### ", start + 1)
    return text[start:end if end >= 0 else len(text)]


def example_code():
    blocks = re.findall(r"```python\n(.*?)```", section(), re.S)
    assert len(blocks) == 1
    return blocks[0]


@pytest.fixture
def example(capsys):
    """The names the example's code leaves, after running it; what it prints stays in capsys."""
    namespace = {"__name__": "readme_example"}
    exec(compile(example_code(), str(README), "exec"), namespace)
    return SimpleNamespace(**namespace)


def power_taken(element, n):
    """Σ Re(V·conj(I)) over the element's first n ports (W)."""
    return np.sum(element.get_potentials(n) * np.conj(element.get_currents(n))).real


# --- the example ----------------------------------------------------------------------------------

def test_the_example_prints_what_the_readme_says(example, capsys):
    printed = capsys.readouterr().out.strip()
    stated = re.search(r"It prints `([^`]*)`", section().replace("\n", " ")).group(1)
    assert printed == stated
    # Newton's residual is the largest entry of its residual vector.
    assert example.residual == np.abs(example.solver.get_residuals()).max()


def test_kirchhoff_at_the_lv_bus(example):
    # Every current flows into its element: at each of the bus's nodes they cancel.
    through_line = example.line.get_side_currents(4, 4)[1]
    star = example.star.get_currents(4)
    delta = np.append(example.delta.get_currents(3), 0)
    assert np.abs(through_line + star + delta).max() <= 1e-6
    assert example.bus.get_currents(4).tolist() == [0, 0, 0, 0]
    # The loads' currents sum to zero, so no current returns through earth.
    assert abs(example.lv_ref.get_current()) <= 1e-6
    assert abs(example.hv_ref.get_current()) <= 1e-6


def test_the_loads_take_their_set_points(example):
    v = example.bus.get_potentials(4)
    star_powers = carray(9e3 + 3e3j, 6e3 + 1e3j, 4e3 + 2e3j)
    i_star = example.star.get_currents(4)
    assert (v[:3] - v[3]) * np.conj(i_star[:3]) == pytest.approx(star_powers, rel=1e-9)
    assert i_star[3] == pytest.approx(-i_star[:3].sum(), abs=1e-9)
    assert power_taken(example.star, 4) == pytest.approx(star_powers.real.sum(), rel=1e-9)
    # The delta's pairs ab, bc, ca: pair i from port i to port i+1, port i = J_i - J_(i-1).
    delta_powers = carray(5e3 + 1e3j, 5e3 + 1e3j, 2e3)
    pairs = example.delta.get_inner_currents(3)
    assert (v[:3] - np.roll(v[:3], -1)) * np.conj(pairs) == pytest.approx(delta_powers, rel=1e-9)
    assert example.delta.get_currents(3) == pytest.approx(pairs - np.roll(pairs, 1), abs=1e-9)


def test_per_unit_voltages_drop_along_the_line(example):
    v = example.bus.get_potentials(4)
    assert example.u_pu == pytest.approx(np.abs(v[:3] - v[3]) / (400 / SQRT3), rel=1e-12)
    busbar = example.busbar.get_potentials(4)
    assert np.all(example.u_pu < np.abs(busbar[:3]) / (400 / SQRT3)) and np.all(example.u_pu > 0.95)
    # Ohm's law along the line, its 16 entries given row by row.
    i1, i2 = example.line.get_side_currents(4, 4)
    assert busbar - v == pytest.approx(example.z_line @ i1, abs=1e-9)
    assert i2 == pytest.approx(-i1, abs=1e-12)


def test_the_line_losses_and_the_power_balance(example):
    v1, v2 = example.line.get_side_potentials(4, 4)
    i1, i2 = example.line.get_side_currents(4, 4)
    # Reactive mutual terms dissipate nothing: the losses are R·|I|² in each conductor.
    assert example.line_losses == pytest.approx(0.064 * np.sum(np.abs(i1) ** 2), rel=1e-9)
    power_in, power_out = np.sum(v1 * np.conj(i1)).real, -np.sum(v2 * np.conj(i2)).real
    assert example.line_losses == pytest.approx(power_in - power_out, rel=1e-9)
    # The transformer dissipates Re(z2)·|J2|² in its LV windings and Re(ym)·|U1|² in its core.
    hv = example.source.get_potentials(3)
    lv_currents = example.transformer.get_side_currents(3, 4)[1]
    core = 3.5e-7 * np.sum(np.abs(hv - np.roll(hv, -1)) ** 2)
    copper = 0.0083 * np.sum(np.abs(lv_currents[:3]) ** 2)
    assert power_taken(example.transformer, 7) == pytest.approx(core + copper, rel=1e-9)
    # The source delivers what the loads, the line and the transformer take.
    loads = power_taken(example.star, 4) + power_taken(example.delta, 3)
    assert example.hv_power > 0
    assert example.hv_power == pytest.approx(loads + example.line_losses + core + copper, rel=1e-9)


def test_unloaded_the_lv_side_leads_the_hv_side_by_30_degrees(example):
    # New set-points reach the next solve of the same solver.
    example.star.update_powers(np.zeros(3, np.complex128))
    example.delta.update_powers(np.zeros(3, np.complex128))
    assert example.solver.solve_load_flow(50, 1e-8)[1] <= 1e-8
    v = example.bus.get_potentials(4)
    expected = [cmath.rect(400 / SQRT3, math.radians(30 - 120 * p)) for p in range(3)]
    assert v[:3] - v[3] == pytest.approx(expected, abs=1e-9)
    assert np.abs(example.line.get_currents(8)).max() <= 1e-9


def test_a_disconnected_load_reads_its_old_nodes_but_draws_nothing_from_them(example):
    before = example.bus.get_potentials(4)
    old_currents = example.star.get_currents(4)
    example.star.disconnect()
    elements = [e for e in example.elements if e is not example.star]
    network, solver = solve_newton(elements)
    after = example.bus.get_potentials(4)
    # Without its 19 kW the bus rises, and the load still reads it.
    assert np.all(np.abs(after[:3] - after[3]) > np.abs(before[:3] - before[3]))
    assert example.star.get_potentials(4).tolist() == after.tolist()
    assert example.star.get_currents(4).tolist() == old_currents.tolist()
    through_line = example.line.get_side_currents(4, 4)[1]
    delta = np.append(example.delta.get_currents(3), 0)
    assert np.abs(through_line + delta).max() <= 1e-6


def test_newton_solves_the_elements_in_any_order(example):
    expected = example.bus.get_potentials(4)
    network, solver = solve_newton(example.elements[::-1])
    assert example.bus.get_potentials(4) == pytest.approx(expected, abs=1e-9)


# --- the other loads, on the example's bus, whose neutral floats --------------------------------

def constant_parameter():
    """Both laws constant: the flexible load takes its theoretical power."""
    control = ohmweave.CyControl("constant", 0, 0, 0, 0, 1, 1)
    return ohmweave.CyFlexibleParameter(control, control, ohmweave.CyProjection("euclidean", 1, 1),
                                        1e5, -1e5, 1e5)


SET_POINTS = carray(3e3 + 1e3j, 2e3, 1e3 - 500j)


def power_law(u, i):
    return u * np.conj(i), SET_POINTS


ADMITTANCES = carray(0.05, 0.04 - 0.01j, 0.02)
CURRENTS = carray(10, 5j, 8 - 2j)


def admittance_law(u, i):
    return i, ADMITTANCES * u


def current_law(u, i):
    return i, CURRENTS * u / np.abs(u)


# name: (ports, set-points, law: (voltages, inner currents) -> (what it gives, what it should give))
LOADS = {
    "CyAdmittanceLoad": (4, ADMITTANCES, admittance_law),
    "CyCurrentLoad": (4, CURRENTS, current_law),
    "CyFlexibleLoad": (4, SET_POINTS, power_law),
    "CyDeltaAdmittanceLoad": (3, ADMITTANCES, admittance_law),
    "CyDeltaCurrentLoad": (3, CURRENTS, current_law),
    "CyDeltaFlexibleLoad": (3, SET_POINTS, power_law),
}


@pytest.mark.parametrize("name", LOADS)
def test_star_loads_take_the_neutral_last_and_delta_loads_their_pairs(example, name):
    n, set_points, law = LOADS[name]
    extra = (objects(*[constant_parameter() for _ in set_points]),) if "Flexible" in name else ()
    load = getattr(ohmweave, name)(n, set_points, *extra)
    example.bus.connect(load, [(i, i) for i in range(n)])
    network, solver = solve_newton(example.elements + [load])
    v = example.bus.get_potentials(4)
    currents = load.get_currents(n)
    inner = load.get_inner_currents(3)
    if n == 4:
        assert abs(v[3]) > 1  # the neutral's node is not the earthed one
        u, ports = v[:3] - v[3], np.append(inner, -inner.sum())
    else:
        u, ports = v[:3] - np.roll(v[:3], -1), inner - np.roll(inner, 1)
    given, expected = law(u, inner)
    assert given == pytest.approx(expected, rel=1e-9)
    assert currents == pytest.approx(ports, abs=1e-9)
    if extra:
        assert load.get_powers(3) == pytest.approx(SET_POINTS, rel=1e-9)


def test_a_negative_power_is_generation():
    source = ohmweave.CyVoltageSource(2, carray(230))
    reference = ohmweave.CyPotentialRef()
    reference.connect(source, [(0, 1)])
    line = ohmweave.CySimplifiedLine(2, carray(0.2 + 0.1j, 0, 0, 0.2 + 0.1j))
    line.connect_side(source, [(0, 0), (1, 1)], True)
    bus = ohmweave.CyBus(2, carray(230, 0))
    line.connect_side(bus, [(0, 0), (1, 1)], False)
    generator = ohmweave.CyPowerLoad(2, carray(-5e3))
    bus.connect(generator, [(0, 0), (1, 1)])
    network, solver = solve_newton([source, reference, line, bus, generator])
    assert power_taken(generator, 2) == pytest.approx(-5e3, rel=1e-9)
    # The source takes what the line leaves of it, and the voltage rises towards the generator.
    losses = 0.2 * np.sum(np.abs(line.get_side_currents(2, 0)[0]) ** 2)
    assert power_taken(source, 2) == pytest.approx(5e3 - losses, rel=1e-9)
    assert 0 < power_taken(source, 2) < 5e3
    v = bus.get_potentials(2)
    assert abs(v[0] - v[1]) > 230


def test_a_potential_reference_reads_the_current_the_earth_supplies():
    # A 230 V source earthed at its neutral feeds a 2.3 kW load whose far end is earthed elsewhere:
    # the 10 A return from the far node to the source's neutral through earth.
    source = ohmweave.CyVoltageSource(2, carray(230))
    at_source, far = ohmweave.CyPotentialRef(), ohmweave.CyPotentialRef()
    at_source.connect(source, [(0, 1)])
    load = ohmweave.CyAdmittanceLoad(2, carray(2300 / 230**2))
    load.connect(source, [(0, 0)])
    far.connect(load, [(0, 1)])
    network, solver = solve_newton([source, at_source, load, far])
    assert load.get_currents(2) == pytest.approx([10, -10], rel=1e-12)
    assert at_source.get_current() == pytest.approx(10, rel=1e-12)
    assert far.get_current() == pytest.approx(-10, rel=1e-12)


# --- arguments ------------------------------------------------------------------------------------

def test_matrices_are_read_row_by_row():
    # An unsymmetric 2x2 impedance, so that reading it by columns would show.
    z = np.array([[0.3, 0.2], [0.0, 0.4]], dtype=np.complex128)
    source = ohmweave.CyVoltageSource(3, carray(230, 230j))
    reference = ohmweave.CyPotentialRef()
    reference.connect(source, [(0, 2)])
    line = ohmweave.CySimplifiedLine(2, z.reshape(-1))
    line.connect_side(source, [(0, 0), (1, 1)], True)
    load = ohmweave.CyAdmittanceLoad(3, carray(0.1, 0.05))
    load.connect(source, [(2, 2)])
    line.connect_side(load, [(0, 0), (1, 1)], False)
    network, solver = solve_newton([source, reference, line, load])
    v1, v2 = line.get_side_potentials(2, 2)
    i1 = line.get_side_currents(2, 0)[0]
    assert v1 - v2 == pytest.approx(z @ i1, abs=1e-9)
    assert np.abs(v1 - v2 - z.T @ i1).max() > 1


def read_only(array):
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("make, error_type", [
    (lambda: [1, 0, 0, 1], TypeError),
    (lambda: np.eye(2, dtype=np.complex128), ValueError),
    (lambda: np.ones(4), ValueError),
    (lambda: np.ones(8, np.complex128)[::2], ValueError),
    (lambda: read_only(np.ones(4, np.complex128)), ValueError),
])
def test_arrays_of_another_kind_are_refused(make, error_type):
    with pytest.raises(error_type):
        ohmweave.CySimplifiedLine(2, make())


def test_the_quoted_array_messages():
    text = subsection("Arguments").replace("\n", " ")
    for message, call in [
        ("Buffer dtype mismatch, expected 'double complex' but got 'double'",
         lambda: ohmweave.CySimplifiedLine(2, np.ones(4))),
        ("Argument 'z_line' holds 3 values where 4 are needed",
         lambda: ohmweave.CySimplifiedLine(2, np.ones(3, np.complex128))),
    ]:
        assert f'"{message}"' in text
        raises_exactly(ValueError, message, call)
    # A longer array is read from its start.
    assert ohmweave.CyBus(2, carray(1, 2, 3)).get_potentials(2).tolist() == [1, 2]


def table_rows():
    """(type name, argument names, port-count formula or None) of each row of the table."""
    rows = []
    for line in subsection("Arguments").splitlines():
        match = re.match(r"\| `(Cy\w+)\(([^)]*)\)` \| .* \| (.*) \|$", line)
        if match:
            names = [name for name in match.group(2).split(", ") if name]
            count = re.match(r"`([^`]+)`", match.group(3))
            rows.append((match.group(1), names, count.group(1) if count else None))
    return rows


def control():
    return ohmweave.CyControl("q_u", 0.9, 0.95, 1.05, 1.1, 100, 0.01)


def parameter():
    return ohmweave.CyFlexibleParameter(ohmweave.CyControl("constant", 0, 0, 0, 0, 1, 1), control(),
                                        ohmweave.CyProjection("keep_p", 100, 0.01), 5e3, -2e3, 2e3)


def parameters(count):
    return objects(*[parameter() for _ in range(count)])


def identity(n):
    """The n x n identity matrix, row by row."""
    return np.eye(n, dtype=np.complex128).reshape(-1)


def network():
    return ohmweave.CyElectricalNetwork(objects(ohmweave.CyBus(1, carray(1))), 1)


# The values of each constructor's arguments in the table's order, and the sides of the branches.
VALUES = {
    "CyBus": (lambda: [3, carray(1, 2, 3)], None),
    "CyGround": (lambda: [], None),
    "CyPotentialRef": (lambda: [], None),
    "CyDeltaPotentialRef": (lambda: [3], None),
    "CyVoltageSource": (lambda: [4, carray(230, 230, 230)], None),
    "CyDeltaVoltageSource": (lambda: [3, carray(400, 400)], None),
    "CySwitch": (lambda: [3], (3, 3)),
    "CyOpenSwitch": (lambda: [2], (2, 2)),
    "CySimplifiedLine": (lambda: [2, identity(2)], (2, 2)),
    "CyShuntLine": (lambda: [3, np.zeros(9, np.complex128), identity(3)], (3, 3)),
    "CyPowerLoad": (lambda: [4, carray(1, 2, 3)], None),
    "CyDeltaPowerLoad": (lambda: [3, carray(1, 2, 3)], None),
    "CyAdmittanceLoad": (lambda: [2, carray(0.1)], None),
    "CyDeltaAdmittanceLoad": (lambda: [3, carray(1, 2, 3)], None),
    "CyCurrentLoad": (lambda: [4, carray(1, 2, 3)], None),
    "CyDeltaCurrentLoad": (lambda: [2, carray(1, 2)], None),
    "CyLoadBalancer": (lambda: [0.1 + 0.2j, 1e-3 - 2e-3j, 2.0], None),
    "CyControl": (lambda: ["q_u", 0.9, 0.95, 1.05, 1.1, 100, 0.01], None),
    "CyProjection": (lambda: ["euclidean", 100, 0.01], None),
    "CyFlexibleParameter": (lambda: [ohmweave.CyControl("constant", 0, 0, 0, 0, 1, 1), control(),
                                     ohmweave.CyProjection("keep_q", 100, 0.01), 5e3, -2e3, 2e3],
                            None),
    "CyFlexibleLoad": (lambda: [4, carray(1, 2, 3), parameters(3)], None),
    "CyDeltaFlexibleLoad": (lambda: [3, carray(1, 2, 3), parameters(3)], None),
    "CySingleTransformer": (lambda: [0.1j, 0, 0.5 + 0.1j], (2, 2)),
    "CyCenterTransformer": (lambda: [0.1j, 0, 0.5], (2, 3)),
    "CyThreePhaseTransformer": (lambda: [4, 3, "Y", "d", 0.1j, 0, 1.5, 1], (4, 3)),
    "CySingleVoltageRegulator": (lambda: [0.1j, 0, 240, 0.1, 100, 0], (2, 2)),
    "CyElectricalNetwork": (lambda: [objects(ohmweave.CyBus(1, carray(1))), 1], None),
    "CyNewton": (lambda: [network(), True], None),
    "CyNewtonGoldstein": (lambda: [network(), False, 0.1, 0.9, True], None),
    "CyBackwardForward": (lambda: [network()], None),
}


def test_the_table_has_a_row_for_every_constructor():
    assert [name for name, _, _ in table_rows()] == list(VALUES)
    # The rows are the module's types that construct something: none is missing from both.
    types = {name for name in dir(ohmweave) if name.startswith("Cy")}
    assert set(VALUES) == types - set(ABSTRACT_ELEMENT_TYPES) - set(ABSTRACT_SOLVER_TYPES)


@pytest.mark.parametrize("name, names, count", table_rows())
def test_each_constructor_takes_its_arguments_by_name_and_has_its_ports(name, names, count):
    make, sides = VALUES[name]
    values = make()
    built = getattr(ohmweave, name)(**dict(zip(names, values, strict=True)))
    if count is None:
        assert not isinstance(built, ohmweave.CyElement)
        return
    ports = eval(re.sub(r"(\d)([a-z])", r"\1*\2", count), {}, dict(zip(names, values)))
    raises_exactly(ValueError, f"n = {ports + 1} exceeds the {ports} ports of the element",
                   lambda: built.get_potentials(ports + 1))
    # A bus whose port k starts at k + 1 keeps its potentials on every port it joins.
    bus = ohmweave.CyBus(ports, carray(*range(1, ports + 1)))
    bus.connect(built, [(k, k) for k in range(ports)])
    expected = list(range(1, ports + 1))
    if name == "CyPotentialRef":
        expected = [0]
    if name == "CySingleVoltageRegulator":
        expected = [1, 4, 3, 4]  # output b is input b's node, which bus port 3 absorbed last
    assert built.get_potentials(ports).tolist() == expected
    if sides:
        n1, n2 = sides
        first, second = built.get_side_potentials(n1, n2)
        assert [first.tolist(), second.tolist()] == [expected[:n1], expected[n1:n1 + n2]]
        with pytest.raises(ValueError):
            built.get_side_potentials(n1 + 1, 0)
        with pytest.raises(ValueError):
            built.get_side_potentials(0, n2 + 1)


@pytest.mark.parametrize("make, u_lv, lv_ports", [
    # U_LV/U_HV, turned by the angle of k: 20 kV to 230 V, 30° ahead.
    (lambda: ohmweave.CySingleTransformer(0.01 + 0.02j, 1e-6, cmath.rect(230 / 20e3, math.pi / 6)),
     230, 2),
    # (V_LVa - V_LVb)/U_HV: 240 V across the two halves.
    (lambda: ohmweave.CyCenterTransformer(0.01 + 0.02j, 1e-6, 240 / 20e3), 240, 3),
])
def test_the_single_phase_ratios(make, u_lv, lv_ports):
    # The no-load test puts the rated voltages on both windings: with this k no LV current flows.
    transformer = make()
    transformer.compute_open_circuit_parameters(20e3, u_lv, 50e3)
    assert np.abs(transformer.get_side_currents(2, lv_ports)[1]).max() <= 1e-9


# --- joins ----------------------------------------------------------------------------------------

def test_a_grounded_node_stays_grounded():
    bus = ohmweave.CyBus(4, carray(1, 2, 3, 4))
    reference = ohmweave.CyPotentialRef()
    reference.connect(bus, [(0, 3)])
    assert bus.get_potentials(4).tolist() == [1, 2, 3, 0]
    reference.disconnect()
    bus.initialize_potentials(carray(5, 6, 7, 8))
    assert bus.get_potentials(4).tolist() == [5, 6, 7, 0]
    del reference
    # Joined into another node, it grounds that node.
    other = ohmweave.CyBus(1, carray(9))
    other.connect(bus, [(0, 3)])
    assert other.get_potentials(1).tolist() == [0]


def test_port_indices_are_checked():
    text = subsection("Signs, joins and readings").replace("\n  ", " ")
    bus = ohmweave.CyBus(4, np.zeros(4, np.complex128))
    line = ohmweave.CySimplifiedLine(4, identity(4))
    for message, call in [
        ("port index 4 out of range for 4 ports", lambda: bus.connect(line, [(4, 0)])),
        ("side port index 4 out of range for 4 ports",
         lambda: line.connect_side(bus, [(4, 0)], True)),
    ]:
        assert f'"{message}"' in text
        raises_exactly(IndexError, message, call)
    assert '"n = 5 exceeds the 4 ports of the element"' in text


def test_connect_keeps_the_callers_node_and_connect_side_the_others():
    line = ohmweave.CySimplifiedLine(1, carray(1))
    start, end = ohmweave.CyBus(1, carray(230)), ohmweave.CyBus(1, carray(220))
    line.connect_side(start, [(0, 0)], True)
    line.connect_side(end, [(0, 0)], False)
    assert line.get_potentials(2).tolist() == [230, 220]
    late = ohmweave.CyBus(1, carray(100))
    line.connect(late, [(1, 0)])
    assert late.get_potentials(1).tolist() == end.get_potentials(1).tolist() == [220]


# --- the three-phase transformer's codes ---------------------------------------------------------

def code_rows():
    """(windings, clocks, k formula) of each pair of the codes table."""
    rows = []
    for line in subsection("Three-phase transformer codes").splitlines():
        match = re.match(r"\| ([DY][dyz](?:, [DY][dyz])*) \| ([\d, ]+) \| (.+) \|$", line)
        if match:
            clocks = [int(c) for c in match.group(2).split(", ")]
            for pair in match.group(1).split(", "):
                rows.append((pair, clocks, match.group(3)))
    return rows


PORTS = {"D": 3, "Y": 4, "d": 3, "y": 4, "z": 4}


def test_the_codes_table_covers_every_pair():
    assert sorted(pair for pair, _, _ in code_rows()) == ["Dd", "Dy", "Dz", "Yd", "Yy", "Yz"]


@pytest.mark.parametrize("pair, clocks, ratio", code_rows())
def test_each_pair_takes_its_clocks_and_its_ratio(pair, clocks, ratio):
    u_hv, u_lv = 20e3, 400.0
    k = eval(ratio.replace("√3", "SQRT3").replace("·", "*"),
             {"SQRT3": SQRT3, "U_LV": u_lv, "U_HV": u_hv})
    whv, wlv = pair
    for clock in range(-1, 13):
        make = lambda: ohmweave.CyThreePhaseTransformer(PORTS[whv], PORTS[wlv], whv, wlv,
                                                        0.01 + 0.03j, 1e-6, k, clock)
        if clock not in clocks:
            listed = ", ".join(map(str, clocks))
            raises_exactly(RuntimeError, f"Clock {clock} is not realisable by a {pair} "
                                         f"transformer: it takes clocks {listed}", make)
            continue
        # Rated voltages on both sides, the LV ones lagging by clock·30°: with this k no LV
        # winding sees a voltage difference, so no LV current flows.
        transformer = make()
        transformer.compute_open_circuit_parameters(u_hv, u_lv, 250e3)
        lv_currents = transformer.get_side_currents(PORTS[whv], PORTS[wlv])[1]
        assert np.abs(lv_currents).max() <= 1e-9, (pair, clock)


def test_the_quoted_refusals():
    text = subsection("Three-phase transformer codes")
    quoted = re.findall(r'"([^"]*)"', text[text.index("Anything else"):].replace("\n  ", " "))
    calls = {
        "Bad HV winding: YN": (4, 4, "YN", "y", 0),
        "Bad LV winding: yn": (3, 4, "D", "yn", 11),
        "The HV side has 4 ports where winding D needs 3": (4, 4, "D", "y", 11),
        "The LV side has 3 ports where winding y needs 4": (3, 3, "D", "y", 11),
        "Clock 3 is not realisable by a Dy transformer: it takes clocks 1, 5, 7, 11":
            (3, 4, "D", "y", 3),
        "Clock 1 is not realisable by a Yy transformer: it takes clocks 0, 2, 4, 6, 8, 10":
            (4, 4, "Y", "y", 1),
    }
    assert quoted == list(calls)
    for message, (n1, n2, whv, wlv, clock) in calls.items():
        make = lambda: ohmweave.CyThreePhaseTransformer(n1, n2, whv, wlv, 0.01j, 0, 1.0, clock)
        raises_exactly(RuntimeError, message, make)
    # The codes are compared whole and case-sensitively.
    for code in ("Dyn11", "d", "y"):
        raises_exactly(RuntimeError, f"Bad HV winding: {code}",
                       lambda: ohmweave.CyThreePhaseTransformer(3, 4, code, "y", 0.01j, 0, 1.0, 11))
    ohmweave.CyThreePhaseTransformer(4, 4, "Y", "y", 0.01j, 0, 1.0, 0)  # YNyn0
