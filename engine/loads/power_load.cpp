#include "loads/power_load.hpp"

namespace meshvolt {

template <class T>
AbstractPowerLoad<T>::AbstractPowerLoad(int n, const Complex* values)
    : ConstantLoad<T, PowerLaw>(n), powers(make_setpoint_list<T>(n, values)) {}

template <class T>
void AbstractPowerLoad<T>::update_powers(const Complex* values) {
    set_each(powers, values);
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
