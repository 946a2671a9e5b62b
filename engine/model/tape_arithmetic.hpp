// The arithmetic several current laws share, each operation in its plain spelling and its tape
// spelling side by side (overloads on Complex and ADComplex, or one template where both spellings
// are the same), so that a law written once over a reading (model/reading.hpp) records the tape
// form and computes the plain one.
//
// The tape never records a complex division or a complex abs of the AD scalar, nor a branch:
//     1/z     plain: the full IEEE quotient 1.0/z (with its recovery of infinities)
//             tape:  conj(z)/|z|², |z|² = Re(z)·Re(z) + Im(z)·Im(z), each part divided by it
//     x/z     plain: the full IEEE quotient x/z;  tape: x·(1/z)
//     |z|     plain: std::abs (hypot of the parts);  tape: sqrt(Re(z)·Re(z) + Im(z)·Im(z))
//     z·r     a complex z times a real r (a double, or the tape scalar): both parts multiplied by r
//     larger(a, b)  plain: a > b ? a : b;  tape: CondExpGt(a, b, a, b), a comparison the tape
//             makes again at every evaluation (a branch would keep the side taken when recording)
//     sp(z)   softplus of sharpness a > 0 (a = 1 unless given), ln(1 + e^(a·z))/a, in one spelling
//             for both that has no exponential of a positive number, so it stays finite (≈ z)
//             where e^(a·z) overflows:
//                 sp(z) = z/2 + |z|/2 + log1p(e^(-a·|z|))/a
//             z/2 + |z|/2 is max(z, 0), exact in plain numbers and free of overflow; on the tape,
//             whose |z| has the slope sign(0) = 0 at z = 0, the terms' slopes 1/2 + sign(z)/2 -
//             sign(z)·e^(-a|z|)/(1 + e^(-a|z|)) give e^(a·z)/(1 + e^(a·z)) everywhere, the slope
//             1/2 at the knee included (a hard max(z, 0) would give 0 there).
// Products of two complex values are the ordinary std::complex product in both spellings.
#pragma once

#include <cmath>
#include <complex>

#include "model/ad_types.hpp"

namespace meshvolt {

inline Complex reciprocal(const Complex& z) { return 1.0 / z; }
inline ADComplex reciprocal(const ADComplex& z) {
    // Each part is its own statement, so the tape records them in this order: the real part,
    // then the imaginary part negated and divided (constructor arguments have no order).
    const ADScalar squared_modulus = z.real() * z.real() + z.imag() * z.imag();
    const ADScalar real = z.real() / squared_modulus;
    const ADScalar imag = (-z.imag()) / squared_modulus;
    return ADComplex(real, imag);
}

inline Complex divide(const Complex& x, const Complex& z) { return x / z; }
inline ADComplex divide(const ADComplex& x, const ADComplex& z) { return x * reciprocal(z); }

inline double magnitude(const Complex& z) { return std::abs(z); }
inline ADScalar magnitude(const ADComplex& z) {
    return CppAD::sqrt(z.real() * z.real() + z.imag() * z.imag());
}

template <class C, class R>
C scaled(const C& z, const R& r) {
    return C(z.real() * r, z.imag() * r);
}

inline double larger(double a, double b) { return a > b ? a : b; }
inline ADScalar larger(const ADScalar& a, const ADScalar& b) {
    return CppAD::CondExpGt(a, b, a, b);
}

template <class S>
S softplus(const S& z, double sharpness = 1.0) {
    using std::abs;
    using std::exp;
    using std::log1p;
    const S modulus = abs(z);
    return 0.5 * z + 0.5 * modulus + log1p(exp(-sharpness * modulus)) / sharpness;
}

}  // namespace meshvolt
