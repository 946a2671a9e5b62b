// Feeders with a single-phase voltage regulator solved by Newton, Newton-Goldstein and
// backward-forward sweeps: the tap settles where the output voltage meets its reference, or on the
// clamp when the reference is out of reach, and a new reference reaches the next solve.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "feeder_builders.hpp"
#include "loads/admittance_load.hpp"
#include "model/line.hpp"
#include "model/potential_ref.hpp"
#include "model/voltage_source.hpp"
#include "transformers/single_transformer.hpp"
#include "transformers/single_voltage_regulator.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const Complex z2_default(0.02, 0.05);
const Complex ym_default(1e-4, -3e-4);

// A source U behind a line z1 feeds the regulator, whose output feeds an admittance load Y.
// With the ratio k = c·e^(jφ) (c = get_tap()):
//     U1 (1 + z1·ym) = U − z1·conj(k)·Y·U2      (the line carries ym·U1 and the reflected load)
//     U2 (1 + z2·Y) = k·U1
// so that  U2 = k·U / ((1 + z2·Y)(1 + z1·ym) + c²·z1·Y): the line is seen through c².
// Inside the range the tap settles where |U2| = u_ref; beyond it c stays on the clamp.
struct RegulatedFeeder {
    Feeder feeder;
    SingleVoltageRegulator* regulator;
    Element* load;

    RegulatedFeeder(Complex u, Complex z1, Complex y, double u_ref, double phi, double alpha) {
        const Complex start[] = {u, 0.0};
        Bus& head = feeder.add<Bus>(2, start);
        VoltageSource& source = feeder.add<VoltageSource>(2, &u);
        PotentialRef& ref = feeder.add<PotentialRef>();
        SimplifiedLine& line = feeder.add<SimplifiedLine>(1, &z1);
        Bus& middle = feeder.add<Bus>(1, &u);
        regulator = &feeder.add<SingleVoltageRegulator>(z2_default, ym_default, u_ref, 0.1, alpha,
                                                        phi);
        Bus& tail = feeder.add<Bus>(1, &u);
        load = &feeder.add<AdmittanceLoad>(2, &y);
        attach(head, source, {0, 1});
        attach(head, ref, {1});
        line.connect_side(head, {{0, 0}}, true);
        line.connect_side(middle, {{0, 0}}, false);
        regulator->connect_side(middle, {{0, 0}}, true);
        regulator->connect_side(head, {{1, 1}}, true);
        regulator->connect_side(tail, {{0, 0}}, false);
        attach(tail, *load, {0});
        head.connect(*load, {{1, 1}});
    }
};

TEST(RegulatedFeeder, TapSettlesOnTheReferenceOrOnTheClamp) {
    const Complex u = 230.0, z1(0.05, 0.1), y = 1.0 / Complex(10.0, 3.0);
    struct Case {
        const char* name;
        double u_ref;
        double phi;
        double alpha;
        double expected_clamp;  // 0: inside the range, |U2| = u_ref
    };
    const std::vector<Case> cases = {
        {"boost inside the range", 240.0, 0.0, 1e3, 0.0},
        {"buck inside the range, phase shift", 215.0, 0.3, 1e3, 0.0},
        {"reference out of reach above", 280.0, 0.0, 100.0, 1.1},
        {"reference out of reach below", 180.0, -0.2, 100.0, 0.9},
    };
    for (const Case& c : cases) {
        std::vector<Complex> solutions;
        for (Method method : all_methods) {
            const std::string what = std::string(c.name) + ", " + method_name(method);
            const SolvedFeeder<RegulatedFeeder> solved(method, u, z1, y, c.u_ref, c.phi, c.alpha);

            const SingleVoltageRegulator& reg = *solved.f.regulator;
            const double clamped = reg.get_tap();
            const Complex k = std::polar(clamped, c.phi);
            const Complex u2 = potential(reg, 2) - potential(reg, 3);
            const Complex expected =
                k * u / ((1.0 + z2_default * y) * (1.0 + z1 * ym_default) + clamped * clamped * z1 * y);
            expect_close(u2, expected, absolute(1e-7),
                                  what + ", output voltage");
            if (c.expected_clamp == 0.0) {
                EXPECT_NEAR(std::abs(u2), c.u_ref, 1e-7) << what;
            } else {
                // A tap about 0.1 beyond the edge leaves a tail of e^(-0.1·alpha)/alpha ≈ 5·10⁻⁷.
                EXPECT_NEAR(clamped, c.expected_clamp, 1e-6) << what;
                EXPECT_GT(std::abs(std::abs(u2) - c.u_ref), 10.0) << what;
            }
            // At the solution t·|U2| = u_ref·c for the tap variable t.
            EXPECT_NEAR(reg.tap.get() * std::abs(u2), c.u_ref * clamped, 1e-6) << what;
            for (const auto& node : solved.network.connections)
                EXPECT_LE(std::abs(node_current_sum(*node)), 1e-7) << what;
            solutions.push_back(u2);
        }
        for (std::size_t m = 1; m < solutions.size(); ++m)
            expect_close(solutions[m], solutions[0], absolute(1e-7),
                                  std::string(c.name) + ": methods agree");
    }
}

TEST(RegulatedFeeder, NewSetPointTakesEffectAtTheNextSolve) {
    const Complex u = 230.0, z1(0.05, 0.1), y = 1.0 / Complex(10.0, 3.0);
    for (Method method : all_methods) {
        SolvedFeeder<RegulatedFeeder> solved(method, u, z1, y, 240.0, 0.0, 1e3);
        SingleVoltageRegulator& regulator = *solved.f.regulator;
        regulator.update_parameters(z2_default, ym_default, 225.0);
        solve_to_convergence(*solved.solver, method);
        const Complex u2 = potential(regulator, 2) - potential(regulator, 3);
        EXPECT_NEAR(std::abs(u2), 225.0, 1e-7) << method_name(method);
    }
}

// A single-phase transformer steps 460 V down ahead of the regulator, whose common terminal is the
// transformer's LV neutral. The regulator still holds its output on the reference, Kirchhoff's
// current law holds at every node, and the three solvers agree.
TEST(RegulatedFeeder, BehindASinglePhaseTransformerTheMethodsAgree) {
    const Complex u = 460.0, zt(0.05, 0.1), ymt(1e-5, -5e-5), kt = 0.5;
    const Complex y = 1.0 / Complex(10.0, 3.0);
    std::vector<std::vector<Complex>> solutions;
    for (Method method : all_methods) {
        const std::string what = method_name(method);
        Feeder f;
        const Complex start[] = {230.0, 0.0};
        auto& source = f.add<VoltageSource>(2, &u);
        attach(source, f.add<PotentialRef>(), {1});
        auto& transformer = f.add<SingleTransformer>(zt, ymt, kt);
        auto& lv = f.add<Bus>(2, start);
        link(transformer, source, lv);
        attach(lv, f.add<PotentialRef>(), {1});
        auto& regulator =
            f.add<SingleVoltageRegulator>(z2_default, ym_default, 235.0, 0.1, 1e3, 0.0);
        auto& tail = f.add<Bus>(1, start);
        regulator.connect_side(lv, {{0, 0}, {1, 1}}, true);
        regulator.connect_side(tail, {{0, 0}}, false);
        auto& load = f.add<AdmittanceLoad>(2, &y);
        attach(tail, load, {0});
        lv.connect(load, {{1, 1}});
        ElectricalNetwork network(f.elements);
        auto solver = make_solver(method, network);
        solve_to_convergence(*solver, method);

        const Complex u2 = potential(regulator, 2) - potential(regulator, 3);
        EXPECT_NEAR(std::abs(u2), 235.0, 1e-7) << what;
        for (const auto& node : network.connections)
            EXPECT_LE(std::abs(node_current_sum(*node)), 1e-7) << what;
        solutions.push_back(node_potentials(network));
    }
    for (std::size_t m = 1; m < solutions.size(); ++m)
        for (std::size_t i = 0; i < solutions[0].size(); ++i)
            expect_close(solutions[m][i], solutions[0][i], absolute(1e-7),
                                  "methods agree");
}

// The tap is a solver variable: a solver that goes away leaves its solved tap in the regulator.
TEST(RegulatedFeeder, DestroyedSolverLeavesItsTapBehind) {
    const Complex u = 230.0, z1(0.05, 0.1), y = 1.0 / Complex(10.0, 3.0);
    RegulatedFeeder f(u, z1, y, 240.0, 0.0, 1e3);
    ElectricalNetwork network(f.feeder.elements);
    auto solver = make_solver(Method::newton, network);
    solve_to_convergence(*solver, Method::newton);
    const double solved = f.regulator->get_tap();
    EXPECT_GT(solved, 1.01);
    solver.reset();
    EXPECT_FALSE(f.regulator->tap.bound);
    EXPECT_EQ(f.regulator->get_tap(), solved);
}

}  // namespace
}  // namespace meshvolt
