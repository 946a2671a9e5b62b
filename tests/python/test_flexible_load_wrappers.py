"""The flexible-load wrappers: controls, projections and flexible parameters built and evaluated
from Python, the star and delta flexible loads with their refusals, the parameters they keep alive,
and their powers on a source through the three solvers, checked against laws derived by hand."""

import cmath
import copy
import gc
import pickle
import sys

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import carray, objects, raises_exactly, star_supply

# The q_u law of the hand-derived shapes: q_min -30 below 210 V, a line to Q at 220 V, Q up to
# 240 V, a line to q_max 40 at 250 V, q_max above; sharp enough to be exact to rounding 5 V off
# every knee.
VOLTAGES = (210.0, 220.0, 240.0, 250.0)


def control(kind, alpha=1e4):
    return ohmweave.CyControl(kind, *VOLTAGES, alpha, 1e-6)


def projection(kind="euclidean", alpha=1e4):
    return ohmweave.CyProjection(kind, alpha, 1e-6)


def q_u_parameter(s_max=100.0, q_min=-30.0, q_max=40.0):
    return ohmweave.CyFlexibleParameter(control("constant"), control("q_u"), projection(),
                                        s_max, q_min, q_max)


def constant_parameter():
    return ohmweave.CyFlexibleParameter(control("constant"), control("constant"), projection(),
                                        0.0, 0.0, 0.0)


# --- types --------------------------------------------------------------------------------------

@pytest.mark.parametrize("name, base, own_methods", [
    ("CyControl", object, []),
    ("CyProjection", object, []),
    ("CyFlexibleParameter", object, ["compute_power", "update_parameters"]),
    ("CyFlexibleLoad", ohmweave.CyLoad, ["update_powers", "update_power", "get_powers"]),
    ("CyDeltaFlexibleLoad", ohmweave.CyLoad, ["update_powers", "get_powers"]),
])
def test_types_bases_and_methods(name, base, own_methods):
    cls = getattr(ohmweave, name)
    assert cls.__bases__ == (base,)
    assert [key for key in vars(cls) if not key.startswith("__")] == own_methods


@pytest.mark.parametrize("make", [
    lambda: control("q_u"),
    lambda: projection(),
    q_u_parameter,
    lambda: ohmweave.CyFlexibleLoad(2, carray(1j), objects(q_u_parameter())),
    lambda: ohmweave.CyDeltaFlexibleLoad(2, carray(1j, 2j), objects(*2 * [q_u_parameter()])),
])
def test_objects_cannot_be_pickled_or_copied(make):
    for refuse in (pickle.dumps, copy.copy):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            refuse(make())


# --- controls and projections -------------------------------------------------------------------

def test_controls_and_projections_accept_their_names_as_str_or_bytes():
    ohmweave.CyControl("q_u", 0.9, 0.95, 1.05, 1.1, 100, 0.01)
    ohmweave.CyControl(b"p_max_u_production", 0.9, 0.95, 1.05, 1.1, 100, 0.01)
    ohmweave.CyProjection(bytearray(b"keep_q"), 100, 0.01)


@pytest.mark.parametrize("call, message, entry", [
    (lambda: ohmweave.CyControl("Q_U", 0.9, 0.95, 1.05, 1.1, 100, 0.01),
     "Q_U is a bad control type name", "CyControl.__cinit__"),
    (lambda: ohmweave.CyControl("Constant", 0, 0, 0, 0, 0, 0),
     "Constant is a bad control type name", "CyControl.__cinit__"),
    (lambda: ohmweave.CyProjection("Euclidean", 100, 0.01),
     "Euclidean is a bad projection type name", "CyProjection.__cinit__"),
])
def test_names_outside_the_tables_are_runtime_errors(call, message, entry):
    raises_exactly(RuntimeError, message, call, entry)


# --- flexible parameters ------------------------------------------------------------------------

@pytest.mark.parametrize("call, error_type, message", [
    # The numbers are converted before the types of the laws are tested.
    (lambda: ohmweave.CyFlexibleParameter(None, None, None, "1", 0, 0), TypeError,
     "must be real number, not str"),
    (lambda: ohmweave.CyFlexibleParameter(projection(), control("q_u"), projection(), 1, 0, 0),
     TypeError, "Argument 'control_p' has incorrect type (expected meshvolt.ohmweave.CyControl, "
                "got meshvolt.ohmweave.CyProjection)"),
    (lambda: ohmweave.CyFlexibleParameter(control("q_u"), None, projection(), 1, 0, 0),
     TypeError, "Argument 'control_q' has incorrect type (expected meshvolt.ohmweave.CyControl, "
                "got NoneType)"),
    (lambda: ohmweave.CyFlexibleParameter(control("q_u"), control("q_u"), control("q_u"), 1, 0, 0),
     TypeError, "Argument 'projection' has incorrect type (expected meshvolt.ohmweave.CyProjection, "
                "got meshvolt.ohmweave.CyControl)"),
])
def test_parameter_construction_refusals(call, error_type, message):
    raises_exactly(error_type, message, call, "CyFlexibleParameter.__cinit__")


@pytest.mark.parametrize("x, expected", [
    (200.0, 20 - 30j), (215.0, 20 - 10j), (230.0, 20 + 10j), (245.0, 20 + 25j), (260.0, 20 + 40j),
])
def test_q_u_law_at_five_voltages(x, expected):
    assert q_u_parameter().compute_power(x, 20 + 10j) == pytest.approx(expected, rel=1e-9)


def test_projection_far_outside_the_circle_lands_on_it():
    # |s| = 500·s_max at alpha 1e4: the scale factor 1 + ln(1 + e^(α(r-1)))/α must not overflow.
    for kind, s, expected in (("euclidean", 3000 + 4000j, 6 + 8j), ("keep_q", -3000 + 8j, -6 + 8j),
                              ("keep_p", 6 - 4000j, 6 - 8j)):
        parameter = ohmweave.CyFlexibleParameter(control("constant"), control("q_u"),
                                                 projection(kind), 10.0, -5.0, 5.0)
        assert parameter.compute_power(230.0, s) == pytest.approx(expected, rel=1e-9), kind


def test_constant_laws_return_the_requested_power_and_the_copies_outlive_their_sources():
    p, q, proj = control("constant"), control("constant"), projection()
    parameter = ohmweave.CyFlexibleParameter(p, q, proj, 0.0, 0.0, 0.0)
    del p, q, proj
    gc.collect()
    assert parameter.compute_power(231.0, 1e6 - 3e5j) == 1e6 - 3e5j


@pytest.mark.parametrize("p_kind, q_kind, message", [
    ("q_u", "q_u", "Bad control type for P"),
    ("q_u", "p_max_u_production", "Bad control type for P"),
    ("constant", "p_max_u_consumption", "Bad control type for Q"),
])
def test_laws_of_the_wrong_kind_are_refused_when_computed(p_kind, q_kind, message):
    parameter = ohmweave.CyFlexibleParameter(control(p_kind), control(q_kind), projection(), 1, 0, 0)
    raises_exactly(RuntimeError, message, lambda: parameter.compute_power(230.0, 1j),
                   "CyFlexibleParameter.compute_power")


def test_update_parameters_changes_the_limits():
    parameter = q_u_parameter()
    assert parameter.update_parameters(100.0, -30.0, 60.0) is None
    assert parameter.compute_power(260.0, 20 + 10j) == pytest.approx(20 + 60j, rel=1e-9)


# --- flexible loads -----------------------------------------------------------------------------

@pytest.mark.parametrize("name, make, error_type, message", [
    ("CyFlexibleLoad", lambda: ohmweave.CyFlexibleLoad(4, carray(1, 2, 3), objects(*2 * [q_u_parameter()])),
     ValueError, "Argument 'parameters' holds 2 values where 3 are needed"),
    ("CyFlexibleLoad", lambda: ohmweave.CyFlexibleLoad(2, carray(1), None), TypeError,
     "Argument 'parameters' is None where 1 values are needed"),
    ("CyFlexibleLoad", lambda: ohmweave.CyFlexibleLoad(3, carray(1, 2), objects(q_u_parameter(), None)),
     TypeError, "Item 1 of 'parameters' has incorrect type (expected "
                "meshvolt.ohmweave.CyFlexibleParameter, got NoneType)"),
    ("CyDeltaFlexibleLoad",
     lambda: ohmweave.CyDeltaFlexibleLoad(2, carray(1, 2), objects(control("q_u"), q_u_parameter())),
     TypeError, "Item 0 of 'parameters' has incorrect type (expected "
                "meshvolt.ohmweave.CyFlexibleParameter, got meshvolt.ohmweave.CyControl)"),
    ("CyFlexibleLoad", lambda: ohmweave.CyFlexibleLoad(2, carray(1), carray(1)), ValueError,
     "Buffer dtype mismatch, expected 'CyFlexibleParameter' but got 'complex double'"),
    ("CyFlexibleLoad", lambda: ohmweave.CyFlexibleLoad(0, None, None), RuntimeError, "vector::reserve"),
    ("CyDeltaFlexibleLoad", lambda: ohmweave.CyDeltaFlexibleLoad(-1, None, None), RuntimeError,
     "vector::reserve"),
])
def test_load_construction_refusals(name, make, error_type, message):
    raises_exactly(error_type, message, make, f"{name}.__cinit__")


def test_updates_and_readings_need_one_value_per_phase():
    load = ohmweave.CyFlexibleLoad(4, carray(1, 2, 3), objects(*3 * [q_u_parameter()]))
    raises_exactly(ValueError, "update_power() sets the power of a load with one set-point; this "
                   "load has 3, use update_powers()", lambda: load.update_power(1j),
                   "CyFlexibleLoad.update_power")
    raises_exactly(ValueError, "Argument 'powers' holds 2 values where 3 are needed",
                   lambda: load.update_powers(carray(1, 2)), "CyFlexibleLoad.update_powers")
    raises_exactly(ValueError, "n = 2 is less than the 3 phases of the load",
                   lambda: load.get_powers(2), "CyFlexibleLoad.get_powers")
    delta = ohmweave.CyDeltaFlexibleLoad(3, carray(1, 2, 3), objects(*3 * [q_u_parameter()]))
    raises_exactly(ValueError, "n = 2 is less than the 3 phases of the load",
                   lambda: delta.get_powers(2), "CyDeltaFlexibleLoad.get_powers")


def test_a_load_keeps_its_parameters_alive_while_it_is_in_use():
    parameter = q_u_parameter()
    before = sys.getrefcount(parameter)
    load = ohmweave.CyFlexibleLoad(4, carray(20 + 10j, 20 + 10j, 20 + 10j), objects(*3 * [parameter]))
    assert sys.getrefcount(parameter) == before + 3
    # Dropped by the caller, the parameter still serves the load, its network and its solver.
    del parameter
    elements, bus, _ = supply_of_magnitudes([215.0, 230.0, 245.0])
    bus.connect(load, [(k, k) for k in range(4)])
    solver = ohmweave.CyNewton(ohmweave.CyElectricalNetwork(objects(*elements, load), 4), False)
    gc.collect()
    solve(solver)
    assert np.allclose(load.get_powers(3), [20 - 10j, 20 + 10j, 20 + 25j], rtol=1e-9)


def test_deleting_the_load_releases_its_parameters():
    parameter = q_u_parameter()
    before = sys.getrefcount(parameter)
    load = ohmweave.CyDeltaFlexibleLoad(3, carray(1, 2, 3), objects(*3 * [parameter]))
    del load
    gc.collect()
    assert sys.getrefcount(parameter) == before


# --- on a source --------------------------------------------------------------------------------

def supply_of_magnitudes(magnitudes):
    """A star source of the given phase magnitudes (120° apart) with its neutral on a reference,
    and a bus on its ports: loads joined to the bus see exactly these voltages once solved."""
    voltages = [m * cmath.exp(-2j * cmath.pi * k / 3) for k, m in enumerate(magnitudes)]
    elements, bus = star_supply(voltages)
    return elements, bus, voltages


SOLVERS = {
    "Newton": lambda network: ohmweave.CyNewton(network, True),
    "Newton-Goldstein": lambda network: ohmweave.CyNewtonGoldstein(network, False, 0.1, 0.9, True),
    "backward-forward": lambda network: ohmweave.CyBackwardForward(network),
}


def solve(solver):
    iterations, residual = solver.solve_load_flow(100, 1e-10)
    assert residual <= 1e-10


@pytest.mark.parametrize("method", SOLVERS)
def test_star_load_follows_its_law_and_takes_new_limits_at_the_next_solve(method):
    elements, bus, voltages = supply_of_magnitudes([215.0, 230.0, 245.0])
    # One parameter object serves the three phases.
    parameter = q_u_parameter()
    load = ohmweave.CyFlexibleLoad(4, carray(20 + 10j, 20 + 10j, 20 + 10j), objects(*3 * [parameter]))
    bus.connect(load, [(k, k) for k in range(4)])
    network = ohmweave.CyElectricalNetwork(objects(*elements, load), 4)
    solver = SOLVERS[method](network)
    solve(solver)
    expected = [20 - 10j, 20 + 10j, 20 + 25j]
    assert np.allclose(load.get_powers(3), expected, rtol=1e-9)
    inner = load.get_inner_currents(3)
    assert np.allclose(np.multiply(voltages, np.conj(inner)), expected, rtol=1e-9)
    assert load.get_currents(4)[3] == pytest.approx(-inner.sum(), rel=1e-12)

    # New limits and powers reach the same solver's next solve.
    parameter.update_parameters(100.0, -50.0, 60.0)
    load.update_powers(carray(30 + 10j, 30 + 10j, 30 + 10j))
    solve(solver)
    assert np.allclose(load.get_powers(3), [30 - 20j, 30 + 10j, 30 + 35j], rtol=1e-9)


def test_single_phase_load_update_power_and_inner_current():
    elements, bus, voltages = supply_of_magnitudes([245.0])
    load = ohmweave.CyFlexibleLoad(2, carray(20 + 10j), objects(q_u_parameter()))
    bus.connect(load, [(0, 0), (1, 1)])
    network = ohmweave.CyElectricalNetwork(objects(*elements, load), 4)
    solver = ohmweave.CyNewton(network, False)
    solve(solver)
    assert load.get_powers(1)[0] == pytest.approx(20 + 25j, rel=1e-9)
    load.update_power(40 + 0j)
    solve(solver)
    assert load.get_powers(1)[0] == pytest.approx(40 + 20j, rel=1e-9)
    assert load.get_inner_currents(1)[0] == pytest.approx(np.conj((40 + 20j) / voltages[0]), rel=1e-9)


def test_constant_flexible_loads_solve_exactly_as_power_loads():
    powers = carray(3000 + 1000j, 2000 - 500j, 4000 + 0j)
    results = []
    for make in (lambda: ohmweave.CyDeltaPowerLoad(3, powers),
                 lambda: ohmweave.CyDeltaFlexibleLoad(3, powers, objects(*3 * [constant_parameter()]))):
        elements, bus, voltages = supply_of_magnitudes([230.0, 228.0, 232.0])
        line = ohmweave.CySimplifiedLine(3, carray(*np.diag([0.3 + 0.1j] * 3).ravel()))
        end = ohmweave.CyBus(3, carray(*voltages))
        line.connect_side(bus, [(k, k) for k in range(3)], True)
        line.connect_side(end, [(k, k) for k in range(3)], False)
        load = make()
        end.connect(load, [(k, k) for k in range(3)])
        network = ohmweave.CyElectricalNetwork(objects(*elements, line, end, load), 6)
        solve(ohmweave.CyNewton(network, False))
        results.append((end.get_potentials(3), load.get_inner_currents(3)))
    assert results[0][0].tolist() == results[1][0].tolist()
    assert results[0][1].tolist() == results[1][1].tolist()
