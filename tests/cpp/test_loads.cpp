// Constant-power, constant-current and constant-admittance loads in star and delta connection.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "loads/admittance_load.hpp"
#include "loads/current_load.hpp"
#include "loads/power_load.hpp"
#include "model/potential_ref.hpp"
#include "phasors.hpp"
#include "tape_fixture.hpp"

namespace meshvolt {
namespace {

using namespace testing;

enum class Family { power, current, admittance };

// The family's law, checked from its physics rather than from its formula:
// power S = U·conj(I); current |I| = |I_set| with arg I = arg I_set + arg U; admittance I = Y·U.
void expect_law(Family family, const Complex& setpoint, const Complex& u, const Complex& i) {
    switch (family) {
        case Family::power:
            expect_close(u * std::conj(i), setpoint);
            break;
        case Family::current:
            expect_close(i, std::polar(std::abs(setpoint), std::arg(setpoint) + std::arg(u)));
            break;
        case Family::admittance:
            expect_close(i, setpoint * u);
            break;
    }
}

template <class L>
SetpointList& setpoints_of(L& load) {
    if constexpr (std::is_base_of_v<AbstractPowerLoad<L>, L>) return load.powers;
    else if constexpr (std::is_base_of_v<AbstractCurrentLoad<L>, L>) return load.currents;
    else return load.admittances;
}
template <class L>
void update(L& load, const Complex* values) {
    if constexpr (std::is_base_of_v<AbstractPowerLoad<L>, L>) load.update_powers(values);
    else if constexpr (std::is_base_of_v<AbstractCurrentLoad<L>, L>) load.update_currents(values);
    else load.update_admittances(values);
}

struct Kind {
    std::string name;
    Family family;
    bool delta;
    std::function<std::unique_ptr<LoadBase>(int, const Complex*)> make;
    std::function<SetpointList&(LoadBase&)> setpoints;
    std::function<void(LoadBase&, const Complex*)> update;

    int setpoint_count(int n) const { return delta ? n : n - 1; }
};

void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

template <class L>
Kind kind(const char* name, Family family, bool delta) {
    return Kind{name,
                family,
                delta,
                [](int n, const Complex* v) -> std::unique_ptr<LoadBase> { return std::make_unique<L>(n, v); },
                [](LoadBase& l) -> SetpointList& { return setpoints_of(static_cast<L&>(l)); },
                [](LoadBase& l, const Complex* v) { update(static_cast<L&>(l), v); }};
}

const std::vector<Kind>& all_kinds() {
    static const std::vector<Kind> kinds = {
        kind<PowerLoad>("PowerLoad", Family::power, false),
        kind<DeltaPowerLoad>("DeltaPowerLoad", Family::power, true),
        kind<CurrentLoad>("CurrentLoad", Family::current, false),
        kind<DeltaCurrentLoad>("DeltaCurrentLoad", Family::current, true),
        kind<AdmittanceLoad>("AdmittanceLoad", Family::admittance, false),
        kind<DeltaAdmittanceLoad>("DeltaAdmittanceLoad", Family::admittance, true),
    };
    return kinds;
}

// Set-points of a plausible size for each family (four of them: enough for any 4-port load).
std::vector<Complex> setpoints_for(Family family) {
    switch (family) {
        case Family::power:
            return {Complex(1200.0, 400.0), Complex(900.0, -300.0), Complex(1500.0, 0.0), Complex(0.0, 700.0)};
        case Family::current:
            return {polar_deg(5.0, -20.0), polar_deg(7.0, 10.0), polar_deg(3.0, -45.0), polar_deg(4.0, 90.0)};
        case Family::admittance:
            break;
    }
    return {Complex(0.02, -0.01), Complex(0.015, 0.005), Complex(0.03, -0.02), Complex(0.0, 0.01)};
}

// An unbalanced three-phase system with a displaced neutral.
const std::vector<Complex> unbalanced = {polar_deg(231.0, 0.0), polar_deg(228.0, -121.0), polar_deg(233.0, 119.0),
                                         Complex(1.5, -0.7)};

std::vector<Complex> voltages(const Kind& k, const Element& load) {
    const int n = load.port_count();
    std::vector<Complex> u;
    if (k.delta)
        for (int i = 0; i < n; ++i) u.push_back(potential(load, i) - potential(load, (i + 1) % n));
    else
        for (int i = 0; i < n - 1; ++i) u.push_back(potential(load, i) - potential(load, n - 1));
    return u;
}

class EveryLoad : public ::testing::TestWithParam<Kind> {};

TEST_P(EveryLoad, HoldsItsSetpointsAsUnboundParametersInOrder) {
    const Kind& k = GetParam();
    const std::vector<Complex> s = setpoints_for(k.family);
    auto load = k.make(4, s.data());
    ASSERT_EQ(load->port_count(), 4);
    const SetpointList& list = k.setpoints(*load);
    ASSERT_EQ(static_cast<int>(list.size()), k.setpoint_count(4));
    std::vector<double> expected;
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_FALSE(list[i].bound);
        EXPECT_EQ(list[i].value, s[i]);
        expected.push_back(s[i].real());
        expected.push_back(s[i].imag());
    }
    std::vector<double> values, no_variables;
    load->collect_parameters(values);
    load->collect_variables(no_variables);
    EXPECT_EQ(values, expected);
    EXPECT_TRUE(no_variables.empty());
    for (const Port& p : load->ports) EXPECT_EQ(p.current, Complex(0.0, 0.0));
}

TEST_P(EveryLoad, EachPhaseOrPairFollowsItsLawAndPortsBalance) {
    const Kind& k = GetParam();
    const std::vector<Complex> s = setpoints_for(k.family);
    auto load = k.make(4, s.data());
    set_potentials(*load, unbalanced);
    load->compute_currents(false);
    const std::vector<Complex> u = voltages(k, *load);
    std::vector<Complex> inner(u.size());
    load->get_inner_currents(inner.data());
    for (std::size_t i = 0; i < u.size(); ++i) {
        SCOPED_TRACE("phase or pair " + std::to_string(i));
        expect_law(k.family, s[i], u[i], inner[i]);
    }
    if (k.delta) {
        // Port i joins pair i (out of the port) and pair i-1 (into it).
        for (int i = 0; i < 4; ++i) {
            expect_close(load->ports[i].current, inner[i] - inner[(i + 3) % 4]);
            EXPECT_GT(std::abs(load->ports[i].current - inner[i]), 1e-6) << "pair and port currents differ";
        }
    } else {
        for (int i = 0; i < 3; ++i) EXPECT_EQ(load->ports[i].current, inner[i]);
        expect_close(load->ports[3].current, -(inner[0] + inner[1] + inner[2]));
    }
    // Kirchhoff: what enters through the phases leaves through the neutral or the other phases.
    expect_close(port_sum(*load), Complex(0.0, 0.0));
}

TEST_P(EveryLoad, TapeAgreesWithPlainNumbers) {
    const Kind& k = GetParam();
    const std::vector<Complex> s = setpoints_for(k.family);
    auto load = k.make(4, s.data());
    set_potentials(*load, unbalanced);
    TapeCheck check({load.get()});
    EXPECT_EQ(check.equation_count, 0);
    EXPECT_EQ(check.parameters.size(), 2 * k.setpoint_count(4));
    check.expect_currents_agree();
    for (int i = 0; i < 4; ++i) EXPECT_GT(std::abs(load->ports[i].current), 1e-3);
}

TEST_P(EveryLoad, TapeAgreesWithAGroundedPort) {
    const Kind& k = GetParam();
    const std::vector<Complex> s = setpoints_for(k.family);
    for (int grounded : {0, 3}) {
        SCOPED_TRACE("grounded port " + std::to_string(grounded));
        auto load = k.make(4, s.data());
        set_potentials(*load, unbalanced);
        PotentialRef ref;
        load->connect(ref, {{grounded, 0}});
        TapeCheck check({load.get(), &ref});
        check.expect_currents_agree();
        const std::vector<Complex> u = voltages(k, *load);
        std::vector<Complex> inner(u.size());
        load->get_inner_currents(inner.data());
        for (std::size_t i = 0; i < u.size(); ++i) expect_law(k.family, s[i], u[i], inner[i]);
    }
}

TEST_P(EveryLoad, UpdatesWriteThroughToTheBoundParameters) {
    const Kind& k = GetParam();
    const std::vector<Complex> s = setpoints_for(k.family);
    std::vector<Complex> changed;
    for (const Complex& v : s) changed.push_back(v * Complex(0.5, 0.25));
    auto load = k.make(4, s.data());
    set_potentials(*load, unbalanced);

    // Unbound: only the own values change.
    k.update(*load, changed.data());
    for (std::size_t i = 0; i < k.setpoints(*load).size(); ++i) EXPECT_EQ(k.setpoints(*load)[i].value, changed[i]);
    k.update(*load, s.data());
    {
        TapeCheck check({load.get()});
        for (const ComplexVariable& sp : k.setpoints(*load)) EXPECT_TRUE(sp.bound);
        k.update(*load, changed.data());
        const SetpointList& list = k.setpoints(*load);
        for (std::size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(list[i].value, changed[i]);
            EXPECT_EQ(Complex(check.parameters[2 * i], check.parameters[2 * i + 1]), changed[i]);
        }
        // The tape takes the new set-points as dynamic parameters, without recording again.
        check.evaluate();
        check.expect_currents_agree();
        const std::vector<Complex> u = voltages(k, *load);
        std::vector<Complex> inner(u.size());
        load->get_inner_currents(inner.data());
        for (std::size_t i = 0; i < u.size(); ++i) expect_law(k.family, changed[i], u[i], inner[i]);
        // A change of the solver's entry alone is what the bound set-point reads.
        check.parameters[0] = 2.0 * changed[0].real();
        check.parameters[1] = 2.0 * changed[0].imag();
        EXPECT_EQ(list[0].get(), 2.0 * changed[0]);
        EXPECT_EQ(list[0].value, changed[0]);
    }
    // Released with the solver: the set-points read their own values again.
    for (std::size_t i = 0; i < k.setpoints(*load).size(); ++i) {
        EXPECT_FALSE(k.setpoints(*load)[i].bound);
        EXPECT_EQ(k.setpoints(*load)[i].get(), changed[i]);
    }
}

TEST_P(EveryLoad, BackwardStepIsThePlainLawAndForwardStepChangesNothing) {
    const Kind& k = GetParam();
    const std::vector<Complex> s = setpoints_for(k.family);
    auto reference = k.make(4, s.data());
    auto load = k.make(4, s.data());
    set_potentials(*reference, unbalanced);
    set_potentials(*load, unbalanced);
    reference->compute_currents(false);
    load->backward_step();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(load->ports[i].current, reference->ports[i].current);
    EXPECT_EQ(load->forward_step(), 0.0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(potential(*load, i), unbalanced[i]);
}

TEST_P(EveryLoad, NegativePortCountIsTheReserveLengthError) {
    const Kind& k = GetParam();
    const std::vector<Complex> s = setpoints_for(k.family);
    try {
        k.make(-1, s.data());
        FAIL() << "no exception";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "vector::reserve");
    }
}

TEST_P(EveryLoad, ZeroPortsIsRefusedForStarAndEmptyForDelta) {
    const Kind& k = GetParam();
    const std::vector<Complex> s = setpoints_for(k.family);
    if (!k.delta) {
        // No port for a neutral: the n - 1 set-points are a count of -1.
        try {
            k.make(0, s.data());
            FAIL() << "no exception";
        } catch (const std::length_error& e) {
            EXPECT_STREQ(e.what(), "vector::reserve");
        }
        return;
    }
    auto load = k.make(0, s.data());
    EXPECT_EQ(load->port_count(), 0);
    EXPECT_TRUE(k.setpoints(*load).empty());
    load->compute_currents(false);
    load->backward_step();
    Complex sentinel(-7.0, 7.0);
    load->get_inner_currents(&sentinel);
    EXPECT_EQ(sentinel, Complex(-7.0, 7.0));
    std::vector<double> values;
    load->collect_parameters(values);
    EXPECT_TRUE(values.empty());
}

TEST_P(EveryLoad, ZeroVoltageGivesNonFiniteOrZeroCurrents) {
    const Kind& k = GetParam();
    const std::vector<Complex> s = {Complex(1000.0, 0.0), Complex(0.0, 500.0)};
    auto load = k.make(2, s.data());
    set_potentials(*load, {Complex(120.0, 30.0), Complex(120.0, 30.0)});
    TapeCheck check({load.get()});
    Complex inner[2];
    load->get_inner_currents(inner);
    const Complex plain = inner[0];  // phase or pair 0, across zero volts
    const Complex tape = check.tape_current(0, 0);
    switch (k.family) {
        case Family::power:
            // conj(S / 0) with S = 1000: an infinite real part and an undefined imaginary one.
            EXPECT_TRUE(std::isinf(plain.real())) << plain;
            EXPECT_TRUE(std::isnan(plain.imag())) << plain;
            EXPECT_TRUE(std::isnan(tape.real()) && std::isnan(tape.imag())) << tape;
            break;
        case Family::current:
            EXPECT_TRUE(std::isnan(plain.real()) && std::isnan(plain.imag())) << plain;
            EXPECT_TRUE(std::isnan(tape.real()) && std::isnan(tape.imag())) << tape;
            break;
        case Family::admittance:
            EXPECT_EQ(plain, Complex(0.0, 0.0));
            EXPECT_EQ(tape, Complex(0.0, 0.0));
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(ConstantLoads, EveryLoad, ::testing::ValuesIn(all_kinds()),
                         [](const ::testing::TestParamInfo<Kind>& info) { return info.param.name; });

// Single-phase star loads, one per family, with currents worked out by hand.
TEST(StarLoad, SinglePhaseCurrentsByHand) {
    const Complex s[] = {Complex(2300.0, 1150.0)};
    PowerLoad power(2, s);
    set_potentials(power, {Complex(230.0, 0.0), Complex(0.0, 0.0)});
    power.compute_currents(false);
    expect_close(power.ports[0].current, Complex(10.0, -5.0));  // conj(2300 + 1150j) / 230
    expect_close(power.ports[1].current, Complex(-10.0, 5.0));

    const Complex i_set[] = {polar_deg(10.0, -30.0)};
    CurrentLoad current(2, i_set);
    set_potentials(current, {polar_deg(230.0, -120.0), Complex(0.0, 0.0)});
    current.compute_currents(false);
    expect_close(current.ports[0].current, polar_deg(10.0, -150.0));
    expect_close(current.ports[1].current, -polar_deg(10.0, -150.0));

    const Complex y[] = {Complex(0.01, -0.02)};
    AdmittanceLoad admittance(2, y);
    set_potentials(admittance, {Complex(230.0, 0.0), Complex(30.0, 0.0)});
    admittance.compute_currents(false);
    expect_close(admittance.ports[0].current, Complex(2.0, -4.0));  // Y · (230 - 30)
    expect_close(admittance.ports[1].current, Complex(-2.0, 4.0));
}

TEST(StarLoad, BalancedThreePhasePowerLeavesNoNeutralCurrent) {
    const Complex s[] = {Complex(3000.0, 1000.0), Complex(3000.0, 1000.0), Complex(3000.0, 1000.0)};
    PowerLoad load(4, s);
    set_potentials(load, {polar_deg(230.0, 0.0), polar_deg(230.0, -120.0), polar_deg(230.0, 120.0), Complex(0.0, 0.0)});
    load.compute_currents(false);
    const Complex i0 = std::conj(Complex(3000.0, 1000.0) / 230.0);
    for (int k = 0; k < 3; ++k) expect_close(load.ports[k].current,
                                             i0 * polar_deg(1.0, -120.0 * k));
    EXPECT_LT(std::abs(load.ports[3].current), 1e-9);
}

TEST(StarLoad, GroundedNeutralIsNotReadButCarriesTheReturnCurrent) {
    const Complex y[] = {Complex(0.1, 0.0), Complex(0.0, 0.2), Complex(0.05, -0.05)};
    AdmittanceLoad load(4, y);
    set_potentials(load, {Complex(100.0, 0.0), Complex(0.0, 50.0), Complex(-20.0, 0.0), Complex(40.0, 40.0)});
    PotentialRef ref;
    load.connect(ref, {{3, 0}});  // the neutral's own value 40 + 40j is hidden by the ground
    load.compute_currents(false);
    expect_close(load.ports[0].current, Complex(10.0, 0.0));
    expect_close(load.ports[1].current, Complex(-10.0, 0.0));
    expect_close(load.ports[2].current, Complex(-1.0, 1.0));
    expect_close(load.ports[3].current, Complex(1.0, -1.0));
}

TEST(StarLoad, GroundedPhaseSeesMinusTheNeutral) {
    const Complex y[] = {Complex(0.5, 0.0), Complex(0.25, 0.0)};
    AdmittanceLoad load(3, y);
    set_potentials(load, {Complex(99.0, 0.0), Complex(10.0, 0.0), Complex(4.0, 2.0)});
    PotentialRef ref;
    load.connect(ref, {{0, 0}});
    load.compute_currents(false);
    expect_close(load.ports[0].current, Complex(-2.0, -1.0));  // 0.5 · (0 - (4 + 2j))
    expect_close(load.ports[1].current, Complex(1.5, -0.5));   // 0.25 · (10 - (4 + 2j))
    expect_close(load.ports[2].current, Complex(0.5, 1.5));
}

TEST(StarLoad, LoneNeutralCarriesNothingAndReportsNothing) {
    PowerLoad power(1, nullptr);
    CurrentLoad current(1, nullptr);
    AdmittanceLoad admittance(1, nullptr);
    for (LoadBase* load : std::vector<LoadBase*>{&power, &current, &admittance}) {
        ASSERT_EQ(load->port_count(), 1);
        load->ports[0].current = Complex(5.0, 5.0);
        load->ports[0].connection->set_potential(Complex(230.0, 0.0));
        load->compute_currents(false);
        EXPECT_EQ(load->ports[0].current, Complex(0.0, 0.0));
        Complex sentinel(-7.0, 7.0);
        load->get_inner_currents(&sentinel);
        EXPECT_EQ(sentinel, Complex(-7.0, 7.0));
        TapeCheck check({load});
        check.expect_currents_agree();
    }
}

TEST(StarLoad, InnerCurrentsAreTheLastPlainComputation) {
    const Complex s[] = {Complex(1000.0, 0.0), Complex(2000.0, 0.0)};
    PowerLoad load(3, s);
    set_potentials(load, {Complex(100.0, 0.0), Complex(200.0, 0.0), Complex(0.0, 0.0)});
    Complex inner[2];
    load.get_inner_currents(inner);
    EXPECT_EQ(inner[0], Complex(0.0, 0.0));  // nothing computed yet
    EXPECT_EQ(inner[1], Complex(0.0, 0.0));
    load.backward_step();
    load.get_inner_currents(inner);
    expect_close(inner[0], Complex(10.0, 0.0));
    expect_close(inner[1], Complex(10.0, 0.0));
    // A change of potential shows only after the next computation.
    set_potentials(load, {Complex(50.0, 0.0)});
    load.get_inner_currents(inner);
    expect_close(inner[0], Complex(10.0, 0.0));
}

TEST(DeltaLoad, BalancedLineCurrentsAreRootThreeTimesThePairCurrents) {
    const Complex s[] = {Complex(4000.0, 3000.0), Complex(4000.0, 3000.0), Complex(4000.0, 3000.0)};
    DeltaPowerLoad load(3, s);
    set_potentials(load, {polar_deg(230.0, 0.0), polar_deg(230.0, -120.0), polar_deg(230.0, 120.0)});
    load.compute_currents(false);
    const double line_voltage = 230.0 * std::sqrt(3.0);
    const double pair_current = 5000.0 / line_voltage;
    Complex inner[3];
    load.get_inner_currents(inner);
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(std::abs(inner[k]), pair_current, 1e-9);
        EXPECT_NEAR(std::abs(load.ports[k].current), std::sqrt(3.0) * pair_current, 1e-9);
    }
    // Port 0 = I_0 - I_2, port 1 = I_1 - I_0, port 2 = I_2 - I_1.
    expect_close(load.ports[0].current, inner[0] - inner[2]);
    expect_close(load.ports[1].current, inner[1] - inner[0]);
    expect_close(load.ports[2].current, inner[2] - inner[1]);
    expect_close(port_sum(load), Complex(0.0, 0.0));
}

TEST(DeltaLoad, TwoPortsAreTwoAdmittancesInParallel) {
    // Pairs (0, 1) and (1, 0) act across the same ports, the second with the reversed voltage.
    const Complex y[] = {Complex(0.2, 0.1), Complex(0.3, -0.4)};
    DeltaAdmittanceLoad load(2, y);
    set_potentials(load, {Complex(110.0, 10.0), Complex(10.0, 10.0)});
    load.compute_currents(false);
    expect_close(load.ports[0].current, Complex(0.5, -0.3) * 100.0);
    expect_close(load.ports[1].current, -Complex(0.5, -0.3) * 100.0);
    Complex inner[2];
    load.get_inner_currents(inner);
    expect_close(inner[0], Complex(20.0, 10.0));
    expect_close(inner[1], Complex(-30.0, 40.0));
}

TEST(DeltaLoad, InnerCurrentsFollowThePresentPotentials) {
    const Complex y[] = {Complex(0.1, 0.0), Complex(0.1, 0.0), Complex(0.1, 0.0)};
    DeltaAdmittanceLoad load(3, y);
    set_potentials(load, {Complex(30.0, 0.0), Complex(20.0, 0.0), Complex(0.0, 0.0)});
    Complex inner[3];
    load.get_inner_currents(inner);  // before any computation of the ports
    expect_close(inner[0], Complex(1.0, 0.0));
    expect_close(inner[1], Complex(2.0, 0.0));
    expect_close(inner[2], Complex(-3.0, 0.0));
    for (const Port& p : load.ports) EXPECT_EQ(p.current, Complex(0.0, 0.0));
    set_potentials(load, {Complex(0.0, 0.0)});
    load.get_inner_currents(inner);
    expect_close(inner[0], Complex(-2.0, 0.0));
    expect_close(inner[2], Complex(0.0, 0.0));
}

TEST(DeltaLoad, ParametersFollowTheOtherElementsInTheGatheredLayout) {
    // Two loads on one tape: each binds its own block, in element order.
    const Complex s[] = {Complex(100.0, 10.0), Complex(200.0, 20.0), Complex(300.0, 30.0)};
    const Complex y[] = {Complex(0.1, 0.0), Complex(0.2, 0.0)};
    DeltaPowerLoad delta(3, s);
    AdmittanceLoad star(3, y);
    set_potentials(delta, {polar_deg(230.0, 0.0), polar_deg(230.0, -120.0), polar_deg(230.0, 120.0)});
    delta.connect(star, {{0, 0}, {1, 1}});
    TapeCheck check({&delta, &star});
    ASSERT_EQ(check.parameters.size(), 10);
    EXPECT_EQ(check.parameters[4], 300.0);
    EXPECT_EQ(check.parameters[6], 0.1);
    EXPECT_EQ(star.admittances[1].value_ptr, check.parameters.data() + 8);
    check.expect_currents_agree();
    const Complex new_y[] = {Complex(0.5, 0.5), Complex(0.25, 0.0)};
    star.update_admittances(new_y);
    EXPECT_EQ(check.parameters[6], 0.5);
    EXPECT_EQ(check.parameters[7], 0.5);
    EXPECT_EQ(check.parameters[8], 0.25);
    EXPECT_EQ(check.parameters[4], 300.0);
    check.evaluate();
    check.expect_currents_agree();
}

}  // namespace
}  // namespace meshvolt
