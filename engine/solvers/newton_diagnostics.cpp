// What a caller reads from a Newton solver between solves: residuals, the Jacobian's analysis and
// the Matrix Market files. None of these changes `variables` or `parameters`.
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include <unsupported/Eigen/SparseExtra>

#include "solvers/abstract_newton.hpp"
#include "solvers/cppad_error_log.hpp"
#include "solvers/tape_lock.hpp"

namespace meshvolt {

Eigen::VectorXd AbstractNewton::get_residuals() {
    const TapeLock lock(tape_mutex());
    const CppAD::ErrorHandler handler(log_cppad_error);
    return compute_residuals();
}

JacobianAnalysis AbstractNewton::analyse_jacobian() {
    const TapeLock lock(tape_mutex());
    const CppAD::ErrorHandler handler(log_cppad_error);
    const Eigen::SparseMatrix<double>& jacobian = compute_jacobian();

    // A column is zero when none of its stored values differs from 0 (NaN differs); a row is
    // non-finite when one of its values is NaN or infinite.
    std::vector<std::int64_t> zero_columns;
    std::set<std::int64_t> non_finite_rows;
    for (Eigen::Index j = 0; j < jacobian.outerSize(); ++j) {
        bool zero = true;
        for (Eigen::SparseMatrix<double>::InnerIterator it(jacobian, j); it; ++it) {
            if (it.value() != 0.0) zero = false;
            if (!(std::abs(it.value()) <= std::numeric_limits<double>::max()))
                non_finite_rows.insert(it.row());
        }
        if (zero) zero_columns.push_back(j);
    }
    // The rows and columns follow the layout the tape was recorded in.
    const ElectricalNetwork& owners = attached_network();
    return {find_owning_elements(owners, layout(), zero_columns),
            find_owning_elements(owners, layout(),
                                 std::vector<std::int64_t>(non_finite_rows.begin(),
                                                           non_finite_rows.end()))};
}

std::vector<std::string> AbstractNewton::save_matrix(const std::string& prefix) {
    const TapeLock lock(tape_mutex());
    const Eigen::VectorXd residuals = compute_residuals();
    const Eigen::SparseMatrix<double>& jacobian = compute_jacobian();
    std::vector<std::string> skipped;
    const std::string jacobian_file = prefix + ".mtx";
    const std::string residual_file = prefix + "_b.mtx";
    if (!Eigen::saveMarket(jacobian, jacobian_file)) skipped.push_back(jacobian_file);
    if (!Eigen::saveMarketVector(residuals, residual_file)) skipped.push_back(residual_file);
    return skipped;
}

}  // namespace meshvolt
