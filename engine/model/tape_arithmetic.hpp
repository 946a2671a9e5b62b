// The arithmetic several current laws share, each operation in its plain spelling and its tape
// spelling side by side (overloads on Complex and ADComplex, or one template where both spellings
// are the same), so that a law written once over a reading (model/reading.hpp) records the tape
// form and computes the plain one. No law spells any of these itself: this table is the complete
// list of what the tape records differently from plain numbers.
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
//     M·x     a complex matrix M (a holder's, in either reading): Eigen's product in both, the
//             terms of each row summed left to right;
//             a constant real matrix M (winding, coupling and phase-to-neutral matrices), and
//             (f·M)·x with M scaled first by f (a double, or the tape scalar): the same code in
//             both, each part of each row summed from zero over all the row's entries,
//             Re y_r = Σ_c w_rc·Re x_c and Im y_r = Σ_c w_rc·Im x_c with w_rc = M(r, c) or
//             f·M(r, c). The tape drops the products by a constant 0 or 1 and the sums with a
//             constant 0, which plain numbers compute: there a 0 entry against a potential that is
//             not finite gives NaN, and a sum of zeros takes the sign IEEE gives it.
// Products of two complex values are the ordinary std::complex product in both spellings.
#pragma once

#include <cmath>
#include <complex>
#include <type_traits>

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

// (xa, xb, xc, xn) -> (xa - xn, xb - xn, xc - xn): the phase-to-neutral voltages of a star.
inline Eigen::Matrix<double, 3, 4> phase_to_neutral() {
    Eigen::Matrix<double, 3, 4> n;
    n << Eigen::Matrix3d::Identity(), -Eigen::Vector3d::Ones();
    return n;
}

// The rows of a constant real matrix M over a vector x of complex values, each part summed from
// zero over every entry of the row, left to right: Re y_r = Σ_c w(M(r, c))·Re x_c and
// Im y_r = Σ_c w(M(r, c))·Im x_c, with the weight w(m) of an entry m (a double, or the tape
// scalar).
template <class M, class X, class Weight>
Eigen::Matrix<typename X::Scalar, M::RowsAtCompileTime, 1> weighted_rows(
    const Eigen::MatrixBase<M>& m, const Eigen::MatrixBase<X>& x, const Weight& weight) {
    using R = typename X::Scalar::value_type;
    Eigen::Matrix<typename X::Scalar, M::RowsAtCompileTime, 1> y(m.rows());
    for (Eigen::Index r = 0; r < m.rows(); ++r) {
        R re(0.0), im(0.0);
        for (Eigen::Index c = 0; c < m.cols(); ++c) {
            const R w = weight(m(r, c));
            re += w * x[c].real();
            im += w * x[c].imag();
        }
        y[r] = typename X::Scalar(re, im);
    }
    return y;
}

// M·x: Eigen's product for a complex M, the rows' sums for a real one. The result has M's rows,
// and Eigen picks its product by the operands' own sizes.
template <class M, class X>
Eigen::Matrix<typename X::Scalar, M::RowsAtCompileTime, 1> matrix_times(
    const Eigen::MatrixBase<M>& m, const Eigen::MatrixBase<X>& x) {
    if constexpr (std::is_same_v<typename M::Scalar, double>) {
        using R = typename X::Scalar::value_type;
        return weighted_rows(m, x, [](double entry) { return R(entry); });
    } else {
        return m.derived() * x.derived();
    }
}

// (f·M)·x for a constant real M and a factor f (a double, or the tape scalar): the rows' sums
// with the weights f·M(r, c). The weights of the entries 0, 1 and -1 are the constant 0, f itself
// and one -f: on the tape, where f is a parameter, a product f·0 would be a parameter, not the
// constant 0, and its products would be recorded.
template <class M, class R, class X>
Eigen::Matrix<typename X::Scalar, M::RowsAtCompileTime, 1> scaled_matrix_times(
    const Eigen::MatrixBase<M>& m, const R& f, const Eigen::MatrixBase<X>& x) {
    const R minus_f = -f;
    return weighted_rows(m, x, [&](double entry) {
        return entry == 0.0    ? R(0.0)
               : entry == 1.0  ? f
               : entry == -1.0 ? minus_f
                               : R(f * entry);
    });
}

}  // namespace meshvolt
