// Ideal voltage sources.
//
// Star (VoltageSource): n ports, phases 0..n-2 and the neutral n-1; U_i = V_i - V_(n-1).
// Delta (DeltaVoltageSource): U_i = V_i - V_(i+1) for i = 0..n-2 (no voltage from the last phase
// back to the first).
//
// Forward steps write the phase potentials from the neutral (star) or down the chain from port 0
// (delta) and report the largest modulus of the changes they made, as the lines do: what a node
// reads after the write minus what it read before (0 at a grounded node), NaN when a potential
// they wrote is NaN. A source that writes what its nodes already hold reports 0.
//
// The currents J_i are solver variables, the voltages U_i dynamic parameters:
//     I_i     = J_i                  i = 0..n-2
//     I_(n-1) = -Σ_i J_i
//     residual_i = (V_a - V_b) - U_i   (a = port i, b = T::second_port(i, n) the other port of
//                                        voltage i: n-1 for the star, i+1 for the delta source)
#pragma once

#include <vector>

#include "model/element.hpp"
#include "model/variable_list.hpp"

namespace meshvolt {

template <class T>
class AbstractVoltageSource : public ElementImpl<T> {
  public:
    AbstractVoltageSource(int n, const Complex* source_voltages);

    void collect_variables(std::vector<double>& values) override;
    void collect_parameters(std::vector<double>& values) override;
    void bind_variables(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    void bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    void compute_currents(bool on_tape) override;
    // residual_i, real part first, for i = 0..n-2.
    void add_equations(ADVector& residuals, int& index) override;
    // max_i |residual_i| in plain numbers.
    double equation_mismatch() const override;
    // residual_i = (V_a - V_b) - U_i in the given reading, i = 0..n-2.
    template <class Reading>
    typename Reading::Value equation(int i) const;
    int equation_count() const { return voltage_count(); }
    // I_i = J_i, I_(n-1) = -Σ_i J_i in the given reading.
    template <class Reading>
    void write_currents();
    void release_values(const Eigen::VectorXd& variables,
                        const Eigen::VectorXd& parameters) override;

    // Write-through of the n-1 voltages; they reach the tape at the next solve.
    void update_voltages(const Complex* source_voltages);

    Element::Supply supply() const override { return Element::Supply::source; }

    int voltage_count() const { return static_cast<int>(voltages.size()); }

    ComplexVariableList voltages;
    ComplexVariableList currents;
};

class VoltageSource : public AbstractVoltageSource<VoltageSource> {
  public:
    using AbstractVoltageSource::AbstractVoltageSource;

    // The port voltage i is measured against.
    static int second_port(int /*i*/, int n) { return n - 1; }

    void backward_step() override;
    double forward_step() override;
    // The phases.
    bool takes_balance_current(int port) const override { return port < port_count() - 1; }
};

class DeltaVoltageSource : public AbstractVoltageSource<DeltaVoltageSource> {
  public:
    using AbstractVoltageSource::AbstractVoltageSource;

    // The port voltage i is measured against.
    static int second_port(int i, int /*n*/) { return i + 1; }

    void backward_step() override;
    double forward_step() override;
    // Every port but the first.
    bool takes_balance_current(int port) const override { return port > 0; }
};

extern template class AbstractVoltageSource<VoltageSource>;
extern template class AbstractVoltageSource<DeltaVoltageSource>;

}  // namespace meshvolt
