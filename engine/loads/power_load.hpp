// Constant-power loads, in star (PowerLoad) and delta (DeltaPowerLoad) connection.
//
// Phase or pair i takes the set-point power S_i at its voltage U_i (star and delta voltages and the
// port wiring: loads/load_wiring.hpp):
//     S_i = U_i · conj(I_i)   =>   I_i = conj(S_i / U_i)
// In plain numbers the full IEEE complex quotient, then the imaginary part negated. On the tape the
// quotient is spelled out, without a complex division of the AD scalar (model/tape_arithmetic.hpp):
//     w = conj(U) / (Re(U)·Re(U) + Im(U)·Im(U)),   I = conj(S · w)
// The set-points S_i are dynamic parameters. Nothing guards U_i = 0: the currents become non-finite
// and the solvers report it.
#pragma once

#include "loads/constant_load.hpp"

namespace meshvolt {

struct PowerLaw {
    // I = conj(S / U): divide is the quotient in plain numbers, S·w with w = 1/U on the tape.
    template <class C>
    static C current(const C& s, const C& u) {
        return std::conj(divide(s, u));
    }
};

template <class T>
class AbstractPowerLoad : public ConstantLoad<T, PowerLaw> {
  public:
    // n ports; reads exactly one power per set-point (star n - 1, delta n).
    AbstractPowerLoad(int n, const Complex* powers);

    // Write-through of one power per set-point; reaches a bound tape at the next solve.
    void update_powers(const Complex* values);

    // The set-points S_i, in phase or pair order; the members shared with the other loads
    // (loads/setpoint_load.hpp) reach them through setpoint_list.
    SetpointList powers;
    static constexpr SetpointList AbstractPowerLoad::*setpoint_list =
        &AbstractPowerLoad::powers;
};

class PowerLoad final : public AbstractPowerLoad<PowerLoad> {
  public:
    using Wiring = StarWiring;
    using AbstractPowerLoad::AbstractPowerLoad;
    ~PowerLoad() override;

    void get_inner_currents(Complex* out) override;
};

class DeltaPowerLoad final : public AbstractPowerLoad<DeltaPowerLoad> {
  public:
    using Wiring = DeltaWiring;
    using AbstractPowerLoad::AbstractPowerLoad;
    ~DeltaPowerLoad() override;

    void get_inner_currents(Complex* out) override;
};

extern template class SetpointLoad<PowerLoad>;
extern template class SetpointLoad<DeltaPowerLoad>;
extern template class ConstantLoad<PowerLoad, PowerLaw>;
extern template class ConstantLoad<DeltaPowerLoad, PowerLaw>;
extern template class AbstractPowerLoad<PowerLoad>;
extern template class AbstractPowerLoad<DeltaPowerLoad>;

}  // namespace meshvolt
