"""What a solve guarantees through the module: a long solve can be stopped (a pending signal is
handled between the iterations of every solver, its exception ends the solve, and the solver stays
usable); a Jacobian without entries ends in the coded decomposition failure instead of a solve that
never returns; an answer that is no solution raises instead of passing for converged; and the
sweeps go on while a source or a switch moves a node, so that they end on the load currents of
the final voltages; and Newton refuses a part of the network without a potential reference, such as
a transformer's LV side earthed by a ground alone."""

import signal

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import (balanced, carray, network_of, raises_exactly, single_phase_circuit,
                            star_supply)

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
                              "currents at node 2 (port 0 of element 3 (CyBus)) do not balance: "
                              "they sum to 21.7391+0j A; the elements are probably not listed "
                              "upstream first"), message


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


def test_sweeps_refuse_currents_that_no_law_gives_at_the_shown_potentials():
    # A shunt line with nothing but a 230 V bus on its common node: no source drives anything, the
    # sweeps leave every current at 0 and report no change, yet the line's shunt admittance takes
    # 2e-5 S · 230 V = 4.6 mA at the potentials it shows.
    line = ohmweave.CyShuntLine(1, carray(2e-5j), carray(0.2 + 0.1j))
    bus = ohmweave.CyBus(1, carray(230))
    bus.connect(line, [(0, 2)])
    solver = ohmweave.CyBackwardForward(network_of([line, bus]))
    raises_exactly(RuntimeError, (
        "2 The sweeps settled, but the answer is not a solution: the port currents of element 0 "
        "(CyShuntLine) do not follow its law: they are 0.0046 A off its law at the final "
        "potentials, and off it at the potentials of the last backward sweep too; the part of the "
        "network around it holds no voltage source, so nothing drives it. "),
        lambda: solver.solve_load_flow(200, 1e-10), "CyAbstractSolver.solve_load_flow")


def test_sweeps_refuse_a_source_whose_voltage_the_shown_potentials_do_not_hold():
    # Both ports of a 230 V source on the reference node: its forward step cannot move a grounded
    # node, so the sweeps see no change, but the source shows 0 V between its ports.
    source = ohmweave.CyVoltageSource(2, carray(230))
    reference = ohmweave.CyPotentialRef()
    reference.connect(source, [(0, 0), (0, 1)])
    solver = ohmweave.CyBackwardForward(network_of([source, reference]))
    raises_exactly(RuntimeError, (
        "2 The sweeps settled, but the answer is not a solution: the equations of element 0 "
        "(CyVoltageSource) do not hold at the final potentials: they are 230 V off, as when its "
        "ports lie on grounded nodes that its forward step cannot move. "),
        lambda: solver.solve_load_flow(200, 1e-10), "CyAbstractSolver.solve_load_flow")


# --- the rounding that large admittances carry ---------------------------------------------------

U_FEEDER = balanced(2400)


def switched_feeder(z_switch, load_scale):
    """A 2.4 kV four-wire source (neutral referenced) on a bus, a switch written as a line of
    z_switch Ω per conductor to a second bus, a shunt line (common node grounded) to a third bus and
    a star constant-power load of load_scale · 750 kW there, listed upstream first; returns the
    elements and the three buses."""
    supply, head = star_supply(U_FEEDER)
    buses = [head, *(ohmweave.CyBus(4, carray(*U_FEEDER, 0)) for _ in range(2))]
    switch = ohmweave.CySimplifiedLine(4, carray(*(z_switch * np.eye(4)).ravel()))
    z = (0.3 + 0.6j) * np.eye(4) + (0.1 + 0.3j) * (1 - np.eye(4))
    line = ohmweave.CyShuntLine(4, carray(*(3e-6j * np.eye(4)).ravel()), carray(*z.ravel()))
    earth = ohmweave.CyPotentialRef()
    line.connect(earth, [(8, 0)])
    for branch, (upstream, downstream) in ((switch, buses[:2]), (line, buses[1:])):
        branch.connect_side(upstream, [(k, k) for k in range(4)], True)
        branch.connect_side(downstream, [(k, k) for k in range(4)], False)
    load = ohmweave.CyPowerLoad(4, carray(*[load_scale * 250e3] * 3))
    buses[2].connect(load, [(k, k) for k in range(4)])
    elements = [*supply, switch, buses[1], line, earth, buses[2], load]
    return elements, buses


@pytest.mark.parametrize("load_scale", [0, 0.1, 1, 5])
@pytest.mark.parametrize("z_switch", [1e-3, 1e-4, 1e-5, 1e-6, 1e-7, 1e-8])
def test_sweeps_accept_the_rounding_of_a_switch_written_as_a_line(z_switch, load_scale):
    # At 2.4 kV the switch's 1/z_switch S turns the last bit of each potential (4.5e-13 V) into up
    # to 4.5e-5 A at 1e-8 Ω, far beyond 1e-9 of the largest current: the law check must allow the
    # rounding the law itself carries, and the answer is Newton's to rounding.
    elements, buses = switched_feeder(z_switch, load_scale)
    iterations, change = ohmweave.CyBackwardForward(network_of(elements)).solve_load_flow(
        100, 1e-9)
    assert change <= 1e-9
    swept = np.concatenate([bus.get_potentials(4) for bus in buses])
    elements, buses = switched_feeder(z_switch, load_scale)
    ohmweave.CyNewton(network_of(elements), False).solve_load_flow(12, -1.0)  # to rounding
    newton = np.concatenate([bus.get_potentials(4) for bus in buses])
    assert np.max(np.abs(swept - newton)) <= 1e-9


@pytest.mark.parametrize("load_scale", [0, 1])
@pytest.mark.parametrize("z_switch", [1e-3, 1e-6, 1e-8])
def test_newton_reaches_and_passes_a_tolerance_above_the_rounding_of_its_largest_admittance(
        z_switch, load_scale):
    # Newton's residuals carry the same rounding, ε·|V|·|Y| through the switch (5e-5 A at 1e-8 Ω):
    # ten times it is a tolerance it reaches, and its plain-number check accepts what it reaches
    # (the plain laws are the recorded ones, operation for operation).
    tolerance = max(1e-8, 10 * np.finfo(float).eps * 2400 / z_switch)
    elements, _ = switched_feeder(z_switch, load_scale)
    iterations, residual = ohmweave.CyNewton(network_of(elements), False).solve_load_flow(
        20, tolerance)
    assert residual <= tolerance and iterations < 20


def test_sweeps_accept_an_unloaded_shunt_line():
    # Only its charging currents flow, 230 V · 4.3e-6 S ≈ 1 mA, fed through a line of 121 S whose
    # rounding (some 1e-12 A at 230 V) exceeds 1e-9 of them.
    head = ohmweave.CyBus(2, carray(230, 0))
    source = ohmweave.CyVoltageSource(2, carray(230))
    reference = ohmweave.CyPotentialRef()
    head.connect(source, [(0, 0), (1, 1)])
    head.connect(reference, [(1, 0)])
    feed = ohmweave.CySimplifiedLine(1, carray(0.002 + 0.008j))
    middle, tail = ohmweave.CyBus(2, carray(230, 0)), ohmweave.CyBus(2, carray(230, 0))
    feed.connect_side(head, [(0, 0)], True)
    feed.connect_side(middle, [(0, 0)], False)
    middle.connect(head, [(1, 1)])
    line = ohmweave.CyShuntLine(2, carray(4.3e-6j, 0, 0, 4.3e-6j),
                                carray(0.2 + 0.4j, 0.05 + 0.1j, 0.05 + 0.1j, 0.2 + 0.4j))
    earth = ohmweave.CyPotentialRef()
    line.connect_side(middle, [(0, 0), (1, 1)], True)
    line.connect_side(tail, [(0, 0), (1, 1)], False)
    line.connect(earth, [(4, 0)])
    elements = [head, source, reference, feed, middle, line, earth, tail]
    iterations, change = ohmweave.CyBackwardForward(network_of(elements)).solve_load_flow(
        100, 1e-10)
    assert change <= 1e-10
    # Half the shunt admittance at each end: the source delivers j·4.3e-6 S · 230 V in all.
    assert abs(source.get_port_current(0) + 4.3e-6j * 230) <= 1e-9


# --- loops through earth --------------------------------------------------------------------------

def earthed_feeder(kind):
    """A 230 V source on a head bus (phase, neutral), a two-wire line to a tail bus and a 3 kW load
    there, listed upstream first, with the earth a CyPotentialRef and the neutral tied to it by
    admittance loads: 3 Ω at the head ("one grounding"), also 10 Ω at the tail ("two groundings"),
    10 Ω at the tail alone ("tail grounding only"), or 3 Ω at the head with a shunt line whose
    common node is the earth ("grounding and shunt line"). Returns the elements, the groundings
    and the line."""
    head, tail = ohmweave.CyBus(2, carray(230, 0)), ohmweave.CyBus(2, carray(230, 0))
    source = ohmweave.CyVoltageSource(2, carray(230))
    earth = ohmweave.CyPotentialRef()
    head.connect(source, [(0, 0), (1, 1)])
    z = carray(0.2 + 0.1j, 0.05j, 0.05j, 0.2 + 0.1j)
    if kind == "grounding and shunt line":
        line = ohmweave.CyShuntLine(2, carray(4e-6j, 0, 0, 4e-6j), z)
        line.connect(earth, [(4, 0)])
    else:
        line = ohmweave.CySimplifiedLine(2, z)
    line.connect_side(head, [(0, 0), (1, 1)], True)
    line.connect_side(tail, [(0, 0), (1, 1)], False)
    load = ohmweave.CyPowerLoad(2, carray(3000))
    tail.connect(load, [(0, 0), (1, 1)])
    elements, groundings = [head, source, earth, line, tail, load], []
    tied = {"two groundings": ((head, 3), (tail, 10)), "tail grounding only": ((tail, 10),)}
    for bus, ohms in tied.get(kind, ((head, 3),)):
        grounding = ohmweave.CyAdmittanceLoad(2, carray(1 / ohms))
        bus.connect(grounding, [(1, 0)])
        grounding.connect(earth, [(1, 0)])
        elements.append(grounding)
        groundings.append(grounding)
    return elements, groundings, line


SWEEPS_REFUSAL = "2 The sweeps settled, but the answer is not a solution: "
# The source's neutral, node 1, is where the part's current returns: no backward step balances it
# and the sweeps never move it.
UNBALANCED_SOURCE_NEUTRAL = "the currents at node 1 (port 1 of element 0 (CyBus)) do not balance"
LOOP = ("the part's groundings close a loop through earth (a neutral grounded at a second point, "
        "or grounded beside a shunt line's capacitance to earth), which the sweeps cannot solve, "
        "as they hold this node where it started; Newton can solve it. ")


@pytest.mark.parametrize("kind, ties, cause", [
    ("two groundings", "element 7 (CyAdmittanceLoad) at node 4 (port 1 of element 4 (CyBus))",
     LOOP),
    ("grounding and shunt line", "element 3 (CyShuntLine) at node 0 (port 0 of element 0 (CyBus))",
     LOOP),
    ("tail grounding only", "element 6 (CyAdmittanceLoad) at node 4 (port 1 of element 4 (CyBus))",
     "the part's only tie to earth is away from this node, which the sweeps hold where it "
     "started, so they cannot find the potentials at which no current flows through it: tie the "
     "part to earth at this node, or solve it by Newton. "),
])
def test_sweeps_name_a_part_that_earth_ties_away_from_its_return(kind, ties, cause):
    elements, groundings, line = earthed_feeder(kind)
    solver = ohmweave.CyBackwardForward(network_of(elements))
    with pytest.raises(RuntimeError) as error:
        solver.solve_load_flow(100, 1e-9)
    message = str(error.value)
    assert message.startswith(SWEEPS_REFUSAL + UNBALANCED_SOURCE_NEUTRAL), message
    assert " A through " + ties in message and message.endswith(cause), message

    # Newton solves the part. Earth carries what leaves the part back into it: the groundings'
    # and the shunt admittances' currents into earth sum to 0, and a single grounding carries none.
    elements, groundings, line = earthed_feeder(kind)
    assert ohmweave.CyNewton(network_of(elements), False).solve_load_flow(20, 1e-9)[1] <= 1e-9
    into_earth = [-g.get_port_current(1) for g in groundings]
    if kind == "grounding and shunt line":
        into_earth.append(-line.get_port_current(4))
    assert abs(sum(into_earth)) <= 1e-9
    if len(into_earth) == 1:
        assert abs(into_earth[0]) <= 1e-9
    else:
        assert min(abs(i) for i in into_earth) > 1e-4  # the loop carries current


def test_sweeps_solve_a_neutral_grounded_at_the_source_and_again_through_an_impedance():
    # The source's neutral on the earth itself: every node has an element that balances it, and
    # the tail's 10 Ω grounding carries its share of the neutral current back to the source.
    elements, _, _ = earthed_feeder("one grounding")
    head, source, earth, line, tail, load, head_grounding = elements
    head_grounding.disconnect()
    head.connect(earth, [(1, 0)])
    grounding = ohmweave.CyAdmittanceLoad(2, carray(0.1))
    tail.connect(grounding, [(1, 0)])
    grounding.connect(earth, [(1, 0)])
    elements = [head, source, earth, line, tail, load, grounding]
    assert ohmweave.CyBackwardForward(network_of(elements)).solve_load_flow(100, 1e-9)[1] <= 1e-9
    swept = tail.get_potentials(2)
    assert ohmweave.CyNewton(network_of(elements), False).solve_load_flow(20, 1e-9)[1] <= 1e-9
    assert np.max(np.abs(tail.get_potentials(2) - swept)) <= 1e-9
    assert abs(grounding.get_port_current(0)) > 1e-3


# --- potential references -----------------------------------------------------------------------

U_HV, U_LV = 20e3, 400.0
Z2, Y_LOAD = 0.01 + 0.04j, 0.5 - 0.1j


def lv_station(wlv, lv_reference):
    """A 20 kV source (its neutral referenced) and a 20/0.4 kV transformer, Dyn11 for wlv "y" or
    YNd11 for "d", whose LV bus starts at its no-load voltages and carries an admittance Y_LOAD per
    LV winding (star for "y", delta for "d"). The LV neutral of "y" is joined to a CyGround; the
    delta winding floats. lv_reference adds a CyPotentialRef on the neutral, or a
    CyDeltaPotentialRef on the delta's phases. Elements: source 0, reference 1, transformer 2,
    LV bus 3, load 4, then the LV earthing."""
    a = np.exp(-2j * np.pi / 3)
    source = ohmweave.CyVoltageSource(4, carray(*(U_HV / np.sqrt(3) * a ** np.arange(3))))
    reference = ohmweave.CyPotentialRef()
    reference.connect(source, [(0, 3)])
    star = wlv == "y"
    # The LV winding voltage is k times the HV winding voltage: a line voltage for D, a phase
    # voltage for YN.
    k = U_LV / (np.sqrt(3) * U_HV) if star else np.sqrt(3) * U_LV / U_HV
    n1, n2 = (3, 4) if star else (4, 3)
    transformer = ohmweave.CyThreePhaseTransformer(n1, n2, "D" if star else "Y", wlv, Z2, 0, k, 11)
    lv_phases = U_LV / np.sqrt(3) * np.exp(-11j * np.pi / 6) * a ** np.arange(3)
    lv = ohmweave.CyBus(n2, carray(*lv_phases, *([0] if star else [])))
    transformer.connect_side(source, [(i, i) for i in range(n1)], True)
    transformer.connect_side(lv, [(i, i) for i in range(n2)], False)
    load = (ohmweave.CyAdmittanceLoad(4, carray(*[Y_LOAD] * 3)) if star
            else ohmweave.CyDeltaAdmittanceLoad(3, carray(*[Y_LOAD] * 3)))
    lv.connect(load, [(i, i) for i in range(n2)])
    elements = [source, reference, transformer, lv, load]
    if star:
        elements.append(ohmweave.CyGround())
        lv.connect(elements[-1], [(3, 0)])
    if lv_reference:
        elements.append(ohmweave.CyPotentialRef() if star else ohmweave.CyDeltaPotentialRef(3))
        lv.connect(elements[-1], [(3, 0)] if star else [(i, i) for i in range(3)])
    return elements, lv, k


@pytest.mark.parametrize("wlv", ["y", "d"])
@pytest.mark.parametrize("method", ["Newton", "Newton-Goldstein"])
def test_an_lv_side_without_a_potential_reference_is_refused(method, wlv):
    # Before, the LV side's potentials carried an arbitrary common offset: a "solution" with the LV
    # neutral hundreds of volts from earth, or a singular Jacobian. The source's ports are nodes
    # 0-3; the LV bus holds node 4 first.
    elements, lv, _ = lv_station(wlv, lv_reference=False)
    solver = SOLVERS[method](network_of(elements))
    with pytest.raises(RuntimeError) as error:
        solver.solve_load_flow(20, 1e-9)
    assert str(error.value) == (
        "1 The part of the network at node 4 (port 0 of element 3 (CyBus)) has no potential "
        "reference: join one of its nodes to a CyPotentialRef (a CyGround alone fixes nothing). ")


@pytest.mark.parametrize("wlv", ["y", "d"])
def test_a_potential_reference_on_the_lv_side_fixes_it(wlv):
    elements, lv, k = lv_station(wlv, lv_reference=True)
    solver = SOLVERS["Newton"](network_of(elements))
    assert solver.solve_load_flow(20, 1e-9)[1] <= 1e-9
    v = lv.get_potentials(4 if wlv == "y" else 3)
    # Each LV winding delivers k times its HV winding's voltage, less the drop in z2 under the
    # admittance on it: |U2| = k·|U1| / |1 + z2·Y|.
    hv_winding = U_HV if wlv == "y" else U_HV / np.sqrt(3)
    windings = v[:3] - v[3] if wlv == "y" else v - np.roll(v, -1)
    assert np.abs(windings) == pytest.approx(k * hv_winding / abs(1 + Z2 * Y_LOAD), rel=1e-9)
    # The reference holds: the LV neutral at 0 V, or the delta's potentials summing to 0.
    assert abs(v[3] if wlv == "y" else v.sum()) <= 1e-9
