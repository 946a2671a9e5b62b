// A solve that reports a residual within its tolerance has found a solution, and every solve can
// be stopped: the plain-number checks on a converged answer (finite values, a voltage source in
// every loaded part, Kirchhoff's current law, for the sweeps every element's currents following
// its law at the final potentials), the sweeps counting what sources and switches move, the
// structurally singular Jacobian, the Goldstein search near a NaN region, NaN values in the
// sweeps, and the per-iteration hook.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "feeder_builders.hpp"
#include "loads/admittance_load.hpp"
#include "loads/current_load.hpp"
#include "loads/power_load.hpp"
#include "model/line.hpp"
#include "model/potential_ref.hpp"
#include "model/shunt_line.hpp"
#include "model/switch.hpp"
#include "model/voltage_source.hpp"
#include "solvers/element_law_check.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const double nan = std::numeric_limits<double>::quiet_NaN();

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// ---------------------------------------------------------------------------------------------
// A single-phase feeder: source U on the head bus (neutral grounded), a line of impedance z (or a
// closed switch) to the tail bus, a constant-power load S there with its neutral on the source's.
// At U = 230 V and S = 5 kVA the load draws about 21.7 A.

enum class Order { upstream_first, line_after_load, reversed };

struct Feeder1 {
    Feeder feeder;
    Bus* head;
    VoltageSource* source;
    Branch* path;
    Bus* tail;
    PowerLoad* load;

    Feeder1(Order order, bool with_switch, Complex u = 230.0, Complex head_start = 230.0) {
        const Complex z(0.1, 0.05);
        const Complex s(5000.0, 0.0);
        const Complex head_values[] = {head_start, 0.0};
        const Complex tail_value = 230.0;
        head = &feeder.add<Bus>(2, head_values);
        source = &feeder.add<VoltageSource>(2, &u);
        PotentialRef& ref = feeder.add<PotentialRef>();
        if (with_switch)
            path = &feeder.add<Switch>(1);
        else
            path = &feeder.add<SimplifiedLine>(1, &z);
        tail = &feeder.add<Bus>(1, &tail_value);
        load = &feeder.add<PowerLoad>(2, &s);
        attach(*head, *source, {0, 1});
        attach(*head, ref, {1});
        path->connect_side(*head, {{0, 0}}, true);
        path->connect_side(*tail, {{0, 0}}, false);
        attach(*tail, *load, {0});
        head->connect(*load, {{1, 1}});
        // Listed upstream first: head, source, ref, path, tail, load.
        auto& list = feeder.elements;
        if (order == Order::line_after_load) list = {list[0], list[1], list[2], list[4], list[5], list[3]};
        if (order == Order::reversed) list = std::vector<Element*>(list.rbegin(), list.rend());
    }
};

TEST(SweepOrder, ElementsListedDownstreamFirstAreNoSolution) {
    struct Case {
        const char* name;
        Order order;
        bool with_switch;
        Complex head_start;
    };
    const Case cases[] = {
        // The line's backward step runs before the load has written its 21.7 A: the first forward
        // sweep changes nothing.
        {"line listed after its load", Order::line_after_load, false, 230.0},
        // The switch copies the head bus's 0 V, not yet written by the source, onto the load.
        {"reversed, through a switch", Order::reversed, true, 0.0},
    };
    for (const Case& c : cases) {
        Feeder1 f(c.order, c.with_switch, 230.0, c.head_start);
        ElectricalNetwork network(f.feeder.elements);
        BackwardForward solver(&network);
        const std::string message = error_message([&] { solver.solve_load_flow(100, 1e-9); });
        EXPECT_TRUE(starts_with(message, "2 ")) << c.name << ": " << message;
    }

    // The first case names the unbalanced node and the likely cause.
    Feeder1 f(Order::line_after_load, false);
    ElectricalNetwork network(f.feeder.elements);
    BackwardForward solver(&network);
    const std::string message = error_message([&] { solver.solve_load_flow(100, 1e-9); });
    EXPECT_TRUE(contains(message, "do not balance")) << message;
    EXPECT_TRUE(contains(message, "not listed upstream first")) << message;
}

TEST(SweepOrder, UpstreamFirstStillConverges) {
    for (bool with_switch : {false, true}) {
        Feeder1 f(Order::upstream_first, with_switch);
        ElectricalNetwork network(f.feeder.elements);
        BackwardForward solver(&network);
        const auto [iterations, change] = solver.solve_load_flow(100, 1e-9);
        EXPECT_LE(change, 1e-9) << with_switch;
        // The load takes its 5 kW at its voltage: U·conj(I) = S.
        const Complex u = f.load->ports[0].connection->get_potential();
        EXPECT_NEAR(std::abs(u * std::conj(f.load->ports[0].current) - Complex(5000.0, 0.0)), 0.0,
                    1e-6)
            << with_switch;
    }
}

TEST(SweepBalance, AnUngroundedShuntCommonNodeIsLeftUnbalanced) {
    // Source 230 V, a pi section (Y = 1e-4j S, Z = 0.2 + 0.1j Ω), a 3 kW load. The sweeps take the
    // common node of the shunt admittances at 0 V: only a grounded one takes their current.
    for (bool grounded : {false, true}) {
        const Complex u = 230.0, y(0.0, 1e-4), z(0.2, 0.1), s(3000.0, 0.0);
        const Complex start[] = {230.0, 0.0};
        Bus head(2, start);
        VoltageSource source(2, &u);
        PotentialRef ref;
        ShuntLine line(1, &y, &z);
        Bus tail(1, &u);
        PowerLoad load(2, &s);
        Ground ground;
        attach(head, source, {0, 1});
        attach(head, ref, {1});
        line.connect_side(head, {{0, 0}}, true);
        line.connect_side(tail, {{0, 0}}, false);
        attach(tail, load, {0});
        head.connect(load, {{1, 1}});
        std::vector<Element*> elements = {&head, &source, &ref, &line, &tail, &load};
        if (grounded) {
            line.connect(ground, {{2, 0}});
            head.connect(ground, {{1, 0}});
            elements.push_back(&ground);
        }
        ElectricalNetwork network(elements);
        BackwardForward solver(&network);
        const std::string message = error_message([&] { solver.solve_load_flow(100, 1e-9); });
        if (grounded) {
            EXPECT_EQ(message, "no exception");
        } else {
            EXPECT_TRUE(contains(message, "the currents at node 3 (port 2 of element 3 "
                                          "(CyShuntLine)) do not balance"))
                << message;
            EXPECT_TRUE(contains(message, "common node of a shunt line")) << message;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// A 230 V single-phase source on a head bus, its neutral on a reference, and a load from a loaded
// node to that neutral: the loaded node is the head's phase node, or a tail node behind a closed
// switch. The loaded node starts at `start`; behind the switch the head starts at 230 V, so that
// only the switch moves the loaded node. An admittance load of 0.1 S carries 0.1·U A at U V.

// A source or a switch whose forward step writes as usual but reports no change: potentials that
// move without the sweeps counting it.
template <class Writer>
class Uncounted : public Writer {
  public:
    using Writer::Writer;
    double forward_step() override {
        Writer::forward_step();
        return 0.0;
    }
};

const Complex load_admittance(0.1, 0.0);
const Complex load_current_setpoint(10.0, -2.0);

enum class LoadKind { admittance, current };

struct LoadOnSource {
    Feeder feeder;
    VoltageSource* source;
    Element* load;

    LoadOnSource(bool behind_switch, Complex start, bool uncounted = false,
                 LoadKind kind = LoadKind::admittance) {
        const Complex u = 230.0;
        const Complex head_start[] = {behind_switch ? u : start, 0.0};
        Bus& head = feeder.add<Bus>(2, head_start);
        source = uncounted && !behind_switch ? &feeder.add<Uncounted<VoltageSource>>(2, &u)
                                             : &feeder.add<VoltageSource>(2, &u);
        attach(head, *source, {0, 1});
        attach(head, feeder.add<PotentialRef>(), {1});
        Bus* loaded = &head;
        if (behind_switch) {
            Switch& closed = uncounted ? feeder.add<Uncounted<Switch>>(1) : feeder.add<Switch>(1);
            loaded = &feeder.add<Bus>(1, &start);
            testing::link(closed, head, *loaded);
        }
        if (kind == LoadKind::admittance)
            load = &feeder.add<AdmittanceLoad>(2, &load_admittance);
        else
            load = &feeder.add<CurrentLoad>(2, &load_current_setpoint);
        attach(*loaded, *load, {0});
        head.connect(*load, {{1, 1}});
        // Listed: head, source, reference, [switch, tail,] load.
    }
};

// The sweeps go on while a source or a closed switch moves a node, so the load ends with the
// current of the final voltage: the first sweep draws it at the starting potential, the second at
// the source's voltage and moves nothing. A network already at its voltages takes one sweep.
TEST(SweepChange, SourcesAndSwitchesCountWhatTheyMove) {
    struct Case {
        const char* name;
        bool behind_switch;
        Complex start;
        Complex final_voltage;  // a new source voltage after a first solve, unless 230 V
    };
    const Case cases[] = {
        {"a first solve from 200 V", false, 200.0, 230.0},
        {"a new source voltage on a solved network", false, 230.0, 240.0},
        {"behind a closed switch, from 200 V", true, 200.0, 230.0},
        {"behind a closed switch, a new source voltage", true, 230.0, 240.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoadOnSource net(c.behind_switch, c.start);
        ElectricalNetwork network(net.feeder.elements);
        BackwardForward solver(&network);
        if (c.final_voltage != Complex(230.0)) {
            EXPECT_EQ(solver.solve_load_flow(10, 1e-9), std::make_pair(1, 0.0));
            net.source->update_voltages(&c.final_voltage);
        }
        EXPECT_EQ(solver.solve_load_flow(10, 1e-9), std::make_pair(2, 0.0));
        EXPECT_EQ(testing::potential(*net.load, 0), c.final_voltage);
        testing::expect_close(net.load->ports[0].current, load_admittance * c.final_voltage,
                              testing::absolute(1e-12), "load current");
    }
}

// Should potentials move without any forward step counting it, the sweeps stop on currents of
// other potentials; the converged answer is then refused, naming the element whose currents do
// not follow its law. An uncounted source stops the sweeps after the first with the load's 20 A
// of 200 V at 230 V: 3 A off. The source itself, listed before the load and on the same moved
// node, is not checked: its current is a variable that the sweeps leave alone.
TEST(SweepLawCheck, CurrentsOffTheirLawAtTheFinalPotentialsAreNoSolution) {
    const std::string prefix = "2 The sweeps settled, but the answer is not a solution: ";
    const std::string off_by_3_amperes =
        " do not follow its law at the final potentials: they are 3 A off, as its nodes moved by "
        "30 V in the last sweep without the sweeps counting it. ";
    struct Case {
        const char* name;
        bool behind_switch;
        LoadKind kind;
        double tolerance;
        std::string error;  // empty: the solve returns (1, 0)
    };
    const Case cases[] = {
        {"an uncounted source", false, LoadKind::admittance, 1e-9,
         prefix + "the port currents of element 3 (CyAdmittanceLoad)" + off_by_3_amperes},
        {"an uncounted switch", true, LoadKind::admittance, 1e-9,
         prefix + "the port currents of element 5 (CyAdmittanceLoad)" + off_by_3_amperes},
        // The node moved by 30 V in the last sweep: currents that stale are what the caller allows
        // with a tolerance of 30 V, and not below it.
        {"a tolerance of 30 V", false, LoadKind::admittance, 30.0, ""},
        {"a tolerance of 29.9 V", false, LoadKind::admittance, 29.9,
         prefix + "the port currents of element 3 (CyAdmittanceLoad)" + off_by_3_amperes},
        // A constant current keeps its magnitude and follows the voltage's angle, which the move
        // from 200 V to 230 V leaves alone: the law gives the shown currents to rounding.
        {"a constant-current load", false, LoadKind::current, 1e-9, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoadOnSource net(c.behind_switch, 200.0, true, c.kind);
        ElectricalNetwork network(net.feeder.elements);
        BackwardForward solver(&network);
        std::pair<int, double> result(0, -1.0);
        EXPECT_EQ(error_message([&] { result = solver.solve_load_flow(10, c.tolerance); }),
                  c.error.empty() ? "no exception" : c.error);
        if (c.error.empty()) {
            EXPECT_EQ(result, std::make_pair(1, 0.0));
        }
        // The check leaves the currents of the backward sweep as they were: the load's of 200 V.
        const Complex drawn = c.kind == LoadKind::admittance ? load_admittance * 200.0
                                                             : load_current_setpoint;
        testing::expect_close(net.load->ports[0].current, drawn, testing::absolute(1e-12),
                              "load current");
        testing::expect_close(net.load->ports[1].current, -drawn, testing::absolute(1e-12),
                              "neutral current");
    }
}

// A line of 1e-6 Ω between two free nodes at 2.4 kV carries the 0.3 A of a small load as the
// difference of two currents of 2.4e9 A, which the last bits of the potentials put off by far
// more than 1e-9 of the largest current. The check allows the rounding of the line's own law,
// 2·m·ε·V·S, and no more: I_1 = (V_1 - V_2) / z and I_2 = -I_1, so a move of either node by h, in
// its real or its imaginary part, changes each port's current by h / |z|, and S = 2 · 2 / |z| over
// the two nodes; m = 2 ports, V the larger potential. Currents shown ten times that bound off the
// law are refused, naming the line; a tenth of it passes.
TEST(SweepLawCheck, ALowImpedanceLineIsAllowedTheRoundingOfItsLawAndNoMore) {
    const std::string prefix = "2 The sweeps settled, but the answer is not a solution: ";
    const Complex u = 2400.0, z = 1e-6, y_load = 0.3 / 2400.0;
    const Complex head_start[] = {u, 0.0};
    Feeder feeder;
    Bus& head = feeder.add<Bus>(2, head_start);
    attach(head, feeder.add<VoltageSource>(2, &u), {0, 1});
    attach(head, feeder.add<PotentialRef>(), {1});
    SimplifiedLine& line = feeder.add<SimplifiedLine>(1, &z);
    Bus& tail = feeder.add<Bus>(1, &u);
    link(line, head, tail);
    AdmittanceLoad& load = feeder.add<AdmittanceLoad>(2, &y_load);
    attach(tail, load, {0});
    head.connect(load, {{1, 1}});
    // Listed: head, source, reference, line (element 3), tail, load.
    ElectricalNetwork network(feeder.elements);
    BackwardForward solver(&network);
    solve_to_convergence(solver, Method::sweeps);

    const double v = std::max(std::abs(potential(line, 0)), std::abs(potential(line, 1)));
    const double s = 2.0 * 2.0 / std::abs(z);
    const double bound = 2.0 * 2.0 * std::numeric_limits<double>::epsilon() * v * s;
    line.compute_currents(false);
    const Complex law[] = {line.ports[0].current, line.ports[1].current};
    ElementLawCheck check(network, lay_out_values(network));
    check.record_potentials(network);
    for (const double times : {10.0, 0.1}) {
        SCOPED_TRACE(times);
        for (std::size_t p = 0; p < 2; ++p) line.ports[p].current = law[p] + times * bound;
        const std::string message =
            error_message([&] { check.check(network, change_tolerance, prefix.c_str()); });
        if (times > 1.0)
            EXPECT_TRUE(starts_with(message, prefix + "the port currents of element 3 "
                                                      "(CySimplifiedLine) do not follow its law"))
                << message;
        else
            EXPECT_EQ(message, "no exception");
    }
}

TEST(SweepNaN, ANaNPotentialOrLoadCurrentEndsTheSweeps) {
    // A NaN source voltage: the source writes NaN potentials, through a line or a switch alike.
    for (bool with_switch : {false, true}) {
        Feeder1 f(Order::upstream_first, with_switch, Complex(nan, 0.0));
        ElectricalNetwork network(f.feeder.elements);
        BackwardForward solver(&network);
        EXPECT_EQ(error_message([&] { solver.solve_load_flow(100, 1e-9); }),
                  "2 NaN value encountered at iteration 1. ")
            << with_switch;
    }
    // A load joined to nothing sits at 0 V: I = conj(S / 0) is not a number.
    const Complex s(1000.0, 0.0);
    PowerLoad load(2, &s);
    ElectricalNetwork network({&load});
    BackwardForward solver(&network);
    EXPECT_EQ(error_message([&] { solver.solve_load_flow(100, 1e-9); }),
              "2 NaN value encountered at iteration 1. ");
}

TEST(SweepNaN, ASourceStepReportsTheNaNItWrites) {
    const Complex star[] = {230.0, nan};
    VoltageSource source(3, star);
    PotentialRef ref;
    source.connect(ref, {{2, 0}});
    EXPECT_TRUE(std::isnan(source.forward_step()));
    // Also into a grounded node, although that node keeps reading 0 and so does not move.
    PotentialRef phase_ref;
    source.connect(phase_ref, {{1, 0}});
    EXPECT_TRUE(std::isnan(source.forward_step()));
    const Complex fine[] = {230.0, 230.0};
    source.update_voltages(fine);
    EXPECT_EQ(source.forward_step(), 0.0);  // phase 0 holds 230 V already, phase 1 reads 0

    const Complex delta[] = {400.0, nan};
    DeltaVoltageSource chain(3, delta);
    EXPECT_TRUE(std::isnan(chain.forward_step()));
}

// ---------------------------------------------------------------------------------------------
// A part of the network that holds a load but no source: an island behind an open switch with a
// reference of its own. The sweeps balance nothing there; Newton walks its constant-power load
// out to where I = conj(S/U) vanishes.

struct Island {
    Feeder feeder;
    PowerLoad* island_load;

    Island() {
        const Complex u = 230.0;
        const Complex s(2000.0, 500.0);
        const Complex start[] = {230.0, 0.0};
        Bus& head = feeder.add<Bus>(2, start);
        VoltageSource& source = feeder.add<VoltageSource>(2, &u);
        PotentialRef& ref = feeder.add<PotentialRef>();
        PowerLoad& load = feeder.add<PowerLoad>(2, &s);
        OpenSwitch& open = feeder.add<OpenSwitch>(2);
        Bus& far = feeder.add<Bus>(2, start);
        PotentialRef& far_ref = feeder.add<PotentialRef>();
        island_load = &feeder.add<PowerLoad>(2, &s);
        attach(head, source, {0, 1});
        attach(head, ref, {1});
        attach(head, load, {0, 1});
        open.connect_side(head, {{0, 0}, {1, 1}}, true);
        open.connect_side(far, {{0, 0}, {1, 1}}, false);
        attach(far, far_ref, {1});
        attach(far, *island_load, {0, 1});
    }
};

TEST(UnfedPart, AnIslandWithALoadAndNoSourceIsNoSolution) {
    for (Method method : all_methods) {
        Island island;
        ElectricalNetwork network(island.feeder.elements);
        auto solver = make_solver(method, network);
        const bool sweeps = method == Method::sweeps;
        const std::string message =
            error_message([&] { solver->solve_load_flow(1000, sweeps ? 1e-9 : 1e-8); });
        EXPECT_TRUE(starts_with(message, sweeps ? "2 " : "1 ")) << method_name(method) << message;
        EXPECT_TRUE(contains(message, "element 7 (CyPowerLoad) holds a load in a part of the "
                                      "network that no voltage source feeds"))
            << method_name(method) << ": " << message;
    }
}

TEST(UnfedPart, AnIslandAtTheIterationLimitReturnsAsBefore) {
    // The check runs only on convergence: at the limit the caller reads the residual.
    Island island;
    ElectricalNetwork network(island.feeder.elements);
    Newton solver(&network, false);
    const auto [iterations, residual] = solver.solve_load_flow(2, 1e-8);
    EXPECT_EQ(iterations, 2);
    EXPECT_GT(residual, 1e-8);
}

TEST(UnfedPart, ANodeGroundedAfterASolveIsRefused) {
    // Source phase - line - node A - line - node B - admittance load back to the grounded
    // neutral. Grounding A afterwards (through a PotentialRef outside the network) cuts B's part
    // off the source, but the tape still holds A's potential as a variable with its balance, so
    // the next solve of the same solver refuses the change before it looks at the part.
    for (Method method : {Method::newton, Method::goldstein}) {
        SCOPED_TRACE(method_name(method));
        const Complex u = 230.0, z(0.1, 0.05), y(0.02, -0.01);
        const Complex start[] = {230.0};
        Feeder f;
        auto& source = f.add<VoltageSource>(2, &u);
        attach(source, f.add<PotentialRef>(), {1});
        auto& line_a = f.add<SimplifiedLine>(1, &z);
        auto& a = f.add<Bus>(1, start);
        auto& line_b = f.add<SimplifiedLine>(1, &z);
        auto& b = f.add<Bus>(1, start);
        auto& load = f.add<AdmittanceLoad>(2, &y);
        line_a.connect_side(source, {{0, 0}}, true);
        line_a.connect_side(a, {{0, 0}}, false);
        line_b.connect_side(a, {{0, 0}}, true);
        line_b.connect_side(b, {{0, 0}}, false);
        attach(b, load, {0});
        source.connect(load, {{1, 1}});
        ElectricalNetwork network(f.elements);
        auto solver = make_solver(method, network);
        testing::solve_to_convergence(*solver, method);

        PotentialRef earth;
        a.connect(earth, {{0, 0}});
        const std::string message =
            error_message([&] { solver->solve_load_flow(50, testing::current_tolerance); });
        EXPECT_TRUE(contains(message, "The nodes of the network changed after the solver recorded "
                                      "its tape: node 2 (port 0 of element 3 (CyBus)) "
                                      "was grounded"))
            << message;
    }
}

TEST(UnfedPart, ADeltaCurrentLoadWithoutSourceIsNoSolution) {
    // One node fixed at 0 V, nothing feeds the load: there is no solution. Newton walks outwards
    // until |U|² overflows on the tape (|U| > 1.3e154), where the recorded currents become 0
    // while the plain law, on hypot, still gives 10 to 30 A.
    for (bool goldstein : {false, true}) {
        const Complex start[] = {{230.0, 5.0}, {-100.0, 200.0}, {3.0, -50.0}};
        const Complex currents[] = {10.0, 20.0, 30.0};
        Bus bus(3, start);
        DeltaCurrentLoad load(3, currents);
        PotentialRef ref;
        bus.connect(load, {{0, 0}, {1, 1}, {2, 2}});
        bus.connect(ref, {{2, 0}});
        ElectricalNetwork network({&bus, &load, &ref});
        std::unique_ptr<AbstractNewton> solver;
        if (goldstein)
            solver = std::make_unique<NewtonGoldstein>(&network, false, 0.1, 0.9, true);
        else
            solver = std::make_unique<Newton>(&network, false);
        EXPECT_EQ(error_message([&] { solver->solve_load_flow(100, 1e-8); }),
                  "1 The residual is within the tolerance, but the answer is not a solution: "
                  "element 1 (CyDeltaCurrentLoad) holds a load in a part of the network that no "
                  "voltage source feeds; each part of the network that holds a load needs a "
                  "voltage source. ")
            << goldstein;
    }
}

// ---------------------------------------------------------------------------------------------
// Newton's plain-number checks.

// Draws 1 A from its node on the tape and 2 A in plain numbers: the recorded equations disagree
// with the plain law, as they do once |U|² overflows on the tape.
class TwoFacedSink : public Element {
  public:
    TwoFacedSink() : Element(1) {}
    void compute_currents(bool on_tape) override {
        if (on_tape)
            ports[0].current_ad = ADComplex(ADScalar(1.0), ADScalar(0.0));
        else
            ports[0].current = Complex(2.0, 0.0);
    }
};

TEST(NewtonCheck, PlainCurrentsMustBalance) {
    // Source 230 V, a 1 Ω line, the sink: the tape balances 1 A, the plain currents leave 1 A over.
    const Complex u = 230.0, z = 1.0;
    const Complex start[] = {230.0, 0.0};
    Bus head(2, start);
    VoltageSource source(2, &u);
    PotentialRef ref;
    SimplifiedLine line(1, &z);
    Bus tail(1, &u);
    TwoFacedSink sink;
    attach(head, source, {0, 1});
    attach(head, ref, {1});
    line.connect_side(head, {{0, 0}}, true);
    line.connect_side(tail, {{0, 0}}, false);
    attach(tail, sink, {0});
    ElectricalNetwork network({&head, &source, &ref, &line, &tail, &sink});
    Newton solver(&network, false);
    const std::string message = error_message([&] { solver.solve_load_flow(10, 1e-9); });
    EXPECT_TRUE(starts_with(message, "1 The residual is within the tolerance, but the answer is "
                                     "not a solution: the currents at node 2 (port 0 of element "
                                     "4 (CyBus)) do not balance"))
        << message;
}

TEST(NewtonCheck, NaNPotentialsOfAnUnconstrainedBusAreNoSolution) {
    // A bus alone: its node balances are 0 whatever its potentials, so F = 0 at once.
    const Complex start[] = {Complex(nan, 0.0), 230.0};
    Bus bus(2, start);
    ElectricalNetwork network({&bus});
    Newton solver(&network, false);
    EXPECT_EQ(error_message([&] { solver.solve_load_flow(10, 1e-9); }),
              "1 The residual is within the tolerance, but the answer is not a solution: the "
              "potential of node 0 (port 0 of element 0 (CyBus)) is not finite. ");
    // With finite potentials the same bus is a solution: nothing flows.
    const Complex finite[] = {230.0, 230.0};
    bus.initialize_potentials(finite);
    EXPECT_EQ(solver.solve_load_flow(10, 1e-9), std::make_pair(0, 0.0));
}

TEST(NewtonCheck, AnEmptyJacobianFailsToDecompose) {
    // 22 unknowns and no Jacobian entry: the LU would never return.
    std::vector<Complex> start(11, Complex(230.0, 0.0));
    Bus bus(11, start.data());
    ElectricalNetwork network({&bus});
    Newton solver(&network, false);
    EXPECT_EQ(error_message([&] { solver.solve_load_flow(5, -1.0); }),
              "1 Decomposition failed, singular matrix at iteration 0. ");
}

// ---------------------------------------------------------------------------------------------
// The Goldstein search near a NaN region: one unknown x with √x − 0.1 = 0 from x = 1. The full
// Newton step goes to x = −0.8, where the merit is NaN: the step must shrink, not grow.

class SquareRoot : public Element {
  public:
    explicit SquareRoot(double x0) : Element(0), x(x0) {}
    void collect_variables(std::vector<double>& values) override { x.push_value(values); }
    void bind_variables(const ADVector& tape, Eigen::VectorXd& values, int& index) override {
        x.bind(tape, values, index);
    }
    void add_equations(ADVector& residuals, int& index) override {
        residuals[index++] = CppAD::sqrt(x.ad_value) - 0.1;
    }
    void release_values(const Eigen::VectorXd& variables, const Eigen::VectorXd&) override {
        x.release_from(variables);
    }
    RealVariable x;
};

TEST(GoldsteinNaN, ANaNTrialShrinksTheStep) {
    SquareRoot root(1.0);
    ElectricalNetwork network({&root});
    NewtonGoldstein solver(&network, false, 0.1, 0.9, false);
    const auto [iterations, residual] = solver.solve_load_flow(50, 1e-12);
    EXPECT_LT(iterations, 50);
    EXPECT_LE(residual, 1e-12);
    EXPECT_NEAR(root.x.get(), 0.01, 1e-12);
}

// ---------------------------------------------------------------------------------------------
// The per-iteration hook ends a solve that would run for hours, and the solver stays usable.

TEST(IterationHook, EndsALongSolveAndLeavesTheSolverUsable) {
    struct Stop {};
    for (Method method : all_methods) {
        Feeder1 f(Order::upstream_first, false);
        ElectricalNetwork network(f.feeder.elements);
        auto solver = make_solver(method, network);
        int calls = 0;
        solver->on_iteration = [&calls] {
            if (++calls == 5) throw Stop{};
        };
        EXPECT_THROW(solver->solve_load_flow(INT_MAX, -1.0), Stop) << method_name(method);
        EXPECT_EQ(calls, 5) << method_name(method);
        const auto [iterations, residual] = solver->solve_load_flow(100, 1e-9);
        EXPECT_LE(residual, 1e-9) << method_name(method);
    }
}

TEST(IterationHook, AJoinMadeDuringASolveIsRefusedBeforeSuccess) {
    // Code run between iterations (a Python signal handler) joins a load outside the network to
    // the tail bus: the solve converges without it, and must not report that as the solution.
    for (Method method : all_methods) {
        SCOPED_TRACE(method_name(method));
        Feeder1 f(Order::upstream_first, false);
        ElectricalNetwork network(f.feeder.elements);
        auto solver = make_solver(method, network);
        const Complex s(2000.0, 0.0);
        PowerLoad outside(2, &s);
        int calls = 0;
        solver->on_iteration = [&] {
            if (++calls == 2) {
                attach(*f.tail, outside, {0});
                f.head->connect(outside, {{1, 1}});
            }
        };
        const std::string message =
            error_message([&] { solver->solve_load_flow(100, testing::current_tolerance); });
        EXPECT_TRUE(contains(message, "The nodes of the network changed after the solver"))
            << message;
        EXPECT_GE(calls, 2);
    }
}

}  // namespace
}  // namespace meshvolt
