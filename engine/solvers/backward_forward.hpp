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
#include "solvers/element_law_check.hpp"

namespace meshvolt {

class BackwardForward : public AbstractSolver {
  public:
    // Gathers the network's values and binds them to this solver's vectors without recording.
    explicit BackwardForward(ElectricalNetwork* network);

    // Returns (iterations, largest change of the last forward sweep). A NaN change, or a NaN
    // potential or port current anywhere after the sweeps, throws
    // "2 NaN value encountered at iteration {}. " after the whole forward sweep. A change within
    // the tolerance returns only after the answer passes the checks of solution_check.hpp
    // (Kirchhoff's current law to rounding: currents within 1e-9 of the largest port current)
    // and those of element_law_check.hpp (every element without variables shows its own law's
    // currents at the final potentials); a failed check throws a coded "2 " error that names the
    // node or element and the likely cause.
    std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;

  private:
    ElementLawCheck law_check_;
};

}  // namespace meshvolt
