// Flexible loads, in star (FlexibleLoad) and delta (DeltaFlexibleLoad) connection.
//
// Phase or pair i has a theoretical power s_i (a dynamic parameter) and a FlexibleParameter that
// turns it into the actual power at the magnitude of its voltage U_i (phase-to-neutral in star,
// phase-to-phase in delta; loads/load_wiring.hpp):
//     S_i = parameters[i]->compute_power(|U_i|, s_i),   I_i = conj(S_i / U_i)
// On the tape |U| = sqrt(Re(U)² + Im(U)²) and the quotient is that of the constant-power law
// (loads/power_load.hpp). The loads have no unknowns and no equations.
//
// The parameter objects are not owned, and several phases and loads may share one. Their limits
// are gathered and bound by the network, once per object (solvers/network.hpp), not by the loads.
#pragma once

#include <utility>
#include <vector>

#include "loads/flexible_parameter.hpp"
#include "loads/load_wiring.hpp"
#include "loads/setpoint_load.hpp"

namespace meshvolt {

template <class T>
class AbstractFlexibleLoad : public SetpointLoad<T> {
  public:
    // Phase i's current S_i = compute_power(|U_i|, s_i), I_i = conj(S_i / U_i), wired onto the
    // ports, on the tape or in plain numbers.
    template <class Reading>
    void write_currents();

    // The actual power of each phase (star) or pair (delta) at the present potentials.
    virtual void get_powers(Complex* out) = 0;

    // Write-through of one theoretical power per phase; reaches a bound tape at the next solve.
    void update_powers(const Complex* values);

    // One per phase (star n - 1, delta n), in phase order; not owned.
    std::vector<FlexibleParameter*> parameters;
    // The theoretical power of each phase, in phase order; the members shared with the other loads
    // (loads/setpoint_load.hpp) reach them through setpoint_list.
    SetpointList powers;
    static constexpr SetpointList AbstractFlexibleLoad::*setpoint_list =
        &AbstractFlexibleLoad::powers;

  protected:
    // n ports; reads one power per phase and takes the first parameter of each phase. A shorter
    // parameter list, or a null among the taken ones, is refused; a star load of no port is refused
    // with "vector::reserve", as the constant loads are.
    AbstractFlexibleLoad(int n, const Complex* values,
                         const std::vector<FlexibleParameter*>& given);
};

class FlexibleLoad final : public AbstractFlexibleLoad<FlexibleLoad> {
  public:
    using Wiring = StarWiring;
    FlexibleLoad(int n, const Complex* values, const std::vector<FlexibleParameter*>& given);
    ~FlexibleLoad() override;

    void get_inner_currents(Complex* out) override;
    void get_powers(Complex* out) override;

    // Write-through of the theoretical power of phase 0, the power of a single-phase load (n = 2).
    // The other phases of a larger load keep theirs; a load without phases has none to write.
    void update_power(const Complex& value);
};

class DeltaFlexibleLoad final : public AbstractFlexibleLoad<DeltaFlexibleLoad> {
  public:
    using Wiring = DeltaWiring;
    DeltaFlexibleLoad(int n, const Complex* values, const std::vector<FlexibleParameter*>& given);
    ~DeltaFlexibleLoad() override;

    // The pair currents conj(S_i / U_i), recomputed from the present potentials.
    void get_inner_currents(Complex* out) override;
    void get_powers(Complex* out) override;

    // (U_i, S_i) of pair i: U_i = V_i - V_((i+1) mod n), S_i = compute_power(|U_i|, s_i).
    std::pair<Complex, Complex> compute_pair_power(int i) const;
};

extern template class SetpointLoad<FlexibleLoad>;
extern template class SetpointLoad<DeltaFlexibleLoad>;
extern template class AbstractFlexibleLoad<FlexibleLoad>;
extern template class AbstractFlexibleLoad<DeltaFlexibleLoad>;

}  // namespace meshvolt
