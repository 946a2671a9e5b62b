// Newton's check that a converged answer has not run off to unbounded potentials at a port joined
// to nothing else.
//
// A node whose only member is one port p of an element without variables of its own (a load, a
// line, a transformer) must carry no current: I_p = 0. Where the element's law cannot give that at
// finite potentials (a single-phase constant-power load whose neutral is left alone:
// I = conj(S / U) vanishes only as |U| grows without end), Newton drives the node's potential
// outwards until I_p falls below the tolerance, and reports success with the node at 10¹¹ V and
// more. Such a node is refused when both hold:
//
//     |V_k| > 1000 · V_joined          V_joined the largest |V| of the nodes with two or more
//                                      members: far beyond what the sources and the
//                                      transformer ratios give the rest of the network;
//     0 < s · |V_k| ≤ 2 · tolerance    s = |∂I_p/∂V_k|, measured: the law sees the potential, but
//                                      moving the node by its whole potential changes its one
//                                      current by less than twice the tolerance, so the balance
//                                      no longer fixes the potential.
//
// Neither holds at the floating terminal of a sound network: a law that gives I_p = 0 at finite
// potentials (a star load's floating neutral, an admittance's open end) puts the node among the
// potentials of the element's other ports, and its balance pins the node down to the tolerance.
#pragma once

#include "solvers/network.hpp"

namespace meshvolt {

// Throws std::runtime_error with prefix + "it ran off to unbounded potentials at node k (...),
// |V| V, where ...; port p of element e (CyX) is joined to nothing else: join it to the network. "
// for the first such node; returns otherwise. The shown currents and potentials are left as they
// were. `layout` is the solver's, which tells the elements with variables of their own.
void check_bounded_potentials(const ElectricalNetwork& network, const ValueLayout& layout,
                              double tolerance, const char* prefix);

}  // namespace meshvolt
