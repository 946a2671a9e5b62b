"""The network and solver wrappers: building a network from element wrappers, creating the three
solvers on it, and what a caller reads from them (variables, residuals, the dense Jacobian, the
Jacobian analysis, the Matrix Market files), with the checks of their arguments, the lifetime of the
objects a network and a solver point to, and the coded solver failures.

Conventions: potentials are phase-to-earth in volts, the source neutral is the potential reference,
and every port current is positive into its element."""

import gc
import inspect
import os
import re
import sys
from types import SimpleNamespace

import numpy as np
import pytest
import scipy.io

from meshvolt import ohmweave
from module_support import (balanced, carray, load_voltage, network_of, objects, raises_exactly,
                            single_phase_circuit)


SOLVER_MAKERS = {
    "Newton": lambda network: ohmweave.CyNewton(network, False),
    "Newton, optimised tape": lambda network: ohmweave.CyNewton(network, True),
    "Newton-Goldstein": lambda network: ohmweave.CyNewtonGoldstein(network, False, 0.1, 0.9, True),
    "backward-forward": lambda network: ohmweave.CyBackwardForward(network),
}
NEWTON_MAKERS = {name: make for name, make in SOLVER_MAKERS.items() if "Newton" in name}


# --- test networks ------------------------------------------------------------------------------

def switched_bus(tail_start=(1, 2, 3, 4)):
    """A star source on a head bus whose neutral (port 3) is the potential reference, and a closed
    four-conductor switch from the head bus to a tail bus.

    Elements [head, source, reference, switch, tail]. Free nodes, in network order: head ports 0..2
    (port 3 is grounded), then tail ports 0..3 (the switch joins conductors through its currents, it
    does not merge nodes). Variables: 7 nodes · 2, then the source's 3 currents · 2, then the
    switch's 4 currents · 2: n = 28. The solution: the tail takes the source voltages, neutral 0 V,
    and no current flows."""
    u = balanced(230.0)
    head = ohmweave.CyBus(4, carray(*u, 0))
    source = ohmweave.CyVoltageSource(4, carray(*u))
    reference = ohmweave.CyPotentialRef()
    switch = ohmweave.CySwitch(4)
    tail = ohmweave.CyBus(4, carray(*tail_start))
    head.connect(source, [(i, i) for i in range(4)])
    head.connect(reference, [(3, 0)])
    switch.connect_side(head, [(i, i) for i in range(4)], True)
    switch.connect_side(tail, [(i, i) for i in range(4)], False)
    elements = [head, source, reference, switch, tail]
    return SimpleNamespace(u=u, head=head, source=source, reference=reference, switch=switch,
                           tail=tail, elements=elements, network=network_of(elements))


def interleaved(potentials):
    """Complex potentials as the solver stores them: real part, then imaginary part."""
    return np.column_stack([np.real(potentials), np.imag(potentials)]).ravel()


def single_phase_feeder(power=5000 + 2000j, z=0.5 + 0.3j, tail_start=230.0, extra=()):
    """Source U = 230 V on a head bus (phase, neutral), its neutral the potential reference, a line
    of impedance z to a tail bus, and a constant-power load between the tail and the head neutral.

    Elements [head, source, reference, line, tail, load] followed by `extra`. Free nodes: the head
    phase and the tail phase; variables [V_head (re, im), V_tail (re, im), J_source (re, im)];
    residuals [head balance, tail balance, source equation], each real part first."""
    f = single_phase_circuit(power, z, tail_start)
    f.power, f.z = power, z
    f.elements = [*f.elements, *extra]
    f.network = network_of(f.elements)
    return f


def three_phase_feeder():
    """A four-wire feeder: source, a line, a bus with an unbalanced star load and a delta load.

    Elements [head, source, reference, line, tail, star, delta]."""
    u = balanced(230.0)
    z = np.array([[0.21 + 0.42j, 0.05 + 0.19j, 0.05 + 0.14j, 0.05 + 0.16j],
                  [0.05 + 0.19j, 0.22 + 0.43j, 0.05 + 0.17j, 0.05 + 0.15j],
                  [0.05 + 0.14j, 0.05 + 0.17j, 0.20 + 0.41j, 0.05 + 0.13j],
                  [0.05 + 0.16j, 0.05 + 0.15j, 0.05 + 0.13j, 0.28 + 0.46j]]) * 0.4
    head = ohmweave.CyBus(4, carray(*u, 0))
    source = ohmweave.CyVoltageSource(4, carray(*u))
    reference = ohmweave.CyPotentialRef()
    line = ohmweave.CySimplifiedLine(4, z.astype(complex).ravel())
    tail = ohmweave.CyBus(4, carray(*u, 0))
    star = ohmweave.CyPowerLoad(4, carray(4000 + 1000j, 2500 + 500j, 1000 - 300j))
    delta = ohmweave.CyDeltaPowerLoad(3, carray(3000 + 900j, 1500, 2000 + 600j))
    head.connect(source, [(i, i) for i in range(4)])
    head.connect(reference, [(3, 0)])
    line.connect_side(head, [(i, i) for i in range(4)], True)
    line.connect_side(tail, [(i, i) for i in range(4)], False)
    tail.connect(star, [(i, i) for i in range(4)])
    tail.connect(delta, [(i, i) for i in range(3)])
    elements = [head, source, reference, line, tail, star, delta]
    return SimpleNamespace(elements=elements, network=network_of(elements), tail=tail, star=star)


# --- network construction -----------------------------------------------------------------------

BUS = ohmweave.CyBus(1, carray(1))
NETWORK_REFUSALS = [
    (lambda: ohmweave.CyElectricalNetwork(), TypeError,
     "__cinit__() takes exactly 2 positional arguments (0 given)"),
    (lambda: ohmweave.CyElectricalNetwork(objects(BUS)), TypeError,
     "__cinit__() takes exactly 2 positional arguments (1 given)"),
    (lambda: ohmweave.CyElectricalNetwork(objects(BUS), nb=1), TypeError,
     "__cinit__() got an unexpected keyword argument 'nb'"),
    (lambda: ohmweave.CyElectricalNetwork(objects(BUS), "1"), TypeError, "an integer is required"),
    (lambda: ohmweave.CyElectricalNetwork(objects(BUS), -1), RuntimeError, "vector::reserve"),
    (lambda: ohmweave.CyElectricalNetwork(objects(BUS), 2), ValueError,
     "Argument 'elements' holds 1 values where 2 are needed"),
    (lambda: ohmweave.CyElectricalNetwork(None, 1), TypeError,
     "Argument 'elements' is None where 1 values are needed"),
    (lambda: ohmweave.CyElectricalNetwork(np.array([BUS, 3], dtype=object), 2), TypeError,
     "Item 1 of 'elements' has incorrect type (expected meshvolt.ohmweave.CyElement, got int)"),
    (lambda: ohmweave.CyElectricalNetwork(np.array([None, BUS], dtype=object), 2), TypeError,
     "Item 0 of 'elements' has incorrect type (expected meshvolt.ohmweave.CyElement, got NoneType)"),
    (lambda: ohmweave.CyElectricalNetwork(objects(BUS, ohmweave.CyElement()), 2), TypeError,
     "Item 1 of 'elements' is an instance of the abstract type meshvolt.ohmweave.CyElement, which "
     "holds no engine object"),
    (lambda: ohmweave.CyElectricalNetwork(objects(ohmweave.CyElectricalNetwork(None, 0)), 1),
     TypeError, "Item 0 of 'elements' has incorrect type (expected meshvolt.ohmweave.CyElement, "
                "got meshvolt.ohmweave.CyElectricalNetwork)"),
    (lambda: ohmweave.CyElectricalNetwork(np.zeros(2, complex), 1), ValueError,
     "Buffer dtype mismatch, expected 'CyFlexibleParameter' but got 'complex double'"),
    (lambda: ohmweave.CyElectricalNetwork(np.array([[BUS]], dtype=object), 1), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: ohmweave.CyElectricalNetwork([BUS], 1), TypeError,
     "a bytes-like object is required, not 'list'"),
]


@pytest.mark.parametrize("call, error_type, message", NETWORK_REFUSALS)
def test_network_construction_refusals(call, error_type, message):
    raises_exactly(error_type, message, call, "CyElectricalNetwork.__cinit__")


def test_strided_and_read_only_element_arrays_are_refused_by_numpy():
    strided = np.array([BUS, BUS, BUS], dtype=object)[::2]
    read_only = objects(BUS)
    read_only.flags.writeable = False
    for elements in (strided, read_only):
        with pytest.raises(ValueError):
            ohmweave.CyElectricalNetwork(elements, 1)


def test_entries_beyond_nb_elements_are_not_looked_at():
    # Item 1 is no element; only item 0 is read.
    network = ohmweave.CyElectricalNetwork(np.array([BUS, "not an element"], dtype=object), 1)
    assert ohmweave.CyBackwardForward(network).get_variables().shape == (2,)


def test_none_is_an_empty_element_list_when_nothing_is_read():
    solver = ohmweave.CyBackwardForward(ohmweave.CyElectricalNetwork(None, 0))
    assert solver.get_variables().shape == (0,)


@pytest.mark.parametrize("max_iterations, tolerance, expected", [
    (10, 0.0, (1, 0.0)),
    (10, 1e-6, (1, 0.0)),
    (1, -1.0, (1, 0.0)),
    (5, -1.0, (5, 0.0)),
    (0, -1.0, (1, 0.0)),
])
def test_backward_forward_on_a_network_without_elements(max_iterations, tolerance, expected):
    solver = ohmweave.CyBackwardForward(ohmweave.CyElectricalNetwork(np.array([], dtype=object), 0))
    result = solver.solve_load_flow(max_iterations, tolerance)
    assert result == expected
    assert type(result[0]) is int and type(result[1]) is float


@pytest.mark.parametrize("joined", [True, False])
@pytest.mark.parametrize("order", [(0, 1), (1, 0)])
def test_a_shared_node_is_listed_once_whatever_the_element_order(joined, order):
    a = ohmweave.CyBus(1, carray(5))
    b = ohmweave.CyBus(1, carray(7))
    if joined:
        a.connect(b, [(0, 0)])
    elements = [(a, b)[k] for k in order]
    variables = ohmweave.CyBackwardForward(network_of(elements)).get_variables()
    # The joined node keeps a's potential; separate nodes keep their own, in element order.
    expected = [5.0, 0.0] if joined else [p for k in order for p in ((5.0, 0.0), (7.0, 0.0))[k]]
    assert variables.tolist() == expected


# --- solver construction ------------------------------------------------------------------------

NETWORK = switched_bus().network
SOLVER_CONSTRUCTION_REFUSALS = [
    (lambda: ohmweave.CyNewton(NETWORK), TypeError,
     "__cinit__() takes exactly 2 positional arguments (1 given)", "CyNewton.__cinit__"),
    (lambda: ohmweave.CyNewton(3, False), TypeError,
     "Argument 'network' has incorrect type (expected meshvolt.ohmweave.CyElectricalNetwork, got "
     "int)", "CyNewton.__cinit__"),
    (lambda: ohmweave.CyNewton(None, False), TypeError,
     "Argument 'network' has incorrect type (expected meshvolt.ohmweave.CyElectricalNetwork, got "
     "NoneType)", "CyNewton.__cinit__"),
    (lambda: ohmweave.CyNewton(BUS, True), TypeError,
     "Argument 'network' has incorrect type (expected meshvolt.ohmweave.CyElectricalNetwork, got "
     "meshvolt.ohmweave.CyBus)", "CyNewton.__cinit__"),
    (lambda: ohmweave.CyNewton(network=NETWORK, optimise_tape=False), TypeError,
     "__cinit__() got an unexpected keyword argument 'optimise_tape'", "CyNewton.__cinit__"),
    (lambda: ohmweave.CyNewtonGoldstein(NETWORK, False, 0.1, 0.9), TypeError,
     "__cinit__() takes exactly 5 positional arguments (4 given)", "CyNewtonGoldstein.__cinit__"),
    # The numbers are converted before the network's type is tested.
    (lambda: ohmweave.CyNewtonGoldstein(3, False, "0.1", 0.9, True), TypeError,
     "must be real number, not str", "CyNewtonGoldstein.__cinit__"),
    (lambda: ohmweave.CyNewtonGoldstein(3, False, 0.1, 0.9, True), TypeError,
     "Argument 'network' has incorrect type (expected meshvolt.ohmweave.CyElectricalNetwork, got "
     "int)", "CyNewtonGoldstein.__cinit__"),
    (lambda: ohmweave.CyBackwardForward(), TypeError,
     "__cinit__() takes exactly 1 positional argument (0 given)", "CyBackwardForward.__cinit__"),
    (lambda: ohmweave.CyBackwardForward(NETWORK, NETWORK), TypeError,
     "__cinit__() takes exactly 1 positional argument (2 given)", "CyBackwardForward.__cinit__"),
    (lambda: ohmweave.CyBackwardForward("network"), TypeError,
     "Argument 'network' has incorrect type (expected meshvolt.ohmweave.CyElectricalNetwork, got "
     "str)", "CyBackwardForward.__cinit__"),
    # A Newton solver needs something to solve; the refusal is coded like its other failures.
    (lambda: ohmweave.CyNewton(ohmweave.CyElectricalNetwork(None, 0), False), RuntimeError,
     "1 The network has no variables: there is nothing to solve. ", "CyNewton.__cinit__"),
    (lambda: ohmweave.CyNewtonGoldstein(network_of([ohmweave.CyPotentialRef()]), True, 0.1, 0.9,
                                        True), RuntimeError,
     "1 The network has no variables: there is nothing to solve. ", "CyNewtonGoldstein.__cinit__"),
]


@pytest.mark.parametrize("call, error_type, message, entry", SOLVER_CONSTRUCTION_REFUSALS)
def test_solver_construction_refusals(call, error_type, message, entry):
    raises_exactly(error_type, message, call, entry)


def test_solvers_take_their_arguments_by_keyword():
    network = switched_bus().network
    solvers = [
        ohmweave.CyNewton(optimize_tape=True, network=network),
        ohmweave.CyNewtonGoldstein(network=network, optimize_tape=[], m1=0.1, m2=0.9,
                                   weighted_merit=None),
        ohmweave.CyBackwardForward(network=network),
    ]
    for solver in solvers:
        iterations, residual = solver.solve_load_flow(max_iterations=20, tolerance=1e-9)
        assert residual <= 1e-9


# --- method arguments ---------------------------------------------------------------------------

SOLVER = ohmweave.CyNewtonGoldstein(switched_bus().network, False, 0.1, 0.9, True)
SWEEPS = ohmweave.CyBackwardForward(switched_bus().network)


class MixedSolver(ohmweave.CyAbstractNewton, ohmweave.CyBackwardForward):
    """A Python class that mixes two solver families: it builds a backward-forward solver."""


METHOD_REFUSALS = [
    (lambda: SOLVER.solve_load_flow(10), TypeError,
     "solve_load_flow() takes exactly 2 positional arguments (1 given)",
     "CyAbstractSolver.solve_load_flow"),
    (lambda: SOLVER.solve_load_flow("10", 1e-9), TypeError, "an integer is required",
     "CyAbstractSolver.solve_load_flow"),
    (lambda: SOLVER.solve_load_flow(2 ** 31, 1e-9), OverflowError,
     "value too large to convert to int", "CyAbstractSolver.solve_load_flow"),
    (lambda: SOLVER.solve_load_flow(10, None), TypeError, "must be real number, not NoneType",
     "CyAbstractSolver.solve_load_flow"),
    (lambda: SOLVER.solve_load_flow(10, tol=1e-9), TypeError,
     "solve_load_flow() got an unexpected keyword argument 'tol'",
     "CyAbstractSolver.solve_load_flow"),
    (lambda: SOLVER.reset_inputs(1), TypeError,
     "reset_inputs() takes exactly 0 positional arguments (1 given)",
     "CyAbstractSolver.reset_inputs"),
    (lambda: SOLVER.get_variables(x=1), TypeError,
     "get_variables() got an unexpected keyword argument 'x'", "CyAbstractSolver.get_variables"),
    (lambda: SOLVER.set_variables(None), TypeError,
     "Argument 'variables' is None where 28 values are needed", "CyAbstractSolver.set_variables"),
    (lambda: SOLVER.set_variables(np.zeros(27)), ValueError,
     "Argument 'variables' holds 27 values where 28 are needed", "CyAbstractSolver.set_variables"),
    (lambda: SWEEPS.set_variables(np.zeros(0)), ValueError,
     "Argument 'variables' holds 0 values where 28 are needed", "CyAbstractSolver.set_variables"),
    (lambda: SOLVER.set_variables(np.zeros(28, complex)), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'complex double'",
     "CyAbstractSolver.set_variables"),
    (lambda: SOLVER.set_variables(np.zeros((28, 1))), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)", "CyAbstractSolver.set_variables"),
    (lambda: SOLVER.set_variables([0.0] * 28), TypeError,
     "a bytes-like object is required, not 'list'", "CyAbstractSolver.set_variables"),
    (lambda: SOLVER.get_jacobian(1), TypeError,
     "get_jacobian() takes exactly 0 positional arguments (1 given)",
     "CyAbstractNewton.get_jacobian"),
    (lambda: SOLVER.get_residuals(residuals=1), TypeError,
     "get_residuals() got an unexpected keyword argument 'residuals'",
     "CyAbstractNewton.get_residuals"),
    (lambda: SOLVER.analyse_jacobian(None), TypeError,
     "analyse_jacobian() takes exactly 0 positional arguments (1 given)",
     "CyAbstractNewton.analyse_jacobian"),
    (lambda: SOLVER.save_matrix(), TypeError,
     "save_matrix() takes exactly 1 positional argument (0 given)", "CyAbstractNewton.save_matrix"),
    (lambda: SOLVER.save_matrix("a\0b"), ValueError,
     "embedded null byte in the prefix of save_matrix()", "CyAbstractNewton.save_matrix"),
    (lambda: SOLVER.update_params(0.1, 0.9), TypeError,
     "update_params() takes exactly 3 positional arguments (2 given)",
     "CyNewtonGoldstein.update_params"),
    (lambda: SOLVER.update_params(0.1, "0.9", True), TypeError, "must be real number, not str",
     "CyNewtonGoldstein.update_params"),
    # Instances that hold no solver, and solvers of another family.
    (lambda: ohmweave.CyAbstractSolver().solve_load_flow(1, 1.0), TypeError,
     "solve_load_flow() called on an instance of the abstract type "
     "meshvolt.ohmweave.CyAbstractSolver, which holds no engine object",
     "CyAbstractSolver.solve_load_flow"),
    (lambda: ohmweave.CyAbstractNewton().set_variables(np.zeros(3)), TypeError,
     "set_variables() called on an instance of the abstract type "
     "meshvolt.ohmweave.CyAbstractNewton, which holds no engine object",
     "CyAbstractSolver.set_variables"),
    (lambda: ohmweave.CyAbstractNewton().get_jacobian(), TypeError,
     "get_jacobian() called on an instance of the abstract type "
     "meshvolt.ohmweave.CyAbstractNewton, which holds no engine object",
     "CyAbstractNewton.get_jacobian"),
    (lambda: ohmweave.CyAbstractNewton().save_matrix("m"), TypeError,
     "save_matrix() called on an instance of the abstract type "
     "meshvolt.ohmweave.CyAbstractNewton, which holds no engine object",
     "CyAbstractNewton.save_matrix"),
    (lambda: MixedSolver(switched_bus().network).get_jacobian(), TypeError,
     "the methods of CyAbstractNewton do not apply to the engine object of this "
     "MixedSolver instance", "CyAbstractNewton.get_jacobian"),
]


@pytest.mark.parametrize("call, error_type, message, entry", METHOD_REFUSALS)
def test_method_argument_refusals(call, error_type, message, entry):
    before = SOLVER.get_variables()
    raises_exactly(error_type, message, call, entry)
    assert SOLVER.get_variables().tolist() == before.tolist()


@pytest.mark.parametrize("call, message", [
    (lambda: ohmweave.CyAbstractNewton.get_jacobian(SWEEPS),
     "get_jacobian() needs a 'meshvolt.ohmweave.CyAbstractNewton' instance as its first argument, "
     "not 'meshvolt.ohmweave.CyBackwardForward'"),
    (lambda: ohmweave.CyNewtonGoldstein.update_params(
        ohmweave.CyNewton(switched_bus().network, False), 0.1, 0.9, True),
     "update_params() needs a 'meshvolt.ohmweave.CyNewtonGoldstein' instance as its first "
     "argument, not 'meshvolt.ohmweave.CyNewton'"),
    (lambda: ohmweave.CyAbstractSolver.reset_inputs(NETWORK),
     "reset_inputs() needs a 'meshvolt.ohmweave.CyAbstractSolver' instance as its first argument, "
     "not 'meshvolt.ohmweave.CyElectricalNetwork'"),
])
def test_methods_through_their_class_check_the_instance(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_a_mixed_solver_class_keeps_the_methods_of_its_own_solver():
    solver = MixedSolver(switched_bus().network)
    assert solver.solve_load_flow(100, 1e-12)[1] <= 1e-12


# --- signatures ---------------------------------------------------------------------------------

METHODS = [
    ("CyAbstractSolver", "solve_load_flow", "int max_iterations, double tolerance"),
    ("CyAbstractSolver", "reset_inputs", ""),
    ("CyAbstractSolver", "get_variables", ""),
    ("CyAbstractSolver", "set_variables", "double[::1] variables"),
    ("CyAbstractNewton", "save_matrix", "string prefix"),
    ("CyAbstractNewton", "get_jacobian", ""),
    ("CyAbstractNewton", "get_residuals", ""),
    ("CyAbstractNewton", "analyse_jacobian", ""),
    ("CyNewtonGoldstein", "update_params", "double m1, double m2, bool weighted_merit"),
]


@pytest.mark.parametrize("owner, name, declared", METHODS)
def test_docstrings_and_signatures(owner, name, declared):
    function = getattr(ohmweave, owner).__dict__[name]
    assert function.__doc__ == f"{owner}.{name}(self{', ' if declared else ''}{declared})"
    assert function.__qualname__ == f"{owner}.{name}"
    assert function.__module__ == "meshvolt.ohmweave"
    names = [p.name for p in inspect.signature(function).parameters.values()]
    assert names == ["self"] + [d.split()[-1] for d in declared.split(", ") if d]


@pytest.mark.parametrize("owner, names", [
    ("CyElectricalNetwork", []),
    ("CyAbstractSolver", ["solve_load_flow", "reset_inputs", "get_variables", "set_variables"]),
    ("CyAbstractNewton", ["save_matrix", "get_jacobian", "get_residuals", "analyse_jacobian"]),
    ("CyNewton", []),
    ("CyNewtonGoldstein", ["update_params"]),
    ("CyBackwardForward", []),
])
def test_each_type_has_its_own_methods_and_inherits_the_others(owner, names):
    own = [n for n, v in vars(getattr(ohmweave, owner)).items()
           if callable(v) and not n.startswith("__")]
    assert own == names
    assert ohmweave.CyNewtonGoldstein.solve_load_flow is ohmweave.CyAbstractSolver.solve_load_flow
    assert ohmweave.CyNewton.get_jacobian is ohmweave.CyAbstractNewton.get_jacobian
    assert not hasattr(ohmweave.CyBackwardForward, "get_jacobian")


# --- variables ----------------------------------------------------------------------------------

@pytest.mark.parametrize("method", SOLVER_MAKERS)
def test_get_variables_lays_out_nodes_then_element_unknowns(method):
    f = switched_bus()
    solver = SOLVER_MAKERS[method](f.network)
    initial = solver.get_variables()
    assert initial.dtype == np.float64 and initial.shape == (28,)
    # The node block: head phases a, b, c, then the four tail ports; the currents start at 0.
    assert initial[:14].tolist() == interleaved([*f.u, 1, 2, 3, 4]).tolist()
    assert initial[14:].tolist() == [0.0] * 14

    iterations, residual = solver.solve_load_flow(100, 1e-10)
    assert residual <= 1e-10
    solution = solver.get_variables()
    assert np.allclose(solution[:14], interleaved([*f.u, *f.u, 0]), atol=1e-8)
    assert np.allclose(solution[14:], 0, atol=1e-8)
    assert np.allclose(f.tail.get_potentials(4), [*f.u, 0], atol=1e-8)


@pytest.mark.parametrize("method", SOLVER_MAKERS)
def test_reset_inputs_returns_to_the_gathered_values(method):
    f = switched_bus()
    solver = SOLVER_MAKERS[method](f.network)
    initial = solver.get_variables()
    solver.solve_load_flow(100, 1e-10)
    solver.reset_inputs()
    assert solver.get_variables().tolist() == initial.tolist()
    # The elements read through the bindings, which stay valid.
    assert f.tail.get_potentials(4).tolist() == [1, 2, 3, 4]
    iterations, residual = solver.solve_load_flow(100, 1e-10)
    assert iterations > 0 and residual <= 1e-10


@pytest.mark.parametrize("method", SOLVER_MAKERS)
def test_set_variables_writes_the_first_n_values_in_place(method):
    f = switched_bus()
    solver = SOLVER_MAKERS[method](f.network)
    values = np.arange(30, dtype=float)
    solver.set_variables(values)
    assert solver.get_variables().tolist() == values[:28].tolist()
    # Tail port k is node 3 + k: variables 6 + 2k (real) and 7 + 2k (imaginary).
    assert f.tail.get_potentials(4).tolist() == [6 + 7j, 8 + 9j, 10 + 11j, 12 + 13j]
    values[:] = -1  # the solver copied them
    assert solver.get_variables()[0] == 0
    # A copy is handed out, too.
    solver.get_variables()[:] = 99
    assert solver.get_variables().tolist() == list(range(28))


def test_set_variables_to_a_solution_needs_no_iteration():
    solved = ohmweave.CyNewton(switched_bus().network, False)
    solved.solve_load_flow(20, 1e-10)
    fresh = ohmweave.CyNewton(switched_bus().network, False)
    fresh.set_variables(solved.get_variables())
    assert fresh.solve_load_flow(20, 1e-10)[0] == 0


def test_a_short_buffer_changes_nothing():
    f = switched_bus()
    solver = ohmweave.CyBackwardForward(f.network)
    with pytest.raises(ValueError):
        solver.set_variables(np.ones(27))
    assert f.tail.get_potentials(4).tolist() == [1, 2, 3, 4]


# --- residuals and the dense Jacobian -----------------------------------------------------------

@pytest.mark.parametrize("method", NEWTON_MAKERS)
def test_residuals_of_a_fresh_solver(method):
    # At the start the line carries nothing (both ends at 230 V) and the source current is 0, so
    # the only mismatch is the load's current conj(S / 230) at the tail.
    f = single_phase_feeder(power=5000 + 2000j)
    solver = NEWTON_MAKERS[method](f.network)
    residuals = solver.get_residuals()
    assert residuals.dtype == np.float64 and residuals.shape == (6,)
    assert np.allclose(residuals, [0, 0, 5000 / 230, -2000 / 230, 0, 0], rtol=1e-14, atol=1e-12)
    assert solver.get_residuals().tolist() == residuals.tolist()


def test_residuals_see_parameter_updates_only_from_the_next_solve():
    f = single_phase_feeder()
    solver = ohmweave.CyNewton(f.network, False)
    solver.solve_load_flow(20, 1e-10)
    solved = solver.get_residuals()
    f.load.update_power(8000 + 1000j)
    assert solver.get_residuals().tolist() == solved.tolist()
    assert solver.solve_load_flow(20, 1e-10)[0] > 0
    assert np.abs(solver.get_residuals()).max() <= 1e-10
    assert f.tail.get_port_potential(0) == pytest.approx(
        load_voltage(230, f.z, 8000 + 1000j), abs=1e-8)


def finite_difference_jacobian(solver, x):
    """Central differences of get_residuals around x, column by column."""
    n = x.size
    jacobian = np.empty((n, n))
    for j in range(n):
        h = 1e-6 * max(1.0, abs(x[j]))
        plus, minus = x.copy(), x.copy()
        plus[j] += h
        minus[j] -= h
        solver.set_variables(plus)
        f_plus = solver.get_residuals()
        solver.set_variables(minus)
        f_minus = solver.get_residuals()
        jacobian[:, j] = (f_plus - f_minus) / (2 * h)
    solver.set_variables(x)
    return jacobian


@pytest.mark.parametrize("method", NEWTON_MAKERS)
@pytest.mark.parametrize("build", [single_phase_feeder, three_phase_feeder])
def test_the_jacobian_is_the_derivative_of_the_residuals(method, build):
    solver = NEWTON_MAKERS[method](build().network)
    # Away from the start and from the solution: half a solve step.
    x = solver.get_variables()
    solver.solve_load_flow(20, 1e-10)
    x = 0.5 * (x + solver.get_variables()) + 0.3
    solver.set_variables(x)
    jacobian = solver.get_jacobian()
    n = x.size
    assert jacobian.dtype == np.float64 and jacobian.shape == (n, n)
    assert jacobian.flags.c_contiguous
    assert solver.get_variables().tolist() == x.tolist()
    expected = finite_difference_jacobian(solver, x)
    np.testing.assert_allclose(jacobian, expected, rtol=1e-6, atol=1e-7)
    # Row i is residual i: the source equation (rows 4, 5) is V_head − U, so its only entries are
    # the identity on the head potential (columns 0, 1) in the single-phase feeder.
    if build is single_phase_feeder:
        assert jacobian[4:6].tolist() == [[1, 0, 0, 0, 0, 0], [0, 1, 0, 0, 0, 0]]


# --- Matrix Market files ------------------------------------------------------------------------

VALUE = r"-?\d\.\d{17}e[+-]\d{2,3}"


def read_lines(path):
    with open(path, encoding="ascii") as file:
        return file.read().split("\n")


@pytest.mark.parametrize("method", NEWTON_MAKERS)
def test_save_matrix_writes_the_jacobian_and_the_residuals(method, tmp_path):
    f = three_phase_feeder()
    solver = NEWTON_MAKERS[method](f.network)
    solver.solve_load_flow(2, 1e-10)
    before = solver.get_variables()
    prefix = str(tmp_path / "feeder")
    assert solver.save_matrix(prefix) is None
    jacobian, residuals = solver.get_jacobian(), solver.get_residuals()
    n = residuals.size

    # Matrix file: header, size line, one 1-based entry per pattern position, column by column.
    lines = read_lines(prefix + ".mtx")
    assert lines[0] == "%%MatrixMarket matrix coordinate  real general"
    rows, columns, stored = map(int, lines[1].split())
    assert (rows, columns) == (n, n)
    entries = lines[2:-1]
    assert lines[-1] == "" and len(entries) == stored
    positions = []
    for line in entries:
        row, column, value = line.split(" ")
        assert re.fullmatch(VALUE, value), line
        positions.append((int(column), int(row)))
    assert positions == sorted(positions) and len(set(positions)) == stored
    assert min(positions) >= (1, 1) and max(positions) <= (n, n)
    # Every non-zero of the dense Jacobian is a stored entry.
    assert set(zip(*np.nonzero(jacobian.T))) <= {(c - 1, r - 1) for c, r in positions}

    # A reader nobody here wrote agrees, to the last bit.
    assert np.array_equal(scipy.io.mmread(prefix + ".mtx").toarray(), jacobian)
    vector = scipy.io.mmread(prefix + "_b.mtx")
    assert vector.shape == (n, 1)
    assert np.array_equal(vector.ravel(), residuals)

    # Residual file: header, size line, one value per line.
    lines = read_lines(prefix + "_b.mtx")
    assert lines[:2] == ["%%MatrixMarket matrix array real general", f"{n} 1"]
    assert lines[-1] == "" and len(lines) == n + 3
    assert all(re.fullmatch(VALUE, line) for line in lines[2:-1])
    assert solver.get_variables().tolist() == before.tolist()


def test_save_matrix_lists_pattern_entries_whose_value_is_zero(tmp_path):
    # A resistive line and a load that takes nothing: the imaginary part of the tail balance
    # depends on the real part of the tail potential only through terms that are 0 here.
    f = single_phase_feeder(power=0j, z=0.5 + 0j)
    solver = ohmweave.CyNewton(f.network, False)
    prefix = str(tmp_path / "zeros")
    solver.save_matrix(prefix)
    entries = [line.split(" ") for line in read_lines(prefix + ".mtx")[2:-1]]
    zeros = [(int(r) - 1, int(c) - 1) for r, c, v in entries if float(v) == 0.0]
    assert zeros
    jacobian = solver.get_jacobian()
    assert all(jacobian[r, c] == 0 for r, c in zeros)
    assert scipy.io.mmread(prefix + ".mtx").nnz == len(entries)


@pytest.mark.parametrize("kind", [str, os.fsencode, lambda p: bytearray(os.fsencode(p))])
def test_save_matrix_takes_str_bytes_and_bytearray(kind, tmp_path):
    solver = ohmweave.CyNewton(single_phase_feeder().network, False)
    solver.save_matrix(kind(str(tmp_path / "m")))
    assert np.array_equal(scipy.io.mmread(str(tmp_path / "m.mtx")).toarray(), solver.get_jacobian())
    assert np.array_equal(scipy.io.mmread(str(tmp_path / "m_b.mtx")).ravel(),
                          solver.get_residuals())


def test_save_matrix_reports_files_it_cannot_open(tmp_path):
    solver = ohmweave.CyNewton(single_phase_feeder().network, False)
    missing = str(tmp_path / "no" / "such" / "m")
    raises_exactly(OSError, f"Unable to open '{missing}.mtx' and '{missing}_b.mtx' for writing",
                   lambda: solver.save_matrix(missing), "CyAbstractNewton.save_matrix")


@pytest.mark.parametrize("blocked, written", [(".mtx", "_b.mtx"), ("_b.mtx", ".mtx")])
def test_save_matrix_writes_the_other_file_before_reporting(blocked, written, tmp_path):
    solver = ohmweave.CyNewton(single_phase_feeder().network, False)
    prefix = str(tmp_path / "m")
    os.mkdir(prefix + blocked)  # a folder cannot be opened as a file
    raises_exactly(OSError, f"Unable to open '{prefix}{blocked}' for writing",
                   lambda: solver.save_matrix(prefix))
    assert read_lines(prefix + written)[0].startswith("%%MatrixMarket matrix ")


# --- Jacobian analysis --------------------------------------------------------------------------

@pytest.mark.parametrize("method", NEWTON_MAKERS)
@pytest.mark.parametrize("build", [switched_bus, single_phase_feeder, three_phase_feeder])
def test_a_well_posed_network_has_nothing_to_report(method, build):
    solver = NEWTON_MAKERS[method](build().network)
    assert solver.analyse_jacobian() == ([], [])
    solver.solve_load_flow(20, 1e-10)
    assert solver.analyse_jacobian() == ([], [])


def lonely_bus():
    return ohmweave.CyBus(1, carray(0))


@pytest.mark.parametrize("position", [0, 3, 6])
def test_an_isolated_free_node_is_named_by_its_element(position):
    # A bus joined to nothing: its potential is a variable on which no residual depends.
    f = single_phase_feeder()
    elements = list(f.elements)
    elements.insert(position, lonely_bus())
    solver = ohmweave.CyNewton(network_of(elements), False)
    analysis = solver.analyse_jacobian()
    assert analysis == ([position], [])
    assert all(type(k) is int for k in analysis[0])


def test_a_load_at_zero_voltage_names_its_non_finite_rows():
    # The tail starts at 0 V: the load's current conj(S / 0) is not a number.
    f = single_phase_feeder(tail_start=0.0)
    solver = ohmweave.CyNewton(f.network, False)
    assert solver.analyse_jacobian() == ([], [5])
    jacobian = solver.get_jacobian()
    assert np.isnan(jacobian[2:4]).all() and np.isfinite(np.delete(jacobian, [2, 3], 0)).all()


# --- coded failures -----------------------------------------------------------------------------

CODED_FAILURES = [
    ("Newton", lambda: single_phase_feeder(tail_start=0.0),
     "1 NaN value encountered at iteration 0. "),
    ("Newton-Goldstein", lambda: single_phase_feeder(tail_start=0.0),
     "1 NaN value encountered at iteration 0. "),
    ("Newton", lambda: single_phase_feeder(extra=[lonely_bus()]),
     "1 Decomposition failed, singular matrix at iteration 0. "),
    ("Newton-Goldstein", lambda: single_phase_feeder(extra=[lonely_bus()]),
     "1 Decomposition failed, singular matrix at iteration 0. "),
    ("backward-forward", lambda: single_phase_feeder(tail_start=0.0),
     "2 NaN value encountered at iteration 1. "),
]


@pytest.mark.parametrize("method, build, message", CODED_FAILURES)
def test_coded_failures_reach_python_as_runtime_errors(method, build, message):
    solver = SOLVER_MAKERS[method](build().network)
    raises_exactly(RuntimeError, message, lambda: solver.solve_load_flow(20, 1e-10),
                   "CyAbstractSolver.solve_load_flow")


def test_a_solver_keeps_working_after_a_failure():
    f = single_phase_feeder(tail_start=0.0)
    solver = ohmweave.CyNewton(f.network, False)
    with pytest.raises(RuntimeError):
        solver.solve_load_flow(20, 1e-10)
    f.tail.initialize_potentials(carray(230))
    assert solver.solve_load_flow(20, 1e-10)[1] <= 1e-10
    assert f.tail.get_port_potential(0) == pytest.approx(load_voltage(230, f.z, f.power), abs=1e-8)


# --- line search settings -----------------------------------------------------------------------

def one_step(solver, start=None):
    if start is not None:
        solver.set_variables(start)
    solver.solve_load_flow(1, 1e-10)
    return solver.get_variables()


def test_update_params_changes_only_the_later_line_search():
    # Goldstein's band m2·b <= E <= m1·b, with E(t) = (φ(t) − φ(0)) / t and b = −2·φ(0). Close to a
    # linear F, φ(t) ≈ (1 − t)²·φ(0) and E(t) ≈ (t − 2)·φ(0).
    # m1 = 0.1, m2 = 0.9: E(1) = −φ(0) lies in [−1.8, −0.2]·φ(0): the full Newton step.
    newton_step = one_step(ohmweave.CyNewton(three_phase_feeder().network, False))
    solver = ohmweave.CyNewtonGoldstein(three_phase_feeder().network, False, 0.1, 0.9, True)
    first = one_step(solver)
    np.testing.assert_allclose(first, newton_step, rtol=1e-12, atol=1e-9)

    # m1 = 0.9, m2 = 0.1: the band is empty. A trial with E > −1.8·φ(0) (t > 0.2) becomes the
    # upper bound, any other the lower one; the bracket closes on t = 0.2 and the 10th trial,
    # t = 0.201171875, is kept.
    solver.update_params(0.9, 0.1, False)
    second = one_step(solver)
    twin = ohmweave.CyNewtonGoldstein(three_phase_feeder().network, False, 0.9, 0.1, False)
    assert one_step(twin, first).tolist() == second.tolist()
    full = one_step(ohmweave.CyNewton(three_phase_feeder().network, False), first)
    largest = np.argmax(np.abs(full - first))
    step = (second - first)[largest] / (full - first)[largest]
    assert step == pytest.approx(0.201171875, abs=2e-3)


def test_update_params_by_keyword():
    solver = ohmweave.CyNewtonGoldstein(three_phase_feeder().network, False, 0.9, 0.1, False)
    solver.update_params(weighted_merit=1, m2=0.9, m1=0.1)
    assert solver.solve_load_flow(20, 1e-10)[1] <= 1e-10


# --- lifetime -----------------------------------------------------------------------------------

def test_deleting_the_callers_names_leaves_the_solver_working():
    def build():
        f = single_phase_feeder()
        solver = ohmweave.CyNewtonGoldstein(
            ohmweave.CyElectricalNetwork(objects(*f.elements), len(f.elements)), True, 0.1, 0.9,
            True)
        return solver, f.load
    solver, load = build()
    gc.collect()
    iterations, residual = solver.solve_load_flow(20, 1e-10)
    assert residual <= 1e-10
    expected = load_voltage(230, 0.5 + 0.3j, 5000 + 2000j)
    assert load.get_port_potential(0) == pytest.approx(expected, abs=1e-8)
    assert solver.analyse_jacobian() == ([], [])


@pytest.mark.parametrize("method", SOLVER_MAKERS)
def test_references_are_held_and_released(method):
    f = switched_bus()
    spare = ohmweave.CyBus(1, carray(0))
    before = [sys.getrefcount(e) for e in f.elements]
    spare_before = sys.getrefcount(spare)
    # Only the first nb_elements items are held; the array itself is not.
    network = ohmweave.CyElectricalNetwork(np.array([*f.elements, spare], dtype=object), 5)
    assert [sys.getrefcount(e) for e in f.elements] == [b + 1 for b in before]
    assert sys.getrefcount(spare) == spare_before
    network_before = sys.getrefcount(network)
    solver = SOLVER_MAKERS[method](network)
    assert sys.getrefcount(network) == network_before + 1
    del solver
    assert sys.getrefcount(network) == network_before
    del network
    assert [sys.getrefcount(e) for e in f.elements] == before


@pytest.mark.parametrize("method", SOLVER_MAKERS)
def test_a_deleted_solver_leaves_its_last_results_in_the_elements(method):
    f = single_phase_feeder()
    solver = SOLVER_MAKERS[method](f.network)
    solver.solve_load_flow(100, 1e-10)
    del solver
    gc.collect()
    v = load_voltage(230, f.z, f.power)
    assert f.tail.get_port_potential(0) == pytest.approx(v, abs=1e-7)
    assert f.load.get_port_current(0) == pytest.approx(np.conj(f.power / v), abs=1e-7)
    # A solver made afterwards starts from them.
    assert ohmweave.CyNewton(f.network, False).get_variables()[2:4] == pytest.approx(
        [v.real, v.imag], abs=1e-7)


@pytest.mark.parametrize("method", SOLVER_MAKERS)
def test_an_older_solver_takes_the_values_over_once_the_newer_is_gone(method):
    f = single_phase_feeder()
    older = SOLVER_MAKERS[method](f.network)
    newer = ohmweave.CyNewton(f.network, False)
    newer.solve_load_flow(20, 1e-10)
    del newer
    # Updated while no solver holds the values, then solved by the older solver: the elements
    # show its solution for the new set-point.
    power = 6000 + 1500j
    f.load.update_powers(carray(power))
    assert older.solve_load_flow(100, 1e-10)[1] <= 1e-10
    v = load_voltage(230, f.z, power)
    assert f.tail.get_port_potential(0) == pytest.approx(v, abs=1e-7)
    assert f.load.get_port_current(0) == pytest.approx(np.conj(power / v), abs=1e-7)
    f.load.update_powers(carray(f.power))  # reaches the older solver's parameters again
    older.solve_load_flow(100, 1e-10)
    assert f.tail.get_port_potential(0) == pytest.approx(load_voltage(230, f.z, f.power), abs=1e-7)


def test_while_the_newer_solver_lives_an_older_solve_takes_the_values_over():
    f = single_phase_feeder()
    older = ohmweave.CyNewton(f.network, False)
    newer = ohmweave.CyNewton(f.network, False)
    older.solve_load_flow(20, 1e-10)
    v = load_voltage(230, f.z, f.power)
    assert f.tail.get_port_potential(0) == pytest.approx(v, abs=1e-7)
    assert newer.get_variables()[2] == 230  # the newer solver's vector is left as it was
    del newer


def test_a_reference_cycle_through_a_solver_is_collected():
    class Holder(ohmweave.CyBus):
        pass
    holder = Holder(1, carray(0))
    f = single_phase_feeder(extra=[])
    elements = [*f.elements, holder]
    holder.solver = ohmweave.CyBackwardForward(network_of(elements))
    holder.solver.solve_load_flow(100, 1e-10)
    del holder, elements, f
    gc.collect()
    assert not [o for o in gc.get_objects() if type(o).__name__ == "Holder"]
