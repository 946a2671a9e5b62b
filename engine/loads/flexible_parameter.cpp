#include "loads/flexible_parameter.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "model/reading.hpp"
#include "model/tape_arithmetic.hpp"

namespace meshvolt {

namespace {

ControlType control_type(const std::string& t) {
    static const std::pair<const char*, ControlType> names[] = {
        {"constant", ControlType::constant},
        {"q_u", ControlType::q_u},
        {"p_max_u_production", ControlType::p_max_u_production},
        {"p_max_u_consumption", ControlType::p_max_u_consumption},
    };
    for (const auto& [name, kind] : names)
        if (t == name) return kind;
    throw std::runtime_error(t + " is a bad control type name");
}

ProjectionType projection_type(const std::string& t) {
    static const std::pair<const char*, ProjectionType> names[] = {
        {"euclidean", ProjectionType::euclidean},
        {"keep_p", ProjectionType::keep_p},
        {"keep_q", ProjectionType::keep_q},
    };
    for (const auto& [name, kind] : names)
        if (t == name) return kind;
    throw std::runtime_error(t + " is a bad projection type name");
}

}  // namespace

// --- Control -------------------------------------------------------------------------------

Control::Control(const std::string& t, double u_min_in, double u_down_in, double u_up_in,
                 double u_max_in, double alpha_in, double epsilon_in)
    : kind(control_type(t)),
      u_min(u_min_in),
      u_down(u_down_in),
      u_up(u_up_in),
      u_max(u_max_in),
      alpha(alpha_in),
      epsilon(epsilon_in),
      up_span(u_max - u_up),
      down_span(u_down - u_min),
      a(u_min / u_max),
      b(u_down / u_max),
      g(u_up / u_max),
      low_factor(1.0 / ((a - b) * alpha)),
      high_factor(1.0 / ((1.0 - g) * alpha)) {}

template <class S>
S Control::production(const S& x, const S& p, const S& s_max) const {
    using std::exp;
    const S e = ((p / s_max + 1.0) * up_span + u_up) / u_max;
    const S v = x / u_max;
    const S d = alpha * (epsilon * exp(-(1.0 - e) / epsilon) + 1.0 - e);
    return p * (1.0 + (softplus(S(alpha * (v - 1.0))) - softplus(S(alpha * (v - e)))) / d);
}

template <class S>
S Control::consumption(const S& x, const S& p, const S& s_max) const {
    using std::exp;
    const S e = (u_down - (1.0 - p / s_max) * down_span) / u_min;
    const S v = x / u_min;
    const S d = -alpha * (epsilon * exp(-(e - 1.0) / epsilon) + e - 1.0);
    return p * (softplus(S(alpha * (v - e))) - softplus(S(alpha * (v - 1.0)))) / d;
}

template <class S>
S Control::q_u(const S& x, const S& q, const S& q_min, const S& q_max) const {
    const S v = x / u_max;
    const S l1 = softplus(S(alpha * (v - b))) - softplus(S(alpha * (v - a)));
    const S l2 = softplus(S(alpha * (v - g))) - softplus(S(alpha * (v - 1.0)));
    return q + (q - q_min) * (l1 * low_factor - 1.0) + (q_max - q) * l2 * high_factor;
}

template double Control::production(const double&, const double&, const double&) const;
template ADScalar Control::production(const ADScalar&, const ADScalar&, const ADScalar&) const;
template double Control::consumption(const double&, const double&, const double&) const;
template ADScalar Control::consumption(const ADScalar&, const ADScalar&, const ADScalar&) const;
template double Control::q_u(const double&, const double&, const double&, const double&) const;
template ADScalar Control::q_u(const ADScalar&, const ADScalar&, const ADScalar&,
                               const ADScalar&) const;

// --- Projection ----------------------------------------------------------------------------

Projection::Projection(const std::string& t, double alpha_in, double epsilon_in)
    : kind(projection_type(t)),
      alpha(alpha_in),
      epsilon(epsilon_in),
      weight(-0.15 * alpha),
      inv_alpha(1.0 / alpha) {}

template <class S>
S Projection::smooth_minimum(const S& a_value, const S& b_value) const {
    using std::exp;
    const S wa = weight * a_value;
    const S wb = weight * b_value;
    // Both exponents shifted by the larger one: one weight is exactly 1, the other in [0, 1].
    const S shift = larger(wa, wb);
    const S ea = exp(wa - shift);
    const S eb = exp(wb - shift);
    return (a_value * ea + b_value * eb) / (ea + eb);
}

template <class S>
void Projection::apply(S& p, S& q, bool negative_request) const {
    using std::exp;
    using std::sqrt;
    using std::tanh;
    switch (kind) {
        case ProjectionType::euclidean: {
            const S r2 = p * p + q * q;
            const S r = sqrt(r2 + epsilon * exp(-r2 / epsilon));
            const S f = 1.0 + softplus(S(alpha * (r - 1.0))) * inv_alpha;
            p = p / f;
            q = q / f;
            break;
        }
        case ProjectionType::keep_p: {
            S m = smooth_minimum(S(q * q), S(1.0 - p * p));
            m = m + epsilon * exp(-m / epsilon);
            q = tanh(alpha * q) * sqrt(m);
            break;
        }
        case ProjectionType::keep_q: {
            S m = smooth_minimum(S(p * p), S(1.0 - q * q));
            m = m + epsilon * exp(-m / epsilon);
            p = (negative_request ? -1.0 : 1.0) * sqrt(m);
            break;
        }
    }
}

template void Projection::apply(double&, double&, bool) const;
template void Projection::apply(ADScalar&, ADScalar&, bool) const;

// --- FlexibleParameter ---------------------------------------------------------------------

FlexibleParameter::FlexibleParameter(const Control& control_p_in, const Control& control_q_in,
                                     const Projection& projection_in, double s_max_in,
                                     double q_min_in, double q_max_in)
    : control_p(control_p_in),
      control_q(control_q_in),
      projection(projection_in),
      s_max(s_max_in),
      q_min(q_min_in),
      q_max(q_max_in) {}

template <class S>
std::complex<S> FlexibleParameter::law(const S& x, const std::complex<S>& s_th, const S& s,
                                       const S& qmin, const S& qmax) const {
    const S requested_p = s_th.real();
    const S requested_q = s_th.imag();
    S p;
    switch (control_p.kind) {
        case ControlType::constant: p = requested_p; break;
        case ControlType::p_max_u_production: p = control_p.production(x, requested_p, s); break;
        case ControlType::p_max_u_consumption: p = control_p.consumption(x, requested_p, s); break;
        default: throw std::runtime_error("Bad control type for P");
    }
    S q;
    switch (control_q.kind) {
        case ControlType::constant: q = requested_q; break;
        case ControlType::q_u: q = control_q.q_u(x, requested_q, qmin, qmax); break;
        default: throw std::runtime_error("Bad control type for Q");
    }
    p = p / s;
    q = q / s;
    // On the tape this compares the value Re(s_th) has while recording.
    projection.apply(p, q, requested_p < 0.0);
    return std::complex<S>(s * p, s * q);
}

template <class Reading>
typename Reading::Value FlexibleParameter::power(const typename Reading::Real& x,
                                                 const typename Reading::Value& s_th) const {
    if (control_p.kind == ControlType::constant && control_q.kind == ControlType::constant)
        return s_th;
    return law(x, s_th, Reading::parameter(s_max), Reading::parameter(q_min),
               Reading::parameter(q_max));
}

template Complex FlexibleParameter::power<PlainReading>(const double&, const Complex&) const;
template ADComplex FlexibleParameter::power<TapeReading>(const ADScalar&, const ADComplex&) const;

Complex FlexibleParameter::compute_power(double x, const Complex& s_th) const {
    return power<PlainReading>(x, s_th);
}

ADComplex FlexibleParameter::compute_power_ad(const ADScalar& x, const ADComplex& s_th) const {
    return power<TapeReading>(x, s_th);
}

void FlexibleParameter::update_parameters(double s_max_in, double q_min_in, double q_max_in) {
    s_max.set(s_max_in);
    q_min.set(q_min_in);
    q_max.set(q_max_in);
}

template <class Self, class Visit>
void FlexibleParameter::visit_parameters(Self& self, Visit visit) {
    // The layout of the limits in the solver's vector.
    visit(self.s_max);
    visit(self.q_min);
    visit(self.q_max);
}

void FlexibleParameter::push_values(std::vector<double>& values) const {
    visit_parameters(*this, [&](const RealVariable& limit) { limit.push_value(values); });
}

void FlexibleParameter::bind(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    visit_parameters(*this, [&](RealVariable& limit) { limit.bind(tape, values, index); });
}

void FlexibleParameter::release_from(const Eigen::VectorXd& storage) {
    visit_parameters(*this, [&](RealVariable& limit) { limit.release_from(storage); });
}

}  // namespace meshvolt
