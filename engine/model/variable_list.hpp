// A list of complex holders that play one part in an element, in order: a load's or a source's
// set-points (dynamic parameters), the current variables of a source or a closed switch. Each
// holder takes two entries of its solver vector (real part, then imaginary part), in list order.
#pragma once

#include <vector>

#include "model/variables.hpp"

namespace meshvolt {

using ComplexVariableList = std::vector<ComplexVariable>;
// A load's set-points: one per phase or pair.
using SetpointList = ComplexVariableList;

// Exactly `count` unbound holders from values[0..count-1] (at 0 when values is null). The list is
// reserved for exactly `count` entries first: a negative count is the reserve's length error
// "vector::reserve".
ComplexVariableList make_variable_list(long count, const Complex* values);

// The holders' own values, then their binding, in list order.
void push_each(const ComplexVariableList& list, std::vector<double>& values);
void bind_each(ComplexVariableList& list, const ADVector& tape, Eigen::VectorXd& values,
               int& index);
// Write-through of one value per holder, from consecutive positions.
void set_each(ComplexVariableList& list, const Complex* values);
// Leaving a solver that goes away: parameters unbind (release), variables keep the solver's value
// as their own first (keep).
void release_each_from(ComplexVariableList& list, const Eigen::VectorXd& parameters);
void keep_each_from(ComplexVariableList& list, const Eigen::VectorXd& variables);

}  // namespace meshvolt
