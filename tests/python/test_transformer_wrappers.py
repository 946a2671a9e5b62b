"""The transformer wrappers: construction and its refusals, the no-load and short-circuit tests by
hand, and transformers in solved networks, with parameter updates reaching a bound solver."""

import cmath
import inspect
import math

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import balanced, carray, network_of, raises_exactly, solve_newton

NO_SWEEPS = "2 No backward-forward method has been defined for transformers yet."


# --- types --------------------------------------------------------------------------------------

def test_transformer_types_and_their_methods():
    base = ohmweave.CyTransformer
    assert base.__mro__ == (base, ohmweave.CyBranch, ohmweave.CyElement, object)
    assert [key for key in vars(base) if not key.startswith("__")] == [
        "update_transformer_parameters", "compute_open_circuit_parameters",
        "compute_short_circuit_parameters"]
    for name in ["CyThreePhaseTransformer", "CySingleTransformer", "CyCenterTransformer"]:
        cls = getattr(ohmweave, name)
        assert cls.__mro__[1:] == base.__mro__
        assert [key for key in vars(cls) if not key.startswith("__")] == []


@pytest.mark.parametrize("method, doc", [
    ("update_transformer_parameters",
     "CyTransformer.update_transformer_parameters(self, double complex z2, double complex ym, "
     "double complex k)"),
    ("compute_open_circuit_parameters",
     "CyTransformer.compute_open_circuit_parameters(self, double uhv, double ulv, double sn)"),
    ("compute_short_circuit_parameters",
     "CyTransformer.compute_short_circuit_parameters(self, double uhv, double ulv, double sn)"),
])
def test_methods_show_their_signatures(method, doc):
    function = getattr(ohmweave.CySingleTransformer, method)
    assert function.__doc__ == doc
    names = [part.split()[-1] for part in doc[doc.index("(") + 1:-1].split(", ")]
    assert list(inspect.signature(function).parameters) == names


# --- construction -------------------------------------------------------------------------------

def test_port_counts_follow_the_windings():
    dy11 = ohmweave.CyThreePhaseTransformer(3, 4, "D", "y", 0.01 + 0.03j, 0, 0.02, 11)
    assert dy11.get_potentials(7).tolist() == [0] * 7
    first, second = dy11.get_side_currents(3, 4)
    assert len(first) == 3 and len(second) == 4
    by_keyword = ohmweave.CyThreePhaseTransformer(n1=4, n2=3, whv=b"Y", wlv="d", z2=1j, ym=0, k=1.5,
                                                  clock=1)
    assert by_keyword.get_potentials(7).shape == (7,)
    single = ohmweave.CySingleTransformer(z2=0.1j, ym=0, k=0.5 + 0.1j)
    assert single.get_side_potentials(2, 2)[1].tolist() == [0, 0]
    center = ohmweave.CyCenterTransformer(0.1j, 0, 2)
    assert center.get_side_currents(2, 3)[1].tolist() == [0, 0, 0]


@pytest.mark.parametrize("args, message", [
    ((3, 4, "d", "y"), "Bad HV winding: d"),
    ((4, 4, "YN", "yn"), "Bad HV winding: YN"),    # the HV code is reported first
    ((4, 4, "Y", "y "), "Bad LV winding: y "),
    ((3, 3, "D", ""), "Bad LV winding: "),
    # Counts that do not match the codes would make the winding matrices read past a side.
    ((3, 4, "Y", "y"), "The HV side has 3 ports where winding Y needs 4"),
    ((3, 5, "D", "z"), "The LV side has 5 ports where winding z needs 4"),
    ((3, -1, "D", "d"), "The LV side has -1 ports where winding d needs 3"),
])
def test_three_phase_refusals(args, message):
    raises_exactly(RuntimeError, message,
                   lambda: ohmweave.CyThreePhaseTransformer(*args, 0.01j, 0, 1.0, 0),
                   "CyThreePhaseTransformer.__cinit__")


ODD = "it takes clocks 1, 5, 7, 11"
EVEN = "it takes clocks 0, 2, 4, 6, 8, 10"


@pytest.mark.parametrize("args, clock, message", [
    # Clocks 3 and 9 would turn a delta-star pair into clock 1 or 11 silently.
    ((3, 4, "D", "y"), 3, "Clock 3 is not realisable by a Dy transformer: " + ODD),
    ((3, 4, "D", "y"), 9, "Clock 9 is not realisable by a Dy transformer: " + ODD),
    ((4, 3, "Y", "d"), 3, "Clock 3 is not realisable by a Yd transformer: " + ODD),
    ((4, 4, "Y", "z"), 9, "Clock 9 is not realisable by a Yz transformer: " + ODD),
    # A clock of the wrong parity: no real ratio matches the windings' voltages.
    ((3, 4, "D", "y"), 0, "Clock 0 is not realisable by a Dy transformer: " + ODD),
    ((4, 4, "Y", "y"), 1, "Clock 1 is not realisable by a Yy transformer: " + EVEN),
    ((3, 3, "D", "d"), 11, "Clock 11 is not realisable by a Dd transformer: " + EVEN),
    ((3, 4, "D", "z"), 12, "Clock 12 is not realisable by a Dz transformer: " + EVEN),
    ((4, 4, "Y", "y"), -1, "Clock -1 is not realisable by a Yy transformer: " + EVEN),
    # The winding codes and the port counts are checked first.
    ((3, 4, "D", "yn"), 3, "Bad LV winding: yn"),
    ((3, 3, "D", "y"), 3, "The LV side has 3 ports where winding y needs 4"),
])
def test_clocks_the_windings_cannot_realise_are_refused(args, clock, message):
    raises_exactly(RuntimeError, message,
                   lambda: ohmweave.CyThreePhaseTransformer(*args, 0.01j, 0, 1.0, clock),
                   "CyThreePhaseTransformer.__cinit__")


def test_a_centre_tapped_ratio_is_real_but_its_update_takes_a_complex_one():
    with pytest.raises(TypeError):
        ohmweave.CyCenterTransformer(0.1j, 0, 2 + 1j)
    center = ohmweave.CyCenterTransformer(0.1j, 0, 2)
    center.update_transformer_parameters(0.1j, 0, 2 + 1j)
    # The stored ratio turns the no-load LV voltages although the law uses only its real part.
    center.compute_open_circuit_parameters(240, 120, 1e3)
    assert cmath.phase(center.get_port_potential(2)) == pytest.approx(math.atan2(1, 2))


# --- test computations --------------------------------------------------------------------------

def test_short_circuit_gives_vsc_and_the_copper_losses():
    uhv, ulv, sn, z2 = 400.0, 230.0, 10e3, 0.06 + 0.12j
    result = ohmweave.CySingleTransformer(z2, 0, ulv / uhv).compute_short_circuit_parameters(uhv, ulv, sn)
    assert type(result) is tuple and all(type(x) is float for x in result)
    losses, vsc = result
    assert vsc == sn * abs(z2) / ulv**2
    # The winding resistance at the rated LV current sn/ulv.
    assert losses == pytest.approx((sn / ulv) ** 2 * z2.real, rel=1e-12)


def test_no_load_test_writes_the_potentials_that_get_potentials_shows():
    uhv, ulv, sn, ym = 20e3, 400.0, 250e3, 1e-7 - 1e-6j
    dyn = ohmweave.CyThreePhaseTransformer(3, 4, "D", "y", 0.01 + 0.04j, ym, ulv / (math.sqrt(3) * uhv), 5)
    p, i0 = dyn.compute_open_circuit_parameters(uhv=uhv, ulv=ulv, sn=sn)
    hv, lv = dyn.get_side_potentials(3, 4)
    assert hv[0] == pytest.approx(uhv / math.sqrt(3))
    assert lv[0] == pytest.approx(cmath.rect(ulv / math.sqrt(3), -5 * math.pi / 6))
    assert lv[3] == 0
    assert np.abs(dyn.get_side_currents(3, 4)[1]).max() < 1e-9
    # Three delta windings at the line voltage.
    assert p == pytest.approx(3 * ym.real * uhv**2)
    assert i0 == pytest.approx(3 * abs(ym) * uhv**2 / sn)


# --- networks -----------------------------------------------------------------------------------

def fed_and_loaded(transformer, hv_ports, lv_ports, admittance):
    """A star source of 230 V phases in positive sequence (its neutral referenced) on the HV ports,
    and a star admittance load on the LV ports (phases, then its neutral, referenced)."""
    phases = len(lv_ports) - 1
    source = ohmweave.CyVoltageSource(4 if phases == 3 else 2, carray(*balanced(230)[:phases]))
    load = ohmweave.CyAdmittanceLoad(phases + 1, carray(*[admittance] * phases))
    hv_ref, lv_ref = ohmweave.CyPotentialRef(), ohmweave.CyPotentialRef()
    source.connect(hv_ref, [(phases, 0)])
    transformer.connect_side(source, [(i, i) for i in range(hv_ports)], True)
    transformer.connect_side(load, [(port, i) for i, port in enumerate(lv_ports)], False)
    load.connect(lv_ref, [(phases, 0)])
    return [source, hv_ref, transformer, lv_ref, load]


def test_an_update_reaches_the_bound_solver_and_the_sweeps_agree():
    z2, y = 0.2 + 0.5j, 0.1 - 0.03j
    transformer = ohmweave.CySingleTransformer(z2, 1e-4 - 1e-3j, 0.5)
    elements = fed_and_loaded(transformer, 2, [0, 1], y)
    network, solver = solve_newton(elements)
    # The LV voltage is k·U1 less the drop in z2: U2 = k·U1 / (1 + z2·Y).
    assert elements[-1].get_port_potential(0) == pytest.approx(0.5 * 230 / (1 + z2 * y), abs=1e-9)
    transformer.update_transformer_parameters(z2, 1e-4 - 1e-3j, 0.25j)
    assert solver.solve_load_flow(20, 1e-10)[1] <= 1e-10
    expected = 0.25j * 230 / (1 + z2 * y)
    assert elements[-1].get_port_potential(0) == pytest.approx(expected, abs=1e-9)
    sweeps = ohmweave.CyBackwardForward(network)
    assert sweeps.solve_load_flow(200, 1e-11)[1] <= 1e-11
    assert elements[-1].get_port_potential(0) == pytest.approx(expected, abs=1e-8)


def test_an_unloaded_dyn11_transformer_leads_by_30_degrees():
    k = 0.01
    transformer = ohmweave.CyThreePhaseTransformer(3, 4, "D", "y", 0.01 + 0.04j, 0, k, 11)
    elements = fed_and_loaded(transformer, 3, [0, 1, 2, 3], 0)
    network, solver = solve_newton(elements)
    hv = elements[0].get_potentials(3)
    lv = elements[-1].get_potentials(3)
    # Each LV phase winding sits on the HV delta winding between its phase and the next one.
    assert lv == pytest.approx(k * (hv - np.roll(hv, -1)), abs=1e-9)
    assert cmath.phase(lv[0]) == pytest.approx(math.pi / 6)


@pytest.mark.parametrize("transformer, hv_ports, lv_ports, ratio, z", [
    # One LV half-winding loaded: half the ratio and half the impedance.
    (lambda: ohmweave.CyCenterTransformer(0.1j, 0, 0.5), 2, [0, 2], 0.25, 0.05j),
    (lambda: ohmweave.CyThreePhaseTransformer(4, 4, "Y", "y", 0.1j, 0, 0.5, 0), 4, [0, 1, 2, 3],
     0.5, 0.1j),
])
def test_the_sweeps_refuse_the_other_transformers_and_newton_solves(transformer, hv_ports, lv_ports,
                                                                     ratio, z):
    y = 0.1
    elements = fed_and_loaded(transformer(), hv_ports, lv_ports, y)
    network = ohmweave.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
    raises_exactly(RuntimeError, NO_SWEEPS,
                   lambda: ohmweave.CyBackwardForward(network).solve_load_flow(5, 1e-9),
                   "CyAbstractSolver.solve_load_flow")
    network, solver = solve_newton(elements)
    assert elements[-1].get_port_potential(0) == pytest.approx(ratio * 230 / (1 + z * y), abs=1e-9)


# --- a delta of single-phase units on a floating LV delta ---------------------------------------

def delta_bank(z2, k, load, order):
    """A star source of 4800 V line voltages, its neutral referenced, feeding three single-phase
    units in delta: unit i has its HV ports on phases (i, i+1) and its LV ports on the phases
    (i, i+1) of a three-wire LV bus that nothing grounds (a delta potential reference fixes the sum
    of its potentials) and that feeds the delta load. The bus starts at k times the HV phase
    potentials. Elements: source, reference, the units in `order`, LV reference, bus, load."""
    hv = balanced(4800 / math.sqrt(3))
    source = ohmweave.CyVoltageSource(4, carray(*hv))
    reference = ohmweave.CyPotentialRef()
    source.connect(reference, [(3, 0)])
    bus = ohmweave.CyBus(3, carray(*[k * v for v in hv]))
    units = [ohmweave.CySingleTransformer(z2, 0, k) for _ in range(3)]
    for i, unit in enumerate(units):
        unit.connect_side(source, [(0, i), (1, (i + 1) % 3)], True)
        bus.connect(unit, [(i, 2), ((i + 1) % 3, 3)])
    lv_reference = ohmweave.CyDeltaPotentialRef(3)
    bus.connect(lv_reference, [(j, j) for j in range(3)])
    bus.connect(load, [(j, j) for j in range(3)])
    elements = [source, reference, *[units[i] for i in order], lv_reference, bus, load]
    return elements, units, bus


def lv_line_voltages(bus):
    v = bus.get_potentials(3)
    return v - np.roll(v, -1)


# The HV line voltages V_i - V_(i+1) of the source above.
HV_LINE = np.array(balanced(4800, math.pi / 6))


@pytest.mark.parametrize("order", [(0, 1, 2), (2, 1, 0)])
def test_newton_solves_a_floating_delta_bank_and_the_sweeps_do_not(order):
    z2, k, y = 0.01 + 0.03j, 0.1, 0.5 - 0.2j
    load = lambda: ohmweave.CyDeltaAdmittanceLoad(3, carray(y, y, y))
    elements, units, bus = delta_bank(z2, k, load(), order)
    solve_newton(elements)
    # Balanced: each winding carries its own pair's current and no current circulates in the
    # delta, so U2 = k·U1 - z2·y·U2 on every winding.
    assert lv_line_voltages(bus) == pytest.approx(k * HV_LINE / (1 + z2 * y), abs=1e-9)
    # The backward steps take each winding's current from the current balance at its LV-a node,
    # which fixes the three only up to a current circulating in the delta; that circulating
    # current passes every backward step unchanged, and no step sets it from the delta's voltage
    # law. Along the loop (0, 1, 2) the sweeps diverge; in the chain order (2, 1, 0) the winding
    # listed first keeps its starting current (0 A), and the sweeps stall: each moves every LV
    # potential by the delta's voltage mismatch, which the delta reference takes off again.
    def sweeps(limit):
        elements, units, bus = delta_bank(z2, k, load(), order)
        return ohmweave.CyBackwardForward(network_of(elements)).solve_load_flow(limit, 1e-9)

    iterations, residual = sweeps(50)
    assert iterations == 50 and residual > 1.0
    # Diverging, the change grows about 1100-fold from 25 to 50 sweeps (3.6e4 to 3.9e7); stalled,
    # it stays at the same 67.8 V.
    if order == (0, 1, 2):
        assert residual > 100 * sweeps(25)[1]
    else:
        assert residual == pytest.approx(sweeps(25)[1])


def test_the_sweeps_solve_a_floating_delta_bank_whose_first_listed_winding_carries_no_current():
    # Winding currents J, -J, 0 (into the LV-a ports) close Kirchhoff's voltage law of the delta
    # exactly when z2 is the same in the three units: the LV line voltages are e_0 + z2·J,
    # e_1 - z2·J and e_2 (e = k·U_HV), and the delta load draws -J on pair 0, J on pair 1 and
    # nothing on pair 2. Listed (2, 1, 0), unit 2 keeps its starting 0 A through the backward steps:
    # here that is the solution's current, so the sweeps solve the bank. A refusal of floating
    # deltas from their layout alone would refuse this network.
    z2, k, j = 0.01 + 0.03j, 0.1, cmath.rect(60, -2 * math.pi / 3)
    e = k * HV_LINE
    expected = np.array([e[0] + z2 * j, e[1] - z2 * j, e[2]])
    powers = carray(expected[0] * np.conj(-j), expected[1] * np.conj(j), 0)
    elements, units, bus = delta_bank(z2, k, ohmweave.CyDeltaPowerLoad(3, powers), (2, 1, 0))
    assert ohmweave.CyBackwardForward(network_of(elements)).solve_load_flow(50, 1e-9)[1] <= 1e-9
    assert lv_line_voltages(bus) == pytest.approx(expected, abs=1e-9)
    currents = [unit.get_side_currents(2, 2)[1][0] for unit in units]
    assert currents == pytest.approx([j, -j, 0], abs=1e-9)
