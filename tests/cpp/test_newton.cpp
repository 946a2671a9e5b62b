// The equation tape, the sparse and dense Jacobians, the Newton loop, the Goldstein line search,
// their log records and failures.
#include <gtest/gtest.h>

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <cmath>
#include <complex>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "feeder_builders.hpp"
#include "model/bus.hpp"
#include "model/potential_ref.hpp"
#include "model/voltage_source.hpp"
#include "phasors.hpp"
#include "solvers/cppad_error_log.hpp"
#include "solvers/newton.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const double nan = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------------
// Test-only elements without ports.

// One real unknown x and one dynamic parameter a, with the equation  x² − a = 0.
class Square : public Element {
  public:
    Square(double x0, double a0) : Element(0), x(x0), a(a0) {}

    void collect_variables(std::vector<double>& values) override { x.push_value(values); }
    void collect_parameters(std::vector<double>& values) override { a.push_value(values); }
    void bind_variables(const ADVector& tape, Eigen::VectorXd& values, int& index) override {
        x.bind(tape, values, index);
    }
    void bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) override {
        a.bind(tape, values, index);
    }
    void add_equations(ADVector& residuals, int& index) override {
        residuals[index++] = x.ad_value * x.ad_value - a.ad_value;
    }
    void release_values(const Eigen::VectorXd& variables,
                        const Eigen::VectorXd& parameters) override {
        x.keep_from(variables);
        a.release_from(parameters);
    }

    RealVariable x;
    RealVariable a;
};

// An unknown on which its own equation (a = 0) does not depend: its Jacobian column is empty.
class Unused : public Square {
  public:
    using Square::Square;
    void add_equations(ADVector& residuals, int& index) override {
        residuals[index++] = a.ad_value;
    }
};

// An unknown without an equation.
class MissingEquation : public Square {
  public:
    using Square::Square;
    void add_equations(ADVector&, int&) override {}
};

// Fails while the tape is being recorded.
class FailsOnTape : public Square {
  public:
    using Square::Square;
    void compute_currents(bool on_tape) override {
        if (on_tape) throw std::runtime_error("no currents on the tape");
    }
};

// A network of the given elements, owning them.
struct OwnedNetwork {
    std::vector<std::unique_ptr<Element>> owned;
    std::unique_ptr<ElectricalNetwork> network;

    explicit OwnedNetwork(std::vector<std::unique_ptr<Element>> elements)
        : owned(std::move(elements)) {
        std::vector<Element*> pointers;
        for (auto& e : owned) pointers.push_back(e.get());
        network = std::make_unique<ElectricalNetwork>(pointers);
    }
    template <class T>
    T& at(std::size_t k) {
        return static_cast<T&>(*owned[k]);
    }
};

// Squares with the given starting points and parameters.
OwnedNetwork squares(const std::vector<std::pair<double, double>>& x_and_a) {
    std::vector<std::unique_ptr<Element>> elements;
    for (const auto& [x, a] : x_and_a) elements.push_back(std::make_unique<Square>(x, a));
    return OwnedNetwork(std::move(elements));
}

// ---------------------------------------------------------------------------------------------
// Networks of the framework's elements.

// Three-phase star source, neutral grounded: the phase potentials are the source voltages.
struct StarSource {
    const Complex u[3] = {polar_deg(230.0, 0.0), polar_deg(230.0, -120.0), polar_deg(230.0, 120.0)};
    VoltageSource source{4, u};
    PotentialRef reference;
    std::unique_ptr<ElectricalNetwork> network;

    StarSource() {
        source.connect(reference, {{3, 0}});
        network = std::make_unique<ElectricalNetwork>(std::vector<Element*>{&source, &reference});
    }
};

// Delta source whose star point is fixed by a delta potential reference (Σ V = 0):
//     V_a − V_b = U_ab,  V_b − V_c = U_bc,  V_a + V_b + V_c = 0
//  => V_a = (2·U_ab + U_bc) / 3,  V_b = V_a − U_ab,  V_c = V_b − U_bc.
struct DeltaSource {
    const Complex u[2] = {polar_deg(400.0, 30.0), polar_deg(400.0, -90.0)};
    DeltaVoltageSource source{3, u};
    DeltaPotentialRef reference{3};
    std::unique_ptr<ElectricalNetwork> network;

    DeltaSource() {
        source.connect(reference, {{0, 0}, {1, 1}, {2, 2}});
        network = std::make_unique<ElectricalNetwork>(std::vector<Element*>{&source, &reference});
    }
    Complex potential(int k) const { return source.ports[k].connection->get_potential(); }
};

// ---------------------------------------------------------------------------------------------
// Log capture on the default logger.

class LogCapture {
  public:
    explicit LogCapture(spdlog::level::level_enum level = spdlog::level::debug)
        : previous_(spdlog::default_logger()),
          sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(256)) {
        auto logger = std::make_shared<spdlog::logger>("capture", sink_);
        logger->set_level(level);
        spdlog::set_default_logger(logger);
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& record : sink_->last_raw())
            out.emplace_back(record.payload.data(), record.payload.size());
        return out;
    }
    std::vector<spdlog::level::level_enum> levels() const {
        std::vector<spdlog::level::level_enum> out;
        for (const auto& record : sink_->last_raw()) out.push_back(record.level);
        return out;
    }
    int count(const std::string& message) const {
        int n = 0;
        for (const auto& m : messages()) n += m == message ? 1 : 0;
        return n;
    }

  private:
    std::shared_ptr<spdlog::logger> previous_;
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
};

std::string operators(std::size_t count) {
    return "Number of tape operators: " + std::to_string(count);
}

const std::string pattern_header = "----- Sparse pattern initialisation -----";

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---------------------------------------------------------------------------------------------
// The tape.

TEST(EquationTape, ResidualsFollowTheVariableLayout) {
    StarSource s;
    Newton solver(s.network.get(), false);
    ASSERT_EQ(solver.variables.size(), 12);  // 3 free nodes, then 3 source currents
    ASSERT_EQ(solver.parameters.size(), 6);
    EXPECT_EQ(solver.initial_variables, solver.variables);

    // Node k draws only the source's current J_k: its balance is J_k. Then V_k − 0 − U_k.
    Eigen::VectorXd x = Eigen::VectorXd::Zero(12);
    for (int k = 0; k < 6; ++k) x[6 + k] = k + 1.0;
    solver.set_variables(x.data(), 12);
    const Eigen::VectorXd f = solver.compute_residuals();
    ASSERT_EQ(f.size(), 12);
    for (int k = 0; k < 6; ++k) EXPECT_DOUBLE_EQ(f[k], k + 1.0) << k;
    for (int k = 0; k < 3; ++k) {
        EXPECT_DOUBLE_EQ(f[6 + 2 * k], -s.u[k].real()) << k;
        EXPECT_DOUBLE_EQ(f[7 + 2 * k], -s.u[k].imag()) << k;
    }
    // Evaluating changes nothing.
    EXPECT_EQ(solver.compute_residuals(), f);
    EXPECT_EQ(solver.variables, x);
    EXPECT_EQ(solver.get_residuals(), f);
}

TEST(EquationTape, ANetworkWithoutVariablesIsRefused) {
    PotentialRef a, b;
    ElectricalNetwork grounded({&a, &b});
    ElectricalNetwork empty({});
    for (ElectricalNetwork* network : {&grounded, &empty}) {
        const std::string message = error_message([&] { Newton solver(network, false); });
        EXPECT_EQ(message.rfind("1 ", 0), 0u) << message;
        EXPECT_NE(message.find("nothing to solve"), std::string::npos) << message;
    }
}

TEST(EquationTape, AFailedRecordingLeavesNothingOpenOrBound) {
    std::vector<std::unique_ptr<Element>> bad;
    bad.push_back(std::make_unique<Square>(1.0, 4.0));
    bad.push_back(std::make_unique<DeltaPotentialRef>(1));
    bad.push_back(std::make_unique<FailsOnTape>(1.0, 9.0));
    OwnedNetwork failing(std::move(bad));
    EXPECT_EQ(error_message([&] { Newton solver(failing.network.get(), false); }),
              "no currents on the tape");
    EXPECT_FALSE(failing.at<Square>(0).x.bound);
    EXPECT_FALSE(failing.at<Square>(0).a.bound);
    EXPECT_FALSE(failing.at<DeltaPotentialRef>(1).current.bound);
    // The reference wrote its recorded current before the failure: a variable of the recording
    // only while that recording is still open.
    EXPECT_FALSE(CppAD::Variable(failing.at<DeltaPotentialRef>(1).ports[0].current_ad.real()));

    std::vector<std::unique_ptr<Element>> short_of_equations;
    short_of_equations.push_back(std::make_unique<Square>(1.0, 4.0));
    short_of_equations.push_back(std::make_unique<MissingEquation>(1.0, 9.0));
    OwnedNetwork unbalanced(std::move(short_of_equations));
    EXPECT_EQ(error_message([&] {
                  NewtonGoldstein solver(unbalanced.network.get(), true, 0.1, 0.9, false);
              }),
              "1 The network has 1 equations for 2 variables. ");

    // The next solver records and solves normally.
    auto good = squares({{1.0, 4.0}});
    Newton solver(good.network.get(), false);
    const auto [iterations, residual] = solver.solve_load_flow(20, 1e-12);
    EXPECT_GT(iterations, 0);
    EXPECT_LE(residual, 1e-12);
    EXPECT_NEAR(good.at<Square>(0).x.get(), 2.0, 1e-12);
}

TEST(EquationTape, DestroyingTheSolverLeavesItsSolutionInTheNetwork) {
    auto net = squares({{1.0, 4.0}});
    Square& square = net.at<Square>(0);
    {
        Newton solver(net.network.get(), true);
        solver.solve_load_flow(20, 1e-12);
        EXPECT_NEAR(square.x.get(), 2.0, 1e-12);
    }
    // The solver wrote x = √4 back into the element's own value before unbinding it.
    EXPECT_FALSE(square.x.bound);
    EXPECT_NEAR(square.x.get(), 2.0, 1e-12);
    // A later solver starts from the elements' own values, that solution.
    Newton later(net.network.get(), false);
    EXPECT_NEAR(later.variables[0], 2.0, 1e-12);
}

TEST(EquationTape, ConstructionLogsTheOperatorCounts) {
    for (const bool optimize : {false, true}) {
        DeltaSource s;
        LogCapture log;
        Newton solver(s.network.get(), optimize);
        std::vector<std::string> expected = {"----- Tape evaluation -----"};
        if (!optimize) {
            expected.push_back(operators(solver.tape.size_op()));
        } else {
            // The first count is the recorded tape's: record the same network again to learn it.
            DeltaSource again;
            Newton plain(again.network.get(), false);
            expected.push_back(operators(plain.tape.size_op()));
            expected.push_back("----- Tape optimization -----");
            expected.push_back(operators(solver.tape.size_op()));
        }
        const auto messages = log.messages();
        ASSERT_GE(messages.size(), expected.size());
        EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + expected.size()),
                  expected)
            << "optimize " << optimize;
        for (std::size_t k = 0; k < expected.size(); ++k)
            EXPECT_EQ(log.levels()[k], spdlog::level::debug);
    }
}

TEST(EquationTape, NoRecordsAtTheInfoLevel) {
    auto net = squares({{1.0, 2.0}});
    LogCapture log(spdlog::level::info);
    NewtonGoldstein solver(net.network.get(), true, 0.1, 0.9, true);
    solver.solve_load_flow(20, 1e-12);
    EXPECT_TRUE(log.messages().empty());
}

TEST(CppadErrorLog, WritesOneErrorRecordOfFiveOrSixLines) {
    LogCapture log;
    log_cppad_error(true, 42, "file.hpp", "x > 0", "bad x");
    log_cppad_error(false, 7, "other.hpp", "y", "");
    const auto messages = log.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0],
              "Error from a known source:\nbad x\nError detected by false result for\n    x > 0\n"
              "at line 42 in the file \n    file.hpp\n");
    EXPECT_EQ(messages[1],
              "Error from unknown source\nError detected by false result for\n    y\n"
              "at line 7 in the file \n    other.hpp\n");
    EXPECT_EQ(log.levels(), (std::vector<spdlog::level::level_enum>{spdlog::level::err,
                                                                     spdlog::level::err}));
}

int counted_reports = 0;
void count_report(bool, int, const char*, const char*, const char*) { ++counted_reports; }

TEST(CppadErrorLog, IsInForceOnlyWithinTheTapeOperations) {
    auto net = squares({{1.0, 2.0}});
    Newton solver(net.network.get(), false);
    const CppAD::ErrorHandler outer(count_report);
    {
        const CppAD::ErrorHandler inner(log_cppad_error);
        LogCapture log;
        CppAD::ErrorHandler::Call(true, 1, "f", "e", "m");
        EXPECT_EQ(log.messages().size(), 1u);
    }
    solver.solve_load_flow(20, 1e-12);
    solver.get_residuals();
    solver.get_jacobian();
    solver.analyse_jacobian();
    counted_reports = 0;
    CppAD::ErrorHandler::Call(true, 1, "f", "e", "m");
    EXPECT_EQ(counted_reports, 1);  // every scope restored the handler it found
}

// ---------------------------------------------------------------------------------------------
// The Jacobian.

TEST(SparseJacobian, EqualsTheDenseJacobian) {
    DeltaSource s;
    Square a(3.0, 2.0), b(-0.5, 1.0);
    ElectricalNetwork network({&s.source, &a, &s.reference, &b});
    Newton solver(&network, false);
    for (int pass = 0; pass < 2; ++pass) {
        const Eigen::MatrixXd sparse(solver.compute_jacobian());
        const DenseJacobian dense = solver.get_jacobian();
        ASSERT_EQ(sparse.rows(), 14);
        ASSERT_EQ(dense.rows(), 14);
        ASSERT_EQ(dense.cols(), 14);
        EXPECT_EQ(sparse, Eigen::MatrixXd(dense)) << "pass " << pass;
        solver.solve_load_flow(20, 1e-12);  // the second pass compares at the solution
    }
    // Layout: 6 node entries, 4 source currents, a, 2 reference currents, b; ∂(x² − a)/∂x = 2x.
    EXPECT_DOUBLE_EQ(solver.get_jacobian()(10, 10), 2.0 * a.x.get());
    EXPECT_DOUBLE_EQ(solver.get_jacobian()(13, 13), 2.0 * b.x.get());
    EXPECT_NEAR(a.x.get(), std::sqrt(2.0), 1e-12);
    EXPECT_NEAR(b.x.get(), -1.0, 1e-12);
}

TEST(SparseJacobian, KeepsStoredZerosAndAFixedStructure) {
    auto net = squares({{0.0, 1.0}, {2.0, 1.0}});
    Newton solver(net.network.get(), false);
    const Eigen::SparseMatrix<double> first = solver.compute_jacobian();
    EXPECT_EQ(first.rows(), 2);
    EXPECT_EQ(first.nonZeros(), 2);  // ∂F_0/∂x_0 = 0 at x = 0 is still stored
    EXPECT_EQ(first.coeff(0, 0), 0.0);
    EXPECT_EQ(first.coeff(1, 1), 4.0);
    const Eigen::SparseMatrix<double> second = solver.compute_jacobian();
    EXPECT_EQ(Eigen::MatrixXd(second), Eigen::MatrixXd(first));
    EXPECT_EQ(second.nonZeros(), 2);
}

TEST(SparseJacobian, APatternWithoutEntriesGivesAnEmptyMatrix) {
    std::vector<std::unique_ptr<Element>> elements;
    elements.push_back(std::make_unique<Unused>(1.0, 0.0));
    OwnedNetwork net(std::move(elements));
    Newton solver(net.network.get(), false);
    const Eigen::SparseMatrix<double> j = solver.compute_jacobian();
    EXPECT_EQ(j.rows(), 1);
    EXPECT_EQ(j.cols(), 1);
    EXPECT_EQ(j.nonZeros(), 0);
}

TEST(SparseJacobian, PatternIsRecomputedUntilTheFirstAnalysis) {
    auto net = squares({{1.0, 2.0}, {3.0, 1.0}});
    Newton solver(net.network.get(), false);
    LogCapture log;
    const std::string prefix = ::testing::TempDir() + "pattern_rules";
    solver.save_matrix(prefix);
    solver.save_matrix(prefix);
    EXPECT_EQ(log.count(pattern_header), 2);
    EXPECT_EQ(log.count("n: 2 nnz: 2"), 2);
    EXPECT_FALSE(solver.pattern_ready);

    solver.solve_load_flow(20, 1e-10);  // computes Jacobians, analyses once
    EXPECT_TRUE(solver.pattern_ready);
    EXPECT_EQ(log.count(pattern_header), 3);
    solver.save_matrix(prefix);
    solver.analyse_jacobian();
    solver.solve_load_flow(20, -1.0);
    EXPECT_EQ(log.count(pattern_header), 3);
    EXPECT_EQ(log.count("n: 2 nnz: 2"), 3);
}

TEST(SparseJacobian, ASolveWithoutJacobianLeavesThePatternOpen) {
    auto net = squares({{2.0, 4.0}});
    Newton solver(net.network.get(), false);
    LogCapture log;
    EXPECT_EQ(solver.solve_load_flow(20, 1e-12), std::make_pair(0, 0.0));
    EXPECT_FALSE(solver.pattern_ready);
    EXPECT_EQ(log.count(pattern_header), 0);
    solver.analyse_jacobian();
    EXPECT_EQ(log.count(pattern_header), 1);
}

TEST(SparseJacobian, MatrixMarketFiles) {
    // At x = 0 the derivative 2x is 0: the entry is still written.
    auto net = squares({{0.0, 1.0}});
    Newton solver(net.network.get(), false);
    const std::string prefix = ::testing::TempDir() + "square_at_zero";
    solver.save_matrix(prefix);
    EXPECT_EQ(read_file(prefix + ".mtx"),
              "%%MatrixMarket matrix coordinate  real general\n"
              "1 1 1\n"
              "1 1 0.00000000000000000e+00\n");
    EXPECT_EQ(read_file(prefix + "_b.mtx"),
              "%%MatrixMarket matrix array real general\n1 1\n-1.00000000000000000e+00\n");
    // A directory that does not exist: nothing is written, and no error.
    EXPECT_NO_THROW(solver.save_matrix(::testing::TempDir() + "no/such/dir/m"));
}

TEST(JacobianAnalysis, NamesTheOwnersOfZeroColumnsAndNonFiniteRows) {
    DeltaSource s;
    Square a(1.0, 2.0);
    Unused unused(1.0, 0.0);
    Square b(1.0, 3.0);
    ElectricalNetwork network({&s.source, &s.reference, &a, &unused, &b});
    Newton solver(&network, false);
    // Layout: 6 node entries, 4 source currents, 2 reference currents, then a, unused, b.
    JacobianAnalysis analysis = solver.analyse_jacobian();
    EXPECT_EQ(analysis.zero_column_owners, std::vector<int>{3});
    EXPECT_TRUE(analysis.non_finite_row_owners.empty());

    Eigen::VectorXd x = solver.variables;
    x[14] = nan;  // b's unknown: its row 2·NaN
    solver.set_variables(x.data(), static_cast<std::size_t>(x.size()));
    analysis = solver.analyse_jacobian();
    EXPECT_EQ(analysis.zero_column_owners, std::vector<int>{3});
    EXPECT_EQ(analysis.non_finite_row_owners, std::vector<int>{4});
}

TEST(JacobianAnalysis, AWellPosedNetworkGivesTwoEmptyLists) {
    StarSource s;
    Newton solver(s.network.get(), true);
    const JacobianAnalysis analysis = solver.analyse_jacobian();
    EXPECT_TRUE(analysis.zero_column_owners.empty());
    EXPECT_TRUE(analysis.non_finite_row_owners.empty());
}

// ---------------------------------------------------------------------------------------------
// The Newton loop.

TEST(NewtonIteration, SolvesAStarSourceInOneStep) {
    StarSource s;
    Newton solver(s.network.get(), false);
    const auto [iterations, residual] = solver.solve_load_flow(10, 1e-9);
    EXPECT_EQ(iterations, 1);  // the equations are linear
    EXPECT_LE(residual, 1e-9);
    for (int k = 0; k < 3; ++k) {
        expect_close(s.source.ports[k].connection->get_potential(), s.u[k]);
        expect_close(s.source.ports[k].current, 0.0);  // no load
    }
    EXPECT_EQ(s.source.ports[3].connection->get_potential(), Complex(0.0));
}

TEST(NewtonIteration, SolvesADeltaSourceAroundItsStarPoint) {
    for (const bool goldstein : {false, true}) {
        DeltaSource s;
        std::unique_ptr<AbstractNewton> solver;
        if (goldstein)
            solver = std::make_unique<NewtonGoldstein>(s.network.get(), true, 0.1, 0.9, true);
        else
            solver = std::make_unique<Newton>(s.network.get(), true);
        const auto [iterations, residual] = solver->solve_load_flow(10, 1e-9);
        EXPECT_EQ(iterations, 1) << goldstein;
        EXPECT_LE(residual, 1e-9);
        // Balanced line voltages of 400 V: star potentials of 400/√3 V, phase a at 0°.
        const double star = 400.0 / std::sqrt(3.0);
        expect_close(s.potential(0), polar_deg(star, 0.0));
        expect_close(s.potential(1), polar_deg(star, -120.0));
        expect_close(s.potential(2), polar_deg(star, 120.0));
        expect_close(s.potential(0), (2.0 * s.u[0] + s.u[1]) / 3.0);
        // Kirchhoff at every node: the currents into the elements sum to zero.
        for (int k = 0; k < 3; ++k)
            expect_close(s.source.ports[k].current + s.reference.ports[k].current, 0.0);
    }
}

TEST(NewtonIteration, SolvesANetworkWithoutParameters) {
    // A bus node held at zero by a one-port delta reference: V = 0, and the reference's current
    // balances the bus's (none): I = 0.
    const Complex v[] = {Complex(3.0, 4.0)};
    Bus bus(1, v);
    DeltaPotentialRef reference(1);
    bus.connect(reference, {{0, 0}});
    ElectricalNetwork network({&bus, &reference});
    Newton solver(&network, false);
    ASSERT_EQ(solver.parameters.size(), 0);
    EXPECT_EQ(solver.solve_load_flow(10, 1e-12).first, 1);
    expect_close(bus.ports[0].connection->get_potential(), 0.0);
    expect_close(reference.get_current(), 0.0);
}

TEST(NewtonIteration, ConvergesQuadraticallyOnASquareRoot) {
    // x ← x − (x² − 2)/(2x) from 1: 1.5, 1.41667, 1.4142157, 1.41421356237469, with residuals
    // 0.25, 6.9e-3, 6.0e-6, 4.5e-12: the fourth step is the first within 1e-10.
    auto net = squares({{1.0, 2.0}});
    Newton solver(net.network.get(), false);
    const auto [iterations, residual] = solver.solve_load_flow(50, 1e-10);
    EXPECT_EQ(iterations, 4);
    const double x = net.at<Square>(0).x.get();
    EXPECT_NEAR(x, 1.41421356237469, 1e-14);
    EXPECT_DOUBLE_EQ(residual, std::abs(x * x - 2.0));
    // The next solve starts from the solution.
    EXPECT_EQ(solver.solve_load_flow(50, 1e-10).first, 0);
}

TEST(NewtonIteration, IterationLimitAndTolerance) {
    struct Case {
        int max_iterations;
        double tolerance;
        int iterations;
    };
    const Case cases[] = {
        {0, 1e-10, 0},   // a limit of 0: no step at all
        {-3, 1e-10, 0},  // nor for a negative one
        {2, 1e-10, 2},   // the limit is reached before convergence: no error
        {7, -1.0, 7},    // a negative tolerance never converges
        {50, 10.0, 0},   // already converged: |1 − 2| ≤ 10
    };
    for (const Case& c : cases) {
        auto net = squares({{1.0, 2.0}});
        Newton solver(net.network.get(), false);
        const auto [iterations, residual] = solver.solve_load_flow(c.max_iterations, c.tolerance);
        EXPECT_EQ(iterations, c.iterations) << c.max_iterations << " " << c.tolerance;
        const double x = net.at<Square>(0).x.get();
        EXPECT_DOUBLE_EQ(residual, std::abs(x * x - 2.0));
        EXPECT_EQ(solver.pattern_ready, c.iterations > 0);
    }
}

TEST(NewtonIteration, ElementCurrentsAreRecomputedAtTheEnd) {
    StarSource s;
    Newton solver(s.network.get(), false);
    solver.solve_load_flow(10, 1e-9);
    for (Port& port : s.source.ports) port.current = Complex(99.0, 99.0);
    EXPECT_EQ(solver.solve_load_flow(10, 1e-9).first, 0);  // converged before any Jacobian
    for (Port& port : s.source.ports) expect_close(port.current, 0.0);
}

TEST(NewtonIteration, ANaNResidualIsNeverConvergedNorSmall) {
    auto net = squares({{nan, 2.0}, {2.0, 4.0}});
    Newton solver(net.network.get(), false);
    const auto [iterations, residual] = solver.solve_load_flow(0, 1e300);
    EXPECT_EQ(iterations, 0);
    EXPECT_TRUE(std::isnan(residual));
}

TEST(NewtonIteration, CodedFailures) {
    struct Case {
        double x0, a;
        const char* message;
    };
    const Case cases[] = {
        // x = NaN: the Jacobian 2x is NaN at once.
        {nan, 2.0, "1 NaN value encountered at iteration 0. "},
        // From 1e-300 with a = 1: x = 5e299, then x² overflows, dx = ∞, x = −∞ and J = −∞.
        {1e-300, 1.0, "1 NaN value encountered at iteration 2. "},
        // J = 2x = 0 at the start.
        {0.0, 1.0, "1 Decomposition failed, singular matrix at iteration 0. "},
        // a = −1 from x = 1: x ← (x² + a)/(2x) = 0 after one step.
        {1.0, -1.0, "1 Decomposition failed, singular matrix at iteration 1. "},
    };
    for (const Case& c : cases) {
        auto net = squares({{c.x0, c.a}});
        Newton solver(net.network.get(), false);
        EXPECT_EQ(error_message([&] { solver.solve_load_flow(10, 1e-10); }), c.message)
            << c.x0 << " " << c.a;
    }
}

TEST(NewtonIteration, AStructurallySingularJacobianFailsToDecompose) {
    std::vector<std::unique_ptr<Element>> elements;
    elements.push_back(std::make_unique<Square>(1.0, 4.0));
    elements.push_back(std::make_unique<Unused>(1.0, 1.0));
    OwnedNetwork net(std::move(elements));
    Newton solver(net.network.get(), false);
    EXPECT_EQ(error_message([&] { solver.solve_load_flow(10, 1e-10); }),
              "1 Decomposition failed, singular matrix at iteration 0. ");
}

TEST(NewtonIteration, ParameterUpdatesReachTheNextSolveWithoutRecording) {
    DeltaSource s;
    Newton solver(s.network.get(), false);
    solver.solve_load_flow(10, 1e-9);
    const std::size_t operators_before = solver.tape.size_op();

    // Reverse the phase sequence: U_ab = 400∠−30°, U_bc = 400∠90°.
    const Complex reversed[] = {polar_deg(400.0, -30.0), polar_deg(400.0, 90.0)};
    LogCapture log;
    s.source.update_voltages(reversed);
    // Until the next solve the tape keeps the previous voltages: still a solution.
    EXPECT_LE(solver.compute_residuals().cwiseAbs().maxCoeff(), 1e-9);

    const auto [iterations, residual] = solver.solve_load_flow(10, 1e-9);
    EXPECT_EQ(iterations, 1);
    EXPECT_LE(residual, 1e-9);
    const double star = 400.0 / std::sqrt(3.0);
    expect_close(s.potential(1), polar_deg(star, 120.0));
    expect_close(s.potential(2), polar_deg(star, -120.0));
    EXPECT_EQ(solver.tape.size_op(), operators_before);
    EXPECT_EQ(log.count("----- Tape evaluation -----"), 0);

    // The same through a scalar parameter.
    auto net = squares({{1.0, 4.0}});
    Newton square_solver(net.network.get(), false);
    square_solver.solve_load_flow(20, 1e-12);
    net.at<Square>(0).a.set(9.0);
    EXPECT_NEAR(square_solver.compute_residuals()[0], 0.0, 1e-12);  // still x² − 4
    square_solver.solve_load_flow(20, 1e-12);
    EXPECT_NEAR(net.at<Square>(0).x.get(), 3.0, 1e-12);
}

TEST(NewtonIteration, ResetInputsReturnsToTheGatheredValues) {
    auto net = squares({{1.0, 2.0}});
    Newton solver(net.network.get(), false);
    const Eigen::VectorXd gathered = solver.variables;
    solver.solve_load_flow(20, 1e-12);
    solver.reset_inputs();
    EXPECT_EQ(solver.variables, gathered);
    EXPECT_EQ(solver.solve_load_flow(50, 1e-10).first, 4);
}

// ---------------------------------------------------------------------------------------------
// The Goldstein line search, one update step from x = 2 on x² − 1:
//     F = 3, J = 4, dx = 0.75, c = ½·3² = 4.5, b = −9;
//     trial t: x = 2 − 0.75·t, E = (½F(x)² − c)/t.
// Values of E/b per trial: t = 1: 0.482, 2: 0.234, 4: 0.125, 8: −1.5, 6: −0.172, 5: 0.0527,
// 0.5: 0.701. A trial is accepted when m1 ≤ E/b ≤ m2 (b < 0); E/b < m1 sets the upper bound.

TEST(GoldsteinStep, TrialSequence) {
    struct Case {
        double m1, m2;
        double accepted_t;
        const char* path;
    };
    const Case cases[] = {
        {0.1, 0.9, 1.0, "accepted at once"},
        {0.6, 0.9, 0.5, "t = 1 sets the upper bound, then t = 0.5"},
        {0.1, 0.3, 2.0, "t = 1 sets the lower bound, then t = 2"},
        {0.05, 0.1, 5.0, "doubling 1, 2, 4, 8, then bisecting 6, 5"},
        // With m1 > m2 the band is empty; here E/b < 1 < m1 at every trial, so each one halves
        // t and the 10th trial, t = 2^−9, is kept.
        {2.0, 1.5, 1.0 / 512.0, "empty band"},
    };
    for (const Case& c : cases) {
        auto net = squares({{2.0, 1.0}});
        NewtonGoldstein solver(net.network.get(), false, c.m1, c.m2, false);
        const auto [iterations, residual] = solver.solve_load_flow(1, 0.0);
        EXPECT_EQ(iterations, 1);
        const double x = net.at<Square>(0).x.get();
        EXPECT_DOUBLE_EQ(x, 2.0 - 0.75 * c.accepted_t) << c.path;
        EXPECT_DOUBLE_EQ(residual, std::abs(x * x - 1.0)) << c.path;
    }
}

TEST(GoldsteinStep, WeightedMeritDividesByTheLargestJacobianEntryOfTheRow) {
    // x² − 15525 from x = 125 (F = 100, J = 250, weight 1/250) beside y² + 0.75 from y = 0.5
    // (F = 1, J = 1, weight 1); dx = 0.4, dy = 1.
    //   unweighted: c = 5000.5; t = 1 gives F = (0.16, 1), E/b = 0.49995: accepted.
    //   weighted:   c = ½(0.4² + 1) = 0.58; t = 1 gives E/b = 0.069 < m1: upper bound;
    //               t = 0.5 gives F = (50.04, 0.75), E/b = 0.4806: accepted.
    struct Case {
        bool weighted;
        double x, y;
    };
    const Case cases[] = {{false, 124.6, -0.5}, {true, 124.8, 0.0}};
    for (const Case& c : cases) {
        auto net = squares({{125.0, 15525.0}, {0.5, -0.75}});
        NewtonGoldstein solver(net.network.get(), false, 0.1, 0.9, c.weighted);
        solver.solve_load_flow(1, 0.0);
        EXPECT_NEAR(net.at<Square>(0).x.get(), c.x, 1e-9) << c.weighted;
        EXPECT_NEAR(net.at<Square>(1).x.get(), c.y, 1e-12) << c.weighted;

        // update_params changes only the later solve's line search.
        solver.reset_inputs();
        solver.update_params(0.1, 0.9, !c.weighted);
        solver.solve_load_flow(1, 0.0);
        const Case& other = cases[c.weighted ? 0 : 1];
        EXPECT_NEAR(net.at<Square>(0).x.get(), other.x, 1e-9) << c.weighted;
        EXPECT_NEAR(net.at<Square>(1).x.get(), other.y, 1e-12) << c.weighted;
    }
}

// ---------------------------------------------------------------------------------------------
// Threads: constructions, solves and evaluations on two threads take turns on the tape.

TEST(TapeLock, SolversOnTwoThreadsTakeTurns) {
    // Enough rounds that the two threads overlap: unserialised, the shared recording slot and
    // memory pool get corrupted.
    constexpr int rounds = 200;
    constexpr int size = 12;
    auto work = [](double a, bool* ok) {
        *ok = true;
        for (int round = 0; round < rounds && *ok; ++round) try {
            std::vector<std::pair<double, double>> x_and_a;
            for (int k = 0; k < size; ++k) x_and_a.emplace_back(1.0 + k, a + k);
            auto net = squares(x_and_a);
            NewtonGoldstein solver(net.network.get(), round % 2 == 0, 0.1, 0.9, true);
            const auto [iterations, residual] = solver.solve_load_flow(50, 1e-10);
            const DenseJacobian j = solver.get_jacobian();
            for (int k = 0; k < size; ++k) {
                const double x = net.at<Square>(k).x.get();
                if (std::abs(x - std::sqrt(a + k)) > 1e-9) *ok = false;
                if (std::abs(j(k, k) - 2.0 * x) > 1e-12) *ok = false;
            }
            if (iterations == 0 || !(residual <= 1e-10)) *ok = false;
        } catch (const std::exception&) {
            *ok = false;
        }
    };
    bool first = false, second = false;
    std::thread one(work, 5.0, &first);
    std::thread two(work, 17.0, &second);
    one.join();
    two.join();
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
}

}  // namespace
}  // namespace meshvolt
