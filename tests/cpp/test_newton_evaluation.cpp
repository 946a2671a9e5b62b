// The Newton solvers' evaluation of the tape (the Jacobian refilled in place once its pattern is
// kept, the library's freed storage held for reuse between sweeps) against the straightforward
// one: a copy of the solver's tape evaluated by a zero-order sweep for the residuals and by the
// library's sparse Jacobian with a new matrix built from triplets at every step, factorised by
// its own SparseLU. Both must produce the same numbers, bit for bit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "feeder_builders.hpp"
#include "loads/power_load.hpp"
#include "model/line.hpp"
#include "model/potential_ref.hpp"
#include "model/voltage_source.hpp"

namespace meshvolt {
namespace {

using namespace testing;

// Full Newton steps x := x − J⁻¹F, written out with the library calls and nothing kept but the
// pattern, the colouring and the LU analysis.
class PlainNewton {
  public:
    explicit PlainNewton(const CppAD::ADFun<double>& recorded) { tape_ = recorded; }

    void set_parameters(const Eigen::VectorXd& parameters) { tape_.new_dynamic(parameters); }

    Eigen::VectorXd residuals(const Eigen::VectorXd& x) { return tape_.Forward(0, x); }

    Eigen::SparseMatrix<double> jacobian(const Eigen::VectorXd& x) {
        const int n = static_cast<int>(x.size());
        if (pattern_.nnz() == 0) {
            CppAD::sparse_rc<std::vector<int>> identity(n, n, n);
            for (int k = 0; k < n; ++k) identity.set(k, k, k);
            tape_.for_jac_sparsity(identity, false, false, false, pattern_);
            values_ = CppAD::sparse_rcv<std::vector<int>, Eigen::VectorXd>(pattern_);
        }
        tape_.sparse_jac_for(30, x, values_, pattern_, "cppad", work_);
        std::vector<Eigen::Triplet<double>> triplets;
        for (std::size_t k = 0; k < values_.nnz(); ++k)
            triplets.emplace_back(values_.row()[k], values_.col()[k],
                                  values_.val()[static_cast<Eigen::Index>(k)]);
        Eigen::SparseMatrix<double> j(n, n);
        j.setFromTriplets(triplets.begin(), triplets.end());
        return j;
    }

    Eigen::VectorXd step(const Eigen::VectorXd& x, const Eigen::VectorXd& f) {
        const Eigen::SparseMatrix<double> j = jacobian(x);
        if (!analysed_) {
            lu_.analyzePattern(j);
            analysed_ = true;
        }
        lu_.factorize(j);
        const Eigen::VectorXd dx = lu_.solve(f);
        return x - dx;
    }

  private:
    CppAD::ADFun<double> tape_;
    CppAD::sparse_rc<std::vector<int>> pattern_;
    CppAD::sparse_rcv<std::vector<int>, Eigen::VectorXd> values_;
    CppAD::sparse_jac_work work_;
    Eigen::SparseLU<Eigen::SparseMatrix<double>> lu_;
    bool analysed_ = false;
};

void expect_same_matrix(const Eigen::SparseMatrix<double>& actual,
                        const Eigen::SparseMatrix<double>& expected, const std::string& what) {
    ASSERT_EQ(actual.nonZeros(), expected.nonZeros()) << what;
    ASSERT_TRUE(actual.isCompressed()) << what;
    const auto n = static_cast<std::size_t>(expected.cols() + 1);
    const auto nnz = static_cast<std::size_t>(expected.nonZeros());
    EXPECT_EQ(std::vector<int>(actual.outerIndexPtr(), actual.outerIndexPtr() + n),
              std::vector<int>(expected.outerIndexPtr(), expected.outerIndexPtr() + n))
        << what;
    EXPECT_EQ(std::vector<int>(actual.innerIndexPtr(), actual.innerIndexPtr() + nnz),
              std::vector<int>(expected.innerIndexPtr(), expected.innerIndexPtr() + nnz))
        << what;
    EXPECT_EQ(std::vector<double>(actual.valuePtr(), actual.valuePtr() + nnz),
              std::vector<double>(expected.valuePtr(), expected.valuePtr() + nnz))
        << what;
}

// A source with its neutral referenced, then three four-wire sections, each ending at a bus with
// an unbalanced star load.
struct SmallFeeder {
    Feeder feeder;
    std::vector<PowerLoad*> loads;

    SmallFeeder() {
        const std::vector<Complex> u = balanced_set(230.0);
        const std::vector<Complex> start = balanced_set(230.0, 1);
        Bus& head = feeder.add<Bus>(4, start.data());
        attach(head, feeder.add<VoltageSource>(4, u.data()), {0, 1, 2, 3});
        attach(head, feeder.add<PotentialRef>(), {3});
        std::vector<Complex> z(16, Complex(0.01, 0.03));
        for (int k = 0; k < 4; ++k) z[5 * k] = Complex(0.12, 0.09);
        Element* upstream = &head;
        for (int section = 0; section < 3; ++section) {
            const std::vector<Complex> s = {{9000.0 - 2000.0 * section, 3000.0},
                                            {2000.0, 500.0},
                                            {5000.0 + 1000.0 * section, -800.0}};
            auto& line = feeder.add<SimplifiedLine>(4, z.data());
            Bus& bus = feeder.add<Bus>(4, start.data());
            loads.push_back(&feeder.add<PowerLoad>(4, s.data()));
            link(line, *upstream, bus);
            attach(bus, *loads.back(), {0, 1, 2, 3});
            upstream = &bus;
        }
    }
};

// Every iterate, residual and Jacobian of k Newton steps from the gathered values, k = 0 … 4,
// then the same after new load powers, from where the previous solve ended.
TEST(NewtonEvaluation, IteratesResidualsAndJacobiansEqualThePlainEvaluation) {
    for (const bool optimize : {false, true}) {
        const std::string tape_kind = optimize ? "optimised tape" : "plain tape";
        SmallFeeder f;
        ElectricalNetwork network(f.feeder.elements);
        Newton solver(&network, optimize);
        PlainNewton plain(solver.tape);
        constexpr int steps = 4;

        for (const int round : {0, 1}) {
            const std::string what = tape_kind + ", round " + std::to_string(round);
            if (round == 1)
                for (PowerLoad* load : f.loads) {
                    const std::vector<Complex> s = {{4000.0, 2500.0}, {7000.0, 100.0},
                                                    {1000.0, -300.0}};
                    load->update_powers(s.data());
                }
            const Eigen::VectorXd start = solver.variables;
            plain.set_parameters(solver.parameters);
            Eigen::VectorXd x = start;
            Eigen::VectorXd fx = plain.residuals(x);
            for (int k = 0; k <= steps; ++k) {
                const std::string at = what + ", step " + std::to_string(k);
                solver.set_variables(start.data(), static_cast<std::size_t>(start.size()));
                const auto [iterations, residual] = solver.solve_load_flow(k, -1.0);
                ASSERT_EQ(iterations, k) << at;
                EXPECT_EQ(solver.variables, x) << at;
                EXPECT_EQ(solver.compute_residuals(), fx) << at;
                EXPECT_EQ(residual, fx.cwiseAbs().maxCoeff()) << at;
                expect_same_matrix(solver.compute_jacobian(), plain.jacobian(x), at);
                x = plain.step(x, fx);
                fx = plain.residuals(x);
            }
            // The last steps reached the solution: 4 steps leave no more than rounding.
            EXPECT_LT(solver.compute_residuals().cwiseAbs().maxCoeff(), 1e-9) << what;
            solver.solve_load_flow(steps, -1.0);
        }
    }
}

// The library's pool holds freed storage while a Newton solver lives and gives everything back
// when the last one ends.
TEST(NewtonEvaluation, HeldTapeMemoryIsReturnedWhenTheSolverEnds) {
    const std::size_t thread = CppAD::thread_alloc::thread_num();
    SmallFeeder f;
    ElectricalNetwork network(f.feeder.elements);
    {
        Newton first(&network, true);
        {
            NewtonGoldstein second(&network, false, 0.1, 0.9, true);
            second.solve_load_flow(10, 1e-9);
        }
        first.solve_load_flow(10, 1e-9);
        first.solve_load_flow(10, -1.0);
        EXPECT_GT(CppAD::thread_alloc::available(thread), 0U);  // the Jacobian sweep's block
    }
    EXPECT_EQ(CppAD::thread_alloc::available(thread), 0U);
}

}  // namespace
}  // namespace meshvolt
