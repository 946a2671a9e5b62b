#include "loads/constant_load.hpp"

#include "loads/admittance_load.hpp"
#include "loads/current_load.hpp"
#include "loads/power_load.hpp"

namespace meshvolt {

template <class T, class Law>
template <class Reading>
void ConstantLoad<T, Law>::write_currents() {
    const SetpointList& setpoints = this->setpoints();
    T::Wiring::template write_law_currents<Reading>(
        this->ports, [&](std::size_t i, const typename Reading::Value& u) {
            return Law::current(Reading::parameter(setpoints[i]), u);
        });
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
