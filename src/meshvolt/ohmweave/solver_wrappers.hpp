// The network and solver wrappers: CyElectricalNetwork gathers element wrappers into the engine's
// ElectricalNetwork; the abstract CyAbstractSolver and CyAbstractNewton carry the methods of the
// solver families, and CyNewton, CyNewtonGoldstein and CyBackwardForward each own one solver.
//
// Lifetime: the engine's network points to its elements, and a solver to its network, by plain
// pointers. The network wrapper therefore holds the element wrappers it was built from, and a
// solver wrapper holds its network wrapper, so that deleting the caller's names never leaves an
// engine object pointing into freed memory. A solver is destroyed before the network wrapper it
// holds is released (its destructor unbinds the network's holders).
#pragma once

#include "wrapper_type.hpp"

namespace meshvolt::ohmweave {

extern const TypeDefinition cy_electrical_network_type;
extern const TypeDefinition cy_abstract_solver_type;
extern const TypeDefinition cy_abstract_newton_type;
extern const TypeDefinition cy_newton_type;
extern const TypeDefinition cy_newton_goldstein_type;
extern const TypeDefinition cy_backward_forward_type;

}  // namespace meshvolt::ohmweave
