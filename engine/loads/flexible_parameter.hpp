// How the power of one phase of a flexible load follows the voltage magnitude x of that phase.
//
// A FlexibleParameter turns the requested (theoretical) power s = P + jQ into the actual power:
//   1. both laws "constant": s itself (no projection, s_max unread);
//   2. P' from the active law (control_p), Q' from the reactive law (control_q);
//   3. the projection maps (p, q) = (P', Q')/S, S = s_max, into the unit circle;
//   4. the result is S·(p, q).
// With sp(z) = ln(1 + e^z), the softplus of model/tape_arithmetic.hpp (sharpness 1, overflow-free):
//
// "p_max_u_production" (active, -S <= P <= 0: P' = P up to the knee e·u_max, then a straight line
// to 0 at u_max, 0 above):
//     e = ((P/S + 1)·(u_max - u_up) + u_up) / u_max,   v = x / u_max
//     d = α·(ε·exp(-(1 - e)/ε) + 1 - e)
//     P' = P·(1 + (sp(α(v - 1)) - sp(α(v - e))) / d)
// "p_max_u_consumption" (active, 0 <= P <= S: P' = 0 up to u_min, a straight line to P at e·u_min,
// P above):
//     e = (u_down - (1 - P/S)·(u_down - u_min)) / u_min,   v = x / u_min
//     d = -α·(ε·exp(-(e - 1)/ε) + e - 1)
//     P' = P·(sp(α(v - e)) - sp(α(v - 1))) / d
// "q_u" (reactive: q_min below u_min, a line to Q at u_down, Q up to u_up, a line to q_max at
// u_max, q_max above), with v = x/u_max and a, b, g = u_min, u_down, u_up over u_max:
//     L1 = sp(α(v - b)) - sp(α(v - a)),   L2 = sp(α(v - g)) - sp(α(v - 1))
//     Q' = Q + (Q - q_min)·(L1/((a - b)α) - 1) + (q_max - Q)·L2/((1 - g)α)
// Projections, with w = -0.15·α and the smooth minimum of A and B, shifted by the larger exponent
// so that neither exponential overflows:
//     smin(A, B) = (A·e^(wA - c) + B·e^(wB - c)) / (e^(wA - c) + e^(wB - c)),  c = larger(wA, wB)
//     positive(m) = m + ε·exp(-m/ε)
// "euclidean": r = sqrt(p² + q² + ε·exp(-(p² + q²)/ε)), f = 1 + sp(α(r - 1))/α, (p, q) /= f
// "keep_p":    q := tanh(α·q)·sqrt(positive(smin(q², 1 - p²)))
// "keep_q":    p := σ·sqrt(positive(smin(p², 1 - q²))), σ = -1 when the requested P < 0, else +1
//
// Every number that depends only on a law's own fields (u_max - u_up, u_down - u_min, a, b, g,
// 1/((a - b)α), 1/((1 - g)α), w, 1/α) is computed once at construction; on the tape it is a
// constant. The limits s_max, q_min and q_max are dynamic parameters, gathered and bound by the
// network once per FlexibleParameter (solvers/network.hpp).
#pragma once

#include <string>

#include "model/variables.hpp"

namespace meshvolt {

class AbstractSolver;

enum class ControlType : int {
    constant = 0,
    q_u = 1,
    p_max_u_production = 2,
    p_max_u_consumption = 3,
};

enum class ProjectionType : int { euclidean = 0, keep_p = 1, keep_q = 2 };

class Control {
  public:
    // t: "constant", "q_u", "p_max_u_production" or "p_max_u_consumption" (case-sensitive); any
    // other text throws "<t> is a bad control type name". The numbers are taken as they are.
    Control(const std::string& t, double u_min, double u_down, double u_up, double u_max,
            double alpha, double epsilon);

    // The active laws (kind p_max_u_production or p_max_u_consumption): P' from P at x.
    template <class S>
    S production(const S& x, const S& p, const S& s_max) const;
    template <class S>
    S consumption(const S& x, const S& p, const S& s_max) const;
    // The reactive law (kind q_u): Q' from Q at x.
    template <class S>
    S q_u(const S& x, const S& q, const S& q_min, const S& q_max) const;

    ControlType kind;
    double u_min;
    double u_down;
    double u_up;
    double u_max;
    double alpha;
    double epsilon;

  private:
    double up_span;        // u_max - u_up
    double down_span;      // u_down - u_min
    double a, b, g;        // u_min, u_down, u_up over u_max
    double low_factor;     // 1/((a - b)·α)
    double high_factor;    // 1/((1 - g)·α)
};

class Projection {
  public:
    // t: "euclidean", "keep_p" or "keep_q" (case-sensitive); any other text throws
    // "<t> is a bad projection type name".
    Projection(const std::string& t, double alpha, double epsilon);

    // (p, q) in place; `negative_request` is σ = -1 of "keep_q" (the requested P below 0).
    template <class S>
    void apply(S& p, S& q, bool negative_request) const;

    ProjectionType kind;
    double alpha;
    double epsilon;

  private:
    template <class S>
    S smooth_minimum(const S& a, const S& b) const;

    double weight;     // -0.15·α
    double inv_alpha;  // 1/α
};

class FlexibleParameter {
  public:
    FlexibleParameter(const Control& control_p, const Control& control_q,
                      const Projection& projection, double s_max, double q_min, double q_max);

    // The actual power at voltage magnitude x for the requested power s_th; the limits by the
    // holder read rule. A law of the wrong kind for its role throws "Bad control type for P" or
    // "Bad control type for Q" (the active law is examined first).
    Complex compute_power(double x, const Complex& s_th) const;
    // The same law recorded on the tape, the limits being their bound tape values. The sign σ of
    // "keep_q" is decided from the value of Re(s_th) when recording and stays on the tape.
    ADComplex compute_power_ad(const ADScalar& x, const ADComplex& s_th) const;
    // Either of the two, by the reading (model/reading.hpp) of the limits.
    template <class Reading>
    typename Reading::Value power(const typename Reading::Real& x,
                                  const typename Reading::Value& s_th) const;

    // Write-through of the three limits; a bound solver takes them at its next solve.
    void update_parameters(double s_max, double q_min, double q_max);

    // The three limits in gathering order (s_max, q_min, q_max).
    void push_values(std::vector<double>& values) const;
    void bind(const ADVector& tape, Eigen::VectorXd& values, int& index);
    void release_from(const Eigen::VectorXd& storage);

    Control control_p;
    Control control_q;
    Projection projection;
    RealVariable s_max;
    RealVariable q_min;
    RealVariable q_max;
    // The solver whose vectors the limits are bound to; null when unbound or when that solver is
    // gone (a solver still on the network then binds them at its next solve).
    const AbstractSolver* values_owner = nullptr;

  private:
    // Calls visit on each limit holder of `self` (this object, const or not), in the order of
    // their entries in the solver's vector.
    template <class Self, class Visit>
    static void visit_parameters(Self& self, Visit visit);

    template <class S>
    std::complex<S> law(const S& x, const std::complex<S>& s_th, const S& s, const S& qmin,
                        const S& qmax) const;
};

}  // namespace meshvolt
