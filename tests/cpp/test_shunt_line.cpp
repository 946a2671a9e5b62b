// The shunt line: its transfer and parameter matrices, their layout and updates, its port
// currents on the tape and in plain numbers, and its backward-forward steps on the general and
// the single-phase paths.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

#include "model/bus.hpp"
#include "model/line.hpp"
#include "model/potential_ref.hpp"
#include "model/shunt_line.hpp"
#include "model/voltage_source.hpp"
#include "sweep_helpers.hpp"
#include "tape_fixture.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const double nan = std::numeric_limits<double>::quiet_NaN();

void expect_matrix_near(const Eigen::MatrixXcd& actual, const Eigen::MatrixXcd& expected,
                        double tol = 1e-12) {
    ASSERT_EQ(actual.rows(), expected.rows());
    ASSERT_EQ(actual.cols(), expected.cols());
    for (Eigen::Index i = 0; i < actual.rows(); ++i)
        for (Eigen::Index j = 0; j < actual.cols(); ++j) {
            SCOPED_TRACE("entry (" + std::to_string(i) + ", " + std::to_string(j) + ")");
            expect_close(actual(i, j), expected(i, j), relative(tol));
        }
}

TEST(ShuntLine, SinglePhaseMatricesByHand) {
    const Complex y(0.0, 0.04), z(0.5, 1.0);
    ShuntLine line(1, &y, &z);
    ASSERT_EQ(line.port_count(), 3);
    EXPECT_EQ(line.extra_port, &line.ports[2]);
    EXPECT_EQ(line.phase_count, 1);

    const Complex a = 1.0 + y * z / 2.0;
    expect_close(line.scalar_a, a);
    expect_close(line.scalar_b, z);
    expect_close(line.scalar_c, y + y * y * z / 4.0);
    expect_close(line.scalar_d, a);
    expect_close(line.transfer_a(0, 0), a);
    expect_close(line.y11.value(0, 0), 1.0 / z + y / 2.0);
    expect_close(line.y22.value(0, 0), 1.0 / z + y / 2.0);
    expect_close(line.y12.value(0, 0), -1.0 / z);
    expect_close(line.y21.value(0, 0), -1.0 / z);
    expect_close(line.y_extra.value(0), -y / 2.0);
    expect_close(line.y1_extra.value(0, 0), -y / 2.0);
    expect_close(line.y2_extra.value(0, 0), -y / 2.0);
    EXPECT_EQ(line.y1_extra.cols(), 1);
    EXPECT_EQ(line.v1_storage, nullptr);  // no cache before binding
}

TEST(ShuntLine, ExtraCoefficientsUseRowSums) {
    // Y = [[2, 1], [0, 4]] is not symmetric: the row sums (3, 4), not the column sums (2, 5).
    const Complex y[] = {2.0, 1.0, 0.0, 4.0};
    const Complex z[] = {1.0, 0.0, 0.0, 1.0};
    ShuntLine line(2, y, z);
    expect_close(line.y_extra.value(0), -1.5);
    expect_close(line.y_extra.value(1), -2.0);
    expect_close(line.y1_extra.value(1, 0), -2.0);
    expect_close(line.y2_extra.value(0, 0), -1.5);

    // Ix = Σ_k r_k·(V1_k + V2_k − 2 Vx); the other currents see 0.5·Y, so the sum of all five
    // currents is not 0 for this Y.
    const Complex v1[] = {Complex(3.0, 0.0), Complex(1.0, 0.0)};
    const Complex v2[] = {Complex(2.0, 0.0), Complex(1.0, 1.0)};
    const Complex vx[] = {Complex(0.5, 0.0)};
    Bus a(2, v1), b(2, v2), x(1, vx);
    join_sides(line, a, b);
    x.connect(line, {{0, 4}});  // the bus keeps its potential
    line.compute_currents(false);
    const Complex ix = -1.5 * (v1[0] + v2[0] - 1.0) - 2.0 * (v1[1] + v2[1] - 1.0);
    expect_close(line.ports[4].current, ix);
    // Side 1 alone: I1 = (V1 − V2) + 0.5·Y·(V1 − Vx·1).
    expect_close(line.ports[0].current, (v1[0] - v2[0]) + 0.5 * (2.0 * 2.5 + 1.0 * 0.5));
}

TEST(ShuntLine, ZeroShuntAdmittanceIsASimplifiedLine) {
    const Complex y[9] = {};
    const Complex z[] = {Complex(0.3, 0.9), Complex(0.1, 0.4), Complex(0.05, 0.3),
                         Complex(0.1, 0.4), Complex(0.3, 0.9), Complex(0.1, 0.4),
                         Complex(0.05, 0.3), Complex(0.1, 0.4), Complex(0.3, 0.9)};
    ShuntLine shunt(3, y, z);
    SimplifiedLine simple(3, z);
    expect_matrix_near(shunt.transfer_a, Eigen::MatrixXcd::Identity(3, 3));
    expect_matrix_near(shunt.transfer_c, Eigen::MatrixXcd::Zero(3, 3));
    expect_matrix_near(shunt.y11.value, simple.admittance.value);
    expect_matrix_near(shunt.y12.value, -simple.admittance.value);
    expect_matrix_near(shunt.y1_extra.value, Eigen::MatrixXcd::Zero(3, 1));

    const Complex v1[] = {Complex(230.0, 0.0), Complex(-115.0, -199.2), Complex(-115.0, 199.2)};
    const Complex v2[] = {Complex(227.0, -2.0), Complex(-113.0, -197.0), Complex(-114.0, 196.0)};
    const Complex vx[] = {Complex(3.0, 1.0)};
    Bus a(3, v1), b(3, v2), x(1, vx);
    join_sides(shunt, a, b);
    join_sides(simple, a, b);
    x.connect(shunt, {{0, 6}});
    TapeCheck check({&a, &b, &x, &shunt, &simple});
    check.expect_currents_agree();
    for (int k = 0; k < 6; ++k)
        expect_close(shunt.ports[k].current, simple.ports[k].current, relative(1e-12));
    EXPECT_EQ(shunt.ports[6].current, Complex(0.0));
}

TEST(ShuntLine, CurrentsOfAPiSection) {
    // I1 = Z⁻¹(V1 − V2) + ½Y(V1 − Vx·1), I2 = Z⁻¹(V2 − V1) + ½Y(V2 − Vx·1), with the hand
    // inverses of the symmetric 2 x 2 matrices Z = [[s, m], [m, s]] and Y = [[g, h], [h, g]].
    const Complex s(0.4, 0.8), m(0.1, 0.3), g(0.0, 0.02), h(0.0, -0.005);
    const Complex z[] = {s, m, m, s};
    const Complex y[] = {g, h, h, g};
    const Complex v1[] = {Complex(230.0, 0.0), Complex(-115.0, -199.2)};
    const Complex v2[] = {Complex(228.0, -1.0), Complex(-114.0, -197.0)};
    const Complex vx[] = {Complex(2.0, -1.0)};
    Bus a(2, v1), b(2, v2), x(1, vx);
    ShuntLine line(2, y, z);
    join_sides(line, a, b);
    x.connect(line, {{0, 4}});  // the bus keeps its potential

    const Complex det = s * s - m * m;
    auto series = [&](Complex d0, Complex d1, int k) {
        return k == 0 ? (s * d0 - m * d1) / det : (-m * d0 + s * d1) / det;
    };
    auto shunt = [&](Complex u0, Complex u1, int k) {
        return 0.5 * (k == 0 ? g * u0 + h * u1 : h * u0 + g * u1);
    };
    TapeCheck check({&a, &b, &x, &line});
    check.expect_currents_agree();
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE("phase " + std::to_string(k));
        expect_close(line.ports[k].current,
                     series(v1[0] - v2[0], v1[1] - v2[1], k) +
                         shunt(v1[0] - vx[0], v1[1] - vx[0], k));
        expect_close(line.ports[2 + k].current,
                     series(v2[0] - v1[0], v2[1] - v1[1], k) +
                         shunt(v2[0] - vx[0], v2[1] - vx[0], k));
    }
    // A symmetric Y conserves charge: the extra port returns the shunt currents.
    expect_close(port_sum(line), 0.0, relative(1e-12));
}

TEST(ShuntLine, GroundedExtraNodeGivesZeroInBothForms) {
    const Complex y(0.0, 0.04), z(0.5, 1.0);
    const Complex v1[] = {Complex(230.0, 0.0)};
    const Complex v2[] = {Complex(226.0, -2.0)};
    const Complex vx[] = {Complex(50.0, 50.0)};  // hidden by the ground
    Bus a(1, v1), b(1, v2), x(1, vx);
    PotentialRef ref;
    ShuntLine line(1, &y, &z);
    join_sides(line, a, b);
    x.connect(line, {{0, 2}});
    x.connect(ref, {{0, 0}});
    TapeCheck check({&a, &b, &x, &ref, &line});
    check.expect_currents_agree();
    expect_close(line.ports[0].current, (v1[0] - v2[0]) / z + y / 2.0 * v1[0]);
    expect_close(line.ports[2].current, -y / 2.0 * (v1[0] + v2[0]));
}

TEST(ShuntLine, ThreePhaseParameterLayout) {
    // Z = [[1, 2, 0], [0, 1, 0], [0, 0, 2]] has the hand inverse [[1, −2, 0], [0, 1, 0],
    // [0, 0, 0.5]]; with Y = 0 the blocks are ±Z⁻¹ and the extra coefficients 0.
    const Complex z[] = {1.0, 2.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 2.0};
    const Complex y0[9] = {};
    ShuntLine line(3, y0, z);
    std::vector<double> values;
    line.collect_parameters(values);
    ASSERT_EQ(values.size(), 90u);  // 8·9 + 6·3
    struct Entry {
        const char* holder;
        int offset;
        double expected;
    };
    const Entry entries[] = {
        {"y11(0,1)", 0 + 2, -2.0}, {"y11(1,0)", 0 + 6, 0.0},   {"y12(0,1)", 18 + 2, 2.0},
        {"y21(0,1)", 36 + 2, 2.0}, {"y21(2,2)", 36 + 16, -0.5}, {"y22(0,0)", 54, 1.0},
        {"y22(1,1)", 54 + 8, 1.0},
    };
    for (const Entry& e : entries) EXPECT_NEAR(values[e.offset], e.expected, 1e-15) << e.holder;

    // With a shunt admittance the last three blocks hold r = −½·(row sums of Y).
    const Complex y[] = {Complex(0, 1), Complex(0, 2), 0.0, 0.0, Complex(0, 3), 0.0,
                         0.0, 0.0, Complex(0, 4)};
    line.update_line_parameters(y, z);
    values.clear();
    line.collect_parameters(values);
    const double r[] = {-1.5, -1.5, -2.0};
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(values[72 + 2 * k + 1], r[k], 1e-12) << "y_extra " << k;
        EXPECT_NEAR(values[78 + 2 * k + 1], r[k], 1e-12) << "y2_extra " << k;
        EXPECT_NEAR(values[84 + 2 * k + 1], r[k], 1e-12) << "y1_extra " << k;
    }

    Bus bus(1, nullptr);
    TapeCheck check({&bus, &line});  // checks that binding advanced the index by 90
    EXPECT_EQ(check.parameters.size(), 90);
}

TEST(ShuntLine, UpdatesReachTheBoundParametersAndTransfers) {
    const Complex y(0.0, 0.04), z(0.5, 1.0), y2(0.0, 0.1), z2(1.0, 2.0);
    const Complex v1[] = {Complex(10.0, 0.0)};
    const Complex v2[] = {Complex(8.0, 1.0)};
    Bus a(1, v1), b(1, v2);
    PotentialRef ref;
    ShuntLine line(1, &y, &z);
    join_sides(line, a, b);
    line.connect(ref, {{2, 0}});
    {
        TapeCheck check({&a, &b, &ref, &line});
        line.update_line_parameters(&y2, &z2);
        EXPECT_EQ(line.y11.rows(), 1);  // 3 ports: one phase, not two
        EXPECT_EQ(check.parameters.size(), 14);
        EXPECT_NEAR(check.parameters[0], (1.0 / z2 + y2 / 2.0).real(), 1e-12);  // y11
        EXPECT_NEAR(check.parameters[9], (-y2 / 2.0).imag(), 1e-12);            // y_extra
        EXPECT_NEAR(check.parameters[13], (-y2 / 2.0).imag(), 1e-12);           // y1_extra
        expect_close(line.scalar_b, z2);
        expect_close(line.scalar_a, 1.0 + y2 * z2 / 2.0);
        check.evaluate();  // same tape, new data
        check.expect_currents_agree();
        expect_close(line.ports[0].current, (v1[0] - v2[0]) / z2 + y2 / 2.0 * v1[0]);
    }
    // Unbound again: an update changes only the own values.
    line.update_line_parameters(&y, &z);
    EXPECT_FALSE(line.y_extra.bound);
    expect_close(line.y_extra.value(0), -y / 2.0);
}

TEST(ShuntLine, BackwardStepOnTheTransferMatrices) {
    // Diagonal Y and Z: each phase is its own section, C = y + y²z/4, D = 1 + yz/2.
    const Complex ys[] = {Complex(0.0, 0.04), Complex(0.0, 0.02)};
    const Complex zs[] = {Complex(0.5, 1.0), Complex(0.25, 0.5)};
    const Complex y[] = {ys[0], 0.0, 0.0, ys[1]};
    const Complex z[] = {zs[0], 0.0, 0.0, zs[1]};
    const Complex v2[] = {Complex(220.0, -5.0), Complex(-110.0, -190.0)};
    Bus a(2, nullptr), b(2, v2);
    ShuntLine line(2, y, z);
    join_sides(line, a, b);
    CurrentSink sink0(Complex(10.0, -3.0)), sink1(Complex(4.0, 1.0));
    line.connect(sink0, {{2, 0}});
    line.connect(sink1, {{3, 0}});
    sink0.backward_step();
    sink1.backward_step();
    line.backward_step();
    Complex total(0.0, 0.0);
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE("phase " + std::to_string(k));
        const Complex i2 = k == 0 ? Complex(-10.0, 3.0) : Complex(-4.0, -1.0);
        const Complex c = ys[k] + ys[k] * ys[k] * zs[k] / 4.0, d = 1.0 + ys[k] * zs[k] / 2.0;
        expect_close(line.ports[2 + k].current, i2);
        expect_close(line.ports[k].current, c * v2[k] - d * i2);
        total += line.ports[k].current + i2;
    }
    expect_close(line.ports[4].current, -total);
}

TEST(ShuntLine, ForwardStepOnTheTransferMatrices) {
    // With I1 = 0: V2 = A·V1 = V1 + ½·Z·Y·V1.
    const Complex ys[] = {Complex(0.0, 0.04), Complex(0.0, 0.02)};
    const Complex zs[] = {Complex(0.5, 1.0), Complex(0.25, 0.5)};
    const Complex y[] = {ys[0], 0.0, 0.0, ys[1]};
    const Complex z[] = {zs[0], 0.0, 0.0, zs[1]};
    const Complex v1[] = {Complex(230.0, 0.0), Complex(-115.0, -199.2)};
    Bus a(2, v1), b(2, nullptr);
    ShuntLine line(2, y, z);
    join_sides(line, a, b);
    line.forward_step();
    for (int k = 0; k < 2; ++k)
        expect_close(potential(b, k), v1[k] + 0.5 * zs[k] * ys[k] * v1[k]);

    // The general path measures the modulus: a change of (3, 4) is 5.
    const Complex zero[4] = {};
    const Complex unit[] = {1.0, 0.0, 0.0, 1.0};
    const Complex w1[] = {Complex(4.0, 5.0), Complex(1.0, 1.0)};
    const Complex w2[] = {Complex(1.0, 1.0), Complex(1.0, 1.0)};
    Bus c(2, w1), d(2, w2);
    ShuntLine plain(2, zero, unit);
    join_sides(plain, c, d);
    EXPECT_DOUBLE_EQ(plain.forward_step(), 5.0);
}

TEST(ShuntLine, ForwardStepPropagatesNaNFromAnyPhase) {
    const Complex zero[4] = {};
    const Complex unit[] = {1.0, 0.0, 0.0, 1.0};
    for (int phase : {0, 1}) {
        // A NaN in the old potential of one phase only (a NaN in V1 would reach every phase
        // through the product A·V1).
        const Complex v1[] = {Complex(1.0, 0.0), Complex(2.0, 0.0)};
        Complex v2[] = {Complex(1.0, 0.0), Complex(2.0, 0.0)};
        v2[phase] = Complex(0.0, nan);
        Bus a(2, v1), b(2, v2);
        ShuntLine line(2, zero, unit);
        join_sides(line, a, b);
        EXPECT_TRUE(std::isnan(line.forward_step())) << "NaN in phase " << phase;
    }
    // The single-phase path, unbound and bound.
    const Complex y(0.0), z(1.0);
    const Complex v1[] = {Complex(nan, 0.0)};
    Bus a(1, v1), b(1, nullptr);
    ShuntLine line(1, &y, &z);
    join_sides(line, a, b);
    EXPECT_TRUE(std::isnan(line.forward_step()));
    TapeCheck check({&a, &b, &line});
    EXPECT_TRUE(std::isnan(line.forward_step()));
}

// A single-phase line between buses a and b, bound by a tape when `bound` is set.
struct SinglePhaseCase {
    const char* name;
    bool bound;
};

TEST(ShuntLine, SinglePhasePathsAgreeWithTheGeneralPath) {
    const Complex y(0.0, 0.04), z(0.5, 1.0);
    const Complex c = y + y * y * z / 4.0, d = 1.0 + y * z / 2.0;
    const Complex v2[] = {Complex(226.0, -2.0)};
    for (const SinglePhaseCase& sc : {SinglePhaseCase{"unbound", false}, {"bound", true}}) {
        SCOPED_TRACE(sc.name);
        Bus a(1, nullptr), b(1, v2);
        ShuntLine line(1, &y, &z);
        join_sides(line, a, b);
        CurrentSink sink(Complex(5.0, -1.0));
        line.connect(sink, {{1, 0}});
        std::unique_ptr<TapeCheck> check;
        if (sc.bound) check = std::make_unique<TapeCheck>(std::vector<Element*>{&a, &b, &line, &sink});
        EXPECT_EQ(line.v2_storage != nullptr, sc.bound);
        sink.backward_step();
        line.backward_step();
        const Complex i2(-5.0, 1.0);
        expect_close(line.ports[1].current, i2);
        expect_close(line.ports[0].current, c * v2[0] - d * i2);
        expect_close(line.ports[2].current, -(c * v2[0] - d * i2) - i2);
    }
}

TEST(ShuntLine, SinglePhaseForwardStepWritesOnlyTheSolverValue) {
    const Complex y(0.0), z(1.0);
    const Complex v1[] = {Complex(4.0, 5.0)};
    const Complex v2[] = {Complex(1.0, 1.0)};
    Bus a(1, v1), b(1, v2);
    ShuntLine line(1, &y, &z);
    join_sides(line, a, b);
    line.ports[0].current = Complex(0.0);
    {
        TapeCheck check({&a, &b, &line});
        line.ports[0].current = Complex(0.0);
        EXPECT_EQ(line.v2_storage, check.variables.data() + 2);
        EXPECT_DOUBLE_EQ(line.forward_step(), 4.0);  // max(|3|, |4|), not the modulus 5
        EXPECT_EQ(potential(b, 0), v1[0]);            // the bound read shows the new value
        EXPECT_EQ(b.ports[0].connection->potential.value, v2[0]);  // the own value is kept
    }
    // Once the solver is gone the caches no longer point into its storage (b's node kept the
    // solver's value, v1): the general path writes the own value and measures the modulus.
    EXPECT_EQ(line.v2_storage, nullptr);
    EXPECT_EQ(line.v1_storage, nullptr);
    EXPECT_EQ(b.ports[0].connection->potential.value, v1[0]);
    b.ports[0].connection->set_potential(v2[0]);
    EXPECT_DOUBLE_EQ(line.forward_step(), 5.0);
    EXPECT_EQ(b.ports[0].connection->potential.value, v1[0]);
}

TEST(ShuntLine, SinglePhaseStepsFallBackWithoutSolverStorage) {
    // Before any binding, and with a grounded node on either side after binding, the cached
    // storage is missing or meaningless: the general path runs, reading grounded nodes as 0.
    const Complex y(0.0, 0.04), z(0.5, 1.0);
    const Complex c = y + y * y * z / 4.0, d = 1.0 + y * z / 2.0, a_ = d;
    const Complex v1[] = {Complex(230.0, 0.0)};
    const Complex v2[] = {Complex(226.0, -2.0)};
    const Complex demand(5.0, -1.0), i1(7.0, 2.0);
    struct Case {
        const char* name;
        int grounded_side;  // 0: none (unbound), 1 or 2: that side's node grounded (bound)
    };
    for (const Case& cs : {Case{"before binding", 0}, {"grounded side 1", 1}, {"grounded side 2", 2}}) {
        SCOPED_TRACE(cs.name);
        Bus a(1, v1), b(1, v2);
        PotentialRef ref;
        ShuntLine line(1, &y, &z);
        join_sides(line, a, b);
        CurrentSink sink(demand);
        line.connect(sink, {{1, 0}});
        if (cs.grounded_side == 1) a.connect(ref, {{0, 0}});
        if (cs.grounded_side == 2) b.connect(ref, {{0, 0}});
        std::unique_ptr<TapeCheck> check;
        if (cs.grounded_side != 0)
            check = std::make_unique<TapeCheck>(std::vector<Element*>{&a, &b, &ref, &line, &sink});
        const Complex read_v1 = cs.grounded_side == 1 ? Complex(0.0) : v1[0];
        const Complex read_v2 = cs.grounded_side == 2 ? Complex(0.0) : v2[0];

        sink.backward_step();
        line.backward_step();
        expect_close(line.ports[1].current, -demand);
        expect_close(line.ports[0].current, c * read_v2 + d * demand);

        line.ports[0].current = i1;
        const Complex v2_new = a_ * read_v1 - z * i1;
        EXPECT_NEAR(line.forward_step(), std::abs(v2_new - read_v2), 1e-9);
        expect_close(b.ports[0].connection->potential.value, v2_new);  // own value written
    }
}

TEST(ShuntLine, SweepsReachThePiSectionSolution) {
    // Source V1 = 230 V, a pi section (z, y, extra node grounded), a constant current I drawn
    // at its end. Kirchhoff: V2 = V1 − z·(I + ½y·V2), so V2 = (V1 − z·I) / (1 + ½zy), and the
    // source delivers I1 = ½y·V1 + I + ½y·V2.
    const Complex u[] = {Complex(230.0, 0.0)};
    const Complex y(0.0, 0.04), z(0.5, 1.0), i(20.0, -10.0);
    const Complex v2 = (u[0] - z * i) / (1.0 + 0.5 * z * y);
    for (const SinglePhaseCase& sc : {SinglePhaseCase{"general path", false}, {"single-phase path", true}}) {
        SCOPED_TRACE(sc.name);
        VoltageSource source(2, u);
        PotentialRef ref, shunt_ref;
        ShuntLine line(1, &y, &z);
        CurrentSink sink(i);
        source.connect(ref, {{1, 0}});
        line.connect_side(source, {{0, 0}}, true);
        line.connect(sink, {{1, 0}});
        line.connect(shunt_ref, {{2, 0}});
        const std::vector<Element*> elements = {&source, &ref, &line, &sink, &shunt_ref};
        std::unique_ptr<TapeCheck> check;
        if (sc.bound) check = std::make_unique<TapeCheck>(elements);
        double measure = 1.0;
        for (int sweep = 0; sweep < 50 && measure > 1e-12; ++sweep) measure = testing::sweep(elements);
        EXPECT_LE(measure, 1e-12);
        expect_close(potential(line, 1), v2);
        expect_close(line.ports[0].current, 0.5 * y * u[0] + i + 0.5 * y * v2);
        expect_close(port_sum(line), 0.0, relative(1e-12));
    }
}

TEST(ShuntLine, SinglePhaseBackwardStepReadsTheSideTwoNodeAsItIsNow) {
    const Complex y(0.0), z(1.0);
    ShuntLine line(1, &y, &z);
    CurrentSink first(1.0), second(2.0);
    line.connect(first, {{1, 0}});
    auto third = std::make_unique<CurrentSink>(4.0);
    line.connect(*third, {{1, 0}});
    line.connect(second, {{1, 0}});
    TapeCheck check({&line, &first, &second});
    EXPECT_EQ(line.i1_current, &line.ports[0].current);
    EXPECT_EQ(line.extra_current, &line.ports[2].current);
    first.ports[0].current = 1.0;
    second.ports[0].current = 2.0;
    third->ports[0].current = 4.0;
    line.backward_step();
    EXPECT_EQ(line.ports[1].current, Complex(-7.0));
    // A member destroyed after binding no longer counts (and is never read again).
    third.reset();
    line.backward_step();
    EXPECT_EQ(line.ports[1].current, Complex(-3.0));
}

TEST(ShuntLine, RefusesALineWithoutPhases) {
    const Complex v(1.0);
    try {
        ShuntLine line(0, &v, &v);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "a shunt line needs at least one phase");
    }
    try {
        ShuntLine line(-1, &v, &v);
        FAIL() << "no exception";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "vector::reserve");
    }
    ShuntLine line(1, &v, &v);
    EXPECT_THROW(line.compute_currents(true), std::logic_error);
}

TEST(ComplexVariableVector, LaysOutEntriesAndWritesThrough) {
    Eigen::VectorXcd v(2);
    v << Complex(1, 2), Complex(3, 4);
    ComplexVariableVector h(v);
    std::vector<double> pushed;
    h.push_values(pushed);
    EXPECT_EQ(pushed, (std::vector<double>{1, 2, 3, 4}));

    Eigen::VectorXd values = Eigen::VectorXd::LinSpaced(7, 0.0, 6.0);
    ADVector tape(7);
    int index = 2;
    h.bind(tape, values, index);
    EXPECT_EQ(index, 6);
    EXPECT_EQ(h.ad_value.size(), 2);
    EXPECT_EQ(h.get(1), Complex(4.0, 5.0));  // entries b + 2 and b + 3
    EXPECT_EQ(h.value(1), Complex(3.0, 4.0));

    Eigen::VectorXcd w(2);
    w << Complex(-1, -2), Complex(-3, -4);
    h.set(w);
    EXPECT_EQ(values[4], -3.0);
    EXPECT_EQ(values[5], -4.0);
    EXPECT_EQ(h.value(0), Complex(-1.0, -2.0));
    EXPECT_THROW(h.set(Eigen::VectorXcd::Zero(3)), std::invalid_argument);
    h.release_from(values);
    EXPECT_FALSE(h.bound);
    EXPECT_EQ(h.get(1), Complex(-3.0, -4.0));
}

}  // namespace
}  // namespace meshvolt
