#include "loads/power_load.hpp"

namespace meshvolt {

template <class T>
AbstractPowerLoad<T>::AbstractPowerLoad(int n, const Complex* values)
    : Load<T>(n), powers(make_setpoints(T::Wiring::setpoint_count(n), values)) {}

template <class T>
void AbstractPowerLoad<T>::collect_parameters(std::vector<double>& values) {
    push_setpoints(powers, values);
}

template <class T>
void AbstractPowerLoad<T>::bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    bind_setpoints(powers, tape, values, index);
}

template <class T>
void AbstractPowerLoad<T>::compute_currents(bool on_tape) {
    if (on_tape)
        compute_currents_ad();
    else
        compute_currents_numeric();
}

template <class T>
void AbstractPowerLoad<T>::backward_step() {
    compute_currents_numeric();
}

template <class T>
void AbstractPowerLoad<T>::release_values(const Eigen::VectorXd&, const Eigen::VectorXd& parameters) {
    release_setpoints(powers, parameters);
}

template <class T>
void AbstractPowerLoad<T>::update_powers(const Complex* values) {
    update_setpoints(powers, values);
}

template <class T>
void AbstractPowerLoad<T>::compute_currents_numeric() {
    T::Wiring::template write_currents<PlainReading, PowerLaw>(this->ports, powers);
}

template <class T>
void AbstractPowerLoad<T>::compute_currents_ad() {
    T::Wiring::template write_currents<TapeReading, PowerLaw>(this->ports, powers);
}

template class AbstractPowerLoad<PowerLoad>;
template class AbstractPowerLoad<DeltaPowerLoad>;

PowerLoad::~PowerLoad() = default;

void PowerLoad::get_inner_currents(Complex* out) { stored_phase_currents(out); }

DeltaPowerLoad::~DeltaPowerLoad() = default;

void DeltaPowerLoad::get_inner_currents(Complex* out) {
    DeltaWiring::pair_currents<PowerLaw>(ports, powers, out);
}

}  // namespace meshvolt
