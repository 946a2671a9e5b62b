// The two readings every element's current law is written over, once, as a template:
//
//   PlainReading  plain numbers: node potentials by the node read rule, holders by their read rule
//                 (the solver's value once bound, else the own value), the ports' `current`;
//   TapeReading   the tape: the nodes' and holders' recorded values (a grounded node reads the
//                 constant zero), the ports' `current_ad`.
//
// Both give the same names: Value (the complex scalar), Real (the real scalar), Vector (a dynamic
// Eigen column of Value), potential(port), parameter(holder) and variable(holder), current(port),
// zero(), a branch's side potentials and side currents, and require_bound, the refusal of a tape
// computation on holders that no solver has bound (their tape values would be read out of empty
// storage; nothing to refuse in plain numbers, where an unbound holder reads its own value).
//
// An element's compute_currents(on_tape) is then one line, write_currents_by(*this, on_tape),
// which runs the element's `template <class Reading> void write_currents()` on the tape or in
// plain numbers. The arithmetic the laws share, in its two spellings: model/tape_arithmetic.hpp.
//
// The equations are written the same way: an element whose equations tie potentials alone writes
// each once, `template <class Reading> Value equation(int i) const`; add_equations_by records them
// on the tape, equation_mismatch_by measures them in plain numbers for the sweeps' check, so the
// two cannot disagree.
#pragma once

#include <initializer_list>
#include <vector>

#include "model/branch.hpp"
#include "model/tape_arithmetic.hpp"
#include "model/variable_vector.hpp"

namespace meshvolt {

struct PlainReading {
    using Value = Complex;
    using Real = double;
    using Vector = Eigen::VectorXcd;

    static Complex potential(const Port& port) { return port.connection->get_potential(); }
    static Complex parameter(const ComplexVariable& v) { return v.get(); }
    static double parameter(const RealVariable& v) { return v.get(); }
    static Eigen::MatrixXcd parameter(const ComplexVariableMatrix& m) { return m.get(); }
    static Eigen::VectorXcd parameter(const ComplexVariableVector& v) { return v.get(); }
    static Complex variable(const ComplexVariable& v) { return v.get(); }
    static double variable(const RealVariable& v) { return v.get(); }
    static Complex& current(Port& port) { return port.current; }
    static Complex zero() { return Complex(0.0, 0.0); }

    static Eigen::VectorXcd side_potentials(const Branch& b, Side side) {
        return b.side_potentials(side);
    }
    static void set_side_currents(Branch& b, const Eigen::VectorXcd& c1,
                                  const Eigen::VectorXcd& c2) {
        b.set_side_currents(c1, c2);
    }
    static Eigen::VectorXcd vector(std::initializer_list<Complex> values) {
        return Eigen::Map<const Eigen::VectorXcd>(values.begin(),
                                                  static_cast<Eigen::Index>(values.size()));
    }

    static void require_bound(bool /*bound*/, const char* /*holders*/) {}
};

struct TapeReading {
    using Value = ADComplex;
    using Real = ADScalar;
    using Vector = ADComplexVector;

    static ADComplex potential(const Port& port) { return port.connection->get_potential_ad(); }
    static const ADComplex& parameter(const ComplexVariable& v) { return v.ad_value; }
    static const ADScalar& parameter(const RealVariable& v) { return v.ad_value; }
    static const ADComplexMatrix& parameter(const ComplexVariableMatrix& m) { return m.ad_value; }
    static const ADComplexVector& parameter(const ComplexVariableVector& v) { return v.ad_value; }
    static const ADComplex& variable(const ComplexVariable& v) { return v.ad_value; }
    static const ADScalar& variable(const RealVariable& v) { return v.ad_value; }
    static ADComplex& current(Port& port) { return port.current_ad; }
    static ADComplex zero() { return ad_zero(); }

    static ADComplexVector side_potentials(const Branch& b, Side side) {
        return b.side_potentials_ad(side);
    }
    static void set_side_currents(Branch& b, const ADComplexVector& c1, const ADComplexVector& c2) {
        b.set_side_currents_ad(c1, c2);
    }
    static ADComplexVector vector(std::initializer_list<ADComplex> values) {
        return Eigen::Map<const ADComplexVector>(values.begin(),
                                                 static_cast<Eigen::Index>(values.size()));
    }

    // Throws std::logic_error "<holders> not bound to a tape" when `bound` is false; `holders`
    // names them with their verb ("the parameters of a line are").
    static void require_bound(bool bound, const char* holders);
};

// The one compute_currents(on_tape) of every element: its current law on the tape or in plain
// numbers.
template <class E>
void write_currents_by(E& element, bool on_tape) {
    if (on_tape)
        element.template write_currents<TapeReading>();
    else
        element.template write_currents<PlainReading>();
}

// Every port's current the constant zero, in the given reading.
template <class Reading>
void write_zero_currents(std::vector<Port>& ports) {
    for (Port& port : ports) Reading::current(port) = Reading::zero();
}

// The one add_equations and the one equation_mismatch of the elements whose equations tie
// potentials alone (sources, closed switches, the delta potential reference), both over the
// element's `template <class Reading> Value equation(int i) const`, i = 0..equation_count()-1:
// recorded on the tape, real part first, from `index` on; or the largest modulus in plain
// numbers, NaN when one is NaN.
template <class E>
void add_equations_by(const E& element, ADVector& residuals, int& index) {
    for (int i = 0; i < element.equation_count(); ++i) {
        const ADComplex r = element.template equation<TapeReading>(i);
        residuals[index] = r.real();
        residuals[index + 1] = r.imag();
        index += 2;
    }
}

template <class E>
double equation_mismatch_by(const E& element) {
    double mismatch = 0.0;
    for (int i = 0; i < element.equation_count(); ++i)
        mismatch =
            max_measure(mismatch, modulus_measure(element.template equation<PlainReading>(i)));
    return mismatch;
}

}  // namespace meshvolt
