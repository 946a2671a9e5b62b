// Parts of a network's free nodes: a union-find over the nodes that the elements' ports reach. The
// caller joins the nodes that an element ties together; a grounded node belongs to no part, so it
// ties nothing to anything.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "solvers/network.hpp"

namespace meshvolt {

class NodeParts {
  public:
    // The part of a free node, met for the first time or not; -1 for a grounded one.
    int of(const Connection* node) {
        if (node->grounded) return -1;
        const auto [it, added] = index_.emplace(node, static_cast<int>(parent_.size()));
        if (added) parent_.push_back(it->second);
        return root(it->second);
    }
    // One part of the two; nothing when either is -1.
    void join(int a, int b) {
        if (a >= 0 && b >= 0) parent_[root(a)] = root(b);
    }
    // The part that a part number returned earlier belongs to now.
    int root(int k) {
        while (parent_[k] != k) k = parent_[k] = parent_[parent_[k]];
        return k;
    }
    // The number of free nodes met: part numbers are below it.
    std::size_t size() const { return parent_.size(); }

  private:
    std::unordered_map<const Connection*, int> index_;
    std::vector<int> parent_;
};

// The parts through which current flows: the free nodes of the network's elements, joined by every
// element that passes current between its ports (Element::joins_its_ports).
inline NodeParts conducting_parts(const ElectricalNetwork& network) {
    NodeParts parts;
    for (const Element* element : network.elements) {
        int first = -1;
        for (const Port& port : element->ports) {
            const int part = parts.of(port.connection.get());
            if (!element->joins_its_ports()) continue;
            if (first < 0) first = part;
            parts.join(part, first);
        }
    }
    return parts;
}

// Whether each part of conducting_parts(network) holds a port of a voltage source
// (Element::supply), by part number: a part's root, as `of` gives it from now on.
inline std::vector<bool> fed_parts(const ElectricalNetwork& network, NodeParts& parts) {
    std::vector<bool> fed(parts.size(), false);
    for (const Element* element : network.elements) {
        if (element->supply() != Element::Supply::source) continue;
        for (const Port& port : element->ports) {
            const int part = parts.of(port.connection.get());
            if (part >= 0) fed[static_cast<std::size_t>(part)] = true;
        }
    }
    return fed;
}

}  // namespace meshvolt
