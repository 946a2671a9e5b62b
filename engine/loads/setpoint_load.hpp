// The shared body of the loads that draw one current per phase or pair from a complex set-point
// of their own: the constant-power, constant-current and constant-admittance loads, whose law
// takes the set-point as it is (loads/constant_load.hpp), and the flexible loads, whose law turns
// it, a theoretical power, into the actual power first (loads/flexible_load.hpp).
//
// T is the concrete class. Its family holds the set-point list under the family's name (powers,
// currents, admittances) and points T::setpoint_list to it; T::Wiring (StarWiring or
// DeltaWiring, loads/load_wiring.hpp) gives the number of set-points, n - 1 in star and n in
// delta; T's `template <class Reading> void write_currents()` is its law, which compute_currents
// runs on the tape or in plain numbers and the backward step in plain numbers. The set-points are
// dynamic parameters, two entries each (real part, then imaginary part), in list order. The loads
// have no unknowns and no equations.
#pragma once

#include <vector>

#include "loads/load_base.hpp"
#include "model/variable_list.hpp"

namespace meshvolt {

template <class T>
class SetpointLoad : public Load<T> {
  public:
    void collect_parameters(std::vector<double>& values) override;
    void bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    void compute_currents(bool on_tape) override;
    void backward_step() override;
    void release_values(const Eigen::VectorXd& variables,
                        const Eigen::VectorXd& parameters) override;

    int setpoint_count() const { return static_cast<int>(setpoints().size()); }
    // One inner current per set-point: per phase (star) or per pair (delta).
    int inner_current_count() const override { return setpoint_count(); }

  protected:
    // n ports; the family makes the list (make_setpoint_list).
    explicit SetpointLoad(int n) : Load<T>(n) {}

    // T's set-point list, under its family's name.
    SetpointList& setpoints() { return static_cast<T&>(*this).*T::setpoint_list; }
    const SetpointList& setpoints() const {
        return static_cast<const T&>(*this).*T::setpoint_list;
    }
};

// The set-point list of a load T of n ports: exactly T::Wiring::setpoint_count(n) unbound holders
// from values[0], values[1], ... (a count below 0, as of a star load without ports, is the
// reserve's length error "vector::reserve").
template <class T>
SetpointList make_setpoint_list(int n, const Complex* values) {
    return make_variable_list(T::Wiring::setpoint_count(n), values);
}

}  // namespace meshvolt
