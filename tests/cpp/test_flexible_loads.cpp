// Flexible loads in star and delta connection: the constant laws reproduce the constant-power load
// bit for bit, the recorded currents equal the plain ones, the powers follow S = U·conj(I), the
// small and refused port counts, and the pair currents of the delta form.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "loads/flexible_load.hpp"
#include "loads/power_load.hpp"
#include "model/bus.hpp"
#include "model/potential_ref.hpp"
#include "phasors.hpp"
#include "tape_fixture.hpp"

namespace meshvolt {
namespace {

using namespace testing;

// An unbalanced three-phase system with a displaced neutral.
const std::vector<Complex> unbalanced = {polar_deg(231.0, 0.0), polar_deg(226.0, -121.0),
                                         polar_deg(236.0, 119.0), Complex(1.5, -0.7)};
const std::vector<Complex> requested = {{1200.0, 400.0}, {900.0, -300.0}, {1500.0, 200.0}};

FlexibleParameter constant_parameter() {
    const Control constant("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
    return FlexibleParameter(constant, constant, Projection("euclidean", 0.0, 0.0), 0.0, 0.0, 0.0);
}

// Laws of moderate sharpness around the phase-to-neutral voltages above, so that each is on a
// ramp: the reactive q_u law, and the consumption and production limits.
FlexibleParameter q_u_parameter() {
    return FlexibleParameter(Control("constant", 0, 0, 0, 0, 0, 0),
                             Control("q_u", 210.0, 228.0, 232.0, 250.0, 200.0, 1e-4),
                             Projection("euclidean", 100.0, 1e-4), 2500.0, -800.0, 900.0);
}
FlexibleParameter consumption_parameter() {
    return FlexibleParameter(Control("p_max_u_consumption", 220.0, 240.0, 0, 0, 50.0, 1e-3),
                             Control("constant", 0, 0, 0, 0, 0, 0), Projection("keep_q", 100.0, 1e-4),
                             2000.0, 0.0, 0.0);
}
FlexibleParameter production_parameter() {
    return FlexibleParameter(Control("p_max_u_production", 0, 0, 380.0, 410.0, 50.0, 1e-3),
                             Control("constant", 0, 0, 0, 0, 0, 0), Projection("keep_p", 100.0, 1e-4),
                             1800.0, 0.0, 0.0);
}

// A bus holding the potentials, whose ports join the load's ports in order.
struct Fixture {
    Bus bus;
    explicit Fixture(const std::vector<Complex>& v) : bus(static_cast<int>(v.size()), v.data()) {}
    void attach(Element& load) {
        PortPairs pairs;
        for (int i = 0; i < load.port_count(); ++i) pairs.push_back({i, i});
        bus.connect(load, pairs);
    }
};

void expect_same_bits(const Complex& a, const Complex& b, const std::string& what) {
    EXPECT_EQ(a.real(), b.real()) << what;
    EXPECT_EQ(a.imag(), b.imag()) << what;
}

TEST(FlexibleLoad, ConstantLawsMatchTheConstantPowerLoadBitForBit) {
    FlexibleParameter constant = constant_parameter();
    for (const bool delta : {false, true}) {
        const std::string what = delta ? "delta" : "star";
        const std::vector<Complex> v(unbalanced.begin(), unbalanced.begin() + (delta ? 3 : 4));
        Fixture fixture(v);
        std::unique_ptr<LoadBase> flexible, power;
        if (delta) {
            flexible = std::make_unique<DeltaFlexibleLoad>(3, requested.data(),
                                                           std::vector<FlexibleParameter*>(3, &constant));
            power = std::make_unique<DeltaPowerLoad>(3, requested.data());
        } else {
            flexible = std::make_unique<FlexibleLoad>(4, requested.data(),
                                                      std::vector<FlexibleParameter*>(3, &constant));
            power = std::make_unique<PowerLoad>(4, requested.data());
        }
        fixture.attach(*flexible);
        fixture.attach(*power);
        {
            TapeCheck check({&fixture.bus, flexible.get(), power.get()});
            for (int k = 0; k < flexible->port_count(); ++k) {
                const std::string port = what + " port " + std::to_string(k);
                expect_same_bits(flexible->ports[k].current, power->ports[k].current, port);
                expect_same_bits(check.tape_current(1, k), check.tape_current(2, k), port + " on the tape");
            }
        }
        std::vector<Complex> a(3), b(3);
        flexible->get_inner_currents(a.data());
        power->get_inner_currents(b.data());
        for (int k = 0; k < 3; ++k) expect_same_bits(a[k], b[k], what + " inner current");
    }
}

// Active laws, parameter objects shared between phases and between loads: the tape records the
// plain laws, at the gathered potentials, at moved potentials and after updated limits and powers.
TEST(FlexibleLoad, RecordedCurrentsEqualPlainOnes) {
    FlexibleParameter q_u = q_u_parameter(), consumption = consumption_parameter(),
                      production = production_parameter();
    Fixture fixture(unbalanced);
    FlexibleLoad star(4, requested.data(), {&q_u, &consumption, &q_u});
    const std::vector<Complex> pair_powers = {{-1500.0, 100.0}, {800.0, 300.0}, {-600.0, -50.0}};
    DeltaFlexibleLoad delta(3, pair_powers.data(), {&production, &q_u, &production});
    fixture.attach(star);
    fixture.attach(delta);
    TapeCheck check({&fixture.bus, &star, &delta});
    check.expect_currents_agree(1e-12);

    for (Eigen::Index k = 0; k < check.variables.size(); ++k) check.variables[k] *= 1.04;
    check.evaluate();
    check.expect_currents_agree(1e-12);

    q_u.update_parameters(2000.0, -500.0, 600.0);
    production.update_parameters(1200.0, 0.0, 0.0);
    // Phase 1 keeps the sign of its request: "keep_q" records σ from the request's sign.
    const std::vector<Complex> moved = {{900.0, 100.0}, {700.0, 0.0}, {1000.0, -300.0}};
    star.update_powers(moved.data());
    check.evaluate();
    check.expect_currents_agree(1e-12);
}

// S = U·conj(I) for every phase, where S is get_powers and compute_power of the phase voltage.
TEST(FlexibleLoad, PowersFollowTheLawAtTheLoadVoltage) {
    FlexibleParameter q_u = q_u_parameter(), consumption = consumption_parameter(),
                      production = production_parameter();
    Fixture fixture(unbalanced);
    FlexibleLoad star(4, requested.data(), {&q_u, &consumption, &q_u});
    fixture.attach(star);
    star.compute_currents(false);
    std::vector<Complex> s(3), inner(3);
    star.get_powers(s.data());
    star.get_inner_currents(inner.data());
    Complex phase_sum(0.0, 0.0);
    for (int i = 0; i < 3; ++i) {
        const Complex u = unbalanced[i] - unbalanced[3];
        expect_close(s[i], (i == 1 ? consumption : q_u).compute_power(std::abs(u), requested[i]));
        expect_close(u * std::conj(star.ports[i].current), s[i]);
        expect_close(inner[i], star.ports[i].current);
        phase_sum += star.ports[i].current;
    }
    // The laws are active here: phase 2 sits on the high ramp of q_u (about 237 V), phase 1 on the
    // consumption ramp (knee at 229 V).
    EXPECT_GT(s[2].imag() - requested[2].imag(), 10.0);
    EXPECT_LT(s[1].real(), requested[1].real() - 10.0);
    expect_close(star.ports[3].current, -phase_sum);

    // Delta: pair i at U_i = V_i - V_(i+1); the port currents are differences of pair currents.
    const std::vector<Complex> pair_powers = {{-1500.0, 100.0}, {800.0, 300.0}, {-600.0, -50.0}};
    Fixture triangle({unbalanced[0], unbalanced[1], unbalanced[2]});
    DeltaFlexibleLoad delta(3, pair_powers.data(), {&production, &q_u, &production});
    triangle.attach(delta);
    delta.compute_currents(false);
    std::vector<Complex> pair(3), pair_s(3);
    delta.get_inner_currents(pair.data());
    delta.get_powers(pair_s.data());
    for (int i = 0; i < 3; ++i) {
        const Complex u = unbalanced[i] - unbalanced[(i + 1) % 3];
        const auto [u_pair, s_pair] = delta.compute_pair_power(i);
        expect_close(u_pair, u);
        expect_close(s_pair, pair_s[i]);
        expect_close(u * std::conj(pair[i]), pair_s[i]);
        expect_close(delta.ports[i].current, pair[i] - pair[(i + 2) % 3]);
    }
    EXPECT_LT(std::abs(port_sum(delta)), 1e-12);
    EXPECT_GT(std::abs(pair_s[0].real() - pair_powers[0].real()), 10.0);
}

TEST(FlexibleLoad, SinglePhaseLoadWithFloatingOrGroundedNeutral) {
    FlexibleParameter q_u = q_u_parameter();
    const Complex s0(1000.0, 200.0);
    for (const bool grounded : {false, true}) {
        const std::string what = grounded ? "grounded neutral" : "floating neutral";
        Fixture fixture({Complex(226.0, 10.0), Complex(3.0, 1.0)});
        FlexibleLoad load(2, &s0, {&q_u});
        fixture.attach(load);
        PotentialRef ref;
        if (grounded) fixture.bus.connect(ref, {{1, 0}});
        const Complex u = potential(load, 0) - (grounded ? Complex(0.0, 0.0) : Complex(3.0, 1.0));
        load.update_power({800.0, -100.0});
        EXPECT_EQ(load.powers[0].get(), Complex(800.0, -100.0)) << what;
        load.compute_currents(false);
        Complex s;
        load.get_powers(&s);
        expect_close(s, q_u.compute_power(std::abs(u), {800.0, -100.0}));
        expect_close(u * std::conj(load.ports[0].current), s);
        expect_close(load.ports[1].current, -load.ports[0].current);
    }
}

TEST(FlexibleLoad, OnePortLoadCarriesNoCurrentAndHasNoPower) {
    FlexibleLoad load(1, nullptr, {});
    Fixture fixture({Complex(230.0, 0.0)});
    fixture.attach(load);
    TapeCheck check({&fixture.bus, &load});
    EXPECT_EQ(load.ports[0].current, Complex(0.0, 0.0));
    EXPECT_EQ(check.tape_current(1, 0), Complex(0.0, 0.0));
    Complex untouched(7.0, 7.0);
    load.get_powers(&untouched);
    EXPECT_EQ(untouched, Complex(7.0, 7.0));
}

TEST(FlexibleLoad, RefusesWhatWouldReadOrWriteOutsideItsLists) {
    FlexibleParameter q_u = q_u_parameter();
    const std::vector<Complex> s(3, Complex(100.0, 0.0));
    const struct {
        const char* name;
        std::function<void()> make;
        std::string message;
    } cases[] = {
        {"star without ports", [&] { FlexibleLoad(0, s.data(), {&q_u}); }, "vector::reserve"},
        {"star with a short list", [&] { FlexibleLoad(4, s.data(), {&q_u, &q_u}); },
         "a flexible load of 3 phases needs as many parameters, 2 were given"},
        {"delta with a short list", [&] { DeltaFlexibleLoad(3, s.data(), {&q_u}); },
         "a flexible load of 3 phases needs as many parameters, 1 were given"},
        {"star with a null", [&] { FlexibleLoad(3, s.data(), {&q_u, nullptr}); },
         "parameter 1 of the flexible load is null"},
        {"delta with a null", [&] { DeltaFlexibleLoad(2, s.data(), {nullptr, &q_u}); },
         "parameter 0 of the flexible load is null"},
    };
    for (const auto& c : cases) {
        try {
            c.make();
            ADD_FAILURE() << c.name << " accepted";
        } catch (const std::exception& error) {
            EXPECT_EQ(std::string(error.what()), c.message) << c.name;
        }
    }
    // A longer list is cut to one parameter per phase.
    FlexibleLoad load(2, s.data(), {&q_u, nullptr});
    EXPECT_EQ(load.parameters.size(), 1u);
}

TEST(FlexibleLoad, OnePowerForThreePhasesSetsTheFirst) {
    FlexibleParameter q_u = q_u_parameter();
    const std::vector<Complex> s = {{100.0, 0.0}, {200.0, 0.0}, {300.0, 0.0}};
    FlexibleLoad load(4, s.data(), {&q_u, &q_u, &q_u});
    load.update_power({1.0, 2.0});
    EXPECT_EQ(load.powers[0].get(), Complex(1.0, 2.0));
    EXPECT_EQ(load.powers[1].get(), s[1]);
    EXPECT_EQ(load.powers[2].get(), s[2]);
}

}  // namespace
}  // namespace meshvolt
