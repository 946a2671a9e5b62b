#include "solvers/node_names.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace meshvolt {

std::string element_name(const ElectricalNetwork& network, const Element* element) {
    const auto& elements = network.elements;
    const auto it = std::find(elements.begin(), elements.end(), element);
    if (it == elements.end()) return "an element outside the network";
    return fmt::format("element {}", it - elements.begin());
}

std::string node_name(const ElectricalNetwork& network, std::size_t k) {
    const Connection& node = *network.connections[k];
    if (node.ports.empty()) return fmt::format("node {}", k);
    const Port* port = node.ports.front();
    const auto& owner_ports = port->element->ports;
    return fmt::format("node {} (port {} of {})", k, port - owner_ports.data(),
                       element_name(network, port->element));
}

}  // namespace meshvolt
