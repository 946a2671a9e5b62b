"""The single-phase voltage regulator from Python: its type and methods, the common terminal of its
two sides, the smooth clamp of its tap, the starting point its update writes, and feeders solved by
Newton and backward-forward sweeps in which the output settles on the reference voltage.

Conventions: input a and b are ports 0 and 1 (side 1), output a and b ports 2 and 3 (side 2), and
output b shares input b's node; potentials in volts, currents positive into the element."""

import inspect
import math

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import carray, module_entries

Regulator = ohmweave.CySingleVoltageRegulator
Z2, YM = 0.02 + 0.05j, 1e-4 - 3e-4j


def regulator(u_ref=240.0, phi=0.0, alpha=100.0, u_range=0.1):
    return Regulator(Z2, YM, u_ref, u_range, alpha, phi)


def test_a_branch_with_its_own_three_methods():
    assert Regulator.__mro__ == (Regulator, ohmweave.CyBranch, ohmweave.CyElement, object)
    own = [key for key in vars(Regulator) if not key.startswith("__")]
    assert own == ["update_parameters", "get_tap", "compute_tap"]


@pytest.mark.parametrize("method, doc", [
    ("update_parameters",
     "CySingleVoltageRegulator.update_parameters(self, double complex z2, double complex ym, "
     "double u_ref)"),
    ("get_tap", "CySingleVoltageRegulator.get_tap(self)"),
    ("compute_tap", "CySingleVoltageRegulator.compute_tap(self, double u_in)"),
])
def test_methods_show_their_signatures(method, doc):
    function = getattr(Regulator, method)
    assert function.__doc__ == doc
    names = [part.split()[-1] for part in doc[doc.index("(") + 1:-1].split(", ")]
    assert list(inspect.signature(function).parameters) == names


def test_output_b_is_input_b():
    reg = Regulator(z2=Z2, ym=YM, u_ref=240.0, u_range=0.1, alpha=100.0, phi=0.0)
    assert reg.get_potentials(4).tolist() == [0, 0, 0, 0]
    bus = ohmweave.CyBus(2, carray(230, 3 - 1j))
    reg.connect_side(bus, [(0, 0), (1, 1)], True)
    first, second = reg.get_side_potentials(2, 2)
    assert first.tolist() == [230, 3 - 1j]
    assert second.tolist() == [0, 3 - 1j]


def test_tap_clamp():
    reg = regulator()
    assert reg.get_tap() == pytest.approx(1.0, abs=1e-12)
    # 240 V from 10 kV or from 24 V: the ratio lies far outside [0.9, 1.1].
    assert reg.compute_tap(1e4) == pytest.approx(0.9, abs=1e-12)
    assert reg.compute_tap(24.0) == pytest.approx(1.1, abs=1e-12)
    # At the edge of the range the clamp stays ln 2/alpha inside it.
    assert reg.compute_tap(240.0 / 1.1) == pytest.approx(1.1 - math.log(2) / 100, abs=1e-10)
    assert reg.get_tap() == pytest.approx(1.0, abs=1e-12)  # compute_tap stores nothing


def test_update_writes_the_tap_and_the_output_without_the_phase_angle():
    reg = regulator(u_ref=230.0, phi=0.3)
    reg.update_parameters(0.1 + 0.2j, -1e-3j, 240.0)  # no input voltage: the tap stays
    assert reg.get_tap() == pytest.approx(1.0, abs=1e-12)
    assert reg.get_port_potential(2) == 0

    reg.connect_side(ohmweave.CyBus(2, carray(230, 0)), [(0, 0), (1, 1)], True)
    reg.update_parameters(z2=0.1 + 0.2j, ym=-1e-3j, u_ref=240.0)
    assert reg.get_tap() == pytest.approx(1.043443, abs=5e-7)  # smooth_clamp(240/230)
    assert reg.get_port_potential(2) == reg.get_tap() * 230


@pytest.mark.parametrize("call, error_type, message, entry", [
    (lambda: Regulator(Z2, YM, 240.0, 0.1, 100.0), TypeError,
     "__cinit__() takes exactly 6 positional arguments (5 given)", "__cinit__"),
    (lambda: Regulator(Z2, YM, "240", 0.1, 100.0, 0.0), TypeError,
     "must be real number, not str", "__cinit__"),
    (lambda: regulator().update_parameters(Z2, YM), TypeError,
     "update_parameters() takes exactly 3 positional arguments (2 given)", "update_parameters"),
    (lambda: regulator().compute_tap(None), TypeError,
     "must be real number, not NoneType", "compute_tap"),
])
def test_refusals(call, error_type, message, entry):
    with pytest.raises(error_type) as caught:
        call()
    assert str(caught.value) == message
    assert module_entries(caught.value) == [f"meshvolt.ohmweave.CySingleVoltageRegulator.{entry}"]


# A 230 V source feeds the regulator through a line; the regulator feeds an admittance load.
# Returns the elements (upstream first) and the regulator.
def regulated_feeder(u_ref, phi):
    head = ohmweave.CyBus(2, carray(230, 0))
    source = ohmweave.CyVoltageSource(2, carray(230))
    ref = ohmweave.CyPotentialRef()
    line = ohmweave.CySimplifiedLine(1, carray(0.05 + 0.1j))
    middle = ohmweave.CyBus(1, carray(230))
    reg = regulator(u_ref=u_ref, phi=phi, alpha=1e3)
    tail = ohmweave.CyBus(1, carray(230))
    load = ohmweave.CyAdmittanceLoad(2, carray(1 / (10 + 3j)))
    head.connect(source, [(0, 0), (1, 1)])
    head.connect(ref, [(1, 0)])
    line.connect_side(head, [(0, 0)], True)
    line.connect_side(middle, [(0, 0)], False)
    reg.connect_side(middle, [(0, 0)], True)
    reg.connect_side(head, [(1, 1)], True)
    reg.connect_side(tail, [(0, 0)], False)
    tail.connect(load, [(0, 0)])
    head.connect(load, [(1, 1)])
    return [head, source, ref, line, middle, reg, tail, load], reg


SOLVERS = [
    (lambda network: ohmweave.CyNewton(network, True), 1e-9, 50),
    (lambda network: ohmweave.CyNewtonGoldstein(network, False, 0.1, 0.9, True), 1e-9, 50),
    (lambda network: ohmweave.CyBackwardForward(network), 1e-11, 2000),
]


@pytest.mark.parametrize("u_ref, phi", [(240.0, 0.0), (215.0, 0.3)])
def test_the_output_settles_on_the_reference_and_the_solvers_agree(u_ref, phi):
    outputs = []
    for make_solver, tolerance, limit in SOLVERS:
        elements, reg = regulated_feeder(u_ref, phi)
        network = ohmweave.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
        solver = make_solver(network)
        iterations, residual = solver.solve_load_flow(limit, tolerance)
        assert residual <= tolerance and iterations < limit
        output = reg.get_port_potential(2) - reg.get_port_potential(3)
        assert abs(output) == pytest.approx(u_ref, abs=1e-7)
        # The ideal ratio turns the output by phi against the input (less the small z2 drop).
        u1 = reg.get_port_potential(0) - reg.get_port_potential(1)
        assert np.angle(output / u1) == pytest.approx(phi, abs=0.01)

        # A new reference reaches the next solve.
        reg.update_parameters(Z2, YM, u_ref + 5)
        iterations, residual = solver.solve_load_flow(limit, tolerance)
        assert residual <= tolerance
        output = reg.get_port_potential(2) - reg.get_port_potential(3)
        assert abs(output) == pytest.approx(u_ref + 5, abs=1e-7)
        outputs.append(output)
    assert np.allclose(outputs, outputs[0], rtol=0, atol=1e-7)
