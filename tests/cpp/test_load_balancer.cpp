// The load balancer: a 3x3 admittance between three phases and a neutral.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "loads/load_balancer.hpp"
#include "model/potential_ref.hpp"
#include "tape_fixture.hpp"

namespace meshvolt {
namespace {

using namespace testing;

constexpr double pi = 3.14159265358979323846;

// 1 / ym = 10 + 20j, which keeps the sequence impedances below easy to work out by hand.
const Complex z2(0.5, 1.0);
const Complex ym(0.02, -0.04);

// Zero-sequence Z_0 = z2 + (1 - 1/k)²/ym and balanced Z_1 = z2 + (1 + 1/k + 1/k²)/ym, by hand.
struct SequenceCase {
    double k;
    Complex z0;
    Complex z1;
};

const SequenceCase sequence_cases[] = {
    {2.0, Complex(3.0, 6.0), Complex(18.0, 36.0)},      // (1/2)² = 0.25;  1.75
    {-1.0, Complex(40.5, 81.0), Complex(10.5, 21.0)},   // z2 + 4/ym;      z2 + 1/ym
    {1.0, Complex(0.5, 1.0), Complex(30.5, 61.0)},      // z2;             z2 + 3/ym
    {0.5, Complex(10.5, 21.0), Complex(70.5, 141.0)},   // 1;              7
};

TEST(LoadBalancer, EqualPhaseVoltagesMeetTheZeroSequenceImpedance) {
    for (const SequenceCase& c : sequence_cases) {
        SCOPED_TRACE("k = " + std::to_string(c.k));
        LoadBalancer lb(z2, ym, c.k);
        const Complex neutral(2.0, -1.0), u(120.0, 35.0);
        set_potentials(lb, {neutral + u, neutral + u, neutral + u, neutral});
        lb.compute_currents(false);
        for (int k = 0; k < 3; ++k) expect_close(lb.ports[k].current, u / c.z0);
        expect_close(lb.ports[3].current, -3.0 * u / c.z0);
    }
}

TEST(LoadBalancer, BalancedVoltagesMeetThePositiveSequenceImpedance) {
    for (const SequenceCase& c : sequence_cases) {
        SCOPED_TRACE("k = " + std::to_string(c.k));
        LoadBalancer lb(z2, ym, c.k);
        const Complex u0(230.0, 0.0);
        const Complex u[] = {u0, u0 * std::polar(1.0, -2.0 * pi / 3.0), u0 * std::polar(1.0, 2.0 * pi / 3.0)};
        const Complex neutral(-3.0, 4.0);
        set_potentials(lb, {neutral + u[0], neutral + u[1], neutral + u[2], neutral});
        lb.compute_currents(false);
        for (int k = 0; k < 3; ++k) expect_close(lb.ports[k].current, u[k] / c.z1);
        EXPECT_LT(std::abs(lb.ports[3].current), 1e-9);
    }
}

TEST(LoadBalancer, AdmittanceIsTheInverseOfTheImpedanceRowByRow) {
    const double k = 2.0;
    LoadBalancer lb(z2, ym, k);
    const Complex d = z2 + (1.0 / (k * k) + 1.0) / ym;
    const Complex o = -1.0 / (k * ym);
    Eigen::Matrix3cd z;
    z << d, o, o, o, d, o, o, o, d;
    ASSERT_EQ(lb.admittance.rows(), 3);
    ASSERT_EQ(lb.admittance.cols(), 3);
    EXPECT_FALSE(lb.admittance.bound);
    const Eigen::Matrix3cd product = lb.admittance.value * z;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            expect_close(product(i, j), Complex(i == j ? 1.0 : 0.0, 0.0), relative(1e-12));

    std::vector<double> values, no_variables;
    lb.collect_parameters(values);
    lb.collect_variables(no_variables);
    EXPECT_TRUE(no_variables.empty());
    ASSERT_EQ(values.size(), 18u);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(values[2 * (3 * i + j)], lb.admittance.value(i, j).real());
            EXPECT_EQ(values[2 * (3 * i + j) + 1], lb.admittance.value(i, j).imag());
        }
}

TEST(LoadBalancer, VoltageMatrixTakesEachPhaseAgainstTheNeutral) {
    LoadBalancer lb(z2, ym, 2.0);
    Eigen::Matrix<double, 3, 4> expected;
    expected << 1, 0, 0, -1, 0, 1, 0, -1, 0, 0, 1, -1;
    EXPECT_EQ(lb.voltage_matrix, expected);
    EXPECT_EQ(lb.port_count(), 4);
}

TEST(LoadBalancer, GroundedNeutralIsNotReadButCarriesTheReturnCurrent) {
    LoadBalancer lb(z2, ym, 2.0);
    const Complex u[] = {Complex(230.0, 0.0), Complex(-100.0, -190.0), Complex(-120.0, 200.0)};
    set_potentials(lb, {u[0], u[1], u[2], Complex(55.0, 55.0)});
    PotentialRef ref;
    lb.connect(ref, {{3, 0}});
    lb.compute_currents(false);
    const Eigen::Vector3cd expected = lb.admittance.value * Eigen::Vector3cd(u[0], u[1], u[2]);
    for (int k = 0; k < 3; ++k) expect_close(lb.ports[k].current, expected[k]);
    expect_close(lb.ports[3].current, -expected.sum());
}

TEST(LoadBalancer, TapeAgreesWithPlainNumbersAndReadsTheBoundMatrix) {
    LoadBalancer lb(z2, ym, -1.5);
    set_potentials(lb, {Complex(231.0, 2.0), Complex(-118.0, -197.0), Complex(-111.0, 203.0), Complex(1.5, -0.7)});
    const Eigen::MatrixXcd own = lb.admittance.value;
    {
        TapeCheck check({&lb});
        EXPECT_EQ(check.parameters.size(), 18);
        EXPECT_EQ(check.equation_count, 0);
        EXPECT_TRUE(lb.admittance.bound);
        check.expect_currents_agree();
        expect_close(port_sum(lb), Complex(0.0, 0.0));
        const Complex before = lb.ports[1].current;

        // The matrix is a dynamic parameter: doubling the solver's entries doubles the currents on
        // the tape and in plain numbers, without recording again.
        check.parameters *= 2.0;
        check.evaluate();
        check.expect_currents_agree();
        expect_close(lb.ports[1].current, 2.0 * before);
        EXPECT_EQ(lb.admittance.value, own);  // the own value is untouched
    }
    // Released with the solver: it reads its own matrix again.
    EXPECT_FALSE(lb.admittance.bound);
    EXPECT_EQ(lb.admittance.get(), own);
}

TEST(LoadBalancer, TapeAgreesWithAGroundedNeutral) {
    LoadBalancer lb(z2, ym, 3.0);
    set_potentials(lb, {Complex(231.0, 2.0), Complex(-118.0, -197.0), Complex(-111.0, 203.0), Complex(9.0, 9.0)});
    PotentialRef ref;
    lb.connect(ref, {{3, 0}});
    TapeCheck check({&lb, &ref});
    check.expect_currents_agree();
}

TEST(LoadBalancer, RecordingBeforeBindingIsRefused) {
    LoadBalancer lb(z2, ym, 2.0);
    EXPECT_THROW(lb.compute_currents(true), std::logic_error);
    for (const Port& p : lb.ports) EXPECT_EQ(p.current_ad, ad_zero());
}

TEST(LoadBalancer, InnerCurrentsAreThePhaseCurrentsOfTheLastPlainComputation) {
    LoadBalancer lb(z2, ym, 2.0);
    set_potentials(lb, {Complex(230.0, 0.0), Complex(0.0, 0.0), Complex(0.0, 0.0), Complex(0.0, 0.0)});
    const Complex sentinel(-7.0, 7.0);
    Complex inner[4] = {sentinel, sentinel, sentinel, sentinel};
    lb.get_inner_currents(inner);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(inner[k], Complex(0.0, 0.0));  // nothing computed yet
    EXPECT_EQ(inner[3], sentinel);                                        // exactly three written
    lb.backward_step();
    lb.get_inner_currents(inner);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(inner[k], lb.ports[k].current);
        expect_close(inner[k], lb.admittance.value(k, 0) * 230.0);
    }
    EXPECT_EQ(inner[3], sentinel);
}

TEST(LoadBalancer, BackwardStepIsThePlainLawAndForwardStepChangesNothing) {
    const std::vector<Complex> v = {Complex(231.0, 2.0), Complex(-118.0, -197.0), Complex(-111.0, 203.0),
                                    Complex(1.5, -0.7)};
    LoadBalancer reference(z2, ym, 2.0), lb(z2, ym, 2.0);
    set_potentials(reference, v);
    set_potentials(lb, v);
    reference.compute_currents(false);
    lb.backward_step();
    for (int k = 0; k < 4; ++k) EXPECT_EQ(lb.ports[k].current, reference.ports[k].current);
    EXPECT_EQ(lb.forward_step(), 0.0);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(lb.ports[k].connection->get_potential(), v[k]);
}

TEST(LoadBalancer, SingularImpedanceIsStoredWithoutAnError) {
    // k = 1 and z2 = 0: every row of Z sums to zero.
    EXPECT_NO_THROW(LoadBalancer(Complex(0.0, 0.0), ym, 1.0));
    EXPECT_NO_THROW(LoadBalancer(z2, ym, 0.0));
    EXPECT_NO_THROW(LoadBalancer(z2, Complex(0.0, 0.0), 2.0));
}

}  // namespace
}  // namespace meshvolt
