// The scalar types every current law is written on: CppAD's AD<double> on the tape, double and
// std::complex<double> in plain numbers. Real and imaginary parts are recorded as separate
// AD<double> values carried in a std::complex; no complex abs or division of the AD scalar is
// ever recorded (the laws spell these out).
#pragma once

#include <complex>
#include <vector>

#include <cppad/cppad.hpp>
#include <cppad/example/cppad_eigen.hpp>
#include <Eigen/Dense>

namespace meshvolt {

using ADScalar = CppAD::AD<double>;
using ADComplex = std::complex<ADScalar>;
using Complex = std::complex<double>;

// Recorded vectors: the independent variables, the dynamic parameters and the residuals.
using ADVector = Eigen::Matrix<ADScalar, Eigen::Dynamic, 1>;
using ADComplexVector = Eigen::Matrix<ADComplex, Eigen::Dynamic, 1>;
using ADComplexMatrix = Eigen::Matrix<ADComplex, Eigen::Dynamic, Eigen::Dynamic>;

// The tape's constants, parameters and never tape variables: the complex zero, and one real
// constant per entry of `values` (the values a recording starts from, or those that holders bound
// without a tape carry as their tape values).
inline ADComplex ad_zero() { return ADComplex(ADScalar(0.0), ADScalar(0.0)); }
inline ADVector ad_constants(const Eigen::VectorXd& values) { return values.cast<ADScalar>(); }

}  // namespace meshvolt
