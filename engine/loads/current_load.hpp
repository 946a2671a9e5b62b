// Constant-current loads, in star (CurrentLoad) and delta (DeltaCurrentLoad) connection.
//
// Phase or pair i draws a current of the set-point's magnitude whose angle follows its voltage U_i
// (star and delta voltages and the port wiring: loads/load_wiring.hpp):
//     I_i = (I_set,i · U_i) / |U_i|     so |I_i| = |I_set,i| and arg I_i = arg I_set,i + arg U_i
// Both parts of the product are divided by the real modulus |U_i| (model/tape_arithmetic.hpp:
// hypot in plain numbers, sqrt(Re(U)·Re(U) + Im(U)·Im(U)) on the tape); the tape records the
// modulus first, then the product. The set-points I_set,i are dynamic parameters. U_i = 0 gives
// NaN currents (0/0).
#pragma once

#include "loads/constant_load.hpp"

namespace meshvolt {

struct CurrentLaw {
    template <class C>
    static C current(const C& i_set, const C& u) {
        const auto modulus = magnitude(u);
        const C product = i_set * u;
        return C(product.real() / modulus, product.imag() / modulus);
    }
};

template <class T>
class AbstractCurrentLoad : public ConstantLoad<T, CurrentLaw> {
  public:
    // n ports; reads exactly one current per set-point (star n - 1, delta n).
    AbstractCurrentLoad(int n, const Complex* currents);

    // Write-through of one current per set-point; reaches a bound tape at the next solve.
    void update_currents(const Complex* values);

    // The set-points I_set,i, in phase or pair order; the members shared with the other loads
    // (loads/setpoint_load.hpp) reach them through setpoint_list.
    SetpointList currents;
    static constexpr SetpointList AbstractCurrentLoad::*setpoint_list =
        &AbstractCurrentLoad::currents;
};

class CurrentLoad final : public AbstractCurrentLoad<CurrentLoad> {
  public:
    using Wiring = StarWiring;
    using AbstractCurrentLoad::AbstractCurrentLoad;
    ~CurrentLoad() override;

    void get_inner_currents(Complex* out) override;
};

class DeltaCurrentLoad final : public AbstractCurrentLoad<DeltaCurrentLoad> {
  public:
    using Wiring = DeltaWiring;
    using AbstractCurrentLoad::AbstractCurrentLoad;
    ~DeltaCurrentLoad() override;

    void get_inner_currents(Complex* out) override;
};

extern template class SetpointLoad<CurrentLoad>;
extern template class SetpointLoad<DeltaCurrentLoad>;
extern template class ConstantLoad<CurrentLoad, CurrentLaw>;
extern template class ConstantLoad<DeltaCurrentLoad, CurrentLaw>;
extern template class AbstractCurrentLoad<CurrentLoad>;
extern template class AbstractCurrentLoad<DeltaCurrentLoad>;

}  // namespace meshvolt
