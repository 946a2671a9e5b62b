#include "solvers/node_layout_check.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "solvers/node_names.hpp"

namespace meshvolt {

NodeLayoutCheck::NodeLayoutCheck(const ElectricalNetwork& network)
    : listed_(network.elements.begin(), network.elements.end()) {
    starts_.push_back(0);
    for (const auto& node : network.connections) {
        grounded_.push_back(node->grounded);
        for (const Port* port : node->ports)
            if (takes_part(*node, *port)) members_.push_back({port, port->element});
        starts_.push_back(members_.size());
    }
}

bool NodeLayoutCheck::takes_part(const Connection& node, const Port& port) const {
    return !node.grounded || listed_.count(port.element) != 0;
}

bool NodeLayoutCheck::unchanged(const Connection& node, std::size_t k) const {
    std::size_t next = starts_[k];
    for (const Port* port : node.ports) {
        if (!takes_part(node, *port)) continue;
        if (next == starts_[k + 1] || members_[next].port != port) return false;
        ++next;
    }
    return next == starts_[k + 1];
}

std::vector<const Port*> NodeLayoutCheck::members(const ElectricalNetwork& network,
                                                  std::size_t node) const {
    const Connection& connection = *network.connections[node];
    std::vector<const Port*> taking_part;
    for (const Port* port : connection.ports)
        if (takes_part(connection, *port)) taking_part.push_back(port);
    return taking_part;
}

std::string NodeLayoutCheck::change(const ElectricalNetwork& network) const {
    for (std::size_t k = 0; k < network.connections.size(); ++k) {
        // Grounding a free node takes its potential off the layout and its balance off the tape.
        if (network.connections[k]->grounded && !grounded_[k])
            return fmt::format("{} was grounded", node_name(network, k));
        if (unchanged(*network.connections[k], k)) continue;
        const std::vector<const Port*> now = members(network, k);
        const auto first = members_.begin() + static_cast<std::ptrdiff_t>(starts_[k]);
        const auto last = members_.begin() + static_cast<std::ptrdiff_t>(starts_[k + 1]);
        const auto same = [](const Port* port, const Member& m) { return port == m.port; };
        for (const Port* port : now)
            if (std::none_of(first, last, [&](const Member& m) { return same(port, m); }))
                return fmt::format("{} joined {}", port_name(network, *port),
                                   node_name(network, k));
        for (auto it = first; it != last; ++it) {
            if (std::find(now.begin(), now.end(), it->port) != now.end()) continue;
            // A listed element outlives the network; an unlisted one may be gone with its ports.
            return fmt::format("{} left {}",
                               listed_.count(it->element) != 0
                                   ? port_name(network, *it->port)
                                   : std::string("a port of an element outside the network"),
                               node_name(network, k));
        }
        return fmt::format("the member ports of {} changed their order", node_name(network, k));
    }
    return "";
}

std::string NodeLayoutCheck::unlisted_member(const ElectricalNetwork& network) const {
    for (std::size_t k = 0; k < network.connections.size(); ++k) {
        const Connection& node = *network.connections[k];
        if (node.grounded) continue;
        for (const Port* port : node.ports)
            if (listed_.count(port->element) == 0)
                return fmt::format("{} is joined to {} by its port {}",
                                   element_name(network, port->element), node_name(network, k),
                                   port_index(*port));
    }
    return "";
}

}  // namespace meshvolt
