// The Jacobian J = ∂F/∂x of the recorded residuals.
//
// Sparse: the pattern comes from forward Jacobian sparsity seeded with the identity; the values
// from forward sweeps over column colours ("cppad" colouring, computed once per solver and kept in
// jacobian_work), 30 directions per sweep. Every pattern position is a stored entry of the result,
// so its structure never changes and one LU analysis serves every factorisation.
//
// The matrix is assembled from triplets only when the pattern is computed; the same call records,
// for every pattern entry k, the position of (row_k, col_k) among the matrix's stored values.
// Later calls copy each value to its position: the matrix is the one setFromTriplets would build
// from the same values (the pattern holds each position once, so nothing is summed).
//
// Dense: the library's Jacobian driver, independent of the pattern and of the LU.
#include <algorithm>
#include <cstdint>

#include <spdlog/spdlog.h>

#include "solvers/abstract_newton.hpp"
#include "solvers/cppad_error_log.hpp"
#include "solvers/tape_lock.hpp"

namespace meshvolt {

namespace {

constexpr std::size_t directions_per_sweep = 30;

// For each pattern entry k, the index of (rows[k], cols[k]) in the stored values of `matrix`, a
// compressed column-major matrix with ascending rows in each column that holds every position.
std::vector<Eigen::Index> stored_positions(const Eigen::SparseMatrix<double>& matrix,
                                           const std::vector<int>& rows,
                                           const std::vector<int>& cols) {
    const int* outer = matrix.outerIndexPtr();
    const int* inner = matrix.innerIndexPtr();
    std::vector<Eigen::Index> positions(rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const int* first = inner + outer[cols[k]];
        const int* last = inner + outer[cols[k] + 1];
        positions[k] = std::lower_bound(first, last, rows[k]) - inner;
    }
    return positions;
}

}  // namespace

const Eigen::SparseMatrix<double>& AbstractNewton::compute_jacobian() {
    const TapeLock lock(tape_mutex());
    const int n = static_cast<int>(variables.size());

    if (!pattern_ready) {
        CppAD::sparse_rc<std::vector<int>> identity(n, n, n);
        for (int k = 0; k < n; ++k) identity.set(k, k, k);
        const bool transpose = false;
        const bool dependency = false;
        const bool internal_bool = false;
        tape.for_jac_sparsity(identity, transpose, dependency, internal_bool, jacobian_pattern);
        jacobian_values = CppAD::sparse_rcv<std::vector<int>, Eigen::VectorXd>(jacobian_pattern);
        spdlog::debug("----- Sparse pattern initialisation -----");
        spdlog::debug("n: {0:d} nnz: {1:d}", static_cast<std::int64_t>(variables.size()),
                      static_cast<std::uint64_t>(jacobian_pattern.nnz()));
    }

    tape.sparse_jac_for(directions_per_sweep, variables, jacobian_values, jacobian_pattern,
                        "cppad", jacobian_work);

    const std::size_t nnz = jacobian_values.nnz();
    const std::vector<int>& rows = jacobian_values.row();
    const std::vector<int>& cols = jacobian_values.col();
    const Eigen::VectorXd& values = jacobian_values.val();
    if (!pattern_ready) {
        std::vector<Eigen::Triplet<double>> triplets;
        triplets.reserve(nnz);
        for (std::size_t k = 0; k < nnz; ++k)
            triplets.emplace_back(rows[k], cols[k], values[static_cast<Eigen::Index>(k)]);
        jacobian_matrix_ = Eigen::SparseMatrix<double>(n, n);
        jacobian_matrix_.setFromTriplets(triplets.begin(), triplets.end());
        jacobian_positions_ = stored_positions(jacobian_matrix_, rows, cols);
        return jacobian_matrix_;
    }
    double* stored = jacobian_matrix_.valuePtr();
    for (std::size_t k = 0; k < nnz; ++k)
        stored[jacobian_positions_[k]] = values[static_cast<Eigen::Index>(k)];
    return jacobian_matrix_;
}

DenseJacobian AbstractNewton::get_jacobian() {
    const TapeLock lock(tape_mutex());
    const CppAD::ErrorHandler handler(log_cppad_error);
    const Eigen::Index n = variables.size();
    // Row-major: entry i·n + j is ∂F_i/∂x_j.
    const Eigen::VectorXd values = tape.Jacobian(variables);
    return Eigen::Map<const DenseJacobian>(values.data(), n, n);
}

}  // namespace meshvolt
