// Control laws, projections and flexible parameters: the shapes the laws take at a large sharpness
// (knees, ramps and the limit circle, derived by hand), the same law recorded on the tape, the name
// tables and the kind errors.
//
// Voltages of every law below: u_min 210, u_down 220, u_up 240, u_max 250 (V). A sharpness of 1e4
// puts every test voltage at least 100/1e4 (normalised) from a knee, so the smooth steps are exact
// to rounding there; it also drives the written ln(1 + e^z) forms past the range of a double
// (e^(1e4·0.2)), which the laws must survive.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "loads/flexible_parameter.hpp"
#include "tape_fixture.hpp"

namespace meshvolt {
namespace {

using namespace testing;

constexpr double u_min = 210.0, u_down = 220.0, u_up = 240.0, u_max = 250.0;
constexpr double sharp = 1e4;
constexpr double narrow = 1e-6;

Control law(const char* kind, double alpha = sharp) {
    return Control(kind, u_min, u_down, u_up, u_max, alpha, narrow);
}
Control constant() { return law("constant"); }
Projection projection(const char* kind, double alpha = sharp) {
    return Projection(kind, alpha, narrow);
}

struct LawCase {
    std::string name;
    Control control_p;
    Control control_q;
    Projection projection;
    double s_max, q_min, q_max;
    double x;
    Complex s_th;
    Complex expected;
};

void PrintTo(const LawCase& c, std::ostream* os) { *os << c.name; }

FlexibleParameter parameter_of(const LawCase& c) {
    return FlexibleParameter(c.control_p, c.control_q, c.projection, c.s_max, c.q_min, c.q_max);
}

std::vector<LawCase> law_cases() {
    const Projection loose = projection("euclidean");  // every point below lies well inside S = 100
    // q_u with q_min -30, Q 10, q_max 40: q_min, halfway down, Q, halfway up, q_max.
    const auto q_u = [&](const char* name, double x, double q) {
        return LawCase{name, constant(), law("q_u"), loose, 100.0, -30.0, 40.0, x, {20.0, 10.0}, {20.0, q}};
    };
    // Production, P = -S/2: knee e = ((-1/2 + 1)·10 + 240)/250 = 0.98, that is x = 245.
    const auto production = [&](const char* name, double x, double p) {
        return LawCase{name, law("p_max_u_production"), constant(), loose, 100.0, 0.0, 0.0, x,
                       {-50.0, 0.0}, {p, 0.0}};
    };
    // Consumption, P = S/2: knee e·u_min = 220 - (1/2)·10 = 215.
    const auto consumption = [&](const char* name, double x, double p) {
        return LawCase{name, law("p_max_u_consumption"), constant(), loose, 100.0, 0.0, 0.0, x,
                       {50.0, 0.0}, {p, 0.0}};
    };
    // Projections of points around the circle S = 10, the reactive law flat (x between u_down and
    // u_up gives Q' = Q).
    const auto projected = [&](const char* name, const char* kind, Complex s, Complex expected) {
        return LawCase{name, constant(), law("q_u"), projection(kind), 10.0, -5.0, 5.0, 230.0, s, expected};
    };
    // At x = u_down the low ramp's knee gives Q' = Q - (Q - q_min)·ln 2/(α·(b - a)), b - a = 10/250.
    const double knee_gap = std::log(2.0) / (sharp * (u_down - u_min) / u_max);
    // At x = u_up: Q' = Q + (q_max - Q)·ln 2/(α·(1 - g)), 1 - g = 10/250.
    const double high_gap = std::log(2.0) / (sharp * (u_max - u_up) / u_max);
    return {
        q_u("q_u below u_min", 200.0, -30.0),
        q_u("q_u on the low ramp", 215.0, -10.0),
        q_u("q_u in the dead band", 230.0, 10.0),
        q_u("q_u on the high ramp", 245.0, 25.0),
        q_u("q_u above u_max", 260.0, 40.0),
        q_u("q_u far above u_max", 2.0 * u_max, 40.0),
        q_u("q_u at u_down", u_down, 10.0 - 40.0 * knee_gap),
        q_u("q_u at u_up", u_up, 10.0 + 30.0 * high_gap),
        production("production below the knee", 230.0, -50.0),
        production("production halfway down the ramp", 247.5, -25.0),
        production("production above u_max", 260.0, 0.0),
        production("production far above u_max", 2.0 * u_max, 0.0),
        consumption("consumption below u_min", 200.0, 0.0),
        consumption("consumption halfway up the ramp", 212.5, 25.0),
        consumption("consumption above the knee", 230.0, 50.0),
        consumption("consumption far above the knee", 2.0 * u_max, 50.0),
        projected("euclidean inside", "euclidean", {3.0, 4.0}, {3.0, 4.0}),
        projected("euclidean at twice the radius", "euclidean", {12.0, 16.0}, {6.0, 8.0}),
        projected("euclidean at 500 times the radius", "euclidean", {3000.0, 4000.0}, {6.0, 8.0}),
        projected("keep_p inside", "keep_p", {6.0, -4.0}, {6.0, -4.0}),
        projected("keep_p with q = 0", "keep_p", {6.0, 0.0}, {6.0, 0.0}),
        projected("keep_p above the circle", "keep_p", {6.0, 12.0}, {6.0, 8.0}),
        projected("keep_p far below the circle", "keep_p", {6.0, -4000.0}, {6.0, -8.0}),
        projected("keep_q beyond the circle", "keep_q", {12.0, 8.0}, {6.0, 8.0}),
        projected("keep_q beyond the circle, producing", "keep_q", {-12.0, 8.0}, {-6.0, 8.0}),
        projected("keep_q far beyond the circle", "keep_q", {-3000.0, 8.0}, {-6.0, 8.0}),
    };
}

class FlexibleLaw : public ::testing::TestWithParam<LawCase> {};

TEST_P(FlexibleLaw, GivesTheShapeDerivedByHand) {
    const LawCase& c = GetParam();
    const Complex s = parameter_of(c).compute_power(c.x, c.s_th);
    ASSERT_TRUE(std::isfinite(s.real()) && std::isfinite(s.imag())) << s;
    expect_close(s, c.expected, relative(1e-9));
}

// The law recorded with x and s_th as independent variables and the limits as dynamic
// parameters: the tape's value equals the plain one, and its derivatives are finite even where
// the written exponentials would overflow.
TEST_P(FlexibleLaw, TapeEqualsPlainNumbersWithFiniteDerivatives) {
    const LawCase& c = GetParam();
    FlexibleParameter parameter = parameter_of(c);
    ADVector x(3), limits(3);
    x << c.x, c.s_th.real(), c.s_th.imag();
    std::vector<double> gathered;
    parameter.push_values(gathered);
    for (int k = 0; k < 3; ++k) limits[k] = gathered[static_cast<std::size_t>(k)];
    Eigen::VectorXd bound = Eigen::Map<Eigen::VectorXd>(gathered.data(), 3);
    CppAD::Independent(x, 0, false, limits);
    int index = 0;
    parameter.bind(limits, bound, index);
    const ADComplex s = parameter.compute_power_ad(x[0], ADComplex(x[1], x[2]));
    ADVector y(2);
    y << s.real(), s.imag();
    CppAD::ADFun<double> tape(x, y);

    const Eigen::VectorXd at = (Eigen::VectorXd(3) << c.x, c.s_th.real(), c.s_th.imag()).finished();
    tape.new_dynamic(bound);
    const Eigen::VectorXd value = tape.Forward(0, at);
    expect_close(Complex(value[0], value[1]), parameter.compute_power(c.x, c.s_th),
                 relative(1e-12));
    const Eigen::VectorXd jacobian = tape.Jacobian(at);
    for (Eigen::Index k = 0; k < jacobian.size(); ++k) EXPECT_TRUE(std::isfinite(jacobian[k])) << k;

    // The limits are dynamic: a new s_max reaches the recorded law without recording again.
    parameter.update_parameters(2.0 * c.s_max, c.q_min, c.q_max);
    tape.new_dynamic(bound);
    const Eigen::VectorXd moved = tape.Forward(0, at);
    expect_close(Complex(moved[0], moved[1]), parameter.compute_power(c.x, c.s_th),
                 relative(1e-12));
    parameter.release_from(bound);
}

INSTANTIATE_TEST_SUITE_P(Laws, FlexibleLaw, ::testing::ValuesIn(law_cases()),
                         [](const auto& info) {
                             std::string name;
                             for (char ch : info.param.name) name += std::isalnum(ch) ? ch : '_';
                             return name;
                         });

// Exactly at a knee of a smooth step, ln(1 + e^z) at z = 0, the recorded slope is that of the
// written law: half the ramp's slope (the step is halfway up), not none and not all of it.
TEST(FlexibleParameter, RecordedSlopeAtAKneeIsHalfTheRampSlope) {
    const Projection loose = projection("euclidean");
    const struct {
        const char* name;
        FlexibleParameter parameter;
        double x;
        Complex s_th;
        Complex slope;  // d(P', Q')/dx
    } cases[] = {
        // q_u, q_min -30, Q 10, q_max 40: the low ramp rises 40 var over 10 V, the high one 30 var.
        {"q_u at u_down", {constant(), law("q_u"), loose, 100.0, -30.0, 40.0}, u_down, {20.0, 10.0},
         {0.0, 40.0 / 10.0 / 2.0}},
        {"q_u at u_up", {constant(), law("q_u"), loose, 100.0, -30.0, 40.0}, u_up, {20.0, 10.0},
         {0.0, 30.0 / 10.0 / 2.0}},
        // P = -50 falls to 0 between the knee at 245 V and u_max.
        {"production at u_max", {law("p_max_u_production"), constant(), loose, 100.0, 0.0, 0.0},
         u_max, {-50.0, 0.0}, {50.0 / 5.0 / 2.0, 0.0}},
        // P = 50 rises from 0 at u_min to the knee at 215 V.
        {"consumption at u_min", {law("p_max_u_consumption"), constant(), loose, 100.0, 0.0, 0.0},
         u_min, {50.0, 0.0}, {50.0 / 5.0 / 2.0, 0.0}},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.name);
        ADVector x(1), limits(3);
        x[0] = c.x;
        std::vector<double> gathered;
        c.parameter.push_values(gathered);
        for (int k = 0; k < 3; ++k) limits[k] = gathered[static_cast<std::size_t>(k)];
        Eigen::VectorXd bound = Eigen::Map<Eigen::VectorXd>(gathered.data(), 3);
        CppAD::Independent(x, 0, false, limits);
        int index = 0;
        c.parameter.bind(limits, bound, index);
        const ADComplex s = c.parameter.compute_power_ad(
            x[0], ADComplex(ADScalar(c.s_th.real()), ADScalar(c.s_th.imag())));
        ADVector y(2);
        y << s.real(), s.imag();
        CppAD::ADFun<double> tape(x, y);
        tape.new_dynamic(bound);
        const Eigen::VectorXd slope = tape.Jacobian((Eigen::VectorXd(1) << c.x).finished());
        expect_close(Complex(slope[0], slope[1]), c.slope, relative(1e-9));
        c.parameter.release_from(bound);
    }
}

TEST(FlexibleParameter, ConstantLawsReturnTheRequestedPowerExactly) {
    // No projection and no division by s_max = 0, even far outside the circle.
    const FlexibleParameter parameter(constant(), constant(), projection("euclidean"), 0.0, 1.0, 2.0);
    for (const Complex s : {Complex(1e6, -3e5), Complex(-0.1, 0.3), Complex(0.0, -0.0)}) {
        const Complex got = parameter.compute_power(231.5, s);
        EXPECT_EQ(got.real(), s.real());
        EXPECT_EQ(got.imag(), s.imag());
    }
}

TEST(FlexibleParameter, KeepQTakesItsSignFromTheRequestedPower) {
    // Production with P = -2 of S = 10 above u_max: P' = 0, yet σ stays -1 (the request was
    // negative); P = -0.0 takes σ = +1. Either way p = σ·sqrt(ε) (the smooth minimum of 0 and
    // 1 - q² is 0, lifted to ε).
    const FlexibleParameter parameter(law("p_max_u_production"), constant(), projection("keep_q"),
                                      10.0, 0.0, 0.0);
    EXPECT_NEAR(parameter.compute_power(260.0, {-2.0, 3.0}).real(), -10.0 * std::sqrt(narrow), 1e-9);
    EXPECT_NEAR(parameter.compute_power(260.0, {-0.0, 3.0}).real(), 10.0 * std::sqrt(narrow), 1e-9);
    EXPECT_DOUBLE_EQ(parameter.compute_power(260.0, {-2.0, 3.0}).imag(), 3.0);
}

TEST(FlexibleParameter, KeepQSignStaysAsRecordedOnTheTape) {
    // Recorded with a requested P of 12 (σ = +1), evaluated at -12: the tape keeps σ = +1 until a
    // new tape is recorded, where the plain law turns to -1.
    FlexibleParameter parameter(constant(), law("q_u"), projection("keep_q"), 10.0, -5.0, 5.0);
    ADVector s(2), limits(3);
    s << 12.0, 8.0;
    limits << 10.0, -5.0, 5.0;
    Eigen::VectorXd bound = (Eigen::VectorXd(3) << 10.0, -5.0, 5.0).finished();
    CppAD::Independent(s, 0, false, limits);
    int index = 0;
    parameter.bind(limits, bound, index);
    const ADComplex power = parameter.compute_power_ad(ADScalar(230.0), ADComplex(s[0], s[1]));
    ADVector y(2);
    y << power.real(), power.imag();
    CppAD::ADFun<double> tape(s, y);
    tape.new_dynamic(bound);
    const Eigen::VectorXd at = (Eigen::VectorXd(2) << -12.0, 8.0).finished();
    const Eigen::VectorXd recorded = tape.Forward(0, at);
    EXPECT_NEAR(recorded[0], 6.0, 1e-9);
    EXPECT_NEAR(parameter.compute_power(230.0, {-12.0, 8.0}).real(), -6.0, 1e-9);
    parameter.release_from(bound);
}

TEST(FlexibleParameter, UpdateParametersChangesTheOwnLimitsOfAnUnboundParameter) {
    FlexibleParameter parameter(constant(), law("q_u"), projection("euclidean"), 100.0, -30.0, 40.0);
    parameter.update_parameters(50.0, -20.0, 25.0);
    EXPECT_FALSE(parameter.s_max.bound);
    EXPECT_EQ(parameter.s_max.get(), 50.0);
    EXPECT_EQ(parameter.q_min.get(), -20.0);
    EXPECT_EQ(parameter.q_max.get(), 25.0);
    // The new q_max is the reactive power above u_max.
    EXPECT_NEAR(parameter.compute_power(260.0, {20.0, 10.0}).imag(), 25.0, 1e-9);
}

TEST(FlexibleParameter, NamesOutsideTheTablesAreRefusedWithTheGivenText) {
    const struct {
        std::function<void()> make;
        std::string message;
    } cases[] = {
        {[] { law("Constant"); }, "Constant is a bad control type name"},
        {[] { law("Q_U"); }, "Q_U is a bad control type name"},
        {[] { law(""); }, " is a bad control type name"},
        {[] { projection("Euclidean"); }, "Euclidean is a bad projection type name"},
        {[] { projection("keep p"); }, "keep p is a bad projection type name"},
    };
    for (const auto& c : cases) {
        try {
            c.make();
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
    }
}

TEST(FlexibleParameter, LawsOfTheWrongKindAreRefusedWhenComputed) {
    const struct {
        const char* p;
        const char* q;
        const char* message;
    } cases[] = {
        {"q_u", "q_u", "Bad control type for P"},
        {"q_u", "p_max_u_production", "Bad control type for P"},
        {"constant", "p_max_u_production", "Bad control type for Q"},
        {"p_max_u_consumption", "p_max_u_consumption", "Bad control type for Q"},
    };
    for (const auto& c : cases) {
        // Built without complaint; refused in plain numbers and while recording.
        const FlexibleParameter parameter(law(c.p), law(c.q), projection("euclidean"), 10.0, -1.0, 1.0);
        try {
            parameter.compute_power(230.0, {1.0, 1.0});
            ADD_FAILURE() << c.p << "/" << c.q;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
        ADVector x(1);
        x[0] = 230.0;
        CppAD::Independent(x);
        try {
            parameter.compute_power_ad(x[0], ADComplex(ADScalar(1.0), ADScalar(1.0)));
            ADD_FAILURE() << c.p << "/" << c.q << " on the tape";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
        CppAD::AD<double>::abort_recording();
    }
}

}  // namespace
}  // namespace meshvolt
