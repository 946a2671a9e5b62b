#include "loads/current_load.hpp"

namespace meshvolt {

template <class T>
AbstractCurrentLoad<T>::AbstractCurrentLoad(int n, const Complex* values)
    : ConstantLoad<T, CurrentLaw>(n), currents(make_setpoint_list<T>(n, values)) {}

template <class T>
void AbstractCurrentLoad<T>::update_currents(const Complex* values) {
    set_each(currents, values);
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
