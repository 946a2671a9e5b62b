#include "solvers/potential_reference_check.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/potential_ref.hpp"
#include "solvers/node_names.hpp"
#include "solvers/node_parts.hpp"

namespace meshvolt {

namespace {

// What one port group of one element brings to the parts: the part its free nodes are joined
// into, whether it also reaches a grounded node, and how many ports it holds.
struct PortGroup {
    int part = -1;
    bool reaches_ground = false;
    int port_count = 0;
};

}  // namespace

std::ptrdiff_t first_unreferenced_node(const ElectricalNetwork& network) {
    NodeParts parts;
    // The network's nodes first: a node that an element has left since the network was made is
    // reached by no port, yet it is listed and named.
    for (const auto& node : network.connections) parts.of(node.get());
    // Part numbers noted while the parts still grow; their roots are taken once all are joined.
    std::vector<int> coupled;
    std::vector<int> referenced;
    std::vector<PortGroup> groups;
    for (const Element* element : network.elements) {
        groups.clear();
        for (int p = 0; p < element->port_count(); ++p) {
            const int part = parts.of(element->ports[static_cast<std::size_t>(p)].connection.get());
            const int g = element->potential_group(p);
            if (g < 0) continue;
            if (static_cast<std::size_t>(g) >= groups.size()) groups.resize(g + 1);
            PortGroup& group = groups[static_cast<std::size_t>(g)];
            ++group.port_count;
            if (part < 0)
                group.reaches_ground = true;
            else if (group.part < 0)
                group.part = part;
            else
                parts.join(part, group.part);
        }
        const bool fixes_sum = dynamic_cast<const DeltaPotentialRef*>(element) != nullptr;
        for (const PortGroup& group : groups) {
            if (group.part < 0) continue;
            if (group.port_count >= 2) coupled.push_back(group.part);
            if (group.reaches_ground || fixes_sum) referenced.push_back(group.part);
        }
    }

    std::vector<bool> is_coupled(parts.size(), false);
    std::vector<bool> is_referenced(parts.size(), false);
    for (int part : coupled) is_coupled[static_cast<std::size_t>(parts.root(part))] = true;
    for (int part : referenced) is_referenced[static_cast<std::size_t>(parts.root(part))] = true;
    for (std::size_t k = 0; k < network.connections.size(); ++k) {
        const auto part = parts.of(network.connections[k].get());
        if (part < 0) continue;
        const auto root = static_cast<std::size_t>(part);
        if (is_coupled[root] && !is_referenced[root]) return static_cast<std::ptrdiff_t>(k);
    }
    return -1;
}

void check_potential_references(const ElectricalNetwork& network,
                                std::ptrdiff_t unreferenced_node) {
    if (unreferenced_node < 0) return;
    const auto k = static_cast<std::size_t>(unreferenced_node);
    // A part made of the ports of one element alone: the element is joined to nothing, and joining
    // it is the fix. (The node's first element in list order; a node that its ports have left
    // lists none of them.)
    const Connection* node = network.connections[k].get();
    const auto reaches = [node](const Element* e) {
        return std::any_of(e->ports.begin(), e->ports.end(),
                           [node](const Port& p) { return p.connection.get() == node; });
    };
    const auto found = std::find_if(network.elements.begin(), network.elements.end(), reaches);
    const Element* owner = found == network.elements.end() ? nullptr : *found;
    const auto alone = [owner](const Port& p) {
        return std::all_of(p.connection->ports.begin(), p.connection->ports.end(),
                           [owner](const Port* member) { return member->element == owner; });
    };
    if (owner != nullptr && std::all_of(owner->ports.begin(), owner->ports.end(), alone)) {
        throw std::runtime_error("1 " + capitalized(element_name(network, owner)) +
                                 " is joined to nothing: its ports share their nodes with no other "
                                 "element, so the part of the network at " + node_name(network, k) +
                                 " has no potential reference; join the element to the network. ");
    }
    throw std::runtime_error("1 The part of the network at " + node_name(network, k) +
                             " has no potential reference: join one of its nodes to a "
                             "CyPotentialRef (a CyGround alone fixes nothing). ");
}

}  // namespace meshvolt
