"""What a solve guarantees through the module: a long solve can be stopped (a pending signal is
handled between the iterations of every solver, its exception ends the solve, and the solver stays
usable); a Jacobian without entries ends in the coded decomposition failure instead of a solve that
never returns; and an answer that is no solution raises instead of passing for converged."""

import signal

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import carray

SOLVERS = {
    "Newton": lambda network: ohmweave.CyNewton(network, True),
    "Newton-Goldstein": lambda network: ohmweave.CyNewtonGoldstein(network, False, 0.1, 0.9, True),
    "backward-forward": lambda network: ohmweave.CyBackwardForward(network),
}


def network_of(elements):
    return ohmweave.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))


def single_phase_feeder():
    """A 230 V source, a 0.1 + 0.05j Ω line and a 5 kW load, listed upstream first."""
    head = ohmweave.CyBus(2, carray(230, 0))
    source = ohmweave.CyVoltageSource(2, carray(230))
    reference = ohmweave.CyPotentialRef()
    line = ohmweave.CySimplifiedLine(1, carray(0.1 + 0.05j))
    tail = ohmweave.CyBus(1, carray(230))
    load = ohmweave.CyPowerLoad(2, carray(5000))
    head.connect(source, [(0, 0), (1, 1)])
    head.connect(reference, [(1, 0)])
    line.connect_side(head, [(0, 0)], True)
    line.connect_side(tail, [(0, 0)], False)
    tail.connect(load, [(0, 0)])
    head.connect(load, [(1, 1)])
    elements = [head, source, reference, line, tail, load]
    return elements, load


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
