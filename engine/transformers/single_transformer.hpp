// Single-phase two-winding transformer: ports 0, 1 = HV terminals a, b (side 1); ports 2, 3 =
// LV terminals a, b (side 2).
//
// The two-winding law (transformers/two_winding.hpp) over the terminals' voltages:
//     U1 = V1a - V1b,   U2 = V2a - V2b
//     I2 = (U2 - k·U1)·(1/z2)            (LV winding current, into port 2, out of port 3)
//     I1 = ym·U1 - conj(k)·I2            (HV winding current, into port 0, out of port 1)
//     port currents 0..3 = I1, -I1, I2, -I2
//
// The sweeps move one LV node, the LV-a node, unless it is grounded and the LV-b node is free
// (the second half of a 120/240 V service wired with the grounded centre as terminal a and the
// live phase as terminal b): then they move the LV-b node. A grounded node has no balance, so the
// LV current comes from the node that is moved.
//   LV-a node moved:
//     backward step: I2 = balance of port 2, then I1 as above;
//     forward step: V2a := W = V2b + k·U1 + z2·I2 (the law solved for V2a), W written also when
//     both LV nodes are grounded, where the node keeps reading 0.
//   LV-b node moved (LV-a grounded):
//     backward step: I2 = -(balance of port 3), then I1 as above;
//     forward step: V2b := V2a - k·U1 - z2·I2 (the law solved for V2b; V2a reads 0).
// The measure is the larger of |Re| and |Im| of the written potential's change, taken against what
// the node read before. With both LV nodes grounded the winding is short-circuited and nothing can
// move: I2 is read from the balance of a grounded node, and the measure is that of
// W = z2·(I2 - I2sc), I2sc = -k·U1/z2 the law's short-circuit current, so the sweeps run to their
// iteration limit unless the current read happens to be the law's (Newton solves such a network).
#pragma once

#include "transformers/transformer_base.hpp"

namespace meshvolt {

class SingleTransformer final : public Transformer<SingleTransformer> {
  public:
    SingleTransformer(const Complex& z2_value, const Complex& ym_value, const Complex& k_value);
    ~SingleTransformer() override;

    void backward_step() override;
    double forward_step() override;
    // The LV terminal whose node the sweeps move.
    bool takes_balance_current(int port) const override {
        return port == (sweeps_move_lv_b() ? 3 : 2);
    }

    // No-load test: HV a at uhv, LV a at ulv·e^(jθ) with θ = arg k, the b terminals at 0.
    void write_no_load_potentials(double uhv, double ulv);
    // Short-circuit test (vsc = sn·|z2|/ulv²): HV a at uhv·vsc, every other terminal at 0.
    void write_short_circuit_potentials(double uhv, double vsc);

    template <class Reading>
    void write_currents();

  private:
    // Whether the sweeps move the LV-b node: the LV-a node is grounded and the LV-b node is not.
    bool sweeps_move_lv_b() const;
};

extern template class Transformer<SingleTransformer>;

}  // namespace meshvolt
