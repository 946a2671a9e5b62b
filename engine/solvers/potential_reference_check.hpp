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

#include <cstddef>

#include "solvers/network.hpp"

namespace meshvolt {

// The position in the network's node list of the first node, in that order, that lies in a part
// without a potential reference; -1 when every part has one. The layout alone decides it, so a
// solver keeps it from one solve to the next while the layout holds (layout_memo.hpp).
std::ptrdiff_t first_unreferenced_node(const ElectricalNetwork& network);

// Throws std::runtime_error with Newton's coded message naming node `unreferenced_node`
// (first_unreferenced_node of the network); returns when it is -1.
void check_potential_references(const ElectricalNetwork& network, std::ptrdiff_t unreferenced_node);

}  // namespace meshvolt
