"""The element wrappers: buses, grounds, potential references, voltage sources and switches built,
joined, separated and read from Python, with the checks of sizes, indices and buffer lengths."""

import cmath

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import balanced, carray, iarray, raises_exactly, solve_newton


# --- buses --------------------------------------------------------------------------------------

def test_a_bus_returns_its_initial_potentials_and_zero_currents():
    bus = ohmweave.CyBus(3, carray(230, -115 - 199.2j, -115 + 199.2j))
    assert bus.get_potentials(3).tolist() == [230, -115 - 199.2j, -115 + 199.2j]
    assert bus.get_potentials(2).tolist() == [230, -115 - 199.2j]
    assert bus.get_currents(3).tolist() == [0, 0, 0]
    assert [bus.get_port_potential(i) for i in range(3)] == bus.get_potentials(3).tolist()
    assert bus.get_port_current(2) == 0


def test_a_bus_reads_only_the_first_n_potentials():
    assert ohmweave.CyBus(2, carray(1, 2, 3)).get_potentials(2).tolist() == [1, 2]


@pytest.mark.parametrize("call, error_type, message", [
    (lambda b: b.get_potentials(4), ValueError, "n = 4 exceeds the 3 ports of the element"),
    (lambda b: b.get_currents(5), ValueError, "n = 5 exceeds the 3 ports of the element"),
    (lambda b: b.get_port_potential(3), IndexError, "port index 3 out of range for 3 ports"),
    (lambda b: b.get_port_current(-1), IndexError, "port index -1 out of range for 3 ports"),
    (lambda b: b.initialize_potentials(carray(1, 2)), ValueError,
     "Argument 'potentials' holds 2 values where 3 are needed"),
    (lambda b: b.initialize_potentials(None), TypeError,
     "Argument 'potentials' is None where 3 values are needed"),
])
def test_bus_sizes_indices_and_buffers_are_checked(call, error_type, message):
    bus = ohmweave.CyBus(3, carray(1, 2, 3))
    raises_exactly(error_type, message, lambda: call(bus))
    assert bus.get_potentials(3).tolist() == [1, 2, 3]


@pytest.mark.parametrize("n, potentials, error_type, message", [
    (3, carray(1, 2), ValueError, "Argument 'potentials' holds 2 values where 3 are needed"),
    (2, None, TypeError, "Argument 'potentials' is None where 2 values are needed"),
    (1, np.zeros(0, complex), ValueError, "Argument 'potentials' holds 0 values where 1 are needed"),
])
def test_bus_construction_checks_its_buffer(n, potentials, error_type, message):
    raises_exactly(error_type, message, lambda: ohmweave.CyBus(n, potentials))


def test_a_bus_without_ports_needs_no_potentials():
    assert ohmweave.CyBus(0, None).get_potentials(0).shape == (0,)


def test_initialize_potentials_writes_the_shared_nodes():
    bus = ohmweave.CyBus(2, carray(1, 2))
    other = ohmweave.CyBus(2, carray(3, 4))
    bus.connect(other, [(1, 0)])
    bus.initialize_potentials(carray(10, 20, 30))
    assert bus.get_potentials(2).tolist() == [10, 20]
    assert other.get_potentials(2).tolist() == [20, 4]


# --- joining ------------------------------------------------------------------------------------

def test_connect_keeps_the_node_of_the_element_it_is_called_on():
    a = ohmweave.CyBus(2, carray(1, 2))
    b = ohmweave.CyBus(2, carray(3, 4))
    a.connect(b, [(0, 0), (1, 1)])
    assert a.get_potentials(2).tolist() == [1, 2]
    assert b.get_port_potential(0) == a.get_port_potential(0) == 1
    assert b.get_potentials(2).tolist() == [1, 2]
    c = ohmweave.CyBus(2, carray(5, 6))
    c.connect(a, [(1, 0)])
    # a's port 0 and b's port 0 share one node, which c's port 1 absorbed.
    assert a.get_potentials(2).tolist() == b.get_potentials(2).tolist() == [6, 2]


@pytest.mark.parametrize("connections, message", [
    ([(0, 0), (2, 0)], "port index 2 out of range for 2 ports"),
    ([(0, 0), (0, 3)], "port index 3 out of range for 3 ports"),
    ([(-1, 0)], "port index -1 out of range for 2 ports"),
])
def test_connect_checks_every_pair_before_joining(connections, message):
    a = ohmweave.CyBus(2, carray(1, 2))
    b = ohmweave.CyBus(3, carray(3, 4, 5))
    raises_exactly(IndexError, message, lambda: a.connect(b, connections))
    assert b.get_potentials(3).tolist() == [3, 4, 5]


def test_connect_ports_joins_into_the_first_port():
    bus = ohmweave.CyBus(4, carray(1, 2, 3, 4))
    bus.connect_ports(iarray(2, 0, 1))
    assert bus.get_potentials(4).tolist() == [3, 3, 3, 4]
    bus.connect_ports(iarray(3))
    bus.connect_ports(iarray())
    assert bus.get_potentials(4).tolist() == [3, 3, 3, 4]


@pytest.mark.parametrize("ports, error_type, message", [
    (iarray(0, 4), IndexError, "port index 4 out of range for 4 ports"),
    (iarray(1, -2), IndexError, "port index -2 out of range for 4 ports"),
    (None, TypeError, "Argument 'ports' is None where a buffer is needed"),
])
def test_connect_ports_refusals_change_nothing(ports, error_type, message):
    bus = ohmweave.CyBus(4, carray(1, 2, 3, 4))
    raises_exactly(error_type, message, lambda: bus.connect_ports(ports))
    assert bus.get_potentials(4).tolist() == [1, 2, 3, 4]


def test_disconnect_takes_the_ports_out_of_their_nodes():
    a = ohmweave.CyBus(1, carray(1))
    b = ohmweave.CyBus(1, carray(2))
    b.connect(a, [(0, 0)])
    a.disconnect()
    a.disconnect()
    # a's port still reads its node, but a later merge of that node no longer moves it.
    assert a.get_potentials(1).tolist() == [2]
    c = ohmweave.CyBus(1, carray(9))
    c.connect(b, [(0, 0)])
    assert b.get_potentials(1).tolist() == [9]
    assert a.get_potentials(1).tolist() == [2]


def test_a_node_absorbed_through_a_deleted_element_keeps_nothing_of_it():
    # P's node is absorbed by Z's through E, then E is deleted and Q merges P's old node again.
    p, z, q = (ohmweave.CyBus(1, carray(v)) for v in (1, 2, 3))
    e = ohmweave.CyBus(1, carray(4))
    p.connect(e, [(0, 0)])
    p.disconnect()
    z.connect(e, [(0, 0)])
    del e
    q.connect(p, [(0, 0)])
    # Nothing moved: each bus still reads the potential of its own node.
    assert [b.get_potentials(1).tolist() for b in (p, z, q)] == [[1], [2], [3]]


# --- grounds and potential references -----------------------------------------------------------

def test_a_ground_has_one_port_at_zero():
    ground = ohmweave.CyGround(5)
    assert ground.get_potentials(1).tolist() == [0]
    raises_exactly(ValueError, "n = 2 exceeds the 1 ports of the element",
                   lambda: ground.get_potentials(2))


def test_a_potential_reference_fixes_its_node_at_zero():
    reference = ohmweave.CyPotentialRef()
    assert reference.get_current() == 0 and type(reference.get_current()) is complex
    bus = ohmweave.CyBus(2, carray(5, 6))
    reference.connect(bus, [(0, 1)])
    assert bus.get_potentials(2).tolist() == [5, 0]
    bus.initialize_potentials(carray(7, 8))
    assert bus.get_potentials(2).tolist() == [7, 0]
    assert reference.get_current() == 0


def test_a_delta_potential_reference():
    reference = ohmweave.CyDeltaPotentialRef(3)
    assert reference.get_potentials(3).tolist() == [0, 0, 0]
    assert reference.get_current() == 0
    raises_exactly(ValueError, "a delta potential reference needs at least one port",
                   lambda: ohmweave.CyDeltaPotentialRef(0))


# --- voltage sources ----------------------------------------------------------------------------

@pytest.mark.parametrize("source_type", ["CyVoltageSource", "CyDeltaVoltageSource"])
def test_sources_take_n_minus_one_voltages(source_type):
    make = getattr(ohmweave, source_type)
    source = make(4, carray(1, 2, 3))
    assert source.get_potentials(4).tolist() == [0, 0, 0, 0]
    source.update_voltages(carray(4, 5, 6, 7))
    assert make(1, None).get_potentials(1).tolist() == [0]
    raises_exactly(ValueError, "Argument 'voltages' holds 2 values where 3 are needed",
                   lambda: make(4, carray(1, 2)))
    raises_exactly(TypeError, "Argument 'voltages' is None where 3 values are needed",
                   lambda: make(4, None))
    raises_exactly(ValueError, "Argument 'voltages' holds 1 values where 3 are needed",
                   lambda: source.update_voltages(carray(1)))
    raises_exactly(TypeError, "Argument 'voltages' is None where 3 values are needed",
                   lambda: source.update_voltages(None))


@pytest.mark.parametrize("n, voltages", [(4, [1, 2, 3]), (3, [1, 2]), (1, [])])
def test_update_voltage_needs_a_source_with_one_voltage(n, voltages):
    source = ohmweave.CyVoltageSource(n, carray(*voltages))
    raises_exactly(ValueError, "update_voltage() sets the voltage of a source with one voltage; "
                               f"this source has {n - 1}, use update_voltages()",
                   lambda: source.update_voltage(1j))


def test_update_voltage_on_a_single_phase_source():
    ohmweave.CyVoltageSource(2, carray(230)).update_voltage(240)
    assert not hasattr(ohmweave.CyDeltaVoltageSource, "update_voltage")


# --- switches -----------------------------------------------------------------------------------

@pytest.mark.parametrize("switch_type", ["CySwitch", "CyOpenSwitch"])
def test_switch_sides(switch_type):
    switch = getattr(ohmweave, switch_type)(3)
    assert switch.get_potentials(6).shape == (6,)
    first, second = switch.get_side_potentials(3, 2)
    assert first.shape == (3,) and second.shape == (2,)
    assert [side.tolist() for side in switch.get_side_currents(1, 3)] == [[0], [0, 0, 0]]
    raises_exactly(ValueError, "n1 = 4 exceeds the 3 ports of side 1",
                   lambda: switch.get_side_potentials(4, 0))
    raises_exactly(ValueError, "n2 = 4 exceeds the 3 ports of side 2",
                   lambda: switch.get_side_currents(0, 4))


def test_connect_side_keeps_the_other_elements_node():
    switch = ohmweave.CySwitch(2)
    bus = ohmweave.CyBus(2, carray(5, 6))
    switch.connect_side(bus, [(0, 0), (1, 1)], True)
    assert [s.tolist() for s in switch.get_side_potentials(2, 2)] == [[5, 6], [0, 0]]
    end = ohmweave.CyBus(1, carray(7))
    switch.connect_side(element=end, connections=[(1, 0)], beginning=False)
    assert [s.tolist() for s in switch.get_side_potentials(2, 2)] == [[5, 6], [0, 7]]
    # connect keeps the switch's node instead.
    other = ohmweave.CySwitch(1)
    late = ohmweave.CyBus(1, carray(8))
    other.connect(late, [(0, 0)])
    assert late.get_potentials(1).tolist() == [0]


@pytest.mark.parametrize("connections, message", [
    ([(0, 0), (2, 0)], "side port index 2 out of range for 2 ports"),
    ([(0, 0), (1, 1)], "port index 1 out of range for 1 ports"),
])
def test_connect_side_checks_every_pair_before_joining(connections, message):
    switch = ohmweave.CySwitch(2)
    bus = ohmweave.CyBus(1, carray(5))
    raises_exactly(IndexError, message, lambda: switch.connect_side(bus, connections, True))
    assert switch.get_side_potentials(2, 0)[0].tolist() == [0, 0]


# --- through a solver ---------------------------------------------------------------------------

def test_a_bus_on_a_star_source_takes_its_voltages():
    voltages = balanced(230.0)
    source = ohmweave.CyVoltageSource(4, carray(*voltages))
    reference = ohmweave.CyPotentialRef()
    bus = ohmweave.CyBus(4, np.zeros(4, complex))
    reference.connect(source, [(0, 3)])
    bus.connect(source, [(i, i) for i in range(4)])
    network, solver = solve_newton([source, reference, bus])
    assert np.allclose(bus.get_potentials(4), voltages + [0], atol=1e-9)
    assert np.allclose(source.get_currents(4), 0, atol=1e-9)
    assert reference.get_current() == pytest.approx(0, abs=1e-9)
    # New voltages reach the next solve of the same solver.
    source.update_voltages(carray(*balanced(240.0)))
    solver.solve_load_flow(20, 1e-10)
    assert np.allclose(bus.get_potentials(3), balanced(240.0), atol=1e-9)


def test_update_voltage_reaches_the_next_solve():
    source = ohmweave.CyVoltageSource(2, carray(230))
    reference = ohmweave.CyPotentialRef()
    reference.connect(source, [(0, 1)])
    network, solver = solve_newton([source, reference])
    source.update_voltage(110 + 10j)
    solver.solve_load_flow(20, 1e-10)
    assert source.get_port_potential(0) == pytest.approx(110 + 10j)


def test_a_delta_source_with_a_delta_reference():
    u1, u2 = 400.0, cmath.rect(400.0, -2 * cmath.pi / 3)
    source = ohmweave.CyDeltaVoltageSource(3, carray(u1, u2))
    reference = ohmweave.CyDeltaPotentialRef(3)
    reference.connect(source, [(i, i) for i in range(3)])
    network, solver = solve_newton([source, reference])
    v = source.get_potentials(3)
    # V_a - V_b = U_1, V_b - V_c = U_2 and V_a + V_b + V_c = 0.
    vb = (u2 - u1) / 3
    assert np.allclose(v, [vb + u1, vb, vb - u2], atol=1e-9)


def test_initialize_potentials_writes_through_to_the_solver():
    source = ohmweave.CyVoltageSource(2, carray(230))
    reference = ohmweave.CyPotentialRef()
    bus = ohmweave.CyBus(2, carray(0, 0))
    reference.connect(source, [(0, 1)])
    bus.connect(source, [(0, 0), (1, 1)])
    network, solver = solve_newton([source, reference, bus])
    bus.initialize_potentials(carray(100, 0))
    assert bus.get_port_potential(0) == 100
    solver.solve_load_flow(20, 1e-10)
    assert bus.get_port_potential(0) == pytest.approx(230)


@pytest.mark.parametrize("bases, call, owner", [
    ((ohmweave.CyBus, ohmweave.CyBranch), lambda x: x.get_side_potentials(1, 1), "CyBranch"),
    ((ohmweave.CyPowerLoad, ohmweave.CyBus),
     lambda x: ohmweave.CyBus.initialize_potentials(x, carray(0, 0)), "CyBus"),
    ((ohmweave.CyBus, ohmweave.CyLoad), lambda x: x.get_inner_currents(1), "CyLoad"),
])
def test_a_class_mixing_two_families_cannot_misread_its_engine_object(bases, call, owner):
    mixed = type("Mixed", bases, {})
    instance = mixed(2, carray(1, 1))  # built by the first base's constructor
    with pytest.raises(TypeError, match=f"^the methods of {owner} do not apply to the engine object"):
        call(instance)
