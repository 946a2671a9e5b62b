// The law of the constant-power, constant-current and constant-admittance loads.
//
// Phase or pair i draws I_i = Law::current(s_i, U_i) from its set-point s_i and its voltage U_i;
// T::Wiring (StarWiring or DeltaWiring, loads/load_wiring.hpp) gives the voltages U_i and how the
// I_i land on the ports (currents positive into the load). What the loads share with the flexible
// loads (their set-points and the element protocol over them): loads/setpoint_load.hpp.
//
// Each family (loads/power_load.hpp, current_load.hpp, admittance_load.hpp) adds its law and its
// set-point list, under its own name; the specializations are instantiated in constant_load.cpp
// and declared extern in the family headers.
#pragma once

#include "loads/load_wiring.hpp"
#include "loads/setpoint_load.hpp"

namespace meshvolt {

template <class T, class Law>
class ConstantLoad : public SetpointLoad<T> {
  public:
    // I_i = Law::current(s_i, U_i) wired onto the ports, on the tape or in plain numbers.
    template <class Reading>
    void write_currents();

  protected:
    explicit ConstantLoad(int n) : SetpointLoad<T>(n) {}
};

}  // namespace meshvolt
