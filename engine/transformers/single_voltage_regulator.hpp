// Single-phase voltage regulator: a regulating transformer whose tap follows the output voltage.
//
// Ports: side 1 (input) = port 0 (a) and port 1 (b); side 2 (output) = port 2 (a) and port 3 (b).
// Port 3 is joined into port 1's node at construction: input b and output b are one terminal.
// Voltages U1 = V0 - V1, U2 = V2 - V3; currents are positive into the regulator.
//
// The tap t is a solver variable; the ratio is the smoothly clamped tap turned by phi:
//     c = smooth_clamp(t),   k = c·(cos phi + j sin phi)
// and with that ratio the two-winding law (transformers/two_winding.hpp):
//     I2 = (U2 - k·U1)·(1/z2)            (z2 the series impedance on the output side)
//     I1 = ym·U1 - conj(k)·I2            (ym the shunt admittance on the input side)
//     port 0 := I1,  port 1 := -(I1 + I2),  port 2 := I2,  port 3 := 0
// One equation holds the output magnitude at u_ref while the tap is inside [lo, hi]:
//     residual = t·|U2| / u_ref - smooth_clamp(t)
// so that t·|U2| = u_ref·c: inside the range c ≈ t and |U2| ≈ u_ref; beyond it c saturates at lo or
// hi, t moves on alone and |U2| leaves u_ref.
//
// Smooth clamp of sharpness alpha on [lo, hi] = [1 - u_range, 1 + u_range], with the softplus of
// model/tape_arithmetic.hpp at sharpness alpha, softplus(y) = ln(1 + e^(alpha·y))/alpha:
//     smooth_clamp(t)  = softplus(t - lo) + lo - softplus(t - hi)
// It stays ln 2/alpha inside the range at the edges and tends to lo and hi beyond them.
//
// Sweeps: the backward step takes I2 from the output-a node's balance and gives I1 by the law; the
// forward step rescales the tap so that the output reaches u_ref, t' = c·u_ref / |k·U1 + z2·I2|,
// and moves the output-a node to V3 + k'·U1 + z2·I2 with the new ratio k'.
//
// z2, ym and u_ref are dynamic parameters; u_range, alpha and phi are constants of the tape.
// Nothing guards z2 = 0, u_ref = 0, alpha = 0 or a zero output in the forward step: the non-finite
// values reach the solvers.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "transformers/two_winding.hpp"

namespace meshvolt {

// The smooth limits of the tap, written once for the tape scalar and for double.
struct TapRange {
    double lo;
    double hi;
    double alpha;

    template <class S>
    S smooth_clamp(const S& t) const {
        return softplus(S(t - lo), alpha) + lo - softplus(S(t - hi), alpha);
    }
    // The hard clamp of starting values and updates.
    double clamp(double t) const { return std::min(hi, std::max(lo, t)); }
};

class SingleVoltageRegulator : public Branch {
  public:
    SingleVoltageRegulator(Complex z2, Complex ym, double u_ref, double u_range, double alpha,
                           double phi);

    void collect_variables(std::vector<double>& values) override;
    void collect_parameters(std::vector<double>& values) override;
    void bind_variables(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    void bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    void compute_currents(bool on_tape) override;
    // The current law above, on the tape or in plain numbers (dispatched by compute_currents).
    template <class Reading>
    void write_currents();
    void add_equations(ADVector& residuals, int& index) override;
    void backward_step() override;
    // Output a.
    bool takes_balance_current(int port) const override { return port == 2; }
    // Returns the larger of |Re| and |Im| of the output-a potential's change (the tap's change is
    // not part of it).
    double forward_step() override;
    void release_values(const Eigen::VectorXd& variables,
                        const Eigen::VectorXd& parameters) override;

    // The clamped tap, smooth_clamp(t), with t read by the holder rule.
    double get_tap() const;
    // smooth_clamp(u_ref / u_in); nothing is stored.
    double compute_tap(double u_in) const;
    // New parameters, written through to a bound solver. When the input voltage is not zero, the
    // tap is set to the hard-clamped u_ref/|U1| and the output-a node to V1 + get_tap()·U1 (neither
    // phi nor the drop in z2 is applied), which moves the next solve's starting point.
    void update_parameters(Complex z2_new, Complex ym_new, double u_ref_new);

    ComplexVariable z2;
    ComplexVariable ym;
    RealVariable u_ref;
    double u_range;
    double alpha;
    double phi;
    RealVariable tap;

  private:
    // Calls visit on each parameter holder, in the order of their entries in the solver's vector.
    template <class Visit>
    void visit_parameters(Visit visit);

    TapRange range() const { return {1.0 - u_range, 1.0 + u_range, alpha}; }
    // k = c·(cos phi + j sin phi) for a clamped tap c.
    Complex ratio(double c) const { return Complex(c * std::cos(phi), c * std::sin(phi)); }
    Complex input_voltage() const { return node_potential(0) - node_potential(1); }
};

}  // namespace meshvolt
