// Constant-admittance loads, in star (AdmittanceLoad) and delta (DeltaAdmittanceLoad) connection.
//
// Phase or pair i is the set-point admittance Y_i across its voltage U_i (star and delta voltages
// and the port wiring: loads/load_wiring.hpp):
//     I_i = Y_i · U_i
// The complex product, on the tape too: four products, one difference, one sum. The set-points
// Y_i are dynamic parameters. U_i = 0 gives zero currents.
#pragma once

#include "loads/constant_load.hpp"

namespace meshvolt {

struct AdmittanceLaw {
    template <class C>
    static C current(const C& y, const C& u) {
        return y * u;
    }
};

template <class T>
class AbstractAdmittanceLoad : public ConstantLoad<T, AdmittanceLaw> {
  public:
    // n ports; reads exactly one admittance per set-point (star n - 1, delta n).
    AbstractAdmittanceLoad(int n, const Complex* admittances);

    // Write-through of one admittance per set-point; reaches a bound tape at the next solve.
    void update_admittances(const Complex* values);

    // The set-points Y_i, in phase or pair order; the members shared with the other loads
    // (loads/setpoint_load.hpp) reach them through setpoint_list.
    SetpointList admittances;
    static constexpr SetpointList AbstractAdmittanceLoad::*setpoint_list =
        &AbstractAdmittanceLoad::admittances;
};

class AdmittanceLoad final : public AbstractAdmittanceLoad<AdmittanceLoad> {
  public:
    using Wiring = StarWiring;
    using AbstractAdmittanceLoad::AbstractAdmittanceLoad;
    ~AdmittanceLoad() override;

    void get_inner_currents(Complex* out) override;
};

class DeltaAdmittanceLoad final : public AbstractAdmittanceLoad<DeltaAdmittanceLoad> {
  public:
    using Wiring = DeltaWiring;
    using AbstractAdmittanceLoad::AbstractAdmittanceLoad;
    ~DeltaAdmittanceLoad() override;

    void get_inner_currents(Complex* out) override;
};

extern template class SetpointLoad<AdmittanceLoad>;
extern template class SetpointLoad<DeltaAdmittanceLoad>;
extern template class ConstantLoad<AdmittanceLoad, AdmittanceLaw>;
extern template class ConstantLoad<DeltaAdmittanceLoad, AdmittanceLaw>;
extern template class AbstractAdmittanceLoad<AdmittanceLoad>;
extern template class AbstractAdmittanceLoad<DeltaAdmittanceLoad>;

}  // namespace meshvolt
