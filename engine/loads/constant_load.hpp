// The shared body of the constant-power, constant-current and constant-admittance loads.
//
// Phase or pair i draws I_i = Law::current(s_i, U_i) from its set-point s_i and its voltage U_i;
// T::Wiring (StarWiring or DeltaWiring, loads/load_wiring.hpp) gives the number of set-points, the
// voltages U_i and how the I_i land on the ports (currents positive into the load). The set-points
// are dynamic parameters, two entries each (real part, then imaginary part).
//
// Each family (loads/power_load.hpp, current_load.hpp, admittance_load.hpp) adds its law and its
// names for the set-points; the specializations are instantiated in constant_load.cpp and declared
// extern in the family headers.
#pragma once

#include <vector>

#include "loads/load_base.hpp"
#include "loads/load_wiring.hpp"
#include "model/variable_list.hpp"

namespace meshvolt {

template <class T, class Law>
class ConstantLoad : public Load<T> {
  public:
    void collect_parameters(std::vector<double>& values) override;
    void bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    void compute_currents(bool on_tape) override;
    // I_i = Law::current(s_i, U_i) wired onto the ports, on the tape or in plain numbers.
    template <class Reading>
    void write_currents();
    void backward_step() override;
    void release_values(const Eigen::VectorXd& variables, const Eigen::VectorXd& parameters) override;

    int setpoint_count() const { return static_cast<int>(setpoints.size()); }
    // One inner current per set-point: per phase (star) or per pair (delta).
    int inner_current_count() const override { return setpoint_count(); }

  protected:
    // n ports; reads exactly one value per set-point (star n - 1, delta n).
    ConstantLoad(int n, const Complex* values);

    // Write-through of one value per set-point; reaches a bound tape at the next solve.
    void update_setpoint_values(const Complex* values);

    // The families name it by a reference member (powers, currents, admittances); elements are
    // neither copied nor moved, so that reference always names the load's own list.
    SetpointList setpoints;
};

}  // namespace meshvolt
