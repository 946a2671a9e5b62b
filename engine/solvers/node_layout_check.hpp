// What every solve checks of the network's nodes before it starts, since neither the tape nor a
// solver's layout follows a change of them:
//
//   1. every element joined to a free node of the network is one of the network's elements: the
//      currents of an element left out of the list would enter no balance, and the solve would
//      ignore it;
//   2. the member ports of each of the network's nodes are those it had when the solver was made,
//      and each node that was free then is free still: a join, a disconnection or a grounding since
//      then is in neither the recorded balances nor the layout.
//
// A port of an unlisted element on a node that was grounded already takes part in neither check: a
// grounded node has no balance, so such a port (a second potential reference on a grounded node,
// say) changes nothing that a solve computes.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

#include "solvers/network.hpp"

namespace meshvolt {

class NodeLayoutCheck {
  public:
    NodeLayoutCheck() = default;
    // Keeps the members of the network's nodes as they are now.
    explicit NodeLayoutCheck(const ElectricalNetwork& network);

    // What failed of check 2, as a clause for a solver's message ("port p of element e
    // (CyPowerLoad) joined node k (...)", or "... left node k (...)"), "" when it passes.
    // `network` is the one the members were kept of, in both checks.
    std::string change(const ElectricalNetwork& network) const;
    // What failed of check 1 ("a CyPowerLoad outside the network is joined to node k (...) by its
    // port p"), "" when it passes.
    std::string unlisted_member(const ElectricalNetwork& network) const;

  private:
    // Whether a member port takes part: any member of a free node, a listed one of a grounded node.
    bool takes_part(const Connection& node, const Port& port) const;
    // Whether node k's members that take part are those kept, in order.
    bool unchanged(const Connection& node, std::size_t k) const;
    // The members that take part, of the node at a position of the network's node list.
    std::vector<const Port*> members(const ElectricalNetwork& network, std::size_t node) const;

    std::unordered_set<const Element*> listed_;
    // The members of node k as they were: members_[starts_[k]] .. members_[starts_[k + 1] - 1],
    // each with its element, which is read only when listed (an unlisted one may be gone since).
    struct Member {
        const Port* port;
        const Element* element;
    };
    std::vector<std::size_t> starts_;
    std::vector<Member> members_;
    // Whether node k was grounded when the members were kept (a node never turns free again).
    std::vector<bool> grounded_;
};

}  // namespace meshvolt
