// The two Newton solvers, told apart by their update step.
//
// Newton: the full step, x := x − dx.
//
// NewtonGoldstein: a Goldstein line search along −dx on the merit
//     φ(t) = ½ Σ_i (w_i F_i(x0 − t·dx))²,   c = φ(0),   b = −2c (the slope of φ at 0),
// accepting the first trial t with  m2·b ≤ E(t) ≤ m1·b,  E(t) = (φ(t) − c) / t.
// A trial with E > m1·b (too little decrease) becomes the upper bound, any other the lower bound;
// t doubles until an upper bound exists, then the bracket is bisected; at most 10 trials, and the
// 10th is kept when none is accepted. Weights: w_i = 1 / max(1, max_j |J_ij|) when weighted_merit,
// else 1.
#pragma once

#include "solvers/abstract_newton.hpp"

namespace meshvolt {

class Newton : public AbstractNewton {
  public:
    Newton(ElectricalNetwork* network, bool optimize_tape);

    void update_step(const Eigen::SparseMatrix<double>& jacobian, const Eigen::VectorXd& dx,
                     Eigen::VectorXd& residuals) override;
};

class NewtonGoldstein : public AbstractNewton {
  public:
    NewtonGoldstein(ElectricalNetwork* network, bool optimize_tape, double m1, double m2,
                    bool weighted_merit);

    void update_step(const Eigen::SparseMatrix<double>& jacobian, const Eigen::VectorXd& dx,
                     Eigen::VectorXd& residuals) override;

    // Replaces the line-search settings; they take effect at the next update step.
    void update_params(double m1_in, double m2_in, bool weighted_merit_in);

    double m1;
    double m2;
    bool weighted_merit;

    static constexpr int max_trials = 10;

  private:
    Eigen::VectorXd merit_weights_;
    Eigen::VectorXd step_start_;
};

}  // namespace meshvolt
