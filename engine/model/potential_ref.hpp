// Potential references.
//
// PotentialRef fixes the potential of its node at zero: the node is grounded, so it has neither a
// variable nor a current balance.
//
// DeltaPotentialRef fixes the sum of the potentials of its n nodes at zero through one complex
// current variable I that flows into port 0 (the other ports carry none):
//     Σ_k V_k = 0                                  (one complex equation, two residuals)
#pragma once

#include "model/element.hpp"

namespace meshvolt {

class PotentialRef : public ElementImpl<PotentialRef> {
  public:
    PotentialRef();

    void compute_currents(bool on_tape) override { set_currents_zero(on_tape); }
    void backward_step() override { set_currents_zero(false); }
    double forward_step() override;

    // The current the other elements at the fixed node draw from it.
    Complex get_current() const;
};

class DeltaPotentialRef : public ElementImpl<DeltaPotentialRef> {
  public:
    explicit DeltaPotentialRef(int n);

    void collect_variables(std::vector<double>& values) override { current.push_value(values); }
    void bind_variables(const ADVector& tape, Eigen::VectorXd& values, int& index) override {
        current.bind(tape, values, index);
    }
    void compute_currents(bool on_tape) override;
    // Port 0 carries I, every other port 0, in the given reading.
    template <class Reading>
    void write_currents();
    // Σ_k V_k in the given reading (i = 0, the one equation).
    template <class Reading>
    typename Reading::Value equation(int i) const;
    int equation_count() const { return 1; }
    void add_equations(ADVector& residuals, int& index) override;
    void backward_step() override { set_currents_zero(false); }
    // Subtracts the mean of the potentials from each, so that they sum to zero; the measure is
    // the larger of |Re Σ_k V_k| and |Im Σ_k V_k| before the step.
    double forward_step() override;
    void release_values(const Eigen::VectorXd& variables, const Eigen::VectorXd&) override {
        current.keep_from(variables);
    }

    // |Σ_k V_k| in plain numbers.
    double equation_mismatch() const override;

    Complex get_current() const { return ports[0].current; }

    ComplexVariable current;
};

}  // namespace meshvolt
