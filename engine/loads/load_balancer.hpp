// Load balancer: a shunt element across three phases a, b, c (ports 0, 1, 2) and a neutral
// (port 3).
//
// Phase-to-neutral voltages and currents (positive into the element):
//     U = M · V,   M = [I3 | -1]        (U_k = V_k - V_3; M = phase_to_neutral())
//     I = Y · U                          ports 0..2 := I_k,  port 3 := 0 - I_0 - I_1 - I_2
// both products by matrix_times (model/tape_arithmetic.hpp).
// Y = Z⁻¹ with the symmetric impedance matrix built from z2, ym and the ratio k:
//     Z(k, k) = D = z2 + (1/k² + 1) / ym,   Z(k, l) = O = -1 / (k·ym)   (k ≠ l)
// i.e. Z = z2·I3 + (1/ym)·[[a, b, b], [b, a, b], [b, b, a]] with a = 1 + 1/k², b = -1/k, so
//     zero-sequence currents (equal in the three phases) meet  Z_0 = z2 + (1 - 1/k)² / ym,
//     balanced currents meet                                   Z_1 = z2 + (1 + 1/k + 1/k²) / ym.
// Y is a dynamic parameter (18 entries, row-major, real part then imaginary part); it has no
// update.
// Nothing guards k = 0, ym = 0 or a singular Z: the non-finite currents reach the solvers.
#pragma once

#include <vector>

#include "loads/load_base.hpp"

namespace meshvolt {

class LoadBalancer final : public Load<LoadBalancer> {
  public:
    LoadBalancer(Complex z2, Complex ym, double k);
    ~LoadBalancer() override;

    // The admittance matrix Y, its only holder.
    void collect_parameters(std::vector<double>& values) override;
    void bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    void release_values(const Eigen::VectorXd& variables,
                        const Eigen::VectorXd& parameters) override;

    // The law above, on the tape or in plain numbers; the backward step computes it in plain
    // numbers from the potentials it sees.
    void compute_currents(bool on_tape) override;
    void backward_step() override;

    // The three phase-port currents of the last plain-number computation.
    void get_inner_currents(Complex* out) override;
    int inner_current_count() const override { return 3; }

    // U, then I and the neutral's return current, in the given reading.
    template <class Reading>
    void write_currents();

    Eigen::Matrix<double, 3, 4> voltage_matrix;
    ComplexVariableMatrix admittance;
};

}  // namespace meshvolt
