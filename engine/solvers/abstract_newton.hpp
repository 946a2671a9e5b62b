// The base of the Newton solvers: the network's equations recorded once on a tape, the residuals
// and the sparse Jacobian evaluated from it, and the Newton loop.
//
// Tape: independent variables x = `variables`, dynamic parameters p = `parameters`, dependent
// vector F(x; p) of the same length as x:
//     F[2k] + i·F[2k+1] = Σ_(ports at free node k) I_port      (currents positive into the element)
//     F[2N ...]         = the elements' own equations, in element order
// Newton iteration: J·dx = F with J = ∂F/∂x, then the update step moves x along −dx.
//
// The parameters reach the tape only at the start of each solve; residuals and Jacobians computed
// in between use the values the tape took at the latest solve (or at recording).
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Sparse>
#include <Eigen/SparseLU>

#include "model/ad_types.hpp"
#include "solvers/abstract_solver.hpp"

namespace meshvolt {

using DenseJacobian = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The owners (positions in the network's element list) of the Jacobian's zero columns and of its
// rows that hold a value that is NaN or infinite.
struct JacobianAnalysis {
    std::vector<int> zero_column_owners;
    std::vector<int> non_finite_row_owners;
};

class AbstractNewton : public AbstractSolver {
  public:
    // Records the tape (and optimises it when asked). A network without any variable is refused
    // with a coded std::runtime_error; any failure leaves no recording open and no holder bound.
    AbstractNewton(ElectricalNetwork* network, bool optimize_tape);
    ~AbstractNewton() override;

    // A residual within the tolerance returns only after the answer passes the checks of
    // solution_check.hpp, with the tolerance as their absolute current allowance; a failed check
    // throws a coded "1 " error naming the node or element. A Jacobian with an empty row or column
    // throws "1 Decomposition failed, singular matrix at iteration {}. " before any factorisation.
    std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;
    // Moves `variables` to the next point and leaves the residuals there in `residuals`.
    virtual void update_step(const Eigen::SparseMatrix<double>& jacobian, const Eigen::VectorXd& dx,
                             Eigen::VectorXd& residuals) = 0;

    // F at the current variables.
    Eigen::VectorXd compute_residuals();
    // J at the current variables, one stored entry for every position of the sparsity pattern
    // (zeros included). The pattern is derived again at every call until the first LU analysis;
    // from then on each call refills the values of the same matrix. The reference stays valid
    // until the next call or the solver's end.
    const Eigen::SparseMatrix<double>& compute_jacobian();

    // Inspection, each under the tape error handler: F, the dense J (row i = residual i), and the
    // owners of J's zero columns and non-finite rows.
    Eigen::VectorXd get_residuals();
    DenseJacobian get_jacobian();
    JacobianAnalysis analyse_jacobian();
    // Writes J to prefix + ".mtx" and F to prefix + "_b.mtx" (Matrix Market); a file that cannot be
    // opened is skipped, the other is still written. Returns the names of the skipped files, so
    // that a caller can report them. No tape error handler is installed.
    std::vector<std::string> save_matrix(const std::string& prefix);

  private:
    // Holds the tape mutex while the tape is recorded and while the tape's storage is released. It
    // is declared before the tape fields so that it is released after all of them, also when the
    // constructor fails.
    std::unique_lock<std::recursive_mutex> tape_guard_;

    // Keeps the library's freed blocks for reuse while the solver lives (see the .cpp file).
    // Declared before the tape so that it ends after the tape has returned its storage.
    class HeldTapeMemory {
      public:
        HeldTapeMemory();
        ~HeldTapeMemory();
        HeldTapeMemory(const HeldTapeMemory&) = delete;
        HeldTapeMemory& operator=(const HeldTapeMemory&) = delete;
    };
    HeldTapeMemory held_memory_;

    void record(bool optimize_tape);

    // first_unreferenced_node of the network (potential_reference_check.hpp), worked out again only
    // once the layout has changed since it was last worked out.
    LayoutMemo<std::ptrdiff_t> unreferenced_node_;

    // The matrix compute_jacobian returns, and for every pattern entry the index of its value
    // among the matrix's stored values.
    Eigen::SparseMatrix<double> jacobian_matrix_;
    std::vector<Eigen::Index> jacobian_positions_;
    // The Newton step of the current iteration.
    Eigen::VectorXd newton_step_;

  public:
    CppAD::ADFun<double> tape;
    CppAD::sparse_rc<std::vector<int>> jacobian_pattern;
    CppAD::sparse_rcv<std::vector<int>, Eigen::VectorXd> jacobian_values;
    CppAD::sparse_jac_work jacobian_work;
    Eigen::SparseLU<Eigen::SparseMatrix<double>> lu;
    // Set by the first LU analysis; from then on the Jacobian's pattern stays as computed.
    bool pattern_ready = false;
};

}  // namespace meshvolt
