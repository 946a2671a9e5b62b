// What Newton checks before it factorises the first Jacobian of a solve: every part of the network
// has a potential reference.
//
// A group of an element's ports (Element::potential_group) enters the element's currents and
// equations only through the differences of its potentials. The free nodes that such groups join
// form the parts of the network; adding one constant c to every potential of a part changes no
// current and no residual, so without a reference the Jacobian maps (c, c, ..., c) over the part
// to zero: it is singular, or rounding leaves a tiny pivot and the solve "converges" with the
// whole part shifted by an arbitrary c. A transformer has one group per side: its LV side is a
// part of its own, which the HV side's reference does not fix.
//
// A part is referenced when
//   - a group that reaches it also holds a port on a grounded node (a PotentialRef's node, whose
//     potential is the constant 0 and no variable): that group's differences pin the part; or
//   - it holds a port of a DeltaPotentialRef, whose equation Σ V = 0 fixes the constant.
// A Ground fixes nothing: its one port carries no current and enters no equation.
//
// Only parts that a group of two or more ports reaches are checked. A node that no such group
// touches (a bus port nothing else uses, one that only a Ground holds) has no Jacobian entry at
// all, and the structural test of the Jacobian already reports it.
#pragma once

#include "solvers/network.hpp"

namespace meshvolt {

// Throws std::runtime_error with Newton's coded message, naming the first node in the network's
// order of the first part without a potential reference; returns when every part has one.
void check_potential_references(const ElectricalNetwork& network);

}  // namespace meshvolt
