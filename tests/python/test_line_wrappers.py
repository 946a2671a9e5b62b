"""The line wrappers: simplified lines (series impedance) and shunt lines (pi sections) built,
checked and updated from Python, and their currents against the line equations solved by hand."""

import inspect

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import balanced, carray, raises_exactly, solve_newton

# A 3 x 3 series impedance that is not symmetric, so that a transposed matrix shows.
Z3 = np.array([[0.30 + 0.40j, 0.10 + 0.15j, 0.05 + 0.08j],
               [0.12 + 0.11j, 0.32 + 0.38j, 0.09 + 0.14j],
               [0.07 + 0.06j, 0.11 + 0.13j, 0.28 + 0.42j]])
# A symmetric shunt admittance (capacitive), whose row sums are not zero.
Y3 = 1e-4j * np.array([[3.0, -0.5, -0.4], [-0.5, 3.2, -0.6], [-0.4, -0.6, 2.9]])


def rows(matrix):
    """An n x n matrix as the buffer the lines read: entry i·n + j is the matrix entry (i, j)."""
    return np.ascontiguousarray(matrix, dtype=np.complex128).reshape(-1)


# --- types --------------------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["CySimplifiedLine", "CyShuntLine"])
def test_lines_are_branches(name):
    line_type = getattr(ohmweave, name)
    assert line_type.__mro__ == (line_type, ohmweave.CyBranch, ohmweave.CyElement, object)
    assert line_type.__module__ == "meshvolt.ohmweave"
    own = [key for key in vars(line_type) if not key.startswith("__")]
    assert own == ["update_line_parameters", "update_single_line_parameters"]


@pytest.mark.parametrize("method, doc, parameters", [
    (ohmweave.CySimplifiedLine.update_line_parameters,
     "CySimplifiedLine.update_line_parameters(self, double complex[::1] z_line)", ["z_line"]),
    (ohmweave.CySimplifiedLine.update_single_line_parameters,
     "CySimplifiedLine.update_single_line_parameters(self, double complex z_line)", ["z_line"]),
    (ohmweave.CyShuntLine.update_line_parameters,
     "CyShuntLine.update_line_parameters(self, double complex[::1] y_shunt, double complex[::1] z_line)",
     ["y_shunt", "z_line"]),
    (ohmweave.CyShuntLine.update_single_line_parameters,
     "CyShuntLine.update_single_line_parameters(self, double complex y_shunt, double complex z_line)",
     ["y_shunt", "z_line"]),
])
def test_methods_show_their_signatures(method, doc, parameters):
    assert method.__doc__ == doc
    assert list(inspect.signature(method).parameters)[1:] == parameters


# --- ports --------------------------------------------------------------------------------------

def test_a_simplified_line_has_two_sides_of_n_ports():
    line = ohmweave.CySimplifiedLine(3, rows(Z3))
    assert line.get_potentials(6).tolist() == [0] * 6
    first, second = line.get_side_currents(3, 3)
    assert first.tolist() == second.tolist() == [0, 0, 0]
    raises_exactly(ValueError, "n = 7 exceeds the 6 ports of the element",
                   lambda: line.get_potentials(7), "CyElement.get_potentials")
    raises_exactly(ValueError, "n2 = 4 exceeds the 3 ports of side 2",
                   lambda: line.get_side_potentials(3, 4), "CyBranch.get_side_potentials")


def test_a_shunt_line_has_its_extra_port_last():
    line = ohmweave.CyShuntLine(3, rows(Y3), rows(Z3))
    assert line.get_potentials(7).shape == (7,)
    raises_exactly(IndexError, "port index 7 out of range for 7 ports",
                   lambda: line.get_port_potential(7), "CyElement.get_port_potential")
    raises_exactly(ValueError, "n1 = 4 exceeds the 3 ports of side 1",
                   lambda: line.get_side_potentials(4, 3), "CyBranch.get_side_potentials")
    # Port 6 is on neither side: a bus on it is seen by port 6 alone.
    bus = ohmweave.CyBus(1, carray(5))
    bus.connect(line, [(0, 6)])
    assert line.get_port_potential(6) == 5
    assert [side.tolist() for side in line.get_side_potentials(3, 3)] == [[0, 0, 0], [0, 0, 0]]
    # The side readers cover ports 0..2 and 3..5.
    side1, side2 = ohmweave.CyBus(3, carray(1, 2, 3)), ohmweave.CyBus(3, carray(4, 5, 6))
    line.connect_side(side1, [(k, k) for k in range(3)], True)
    line.connect_side(side2, [(k, k) for k in range(3)], False)
    assert [side.tolist() for side in line.get_side_potentials(3, 3)] == [[1, 2, 3], [4, 5, 6]]
    assert line.get_potentials(7).tolist() == [1, 2, 3, 4, 5, 6, 5]


def test_keyword_construction():
    ohmweave.CyShuntLine(n=1, y_shunt=carray(1e-4j), z_line=carray(0.2 + 0.1j))
    ohmweave.CySimplifiedLine(z_line=carray(0.2 + 0.1j), n=1)


# --- argument cases -----------------------------------------------------------------------------

SIMPLIFIED = "CySimplifiedLine.__cinit__"
SHUNT = "CyShuntLine.__cinit__"


@pytest.mark.parametrize("call, error_type, message, entry", [
    (lambda: ohmweave.CySimplifiedLine(), TypeError,
     "__cinit__() takes exactly 2 positional arguments (0 given)", SIMPLIFIED),
    (lambda: ohmweave.CySimplifiedLine(1, carray(1), carray(1)), TypeError,
     "__cinit__() takes exactly 2 positional arguments (3 given)", SIMPLIFIED),
    (lambda: ohmweave.CyShuntLine(1, carray(1)), TypeError,
     "__cinit__() takes exactly 3 positional arguments (2 given)", SHUNT),
    (lambda: ohmweave.CyShuntLine(1, carray(1), z=carray(1)), TypeError,
     "__cinit__() got an unexpected keyword argument 'z'", SHUNT),
    (lambda: ohmweave.CySimplifiedLine(1, np.ones(1)), ValueError,
     "Buffer dtype mismatch, expected 'double complex' but got 'double'", SIMPLIFIED),
    (lambda: ohmweave.CySimplifiedLine("1", carray(1)), TypeError, "an integer is required",
     SIMPLIFIED),
    # Each matrix holds n·n entries, checked in parameter order.
    (lambda: ohmweave.CySimplifiedLine(2, carray(1, 2, 3)), ValueError,
     "Argument 'z_line' holds 3 values where 4 are needed", SIMPLIFIED),
    (lambda: ohmweave.CySimplifiedLine(3, None), TypeError,
     "Argument 'z_line' is None where 9 values are needed", SIMPLIFIED),
    (lambda: ohmweave.CyShuntLine(2, carray(1, 2, 3), carray(1)), ValueError,
     "Argument 'y_shunt' holds 3 values where 4 are needed", SHUNT),
    (lambda: ohmweave.CyShuntLine(2, carray(1, 2, 3, 4), carray(1)), ValueError,
     "Argument 'z_line' holds 1 values where 4 are needed", SHUNT),
    (lambda: ohmweave.CyShuntLine(1, carray(1), None), TypeError,
     "Argument 'z_line' is None where 1 values are needed", SHUNT),
    # A phase count whose port count would not fit an int asks for more data than anyone has.
    (lambda: ohmweave.CySimplifiedLine(2**30, carray(1)), ValueError,
     f"Argument 'z_line' holds 1 values where {2**60} are needed", SIMPLIFIED),
    (lambda: ohmweave.CyShuntLine(2**31 - 1, carray(1), carray(1)), ValueError,
     f"Argument 'y_shunt' holds 1 values where {(2**31 - 1)**2} are needed", SHUNT),
    # Phase counts the line refuses, before any data are read.
    (lambda: ohmweave.CySimplifiedLine(0, None), ValueError, "a line needs at least one phase",
     SIMPLIFIED),
    (lambda: ohmweave.CyShuntLine(0, None, None), ValueError,
     "a shunt line needs at least one phase", SHUNT),
    (lambda: ohmweave.CySimplifiedLine(-1, None), RuntimeError, "vector::reserve", SIMPLIFIED),
    (lambda: ohmweave.CyShuntLine(-1, None, None), RuntimeError, "vector::reserve", SHUNT),
    (lambda: ohmweave.CySimplifiedLine(-2**31, None), RuntimeError, "vector::reserve", SIMPLIFIED),
    (lambda: ohmweave.CyShuntLine(-2**30 - 1, None, None), RuntimeError, "vector::reserve", SHUNT),
])
def test_construction_refusals(call, error_type, message, entry):
    raises_exactly(error_type, message, call, entry)


@pytest.mark.parametrize("make, call, error_type, message, entry", [
    (lambda: ohmweave.CySimplifiedLine(2, rows(Z3[:2, :2])),
     lambda line: line.update_line_parameters(carray(1, 2, 3)), ValueError,
     "Argument 'z_line' holds 3 values where 4 are needed",
     "CySimplifiedLine.update_line_parameters"),
    (lambda: ohmweave.CySimplifiedLine(2, rows(Z3[:2, :2])),
     lambda line: line.update_line_parameters(None), TypeError,
     "Argument 'z_line' is None where 4 values are needed",
     "CySimplifiedLine.update_line_parameters"),
    (lambda: ohmweave.CySimplifiedLine(1, carray(1)),
     lambda line: line.update_line_parameters(carray(1), carray(1)), TypeError,
     "update_line_parameters() takes exactly 1 positional argument (2 given)",
     "CySimplifiedLine.update_line_parameters"),
    (lambda: ohmweave.CySimplifiedLine(1, carray(1)),
     lambda line: line.update_single_line_parameters(), TypeError,
     "update_single_line_parameters() takes exactly 1 positional argument (0 given)",
     "CySimplifiedLine.update_single_line_parameters"),
    (lambda: ohmweave.CySimplifiedLine(3, rows(Z3)),
     lambda line: line.update_single_line_parameters(1j), ValueError,
     "update_single_line_parameters() sets the parameters of a single-phase line; this line has "
     "3 phases, use update_line_parameters()",
     "CySimplifiedLine.update_single_line_parameters"),
    (lambda: ohmweave.CyShuntLine(3, rows(Y3), rows(Z3)),
     lambda line: line.update_line_parameters(rows(Y3), rows(Z3)[:8]), ValueError,
     "Argument 'z_line' holds 8 values where 9 are needed", "CyShuntLine.update_line_parameters"),
    (lambda: ohmweave.CyShuntLine(3, rows(Y3), rows(Z3)),
     lambda line: line.update_line_parameters(carray(1), rows(Z3)), ValueError,
     "Argument 'y_shunt' holds 1 values where 9 are needed", "CyShuntLine.update_line_parameters"),
    (lambda: ohmweave.CyShuntLine(1, carray(1), carray(1)),
     lambda line: line.update_line_parameters(carray(1)), TypeError,
     "update_line_parameters() takes exactly 2 positional arguments (1 given)",
     "CyShuntLine.update_line_parameters"),
    (lambda: ohmweave.CyShuntLine(1, carray(1), carray(1)),
     lambda line: line.update_single_line_parameters(1j, y_shunt=1), TypeError,
     "update_single_line_parameters() got multiple values for keyword argument 'y_shunt'",
     "CyShuntLine.update_single_line_parameters"),
    (lambda: ohmweave.CyShuntLine(2, rows(Y3[:2, :2]), rows(Z3[:2, :2])),
     lambda line: line.update_single_line_parameters(1e-4j, 0.1), ValueError,
     "update_single_line_parameters() sets the parameters of a single-phase line; this line has "
     "2 phases, use update_line_parameters()",
     "CyShuntLine.update_single_line_parameters"),
])
def test_update_refusals(make, call, error_type, message, entry):
    raises_exactly(error_type, message, lambda: call(make()), entry)


def test_a_method_runs_only_on_its_own_type():
    with pytest.raises(TypeError) as caught:
        ohmweave.CyShuntLine.update_line_parameters(ohmweave.CySimplifiedLine(1, carray(1)),
                                                    carray(1), carray(1))
    assert str(caught.value) == ("update_line_parameters() needs a 'meshvolt.ohmweave.CyShuntLine' "
                                 "instance as its first argument, not "
                                 "'meshvolt.ohmweave.CySimplifiedLine'")


def test_updates_accept_keywords_and_single_values():
    ohmweave.CySimplifiedLine(2, rows(Z3[:2, :2])).update_line_parameters(z_line=rows(Z3[1:, 1:]))
    ohmweave.CySimplifiedLine(1, carray(1)).update_single_line_parameters(z_line=2)
    line = ohmweave.CyShuntLine(1, carray(1e-4j), carray(0.2))
    line.update_line_parameters(z_line=carray(0.3), y_shunt=carray(2e-4j))
    line.update_single_line_parameters(1e-4j, z_line=0.1 + 0.1j)


# --- currents through a solver ------------------------------------------------------------------

def two_sources(va, vb):
    """Two star sources of the same phase count whose neutrals share one reference node, each with
    a bus on its phases that starts at its voltages. The line between the buses sees V1 = va and
    V2 = vb, whatever its currents."""
    n = len(va)
    elements = []
    ends = []
    reference = ohmweave.CyPotentialRef()
    for voltages in (va, vb):
        source = ohmweave.CyVoltageSource(n + 1, carray(*voltages))
        reference.connect(source, [(0, n)])
        bus = ohmweave.CyBus(n, carray(*voltages))
        bus.connect(source, [(k, k) for k in range(n)])
        elements += [source, bus]
        ends.append(bus)
    return elements + [reference], ends, reference


def join(line, ends, n):
    line.connect_side(ends[0], [(k, k) for k in range(n)], True)
    line.connect_side(ends[1], [(k, k) for k in range(n)], False)


VA = balanced(230.0)
VB = [0.97 * v for v in balanced(230.0, -0.03)]


def test_simplified_line_currents_follow_the_impedance_matrix():
    elements, ends, _ = two_sources(VA, VB)
    line = ohmweave.CySimplifiedLine(3, rows(Z3))
    join(line, ends, 3)
    network, solver = solve_newton(elements + [line])
    # I1 = Z⁻¹ (V1 - V2), I2 = -I1.
    i1 = np.linalg.solve(Z3, np.subtract(VA, VB))
    first, second = line.get_side_currents(3, 3)
    assert np.allclose(first, i1, rtol=1e-9, atol=1e-9)
    assert np.allclose(second, -i1, rtol=1e-9, atol=1e-9)
    assert np.allclose(line.get_currents(6), np.concatenate([i1, -i1]), rtol=1e-9, atol=1e-9)
    assert np.allclose(line.get_potentials(6), VA + VB, rtol=1e-12)
    # New data reach the next solve of the same solver.
    z_new = 2.0 * Z3.T
    line.update_line_parameters(rows(z_new))
    solver.solve_load_flow(20, 1e-10)
    i1 = np.linalg.solve(z_new, np.subtract(VA, VB))
    assert np.allclose(line.get_side_currents(3, 3)[0], i1, rtol=1e-9, atol=1e-9)


def test_a_single_phase_line_updated_behaves_as_one_built_with_the_new_impedance():
    va, vb = [230.0], [220.0 - 5.0j]
    z, z2 = 0.4 + 0.3j, 0.8 + 0.1j
    results = []
    for build in (lambda: ohmweave.CySimplifiedLine(1, carray(z2)),
                  lambda: ohmweave.CySimplifiedLine(1, carray(z))):
        elements, ends, _ = two_sources(va, vb)
        line = build()
        join(line, ends, 1)
        network, solver = solve_newton(elements + [line])
        if len(results) == 1:
            assert line.get_port_current(0) == pytest.approx((va[0] - vb[0]) / z)
            line.update_single_line_parameters(z2)
            solver.solve_load_flow(20, 1e-10)
        results.append(line.get_currents(2))
    assert results[0][0] == pytest.approx((va[0] - vb[0]) / z2)
    assert np.allclose(results[0], results[1], rtol=1e-12)
    assert results[0][1] == -results[0][0]


def shunt_line_currents(y, z, v1, v2, vx):
    """The pi section by hand: half of Y at each side, its common node at vx."""
    y_series = np.linalg.inv(z)
    r = -0.5 * y.sum(axis=1)
    v1, v2 = np.asarray(v1), np.asarray(v2)
    i1 = (y_series + y / 2) @ v1 - y_series @ v2 + r * vx
    i2 = -y_series @ v1 + (y_series + y / 2) @ v2 + r * vx
    ix = np.sum(r * (v1 + v2 - 2 * vx))
    return i1, i2, ix


def test_shunt_line_currents_with_its_common_node_on_the_reference():
    elements, ends, reference = two_sources(VA, VB)
    line = ohmweave.CyShuntLine(3, rows(Y3), rows(Z3))
    join(line, ends, 3)
    reference.connect(line, [(0, 6)])
    network, solver = solve_newton(elements + [line])
    i1, i2, ix = shunt_line_currents(Y3, Z3, VA, VB, 0.0)
    currents = line.get_currents(7)
    assert np.allclose(currents, np.concatenate([i1, i2, [ix]]), rtol=1e-9, atol=1e-9)
    # With a symmetric Y the seven currents balance.
    assert abs(currents.sum()) < 1e-9
    # The shunt current is what makes the two sides differ.
    assert not np.allclose(currents[:3], -currents[3:6], rtol=1e-6)

    line.update_line_parameters(rows(2 * Y3), rows(Z3.T))
    solver.solve_load_flow(20, 1e-10)
    i1, i2, ix = shunt_line_currents(2 * Y3, Z3.T, VA, VB, 0.0)
    assert np.allclose(line.get_currents(7), np.concatenate([i1, i2, [ix]]), rtol=1e-9, atol=1e-9)


def test_a_floating_common_node_settles_where_its_current_is_zero():
    elements, ends, _ = two_sources(VA, VB)
    line = ohmweave.CyShuntLine(3, rows(Y3), rows(Z3))
    join(line, ends, 3)
    network, solver = solve_newton(elements + [line])
    # Ix = Σ r_k (V1_k + V2_k - 2 Vx) = 0.
    r = -0.5 * Y3.sum(axis=1)
    vx = np.sum(r * (np.add(VA, VB))) / (2 * r.sum())
    assert line.get_port_potential(6) == pytest.approx(vx, rel=1e-9)
    i1, i2, ix = shunt_line_currents(Y3, Z3, VA, VB, vx)
    assert np.allclose(line.get_currents(7), np.concatenate([i1, i2, [ix]]), rtol=1e-9, atol=1e-9)


def test_single_phase_shunt_line_update():
    va, vb = [230.0], [226.0 - 3.0j]
    y, z = 2e-4j, 0.5 + 0.25j
    elements, ends, reference = two_sources(va, vb)
    line = ohmweave.CyShuntLine(1, carray(1e-4j), carray(0.2 + 0.2j))
    join(line, ends, 1)
    reference.connect(line, [(0, 2)])
    network, solver = solve_newton(elements + [line])
    line.update_single_line_parameters(y, z)
    solver.solve_load_flow(20, 1e-10)
    # I1 = (1/z + y/2) V1 - V2/z, I2 = -V1/z + (1/z + y/2) V2, Ix = -(y/2)(V1 + V2).
    expected = [(1 / z + y / 2) * va[0] - vb[0] / z, -va[0] / z + (1 / z + y / 2) * vb[0],
                -(y / 2) * (va[0] + vb[0])]
    assert np.allclose(line.get_currents(3), expected, rtol=1e-9, atol=1e-9)


def test_voltage_drop_along_a_line_to_an_admittance_load():
    u, z, y = 230.0, 0.5 + 0.4j, 0.1 - 0.05j
    source = ohmweave.CyVoltageSource(2, carray(u))
    reference = ohmweave.CyPotentialRef()
    reference.connect(source, [(0, 1)])
    start = ohmweave.CyBus(2, carray(u, 0))
    start.connect(source, [(0, 0), (1, 1)])
    end = ohmweave.CyBus(2, carray(u, 0))
    end.connect(source, [(1, 1)])
    line = ohmweave.CySimplifiedLine(1, carray(z))
    line.connect_side(start, [(0, 0)], True)
    line.connect_side(end, [(0, 0)], False)
    load = ohmweave.CyAdmittanceLoad(2, carray(y))
    end.connect(load, [(0, 0), (1, 1)])
    network, solver = solve_newton([source, reference, start, end, line, load])
    # A voltage divider: I = U / (z + 1/y), and the far end sits at U - z·I.
    current = u / (z + 1 / y)
    assert line.get_port_current(0) == pytest.approx(current, rel=1e-9)
    assert end.get_port_potential(0) == pytest.approx(u - z * current, rel=1e-9)
    assert load.get_inner_currents(1)[0] == pytest.approx(current, rel=1e-9)
