"""A 120/240 V split-phase service: two single-phase transformers on the same 7.2 kV HV terminals,
their LV windings in series around a grounded centre node, loads on each 120 V half and across the
240 V of the two live phases. The first half has LV terminal a on live phase 1 and b on the centre;
the second half is wired either with a on the grounded centre and b on live phase 2 (ratio k), or
with a on live phase 2 and b on the centre (ratio −k). Both wirings are one circuit,
    V_centre − V_live2 = k·U_hv   ⇔   V_live2 − V_centre = −k·U_hv,
so unloaded the live phases are ±k·U_hv, and loaded every solver must find the same potentials."""

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import carray, network_of

U_HV = 7200.0
K = 120.0 / U_HV
Z2 = 0.0115 + 0.023j  # about 1 % + 2 % on a 12.5 kVA half at 120 V
YM = 2e-6 - 2e-5j

# The second half's ratio and the LV bus ports of its LV terminals a and b
# (bus ports: 0 live phase 1, 1 live phase 2, 2 centre).
WIRINGS = {
    "centre on LV a": (K, (2, 1)),
    "centre on LV b": (-K, (1, 2)),
}

# 120 V halves and the 240 V load: (bus port of the phase, bus port of the return, power).
LOADS = [(0, 2, 3000 + 1000j), (1, 2, 1800 + 400j), (0, 1, 5000 + 1500j)]


def service(wiring, loads):
    """The service's elements upstream first, and its LV bus. The LV bus starts away from the
    answer, so that a node the sweeps never move keeps a potential that shows it."""
    source = ohmweave.CyVoltageSource(2, carray(U_HV))
    hv_reference = ohmweave.CyPotentialRef()
    source.connect(hv_reference, [(1, 0)])
    ratio, (lv_a, lv_b) = WIRINGS[wiring]
    half1 = ohmweave.CySingleTransformer(Z2, YM, K)
    half2 = ohmweave.CySingleTransformer(Z2, YM, ratio)
    lv = ohmweave.CyBus(3, carray(100, -100, 0))
    for half in (half1, half2):
        half.connect_side(source, [(0, 0), (1, 1)], True)
    half1.connect_side(lv, [(0, 0), (1, 2)], False)
    half2.connect_side(lv, [(0, lv_a), (1, lv_b)], False)
    lv_reference = ohmweave.CyPotentialRef()
    lv.connect(lv_reference, [(2, 0)])
    elements = [source, hv_reference, half1, half2, lv, lv_reference]
    for phase, back, power in loads:
        load = ohmweave.CyPowerLoad(2, carray(power))
        lv.connect(load, [(phase, 0), (back, 1)])
        elements.append(load)
    return elements, lv


def sweeps_solution(wiring, loads):
    elements, lv = service(wiring, loads)
    iterations, residual = ohmweave.CyBackwardForward(network_of(elements)).solve_load_flow(
        100, 1e-10)
    assert residual <= 1e-10 and iterations < 100, (iterations, residual)
    return lv.get_potentials(3)


def newton_solution(wiring, loads):
    elements, lv = service(wiring, loads)
    iterations, residual = ohmweave.CyNewton(network_of(elements), False).solve_load_flow(
        20, 1e-9)
    assert residual <= 1e-9 and iterations < 20, (iterations, residual)
    return lv.get_potentials(3)


@pytest.mark.parametrize("solve", [sweeps_solution, newton_solution])
@pytest.mark.parametrize("wiring", WIRINGS)
def test_unloaded_the_live_phases_are_the_ratio_times_the_hv_voltage(wiring, solve):
    # No LV current flows, so no drop: ±k·U_hv = ±120 V, and 240 V between the live phases.
    assert solve(wiring, []) == pytest.approx([120, -120, 0], abs=1e-9)


@pytest.mark.parametrize("wiring", WIRINGS)
def test_the_sweeps_agree_with_newton_on_the_loaded_service(wiring):
    newton = newton_solution(wiring, LOADS)
    assert sweeps_solution(wiring, LOADS) == pytest.approx(newton, rel=1e-8)
    # The loads pull each live phase below 120 V.
    assert np.all(np.abs(newton[:2]) < 120)


def test_both_wirings_of_the_second_half_are_one_circuit():
    first, second = (newton_solution(wiring, LOADS) for wiring in WIRINGS)
    assert first == pytest.approx(second, rel=1e-10)
