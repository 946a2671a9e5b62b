// The single-phase voltage regulator: its ports, the smooth clamp of the tap, the starting tap,
// the current law (on the tape and in plain numbers) and its equation, the parameter update, the
// backward-forward steps.
//
// Conventions: input side 1 = ports 0 (a), 1 (b); output side 2 = ports 2 (a), 3 (b), port 3 in
// port 1's node; currents positive into the regulator.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "model/bus.hpp"
#include "model/potential_ref.hpp"
#include "sweep_helpers.hpp"
#include "tape_fixture.hpp"
#include "transformers/single_voltage_regulator.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const double ln2 = std::log(2.0);
const Complex z2_default(0.02, 0.05);
const Complex ym_default(1e-4, -3e-4);

// A regulator with a tap range of ±0.1 and sharpness 100 unless told otherwise.
SingleVoltageRegulator make_regulator(double u_ref, double phi = 0.0, double alpha = 100.0,
                                      Complex z2 = z2_default, Complex ym = ym_default) {
    return SingleVoltageRegulator(z2, ym, u_ref, 0.1, alpha, phi);
}

// Input a on `input` port 0, input b (and so output b) on `input` port 1, output a on `output`
// port 0.
void join(SingleVoltageRegulator& reg, Bus& input, Bus& output) {
    reg.connect_side(input, {{0, 0}, {1, 1}}, true);
    reg.connect_side(output, {{0, 0}}, false);
}

TEST(SingleVoltageRegulator, PortsSidesAndTheCommonTerminal) {
    SingleVoltageRegulator reg = make_regulator(230.0);
    ASSERT_EQ(reg.port_count(), 4);
    ASSERT_EQ(reg.side1.size(), 2u);
    ASSERT_EQ(reg.side2.size(), 2u);
    EXPECT_EQ(reg.side1[1], &reg.ports[1]);
    EXPECT_EQ(reg.side2[1], &reg.ports[3]);
    EXPECT_EQ(reg.ports[1].connection, reg.ports[3].connection);
    EXPECT_NE(reg.ports[0].connection, reg.ports[2].connection);
    EXPECT_NE(reg.ports[0].connection, reg.ports[1].connection);

    // A bus joined to input b sets the potential of output b.
    const Complex v = Complex(5.0, -1.0);
    Bus neutral(1, &v);
    reg.connect_side(neutral, {{1, 0}}, true);
    EXPECT_EQ(potential(reg, 3), v);
}

TEST(SingleVoltageRegulator, SmoothClampValues) {
    // Range [0.9, 1.1]. At an edge each tail adds ln 2/alpha; far from the edges the clamp is the
    // identity inside and the edge outside. The softplus form cannot overflow at any sharpness.
    struct Case {
        double tap;
        double alpha;
        double expected;
        double tolerance;
    };
    const std::vector<Case> cases = {
        {1.0, 100.0, 1.0, 1e-12},
        {0.9, 100.0, 0.9 + ln2 / 100.0, 1e-10},
        {1.1, 100.0, 1.1 - ln2 / 100.0, 1e-10},
        {0.5, 100.0, 0.9, 1e-12},
        {2.0, 100.0, 1.1, 1e-12},
        {1.05, 1e4, 1.05, 1e-12},
        {1.1, 1e4, 1.1 - ln2 / 1e4, 1e-12},
        {-1e6, 1e9, 0.9, 1e-12},
        {1e6, 1e9, 1.1, 1e-9},
    };
    for (const Case& c : cases) {
        SingleVoltageRegulator reg = make_regulator(230.0, 0.0, c.alpha);
        reg.tap.value = c.tap;
        const double clamped = reg.get_tap();
        EXPECT_TRUE(std::isfinite(clamped)) << "tap " << c.tap << ", alpha " << c.alpha;
        EXPECT_NEAR(clamped, c.expected, c.tolerance) << "tap " << c.tap << ", alpha " << c.alpha;
    }
}

TEST(SingleVoltageRegulator, ComputeTapClampsTheVoltageRatioAndStoresNothing) {
    SingleVoltageRegulator reg = make_regulator(240.0);
    EXPECT_NEAR(reg.compute_tap(1e4), 0.9, 1e-12);   // 240/10 kV far below the range
    EXPECT_NEAR(reg.compute_tap(24.0), 1.1, 1e-12);  // ratio 10 far above it
    EXPECT_NEAR(reg.compute_tap(240.0), 1.0, 1e-12);
    EXPECT_EQ(reg.tap.value, 1.0);
    EXPECT_EQ(reg.get_tap(), reg.compute_tap(240.0));
}

TEST(SingleVoltageRegulator, StartingTapIsTheHardClampedRatioOrTheOwnValue) {
    struct Case {
        Complex v0, v1;
        double own_tap;
        double expected;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Case> cases = {
        {230.0, 0.0, 1.0, 240.0 / 230.0},
        {Complex(0.0, 230.0), Complex(10.0, 0.0), 1.0, 240.0 / std::abs(Complex(-10.0, 230.0))},
        {200.0, 0.0, 1.0, 1.1},  // 1.2 clamped hard
        {300.0, 0.0, 1.0, 0.9},  // 0.8 clamped hard
        {0.0, 0.0, 1.0, 1.0},    // no input voltage: the own value
        {7.0, 7.0, 1.03, 1.03},
        {Complex(nan, 0.0), 0.0, 0.97, 0.97},
    };
    for (const Case& c : cases) {
        SingleVoltageRegulator reg = make_regulator(240.0);
        reg.tap.value = c.own_tap;
        const Complex v_in[] = {c.v0, c.v1};
        Bus input(2, v_in);
        reg.connect_side(input, {{0, 0}, {1, 1}}, true);
        std::vector<double> values;
        reg.collect_variables(values);
        ASSERT_EQ(values.size(), 1u);
        EXPECT_NEAR(values[0], c.expected, 1e-14) << "V0 " << c.v0 << ", V1 " << c.v1;
        EXPECT_EQ(reg.tap.value, c.own_tap);  // the holder itself is left alone
    }
}

TEST(SingleVoltageRegulator, ParametersInTheirOrder) {
    SingleVoltageRegulator reg = make_regulator(240.0);
    std::vector<double> values;
    reg.collect_parameters(values);
    EXPECT_EQ(values, (std::vector<double>{0.02, 0.05, 1e-4, -3e-4, 240.0}));
}

// Power balance of the two-port: with the ratio k = c·e^(jφ) the ideal part passes its power on
// (S1,ideal + S2,ideal = 0), so the total power into the regulator is what z2 and ym consume:
//     U1·conj(I1) + U2·conj(I2) = z2·|I2|² + conj(ym)·|U1|²
// and the port currents sum to zero with port 3 carrying none.
TEST(SingleVoltageRegulator, CurrentsOnTheTapeAndInNumbersKeepThePowerBalance) {
    struct Case {
        double phi;
        double tap;
        Complex v0, v1, v2;
    };
    const std::vector<Case> cases = {
        {0.0, 1.0, 230.0, 0.0, 225.0},
        {0.3, 1.04, Complex(230.0, 10.0), Complex(1.0, -0.5), Complex(228.0, 60.0)},
        {-0.5, 1.09, Complex(200.0, -40.0), Complex(-2.0, 1.0), Complex(190.0, -150.0)},
        {0.1, 0.8, 250.0, 0.0, 210.0},  // beyond the range: the ratio sits near the edge
    };
    for (const Case& c : cases) {
        const std::string what = "phi " + std::to_string(c.phi) + ", tap " + std::to_string(c.tap);
        SingleVoltageRegulator reg = make_regulator(230.0, c.phi);
        const Complex v_in[] = {c.v0, c.v1};
        Bus input(2, v_in), output(1, &c.v2);
        join(reg, input, output);
        TapeCheck check({&input, &output, &reg});
        ASSERT_EQ(check.equation_count, 1) << what;
        check.variables[check.variables.size() - 1] = c.tap;
        check.evaluate();
        check.expect_currents_agree();

        const Complex u1 = c.v0 - c.v1, u2 = c.v2 - c.v1;
        const Complex i1 = reg.ports[0].current, i2 = reg.ports[2].current;
        EXPECT_EQ(reg.ports[3].current, Complex(0.0)) << what;
        expect_close(reg.ports[1].current, -(i1 + i2));
        expect_close(u1 * std::conj(i1) + u2 * std::conj(i2),
                     z2_default * std::norm(i2) + std::conj(ym_default) * std::norm(u1));
        // The ideal part's voltage ratio: U2 = k·U1 + z2·I2.
        expect_close(u2, std::polar(reg.get_tap(), c.phi) * u1 + z2_default * i2);
        // The equation: tap·|U2|/u_ref − smooth_clamp(tap).
        EXPECT_NEAR(check.residual(0), c.tap * std::abs(u2) / 230.0 - reg.get_tap(), 1e-12) << what;
    }
}

TEST(SingleVoltageRegulator, UnitTapAndEqualSidesCarryOnlyTheShuntCurrent) {
    SingleVoltageRegulator reg = make_regulator(230.0, 0.0, 100.0, Complex(0.3, 0.7));
    const Complex v_in[] = {Complex(230.0, 5.0), Complex(2.0, 1.0)};
    const Complex v_out = v_in[0];
    Bus input(2, v_in), output(1, &v_out);
    join(reg, input, output);
    reg.compute_currents(false);
    EXPECT_NEAR(std::abs(reg.ports[2].current), 0.0, 1e-9);
    expect_close(reg.ports[0].current, ym_default * (v_in[0] - v_in[1]));
}

TEST(SingleVoltageRegulator, UpdateParametersWritesTheStartingPoint) {
    // No input voltage: only the parameters change.
    {
        SingleVoltageRegulator reg = make_regulator(230.0);
        reg.update_parameters(Complex(0.1, 0.2), Complex(0.0, -1e-3), 240.0);
        EXPECT_EQ(reg.z2.value, Complex(0.1, 0.2));
        EXPECT_EQ(reg.ym.value, Complex(0.0, -1e-3));
        EXPECT_EQ(reg.u_ref.value, 240.0);
        EXPECT_EQ(reg.tap.value, 1.0);
        EXPECT_EQ(potential(reg, 2), Complex(0.0));
    }
    // 230 V in, 240 V wanted: tap 240/230 and output a at get_tap()·230, without the phase angle,
    // in the own values and in a bound solver's vectors.
    SingleVoltageRegulator reg = make_regulator(230.0, 0.4);
    const Complex v_in[] = {230.0, 0.0};
    const Complex v_out = 100.0;
    Bus input(2, v_in), output(1, &v_out);
    join(reg, input, output);
    TapeCheck check({&input, &output, &reg});
    reg.update_parameters(Complex(0.1, 0.2), Complex(0.0, -1e-3), 240.0);
    EXPECT_NEAR(reg.tap.value, 240.0 / 230.0, 1e-14);
    EXPECT_NEAR(reg.get_tap(), 1.043443, 5e-7);
    const Complex expected = reg.get_tap() * 230.0;
    EXPECT_EQ(output.ports[0].connection->potential.value, expected);
    EXPECT_EQ(check.variables[check.variables.size() - 1], reg.tap.value);
    EXPECT_EQ(Complex(check.variables[4], check.variables[5]), expected);  // output node's entries
    EXPECT_EQ(check.parameters[4], 240.0);
    EXPECT_EQ(Complex(check.parameters[0], check.parameters[1]), Complex(0.1, 0.2));
}

TEST(SingleVoltageRegulator, BackwardStepFromTheOutputDemand) {
    SingleVoltageRegulator reg = make_regulator(230.0, 0.25);
    const Complex v_in[] = {Complex(230.0, 0.0), Complex(1.0, 0.0)};
    const Complex v_out = 235.0;
    Bus input(2, v_in), output(1, &v_out);
    join(reg, input, output);
    testing::CurrentSink sink(Complex(20.0, -5.0));
    output.connect(sink, {{0, 0}});
    reg.tap.value = 1.05;
    sink.backward_step();
    reg.backward_step();

    const Complex i2(-20.0, 5.0);  // the sink's demand leaves through output a
    const Complex k = std::polar(reg.get_tap(), 0.25);
    const Complex i1 = ym_default * Complex(229.0, 0.0) - std::conj(k) * i2;
    expect_close(reg.ports[2].current, i2);
    expect_close(reg.ports[0].current, i1);
    expect_close(reg.ports[1].current, -(i1 + i2));
    EXPECT_EQ(reg.ports[3].current, Complex(0.0));
}

TEST(SingleVoltageRegulator, ForwardStepPutsTheReferenceOnAnIdleOutput) {
    // No output current: the new tap is u_ref/|U1| at once and the output lands on u_ref, turned
    // by phi. With sharpness 10⁴ the clamp is the identity at a tap of 1.043.
    const double phi = 0.2;
    SingleVoltageRegulator reg = make_regulator(240.0, phi, 1e4);
    const Complex v_in[] = {Complex(231.0, 0.0), Complex(1.0, 0.0)};
    const Complex v_out = 200.0;
    Bus input(2, v_in), output(1, &v_out);
    join(reg, input, output);
    TapeCheck check({&input, &output, &reg});
    reg.ports[2].current = Complex(0.0, 0.0);

    const double change = reg.forward_step();
    EXPECT_NEAR(reg.tap.value, 240.0 / 230.0, 1e-12);
    EXPECT_EQ(check.variables[check.variables.size() - 1], reg.tap.value);  // written through
    const Complex v2 = potential(reg, 2);
    expect_close(v2 - Complex(1.0, 0.0), std::polar(240.0, phi), relative(1e-12));
    EXPECT_DOUBLE_EQ(change, std::max(std::abs((v2 - 200.0).real()), std::abs(v2.imag())));

    // A second step changes nothing.
    EXPECT_NEAR(reg.forward_step(), 0.0, 1e-9);
}

TEST(SingleVoltageRegulator, ForwardStepMeasuresThePotentialNotTheTap) {
    // 230 V in, 240 V wanted, no output current: the tap moves from 1 to 240/230, while the output
    // already sits where the new ratio puts it, so the step reports no change at all.
    SingleVoltageRegulator reg = make_regulator(240.0);
    SingleVoltageRegulator settled = make_regulator(240.0);
    settled.tap.value = 240.0 / 230.0;
    const Complex v_in[] = {230.0, 0.0};
    const Complex v_out = settled.get_tap() * 230.0;
    Bus input(2, v_in), output(1, &v_out);
    join(reg, input, output);
    reg.ports[2].current = Complex(0.0, 0.0);

    EXPECT_EQ(reg.forward_step(), 0.0);
    EXPECT_NEAR(reg.tap.value, 240.0 / 230.0, 1e-14);
}

TEST(SingleVoltageRegulator, ForwardStepOnAGroundedOutputMeasuresTheWrittenPotential) {
    SingleVoltageRegulator reg = make_regulator(240.0, 0.0, 1e4);
    const Complex v_in[] = {240.0, 0.0};
    Bus input(2, v_in);
    PotentialRef ref;
    reg.connect_side(input, {{0, 0}, {1, 1}}, true);
    reg.connect_side(ref, {{0, 0}}, false);
    reg.ports[2].current = Complex(0.0, 10.0);
    const double change = reg.forward_step();
    const Complex written = ref.ports[0].connection->potential.value;
    // |U1 + z2·I2| = |240 + (0.02 + 0.05j)·10j| gives the tap; the written potential is the output.
    const double t = 240.0 / std::abs(240.0 + z2_default * Complex(0.0, 10.0));
    expect_close(written, t * 240.0 + z2_default * Complex(0.0, 10.0), relative(1e-10));
    EXPECT_DOUBLE_EQ(change, std::max(std::abs(written.real()), std::abs(written.imag())));
    EXPECT_EQ(potential(reg, 2), Complex(0.0));  // still read as the reference
}

}  // namespace
}  // namespace meshvolt
