// Networks with transformers, solved: the voltage a loaded transformer delivers against its ratio
// and series impedance, the clock of every vector group as the LV voltages' lag, a bank of three
// single-phase transformers against the three-phase transformer of its vector group, the sweeps
// against Newton, and parameter updates between solves.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "feeder_builders.hpp"
#include "loads/admittance_load.hpp"
#include "model/potential_ref.hpp"
#include "model/voltage_source.hpp"
#include "transformers/center_transformer.hpp"
#include "transformers/single_transformer.hpp"
#include "transformers/three_phase_transformer.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const double pi = std::acos(-1.0);
const double sqrt3 = std::sqrt(3.0);
const std::string no_sweeps = "2 No backward-forward method has been defined for transformers yet.";

// A single-phase source of 230 V (neutral referenced) feeding a transformer whose LV side carries
// an admittance Y between a live node and a grounded one: the LV voltage is the ideal k·U1 less
// the drop z2·Y·U2,
//     U2 = V2a - V2b = k·U1 / (1 + z2·Y).
// The grounded node is LV b (the live node is V2a = U2) or LV a, as the second half of a
// 120/240 V service wired with its grounded centre as terminal a (the live node is V2b = -U2).
TEST(TransformerNetworks, SinglePhaseTransformerDeliversTheRatioLessTheDrop) {
    struct Wiring {
        const char* name;
        int lv_a_bus_port, lv_b_bus_port;  // bus port 0 live, 1 grounded
        double live_sign;
    };
    const std::vector<Wiring> wirings = {{"LV b grounded", 0, 1, 1.0},
                                         {"LV a grounded", 1, 0, -1.0}};
    const Complex u1(230.0, 0.0), z2(0.3, 0.6), ym(1e-4, -5e-4), k = std::polar(0.5, -pi / 6);
    const Complex y(0.08, -0.02);
    const Complex u2 = k * u1 / (1.0 + z2 * y);
    for (const Wiring& wiring : wirings) {
        for (Method method : all_methods) {
            SCOPED_TRACE(std::string(wiring.name) + ", " + method_name(method));
            Feeder f;
            auto& source = f.add<VoltageSource>(2, &u1);
            attach(source, f.add<PotentialRef>(), {1});
            auto& t = f.add<SingleTransformer>(z2, ym, k);
            std::vector<Complex> zero(2, 0.0);
            auto& bus = f.add<Bus>(2, zero.data());
            t.connect_side(source, {{0, 0}, {1, 1}}, true);
            t.connect_side(bus, {{0, wiring.lv_a_bus_port}, {1, wiring.lv_b_bus_port}}, false);
            attach(bus, f.add<PotentialRef>(), {1});
            attach(bus, f.add<AdmittanceLoad>(2, &y), {0, 1});
            ElectricalNetwork network(f.elements);
            auto solver = make_solver(method, network);
            solve_to_convergence(*solver, method);
            expect_close(potential(bus, 0), wiring.live_sign * u2, absolute(1e-8), "LV voltage");
            // The HV side carries the magnetising current and the LV current reflected by conj(k).
            expect_close(t.ports[0].current, ym * u1 + std::conj(k) * y * u2, absolute(1e-8),
                         "HV current");
        }
    }
}

// Source, reference on its neutral, a transformer whose HV ports join the source's first ports,
// and an LV bus of the transformer's LV ports with its own reference: the neutral's potential
// reference for a star or zigzag side, the sum of the three potentials for a delta.
struct ThreePhaseStation {
    Feeder f;
    VoltageSource* source;
    ThreePhaseTransformer* transformer;
    Bus* lv;

    ThreePhaseStation(double uhv, const std::string& whv, const std::string& wlv, Complex z2,
                      Complex ym, double k, int clock) {
        const std::vector<Complex> set = balanced_set(uhv / sqrt3);
        source = &f.add<VoltageSource>(4, set.data());
        attach(*source, f.add<PotentialRef>(), {3});
        const int n1 = whv == "D" ? 3 : 4, n2 = wlv == "d" ? 3 : 4;
        transformer = &f.add<ThreePhaseTransformer>(n1, n2, whv, wlv, z2, ym, k, clock);
        const std::vector<Complex> zero(static_cast<std::size_t>(n2), 0.0);
        lv = &f.add<Bus>(n2, zero.data());
        link(*transformer, *source, *lv);
        if (n2 == 4)
            attach(*lv, f.add<PotentialRef>(), {3});
        else
            attach(*lv, f.add<DeltaPotentialRef>(3), {0, 1, 2});
    }
};

// Rated HV voltages 20 kV and the ratio that gives 400 V on the LV side of each vector group (see
// λ0 in test_transformers.cpp): unloaded, the LV phase voltages are 400/√3 V and lag the HV ones by
// clock·30°.
TEST(TransformerNetworks, EveryVectorGroupLagsByItsClock) {
    struct Group {
        const char* whv;
        const char* wlv;
        std::vector<int> clocks;
        double lambda0;
    };
    const std::vector<Group> groups = {
        {"D", "d", {0, 2, 4, 6, 8, 10}, 1.0},   {"Y", "y", {0, 2, 4, 6, 8, 10}, 1.0},
        {"D", "z", {0, 2, 4, 6, 8, 10}, 1.0 / 3}, {"D", "y", {1, 5, 7, 11}, 1.0 / sqrt3},
        {"Y", "d", {1, 5, 7, 11}, sqrt3},       {"Y", "z", {1, 5, 7, 11}, 1.0 / sqrt3},
    };
    const double uhv = 20e3, ulv = 400.0;
    for (const Group& g : groups) {
        for (int clock : g.clocks) {
            SCOPED_TRACE(std::string(g.whv) + g.wlv + std::to_string(clock));
            ThreePhaseStation s(uhv, g.whv, g.wlv, Complex(0.01, 0.03), Complex(1e-7, -1e-6),
                                g.lambda0 * ulv / uhv, clock);
            ElectricalNetwork network(s.f.elements);
            Newton solver(&network, false);
            solve_to_convergence(solver, Method::newton);
            for (int phase = 0; phase < 3; ++phase) {
                const Complex expected =
                    std::polar(ulv / sqrt3, -clock * pi / 6 - phase * 2 * pi / 3);
                expect_close(potential(*s.lv, phase), expected, absolute(1e-7),
                             "LV phase " + std::to_string(phase));
            }
        }
    }
}

// YNyn0 under a balanced load Y per phase: each phase is the single-phase case,
// U2 = k·U1 / (1 + z2·Y). The transformer has no sweeps, and a ratio written between two Newton
// solves is used by the second without a new recording.
TEST(TransformerNetworks, StarStarTransformerUnderABalancedLoad) {
    const double uhv = 20e3, k = 0.02;
    const Complex z2(0.01, 0.04), y(1.5, -0.4);
    const std::vector<Complex> loads(3, y);
    for (Method method : all_methods) {
        SCOPED_TRACE(method_name(method));
        ThreePhaseStation s(uhv, "Y", "y", z2, Complex(1e-7, -1e-6), k, 0);
        s.f.add<AdmittanceLoad>(4, loads.data());
        attach(*s.lv, *s.f.elements.back(), {0, 1, 2, 3});
        ElectricalNetwork network(s.f.elements);
        auto solver = make_solver(method, network);
        if (method == Method::sweeps) {
            EXPECT_EQ(error_message([&] { solver->solve_load_flow(10, 1e-9); }), no_sweeps);
            continue;
        }
        solve_to_convergence(*solver, method);
        const std::vector<Complex> hv = balanced_set(uhv / sqrt3);
        for (int phase = 0; phase < 3; ++phase)
            expect_close(potential(*s.lv, phase), k * hv[phase] / (1.0 + z2 * y), absolute(1e-7),
                         "LV");
        s.transformer->update_transformer_parameters(z2, Complex(1e-7, -1e-6), 0.021);
        solve_to_convergence(*solver, method);
        expect_close(potential(*s.lv, 0), 0.021 * hv[0] / (1.0 + z2 * y), absolute(1e-7),
                     "LV after update");
    }
}

// A bank of three single-phase transformers wired as a vector group, and the three-phase
// transformer of that group, feed the same unbalanced star load: the solved networks agree.
// The HV winding of single-phase transformer i lies between HV ports hv_a[i] and hv_b[i] (4 is the
// source's neutral); its LV winding between LV phase i and the LV neutral, reversed for clock 6.
TEST(TransformerNetworks, SinglePhaseBankEqualsTheThreePhaseGroup) {
    struct Bank {
        const char* whv;
        int clock;
        std::vector<int> hv_a, hv_b;
        bool sweeps;
    };
    const std::vector<Bank> banks = {
        {"Y", 0, {0, 1, 2}, {3, 3, 3}, true},
        {"Y", 6, {0, 1, 2}, {3, 3, 3}, false},
        {"D", 1, {0, 1, 2}, {2, 0, 1}, true},   // Va - Vc lags Va by 30°
        {"D", 11, {0, 1, 2}, {1, 2, 0}, false},  // Va - Vb leads Va by 30°
    };
    const double uhv = 10e3;
    const Complex z2(0.02, 0.05), ym(2e-7, -3e-6);
    const std::vector<Complex> loads = {Complex(2.0, -0.5), Complex(1.2, 0.0), Complex(0.6, -0.9)};
    for (const Bank& bank : banks) {
        SCOPED_TRACE(std::string(bank.whv) + std::to_string(bank.clock));
        const double k = bank.whv == std::string("D") ? 400.0 / (sqrt3 * uhv) : 400.0 / uhv;

        ThreePhaseStation station(uhv, bank.whv, "y", z2, ym, k, bank.clock);
        station.f.add<AdmittanceLoad>(4, loads.data());
        attach(*station.lv, *station.f.elements.back(), {0, 1, 2, 3});
        ElectricalNetwork station_network(station.f.elements);
        Newton station_solver(&station_network, false);
        solve_to_convergence(station_solver, Method::newton);

        std::vector<Method> methods = {Method::newton};
        if (bank.sweeps) methods.push_back(Method::sweeps);
        for (Method method : methods) {
            SCOPED_TRACE(method_name(method));
            Feeder f;
            const std::vector<Complex> set = balanced_set(uhv / sqrt3);
            auto& source = f.add<VoltageSource>(4, set.data());
            attach(source, f.add<PotentialRef>(), {3});
            const std::vector<Complex> zero(4, 0.0);
            auto& lv = f.add<Bus>(4, zero.data());
            std::vector<SingleTransformer*> singles;
            for (int i = 0; i < 3; ++i) {
                auto& t = f.add<SingleTransformer>(z2, ym, Complex(k, 0.0));
                source.connect(t, {{bank.hv_a[i], 0}, {bank.hv_b[i], 1}});
                const bool reversed = bank.clock == 6;
                lv.connect(t, {{reversed ? 3 : i, 2}, {reversed ? i : 3, 3}});
                singles.push_back(&t);
            }
            attach(lv, f.add<PotentialRef>(), {3});
            attach(lv, f.add<AdmittanceLoad>(4, loads.data()), {0, 1, 2, 3});
            ElectricalNetwork network(f.elements);
            auto solver = make_solver(method, network);
            solve_to_convergence(*solver, method);
            const double tolerance = method == Method::sweeps ? 1e-8 : 1e-9;
            for (int phase = 0; phase < 3; ++phase) {
                expect_close(potential(lv, phase), potential(*station.lv, phase),
                             absolute(tolerance), "LV phase " + std::to_string(phase));
            }
            // The same currents leave the source, phase by phase.
            Complex source_current(0.0, 0.0);
            for (int i = 0; i < 3; ++i)
                if (bank.hv_a[i] == 0) source_current += singles[i]->ports[0].current;
                else if (bank.hv_b[i] == 0) source_current += singles[i]->ports[1].current;
            expect_close(source_current, station.transformer->ports[0].current, absolute(1e-7),
                         "HV a current");
        }
    }
}

// A centre-tapped transformer with the same admittance on each LV half: by symmetry the tap stays
// at 0 V and each half delivers (k/2)·U1 less the drop of z2/2, V2a = -V2b = (k/2)·U1 / (1 + z2·Y/2).
TEST(TransformerNetworks, CentreTappedTransformerFeedsTwoHalves) {
    const Complex u1(240.0, 0.0), z2(0.04, 0.08), y(0.5, -0.1);
    const double k = 0.5;
    for (Method method : all_methods) {
        SCOPED_TRACE(method_name(method));
        Feeder f;
        auto& source = f.add<VoltageSource>(2, &u1);
        attach(source, f.add<PotentialRef>(), {1});
        auto& t = f.add<CenterTransformer>(z2, Complex(1e-4, -1e-3), k);
        const std::vector<Complex> zero(3, 0.0);
        auto& lv = f.add<Bus>(3, zero.data());
        link(t, source, lv);
        attach(lv, f.add<PotentialRef>(), {2});
        attach(lv, f.add<AdmittanceLoad>(2, &y), {0, 2});
        attach(lv, f.add<AdmittanceLoad>(2, &y), {1, 2});
        ElectricalNetwork network(f.elements);
        auto solver = make_solver(method, network);
        if (method == Method::sweeps) {
            EXPECT_EQ(error_message([&] { solver->solve_load_flow(10, 1e-9); }), no_sweeps);
            continue;
        }
        solve_to_convergence(*solver, method);
        const Complex half = k / 2 * u1 / (1.0 + z2 * y / 2.0);
        expect_close(potential(lv, 0), half, absolute(1e-8), "LV a");
        expect_close(potential(lv, 1), -half, absolute(1e-8), "LV b");
        expect_close(t.ports[4].current, 0.0, absolute(1e-8), "tap current");
    }
}

}  // namespace
}  // namespace meshvolt
