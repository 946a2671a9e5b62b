// Centre-tapped single-phase transformer: ports 0, 1 = HV terminals a, b (side 1); ports 2, 3 =
// LV terminals a, b and port 4 = the LV centre tap (side 2). Each LV half-winding carries half
// the ratio and half the impedance; only the real part kr of k enters:
//
//     U1  = V1a - V1b
//     I2a = (V2a - V2n - (kr/2)·U1) / (z2/2)
//     I2b = (V2b - V2n + (kr/2)·U1) / (z2/2)
//     I1  = ym·U1 - (kr/2)·(I2a - I2b)
//     port currents 0..4 = I1, -I1, I2a, I2b, -(I2a + I2b)
//
// No sweep steps (the backward step throws).
#pragma once

#include "transformers/transformer_base.hpp"

namespace meshvolt {

class CenterTransformer final : public Transformer<CenterTransformer> {
  public:
    // k is real; it is stored as k + 0j.
    CenterTransformer(const Complex& z2_value, const Complex& ym_value, double k_value);
    ~CenterTransformer() override;

    // No-load test: HV at ±uhv/2, LV a and b at ±(ulv/2)·e^(jθ) with θ = arg k, the tap at 0.
    void write_no_load_potentials(double uhv, double ulv);
    // Short-circuit test (vsc = sn·|z2|/ulv²): HV at ±uhv·vsc/2, every LV terminal at 0.
    void write_short_circuit_potentials(double uhv, double vsc);

    template <class Reading>
    void write_currents();
};

extern template class Transformer<CenterTransformer>;

}  // namespace meshvolt
