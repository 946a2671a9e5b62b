"""The transformer example solves what it claims: the parameters it works out from the nameplate
give the nameplate back in the transformer's own tests, unloaded its LV side shows the rated
voltage leading the HV side by 30°, and loaded its busbar obeys Kirchhoff's and Ohm's laws."""

import cmath
import importlib.util
import math
from pathlib import Path

import numpy as np
import pytest

from meshvolt import ohmweave

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "mv_lv_transformer.py"


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("mv_lv_transformer", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_nameplate_comes_back_from_the_transformer_tests(example):
    (p0, i0), (pk, vsc) = example.nameplate_check()
    assert p0 == pytest.approx(example.P_NO_LOAD, rel=1e-9)
    assert i0 == pytest.approx(example.I_NO_LOAD, rel=1e-9)
    assert vsc == pytest.approx(example.U_SHORT_CIRCUIT, rel=1e-9)
    # The short-circuit test feeds vsc·U_HV: the core takes P_0·vsc² besides the load losses.
    assert pk == pytest.approx(example.P_LOAD_LOSSES + example.P_NO_LOAD * vsc**2, rel=1e-9)


def test_unloaded_every_lv_bus_has_the_rated_voltage_leading_by_30_degrees(example):
    iterations, residual, buses, _ = example.solve(loaded=False)
    assert residual <= 1e-8
    # No LV current flows: no drop in z2 nor in the lines. The HV phases are at 0°, -120°, 120°.
    expected = [cmath.rect(400 / math.sqrt(3), math.radians(30 - 120 * phase)) for phase in range(3)]
    for bus in buses:
        v = bus.get_potentials(4)
        assert v[:3] - v[3] == pytest.approx(expected, abs=1e-6)


def test_loaded_the_busbar_passes_the_transformer_current_into_line_1(example):
    iterations, residual, buses, elements = example.solve()
    assert residual <= 1e-8
    transformer = next(e for e in elements if isinstance(e, ohmweave.CyThreePhaseTransformer))
    line = next(e for e in elements if isinstance(e, ohmweave.CySimplifiedLine))
    lv_currents = transformer.get_side_currents(3, 4)[1]
    line_currents = line.get_side_currents(4, 4)[0]
    # Kirchhoff at the busbar's phases (only the neutral is also earthed there); currents are
    # positive into each element.
    assert np.abs(lv_currents[:3] + line_currents[:3]).max() <= 1e-6
    # Ohm's law along line 1 (0.2 km): V_busbar - V_bus1 = Z·I.
    drop = buses[0].get_potentials(4) - buses[1].get_potentials(4)
    z = example.line_impedance(0.2).reshape(4, 4)
    assert drop == pytest.approx(z @ line_currents, abs=1e-6)
    # The busbar's neutral is the LV reference.
    assert buses[0].get_potentials(4)[3] == 0


def test_the_example_prints_the_parameters_and_the_lv_voltages(example, capsys):
    example.main()
    printed = capsys.readouterr().out
    assert "no-load test: 425.0 W, 1.200 %" in printed
    assert "vsc 4.000 %" in printed
    assert printed.count(" busbar ") == 3
