"""The load wrappers: constant power, admittance and current loads in star and delta connection and
the load balancer, built, checked and updated from Python; their currents against S = U·conj(I),
I = Y·U and |I| = |I_set| at potentials set by hand or fixed by a source."""

import cmath
import copy
import inspect
import types

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import (balanced, carray, module_entries, raises_exactly, solve_newton,
                            star_supply)

STAR_TYPES = ["CyPowerLoad", "CyAdmittanceLoad", "CyCurrentLoad"]
DELTA_TYPES = ["CyDeltaPowerLoad", "CyDeltaAdmittanceLoad", "CyDeltaCurrentLoad"]
# Each family's set-point names: the buffer parameter (also the list update's name) and the single.
FAMILY = {
    "CyPowerLoad": ("powers", "power"), "CyDeltaPowerLoad": ("powers", None),
    "CyAdmittanceLoad": ("admittances", "admittance"), "CyDeltaAdmittanceLoad": ("admittances", None),
    "CyCurrentLoad": ("currents", "current"), "CyDeltaCurrentLoad": ("currents", None),
}


def power_law(s, u):
    return np.conj(s / u)


def admittance_law(y, u):
    return y * u


def current_law(i_set, u):
    return i_set * u / abs(u)


LAW = {"CyPowerLoad": power_law, "CyDeltaPowerLoad": power_law,
       "CyAdmittanceLoad": admittance_law, "CyDeltaAdmittanceLoad": admittance_law,
       "CyCurrentLoad": current_law, "CyDeltaCurrentLoad": current_law}
# Set-points of a size that suits a 230 V phase: 1 to 3 kVA, 0.01 to 0.03 S, 4 to 12 A.
SETPOINTS = {"powers": [1000 + 300j, 2000 - 100j, 3000 + 800j],
             "admittances": [0.01 - 0.002j, 0.02 + 0.001j, 0.03 - 0.004j],
             "currents": [4 - 1j, 8 + 2j, 12 - 3j]}


def setpoints(name, count):
    return carray(*SETPOINTS[FAMILY[name][0]][:count])


# --- types --------------------------------------------------------------------------------------

@pytest.mark.parametrize("name, own_methods", [
    ("CyPowerLoad", ["update_powers", "update_power"]),
    ("CyDeltaPowerLoad", ["update_powers"]),
    ("CyAdmittanceLoad", ["update_admittances", "update_admittance"]),
    ("CyDeltaAdmittanceLoad", ["update_admittances"]),
    ("CyCurrentLoad", ["update_currents", "update_current"]),
    ("CyDeltaCurrentLoad", ["update_currents"]),
    ("CyLoadBalancer", []),
])
def test_loads_derive_from_cy_load(name, own_methods):
    load_type = getattr(ohmweave, name)
    assert load_type.__mro__ == (load_type, ohmweave.CyLoad, ohmweave.CyElement, object)
    assert [key for key in vars(load_type) if not key.startswith("__")] == own_methods
    assert load_type.get_inner_currents is ohmweave.CyLoad.get_inner_currents


def test_cy_load_is_abstract_and_reads_inner_currents():
    assert ohmweave.CyLoad.__mro__ == (ohmweave.CyLoad, ohmweave.CyElement, object)
    assert [key for key in vars(ohmweave.CyLoad) if not key.startswith("__")] == ["get_inner_currents"]
    assert ohmweave.CyLoad.get_inner_currents.__doc__ == "CyLoad.get_inner_currents(self, int size)"
    raises_exactly(TypeError, "get_inner_currents() called on an instance of the abstract type "
                              "meshvolt.ohmweave.CyLoad, which holds no engine object",
                   lambda: ohmweave.CyLoad(1, 2).get_inner_currents(1), "CyLoad.get_inner_currents")


@pytest.mark.parametrize("method, doc", [
    (ohmweave.CyPowerLoad.update_powers, "CyPowerLoad.update_powers(self, double complex[::1] powers)"),
    (ohmweave.CyPowerLoad.update_power, "CyPowerLoad.update_power(self, double complex power)"),
    (ohmweave.CyDeltaPowerLoad.update_powers,
     "CyDeltaPowerLoad.update_powers(self, double complex[::1] powers)"),
    (ohmweave.CyAdmittanceLoad.update_admittances,
     "CyAdmittanceLoad.update_admittances(self, double complex[::1] admittances)"),
    (ohmweave.CyAdmittanceLoad.update_admittance,
     "CyAdmittanceLoad.update_admittance(self, double complex admittance)"),
    (ohmweave.CyDeltaAdmittanceLoad.update_admittances,
     "CyDeltaAdmittanceLoad.update_admittances(self, double complex[::1] admittances)"),
    (ohmweave.CyCurrentLoad.update_currents,
     "CyCurrentLoad.update_currents(self, double complex[::1] currents)"),
    (ohmweave.CyCurrentLoad.update_current, "CyCurrentLoad.update_current(self, double complex current)"),
    (ohmweave.CyDeltaCurrentLoad.update_currents,
     "CyDeltaCurrentLoad.update_currents(self, double complex[::1] currents)"),
])
def test_methods_show_their_signatures(method, doc):
    assert method.__doc__ == doc
    name = doc[doc.index("(") + 1:].split()[-1].rstrip(")")
    assert list(inspect.signature(method).parameters)[1:] == [name]


@pytest.mark.parametrize("make, message", [
    (lambda: ohmweave.CyPowerLoad(2, carray(1)), "no default __reduce__ due to non-trivial __cinit__"),
    (lambda: ohmweave.CyDeltaCurrentLoad(2, carray(1, 2)),
     "no default __reduce__ due to non-trivial __cinit__"),
    (lambda: ohmweave.CyLoadBalancer(0.1, 0.01, 1.0), "no default __reduce__ due to non-trivial __cinit__"),
    (lambda: ohmweave.CyLoad(), "self.element cannot be converted to a Python object for pickling"),
])
def test_loads_cannot_be_copied(make, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        copy.copy(make())


# --- construction -------------------------------------------------------------------------------

@pytest.mark.parametrize("name", STAR_TYPES + DELTA_TYPES)
def test_construction_reads_one_value_per_setpoint(name):
    make = getattr(ohmweave, name)
    buffer, _ = FAMILY[name]
    needed = 3 if name in DELTA_TYPES else 2
    load = make(3, setpoints(name, 3))
    assert load.get_potentials(3).tolist() == [0, 0, 0]
    assert load.get_currents(3).tolist() == [0, 0, 0]
    make(n=3, **{buffer: setpoints(name, needed)})
    entry = f"{name}.__cinit__"
    raises_exactly(ValueError, f"Argument '{buffer}' holds {needed - 1} values where {needed} are needed",
                   lambda: make(3, setpoints(name, needed - 1)), entry)
    raises_exactly(TypeError, f"Argument '{buffer}' is None where {needed} values are needed",
                   lambda: make(3, None), entry)
    raises_exactly(TypeError, "__cinit__() takes exactly 2 positional arguments (1 given)",
                   lambda: make(3), entry)
    raises_exactly(ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)",
                   lambda: make(2, np.zeros((2, 2), complex)), entry)
    raises_exactly(RuntimeError, "vector::reserve", lambda: make(-1, None), entry)
    raises_exactly(RuntimeError, "vector::reserve", lambda: make(-2**31, None), entry)


@pytest.mark.parametrize("name", STAR_TYPES)
def test_star_port_counts(name):
    make = getattr(ohmweave, name)
    # No port is not a star load; the neutral alone is, without set-points.
    raises_exactly(RuntimeError, "vector::reserve", lambda: make(0, None), f"{name}.__cinit__")
    alone = make(1, None)
    assert alone.get_potentials(1).tolist() == [0]
    assert alone.get_inner_currents(0).shape == (0,)
    getattr(alone, f"update_{FAMILY[name][0]}")(None)


@pytest.mark.parametrize("name", DELTA_TYPES)
def test_a_delta_load_may_have_no_port(name):
    load = getattr(ohmweave, name)(0, None)
    assert load.get_potentials(0).shape == (0,)
    assert load.get_inner_currents(0).shape == (0,)
    raises_exactly(ValueError, "n = 1 exceeds the 0 ports of the element",
                   lambda: load.get_currents(1), "CyElement.get_currents")


@pytest.mark.parametrize("call, error_type, message", [
    (lambda: ohmweave.CyLoadBalancer(0.1, 0.01), TypeError,
     "__cinit__() takes exactly 3 positional arguments (2 given)"),
    (lambda: ohmweave.CyLoadBalancer(0.1, 0.01, 1.0, 2), TypeError,
     "__cinit__() takes exactly 3 positional arguments (4 given)"),
    (lambda: ohmweave.CyLoadBalancer(0.1, ym=0.01, z2=0.1), TypeError,
     "__cinit__() got multiple values for keyword argument 'z2'"),
    (lambda: ohmweave.CyLoadBalancer(0.1, 0.01, kk=1.0), TypeError,
     "__cinit__() got an unexpected keyword argument 'kk'"),
])
def test_load_balancer_construction_refusals(call, error_type, message):
    raises_exactly(error_type, message, call, "CyLoadBalancer.__cinit__")


def test_load_balancer_has_four_ports():
    balancer = ohmweave.CyLoadBalancer(z2=0.1 + 0.2j, ym=1e-3 - 2e-3j, k=2)
    assert balancer.get_potentials(4).tolist() == [0, 0, 0, 0]
    assert balancer.get_inner_currents(3).tolist() == [0, 0, 0]
    raises_exactly(IndexError, "port index 4 out of range for 4 ports",
                   lambda: balancer.get_port_current(4), "CyElement.get_port_current")


# --- updates ------------------------------------------------------------------------------------

@pytest.mark.parametrize("name", STAR_TYPES + DELTA_TYPES)
def test_list_update_refusals(name):
    buffer, _ = FAMILY[name]
    load = getattr(ohmweave, name)(4, setpoints(name, 3) if name in STAR_TYPES
                                   else carray(*SETPOINTS[buffer], 1))
    update = getattr(load, f"update_{buffer}")
    count = 3 if name in STAR_TYPES else 4
    entry = f"{name}.update_{buffer}"
    update(carray(*range(count)))
    update(**{buffer: carray(*range(count + 2))})
    raises_exactly(ValueError, f"Argument '{buffer}' holds {count - 1} values where {count} are needed",
                   lambda: update(carray(*range(count - 1))), entry)
    raises_exactly(TypeError, f"Argument '{buffer}' is None where {count} values are needed",
                   lambda: update(None), entry)
    raises_exactly(TypeError, f"update_{buffer}() takes exactly 1 positional argument (2 given)",
                   lambda: update(carray(1), carray(2)), entry)
    raises_exactly(TypeError, f"update_{buffer}() got an unexpected keyword argument '{buffer[:-1]}'",
                   lambda: update(**{buffer[:-1]: carray(1)}), entry)
    raises_exactly(ValueError, "Buffer dtype mismatch, expected 'double complex' but got 'double'",
                   lambda: update(np.ones(count)), entry)


@pytest.mark.parametrize("name", STAR_TYPES)
@pytest.mark.parametrize("n", [1, 3, 4])
def test_single_updates_need_one_setpoint(name, n):
    buffer, single = FAMILY[name]
    load = getattr(ohmweave, name)(n, setpoints(name, n - 1))
    raises_exactly(ValueError, f"update_{single}() sets the {single} of a load with one set-point; "
                               f"this load has {n - 1}, use update_{buffer}()",
                   lambda: getattr(load, f"update_{single}")(1j), f"{name}.update_{single}")


@pytest.mark.parametrize("name", STAR_TYPES)
def test_single_update_arguments(name):
    _, single = FAMILY[name]
    load = getattr(ohmweave, name)(2, setpoints(name, 1))
    update = getattr(load, f"update_{single}")
    update(2 + 1j)
    update(**{single: 3})
    entry = f"{name}.update_{single}"
    raises_exactly(TypeError, f"update_{single}() takes exactly 1 positional argument (0 given)",
                   update, entry)
    with pytest.raises(TypeError) as caught:
        update("2")
    assert module_entries(caught.value) == [f"meshvolt.ohmweave.{entry}"]


def test_a_method_runs_only_on_its_own_type():
    delta = ohmweave.CyDeltaPowerLoad(2, carray(1, 2))
    with pytest.raises(TypeError) as caught:
        ohmweave.CyPowerLoad.update_powers(delta, carray(1, 2))
    assert str(caught.value) == ("update_powers() needs a 'meshvolt.ohmweave.CyPowerLoad' instance "
                                 "as its first argument, not 'meshvolt.ohmweave.CyDeltaPowerLoad'")


# --- inner currents at potentials set by hand ---------------------------------------------------

V3 = [230.0 + 10.0j, -120.0 - 195.0j, -110.0 + 200.0j]


def delta_on_bus(name, potentials, values):
    """A delta load whose ports read a bus's potentials (the bus keeps its own)."""
    load = getattr(ohmweave, name)(len(potentials), carray(*values))
    bus = ohmweave.CyBus(len(potentials), carray(*potentials))
    bus.connect(load, [(k, k) for k in range(len(potentials))])
    return load, bus


def pair_voltages(v):
    return [v[i] - v[(i + 1) % len(v)] for i in range(len(v))]


@pytest.mark.parametrize("name", DELTA_TYPES)
def test_delta_inner_currents_are_the_pair_currents_at_the_present_potentials(name):
    values = SETPOINTS[FAMILY[name][0]]
    load, bus = delta_on_bus(name, V3, values)
    expected = [LAW[name](x, u) for x, u in zip(values, pair_voltages(V3))]
    assert np.allclose(load.get_inner_currents(3), expected, rtol=1e-12)
    # No current computation has run: the port currents are still zero.
    assert load.get_currents(3).tolist() == [0, 0, 0]
    # The pair currents follow the potentials and the set-points at once, without a solver.
    bus.initialize_potentials(carray(*[2 * v for v in V3]))
    expected = [LAW[name](x, 2 * u) for x, u in zip(values, pair_voltages(V3))]
    assert np.allclose(load.get_inner_currents(3), expected, rtol=1e-12)
    new_values = [2 * x + 1j for x in values]
    getattr(load, f"update_{FAMILY[name][0]}")(carray(*new_values))
    expected = [LAW[name](x, 2 * u) for x, u in zip(new_values, pair_voltages(V3))]
    assert np.allclose(load.get_inner_currents(3), expected, rtol=1e-12)


def test_a_refused_update_changes_no_setpoint():
    load, _ = delta_on_bus("CyDeltaPowerLoad", V3, SETPOINTS["powers"])
    before = load.get_inner_currents(3)
    with pytest.raises(ValueError):
        load.update_powers(carray(1, 2))
    assert load.get_inner_currents(3).tolist() == before.tolist()


def test_a_two_port_delta_load_has_two_opposite_pairs():
    s0, s1 = 500 + 100j, 800 - 200j
    load, _ = delta_on_bus("CyDeltaPowerLoad", [230, 30j], [s0, s1])
    u = 230 - 30j
    # Pair (0, 1) sees U, pair (1, 0) sees -U.
    assert np.allclose(load.get_inner_currents(2), [np.conj(s0 / u), np.conj(s1 / -u)], rtol=1e-12)


@pytest.mark.parametrize("name, n", [("CyPowerLoad", 4), ("CyAdmittanceLoad", 2),
                                     ("CyCurrentLoad", 3), ("CyLoadBalancer", 4)])
def test_star_inner_currents_are_zero_before_any_computation(name, n):
    load = (ohmweave.CyLoadBalancer(0.1, 0.01, 1.0) if name == "CyLoadBalancer"
            else getattr(ohmweave, name)(n, setpoints(name, n - 1)))
    bus = ohmweave.CyBus(n, carray(*V3[:n - 1], 0))
    bus.connect(load, [(k, k) for k in range(n)])
    assert load.get_inner_currents(n - 1).tolist() == [0] * (n - 1)


@pytest.mark.parametrize("make, count", [
    (lambda: ohmweave.CyPowerLoad(4, carray(1, 2, 3)), 3),
    (lambda: ohmweave.CyAdmittanceLoad(3, carray(1, 2)), 2),
    (lambda: ohmweave.CyCurrentLoad(2, carray(1)), 1),
    (lambda: ohmweave.CyDeltaPowerLoad(2, carray(1, 2)), 2),
    (lambda: ohmweave.CyDeltaAdmittanceLoad(3, carray(1, 2, 3)), 3),
    (lambda: ohmweave.CyDeltaCurrentLoad(4, carray(1, 2, 3, 4)), 4),
    (lambda: ohmweave.CyLoadBalancer(0.1, 0.01, 1.0), 3),
])
def test_get_inner_currents_needs_room_for_every_inner_current(make, count):
    load = make()
    assert load.get_inner_currents(count).shape == (count,)
    assert load.get_inner_currents(size=count + 2).shape == (count + 2,)
    for size in (count - 1, 0):
        raises_exactly(ValueError, f"size = {size} is less than the {count} inner currents of the load",
                       lambda: load.get_inner_currents(size), "CyLoad.get_inner_currents")
    # NumPy refuses a negative size itself.
    with pytest.raises(ValueError) as caught:
        load.get_inner_currents(-1)
    assert module_entries(caught.value) == ["meshvolt.ohmweave.CyLoad.get_inner_currents"]
    raises_exactly(TypeError, "an integer is required", lambda: load.get_inner_currents("3"),
                   "CyLoad.get_inner_currents")


def test_entries_beyond_the_inner_currents_keep_what_the_new_array_held(monkeypatch):
    # The result array is made through the module attribute np at the time of the call.
    marker = 7 - 7j
    fake = types.SimpleNamespace(empty=lambda n, dtype: np.full(n, marker, dtype=dtype),
                                 complex128=np.complex128, double=np.double)
    load, _ = delta_on_bus("CyDeltaAdmittanceLoad", V3, SETPOINTS["admittances"])
    expected = [y * u for y, u in zip(SETPOINTS["admittances"], pair_voltages(V3))]
    monkeypatch.setattr(ohmweave, "np", fake)
    currents = load.get_inner_currents(5)
    assert np.allclose(currents[:3], expected, rtol=1e-12)
    assert currents[3:].tolist() == [marker, marker]


# --- currents through a solver ------------------------------------------------------------------

@pytest.mark.parametrize("name", STAR_TYPES)
def test_star_loads_on_a_source(name):
    buffer, _ = FAMILY[name]
    values = SETPOINTS[buffer]
    elements, bus = star_supply(V3)
    load = getattr(ohmweave, name)(4, carray(*values))
    bus.connect(load, [(k, k) for k in range(4)])
    network, solver = solve_newton(elements + [load])
    expected = [LAW[name](x, u) for x, u in zip(values, V3)]
    inner = load.get_inner_currents(3)
    assert np.allclose(inner, expected, rtol=1e-9)
    # The phase ports carry the inner currents, the neutral their return.
    assert np.allclose(load.get_currents(4), expected + [-sum(expected)], rtol=1e-9)
    if name == "CyPowerLoad":
        assert np.allclose(np.multiply(V3, np.conj(inner)), values, rtol=1e-9)
    # New set-points reach the next solve of the same solver.
    new_values = [0.5 * x - 1j * abs(x) / 10 for x in values]
    getattr(load, f"update_{buffer}")(carray(*new_values))
    solver.solve_load_flow(20, 1e-10)
    expected = [LAW[name](x, u) for x, u in zip(new_values, V3)]
    assert np.allclose(load.get_inner_currents(3), expected, rtol=1e-9)


@pytest.mark.parametrize("name", STAR_TYPES)
def test_single_phase_star_loads_and_their_single_update(name):
    buffer, single = FAMILY[name]
    u = 230.0 * cmath.exp(0.3j)
    x, x2 = SETPOINTS[buffer][0], SETPOINTS[buffer][2]
    elements, bus = star_supply([u])
    load = getattr(ohmweave, name)(2, carray(x))
    bus.connect(load, [(0, 0), (1, 1)])
    network, solver = solve_newton(elements + [load])
    assert load.get_inner_currents(1)[0] == pytest.approx(LAW[name](x, u), rel=1e-9)
    getattr(load, f"update_{single}")(x2)
    solver.solve_load_flow(20, 1e-10)
    current = LAW[name](x2, u)
    assert load.get_inner_currents(1)[0] == pytest.approx(current, rel=1e-9)
    assert load.get_currents(2) == pytest.approx([current, -current], rel=1e-9)


def test_a_current_load_keeps_its_magnitude_and_turns_with_its_voltage():
    i_set = 10 * cmath.exp(-0.4j)
    elements, bus = star_supply([115.0 * cmath.exp(1.1j)])
    load = ohmweave.CyCurrentLoad(2, carray(i_set))
    bus.connect(load, [(0, 0), (1, 1)])
    solve_newton(elements + [load])
    current = load.get_inner_currents(1)[0]
    assert abs(current) == pytest.approx(10, rel=1e-12)
    assert cmath.phase(current) == pytest.approx(-0.4 + 1.1, rel=1e-12)


@pytest.mark.parametrize("name", DELTA_TYPES)
def test_delta_loads_on_a_source(name):
    values = SETPOINTS[FAMILY[name][0]]
    elements, bus = star_supply(V3)
    load = getattr(ohmweave, name)(3, carray(*values))
    bus.connect(load, [(k, k) for k in range(3)])
    network, solver = solve_newton(elements + [load])
    pairs = [LAW[name](x, u) for x, u in zip(values, pair_voltages(V3))]
    assert np.allclose(load.get_inner_currents(3), pairs, rtol=1e-9)
    # Port i carries I_i - I_(i-1): not the pair currents, and they sum to zero.
    ports = load.get_currents(3)
    assert np.allclose(ports, [pairs[i] - pairs[i - 1] for i in range(3)], rtol=1e-9)
    assert not np.allclose(ports, pairs)
    assert abs(ports.sum()) < 1e-9


@pytest.mark.parametrize("k", [2.0, -1.0])
def test_load_balancer_impedances(k):
    z2, ym = 0.1 + 0.2j, 1e-3 - 2e-3j
    z0 = z2 + (1 - 1 / k) ** 2 / ym
    z1 = z2 + (1 + 1 / k + 1 / k ** 2) / ym
    # Equal phase voltages meet Z_0 and return through the neutral; balanced ones meet Z_1.
    for voltages, impedance, neutral in ((3 * [230.0], z0, -3 * 230.0 / z0),
                                         (balanced(230.0), z1, 0)):
        elements, bus = star_supply(voltages)
        balancer = ohmweave.CyLoadBalancer(z2, ym, k)
        bus.connect(balancer, [(j, j) for j in range(4)])
        solve_newton(elements + [balancer])
        expected = [u / impedance for u in voltages]
        inner = balancer.get_inner_currents(3)
        assert np.allclose(inner, expected, rtol=1e-9)
        currents = balancer.get_currents(4)
        assert np.allclose(currents[:3], inner, rtol=1e-12)
        assert currents[3] == pytest.approx(-inner.sum(), rel=1e-12, abs=1e-9)
        assert currents[3] == pytest.approx(neutral, rel=1e-9, abs=1e-9)
