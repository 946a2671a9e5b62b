// The current law of a single-phase two-winding pair, shared by the single-phase transformer (k its
// ratio) and the single-phase voltage regulator (k = c·e^(jφ) from its clamped tap c):
//
//     I2 = (U2 - k·U1)·(1/z2)            side-2 (LV, output) winding current
//     I1 = ym·U1 - conj(k)·I2            side-1 (HV, input) winding current
//
// U1 and U2 are the winding voltages, z2 the series impedance referred to side 2 and ym the
// magnetising admittance on side 1. 1/z2 is the reciprocal of model/tape_arithmetic.hpp (the full
// IEEE quotient 1.0/z2 in plain numbers, conj(z2)/|z2|² on the tape), so I2 is the same product in
// both. The backward steps of both take I2 from a node balance instead and give I1 by the law's
// second line, primary_current; their forward steps write the side-2 terminal potential that the
// first line solved for it gives, secondary_potential.
#pragma once

#include <complex>

#include "model/reading.hpp"

namespace meshvolt {

template <class C>
struct WindingCurrents {
    C i1;  // side 1
    C i2;  // side 2
};

// I1 = ym·U1 - conj(k)·I2.
template <class C>
C primary_current(const C& ym, const C& u1, const C& k, const C& i2) {
    return ym * u1 - std::conj(k) * i2;
}

// V2a = V2b + k·U1 + z2·I2: terminal a of side 2 from terminal b, U2 = V2a - V2b.
template <class C>
C secondary_potential(const C& v2b, const C& k, const C& u1, const C& z2, const C& i2) {
    return v2b + k * u1 + z2 * i2;
}

// I2, then I1 from it, with z2 and ym read by the reading.
template <class Reading>
WindingCurrents<typename Reading::Value> two_winding_currents(const typename Reading::Value& u1,
                                                              const typename Reading::Value& u2,
                                                              const typename Reading::Value& k,
                                                              const ComplexVariable& z2,
                                                              const ComplexVariable& ym) {
    const typename Reading::Value i2 = (u2 - k * u1) * reciprocal(Reading::parameter(z2));
    return {primary_current<typename Reading::Value>(Reading::parameter(ym), u1, k, i2), i2};
}

}  // namespace meshvolt
