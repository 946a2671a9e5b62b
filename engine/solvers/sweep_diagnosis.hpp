// Why an answer of the backward-forward sweeps fails a check: the cause that the network's layout
// and the currents the sweeps left show, given as the tail of the refusal.
//
// The sweeps solve a radial network listed upstream first. At each free node one port, that of the
// branch or source that feeds it, takes its current from the node's balance in the backward sweep
// (Element::takes_balance_current), and the forward sweep drives the node's potential from
// upstream. The node where a part's current returns to its source (a star source's neutral that
// is not grounded) has no such port: it balances only if every current of the part comes back to
// it, so any current that leaves the part through earth and returns elsewhere leaves it
// unbalanced, and the sweeps, which never move that node, cannot find the potential at which the
// loop through earth would carry the right current. Newton solves such a part.
#pragma once

#include <cstddef>
#include <string>

#include "solvers/network.hpp"

namespace meshvolt {

// The cause of a free node (position in network.connections) whose currents sum to more than
// `allowance`, as "; " and a clause:
//   the node's part holds no voltage source;
//   a port of the node takes its balance: the elements are probably not listed upstream first;
//   none does and the node is the common node of a shunt line, which only a grounding balances;
//   the node's only member is one port: that port is joined to nothing else;
//   none does, a source's current returns there and current leaves the node's part through
//   earth: groundings that close a loop through earth, or a part tied to earth only away from
//   the node, named with the nodes where they tie into the part;
//   none does otherwise: an element of the part that does not conserve current.
std::string unbalanced_node_cause(const ElectricalNetwork& network, std::size_t node,
                                  double allowance);

// The cause of an element (position in network.elements) whose port currents follow its law
// neither at the final potentials nor at those of the last backward sweep, as "; " and a clause:
// its part holds no voltage source, or else its own backward step does not follow its law.
std::string law_failure_cause(const ElectricalNetwork& network, std::size_t element);

}  // namespace meshvolt
