// A load's set-points: one complex dynamic parameter per phase or pair, in order. Each takes two
// entries of the parameter vector (real part, then imaginary part).
#pragma once

#include <vector>

#include "model/variables.hpp"

namespace meshvolt {

using SetpointList = std::vector<ComplexVariable>;

// Exactly `count` unbound set-points from values[0..count-1]. The list is reserved for exactly
// `count` entries first: a negative count is the reserve's length error "vector::reserve".
SetpointList make_setpoints(long count, const Complex* values);

void push_setpoints(const SetpointList& setpoints, std::vector<double>& values);
void bind_setpoints(SetpointList& setpoints, const ADVector& tape, Eigen::VectorXd& values, int& index);
// Write-through of one value per set-point, from consecutive positions.
void update_setpoints(SetpointList& setpoints, const Complex* values);
void release_setpoints(SetpointList& setpoints, const Eigen::VectorXd& parameters);

}  // namespace meshvolt
