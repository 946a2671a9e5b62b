"""Which solver's answer the elements show. A solve takes the values over: whichever solver solves,
old or new, the elements show its answer afterwards, its success has passed the plain-number
check, and set-point updates made through the elements reach it, wherever they were written
before. The checks here are Kirchhoff's current law at the load node and the load's own law."""

import gc

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import carray, network_of, single_phase_circuit

POWER = 5000 + 2000j
Z = 0.5 + 0.3j


def expect_solved_feeder(f, power, tolerance):
    """The line's side-2 current and the load's current balance at the tail node, and the load
    takes its power at the voltage it shows."""
    v = f.tail.get_port_potential(0)
    line_out = f.line.get_port_current(1)
    load_in = f.load.get_port_current(0)
    mismatch = line_out + load_in
    assert max(abs(mismatch.real), abs(mismatch.imag)) <= tolerance + 1e-9 * abs(load_in)
    assert abs(v * np.conj(load_in) - power) <= 1e-6 * abs(power)


def test_a_solver_that_lost_the_values_takes_them_back_when_it_solves():
    f = single_phase_circuit(POWER, Z)
    network = network_of(f.elements)
    a = ohmweave.CyNewton(network, False)
    b = ohmweave.CyNewton(network, False)
    c = ohmweave.CyNewton(network, False)
    del c
    gc.collect()
    a.solve_load_flow(0, 1e-8)  # stops at its limit, unsolved
    iterations, residual = b.solve_load_flow(30, 1e-8)
    assert residual <= 1e-8
    expect_solved_feeder(f, POWER, 1e-8)
    # A set-point written now reaches b's next solve.
    new_power = 3000 - 1000j
    f.load.update_powers(carray(new_power))
    assert b.solve_load_flow(30, 1e-8)[1] <= 1e-8
    expect_solved_feeder(f, new_power, 1e-8)
    # And a's too, though it was written while b held the values.
    assert a.solve_load_flow(30, 1e-8)[1] <= 1e-8
    expect_solved_feeder(f, new_power, 1e-8)


def switched_feeder():
    """The single-phase circuit's source and line, then a closed switch from the tail to an end
    bus that carries the load: [head, source, reference, line, tail, switch, end, load]."""
    head = ohmweave.CyBus(2, carray(230, 0))
    source = ohmweave.CyVoltageSource(2, carray(230))
    reference = ohmweave.CyPotentialRef()
    line = ohmweave.CySimplifiedLine(1, carray(Z))
    tail = ohmweave.CyBus(1, carray(230))
    switch = ohmweave.CySwitch(1)
    end = ohmweave.CyBus(1, carray(230))
    load = ohmweave.CyPowerLoad(2, carray(POWER))
    head.connect(source, [(0, 0), (1, 1)])
    head.connect(reference, [(1, 0)])
    line.connect_side(head, [(0, 0)], True)
    line.connect_side(tail, [(0, 0)], False)
    switch.connect_side(tail, [(0, 0)], True)
    switch.connect_side(end, [(0, 0)], False)
    end.connect(load, [(0, 0)])
    head.connect(load, [(1, 1)])
    return [head, source, reference, line, tail, switch, end, load]


def test_an_older_newton_solve_after_the_sweeps_shows_its_own_switch_currents():
    elements = switched_feeder()
    _, _, _, line, _, switch, end, load = elements
    network = network_of(elements)
    newton = ohmweave.CyNewton(network, False)
    sweeps = ohmweave.CyBackwardForward(network)
    assert sweeps.solve_load_flow(100, 1e-10)[1] <= 1e-10
    assert newton.solve_load_flow(30, 1e-8)[1] <= 1e-8
    # Kirchhoff at the tail (line out, switch in) and at the end bus (switch out, load in).
    for a, b in [(line.get_port_current(1), switch.get_port_current(0)),
                 (switch.get_port_current(1), load.get_port_current(0))]:
        assert abs(a + b) <= 2e-8
    v = end.get_port_potential(0)
    assert abs(v * np.conj(load.get_port_current(0)) - POWER) <= 1e-6 * abs(POWER)


def flexible_feeder(parameter):
    """The single-phase circuit with a flexible load of the parameter in place of the power load:
    [head, source, reference, line, tail, load]."""
    f = single_phase_circuit(POWER, Z)
    load = ohmweave.CyFlexibleLoad(2, carray(POWER), np.array([parameter], dtype=object))
    f.tail.connect(load, [(0, 0)])
    f.head.connect(load, [(1, 1)])
    elements = [f.head, f.source, f.reference, f.line, f.tail, load]
    return elements, network_of(elements)


def test_a_flexible_parameter_shared_by_two_networks_reaches_each_solve_with_its_limits():
    control = lambda kind: ohmweave.CyControl(kind, 210.0, 220.0, 240.0, 250.0, 1e4, 1e-6)
    shared = ohmweave.CyFlexibleParameter(control("constant"), control("q_u"),
                                          ohmweave.CyProjection("euclidean", 1e4, 1e-6),
                                          10000.0, -3000.0, 3000.0)
    first, network1 = flexible_feeder(shared)
    second, network2 = flexible_feeder(shared)
    s1 = ohmweave.CyNewton(network1, False)
    s2 = ohmweave.CyNewton(network2, False)  # binds the shared limits
    shared.update_parameters(4000.0, -1000.0, 1000.0)  # below the 5.4 kVA asked for
    for solver, elements in [(s1, first), (s2, second), (s1, first)]:
        assert solver.solve_load_flow(50, 1e-9)[1] <= 1e-9
        _, _, _, line, tail, load = elements
        v, i = tail.get_port_potential(0), load.get_port_current(0)
        assert abs(line.get_port_current(1) + i) <= 2e-9
        power = shared.compute_power(abs(v), POWER)
        assert abs(power) == pytest.approx(4000.0, rel=1e-3)  # projected onto the new limit
        assert abs(v * np.conj(i) - power) <= 1e-6 * abs(power)
