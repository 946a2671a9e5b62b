// Switches between n conductors: side 1 = ports 0..n-1, side 2 = ports n..2n-1; conductor i joins
// side-1 port i to side-2 port i. Currents are positive into the element.
//
// Closed switch (Switch): one complex current variable J_i per conductor, flowing into side-1
// port i and out of side-2 port i:
//     I1_i = J_i,   I2_i = -J_i
//     residual_i = V1_i - V2_i                       (one complex equation per conductor)
// Backward step: I2_i from the node balance of side-2 port i, then I1_i = -I2_i.
// Forward step: V2_i := V1_i; the measure is the largest modulus of the change of a side-2 node
// (0 at a grounded one), NaN when a copied potential is NaN.
//
// Open switch (OpenSwitch): every port current is 0 and nothing is imposed: both sides are
// electrically separate.
#pragma once

#include <vector>

#include "model/branch.hpp"
#include "model/variable_list.hpp"

namespace meshvolt {

class Switch : public Branch {
  public:
    // n < 0 is the reserve's length error "vector::reserve"; n = 0 is a switch without ports.
    explicit Switch(int n);

    void collect_variables(std::vector<double>& values) override;
    void bind_variables(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    void compute_currents(bool on_tape) override;
    // I1_i = J_i, I2_i = -J_i in the given reading.
    template <class Reading>
    void write_currents();
    // residual_i = V1_i - V2_i in the given reading.
    template <class Reading>
    typename Reading::Value equation(int i) const;
    int equation_count() const { return conductor_count(); }
    void add_equations(ADVector& residuals, int& index) override;
    void backward_step() override;
    // Returns the largest modulus of the side-2 potential changes, NaN when a copied potential is
    // NaN, so that the sweep does not report a NaN network as converged.
    double forward_step() override;
    void release_values(const Eigen::VectorXd& variables,
                        const Eigen::VectorXd& parameters) override;
    // max_i |V1_i - V2_i| in plain numbers.
    double equation_mismatch() const override;
    // The side-2 ports.
    bool takes_balance_current(int port) const override { return port >= conductor_count(); }

    int conductor_count() const { return static_cast<int>(side1.size()); }

    ComplexVariableList currents;
};

class OpenSwitch : public Branch {
  public:
    explicit OpenSwitch(int n);

    void compute_currents(bool on_tape) override { set_currents_zero(on_tape); }
    void backward_step() override;
    bool joins_its_ports() const override { return false; }
};

}  // namespace meshvolt
