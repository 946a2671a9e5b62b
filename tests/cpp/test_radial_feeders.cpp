// Whole radial feeders solved by Newton, Newton-Goldstein and backward-forward sweeps, checked
// against closed forms and circuit laws: the voltage behind a line feeding a constant-power load,
// a balanced four-wire feeder, Kirchhoff's current law and S = U·conj(I) on an unbalanced feeder
// with a switch and a load balancer, the pi-section line (with and without shunt admittance),
// set-point updates between solves, and the coded failures of a load at zero voltage.
//
// Conventions: potentials are phase-to-earth, the source neutral is the potential reference
// (0 V), and every port current is positive into its element.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "feeder_builders.hpp"
#include "loads/load_balancer.hpp"
#include "loads/power_load.hpp"
#include "model/line.hpp"
#include "model/potential_ref.hpp"
#include "model/shunt_line.hpp"
#include "model/switch.hpp"
#include "model/voltage_source.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const double pi = std::acos(-1.0);
// Potentials of different solvers agree to this (V); currents and powers are compared with the
// tolerances below (A, VA).
constexpr double volt_tolerance = 1e-7;
constexpr double amp_tolerance = 1e-7;
constexpr double power_tolerance = 1e-5;

std::vector<Complex> row_major(const Eigen::MatrixXcd& m) {
    std::vector<Complex> data;
    for (Eigen::Index i = 0; i < m.rows(); ++i)
        for (Eigen::Index j = 0; j < m.cols(); ++j) data.push_back(m(i, j));
    return data;
}

// Kirchhoff's current law at every node of the network, the grounded one included: the network
// has one potential reference, so no current returns through it.
void expect_kirchhoff(const ElectricalNetwork& network, const std::string& what) {
    for (std::size_t k = 0; k < network.connections.size(); ++k)
        EXPECT_LE(std::abs(node_current_sum(*network.connections[k])), amp_tolerance)
            << what << ": node " << k << " sums to " << node_current_sum(*network.connections[k]);
}

// A star load of n ports: phase i takes S_i = U_i·conj(I_i) at U_i = V_i − V_neutral.
void expect_star_powers(const PowerLoad& load, const std::vector<Complex>& s,
                        const std::string& what) {
    const int neutral = load.port_count() - 1;
    for (int i = 0; i < neutral; ++i) {
        const Complex u = potential(load, i) - potential(load, neutral);
        expect_close(u * std::conj(load.ports[i].current), s[i], absolute(power_tolerance),
                     what + ", star phase " + std::to_string(i));
    }
}

// A delta load of n ports: pair i = (i, i+1 mod n) draws I_i = conj(S_i / U_i) at
// U_i = V_i − V_(i+1), and port i carries I_i − I_(i−1).
void expect_delta_powers(const DeltaPowerLoad& load, const std::vector<Complex>& s,
                         const std::string& what) {
    const int n = load.port_count();
    std::vector<Complex> pair(n);
    for (int i = 0; i < n; ++i)
        pair[i] = std::conj(s[i] / (potential(load, i) - potential(load, (i + 1) % n)));
    for (int i = 0; i < n; ++i)
        expect_close(load.ports[i].current, pair[i] - pair[(i + n - 1) % n],
                     absolute(amp_tolerance), what + ", delta port " + std::to_string(i));
}

void expect_same_potentials(const std::vector<Complex>& actual, const std::vector<Complex>& expected,
                            const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t k = 0; k < actual.size(); ++k)
        expect_close(actual[k], expected[k], absolute(volt_tolerance),
                     what + ", node " + std::to_string(k));
}

double largest_difference(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    double d = 0.0;
    for (std::size_t k = 0; k < a.size() && k < b.size(); ++k) d = std::max(d, std::abs(a[k] - b[k]));
    return d;
}

// ---------------------------------------------------------------------------------------------
// Single-phase line and constant-power load.
//
// Source U (phase to the grounded neutral), a line of impedance z, a load taking S at voltage V:
//     V = U − z·I,   I = conj(S / V)   ⇒   V·conj(V) − U·conj(V) + z·conj(S) = 0.
// With U = |U|·e^(jθ) and V = e^(jθ)·(x + jy), w = z·conj(S), the imaginary part gives
// |U|·y + Im w = 0 and the real part x² − |U|·x + y² + Re w = 0; the operating point is the
// larger root (the smaller one is the low-voltage branch of the nose curve):
//     y = −Im w / |U|,   x = (|U| + sqrt(|U|² − 4·(y² + Re w))) / 2.
Complex load_voltage(Complex u, Complex z, Complex s) {
    const Complex w = z * std::conj(s);
    const double m = std::abs(u);
    const double y = -w.imag() / m;
    const double x = (m + std::sqrt(m * m - 4.0 * (y * y + w.real()))) / 2.0;
    return std::polar(1.0, std::arg(u)) * Complex(x, y);
}

struct SinglePhaseFeeder {
    Feeder feeder;
    VoltageSource* source;
    SimplifiedLine* line;
    PowerLoad* load;

    // The far end's node starts at U (a bus), or at 0 V when `initialised` is false.
    SinglePhaseFeeder(Complex u, Complex z, Complex s, bool initialised = true) {
        const Complex start[] = {u, 0.0};
        Bus& head = feeder.add<Bus>(2, start);
        source = &feeder.add<VoltageSource>(2, &u);
        PotentialRef& ref = feeder.add<PotentialRef>();
        line = &feeder.add<SimplifiedLine>(1, &z);
        Bus* tail = initialised ? &feeder.add<Bus>(1, &u) : nullptr;
        load = &feeder.add<PowerLoad>(2, &s);
        attach(head, *source, {0, 1});
        attach(head, ref, {1});
        line->connect_side(head, {{0, 0}}, true);
        if (tail != nullptr) {
            line->connect_side(*tail, {{0, 0}}, false);
            attach(*tail, *load, {0});
        } else {
            line->connect_side(*load, {{0, 0}}, false);
        }
        head.connect(*load, {{1, 1}});  // the load's neutral on the source's
    }
};

TEST(SinglePhaseFeeder, ConstantPowerLoadMeetsTheClosedForm) {
    struct Case {
        const char* name;
        Complex u, z, s;
    };
    const std::vector<Case> cases = {
        {"inductive load", 230.0, {0.5, 0.3}, {5000.0, 2000.0}},
        {"heavy load, rotated source", std::polar(230.0, -pi / 6), {1.0, 1.0}, {8000.0, 1000.0}},
        {"capacitive load raises the voltage", 230.0, {0.2, 0.4}, {3000.0, -4000.0}},
        {"generation feeds back", std::polar(240.0, pi / 3), {0.5, 0.3}, {-6000.0, -1000.0}},
    };
    for (const Case& c : cases) {
        const Complex expected = load_voltage(c.u, c.z, c.s);
        // The closed form itself: the voltage equation and the load's power hold at V.
        const Complex i = std::conj(c.s / expected);
        ASSERT_LE(std::abs(c.u - c.z * i - expected), 1e-9) << c.name;
        for (Method method : all_methods) {
            const std::string what = std::string(c.name) + ", " + method_name(method);
            SolvedFeeder<SinglePhaseFeeder> solved(method, c.u, c.z, c.s);
            auto& [f, network, solver] = solved;
            expect_close(potential(*f.load, 0), expected, absolute(volt_tolerance),
                         what + ", load voltage");
            expect_star_powers(*f.load, {c.s}, what);
            expect_close(f.line->ports[0].current, i, absolute(amp_tolerance),
                         what + ", line current");
            // The source delivers the load current: its phase port carries −I, its neutral +I.
            expect_close(f.source->ports[0].current, -i, absolute(amp_tolerance),
                         what + ", source phase");
            expect_close(f.source->ports[1].current, i, absolute(amp_tolerance),
                         what + ", source neutral");
            expect_kirchhoff(network, what);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Four-wire impedance matrices (phases a, b, c, neutral n; Ω per km).

// Every phase alike: self impedance zs, phase-phase mutual zpp, phase-neutral mutual zpn.
// Balanced phase currents (Σ I = 0) with In = 0 see the drop (zs − zpp)·I_k in each phase.
const Complex zs(0.21, 0.42), zpp(0.05, 0.17), zpn(0.05, 0.15), znn(0.28, 0.46);

Eigen::MatrixXcd symmetric_four_wire(double length) {
    Eigen::MatrixXcd z(4, 4);
    z << zs, zpp, zpp, zpn,
         zpp, zs, zpp, zpn,
         zpp, zpp, zs, zpn,
         zpn, zpn, zpn, znn;
    return length * z;
}

// Unequal self and mutual impedances, as for a line with an asymmetric conductor layout.
Eigen::MatrixXcd asymmetric_four_wire(double length) {
    const Complex ab(0.05, 0.19), bc(0.05, 0.17), ac(0.05, 0.14);
    const Complex an(0.05, 0.16), bn(0.05, 0.15), cn(0.05, 0.13);
    Eigen::MatrixXcd z(4, 4);
    z << Complex(0.21, 0.42), ab, ac, an,
         ab, Complex(0.22, 0.43), bc, bn,
         ac, bc, Complex(0.20, 0.41), cn,
         an, bn, cn, znn;
    return length * z;
}

// A source on a head bus with its neutral (port 3) as the potential reference.
Bus& add_source_bus(Feeder& feeder, const std::vector<Complex>& voltages) {
    const std::vector<Complex> start = {voltages[0], voltages[1], voltages[2], 0.0};
    Bus& head = feeder.add<Bus>(4, start.data());
    VoltageSource& source = feeder.add<VoltageSource>(4, voltages.data());
    PotentialRef& ref = feeder.add<PotentialRef>();
    attach(head, source, {0, 1, 2, 3});
    attach(head, ref, {3});
    return head;
}

// ---------------------------------------------------------------------------------------------
// Balanced four-wire feeder: three line sections with a balanced star load at each end.

TEST(BalancedFeeder, NeutralCarriesNothingAndPhaseVoltagesStayBalanced) {
    const std::vector<double> lengths = {0.8, 0.5, 0.3};
    const std::vector<Complex> per_phase = {{6000.0, 2000.0}, {4000.0, 1500.0}, {3000.0, -500.0}};
    const Complex a2 = std::polar(1.0, -2 * pi / 3);
    for (Method method : all_methods) {
        const std::string what = method_name(method);
        Feeder feeder;
        const std::vector<Complex> u = balanced_set(230.0);
        const std::vector<Complex> start = balanced_set(230.0, 1);
        Element* upstream = &add_source_bus(feeder, u);
        std::vector<SimplifiedLine*> lines;
        std::vector<Bus*> buses;
        std::vector<PowerLoad*> loads;
        for (std::size_t k = 0; k < lengths.size(); ++k) {
            const std::vector<Complex> z = row_major(symmetric_four_wire(lengths[k]));
            const std::vector<Complex> s(3, per_phase[k]);
            lines.push_back(&feeder.add<SimplifiedLine>(4, z.data()));
            buses.push_back(&feeder.add<Bus>(4, start.data()));
            loads.push_back(&feeder.add<PowerLoad>(4, s.data()));
            link(*lines[k], *upstream, *buses[k]);
            attach(*buses[k], *loads[k], {0, 1, 2, 3});
            upstream = buses[k];
        }
        ElectricalNetwork network(feeder.elements);
        auto solver = make_solver(method, network);
        solve_to_convergence(*solver, method);

        expect_kirchhoff(network, what);
        for (std::size_t k = 0; k < lengths.size(); ++k) {
            const std::string at = what + ", section " + std::to_string(k);
            const Bus& bus = *buses[k];
            // A balanced set: b lags a by 120°, c leads it by 120°, the neutral stays at 0 V.
            expect_close(potential(bus, 1), a2 * potential(bus, 0), absolute(volt_tolerance),
                         at + ", V_b");
            expect_close(potential(bus, 2), std::conj(a2) * potential(bus, 0),
                         absolute(volt_tolerance), at + ", V_c");
            expect_close(potential(bus, 3), 0.0, absolute(volt_tolerance), at + ", V_n");
            EXPECT_LT(std::abs(potential(bus, 0)), 230.0) << at;
            expect_star_powers(*loads[k], std::vector<Complex>(3, per_phase[k]), at);
            // No neutral current, and each phase drops (zs − zpp)·I_k over its section.
            const SimplifiedLine& line = *lines[k];
            expect_close(line.ports[3].current, 0.0, absolute(amp_tolerance),
                         at + ", neutral current");
            for (int p = 0; p < 3; ++p)
                expect_close(potential(line, p) - potential(line, 4 + p),
                             lengths[k] * (zs - zpp) * line.ports[p].current,
                             absolute(volt_tolerance), at + ", drop of phase " + std::to_string(p));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Unbalanced feeder:
//   head bus (source, neutral referenced) — line 1 — bus 1 (unbalanced star load)
//   — closed switch — bus 2 — line 2 — bus 3 (delta load on a-b-c, load balancer on a-b-c-n,
//   single-phase load on b-n).
// Lines are simplified lines, or shunt lines without shunt admittance whose shunt node sits on
// the referenced neutral: the two must give the same solution.

enum class LineModel { simplified, shunt_without_admittance };

std::string model_name(LineModel model) {
    return model == LineModel::simplified ? "simplified lines" : "shunt lines with Y = 0";
}

Branch& add_line(Feeder& feeder, LineModel model, const Eigen::MatrixXcd& z) {
    const int n = static_cast<int>(z.rows());
    const std::vector<Complex> z_data = row_major(z);
    if (model == LineModel::simplified) return feeder.add<SimplifiedLine>(n, z_data.data());
    const std::vector<Complex> y_data(z_data.size(), Complex(0.0, 0.0));
    return feeder.add<ShuntLine>(n, y_data.data(), z_data.data());
}

struct UnbalancedSetPoints {
    std::vector<Complex> star;    // phases a, b, c of bus 1
    std::vector<Complex> delta;   // pairs a-b, b-c, c-a of bus 3
    std::vector<Complex> single;  // b-n of bus 3
};

const UnbalancedSetPoints base_set_points = {
    {{4000.0, 1500.0}, {2500.0, 800.0}, {6000.0, 2000.0}},
    {{3000.0, 1000.0}, {1500.0, 500.0}, {2000.0, 0.0}},
    {{2000.0, 600.0}},
};

struct UnbalancedFeeder {
    Feeder feeder;
    std::vector<Branch*> lines;
    PowerLoad* star;
    DeltaPowerLoad* delta;
    LoadBalancer* balancer;
    PowerLoad* single;

    explicit UnbalancedFeeder(LineModel model, const UnbalancedSetPoints& s = base_set_points) {
        const std::vector<Complex> start = balanced_set(230.0, 1);
        Bus& head = add_source_bus(feeder, balanced_set(230.0));
        lines.push_back(&add_line(feeder, model, asymmetric_four_wire(0.8)));
        Bus& bus1 = feeder.add<Bus>(4, start.data());
        star = &feeder.add<PowerLoad>(4, s.star.data());
        Switch& closed = feeder.add<Switch>(4);
        Bus& bus2 = feeder.add<Bus>(4, start.data());
        lines.push_back(&add_line(feeder, model, asymmetric_four_wire(0.5)));
        Bus& bus3 = feeder.add<Bus>(4, start.data());
        delta = &feeder.add<DeltaPowerLoad>(3, s.delta.data());
        balancer = &feeder.add<LoadBalancer>(Complex(4.0, 8.0), Complex(2e-4, -1e-3), 1.0);
        single = &feeder.add<PowerLoad>(2, s.single.data());

        link(*lines[0], head, bus1);
        attach(bus1, *star, {0, 1, 2, 3});
        link(closed, bus1, bus2);
        link(*lines[1], bus2, bus3);
        attach(bus3, *delta, {0, 1, 2});
        attach(bus3, *balancer, {0, 1, 2, 3});
        attach(bus3, *single, {1, 3});
        if (model == LineModel::shunt_without_admittance)
            for (Branch* line : lines) head.connect(*line, {{3, 8}});  // shunt node on the neutral
    }

    void expect_set_points(const UnbalancedSetPoints& s, const std::string& what) const {
        expect_star_powers(*star, s.star, what + ", bus 1");
        expect_delta_powers(*delta, s.delta, what + ", bus 3");
        expect_star_powers(*single, s.single, what + ", bus 3 b-n");
    }
};

TEST(UnbalancedFeeder, KirchhoffAndSetPointsHoldAndAllSolversAgree) {
    std::vector<Complex> reference;
    for (LineModel model : {LineModel::simplified, LineModel::shunt_without_admittance}) {
        UnbalancedFeeder f(model);
        ElectricalNetwork network(f.feeder.elements);
        for (Method method : all_methods) {
            const std::string what = model_name(model) + ", " + method_name(method);
            auto solver = make_solver(method, network);
            solve_to_convergence(*solver, method);
            expect_kirchhoff(network, what);
            f.expect_set_points(base_set_points, what);
            // The balancer takes part: its phases draw current.
            EXPECT_GT(std::abs(f.balancer->ports[0].current), 0.01) << what;
            // The feeder is unbalanced indeed: the neutral of line 1 carries current.
            EXPECT_GT(std::abs(f.lines[0]->ports[3].current), 1.0) << what;
            const std::vector<Complex> v = node_potentials(network);
            if (reference.empty())
                reference = v;  // simplified lines, Newton
            else
                expect_same_potentials(v, reference, what);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Pi-section line on no load: half the shunt admittance Y at each end (to the earthed shunt
// node), the series impedance Z between them. With no load current at the far end the series
// current is the far-end charging current (Y/2)·V2, so
//     V2 = V1 − Z·(Y/2)·V2   ⇒   V2 = (I + Z·Y/2)⁻¹ V1,     I1 = (Y/2)·(V1 + V2),
// and the charging current returns through the shunt node: Ix = −Σ I1.

struct UnloadedCable {
    Feeder feeder;
    VoltageSource* source;
    ShuntLine* line;
    Bus* tail;

    UnloadedCable(const std::vector<Complex>& u, const Eigen::MatrixXcd& y,
                  const Eigen::MatrixXcd& z) {
        const int n = static_cast<int>(u.size());
        std::vector<Complex> start = u;
        start.push_back(0.0);
        const std::vector<Complex> y_data = row_major(y), z_data = row_major(z);
        Bus& head = feeder.add<Bus>(n + 1, start.data());
        source = &feeder.add<VoltageSource>(n + 1, u.data());
        PotentialRef& ref = feeder.add<PotentialRef>();
        line = &feeder.add<ShuntLine>(n, y_data.data(), z_data.data());
        tail = &feeder.add<Bus>(n, u.data());
        std::vector<int> all(n + 1);
        for (int k = 0; k <= n; ++k) all[k] = k;
        attach(head, *source, all);
        attach(head, ref, {n});
        link(*line, head, *tail);
        head.connect(*line, {{n, 2 * n}});  // shunt node on the referenced neutral
    }
};

TEST(ShuntLineFeeder, UnloadedLineDrawsItsChargingCurrent) {
    struct Case {
        const char* name;
        std::vector<Complex> u;
        Eigen::MatrixXcd y, z;
    };
    Eigen::MatrixXcd y1(1, 1), z1(1, 1), y3(3, 3), z3(3, 3);
    y1 << Complex(0.0, 2e-3);
    z1 << Complex(0.4, 0.9);
    const Complex b(0.0, 2.4e-3), bm(0.0, -4e-4), zm(0.06, 0.2);
    y3 << b, bm, bm, bm, b, bm, bm, bm, b;
    z3 << Complex(0.4, 0.9), zm, zm, zm, Complex(0.4, 0.9), zm, zm, zm, Complex(0.42, 0.88);
    const std::vector<Case> cases = {
        {"single-phase", {std::polar(230.0, 0.2)}, y1, z1},
        {"three-phase", balanced_set(230.0), y3, z3},
    };
    for (const Case& c : cases) {
        const Eigen::Index n = c.y.rows();
        const Eigen::VectorXcd v1 = Eigen::Map<const Eigen::VectorXcd>(c.u.data(), n);
        const Eigen::MatrixXcd identity = Eigen::MatrixXcd::Identity(n, n);
        const Eigen::VectorXcd v2 = (identity + c.z * c.y / 2.0).inverse() * v1;
        const Eigen::VectorXcd i1 = c.y / 2.0 * (v1 + v2);
        for (Method method : all_methods) {
            const std::string what = std::string(c.name) + ", " + method_name(method);
            SolvedFeeder<UnloadedCable> solved(method, c.u, c.y, c.z);
            auto& [f, network, solver] = solved;
            expect_kirchhoff(network, what);
            Complex charging(0.0, 0.0);
            for (Eigen::Index k = 0; k < n; ++k) {
                const int p = static_cast<int>(k);
                const std::string phase = what + ", phase " + std::to_string(p);
                expect_close(potential(*f.tail, p), v2(k), absolute(volt_tolerance),
                             phase + ", far end");
                EXPECT_GT(std::abs(v2(k)), std::abs(v1(k))) << phase;  // the far end rises
                expect_close(f.line->ports[p].current, i1(k), absolute(1e-10),
                             phase + ", sending current");
                expect_close(f.line->ports[n + p].current, 0.0, absolute(1e-10),
                             phase + ", receiving current");
                expect_close(f.source->ports[p].current, -i1(k), absolute(1e-10),
                             phase + ", source current");
                charging += i1(k);
            }
            expect_close(f.line->extra_port->current, -charging, absolute(1e-10),
                         what + ", shunt node");
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Set-point updates between solves reach the next solve of the same solver (its tape is not
// recorded again) and give what a solver created afresh on the updated loads gives.

TEST(SetPointUpdates, ReachTheNextSolveAndMatchAFreshSolver) {
    const UnbalancedSetPoints updated = {
        {{5000.0, 2500.0}, {1000.0, 200.0}, {7000.0, 1000.0}},
        {{1000.0, 300.0}, {3500.0, 1200.0}, {2500.0, 800.0}},
        {{3500.0, 900.0}},
    };
    for (Method method : all_methods) {
        const std::string what = method_name(method);
        SolvedFeeder<UnbalancedFeeder> solved(method, LineModel::simplified);
        auto& [f, network, solver] = solved;
        const std::vector<Complex> before = node_potentials(network);

        f.star->update_powers(updated.star.data());
        f.delta->update_powers(updated.delta.data());
        f.single->update_powers(updated.single.data());
        const auto [iterations, residual] = solve_to_convergence(*solver, method);
        EXPECT_GT(iterations, 0) << what << ": the update left the solution in place";
        f.expect_set_points(updated, what + ", same solver");
        const std::vector<Complex> after = node_potentials(network);
        EXPECT_GT(largest_difference(before, after), 1.0) << what;

        solver.reset();
        auto fresh = make_solver(method, network);
        solve_to_convergence(*fresh, method);
        f.expect_set_points(updated, what + ", fresh solver");
        expect_same_potentials(node_potentials(network), after, what + ", fresh solver");
    }
}

// ---------------------------------------------------------------------------------------------
// A constant-power load at zero voltage draws a non-finite current; the solvers stop with their
// coded NaN messages instead of reporting a solution. Newton fails when its first Jacobian holds
// the NaN (no update step done yet); the sweeps fail after their first forward sweep, which
// carries the non-finite load current into the potentials downstream.

// Four uncoupled conductors to a far bus whose phase c and neutral start at 0 V, with a
// single-phase load on c-n there: its voltage is 0 at the start.
struct UninitialisedPhase {
    Feeder feeder;

    UninitialisedPhase() {
        const std::vector<Complex> u = balanced_set(230.0);
        const std::vector<Complex> far = {u[0], u[1], 0.0, 0.0};
        const Complex s(2000.0, 500.0);
        Bus& head = add_source_bus(feeder, u);
        const Eigen::MatrixXcd z = Eigen::VectorXcd::Constant(4, Complex(0.2, 0.4)).asDiagonal();
        const std::vector<Complex> z_data = row_major(z);
        SimplifiedLine& line = feeder.add<SimplifiedLine>(4, z_data.data());
        Bus& tail = feeder.add<Bus>(4, far.data());
        PowerLoad& load = feeder.add<PowerLoad>(2, &s);
        link(line, head, tail);
        attach(tail, load, {2, 3});
    }
};

TEST(ZeroVoltageLoad, EverySolverFailsWithItsCodedMessage) {
    struct Case {
        const char* name;
        std::function<Feeder()> build;
    };
    const std::vector<Case> cases = {
        // At 0 V a real power P draws conj(P / 0) = (inf, NaN), and the first forward sweep turns
        // the far potential into (NaN, NaN). (A complex power would draw (inf, -inf) instead,
        // whose potential change (-inf, NaN) has the modulus inf: no NaN measure then.)
        {"single-phase load node without a starting potential",
         [] { return SinglePhaseFeeder(230.0, Complex(0.5, 0.3), 3000.0, false).feeder; }},
        {"uninitialised phase of a four-wire bus", [] { return UninitialisedPhase().feeder; }},
    };
    const std::vector<std::pair<Method, std::string>> expected = {
        {Method::newton, "1 NaN value encountered at iteration 0. "},
        {Method::goldstein, "1 NaN value encountered at iteration 0. "},
        {Method::sweeps, "2 NaN value encountered at iteration 1. "},
    };
    for (const Case& c : cases) {
        for (const auto& [method, message] : expected) {
            const std::string what = std::string(c.name) + ", " + method_name(method);
            Feeder feeder = c.build();
            ElectricalNetwork network(feeder.elements);
            auto solver = make_solver(method, network);
            try {
                const auto [iterations, residual] = solver->solve_load_flow(50, 1e-9);
                ADD_FAILURE() << what << ": no exception, returned (" << iterations << ", "
                              << residual << ")";
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()), message) << what;
            }
        }
    }
}

}  // namespace
}  // namespace meshvolt
