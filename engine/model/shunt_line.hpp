// Line with series impedance and shunt admittance (the pi section), n phases and 2n + 1 ports:
// side 1 (ports 0..n-1), side 2 (ports n..2n-1) and the extra port 2n, whose node (potential Vx)
// is the common node of the shunt admittances. Currents are positive into the line.
//
// Data: Z the n x n series impedance, Y the n x n total shunt admittance, half of it at each
// side. Transfer matrices of the section, seen from side 1 to side 2 (I the identity, 1 the
// vector of ones):
//     A = I + (Z/2) Y,   B = Z,   C = Y + (Y/4) Z Y,   D = I + (Y/2) Z
//     V2 - Vx·1 = A (V1 - Vx·1) - B I1,   I1 = C (V2 - Vx·1) - D I2
// Extra-node coefficients: r = -(1/2)·(row sums of Y), p = Z r, w = 2 r + (Y/2) Z r.
// Parameter matrices (dynamic parameters of the tape), with B⁻¹ = Z⁻¹:
//     y11 = D B⁻¹            y12 = C - D B⁻¹ A      y21 = -B⁻¹      y22 = B⁻¹ A
//     y_extra = r            y2_extra = w - D B⁻¹ p                 y1_extra = B⁻¹ p
// which are, apart from rounding, y11 = y22 = Z⁻¹ + Y/2, y12 = y21 = -Z⁻¹, y1_extra = y2_extra = r.
//
// Port currents:
//     I1 = y11 V1 + y12 V2 + y1_extra Vx
//     I2 = y21 V1 + y22 V2 + y2_extra Vx
//     Ix = Σ_k y_extra(k)·(V1(k) + V2(k) - 2 Vx)
// Ix balances the other 2n currents only when Y is symmetric (it uses the row sums of Y).
//
// Sweeps (Vx taken as 0):
//     backward: I2 from the side-2 node balances, I1 = C V2 - D I2, Ix = -ΣI1 - ΣI2
//     forward:  V2 = A V1 - B I1; the measure is the largest modulus of a side-2 change
// A single-phase line runs both steps on scalars and pointers cached by bind_variables; its
// forward step writes the solver's value of the side-2 node only, and its measure is the larger
// change of the real and the imaginary part. Without usable caches (no binding yet, or a grounded
// side node) it takes the general path.
#pragma once

#include <vector>

#include "model/line.hpp"

namespace meshvolt {

// The results of ShuntLine::compute_line_matrices, in this order.
struct ShuntLineMatrices {
    Eigen::MatrixXcd y1_extra;  // n x 1
    Eigen::MatrixXcd y2_extra;  // n x 1
    Eigen::MatrixXcd y_extra;   // n x 1
    Eigen::MatrixXcd y22;
    Eigen::MatrixXcd y21;
    Eigen::MatrixXcd y12;
    Eigen::MatrixXcd y11;
};

class ShuntLine : public Line<ShuntLine> {
  public:
    // n phases (n >= 1); y_shunt and z_line n x n row by row.
    ShuntLine(int n, const Complex* y_shunt, const Complex* z_line);

    void collect_parameters(std::vector<double>& values) override;
    // Binds nothing; caches the pointers of the single-phase sweep paths.
    void bind_variables(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    void bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    void backward_step() override;
    double forward_step() override;
    void release_values(const Eigen::VectorXd& variables,
                        const Eigen::VectorXd& parameters) override;

    // Sets the transfer matrices and their (0, 0) scalars of this line and returns the seven
    // parameter results.
    ShuntLineMatrices compute_line_matrices(int n, const Complex* y_shunt, const Complex* z_line);
    // New line data (n x n row by row, n the line's phase count), written through to the
    // solver's parameters when bound.
    void update_line_parameters(const Complex* y_shunt, const Complex* z_line);

    // The port currents I1, I2, Ix of the header in the given reading.
    template <class Reading>
    void write_currents();
    // The law in plain numbers and on the tape.
    void compute_currents_numeric();
    void compute_currents_ad();

    Port* extra_port;
    ComplexVariableMatrix y11;
    ComplexVariableMatrix y12;
    ComplexVariableMatrix y21;
    ComplexVariableMatrix y22;
    ComplexVariableVector y_extra;
    ComplexVariableMatrix y2_extra;
    ComplexVariableMatrix y1_extra;
    Eigen::MatrixXcd transfer_a;
    Eigen::MatrixXcd transfer_b;
    Eigen::MatrixXcd transfer_c;
    Eigen::MatrixXcd transfer_d;
    int phase_count;
    Complex scalar_a;
    Complex scalar_b;
    Complex scalar_c;
    Complex scalar_d;
    // Single-phase caches, filled by bind_variables.
    double* v1_storage = nullptr;
    double* v2_storage = nullptr;
    Complex* i1_current = nullptr;
    Complex* i2_current = nullptr;
    Complex* extra_current = nullptr;

  private:
    // Calls visit on each parameter holder, in the order of their entries in the solver's vector.
    template <class Visit>
    void visit_parameters(Visit visit);
    // Write-through of the seven parameter results to their holders.
    void set_parameters(const ShuntLineMatrices& m);
    bool parameters_bound();

    // The single-phase paths need the solver storage of both side nodes; otherwise the general
    // path, which reads the nodes by the read rule, is taken.
    bool single_phase_ready() const;
};

extern template class Line<ShuntLine>;

}  // namespace meshvolt
