// The simplified line: series admittance from the impedance, currents on the tape and in plain
// numbers, the parameter layout and updates, and the backward-forward steps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "model/bus.hpp"
#include "model/line.hpp"
#include "model/potential_ref.hpp"
#include "model/voltage_source.hpp"
#include "sweep_helpers.hpp"
#include "tape_fixture.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const double nan = std::numeric_limits<double>::quiet_NaN();

TEST(SimplifiedLine, SinglePhaseVoltageDrop) {
    const Complex z(0.5, 1.0);
    const Complex v1[] = {Complex(230.0, 0.0)};
    const Complex v2[] = {Complex(225.0, -3.0)};
    Bus a(1, v1), b(1, v2);
    SimplifiedLine line(1, &z);
    join_sides(line, a, b);
    expect_close(line.admittance.value(0, 0), 1.0 / z);

    TapeCheck check({&a, &b, &line});
    EXPECT_EQ(check.equation_count, 0);
    check.expect_currents_agree();
    const Complex i = (v1[0] - v2[0]) / z;  // I = Y·(V1 − V2)
    expect_close(line.ports[0].current, i);
    expect_close(line.ports[1].current, -i);
}

TEST(SimplifiedLine, CoupledPhasesUseTheInverseImpedance) {
    // Z = [[s, m], [m, s]] has the inverse [[s, −m], [−m, s]] / (s² − m²).
    const Complex s(0.4, 0.8), m(0.1, 0.3);
    const Complex z[] = {s, m, m, s};
    const Complex v1[] = {Complex(230.0, 0.0), Complex(-115.0, -199.2)};
    const Complex v2[] = {Complex(228.0, -1.0), Complex(-114.0, -197.0)};
    Bus a(2, v1), b(2, v2);
    SimplifiedLine line(2, z);
    join_sides(line, a, b);
    const Complex det = s * s - m * m;
    const Complex du0 = v1[0] - v2[0], du1 = v1[1] - v2[1];
    const Complex i0 = (s * du0 - m * du1) / det, i1 = (-m * du0 + s * du1) / det;

    TapeCheck check({&a, &b, &line});
    check.expect_currents_agree();
    expect_close(line.ports[0].current, i0);
    expect_close(line.ports[1].current, i1);
    expect_close(line.ports[2].current, -i0);
    expect_close(line.ports[3].current, -i1);

    // A line between nodes of equal potential carries no current.
    Bus c(2, v1);
    SimplifiedLine idle(2, z);
    join_sides(idle, a, c);
    idle.compute_currents(false);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(idle.ports[k].current, Complex(0.0)) << "port " << k;
}

TEST(SimplifiedLine, ParametersLieRowMajor) {
    // A triangular impedance with a hand inverse: Z = [[2, 4], [0, 1]], Y = [[0.5, −2], [0, 1]].
    const Complex z[] = {2.0, 4.0, 0.0, 1.0};
    SimplifiedLine line(2, z);
    std::vector<double> values;
    line.collect_parameters(values);
    const std::vector<double> expected = {0.5, 0.0, -2.0, 0.0, 0.0, 0.0, 1.0, 0.0};
    ASSERT_EQ(values.size(), expected.size());
    for (std::size_t k = 0; k < values.size(); ++k)
        EXPECT_NEAR(values[k], expected[k], 1e-15) << "entry " << k;
    values.clear();
    line.collect_variables(values);
    EXPECT_TRUE(values.empty());
}

TEST(SimplifiedLine, UpdatesReachTheBoundParameters) {
    const Complex z(1.0, 1.0), z2(0.0, 2.0);
    const Complex v1[] = {Complex(10.0, 0.0)};
    const Complex v2[] = {Complex(6.0, 0.0)};
    Bus a(1, v1), b(1, v2);
    SimplifiedLine line(1, &z);
    join_sides(line, a, b);
    {
        TapeCheck check({&a, &b, &line});
        line.update_line_parameters(&z2);
        EXPECT_DOUBLE_EQ(check.parameters[0], (1.0 / z2).real());
        EXPECT_DOUBLE_EQ(check.parameters[1], (1.0 / z2).imag());
        expect_close(line.admittance.value(0, 0), 1.0 / z2);
        check.evaluate();  // the recorded tape uses the new admittance without a new recording
        check.expect_currents_agree();
        expect_close(line.ports[0].current, Complex(4.0, 0.0) / z2);
    }
    // Unbound again: an update changes only the own matrix.
    line.update_line_parameters(&z);
    EXPECT_FALSE(line.admittance.bound);
    expect_close(line.admittance.value(0, 0), 1.0 / z);
}

TEST(SimplifiedLine, GroundedSideTwoReadsZero) {
    const Complex z(2.0, 0.0);
    const Complex v1[] = {Complex(8.0, 4.0)};
    const Complex v2[] = {Complex(100.0, 100.0)};  // hidden by the ground
    Bus a(1, v1), b(1, v2);
    PotentialRef ref;
    SimplifiedLine line(1, &z);
    join_sides(line, a, b);
    b.connect(ref, {{0, 0}});
    TapeCheck check({&a, &b, &ref, &line});
    check.expect_currents_agree();
    expect_close(line.ports[0].current, Complex(4.0, 2.0));
}

TEST(SimplifiedLine, BackwardStepTakesTheSideTwoDemand) {
    const Complex z[] = {1.0, 0.0, 0.0, 1.0};
    SimplifiedLine line(2, z);
    Element load_a(1), load_b(1);
    line.connect(load_a, {{2, 0}});
    line.connect(load_b, {{2, 0}});
    load_a.ports[0].current = Complex(1.0, 2.0);
    load_b.ports[0].current = Complex(0.5, -1.0);
    line.ports[3].current = Complex(9.0, 9.0);  // its node has no other member
    line.backward_step();
    EXPECT_EQ(line.ports[2].current, Complex(-1.5, -1.0));
    EXPECT_EQ(line.ports[3].current, Complex(0.0));
    EXPECT_EQ(line.ports[0].current, Complex(1.5, 1.0));
    EXPECT_EQ(line.ports[1].current, Complex(0.0));
}

TEST(SimplifiedLine, ForwardStepMeasuresTheLargestModulus) {
    // With no current the line copies V1; the changes (3, 4) and (0, 4.5) measure 5.
    const Complex z[] = {1.0, 0.0, 0.0, 1.0};
    const Complex v2[] = {Complex(1.0, 1.0), Complex(2.0, 2.0)};
    const Complex v1[] = {v2[0] + Complex(3.0, 4.0), v2[1] + Complex(0.0, 4.5)};
    Bus a(2, v1), b(2, v2);
    SimplifiedLine line(2, z);
    join_sides(line, a, b);
    EXPECT_DOUBLE_EQ(line.forward_step(), 5.0);
    EXPECT_EQ(potential(b, 0), v1[0]);
    EXPECT_EQ(potential(b, 1), v1[1]);
    EXPECT_EQ(line.forward_step(), 0.0);
}

TEST(SimplifiedLine, ForwardStepSubtractsTheDrop) {
    const Complex z(0.5, 1.0), i(10.0, -5.0);
    const Complex v1[] = {Complex(230.0, 0.0)};
    Bus a(1, v1), b(1, nullptr);
    SimplifiedLine line(1, &z);
    join_sides(line, a, b);
    line.ports[0].current = i;
    EXPECT_NEAR(line.forward_step(), std::abs(v1[0] - z * i), 1e-12);
    expect_close(potential(b, 0), v1[0] - z * i);  // V2 = V1 − Z·I1
}

TEST(SimplifiedLine, ForwardStepPropagatesNaNFromAnyPhase) {
    const Complex z[] = {1.0, 0.0, 0.0, 1.0};
    for (int phase : {0, 1}) {
        Complex v1[] = {Complex(1.0, 0.0), Complex(2.0, 0.0)};
        v1[phase] = Complex(nan, 0.0);
        Bus a(2, v1), b(2, nullptr);
        SimplifiedLine line(2, z);
        join_sides(line, a, b);
        EXPECT_TRUE(std::isnan(line.forward_step())) << "NaN in phase " << phase;
    }
}

TEST(SimplifiedLine, ForwardStepOverwritesAGroundedNodesOwnValue) {
    const Complex z(1.0, 0.0);
    const Complex v1[] = {Complex(5.0, 0.0)};
    Bus a(1, v1), b(1, nullptr);
    PotentialRef ref;
    SimplifiedLine line(1, &z);
    join_sides(line, a, b);
    b.connect(ref, {{0, 0}});
    EXPECT_DOUBLE_EQ(line.forward_step(), 5.0);  // the change from the read value 0
    EXPECT_EQ(b.ports[0].connection->potential.value, Complex(5.0));
    EXPECT_EQ(potential(b, 0), Complex(0.0));
}

TEST(SimplifiedLine, SweepsOfAFeederReachTheDropAtOnce) {
    // Source 230 V, a line z, a constant current I drawn at its end: V2 = 230 − z·I.
    const Complex u[] = {Complex(230.0, 0.0)};
    const Complex z(0.2, 0.4), i(20.0, -10.0);
    VoltageSource source(2, u);
    PotentialRef ref;
    SimplifiedLine line(1, &z);
    CurrentSink sink(i);
    source.connect(ref, {{1, 0}});
    line.connect_side(source, {{0, 0}}, true);
    line.connect(sink, {{1, 0}});
    std::vector<Element*> elements = {&source, &ref, &line, &sink};
    TapeCheck check(elements);
    testing::sweep(elements);
    expect_close(potential(line, 1), u[0] - z * i);
    expect_close(line.ports[0].current, i);
    EXPECT_EQ(testing::sweep(elements), 0.0);
}

TEST(SimplifiedLine, RefusesALineWithoutPhases) {
    const Complex z(1.0, 0.0);
    try {
        SimplifiedLine line(0, &z);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "a line needs at least one phase");
    }
    try {
        SimplifiedLine line(-1, &z);
        FAIL() << "no exception";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "vector::reserve");
    }
}

TEST(SimplifiedLine, TapeCurrentsNeedBoundParameters) {
    const Complex z(1.0, 0.0);
    SimplifiedLine line(1, &z);
    EXPECT_THROW(line.compute_currents(true), std::logic_error);
    line.compute_currents(false);  // plain numbers read the own matrix
    EXPECT_EQ(line.ports[0].current, Complex(0.0));
}

TEST(SimplifiedLine, ReleaseReturnsTheAdmittanceToItsOwnValue) {
    const Complex z(1.0, 0.0);
    SimplifiedLine line(1, &z);
    {
        TapeCheck check({&line});
        check.parameters[0] = 42.0;
        EXPECT_EQ(line.admittance.get(0, 0), Complex(42.0, 0.0));
    }
    EXPECT_FALSE(line.admittance.bound);
    EXPECT_EQ(line.admittance.get(0, 0), Complex(1.0, 0.0));
}

}  // namespace
}  // namespace meshvolt
