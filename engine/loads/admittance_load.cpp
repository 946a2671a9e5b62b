#include "loads/admittance_load.hpp"

namespace meshvolt {

template <class T>
AbstractAdmittanceLoad<T>::AbstractAdmittanceLoad(int n, const Complex* values)
    : ConstantLoad<T, AdmittanceLaw>(n), admittances(make_setpoint_list<T>(n, values)) {}

template <class T>
void AbstractAdmittanceLoad<T>::update_admittances(const Complex* values) {
    set_each(admittances, values);
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
