"""Newton load flow of one radial three-phase feeder in meshvolt, power-grid-model and OpenDSS.

The feeder: a source of 400 V (line to line) behind a negligible impedance, then N sections of a
three-wire line (the Kron reduction of a four-wire cable, no shunt admittance), each ending at a
bus with an unbalanced star constant-power load whose neutral is grounded. The physical feeder is
the same for every N (1 km and 90 kW in all, cut into N sections), so the voltage profile and the
iteration counts stay the same. Load powers are drawn with a fixed seed.

For each N the script first checks that the three tools give the same voltage at every bus and
phase, after the first solve and after a repeated solve with new load powers; then it times each
tool's model build, first solve (solver creation included) and repeated solve (writing the new
load powers, then solving), interleaving the tools' trials, and prints the medians, the ratios
against each peer and the growth from one N to the next.

The peers are optional benchmark dependencies:

    .venv/bin/pip install power-grid-model opendssdirect.py     (the package's `bench` extra)
    .venv/bin/python bench/peer_comparison.py [--cpu] [N ...]

With --cpu the figures are the CPU time of the calling thread instead of wall-clock time: on a
machine that other jobs load, the time a tool waits for a core then stays out of its figures (each
of the three tools computes on the calling thread).
"""

import cmath
import math
import statistics
import sys
import time

import numpy as np

from meshvolt import ohmweave

U_LINE = 400.0
U_PHASE = U_LINE / math.sqrt(3.0)
A = cmath.exp(-2j * math.pi / 3)
PHASES = np.array([U_PHASE, U_PHASE * A, U_PHASE * A * A], dtype=np.complex128)
FEEDER_KM = 1.0
FEEDER_KW = 90.0
NEW_POWER_FACTOR = 1.2
TOLERANCE_A = 1e-6  # meshvolt: current mismatch in amperes
TOLERANCE_PU = 1e-9  # power-grid-model: voltage change in p.u.; OpenDSS: its own p.u. tolerance
MAX_ITERATIONS = 30


# --- the feeder's data, shared by the three tools -------------------------------------------------

def kron_reduced_impedance():
    """3×3 phase impedance (Ω/km) of a four-wire cable whose neutral is eliminated (Kron)."""
    z = np.full((4, 4), 0.05j, dtype=np.complex128)
    np.fill_diagonal(z, 0.2 + 0.08j)
    return z[:3, :3] - np.outer(z[:3, 3], z[3, :3]) / z[3, 3]


class Feeder:
    def __init__(self, n_buses):
        self.n = n_buses
        self.z = kron_reduced_impedance() * FEEDER_KM / n_buses  # Ω per section
        rng = np.random.default_rng(12345)
        mean_w = FEEDER_KW * 1e3 / n_buses / 3
        p = mean_w * rng.uniform(0.5, 1.5, (n_buses, 3))
        q = 0.3 * p * rng.uniform(0.0, 1.0, (n_buses, 3))
        self.powers = p + 1j * q  # VA per phase, shape (N, 3)


# --- meshvolt -------------------------------------------------------------------------------------

class Meshvolt:
    name = "meshvolt"

    def build(self, feeder):
        source = ohmweave.CyVoltageSource(4, PHASES)
        earth = ohmweave.CyPotentialRef()  # one node at 0 V: the source's and the loads' neutrals
        earth.connect(source, [(0, 3)])
        elements = [source, earth]
        self.buses, self.loads = [], []
        upstream, z, phases = source, feeder.z.reshape(-1), [(k, k) for k in range(3)]
        for k in range(feeder.n):
            line = ohmweave.CySimplifiedLine(3, z)
            bus = ohmweave.CyBus(3, PHASES)
            load = ohmweave.CyPowerLoad(4, feeder.powers[k])
            line.connect_side(upstream, phases, True)
            line.connect_side(bus, phases, False)
            bus.connect(load, phases)
            earth.connect(load, [(0, 3)])
            elements += [line, bus, load]
            self.buses.append(bus)
            self.loads.append(load)
            upstream = bus
        self.network = ohmweave.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))

    def first_solve(self):
        self.solver = ohmweave.CyNewton(self.network, True)
        return self._solve()

    def repeated_solve(self, powers):
        for load, s in zip(self.loads, powers):
            load.update_powers(s)
        return self._solve()

    def _solve(self):
        iterations, residual = self.solver.solve_load_flow(MAX_ITERATIONS, TOLERANCE_A)
        if not residual <= TOLERANCE_A:
            raise RuntimeError(f"meshvolt did not converge: residual {residual:.3e} A")
        return iterations

    def voltages(self):
        return np.array([bus.get_potentials(3) for bus in self.buses])

    def release(self):
        self.solver = self.network = None
        self.buses = self.loads = None


# --- power-grid-model -----------------------------------------------------------------------------

class PowerGridModel:
    name = "power-grid-model"

    def __init__(self):
        import power_grid_model as pgm

        self.pgm = pgm

    def build(self, feeder):
        pgm, n = self.pgm, feeder.n
        node = pgm.initialize_array("input", "node", n + 1)
        node["id"] = np.arange(n + 1)
        node["u_rated"] = U_LINE
        line = pgm.initialize_array("input", "asym_line", n)
        line["id"] = n + 1 + np.arange(n)
        line["from_node"] = np.arange(n)
        line["to_node"] = np.arange(1, n + 1)
        line["from_status"] = 1
        line["to_status"] = 1
        for i, j, in ((0, 0), (1, 0), (1, 1), (2, 0), (2, 1), (2, 2)):
            line[f"r_{'abc'[i]}{'abc'[j]}"] = feeder.z[i, j].real
            line[f"x_{'abc'[i]}{'abc'[j]}"] = feeder.z[i, j].imag
        line["c0"] = 0.0
        line["c1"] = 0.0
        load = pgm.initialize_array("input", "asym_load", n)
        load["id"] = 2 * n + 1 + np.arange(n)
        load["node"] = np.arange(1, n + 1)
        load["status"] = 1
        load["type"] = pgm.LoadGenType.const_power
        load["p_specified"] = feeder.powers.real
        load["q_specified"] = feeder.powers.imag
        source = pgm.initialize_array("input", "source", 1)
        source["id"] = 3 * n + 1
        source["node"] = 0
        source["status"] = 1
        source["u_ref"] = 1.0
        source["u_ref_angle"] = 0.0
        source["sk"] = 1e20  # a stiff source, as in the other two tools
        self.load_ids = load["id"].copy()
        self.model = pgm.PowerGridModel({"node": node, "asym_line": line, "asym_load": load,
                                         "source": source})

    def first_solve(self):
        return self._solve()

    def repeated_solve(self, powers):
        update = self.pgm.initialize_array("update", "asym_load", len(self.load_ids))
        update["id"] = self.load_ids
        update["p_specified"] = powers.real
        update["q_specified"] = powers.imag
        self.model.update(update_data={"asym_load": update})
        return self._solve()

    def _solve(self):
        self.result = self.model.calculate_power_flow(
            symmetric=False, error_tolerance=TOLERANCE_PU, max_iterations=MAX_ITERATIONS,
            calculation_method=self.pgm.CalculationMethod.newton_raphson)
        return None  # the number of iterations is not reported

    def voltages(self):
        node = self.result["node"]
        return (node["u"] * np.exp(1j * node["u_angle"]))[1:]

    def release(self):
        self.model = self.result = None


# --- OpenDSS --------------------------------------------------------------------------------------

class OpenDss:
    name = "OpenDSS"

    def __init__(self):
        import opendssdirect

        self.dss = opendssdirect

    def build(self, feeder):
        dss, z = self.dss, feeder.z

        def matrix(values):
            return "[" + " | ".join(" ".join(f"{values[i, j]:.17g}" for j in range(i + 1))
                                    for i in range(3)) + "]"

        run = dss.Text.Command
        run("clear")
        run(f"new circuit.feeder basekv={U_LINE / 1e3} pu=1 angle=0 phases=3 bus1=b0 "
            "r1=0 x1=1e-12 r0=0 x0=1e-12")
        run(f"new linecode.section nphases=3 units=none rmatrix={matrix(z.real)} "
            f"xmatrix={matrix(z.imag)} cmatrix=[0 | 0 0 | 0 0 0]")
        kv = U_PHASE / 1e3
        for k in range(1, feeder.n + 1):
            run(f"new line.l{k} bus1=b{k - 1} bus2=b{k} phases=3 linecode=section length=1 "
                "units=none")
            for p in range(3):
                s = feeder.powers[k - 1, p]
                run(f"new load.d{k}_{p} bus1=b{k}.{p + 1}.0 phases=1 kv={kv:.17g} "
                    f"kw={s.real / 1e3:.17g} kvar={s.imag / 1e3:.17g} model=1 vminpu=0.1 vmaxpu=2")
        run(f"set voltagebases=[{U_LINE / 1e3}]")
        run("calcvoltagebases")
        run(f"set tolerance={TOLERANCE_PU} maxiterations={MAX_ITERATIONS}")

    def first_solve(self):
        return self._solve()

    def repeated_solve(self, powers):
        loads = self.dss.Loads
        flat = powers.reshape(-1) / 1e3
        index = loads.First()
        k = 0
        while index > 0:
            loads.kW(flat[k].real)
            loads.kvar(flat[k].imag)
            k += 1
            index = loads.Next()
        return self._solve()

    def _solve(self):
        self.dss.Solution.Solve()
        if not self.dss.Solution.Converged():
            raise RuntimeError("OpenDSS did not converge")
        return self.dss.Solution.Iterations()

    def voltages(self):
        values = np.asarray(self.dss.Circuit.AllBusVolts())
        names = self.dss.Circuit.AllNodeNames()
        by_name = dict(zip(names, values[0::2] + 1j * values[1::2]))
        n = len(names) // 3 - 1
        return np.array([[by_name[f"b{k}.{p + 1}"] for p in range(3)] for k in range(1, n + 1)])

    def release(self):
        self.dss.Text.Command("clear")


# --- measuring ------------------------------------------------------------------------------------

clock = time.perf_counter


def timed(function):
    start = clock()
    result = function()
    return result, clock() - start


def check_agreement(feeder, tools):
    """Solves with each tool twice (the feeder's powers, then the new ones) and prints the largest
    voltage difference of each peer from meshvolt."""
    new_powers = feeder.powers * NEW_POWER_FACTOR
    solved = []
    for tool in tools:
        tool.build(feeder)
        first = tool.first_solve()
        v_first = tool.voltages()
        repeated = tool.repeated_solve(new_powers)
        solved.append((tool, first, repeated, v_first, tool.voltages()))
        tool.release()
    reference = solved[0]
    drop = np.abs(PHASES - reference[4]).max()
    print(f"N={feeder.n}: largest voltage drop {drop:.2f} V; iterations (first, repeated): "
          + ", ".join(f"{tool.name} {first}, {repeated}" for tool, first, repeated, _, _ in solved))
    for tool, _, _, v_first, v_repeated in solved[1:]:
        gap = max(np.abs(v_first - reference[3]).max(), np.abs(v_repeated - reference[4]).max())
        print(f"    largest |V_meshvolt - V_{tool.name}| = {gap:.1e} V")


FIGURES = ("build", "first solve", "repeated solve")


def time_tools(feeder, tools, trials):
    """Median seconds of each figure for each tool, over trials whose tool order rotates."""
    new_powers = feeder.powers * NEW_POWER_FACTOR
    samples = {tool.name: {figure: [] for figure in FIGURES} for tool in tools}
    for trial in range(trials):
        for tool in tools[trial % len(tools):] + tools[:trial % len(tools)]:
            row = samples[tool.name]
            tool.release()  # the previous trial's model goes outside the timed steps
            row["build"].append(timed(lambda: tool.build(feeder))[1])
            row["first solve"].append(timed(tool.first_solve)[1])
            row["repeated solve"].append(timed(lambda: tool.repeated_solve(new_powers))[1])
    return {name: {figure: statistics.median(values) for figure, values in row.items()}
            for name, row in samples.items()}


def print_table(n, medians):
    names = list(medians)
    print(f"N={n} (medians, ms; ratio = meshvolt / peer)")
    print(f"    {'':<16}" + "".join(f"{name:>18}" for name in names)
          + "".join(f"{'/ ' + name:>20}" for name in names[1:]))
    for figure in FIGURES:
        mine = medians[names[0]][figure]
        line = f"    {figure:<16}"
        line += "".join(f"{medians[name][figure] * 1e3:>18.3f}" for name in names)
        line += "".join(f"{mine / medians[name][figure]:>20.2f}" for name in names[1:])
        print(line)


def print_growth(results):
    sizes = sorted(results)
    for small, large in zip(sizes, sizes[1:]):
        print(f"growth time(N={large}) / time(N={small})")
        for name in results[small]:
            growth = {f: results[large][name][f] / results[small][name][f] for f in FIGURES}
            ratios = "".join(f"{figure + ' ':>17}{growth[figure]:>6.1f}" for figure in FIGURES)
            print(f"    {name:<18}{ratios}")


def main():
    global clock
    arguments = sys.argv[1:]
    if "--cpu" in arguments:
        arguments.remove("--cpu")
        clock = time.thread_time
    sizes = [int(a) for a in arguments] or [100, 1000, 10000]
    cpu = clock is time.thread_time
    print("times:", "CPU time of the calling thread" if cpu else "wall-clock time")
    tools = [Meshvolt(), PowerGridModel(), OpenDss()]
    results = {}
    for n in sizes:
        feeder = Feeder(n)
        check_agreement(feeder, tools)
        results[n] = time_tools(feeder, tools, trials=3 if n >= 10000 else 7)
        print_table(n, results[n])
    print_growth(results)


if __name__ == "__main__":
    main()
