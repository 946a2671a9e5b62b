// Complex arithmetic that several current laws share, each operation in its plain spelling and
// its tape spelling side by side (overloads on Complex and ADComplex), so that a law written once
// over a reading (model/reading.hpp) records the tape form and computes the plain one.
//
// The tape never records a complex division or a complex abs of the AD scalar:
//     1/z     plain: the full IEEE quotient 1.0/z (with its recovery of infinities)
//             tape:  conj(z)/|z|², |z|² = Re(z)·Re(z) + Im(z)·Im(z), each part divided by it
//     x/z     plain: the full IEEE quotient x/z;  tape: x·(1/z)
//     |z|     plain: std::abs (hypot of the parts);  tape: sqrt(Re(z)·Re(z) + Im(z)·Im(z))
//     z·r     a complex z times a real r (a double, or the tape scalar): both parts multiplied by r
// Products of two complex values are the ordinary std::complex product in both spellings.
#pragma once

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

}  // namespace meshvolt
