#include "solvers/unbounded_potential_check.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "solvers/held_ports.hpp"
#include "solvers/node_names.hpp"

namespace meshvolt {

namespace {

// |∂I_p/∂V| for the node of port p alone, the larger of its real and imaginary directions, from a
// move of h = 2^-20 · |V|; the element's currents are put back.
double own_sensitivity(Port& port) {
    Element& element = *port.element;
    const auto p = static_cast<std::size_t>(port_index(port));
    const HeldPorts held(element);
    Connection& node = *port.connection;
    const double h = std::ldexp(std::abs(node.get_potential()), -20);
    element.compute_currents(false);
    double sensitivity = 0.0;
    for (const std::vector<double>& change : law_changes(element, node, h))
        sensitivity = max_measure(sensitivity, change[p]);
    return sensitivity;
}

}  // namespace

void check_bounded_potentials(const ElectricalNetwork& network, const ValueLayout& layout,
                              double tolerance, const char* prefix) {
    double joined = 0.0;
    for (const auto& node : network.connections)
        if (node->ports.size() >= 2) joined = std::max(joined, std::abs(node->get_potential()));
    for (std::size_t k = 0; k < network.connections.size(); ++k) {
        Connection& node = *network.connections[k];
        if (node.grounded || node.ports.size() != 1) continue;
        const double v = std::abs(node.get_potential());
        if (!(v > 1000.0 * joined)) continue;
        Port& port = *node.ports.front();
        // The currents of an element with variables (a source, a switch) are those variables: its
        // equations, not this balance, fix the potential. (A solve refuses a free node joined to
        // an element outside the network, so the element is listed.)
        const auto listed = std::find(network.elements.begin(), network.elements.end(),
                                      port.element);
        if (listed == network.elements.end() ||
            layout.has_own_variables(static_cast<std::size_t>(listed - network.elements.begin())))
            continue;
        // A law that does not see the potential at all (a bus, a ground) is content anywhere.
        const double sensitivity = own_sensitivity(port);
        if (!(sensitivity > 0.0 && sensitivity * v <= 2.0 * tolerance)) continue;
        throw std::runtime_error(fmt::format(
            "{}it ran off to unbounded potentials at {}, {:.3g} V, where the current of that port "
            "vanishes; {} is joined to nothing else: join it to the network. ",
            prefix, node_name(network, k), v, port_name(network, port)));
    }
}

}  // namespace meshvolt
