// Backward-forward sweeps: no tape, no Jacobian.
//
// Each iteration runs a backward sweep (every element, last to first, derives its port currents
// from the currents already known at its nodes) and a forward sweep (every element, first to
// last, propagates node potentials and reports the change it made). The solve stops when the
// largest change of a forward sweep is within the tolerance or the iteration limit is reached;
// iterations count from 1 and at least one pair of sweeps always runs.
#pragma once

#include <utility>

#include "solvers/abstract_solver.hpp"

namespace meshvolt {

class BackwardForward : public AbstractSolver {
  public:
    // Gathers the network's values and binds them to this solver's vectors without recording.
    explicit BackwardForward(ElectricalNetwork* network);

    // Returns (iterations, largest change of the last forward sweep). A NaN change throws
    // "2 NaN value encountered at iteration {}. " after the whole forward sweep.
    std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;
};

}  // namespace meshvolt
