"""What every extension type shares: the instance layout, the abstract types, construction through
Python subclasses, the refusal to pickle or copy, and the lifetime of joined elements."""

import abc
import copy
import gc
import pickle
import struct
import weakref

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import ABSTRACT_ELEMENT_TYPES, ABSTRACT_SOLVER_TYPES, carray, module_entries

ONE = carray(1)

# One instance of each concrete element type.
CONCRETE_ELEMENTS = {
    "CySwitch": lambda: ohmweave.CySwitch(1),
    "CyOpenSwitch": lambda: ohmweave.CyOpenSwitch(1),
    "CyBus": lambda: ohmweave.CyBus(1, ONE),
    "CyGround": lambda: ohmweave.CyGround(),
    "CyPotentialRef": lambda: ohmweave.CyPotentialRef(),
    "CyDeltaPotentialRef": lambda: ohmweave.CyDeltaPotentialRef(2),
    "CyVoltageSource": lambda: ohmweave.CyVoltageSource(2, ONE),
    "CyDeltaVoltageSource": lambda: ohmweave.CyDeltaVoltageSource(2, ONE),
    "CySingleVoltageRegulator": lambda: ohmweave.CySingleVoltageRegulator(0.1j, 0, 230, 0.1, 100, 0),
    "CyThreePhaseTransformer": lambda: ohmweave.CyThreePhaseTransformer(3, 4, "D", "y", 1j, 0, 1, 11),
    "CySingleTransformer": lambda: ohmweave.CySingleTransformer(1j, 0, 1),
    "CyCenterTransformer": lambda: ohmweave.CyCenterTransformer(1j, 0, 1),
}


def abstract_instance(name):
    return getattr(ohmweave, name)()


def refusal_cases():
    for name, make in CONCRETE_ELEMENTS.items():
        yield pytest.param(name, make, "no default __reduce__ due to non-trivial __cinit__", id=name)
    for name in ABSTRACT_ELEMENT_TYPES:
        yield pytest.param(name, lambda name=name: abstract_instance(name),
                           "self.element cannot be converted to a Python object for pickling", id=name)
    for name in ABSTRACT_SOLVER_TYPES:
        yield pytest.param(name, lambda name=name: abstract_instance(name),
                           "self.solver cannot be converted to a Python object for pickling", id=name)


@pytest.mark.parametrize("name, make, message", list(refusal_cases()))
def test_pickling_and_copying_are_refused(name, make, message):
    instance = make()
    for attempt in (copy.copy, copy.deepcopy, pickle.dumps, lambda x: x.__reduce__(),
                    lambda x: x.__reduce_ex__(2)):
        with pytest.raises(TypeError) as caught:
            attempt(instance)
        assert str(caught.value) == message
        assert module_entries(caught.value) == [f"meshvolt.ohmweave.{name}.__reduce_cython__"]
    with pytest.raises(TypeError) as caught:
        instance.__setstate__({})
    assert str(caught.value) == message
    assert module_entries(caught.value) == [f"meshvolt.ohmweave.{name}.__setstate_cython__"]


@pytest.mark.parametrize("call, message", [
    (lambda x: x.__reduce__(1), "__reduce_cython__() takes exactly 0 positional arguments (1 given)"),
    (lambda x: x.__reduce__(protocol=1), "__reduce_cython__() got an unexpected keyword argument 'protocol'"),
    (lambda x: x.__setstate__(), "__setstate_cython__() takes exactly 1 positional argument (0 given)"),
    (lambda x: x.__setstate__(1, 2), "__setstate_cython__() takes exactly 1 positional argument (2 given)"),
])
def test_pickling_methods_take_fixed_arguments(call, message):
    with pytest.raises(TypeError) as caught:
        call(ohmweave.CyBus(1, ONE))
    assert str(caught.value) == message


def test_each_type_has_its_own_pickling_methods():
    for name in ["CyElement", "CyBranch", *CONCRETE_ELEMENTS]:
        cls = getattr(ohmweave, name)
        assert cls.__dict__["__reduce__"].__qualname__ == f"{name}.__reduce_cython__"
        assert cls.__dict__["__setstate__"].__qualname__ == f"{name}.__setstate_cython__"
    # Called through the abstract base, the base's refusal applies.
    with pytest.raises(TypeError, match="^self.element cannot be converted"):
        ohmweave.CyElement.__reduce__(ohmweave.CyBus(1, ONE))


def test_instances_are_the_header_and_one_pointer():
    pointer = struct.calcsize("P")
    for name in ["CyElement", "CyBranch", *CONCRETE_ELEMENTS]:
        assert getattr(ohmweave, name).__basicsize__ == object.__basicsize__ + pointer, name
    bus = ohmweave.CyBus(1, ONE)
    with pytest.raises(AttributeError):
        bus.x = 1
    with pytest.raises(AttributeError):
        bus.__dict__
    with pytest.raises(TypeError):
        weakref.ref(bus)
    assert not gc.is_tracked(bus)


@pytest.mark.parametrize("make", [
    lambda: ohmweave.CyElement(), lambda: ohmweave.CyElement(1, 2, x=3), lambda: ohmweave.CyBranch(7),
    lambda: ohmweave.CyElement.__new__(ohmweave.CyElement, "anything"),
])
def test_abstract_types_build_instances_without_an_element(make):
    instance = make()
    assert isinstance(instance, ohmweave.CyElement)


def test_types_without_parameters_ignore_their_arguments():
    assert ohmweave.CyGround(5).get_potentials(1).tolist() == [0]
    assert ohmweave.CyPotentialRef(a=1).get_current() == 0
    assert ohmweave.CyGround(1, 2, x=[]).get_currents(1).tolist() == [0]


ABSTRACT_CALLS = [
    ("connect", lambda x: x.connect(ohmweave.CyBus(1, ONE), [(0, 0)])),
    ("connect_ports", lambda x: x.connect_ports(np.zeros(1, np.int32))),
    ("disconnect", lambda x: x.disconnect()),
    ("get_potentials", lambda x: x.get_potentials(1)),
    ("get_currents", lambda x: x.get_currents(1)),
    ("get_port_potential", lambda x: x.get_port_potential(0)),
    ("get_port_current", lambda x: x.get_port_current(0)),
]
BRANCH_CALLS = [
    ("connect_side", lambda x: x.connect_side(ohmweave.CyBus(1, ONE), [(0, 0)], True)),
    ("get_side_potentials", lambda x: x.get_side_potentials(1, 1)),
    ("get_side_currents", lambda x: x.get_side_currents(1, 1)),
]
TRANSFORMER_CALLS = [
    ("update_transformer_parameters", lambda x: x.update_transformer_parameters(1j, 0, 1)),
    ("compute_open_circuit_parameters", lambda x: x.compute_open_circuit_parameters(1, 1, 1)),
    ("compute_short_circuit_parameters", lambda x: x.compute_short_circuit_parameters(1, 1, 1)),
]


@pytest.mark.parametrize("type_name, method, call", [
    *[("CyElement", m, c) for m, c in ABSTRACT_CALLS],
    *[("CyBranch", m, c) for m, c in ABSTRACT_CALLS + BRANCH_CALLS],
    *[("CyTransformer", m, c) for m, c in TRANSFORMER_CALLS],
])
def test_methods_refuse_instances_of_abstract_types(type_name, method, call):
    instance = getattr(ohmweave, type_name)()
    with pytest.raises(TypeError) as caught:
        call(instance)
    assert str(caught.value) == (f"{method}() called on an instance of the abstract type "
                                 f"meshvolt.ohmweave.{type_name}, which holds no engine object")
    assert len(module_entries(caught.value)) == 1


def test_python_subclasses():
    class Bus(ohmweave.CyBus):
        pass

    bus = Bus(2, carray(1, 2))
    bus.label = "feeder head"
    assert bus.get_potentials(2).tolist() == [1, 2] and bus.label == "feeder head"
    assert Bus(n=1, potentials=ONE).get_potentials(1).tolist() == [1]
    assert Bus.__mro__[1:] == ohmweave.CyBus.__mro__

    class Switch(ohmweave.CySwitch):
        pass

    switch = Switch(2)
    switch.tag = 3
    assert [side.shape for side in switch.get_side_potentials(2, 2)] == [(2,), (2,)]


def test_a_subclass_initialiser_receives_the_constructor_arguments():
    class Recorded(ohmweave.CyBus):
        def __init__(self, n, potentials):
            self.n = n

    assert Recorded(1, ONE).n == 1

    class Extended(ohmweave.CyBus):
        def __init__(self, n, potentials, name):
            self.name = name

    with pytest.raises(TypeError) as caught:
        Extended(1, ONE, "x")
    assert str(caught.value) == "__cinit__() takes exactly 2 positional arguments (3 given)"
    assert module_entries(caught.value) == ["meshvolt.ohmweave.CyBus.__cinit__"]


def test_abstract_python_subclasses_are_refused_by_object():
    class Partial(ohmweave.CyBus, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def missing(self):
            pass

    with pytest.raises(TypeError, match="abstract"):
        Partial(1, ONE)


def test_subclasses_of_abstract_types_hold_no_element():
    class Custom(ohmweave.CyElement):
        pass

    with pytest.raises(TypeError, match=r"^get_potentials\(\) called on an instance of the abstract type"):
        Custom(1, 2).get_potentials(1)


def test_destruction_leaves_a_pending_exception_unchanged():
    class Pairs:
        """Holds the last reference to a bus, released while the connect error is pending."""

        def __init__(self):
            self.bus = ohmweave.CyBus(1, ONE)

        def __iter__(self):
            return iter([(0, 0, 0)])

    a = ohmweave.CyBus(1, ONE)
    with pytest.raises(ValueError) as caught:
        a.connect(ohmweave.CyBus(1, ONE), Pairs())
    assert str(caught.value) == "too many values to unpack (expected 2)"


def test_deleting_joined_elements_leaves_the_others_working():
    survivor = ohmweave.CyBus(2, carray(5, 6))
    reference = ohmweave.CyPotentialRef()
    for _ in range(200):
        joined = ohmweave.CyBus(2, carray(7, 8))
        survivor.connect(joined, [(0, 0), (1, 1)])
        reference.connect(joined, [(0, 1)])
        del joined
    gc.collect()
    # The node of the survivor's port 0 lists only the ports still alive.
    assert survivor.get_potentials(2).tolist() == [5, 0]
    assert reference.get_current() == 0
    late = ohmweave.CyBus(2, carray(9, 9))
    survivor.connect(late, [(0, 0), (1, 1)])
    assert late.get_potentials(2).tolist() == [5, 0]


def test_types_may_be_subclassed_and_carry_the_version_tag_flag():
    base_type, version_tag = 1 << 10, 1 << 18
    for name in ("CyElement", "CyBus", "CyLoad", "CyElectricalNetwork", "CyNewton"):
        flags = getattr(ohmweave, name).__flags__
        assert flags & base_type and flags & version_tag, name


def test_methods_are_collected_objects():
    # The free-threaded interpreter defers reference counting only for objects the collector tracks.
    assert gc.is_tracked(ohmweave.CyElement.__dict__["get_potentials"])
