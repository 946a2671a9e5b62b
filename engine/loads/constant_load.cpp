#include "loads/constant_load.hpp"

#include "loads/admittance_load.hpp"
#include "loads/current_load.hpp"
#include "loads/power_load.hpp"

namespace meshvolt {

template <class T, class Law>
ConstantLoad<T, Law>::ConstantLoad(int n, const Complex* values)
    : Load<T>(n), setpoints(make_variable_list(T::Wiring::setpoint_count(n), values)) {}

template <class T, class Law>
void ConstantLoad<T, Law>::collect_parameters(std::vector<double>& values) {
    push_each(setpoints, values);
}

template <class T, class Law>
void ConstantLoad<T, Law>::bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    bind_each(setpoints, tape, values, index);
}

template <class T, class Law>
void ConstantLoad<T, Law>::compute_currents(bool on_tape) {
    write_currents_by(*this, on_tape);
}

template <class T, class Law>
template <class Reading>
void ConstantLoad<T, Law>::write_currents() {
    T::Wiring::template write_currents<Reading, Law>(this->ports, setpoints);
}

template <class T, class Law>
void ConstantLoad<T, Law>::backward_step() {
    write_currents<PlainReading>();
}

template <class T, class Law>
void ConstantLoad<T, Law>::release_values(const Eigen::VectorXd&, const Eigen::VectorXd& parameters) {
    release_each_from(setpoints, parameters);
}

template <class T, class Law>
void ConstantLoad<T, Law>::update_setpoint_values(const Complex* values) {
    set_each(setpoints, values);
}

template class ConstantLoad<PowerLoad, PowerLaw>;
template class ConstantLoad<DeltaPowerLoad, PowerLaw>;
template class ConstantLoad<CurrentLoad, CurrentLaw>;
template class ConstantLoad<DeltaCurrentLoad, CurrentLaw>;
template class ConstantLoad<AdmittanceLoad, AdmittanceLaw>;
template class ConstantLoad<DeltaAdmittanceLoad, AdmittanceLaw>;

// Both readings of the law, for callers outside this file (tests, a dispatch in a header).
template void ConstantLoad<PowerLoad, PowerLaw>::write_currents<PlainReading>();
template void ConstantLoad<PowerLoad, PowerLaw>::write_currents<TapeReading>();
template void ConstantLoad<DeltaPowerLoad, PowerLaw>::write_currents<PlainReading>();
template void ConstantLoad<DeltaPowerLoad, PowerLaw>::write_currents<TapeReading>();
template void ConstantLoad<CurrentLoad, CurrentLaw>::write_currents<PlainReading>();
template void ConstantLoad<CurrentLoad, CurrentLaw>::write_currents<TapeReading>();
template void ConstantLoad<DeltaCurrentLoad, CurrentLaw>::write_currents<PlainReading>();
template void ConstantLoad<DeltaCurrentLoad, CurrentLaw>::write_currents<TapeReading>();
template void ConstantLoad<AdmittanceLoad, AdmittanceLaw>::write_currents<PlainReading>();
template void ConstantLoad<AdmittanceLoad, AdmittanceLaw>::write_currents<TapeReading>();
template void ConstantLoad<DeltaAdmittanceLoad, AdmittanceLaw>::write_currents<PlainReading>();
template void ConstantLoad<DeltaAdmittanceLoad, AdmittanceLaw>::write_currents<TapeReading>();

}  // namespace meshvolt
