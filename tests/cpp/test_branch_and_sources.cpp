// Branch sides, buses, grounds, potential references and voltage sources.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <stdexcept>

#include "model/branch.hpp"
#include "model/bus.hpp"
#include "model/potential_ref.hpp"
#include "model/voltage_source.hpp"
#include "tape_fixture.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const double pi = std::acos(-1.0);
const Complex a = std::polar(1.0, -2 * pi / 3);  // the 120° rotation of the phase sequence

TEST(Branch, SidesSplitThePorts) {
    Branch b(2, 3);
    ASSERT_EQ(b.port_count(), 5);
    EXPECT_EQ(b.side1, (std::vector<Port*>{&b.ports[0], &b.ports[1]}));
    EXPECT_EQ(b.side2, (std::vector<Port*>{&b.ports[2], &b.ports[3], &b.ports[4]}));
    for (const auto& [n1, n2] : {std::pair{-1, 2}, std::pair{2, -1},
                                 std::pair{std::numeric_limits<int>::max(), 1}}) {
        try {
            Branch bad(n1, n2);
            FAIL() << n1 << ", " << n2;
        } catch (const std::length_error& e) {
            EXPECT_STREQ(e.what(), "vector::reserve") << n1 << ", " << n2;
        }
    }
    Branch only_end(0, 2);
    EXPECT_TRUE(only_end.side1.empty());
    EXPECT_EQ(only_end.side2.size(), 2u);
}

TEST(Branch, SideCurrentsWithAReturnConductor) {
    Branch b(4, 4);
    Eigen::VectorXcd full(4), short_side(3), none(0);
    full << 1.0, 2.0, 3.0, 4.0;
    short_side << 1.0, 2.0, 3.0;
    b.ports[5].current = 99.0;
    b.set_side_currents(full, none);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(b.ports[k].current, Complex(k + 1.0));
    EXPECT_EQ(b.ports[7].current, Complex(0.0));   // empty vector: the last port gets 0
    EXPECT_EQ(b.ports[5].current, Complex(99.0));  // the others keep their currents
    b.set_side_currents(short_side, full);
    EXPECT_EQ(b.ports[3].current, Complex(-6.0));
    Eigen::VectorXcd too_long(5);
    EXPECT_THROW(b.set_side_currents(too_long, full), std::out_of_range);
}

TEST(Branch, GroundedSideReadsZeroAndConnectSideKeepsTheOtherNode) {
    Branch b(1, 1);
    const Complex v[] = {1.0, 2.0, 230.0};
    Bus bus(3, v);
    b.connect_side(bus, {{0, 2}}, true);
    EXPECT_EQ(b.side1_potentials()[0], Complex(230.0));
    PotentialRef ref;
    b.connect_side(ref, {{0, 0}}, false);
    EXPECT_EQ(b.side2_potentials()[0], Complex(0.0));
    EXPECT_THROW(b.connect_side(bus, {{1, 0}}, true), std::out_of_range);
    EXPECT_THROW(b.connect_side(bus, {{0, 3}}, true), std::out_of_range);
}

TEST(Bus, ReadsItsInitialPotentialsAndCarriesNoCurrent) {
    const Complex v[] = {230.0, Complex(-115.0, -199.2), Complex(-115.0, 199.2)};
    Bus bus(3, v);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(potential(bus, k), v[k]);
    TapeCheck check({&bus});
    check.expect_currents_agree();
    for (int k = 0; k < 3; ++k) EXPECT_EQ(bus.ports[k].current, Complex(0.0));
    EXPECT_EQ(check.node_count(), 3);
}

TEST(Bus, InitializePotentialsWritesThroughToTheSolver) {
    const Complex v[] = {1.0, 2.0};
    const Complex w[] = {Complex(3.0, 1.0), Complex(4.0, -1.0)};
    Bus bus(2, v);
    {
        TapeCheck check({&bus});
        bus.initialize_potentials(w);
        EXPECT_EQ(check.variables[0], 3.0);
        EXPECT_EQ(check.variables[3], -1.0);
    }
    // Unbound again: the own values carry the new potentials to the next solver.
    bus.initialize_potentials(v);
    EXPECT_EQ(bus.ports[1].connection->potential.value, Complex(2.0));
    EXPECT_FALSE(bus.ports[1].connection->potential.bound);
}

TEST(PotentialRef, FixesItsNodeAndReportsTheCurrentDrawn) {
    const Complex v[] = {50.0};
    Bus bus(1, v);
    PotentialRef ref;
    Ground ground;
    bus.connect(ref, {{0, 0}});
    EXPECT_EQ(potential(bus, 0), Complex(0.0));
    bus.ports[0].current = Complex(2.0, -1.0);
    EXPECT_EQ(ref.get_current(), Complex(2.0, -1.0));
    EXPECT_EQ(ref.forward_step(), 0.0);
    // A ground alone fixes nothing: its node stays a free node.
    TapeCheck check({&bus, &ground});
    EXPECT_EQ(check.node_count(), 1);
    check.expect_currents_agree();
}

TEST(DeltaPotentialRef, EquationSumsThePotentials) {
    const Complex v[] = {Complex(1.0, 2.0), Complex(3.0, -1.0), Complex(-0.5, 0.5)};
    Bus bus(3, v);
    DeltaPotentialRef ref(3);
    bus.connect(ref, {{0, 0}, {1, 1}, {2, 2}});
    ref.current.value = Complex(0.25, -0.75);
    TapeCheck check({&bus, &ref});
    ASSERT_EQ(check.equation_count, 2);
    EXPECT_DOUBLE_EQ(check.residual(0), 3.5);
    EXPECT_DOUBLE_EQ(check.residual(1), 1.5);
    check.expect_currents_agree();
    EXPECT_EQ(ref.ports[0].current, Complex(0.25, -0.75));
    EXPECT_EQ(ref.ports[2].current, Complex(0.0));
    EXPECT_EQ(ref.get_current(), Complex(0.25, -0.75));
}

TEST(DeltaPotentialRef, ForwardStepRemovesTheMean) {
    const Complex v[] = {Complex(1.0, 2.0), Complex(3.0, -1.0), Complex(-1.0, 5.0)};
    Bus bus(3, v);
    DeltaPotentialRef ref(3);
    bus.connect(ref, {{0, 0}, {1, 1}, {2, 2}});
    EXPECT_DOUBLE_EQ(ref.forward_step(), 6.0);  // S = 3 + 6j
    const Complex mean(1.0, 2.0);
    for (int k = 0; k < 3; ++k) expect_close(potential(bus, k), v[k] - mean);
    ref.backward_step();
    EXPECT_EQ(ref.get_current(), Complex(0.0));

    // All three ports on one node: that node is shifted three times.
    Bus single(1, v);
    DeltaPotentialRef shared(3);
    single.connect(shared, {{0, 0}, {0, 1}, {0, 2}});
    shared.forward_step();
    expect_close(potential(single, 0), v[0] - 3.0 * v[0]);
    EXPECT_THROW(DeltaPotentialRef(0), std::invalid_argument);
}

TEST(DeltaPotentialRef, NaNPotentialGivesANaNMeasure) {
    const Complex v[] = {Complex(std::nan(""), 0.0), Complex(1.0, 0.0)};
    Bus bus(2, v);
    DeltaPotentialRef ref(2);
    bus.connect(ref, {{0, 0}, {1, 1}});
    EXPECT_TRUE(std::isnan(ref.forward_step()));
}

TEST(VoltageSource, StarSourceLayoutAndEquations) {
    const Complex u[] = {230.0, 230.0 * a, 230.0 * a * a};
    VoltageSource source(4, u);
    std::vector<double> values;
    source.collect_variables(values);
    EXPECT_EQ(values.size(), 6u);
    values.clear();
    source.collect_parameters(values);
    ASSERT_EQ(values.size(), 6u);
    EXPECT_DOUBLE_EQ(values[2], (230.0 * a).real());

    // Phases at the source voltages above a neutral at 5 V: every residual is zero.
    const Complex vn = 5.0;
    const Complex v[] = {u[0] + vn, u[1] + vn, u[2] + vn, vn};
    Bus bus(4, v);
    bus.connect(source, {{0, 0}, {1, 1}, {2, 2}, {3, 3}});
    source.currents[0].value = Complex(10.0, -2.0);
    source.currents[2].value = Complex(-3.0, 1.0);
    TapeCheck check({&bus, &source});
    ASSERT_EQ(check.equation_count, 6);
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(check.residual(k), 0.0, 1e-12);
    check.expect_currents_agree();
    EXPECT_EQ(source.ports[3].current, Complex(-7.0, 1.0));  // the neutral returns the sum

    // A new voltage reaches the bound parameters; the residual then shows the difference.
    const Complex u2[] = {240.0, 230.0 * a, 230.0 * a * a};
    source.update_voltages(u2);
    EXPECT_EQ(check.parameters[0], 240.0);
    check.evaluate();
    EXPECT_NEAR(check.residual(0), -10.0, 1e-12);
}

TEST(VoltageSource, DeltaSourceReadsOnlyNMinusOneVoltages) {
    const Complex u[] = {400.0, 400.0 * a, 999.0};
    DeltaVoltageSource source(3, u);
    ASSERT_EQ(source.voltage_count(), 2);
    const Complex v[] = {Complex(10.0, 0.0), Complex(10.0, 0.0) - u[0], Complex(10.0, 0.0) - u[0] - u[1]};
    Bus bus(3, v);
    bus.connect(source, {{0, 0}, {1, 1}, {2, 2}});
    source.currents[0].value = Complex(1.0, 1.0);
    source.currents[1].value = Complex(2.0, -3.0);
    TapeCheck check({&bus, &source});
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(check.residual(k), 0.0, 1e-12);
    check.expect_currents_agree();
    EXPECT_EQ(source.ports[2].current, Complex(-3.0, 2.0));
}

TEST(VoltageSource, SinglePortSourceHasNothingToSolve) {
    VoltageSource source(1, nullptr);
    std::vector<double> values;
    source.collect_variables(values);
    source.collect_parameters(values);
    EXPECT_TRUE(values.empty());
    source.compute_currents(false);
    EXPECT_EQ(source.ports[0].current, Complex(0.0));
    source.backward_step();
    EXPECT_EQ(source.ports[0].current, Complex(0.0));
    for (int n : {0, -1}) {
        try {
            VoltageSource bad(n, nullptr);
            FAIL() << "n = " << n;
        } catch (const std::length_error& e) {
            EXPECT_STREQ(e.what(), "vector::reserve") << "n = " << n;
        }
    }
}

// The steps report the largest modulus of the node changes they make: a source that writes what
// its nodes hold already reports 0.
TEST(VoltageSource, ForwardSteps) {
    const Complex u[] = {230.0, 230.0 * a};
    // Star with a free neutral at 3 V: phases go to Vn + U_i, from 0 V each.
    const Complex v[] = {0.0, 0.0, 3.0};
    Bus bus(3, v);
    VoltageSource star(3, u);
    bus.connect(star, {{0, 0}, {1, 1}, {2, 2}});
    EXPECT_DOUBLE_EQ(star.forward_step(), std::max(std::abs(3.0 + u[0]), std::abs(3.0 + u[1])));
    expect_close(potential(bus, 1), 3.0 + u[1]);
    EXPECT_EQ(star.forward_step(), 0.0);
    // With a grounded neutral: U_i, each phase 3 V down.
    PotentialRef ref;
    bus.connect(ref, {{2, 0}});
    EXPECT_NEAR(star.forward_step(), 3.0, 1e-12);
    expect_close(potential(bus, 0), u[0]);

    // Delta down the chain from port 0: port 1 moves by |w0 - u0|, port 2 by |w0 - u0 - u1|.
    const Complex w[] = {Complex(7.0, 1.0), 0.0, 0.0};
    Bus dbus(3, w);
    DeltaVoltageSource delta(3, u);
    dbus.connect(delta, {{0, 0}, {1, 1}, {2, 2}});
    EXPECT_DOUBLE_EQ(delta.forward_step(),
                     std::max(std::abs(w[0] - u[0]), std::abs(w[0] - u[0] - u[1])));
    expect_close(potential(dbus, 0), w[0]);
    expect_close(potential(dbus, 1), w[0] - u[0]);
    expect_close(potential(dbus, 2), w[0] - u[0] - u[1]);
    EXPECT_EQ(delta.forward_step(), 0.0);
}

TEST(VoltageSource, BackwardStepBalancesTheNodes) {
    const Complex u[] = {230.0, 230.0 * a};
    VoltageSource star(3, u);
    Element load_a(1), load_b(1), load_c(1);
    star.connect(load_a, {{0, 0}});
    star.connect(load_b, {{1, 0}});
    star.connect(load_c, {{2, 0}});
    load_a.ports[0].current = Complex(1.0, 1.0);
    load_b.ports[0].current = Complex(2.0, 0.0);
    load_c.ports[0].current = Complex(-3.0, -1.0);
    star.backward_step();
    EXPECT_EQ(star.ports[0].current, Complex(-1.0, -1.0));
    EXPECT_EQ(star.ports[1].current, Complex(-2.0, 0.0));
    EXPECT_EQ(star.ports[2].current, Complex(3.0, 1.0));  // minus the phases, not its own node

    DeltaVoltageSource delta(3, u);
    Element da(1), db(1);
    delta.connect(da, {{1, 0}});
    delta.connect(db, {{2, 0}});
    da.ports[0].current = Complex(4.0, 0.0);
    db.ports[0].current = Complex(0.0, 2.0);
    delta.backward_step();
    EXPECT_EQ(delta.ports[1].current, Complex(-4.0, 0.0));
    EXPECT_EQ(delta.ports[2].current, Complex(0.0, -2.0));
    EXPECT_EQ(delta.ports[0].current, Complex(4.0, 2.0));
}

}  // namespace
}  // namespace meshvolt
