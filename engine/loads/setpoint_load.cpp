#include "loads/setpoint_load.hpp"

#include "loads/admittance_load.hpp"
#include "loads/current_load.hpp"
#include "loads/flexible_load.hpp"
#include "loads/power_load.hpp"
#include "model/reading.hpp"

namespace meshvolt {

template <class T>
void SetpointLoad<T>::collect_parameters(std::vector<double>& values) {
    push_each(setpoints(), values);
}

template <class T>
void SetpointLoad<T>::bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    bind_each(setpoints(), tape, values, index);
}

template <class T>
void SetpointLoad<T>::compute_currents(bool on_tape) {
    write_currents_by(static_cast<T&>(*this), on_tape);
}

template <class T>
void SetpointLoad<T>::backward_step() {
    static_cast<T&>(*this).template write_currents<PlainReading>();
}

template <class T>
void SetpointLoad<T>::release_values(const Eigen::VectorXd&, const Eigen::VectorXd& parameters) {
    release_each_from(setpoints(), parameters);
}

template class SetpointLoad<PowerLoad>;
template class SetpointLoad<DeltaPowerLoad>;
template class SetpointLoad<CurrentLoad>;
template class SetpointLoad<DeltaCurrentLoad>;
template class SetpointLoad<AdmittanceLoad>;
template class SetpointLoad<DeltaAdmittanceLoad>;
template class SetpointLoad<FlexibleLoad>;
template class SetpointLoad<DeltaFlexibleLoad>;

}  // namespace meshvolt
