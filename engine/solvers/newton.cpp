#include "solvers/newton.hpp"

#include <algorithm>
#include <cmath>

namespace meshvolt {

namespace {

// w_i = 1 / max(1, max_j |J_ij|) over the stored entries of row i.
Eigen::VectorXd merit_weights(const Eigen::SparseMatrix<double>& jacobian) {
    Eigen::VectorXd largest = Eigen::VectorXd::Ones(jacobian.rows());
    for (Eigen::Index j = 0; j < jacobian.outerSize(); ++j)
        for (Eigen::SparseMatrix<double>::InnerIterator it(jacobian, j); it; ++it)
            largest[it.row()] = std::max(largest[it.row()], std::abs(it.value()));
    return largest.cwiseInverse();
}

double merit(const Eigen::VectorXd& weights, const Eigen::VectorXd& residuals) {
    return 0.5 * weights.cwiseProduct(residuals).squaredNorm();
}

}  // namespace

Newton::Newton(ElectricalNetwork* network_in, bool optimize_tape)
    : AbstractNewton(network_in, optimize_tape) {}

void Newton::update_step(const Eigen::SparseMatrix<double>&, const Eigen::VectorXd& dx,
                         Eigen::VectorXd& residuals) {
    variables -= dx;
    residuals = compute_residuals();
}

NewtonGoldstein::NewtonGoldstein(ElectricalNetwork* network_in, bool optimize_tape,
                                 double m1_in, double m2_in, bool weighted_merit_in)
    : AbstractNewton(network_in, optimize_tape),
      m1(m1_in),
      m2(m2_in),
      weighted_merit(weighted_merit_in) {}

void NewtonGoldstein::update_params(double m1_in, double m2_in, bool weighted_merit_in) {
    m1 = m1_in;
    m2 = m2_in;
    weighted_merit = weighted_merit_in;
}

void NewtonGoldstein::update_step(const Eigen::SparseMatrix<double>& jacobian,
                                  const Eigen::VectorXd& dx, Eigen::VectorXd& residuals) {
    const Eigen::VectorXd weights =
        weighted_merit ? merit_weights(jacobian) : Eigen::VectorXd::Ones(residuals.size());
    const double c = merit(weights, residuals);
    const double b = -2.0 * c;
    const Eigen::VectorXd x0 = variables;
    double t = 1.0;
    double lower = 0.0;
    double upper = 0.0;
    for (int trial = 0; trial < max_trials; ++trial) {
        variables.noalias() = x0 - t * dx;
        residuals = compute_residuals();
        const double e = (merit(weights, residuals) - c) / t;
        if (m2 * b <= e && e <= m1 * b) return;
        // A NaN merit is an upper bound: the step shrinks back from where the equations fail.
        if (e > m1 * b || std::isnan(e))
            upper = t;
        else
            lower = t;
        t = upper != 0.0 ? (lower + upper) * 0.5 : 2.0 * t;
    }
}

}  // namespace meshvolt
