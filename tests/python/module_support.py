"""Helpers of the module tests."""

import cmath
import os
import subprocess
import sys
import tempfile
import textwrap
import traceback
from types import SimpleNamespace

import numpy as np
import pytest

from meshvolt import ohmweave

# The module's abstract types, bases of the elements and of the solvers: an instance of one of
# them holds no engine object.
ABSTRACT_ELEMENT_TYPES = ["CyElement", "CyBranch", "CyLoad", "CyTransformer"]
ABSTRACT_SOLVER_TYPES = ["CyAbstractSolver", "CyAbstractNewton"]


def carray(*values):
    """A complex128 array of the values."""
    return np.array(values, dtype=np.complex128)


def iarray(*values):
    """An int32 array of the values."""
    return np.array(values, dtype=np.int32)


def objects(*items):
    """An object array of the items."""
    return np.array(items, dtype=object)


def traceback_names(error):
    """The function names of the traceback entries of a caught exception, outermost first."""
    return [entry.name for entry in traceback.extract_tb(error.__traceback__)]


def module_entries(error):
    """The traceback entries the module added (their names start with the module's name)."""
    return [name for name in traceback_names(error) if name.startswith("meshvolt.ohmweave.")]


def raises_exactly(error_type, message, call, entry=None):
    """Runs the call, checks the error's type, its whole message and the module's one traceback
    entry (its name when given); returns the error."""
    with pytest.raises(error_type) as caught:
        call()
    assert str(caught.value) == message
    entries = module_entries(caught.value)
    assert len(entries) == 1, entries
    if entry is not None:
        assert entries == ["meshvolt.ohmweave." + entry]
    return caught.value


def run_python(code, *options):
    """Runs code in a fresh interpreter, outside the checkout; returns the completed process."""
    with tempfile.TemporaryDirectory() as folder:
        return subprocess.run(
            [sys.executable, *options, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            cwd=folder,
            env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"},
            timeout=300,
        )


def balanced(magnitude, shift=0.0):
    """Phases a, b, c of a positive-sequence set of the magnitude, phase a at the shift (rad): b
    lags a by 120°, c leads it by 120°."""
    return [cmath.rect(magnitude, shift - 2 * cmath.pi * k / 3) for k in range(3)]


def network_of(elements):
    """A network of the elements, in their order."""
    return ohmweave.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))


def star_supply(voltages):
    """A star source with its neutral on a reference node, and a bus on all its ports that starts at
    its voltages; loads joined to the bus see exactly those voltages once solved."""
    n = len(voltages) + 1
    source = ohmweave.CyVoltageSource(n, carray(*voltages))
    reference = ohmweave.CyPotentialRef()
    reference.connect(source, [(0, n - 1)])
    bus = ohmweave.CyBus(n, carray(*voltages, 0))
    bus.connect(source, [(k, k) for k in range(n)])
    return [source, reference, bus], bus


def single_phase_circuit(power, z, tail_start=230.0):
    """Source U = 230 V on a head bus (phase, neutral), its neutral the potential reference, a line
    of impedance z to a tail bus that starts at tail_start, and a constant-power load between the
    tail and the head neutral: the elements by name and as `elements`, listed upstream first
    [head, source, reference, line, tail, load]."""
    head = ohmweave.CyBus(2, carray(230, 0))
    source = ohmweave.CyVoltageSource(2, carray(230))
    reference = ohmweave.CyPotentialRef()
    line = ohmweave.CySimplifiedLine(1, carray(z))
    tail = ohmweave.CyBus(1, carray(tail_start))
    load = ohmweave.CyPowerLoad(2, carray(power))
    head.connect(source, [(0, 0), (1, 1)])
    head.connect(reference, [(1, 0)])
    line.connect_side(head, [(0, 0)], True)
    line.connect_side(tail, [(0, 0)], False)
    tail.connect(load, [(0, 0)])
    head.connect(load, [(1, 1)])
    return SimpleNamespace(head=head, source=source, reference=reference, line=line, tail=tail,
                           load=load, elements=[head, source, reference, line, tail, load])


def solve_newton(elements):
    """A Newton solver on a network of the elements, solved to a tight tolerance."""
    network = ohmweave.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
    solver = ohmweave.CyNewton(network, False)
    iterations, residual = solver.solve_load_flow(20, 1e-10)
    assert residual <= 1e-10
    return network, solver


def load_voltage(u, z, s):
    """The voltage at a constant-power load S fed from U through z:
    V = U − z·I, I = conj(S / V)  ⇒  V·conj(V) − U·conj(V) + z·conj(S) = 0. With
    V = e^(j·arg U)·(x + jy) and w = z·conj(S): y = −Im w / |U| and the upper root
    x = (|U| + sqrt(|U|² − 4·(y² + Re w))) / 2."""
    w = z * np.conj(s)
    m = abs(u)
    y = -w.imag / m
    x = (m + np.sqrt(m * m - 4 * (y * y + w.real))) / 2
    return np.exp(1j * np.angle(u)) * (x + 1j * y)
