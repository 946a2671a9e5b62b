#include "loads/admittance_load.hpp"

namespace meshvolt {

template <class T>
AbstractAdmittanceLoad<T>::AbstractAdmittanceLoad(int n, const Complex* values)
    : Load<T>(n), admittances(make_setpoints(T::Wiring::setpoint_count(n), values)) {}

template <class T>
void AbstractAdmittanceLoad<T>::collect_parameters(std::vector<double>& values) {
    push_setpoints(admittances, values);
}

template <class T>
void AbstractAdmittanceLoad<T>::bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    bind_setpoints(admittances, tape, values, index);
}

template <class T>
void AbstractAdmittanceLoad<T>::compute_currents(bool on_tape) {
    if (on_tape)
        compute_currents_ad();
    else
        compute_currents_numeric();
}

template <class T>
void AbstractAdmittanceLoad<T>::backward_step() {
    compute_currents_numeric();
}

template <class T>
void AbstractAdmittanceLoad<T>::release_values(const Eigen::VectorXd&, const Eigen::VectorXd& parameters) {
    release_setpoints(admittances, parameters);
}

template <class T>
void AbstractAdmittanceLoad<T>::update_admittances(const Complex* values) {
    update_setpoints(admittances, values);
}

template <class T>
void AbstractAdmittanceLoad<T>::compute_currents_numeric() {
    T::Wiring::template write_currents<PlainReading, AdmittanceLaw>(this->ports, admittances);
}

template <class T>
void AbstractAdmittanceLoad<T>::compute_currents_ad() {
    T::Wiring::template write_currents<TapeReading, AdmittanceLaw>(this->ports, admittances);
}

template class AbstractAdmittanceLoad<AdmittanceLoad>;
template class AbstractAdmittanceLoad<DeltaAdmittanceLoad>;

AdmittanceLoad::~AdmittanceLoad() = default;

void AdmittanceLoad::get_inner_currents(Complex* out) { stored_phase_currents(out); }

DeltaAdmittanceLoad::~DeltaAdmittanceLoad() = default;

void DeltaAdmittanceLoad::get_inner_currents(Complex* out) {
    DeltaWiring::pair_currents<AdmittanceLaw>(ports, admittances, out);
}

}  // namespace meshvolt
