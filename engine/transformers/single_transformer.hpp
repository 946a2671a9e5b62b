// Single-phase two-winding transformer: ports 0, 1 = HV terminals a, b (side 1); ports 2, 3 =
// LV terminals a, b (side 2).
//
//     U1 = V1a - V1b,   U2 = V2a - V2b
//     I2 = (U2 - k·U1) / z2              (LV winding current, into port 2, out of port 3)
//     I1 = ym·U1 - conj(k)·I2            (HV winding current, into port 0, out of port 1)
//     port currents 0..3 = I1, -I1, I2, -I2
//
// Backward step: I2 from the node balance of port 2, then I1 as above.
// Forward step: the LV-a node takes W = V2b + k·U1 + z2·I2 (the law solved for V2a); the measure
// is the larger of |Re| and |Im| of its change.
#pragma once

#include "transformers/transformer_base.hpp"

namespace meshvolt {

class SingleTransformer final : public Transformer<SingleTransformer> {
  public:
    SingleTransformer(const Complex& z2_value, const Complex& ym_value, const Complex& k_value);
    ~SingleTransformer() override;

    void backward_step() override;
    double forward_step() override;
    // LV terminal a.
    bool takes_balance_current(int port) const override { return port == 2; }

    // No-load test: HV a at uhv, LV a at ulv·e^(jθ) with θ = arg k, the b terminals at 0.
    std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv,
                                                              double sn) override;
    // Short-circuit test: vsc = sn·|z2|/ulv², HV a at uhv·vsc, every other terminal at 0.
    std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv,
                                                               double sn) override;

    template <class Reading>
    void write_currents();
};

extern template class Transformer<SingleTransformer>;

}  // namespace meshvolt
