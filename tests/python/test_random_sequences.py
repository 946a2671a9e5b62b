"""Seeded random sequences of creating, joining, leaving and deleting elements of every kind, with
networks and solvers made, solved, kept and dropped in between and garbage collection at random
points. Nothing may read freed memory (the sanitizer run checks it), and every solve that reports
success must leave finite potentials and Kirchhoff's current law holding at every node.

The test keeps its own model of the nodes, made by the joining rules: joining merges the second
node into the first (its members move, in order; the absorbed node keeps none), leaving and
destruction take a port out of its node's member list, and a potential reference grounds its node.
Kirchhoff's law is checked on that model: the currents of the member ports of every free node of
the solved network sum to zero."""

import gc
import itertools
import random
from types import SimpleNamespace

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import carray, iarray

SEEDS = range(12)
STEPS = 70

A = np.exp(-2j * np.pi / 3)  # phase rotation


def phases(magnitude, count):
    return carray(*[magnitude * A ** k for k in range(count)])


def line_matrix(n, diagonal, coupling):
    return carray(*[diagonal if i == j else coupling for i in range(n) for j in range(n)])


# kind name: (maker taking a random generator and returning (element, port count, branch conductor
# count or 0)). Port counts: a one-sided element has its phases then its neutral; a branch has
# side 1, then side 2, then (shunt line) the common node of its shunt admittances.
KINDS = {
    "bus": lambda r: (lambda n: (ohmweave.CyBus(n, phases(230, n)), n, 0))(r.randint(1, 4)),
    "ground": lambda r: (ohmweave.CyGround(), 1, 0),
    "potential reference": lambda r: (ohmweave.CyPotentialRef(), 1, 0),
    "delta potential reference": lambda r: (ohmweave.CyDeltaPotentialRef(3), 3, 0),
    "voltage source": lambda r: (lambda n: (ohmweave.CyVoltageSource(n, phases(230, n - 1)), n, 0))(
        r.randint(2, 4)),
    "delta voltage source": lambda r: (ohmweave.CyDeltaVoltageSource(3, phases(400, 2)), 3, 0),
    "switch": lambda r: (lambda n: (ohmweave.CySwitch(n), 2 * n, n))(r.randint(1, 3)),
    "open switch": lambda r: (lambda n: (ohmweave.CyOpenSwitch(n), 2 * n, n))(r.randint(1, 3)),
    "simplified line": lambda r: (lambda n: (
        ohmweave.CySimplifiedLine(n, line_matrix(n, 0.2 + 0.1j, 0.05j)), 2 * n, n))(r.randint(1, 3)),
    "shunt line": lambda r: (lambda n: (
        ohmweave.CyShuntLine(n, line_matrix(n, 2e-5j, -5e-6j), line_matrix(n, 0.2 + 0.1j, 0.05j)),
        2 * n + 1, n))(r.randint(1, 3)),
    "power load": lambda r: (lambda n: (
        ohmweave.CyPowerLoad(n, carray(*[1000 + 300j] * (n - 1))), n, 0))(r.randint(2, 4)),
    "delta power load": lambda r: (ohmweave.CyDeltaPowerLoad(3, carray(*[900 + 200j] * 3)), 3, 0),
    "admittance load": lambda r: (lambda n: (
        ohmweave.CyAdmittanceLoad(n, carray(*[0.02 - 0.01j] * (n - 1))), n, 0))(r.randint(2, 4)),
    "delta admittance load": lambda r: (
        ohmweave.CyDeltaAdmittanceLoad(3, carray(*[0.01 - 0.002j] * 3)), 3, 0),
    "current load": lambda r: (lambda n: (
        ohmweave.CyCurrentLoad(n, carray(*[4 - 1j] * (n - 1))), n, 0))(r.randint(2, 4)),
    "delta current load": lambda r: (ohmweave.CyDeltaCurrentLoad(3, carray(*[2 + 0.5j] * 3)), 3, 0),
    "load balancer": lambda r: (ohmweave.CyLoadBalancer(0.05 + 0.02j, 0.001 - 0.01j, 1.0), 4, 0),
    "flexible load": lambda r: (lambda n: (
        ohmweave.CyFlexibleLoad(n, carray(*[1000 + 300j] * (n - 1)),
                                flexible_parameters(n - 1)), n, 0))(r.randint(2, 4)),
    "delta flexible load": lambda r: (
        ohmweave.CyDeltaFlexibleLoad(3, carray(*[900 + 200j] * 3), flexible_parameters(3)), 3, 0),
    "single-phase transformer": lambda r: (ohmweave.CySingleTransformer(0.1 + 0.2j, 1e-5, 1), 4, 2),
    # Sides of unequal sizes join through connect only.
    "centre-tapped transformer": lambda r: (ohmweave.CyCenterTransformer(0.1 + 0.2j, 1e-5, 1), 5, 0),
    "three-phase transformer": lambda r: (ohmweave.CyThreePhaseTransformer(
        3, 4, "D", "y", 0.1 + 0.2j, 1e-5, 400 / 690, 11), 7, 0),
    # Port 3 starts in port 1's node (see Sequence.add).
    "voltage regulator": lambda r: (
        ohmweave.CySingleVoltageRegulator(0.02 + 0.05j, 1e-4, 230, 0.1, 100, 0), 4, 2),
}


def flexible_parameters(count):
    """One q_u parameter shared by every phase, as the loads' Python objects keep it alive."""
    control = lambda kind: ohmweave.CyControl(kind, 210.0, 220.0, 240.0, 250.0, 100.0, 1e-6)
    shared = ohmweave.CyFlexibleParameter(control("constant"), control("q_u"),
                                          ohmweave.CyProjection("euclidean", 100.0, 1e-6),
                                          5000.0, -1000.0, 1000.0)
    return np.array([shared] * count, dtype=object)

SOLVERS = {
    "Newton": lambda network: ohmweave.CyNewton(network, False),
    "Newton, optimised tape": lambda network: ohmweave.CyNewton(network, True),
    "Newton-Goldstein": lambda network: ohmweave.CyNewtonGoldstein(network, False, 0.1, 0.9, True),
    "backward-forward": lambda network: ohmweave.CyBackwardForward(network),
}
TOLERANCE = {"backward-forward": 1e-10}  # volts; the Newton solvers' is in amperes
NEWTON_TOLERANCE = 1e-9


class Nodes:
    """The model of the nodes: port (element id, index) -> node, node -> ordered member list."""

    def __init__(self):
        self.node_of = {}

    def add(self, key, count, grounded):
        for p in range(count):
            self.node_of[(key, p)] = SimpleNamespace(members=[(key, p)], grounded=grounded)

    def merge(self, survivor, absorbed):
        if survivor is absorbed:
            return
        survivor.grounded = survivor.grounded or absorbed.grounded
        for port in absorbed.members:
            self.node_of[port] = survivor
        survivor.members += absorbed.members
        absorbed.members = []

    def join(self, a, i, b, j):
        """The node of port (a, i) absorbs the node of port (b, j)."""
        self.merge(self.node_of[(a, i)], self.node_of[(b, j)])

    def leave(self, key, count):
        for p in range(count):
            members = self.node_of[(key, p)].members
            if (key, p) in members:
                members.remove((key, p))


class Session:
    def __init__(self, seed):
        self.r = random.Random(seed)
        self.nodes = Nodes()
        self.keys = itertools.count()
        self.pool = []       # element records the session holds by name
        self.networks = []   # networks kept: network, its element records, topology version
        self.solvers = []    # solvers kept, oldest first: solver, its method, its network record
        self.alive = {}      # key -> kind and port count of every element still alive
        self.topology = 0    # changes at every creation, join, leave and destruction
        self.successes = 0
        # A fed four-wire bus to start from: source phases on the bus, neutral the reference.
        bus = self.add("bus", ohmweave.CyBus(4, carray(*phases(230, 3), 0)), 4, 0)
        source = self.add("voltage source", ohmweave.CyVoltageSource(4, phases(230, 3)), 4, 0)
        reference = self.add("potential reference", ohmweave.CyPotentialRef(), 1, 0)
        for k in range(4):
            self.join(bus, k, source, k, how=0.5)
        self.join(bus, 3, reference, 0, how=0.5)

    # --- elements ------------------------------------------------------------------------------

    def add(self, kind, element, count, conductors):
        record = SimpleNamespace(element=element, count=count, conductors=conductors, kind=kind,
                                 key=next(self.keys))
        self.nodes.add(record.key, count, kind == "potential reference")
        self.alive[record.key] = SimpleNamespace(kind=kind, count=count)
        self.topology += 1
        self.pool.append(record)
        if kind == "voltage regulator":
            self.nodes.join(record.key, 1, record.key, 3)
        return record

    def create(self):
        kind = self.r.choice(list(KINDS))
        existing = list(self.pool)
        record = self.add(kind, *KINDS[kind](self.r))
        # Most of its ports join ports of elements already there, mostly keeping their potentials,
        # so that some networks solve.
        for port in range(record.count):
            if existing and self.r.random() < 0.85:
                self.join(record, port, self.r.choice(existing), None,
                          how=self.r.choice([None, 0.5, 0.9, 0.9]))

    def join(self, a, i, b, j, how=None):
        """Joins port i of a with port j of b (a random port when None) by one of the three
        joining operations, chosen by `how` in [0, 1) (random when None): connect_side of a branch
        below 0.3, a.connect(b) below 0.65, b.connect(a) above."""
        j = self.r.randrange(b.count) if j is None else j
        how = self.r.random() if how is None else how
        if a.conductors and how < 0.3 and i < 2 * a.conductors:
            beginning = i < a.conductors
            a.element.connect_side(b.element, [(i % a.conductors, j)], beginning)
            self.nodes.join(b.key, j, a.key, i)
        elif how < 0.65:
            a.element.connect(b.element, [(i, j)])
            self.nodes.join(a.key, i, b.key, j)
        else:
            b.element.connect(a.element, [(j, i)])
            self.nodes.join(b.key, j, a.key, i)
        self.topology += 1

    def connect(self):
        if len(self.pool) >= 2:
            a, b = self.r.sample(self.pool, 2)
            self.join(a, self.r.randrange(a.count), b, None)

    def connect_ports(self):
        if self.pool:
            a = self.r.choice(self.pool)
            indices = [self.r.randrange(a.count) for _ in range(self.r.randint(1, 3))]
            a.element.connect_ports(iarray(*indices))
            for k in indices[1:]:
                self.nodes.join(a.key, indices[0], a.key, k)
            self.topology += 1

    def disconnect(self):
        if self.pool:
            a = self.r.choice(self.pool)
            a.element.disconnect()
            self.nodes.leave(a.key, a.count)
            self.topology += 1

    def delete(self):
        if self.pool:
            del self.pool[self.r.randrange(len(self.pool))]
            self.bury()

    def bury(self):
        """Takes the elements that nothing holds any more out of the model's nodes: their wrappers
        have just been destroyed, and with them their ports."""
        held = {record.key for record in self.live_records()}
        for key in [key for key in self.alive if key not in held]:
            self.nodes.leave(key, self.alive.pop(key).count)
            self.topology += 1

    def live_records(self):
        """The records of every live element: held by name or through a kept network."""
        records = {record.key: record for record in self.pool}
        for network in self.networks + [s.network for s in self.solvers]:
            records.update((record.key, record) for record in network.records)
        return list(records.values())

    # --- networks and solvers ------------------------------------------------------------------

    def solve_new(self):
        """A network of every live element, in random order, and a solver on it."""
        records = self.live_records()
        if not records:
            return
        self.r.shuffle(records)
        elements = np.array([record.element for record in records], dtype=object)
        network = SimpleNamespace(
            network=ohmweave.CyElectricalNetwork(elements, len(records)), records=records,
            topology=self.topology)
        method = self.r.choice(list(SOLVERS))
        try:
            solver = SOLVERS[method](network.network)
        except RuntimeError as error:
            assert str(error)[:2] in ("1 ", "2 "), error
            return
        record = SimpleNamespace(solver=solver, method=method, network=network)
        if self.r.random() < 0.5:
            self.networks.append(network)
        self.solvers.append(record)
        self.solve(record)

    def solve_again(self):
        if self.solvers:
            self.solve(self.r.choice(self.solvers))

    def solve(self, record):
        newton = record.method != "backward-forward"
        tolerance = NEWTON_TOLERANCE if newton else TOLERANCE[record.method]
        try:
            iterations, residual = record.solver.solve_load_flow(30 if newton else 200, tolerance)
        except RuntimeError as error:
            assert str(error)[:2] in ("1 ", "2 "), error
            return
        # Every network holds every live element, so the elements show the results of the newest
        # solver kept; and only a network built on the present topology has the model's nodes.
        newest = self.solvers[-1] is record
        if residual <= tolerance and newest and record.network.topology == self.topology:
            self.check_kirchhoff(record.network, newton)
            self.successes += 1

    def check_kirchhoff(self, network, newton):
        currents = {}
        for record in network.records:
            potentials = record.element.get_potentials(record.count)
            assert np.all(np.isfinite(potentials)), record.kind
            for p, current in enumerate(record.element.get_currents(record.count)):
                currents[(record.key, p)] = current
        seen = set()
        for record in network.records:
            for p in range(record.count):
                node = self.nodes.node_of[(record.key, p)]
                if id(node) in seen or node.grounded or not node.members:
                    continue
                seen.add(id(node))
                flows = [currents[member] for member in node.members]
                scale = 1.0 + sum(abs(flow) for flow in flows)
                assert abs(sum(flows)) <= (1e-7 if newton else 1e-5) * scale, (
                    [self.alive[key].kind for key, _ in node.members], flows)

    def drop_solver(self):
        if self.solvers:
            del self.solvers[self.r.randrange(len(self.solvers))]
            self.bury()

    def drop_network(self):
        if self.networks:
            del self.networks[self.r.randrange(len(self.networks))]
            self.bury()

    def read_everything(self):
        """Reads every live element and every kept solver: reads through bindings must never reach
        a freed vector."""
        for record in self.live_records():
            record.element.get_potentials(record.count)
            record.element.get_currents(record.count)
        for record in self.solvers:
            record.solver.get_variables()

    def collect(self):
        gc.collect()


OPERATIONS = [
    (Session.create, 6), (Session.connect, 3), (Session.connect_ports, 1), (Session.disconnect, 1),
    (Session.delete, 2), (Session.solve_new, 4), (Session.solve_again, 2),
    (Session.drop_solver, 2), (Session.drop_network, 1), (Session.read_everything, 1),
    (Session.collect, 1),
]


@pytest.mark.parametrize("seed", SEEDS)
def test_random_sequences_keep_memory_sound_and_solves_honest(seed):
    session = Session(seed)
    operations, weights = zip(*OPERATIONS)
    for _ in range(STEPS):
        session.r.choices(operations, weights)[0](session)
    session.read_everything()
    del session
    gc.collect()


def test_random_sequences_reach_successful_solves():
    """The sequences are not all failures: enough of them solve for Kirchhoff's law to be tested."""
    successes = 0
    for seed in SEEDS:
        session = Session(seed)
        operations, weights = zip(*OPERATIONS)
        for _ in range(STEPS):
            session.r.choices(operations, weights)[0](session)
        successes += session.successes
    assert successes >= 3
