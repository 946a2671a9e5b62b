// Flexible loads in a network: each distinct parameter object closes the parameter layout with its
// three limits, bound once however many phases and loads share it; a four-wire feeder with flexible
// loads solved by Newton, Newton-Goldstein and backward-forward sweeps; new limits and powers reach
// the next solve without recording again; a later solver rebinds the limits.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "feeder_builders.hpp"
#include "loads/flexible_load.hpp"
#include "loads/power_load.hpp"
#include "model/line.hpp"
#include "model/potential_ref.hpp"
#include "model/voltage_source.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const Control constant("constant", 0, 0, 0, 0, 0, 0);

FlexibleParameter limits_only(double s_max, double q_min, double q_max) {
    return FlexibleParameter(constant, Control("q_u", 210.0, 225.0, 235.0, 250.0, 100.0, 1e-4),
                             Projection("euclidean", 100.0, 1e-4), s_max, q_min, q_max);
}

TEST(FlexibleParameters, EachObjectClosesTheLayoutOnceInAddressOrder) {
    // Three loads sharing two objects, in the opposite of their address order, and a power load.
    std::vector<FlexibleParameter> objects = {limits_only(11.0, 12.0, 13.0), limits_only(21.0, 22.0, 23.0)};
    FlexibleParameter* first = &objects[0];
    FlexibleParameter* second = &objects[1];
    const std::vector<Complex> s(3, Complex(100.0, 10.0));
    FlexibleLoad star(4, s.data(), {second, second, first});
    DeltaFlexibleLoad delta(3, s.data(), {first, first, first});
    PowerLoad power(2, s.data());
    FlexibleLoad single(2, s.data(), {second});
    ElectricalNetwork network({&star, &delta, &power, &single});
    EXPECT_EQ(network.flexible_parameters.size(), 2u);

    const NetworkValues values = collect_network_values(network);
    // 3 + 3 + 1 + 1 theoretical or set-point powers, then the two triples.
    ASSERT_EQ(values.parameters.size(), 2 * 8 + 6u);
    const std::vector<double> tail(values.parameters.end() - 6, values.parameters.end());
    EXPECT_EQ(tail, (std::vector<double>{11.0, 12.0, 13.0, 21.0, 22.0, 23.0}));

    // Bound once: every phase of every load reads the same three entries.
    auto solver = make_solver(Method::sweeps, network);
    const double* block = solver->parameters.data() + 16;
    EXPECT_EQ(first->s_max.value_ptr, block);
    EXPECT_EQ(first->q_max.value_ptr, block + 2);
    EXPECT_EQ(second->s_max.value_ptr, block + 3);
    second->update_parameters(31.0, 32.0, 33.0);
    EXPECT_EQ(solver->parameters[19], 31.0);
    EXPECT_EQ(solver->parameters[21], 33.0);
    solver.reset();
    EXPECT_FALSE(second->s_max.bound);
    EXPECT_EQ(second->s_max.get(), 31.0);
}

TEST(FlexibleParameters, NetworkWithoutFlexibleLoadsEndsWithTheElementParameters) {
    const std::vector<Complex> s = {{100.0, 10.0}, {200.0, 0.0}};
    PowerLoad power(3, s.data());
    ElectricalNetwork network({&power});
    EXPECT_TRUE(network.flexible_parameters.empty());
    EXPECT_EQ(collect_network_values(network).parameters, (std::vector<double>{100.0, 10.0, 200.0, 0.0}));
}

// ---------------------------------------------------------------------------------------------
// Source (balanced 230 V, neutral referenced) — four-wire line — bus with a star flexible load
// (q_u on phases a and c sharing one object, consumption limit on b), a delta flexible load
// (production limit on a-b and c-a, constant on b-c) and a constant-power load on c-n.

const std::vector<Complex> star_request = {{9000.0, 1000.0}, {7000.0, 500.0}, {8000.0, -500.0}};
const std::vector<Complex> delta_request = {{-6000.0, 0.0}, {3000.0, 1000.0}, {-4000.0, 500.0}};
const Complex single_request(2000.0, 500.0);

struct FlexibleFeeder {
    FlexibleParameter q_u{constant, Control("q_u", 200.0, 228.0, 232.0, 250.0, 60.0, 1e-4),
                          Projection("euclidean", 60.0, 1e-4), 12000.0, -4000.0, 4000.0};
    FlexibleParameter consumption{Control("p_max_u_consumption", 200.0, 240.0, 0, 0, 40.0, 1e-3),
                                  constant, Projection("keep_q", 60.0, 1e-4), 10000.0, 0.0, 0.0};
    FlexibleParameter production{Control("p_max_u_production", 0, 0, 360.0, 420.0, 40.0, 1e-3),
                                 constant, Projection("keep_p", 60.0, 1e-4), 8000.0, 0.0, 0.0};
    FlexibleParameter fixed{constant, constant, Projection("euclidean", 1.0, 1.0), 0.0, 0.0, 0.0};
    Feeder feeder;
    SimplifiedLine* line;
    FlexibleLoad* star;
    DeltaFlexibleLoad* delta;
    PowerLoad* single;

    FlexibleFeeder() {
        const std::vector<Complex> u = balanced_set(230.0);
        const std::vector<Complex> start = balanced_set(230.0, 1);
        Bus& head = feeder.add<Bus>(4, start.data());
        VoltageSource& source = feeder.add<VoltageSource>(4, u.data());
        PotentialRef& ref = feeder.add<PotentialRef>();
        attach(head, source, {0, 1, 2, 3});
        attach(head, ref, {3});
        // 0.4 km of a four-wire cable: self 0.32 + j0.08, mutual j0.03 Ω/km.
        Eigen::MatrixXcd z = Eigen::MatrixXcd::Constant(4, 4, Complex(0.0, 0.03));
        z.diagonal().setConstant(Complex(0.32, 0.08));
        z *= 0.4;
        std::vector<Complex> z_data(z.data(), z.data() + 16);  // symmetric: row-major = column-major
        line = &feeder.add<SimplifiedLine>(4, z_data.data());
        Bus& bus = feeder.add<Bus>(4, start.data());
        star = &feeder.add<FlexibleLoad>(4, star_request.data(),
                                         std::vector<FlexibleParameter*>{&q_u, &consumption, &q_u});
        delta = &feeder.add<DeltaFlexibleLoad>(
            3, delta_request.data(), std::vector<FlexibleParameter*>{&production, &fixed, &production});
        single = &feeder.add<PowerLoad>(2, &single_request);
        link(*line, head, bus);
        attach(bus, *star, {0, 1, 2, 3});
        attach(bus, *delta, {0, 1, 2});
        attach(bus, *single, {2, 3});
    }
};

// Kirchhoff's current law at every node, and each flexible phase drawing S = U·conj(I) equal to
// compute_power of its solved voltage (and to get_powers).
void expect_solved(const FlexibleFeeder& f, const ElectricalNetwork& network, const std::string& what) {
    for (std::size_t k = 0; k < network.connections.size(); ++k)
        expect_close(node_current_sum(*network.connections[k]), 0.0, absolute(1e-7),
                     what + ", node " + std::to_string(k));
    std::vector<Complex> s(3);
    f.star->get_powers(s.data());
    for (int i = 0; i < 3; ++i) {
        const Complex u = potential(*f.star, i) - potential(*f.star, 3);
        const Complex law = f.star->parameters[i]->compute_power(std::abs(u), f.star->powers[i].get());
        expect_close(u * std::conj(f.star->ports[i].current), law, absolute(1e-5),
                     what + ", star phase " + std::to_string(i));
        expect_close(s[i], law, absolute(1e-9), what + ", star get_powers " + std::to_string(i));
    }
    std::vector<Complex> pair(3);
    f.delta->get_inner_currents(pair.data());
    for (int i = 0; i < 3; ++i) {
        const Complex u = potential(*f.delta, i) - potential(*f.delta, (i + 1) % 3);
        const Complex law = f.delta->parameters[i]->compute_power(std::abs(u), f.delta->powers[i].get());
        expect_close(u * std::conj(pair[i]), law, absolute(1e-5),
                     what + ", delta pair " + std::to_string(i));
        expect_close(f.delta->ports[i].current, pair[i] - pair[(i + 2) % 3], absolute(1e-7),
                     what + ", delta port " + std::to_string(i));
    }
}

TEST(FlexibleFeeder, ThreeSolversMeetTheLawsAndKirchhoff) {
    std::vector<Complex> reference;
    for (Method method : all_methods) {
        const std::string what = method_name(method);
        SolvedFeeder<FlexibleFeeder> solved(method);
        auto& [f, network, solver] = solved;
        expect_solved(f, network, what);
        // The laws act at the solved voltages: the powers are not the requested ones.
        std::vector<Complex> s(3);
        f.star->get_powers(s.data());
        EXPECT_GT(std::abs(s[0] - star_request[0]), 100.0) << what;
        EXPECT_GT(std::abs(s[1] - star_request[1]), 100.0) << what;
        f.delta->get_powers(s.data());
        EXPECT_GT(std::abs(s[0] - delta_request[0]), 100.0) << what;
        EXPECT_EQ(s[1], delta_request[1]) << what;
        const std::vector<Complex> v = node_potentials(network);
        if (reference.empty()) reference = v;
        for (std::size_t k = 0; k < v.size(); ++k)
            expect_close(v[k], reference[k], absolute(1e-6),
                         what + " against Newton, node " + std::to_string(k));
    }
}

TEST(FlexibleFeeder, NewLimitsAndPowersReachTheNextSolveWithoutRecording) {
    for (Method method : all_methods) {
        const std::string what = method_name(method);
        SolvedFeeder<FlexibleFeeder> solved(method);
        auto& [f, network, solver] = solved;

        f.q_u.update_parameters(9000.0, -1000.0, 1500.0);
        f.production.update_parameters(5000.0, 0.0, 0.0);
        const std::vector<Complex> moved = {{5000.0, 0.0}, {6000.0, 1000.0}, {4000.0, 0.0}};
        f.star->update_powers(moved.data());
        solve_to_convergence(*solver, method);
        expect_solved(f, network, what + ", updated");
        const std::vector<Complex> updated = node_potentials(network);

        // A solver made afresh starts from the own values, which the updates wrote too.
        solver.reset();
        auto fresh = make_solver(method, network);
        solve_to_convergence(*fresh, method);
        const std::vector<Complex> v = node_potentials(network);
        for (std::size_t k = 0; k < v.size(); ++k)
            expect_close(updated[k], v[k], absolute(1e-6), what + ", node " + std::to_string(k));
    }
}

TEST(FlexibleFeeder, LaterSolverRebindsTheLimits) {
    FlexibleFeeder f;
    ElectricalNetwork network(f.feeder.elements);
    auto first = make_solver(Method::newton, network);
    auto second = make_solver(Method::goldstein, network);
    const auto in = [](const double* p, const Eigen::VectorXd& v) {
        return p >= v.data() && p < v.data() + v.size();
    };
    EXPECT_TRUE(in(f.q_u.s_max.value_ptr, second->parameters));
    f.q_u.update_parameters(9000.0, -1000.0, 1500.0);
    EXPECT_EQ(*f.q_u.q_max.value_ptr, 1500.0);
    // The first solver going leaves the limits bound to the second.
    first.reset();
    EXPECT_TRUE(f.q_u.q_max.bound);
    EXPECT_TRUE(in(f.q_u.q_max.value_ptr, second->parameters));
    solve_to_convergence(*second, Method::goldstein);
    expect_solved(f, network, "second solver");
    EXPECT_EQ(f.q_u.q_max.get(), 1500.0);
}

// The later solver going first: the older one takes the limits over at its next solve, with the
// updates made meanwhile, and the elements show its results.
TEST(FlexibleFeeder, OlderSolverTakesTheLimitsOverWhenTheLaterGoes) {
    for (Method method : all_methods) {
        const std::string what = method_name(method);
        FlexibleFeeder f;
        ElectricalNetwork network(f.feeder.elements);
        auto older = make_solver(method, network);
        auto later = make_solver(Method::newton, network);
        solve_to_convergence(*later, Method::newton);
        later.reset();
        EXPECT_FALSE(f.q_u.s_max.bound) << what;
        f.q_u.update_parameters(9000.0, -1000.0, 1500.0);
        solve_to_convergence(*older, method);
        EXPECT_EQ(f.q_u.q_max.get(), 1500.0) << what;
        EXPECT_TRUE(f.q_u.q_max.bound) << what;
        expect_solved(f, network, what + ", older solver");
    }
}

}  // namespace
}  // namespace meshvolt
