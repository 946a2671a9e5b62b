"""The calling convention of every wrapper, through the element types: argument binding, the
conversion rule of each kind, buffer and index-pair checks, result arrays, the translation of engine
exceptions and the one traceback entry each failure gets."""

import re
import traceback
import types

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import carray, iarray, module_entries

BUS = ohmweave.CyBus(3, carray(1, 2j, 3))
OTHER = ohmweave.CyBus(3, carray(4, 5, 6))
ONE = carray(1)


def raises_with_message(error_type, message, call):
    """Runs the call, checks the error's type and whole message, returns the error."""
    with pytest.raises(error_type) as caught:
        call()
    assert str(caught.value) == message
    return caught.value


# --- binding ------------------------------------------------------------------------------------

BINDING_CASES = [
    (lambda: ohmweave.CyBus(), "__cinit__() takes exactly 2 positional arguments (0 given)",
     "CyBus.__cinit__"),
    (lambda: ohmweave.CyBus(1), "__cinit__() takes exactly 2 positional arguments (1 given)",
     "CyBus.__cinit__"),
    (lambda: ohmweave.CyBus(1, ONE, 3), "__cinit__() takes exactly 2 positional arguments (3 given)",
     "CyBus.__cinit__"),
    (lambda: ohmweave.CyBus(1, n=1), "__cinit__() got multiple values for keyword argument 'n'",
     "CyBus.__cinit__"),
    (lambda: ohmweave.CyBus(1, potential=ONE),
     "__cinit__() got an unexpected keyword argument 'potential'", "CyBus.__cinit__"),
    # The first parameter left unbound counts as the number given.
    (lambda: ohmweave.CyBus(potentials=ONE),
     "__cinit__() takes exactly 2 positional arguments (0 given)", "CyBus.__cinit__"),
    (lambda: ohmweave.CyDeltaPotentialRef(),
     "__cinit__() takes exactly 1 positional argument (0 given)", "CyDeltaPotentialRef.__cinit__"),
    (lambda: BUS.get_potentials(), "get_potentials() takes exactly 1 positional argument (0 given)",
     "CyElement.get_potentials"),
    (lambda: BUS.get_potentials(1, 2),
     "get_potentials() takes exactly 1 positional argument (2 given)", "CyElement.get_potentials"),
    (lambda: BUS.get_potentials(1, n=1),
     "get_potentials() got multiple values for keyword argument 'n'", "CyElement.get_potentials"),
    (lambda: BUS.get_potentials(m=1), "get_potentials() got an unexpected keyword argument 'm'",
     "CyElement.get_potentials"),
    (lambda: BUS.disconnect(1), "disconnect() takes exactly 0 positional arguments (1 given)",
     "CyElement.disconnect"),
    (lambda: BUS.disconnect(x=1), "disconnect() got an unexpected keyword argument 'x'",
     "CyElement.disconnect"),
    (lambda: BUS.connect(cy_element=OTHER),
     "connect() takes exactly 2 positional arguments (1 given)", "CyElement.connect"),
    (lambda: BUS.connect(connections=[]),
     "connect() takes exactly 2 positional arguments (0 given)", "CyElement.connect"),
    (lambda: BUS.connect(OTHER, [], beginning=True),
     "connect() got an unexpected keyword argument 'beginning'", "CyElement.connect"),
]


@pytest.mark.parametrize("call, message, entry", BINDING_CASES)
def test_binding_errors_and_their_traceback_entry(call, message, entry):
    error = raises_with_message(TypeError, message, call)
    assert module_entries(error) == ["meshvolt.ohmweave." + entry]
    source = traceback.extract_tb(error.__traceback__)[-1]
    assert source.filename.startswith("meshvolt/ohmweave/") and source.lineno > 0


def test_keywords_bind_like_positions():
    by_keyword = ohmweave.CyBus(potentials=carray(7, 8), n=2)
    assert by_keyword.get_potentials(n=2).tolist() == [7, 8]
    # A keyword name that is not the interned parameter name is matched by equality.
    name = "".join(["n", ""])
    assert by_keyword.get_potentials(**{name: 1}).tolist() == [7]
    ohmweave.CyBus(1, ONE).connect(connections=[(0, 0)], cy_element=ohmweave.CyBus(1, ONE))


def test_method_through_its_class():
    raises_with_message(TypeError, "disconnect() needs an argument",
                        lambda: ohmweave.CyElement.disconnect())
    with pytest.raises(TypeError, match=r"^get_current\(\) needs a 'meshvolt\.ohmweave\."
                                        r"CyPotentialRef' instance as its first argument, not "
                                        r"'meshvolt\.ohmweave\.CyBus'$"):
        ohmweave.CyPotentialRef.get_current(BUS)
    assert ohmweave.CyElement.get_potentials(BUS, 1).tolist() == [1]


# --- the integer rule ---------------------------------------------------------------------------

class IntReturning:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


@pytest.mark.parametrize("value, length", [
    (2, 2), (2.9, 2), (True, 1), (np.int64(3), 3), (np.float32(1.5), 1), (IntReturning(2), 2),
    (-0.5, 0),
])
def test_integer_conversions(value, length):
    assert BUS.get_potentials(value).shape == (length,)


@pytest.mark.parametrize("value, error_type, message", [
    ("2", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    ([2], TypeError, "an integer is required"),
    (2 ** 31, OverflowError, "value too large to convert to int"),
    (-2 ** 31 - 1, OverflowError, "value too large to convert to int"),
    (2 ** 59, OverflowError, "value too large to convert to int"),
    (IntReturning("x"), TypeError, "__int__ returned non-int (type str)"),
])
def test_integer_refusals(value, error_type, message):
    error = raises_with_message(error_type, message, lambda: BUS.get_potentials(value))
    assert module_entries(error) == ["meshvolt.ohmweave.CyElement.get_potentials"]


@pytest.mark.parametrize("value", [2 ** 61, 2 ** 70, -2 ** 80])
def test_huge_integers_are_refused_by_the_interpreter(value):
    with pytest.raises(OverflowError, match=r"^Python int too large to convert to C (int|long)$"):
        BUS.get_potentials(value)


def test_int_subclass_from_int_conversion_warns_and_is_used():
    message = ("__int__ returned non-int (type bool).  The ability to return an instance of a strict "
               "subclass of int is deprecated, and may be removed in a future version of Python.")
    with pytest.warns(DeprecationWarning, match="^" + re.escape(message) + "$"):
        assert BUS.get_potentials(IntReturning(True)).shape == (1,)


def test_a_negative_length_is_refused_by_numpy():
    with pytest.raises(ValueError, match="negative dimensions"):
        BUS.get_potentials(-1)


# --- complex and truth values -------------------------------------------------------------------

class ComplexLike:
    def __complex__(self):
        return 1 + 1j


@pytest.mark.parametrize("value", [1 + 2j, 3, 2.5, np.complex64(1j), np.float64(2), ComplexLike()])
def test_complex_conversions(value):
    ohmweave.CyVoltageSource(2, ONE).update_voltage(value)


@pytest.mark.parametrize("value", ["1", None, [1]])
def test_complex_refusals(value):
    with pytest.raises(TypeError):
        ohmweave.CyVoltageSource(2, ONE).update_voltage(value)


@pytest.mark.parametrize("beginning, side", [(True, 1), ([0], 1), (1.5, 1), (False, 2), ([], 2),
                                             (None, 2), (0, 2)])
def test_truth_values_choose_the_side(beginning, side):
    switch = ohmweave.CySwitch(1)
    bus = ohmweave.CyBus(1, carray(5))
    switch.connect_side(bus, [(0, 0)], beginning)
    first, second = switch.get_side_potentials(1, 1)
    assert (first.tolist(), second.tolist()) == (([5], [0]) if side == 1 else ([0], [5]))


def test_numeric_conversions_run_before_type_tests():
    class Untruthful:
        def __bool__(self):
            raise ZeroDivisionError("no truth value")

    with pytest.raises(ZeroDivisionError):
        ohmweave.CySwitch(1).connect_side(5, [], Untruthful())


# --- extension-type arguments -------------------------------------------------------------------

@pytest.mark.parametrize("argument, message", [
    (5, "Argument 'cy_element' has incorrect type (expected meshvolt.ohmweave.CyElement, got int)"),
    (None, "Argument 'cy_element' has incorrect type (expected meshvolt.ohmweave.CyElement, "
           "got NoneType)"),
    (ohmweave.CyElement(), "Argument 'cy_element' is an instance of the abstract type "
                           "meshvolt.ohmweave.CyElement, which holds no engine object"),
    (ohmweave.CyBranch(), "Argument 'cy_element' is an instance of the abstract type "
                          "meshvolt.ohmweave.CyBranch, which holds no engine object"),
])
def test_element_arguments_must_hold_an_element(argument, message):
    error = raises_with_message(TypeError, message, lambda: BUS.connect(argument, [(0, 0)]))
    assert module_entries(error) == ["meshvolt.ohmweave.CyElement.connect"]


def test_subclass_instances_are_element_arguments():
    class MyBus(ohmweave.CyBus):
        pass

    a = ohmweave.CyBus(1, carray(3))
    b = MyBus(1, carray(4))
    a.connect(b, [(0, 0)])
    assert b.get_port_potential(0) == 3


# --- buffers ------------------------------------------------------------------------------------

def read_only(array):
    array.flags.writeable = False
    return array


BUFFER_REFUSALS = [
    (np.zeros(2), ValueError, "Buffer dtype mismatch, expected 'double complex' but got 'double'"),
    (np.zeros(2, np.complex64), ValueError,
     "Buffer dtype mismatch, expected 'double complex' but got 'complex float'"),
    (np.zeros(2, np.int32), ValueError, "Buffer dtype mismatch, expected 'double complex' but got 'int'"),
    (np.zeros(2, object), ValueError,
     "Buffer dtype mismatch, expected 'double complex' but got Python object"),
    (np.zeros(2, [("a", "f8"), ("b", "f8")]), ValueError,
     "Buffer dtype mismatch, expected 'double complex' but got a struct"),
    (bytearray(32), ValueError, "Buffer dtype mismatch, expected 'double complex' but got 'unsigned char'"),
    (np.zeros(2, ">c16"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros((2, 2), complex), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.array(1j), ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
]


@pytest.mark.parametrize("buffer, error_type, message", BUFFER_REFUSALS)
def test_buffer_refusals(buffer, error_type, message):
    error = raises_with_message(error_type, message, lambda: ohmweave.CyBus(2, buffer))
    assert module_entries(error) == ["meshvolt.ohmweave.CyBus.__cinit__"]


@pytest.mark.parametrize("buffer, error_type", [
    (np.zeros(4, complex)[::2], ValueError),          # NumPy: not C-contiguous
    (read_only(np.zeros(2, complex)), ValueError),   # NumPy: read-only
    ([1j, 2j], TypeError),                           # no buffer protocol
    ("ab", TypeError),
])
def test_buffers_refused_by_their_exporter(buffer, error_type):
    with pytest.raises(error_type):
        ohmweave.CyBus(2, buffer)


def test_accepted_complex_buffers_are_read_in_place():
    values = np.arange(6, dtype=complex) * (1 + 1j)
    assert ohmweave.CyBus(2, values[2:4]).get_potentials(2).tolist() == [2 + 2j, 3 + 3j]
    assert ohmweave.CyBus(2, memoryview(values)).get_potentials(2).tolist() == [0, 1 + 1j]
    assert ohmweave.CyBus(0, np.zeros(0, complex)).get_potentials(0).shape == (0,)


@pytest.mark.parametrize("ports, found", [
    (np.array([0, 1], np.int64), "'long'"), (np.array([0, 1], np.int16), "'short'"),
    (np.array([0, 1], np.uint32), "'unsigned int'"), (np.array([0.0, 1.0]), "'double'"),
])
def test_int_buffers_take_int32_only(ports, found):
    raises_with_message(ValueError, "Buffer dtype mismatch, expected 'int' but got " + found,
                        lambda: ohmweave.CyBus(2, carray(1, 2)).connect_ports(ports))


def misaligned(values, dtype):
    """A writable array of the values whose first item lies one byte past an aligned address."""
    values = np.asarray(values, dtype=dtype)
    array = np.frombuffer(bytearray(values.nbytes + 1), dtype=dtype, count=len(values), offset=1)
    array[:] = values
    assert not array.flags.aligned
    return array


def test_misaligned_buffers_are_read_from_a_copy():
    bus = ohmweave.CyBus(3, misaligned([1 + 2j, 3, -4j], complex))
    assert bus.get_potentials(3).tolist() == [1 + 2j, 3, -4j]
    bus.connect_ports(misaligned([2, 0], np.int32))
    assert bus.get_port_potential(0) == -4j
    load = ohmweave.CyPowerLoad(2, carray(1))
    load.update_powers(misaligned([50 - 5j], complex))
    # A constant-power load on a bus held at 10 V by a source draws I = conj(S / V) = 5 + 0.5j.
    tail = ohmweave.CyBus(1, carray(10))
    source = ohmweave.CyVoltageSource(2, carray(10))
    reference = ohmweave.CyPotentialRef()
    tail.connect(load, [(0, 0)])
    tail.connect(source, [(0, 0)])
    load.connect(source, [(1, 1)])
    reference.connect(load, [(0, 1)])
    elements = [tail, source, load, reference]
    network = ohmweave.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
    solver = ohmweave.CyNewton(network, False)
    solver.set_variables(misaligned(solver.get_variables(), np.double))
    solver.solve_load_flow(20, 1e-10)
    assert load.get_port_current(0) == pytest.approx(5 + 0.5j, abs=1e-9)


def test_a_misaligned_result_array_is_refused(monkeypatch):
    fake = types.SimpleNamespace(empty=lambda n, dtype: misaligned(np.zeros(n), dtype),
                                 complex128=np.complex128)
    monkeypatch.setattr(ohmweave, "np", fake)
    raises_with_message(
        ValueError,
        "Buffer of 'double complex' items is not aligned to 8 bytes and cannot be written",
        lambda: BUS.get_potentials(2))


# --- index pairs --------------------------------------------------------------------------------

def two_buses():
    return ohmweave.CyBus(2, carray(1, 2)), ohmweave.CyBus(2, carray(3, 4))


@pytest.mark.parametrize("connections", [
    [(0, 1), [1, 0]],
    ((0, 1), (1, 0)),
    ((i, 1 - i) for i in range(2)),
    [range(0, 2), iter([1, 0])],
    np.array([[0, 1], [1, 0]]),
    {(0, 1): None, (1, 0): None},
])
def test_pair_sequences(connections):
    a, b = two_buses()
    a.connect(b, connections)
    # b's port 1 joined a's port 0, b's port 0 joined a's port 1; a's nodes keep their potentials.
    assert b.get_potentials(2).tolist() == [2, 1]
    assert a.get_potentials(2).tolist() == [1, 2]


PAIR_ITEM = "meshvolt.ohmweave.index_pair_from_python"
PAIRS = "meshvolt.ohmweave.index_pairs_from_python"
CONNECT = "meshvolt.ohmweave.CyElement.connect"


@pytest.mark.parametrize("connections, error_type, message, entries", [
    ([(0, 1, 2)], ValueError, "too many values to unpack (expected 2)", [CONNECT, PAIRS, PAIR_ITEM]),
    ([iter([0, 1, 2])], ValueError, "too many values to unpack (expected 2)",
     [CONNECT, PAIRS, PAIR_ITEM]),
    ([(0,)], ValueError, "need more than 1 value to unpack", [CONNECT, PAIRS, PAIR_ITEM]),
    ([()], ValueError, "need more than 0 values to unpack", [CONNECT, PAIRS, PAIR_ITEM]),
    ([iter([0])], ValueError, "need more than 1 value to unpack", [CONNECT, PAIRS, PAIR_ITEM]),
    ([(0, 0), ("a", 0)], TypeError, "an integer is required", [CONNECT, PAIRS, PAIR_ITEM]),
    ([(0, 2 ** 40)], OverflowError, "value too large to convert to int", [CONNECT, PAIRS, PAIR_ITEM]),
    ([5], TypeError, "'int' object is not iterable", [CONNECT, PAIRS, PAIR_ITEM]),
    (5, TypeError, "'int' object is not iterable", [CONNECT, PAIRS]),
])
def test_pair_refusals(connections, error_type, message, entries):
    a, b = two_buses()
    error = raises_with_message(error_type, message, lambda: a.connect(b, connections))
    assert module_entries(error) == entries
    # Nothing was joined.
    assert b.get_potentials(2).tolist() == [3, 4]


# --- results ------------------------------------------------------------------------------------

def test_results_are_new_complex_arrays():
    first = BUS.get_potentials(3)
    assert first.dtype == np.complex128 and first.shape == (3,) and first.flags.c_contiguous
    first[:] = 0
    assert BUS.get_potentials(3).tolist() == [1, 2j, 3]
    assert BUS.get_potentials(3) is not BUS.get_potentials(3)
    assert type(BUS.get_port_potential(1)) is complex


def test_results_must_be_numpy_arrays(monkeypatch):
    fake = types.SimpleNamespace(empty=lambda n, dtype: [0] * n, complex128=np.complex128)
    monkeypatch.setattr(ohmweave, "np", fake)
    error = raises_with_message(TypeError, "Cannot convert list to numpy.ndarray",
                                lambda: BUS.get_potentials(1))
    assert module_entries(error) == ["meshvolt.ohmweave.CyElement.get_potentials"]


def test_results_are_made_through_the_module_attribute(monkeypatch):
    made = []

    def empty(n, dtype):
        made.append((n, dtype))
        return np.empty(n, dtype)

    monkeypatch.setattr(ohmweave, "np", types.SimpleNamespace(empty=empty, complex128=np.complex128))
    BUS.get_currents(2)
    assert made == [(2, np.complex128)]


# --- engine exceptions --------------------------------------------------------------------------

@pytest.mark.parametrize("call, error_type, message, entry", [
    (lambda: BUS.get_port_potential(3), IndexError, "port index 3 out of range for 3 ports",
     "CyElement.get_port_potential"),
    (lambda: BUS.get_port_current(-1), IndexError, "port index -1 out of range for 3 ports",
     "CyElement.get_port_current"),
    (lambda: ohmweave.CyBus(-1, ONE), RuntimeError, "vector::reserve", "CyBus.__cinit__"),
    (lambda: ohmweave.CySwitch(-2), RuntimeError, "vector::reserve", "CySwitch.__cinit__"),
    (lambda: ohmweave.CyOpenSwitch(-2), RuntimeError, "vector::reserve", "CyOpenSwitch.__cinit__"),
    (lambda: ohmweave.CyVoltageSource(0, ONE), RuntimeError, "vector::reserve",
     "CyVoltageSource.__cinit__"),
    (lambda: ohmweave.CyDeltaVoltageSource(0, ONE), RuntimeError, "vector::reserve",
     "CyDeltaVoltageSource.__cinit__"),
    (lambda: ohmweave.CyDeltaPotentialRef(-1), RuntimeError, "vector::reserve",
     "CyDeltaPotentialRef.__cinit__"),
])
def test_engine_exceptions_are_translated_with_one_entry(call, error_type, message, entry):
    error = raises_with_message(error_type, message, call)
    assert module_entries(error) == ["meshvolt.ohmweave." + entry]
