"""What a solve guarantees through the module: a long solve can be stopped (a pending signal is
handled between the iterations of every solver, its exception ends the solve, and the solver stays
usable); a Jacobian without entries ends in the coded decomposition failure instead of a solve that
never returns; an answer that is no solution raises instead of passing for converged; and the
sweeps go on while a source or a switch moves a node, so that they end on the load currents of
the final voltages."""

import signal

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import carray, network_of, single_phase_circuit

SOLVERS = {
    "Newton": lambda network: ohmweave.CyNewton(network, True),
    "Newton-Goldstein": lambda network: ohmweave.CyNewtonGoldstein(network, False, 0.1, 0.9, True),
    "backward-forward": lambda network: ohmweave.CyBackwardForward(network),
}


def single_phase_feeder():
    """A 230 V source, a 0.1 + 0.05j Ω line and a 5 kW load, listed upstream first."""
    f = single_phase_circuit(5000, 0.1 + 0.05j)
    return f.elements, f.load


@pytest.mark.parametrize("method", SOLVERS)
def test_a_signal_interrupts_a_solve_and_the_solver_stays_usable(method):
    elements, load = single_phase_feeder()
    solver = SOLVERS[method](network_of(elements))
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        # A negative tolerance never converges: without the signal this runs for hours.
        signal.setitimer(signal.ITIMER_REAL, 0.2, 0.2)
        with pytest.raises(KeyboardInterrupt):
            solver.solve_load_flow(2**31 - 1, -1.0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    iterations, residual = solver.solve_load_flow(100, 1e-9)
    assert residual <= 1e-9
    v, i = load.get_port_potential(0), load.get_port_current(0)
    assert abs(v * np.conj(i) - 5000) <= 1e-5  # the load takes its 5 kW


def test_a_bus_alone_fails_to_decompose():
    bus = ohmweave.CyBus(11, carray(*[230] * 11))
    solver = ohmweave.CyNewton(network_of([bus]), False)
    with pytest.raises(RuntimeError) as error:
        solver.solve_load_flow(5, -1.0)
    assert str(error.value) == "1 Decomposition failed, singular matrix at iteration 0. "


def test_sweeps_over_a_line_listed_after_its_load_raise():
    # The line's backward step runs before the load has written its 21.7 A: the first forward
    # sweep changes nothing, yet the tail node is unbalanced by the whole load current.
    elements, load = single_phase_feeder()
    head, source, reference, line, tail, load = elements
    solver = ohmweave.CyBackwardForward(network_of([head, source, reference, tail, load, line]))
    with pytest.raises(RuntimeError) as error:
        solver.solve_load_flow(100, 1e-9)
    message = str(error.value)
    assert message.startswith("2 The sweeps settled, but the answer is not a solution: the "
                              "currents at node 2 (port 0 of element 3) do not balance: they sum "
                              "to 21.7391+0j A; the elements are probably not listed upstream "
                              "first"), message


def load_on_source(start, behind_switch):
    """A 230 V source on a head bus (phase, neutral on a reference) and a 0.1 S admittance load from
    a loaded node, starting at `start` volts, to that neutral: the head's phase node, or a tail node
    behind a closed switch (the head then starts at 230 V, so only the switch moves the load)."""
    head = ohmweave.CyBus(2, carray(230 if behind_switch else start, 0))
    source = ohmweave.CyVoltageSource(2, carray(230))
    reference = ohmweave.CyPotentialRef()
    head.connect(source, [(0, 0), (1, 1)])
    head.connect(reference, [(1, 0)])
    elements, loaded = [head, source, reference], head
    if behind_switch:
        switch, loaded = ohmweave.CySwitch(1), ohmweave.CyBus(1, carray(start))
        switch.connect_side(head, [(0, 0)], True)
        switch.connect_side(loaded, [(0, 0)], False)
        elements += [switch, loaded]
    load = ohmweave.CyAdmittanceLoad(2, carray(0.1))
    loaded.connect(load, [(0, 0)])
    head.connect(load, [(1, 1)])
    return elements + [load], source, load


@pytest.mark.parametrize("behind_switch", [False, True], ids=["on the source", "behind a switch"])
@pytest.mark.parametrize("start, voltage", [(200, 230), (230, 240)],
                         ids=["a first solve from 200 V", "a new source voltage"])
def test_sweeps_end_with_the_load_current_of_the_final_voltage(start, voltage, behind_switch):
    # The sweeps must go on after the source or the switch moved the load's node: the load then
    # carries 0.1 S times the source's voltage, not its current at the earlier potential.
    elements, source, load = load_on_source(start, behind_switch)
    solver = ohmweave.CyBackwardForward(network_of(elements))
    if voltage != 230:
        assert solver.solve_load_flow(10, 1e-9) == (1, 0.0)  # already at its 230 V
        source.update_voltages(carray(voltage))
    assert solver.solve_load_flow(10, 1e-9) == (2, 0.0)
    assert load.get_port_potential(0) == voltage
    assert abs(load.get_port_current(0) - 0.1 * voltage) < 1e-12
