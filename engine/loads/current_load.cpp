#include "loads/current_load.hpp"

namespace meshvolt {

template <class T>
AbstractCurrentLoad<T>::AbstractCurrentLoad(int n, const Complex* values)
    : Load<T>(n), currents(make_setpoints(T::Wiring::setpoint_count(n), values)) {}

template <class T>
void AbstractCurrentLoad<T>::collect_parameters(std::vector<double>& values) {
    push_setpoints(currents, values);
}

template <class T>
void AbstractCurrentLoad<T>::bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    bind_setpoints(currents, tape, values, index);
}

template <class T>
void AbstractCurrentLoad<T>::compute_currents(bool on_tape) {
    if (on_tape)
        compute_currents_ad();
    else
        compute_currents_numeric();
}

template <class T>
void AbstractCurrentLoad<T>::backward_step() {
    compute_currents_numeric();
}

template <class T>
void AbstractCurrentLoad<T>::release_values(const Eigen::VectorXd&, const Eigen::VectorXd& parameters) {
    release_setpoints(currents, parameters);
}

template <class T>
void AbstractCurrentLoad<T>::update_currents(const Complex* values) {
    update_setpoints(currents, values);
}

template <class T>
void AbstractCurrentLoad<T>::compute_currents_numeric() {
    T::Wiring::template write_currents<PlainReading, CurrentLaw>(this->ports, currents);
}

template <class T>
void AbstractCurrentLoad<T>::compute_currents_ad() {
    T::Wiring::template write_currents<TapeReading, CurrentLaw>(this->ports, currents);
}

template class AbstractCurrentLoad<CurrentLoad>;
template class AbstractCurrentLoad<DeltaCurrentLoad>;

CurrentLoad::~CurrentLoad() = default;

void CurrentLoad::get_inner_currents(Complex* out) { stored_phase_currents(out); }

DeltaCurrentLoad::~DeltaCurrentLoad() = default;

void DeltaCurrentLoad::get_inner_currents(Complex* out) {
    DeltaWiring::pair_currents<CurrentLaw>(ports, currents, out);
}

}  // namespace meshvolt
