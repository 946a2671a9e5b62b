// Holder of a vector of complex dynamic parameters (the shunt line's extra-node coefficients).
//
// Same scheme as the other holders: the own vector until a solver binds it, then the solver's
// entries (value_ptr) and the tape's entries (ad_value). Entry k takes the solver entries 2k
// (real part) and 2k + 1 (imaginary part) from value_ptr on.
#pragma once

#include "model/variables.hpp"

namespace meshvolt {

struct ComplexVariableVector : SolverBinding<ComplexVariableVector> {
    ADComplexVector ad_value;
    Eigen::VectorXcd value;

    ComplexVariableVector() = default;
    explicit ComplexVariableVector(Eigen::VectorXcd initial) : value(std::move(initial)) {}

    static ADComplexVector unbound_tape_value() { return ADComplexVector(); }

    Eigen::Index size() const { return value.size(); }

    // Real part, then imaginary part of each entry, in index order.
    void push_values(std::vector<double>& values) const;
    void bind(const ADVector& tape, Eigen::VectorXd& values, int& index);
    // Read rule: the solver's entries once bound, else the own vector.
    Complex get(Eigen::Index k) const {
        return bound ? Complex(value_ptr[2 * k], value_ptr[2 * k + 1]) : value(k);
    }
    Eigen::VectorXcd get() const;
    // Write-through of a vector of the holder's size (another size is refused once bound: the
    // solver owns exactly 2·size entries).
    void set(const Eigen::VectorXcd& v);
};

}  // namespace meshvolt
