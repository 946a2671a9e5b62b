#include "solvers/solution_check.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "solvers/node_names.hpp"
#include "solvers/node_parts.hpp"

namespace meshvolt {

namespace {

bool finite(const Complex& z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

[[noreturn]] void fail(const SolutionCheckTexts& texts, const std::string& what, const char* hint) {
    throw std::runtime_error(std::string(texts.prefix) + what + hint + ". ");
}

void check_finite(const ElectricalNetwork& network, const SolutionCheckTexts& texts) {
    for (std::size_t k = 0; k < network.connections.size(); ++k)
        if (!finite(network.connections[k]->get_potential()))
            fail(texts, "the potential of " + node_name(network, k) + " is not finite", "");
    for (std::size_t e = 0; e < network.elements.size(); ++e) {
        const auto& ports = network.elements[e]->ports;
        for (std::size_t p = 0; p < ports.size(); ++p)
            if (!finite(ports[p].current))
                fail(texts, "the current of " + port_name(network, ports[p]) + " is not finite",
                     "");
    }
}

void check_balances(const ElectricalNetwork& network, double absolute_allowance,
                    const SolutionCheckTexts& texts) {
    const double allowance =
        absolute_allowance + relative_allowance * largest_port_current(network);
    for (std::size_t k = 0; k < network.connections.size(); ++k) {
        const Connection& node = *network.connections[k];
        if (node.grounded) continue;
        Complex sum(0.0, 0.0);
        for (const Port* port : node.ports) sum += port->current;
        const double mismatch = std::max(std::abs(sum.real()), std::abs(sum.imag()));
        if (!(mismatch <= allowance))
            fail(texts,
                 fmt::format("the currents at {} do not balance: they sum to {:.6g}{:+.6g}j A",
                             node_name(network, k), sum.real(), sum.imag()),
                 texts.unbalanced_hint(network, k, allowance).c_str());
    }
}

}  // namespace

int first_unfed_load(const ElectricalNetwork& network) {
    NodeParts parts = conducting_parts(network);
    const std::vector<bool> fed = fed_parts(network, parts);
    for (std::size_t e = 0; e < network.elements.size(); ++e) {
        const Element* element = network.elements[e];
        if (element->supply() != Element::Supply::load) continue;
        for (const Port& port : element->ports) {
            const int part = parts.of(port.connection.get());
            if (part >= 0 && !fed[static_cast<std::size_t>(part)]) return static_cast<int>(e);
        }
    }
    return -1;
}

void check_solution(const ElectricalNetwork& network, double absolute_allowance, int unfed_load,
                    const SolutionCheckTexts& texts) {
    check_finite(network, texts);
    if (unfed_load >= 0)
        fail(texts,
             element_name(network, network.elements[static_cast<std::size_t>(unfed_load)]) +
                 " holds a load in a part of the network that no voltage source feeds",
             texts.unfed_hint);
    check_balances(network, absolute_allowance, texts);
}

double largest_port_current(const ElectricalNetwork& network) {
    double largest = 0.0;
    for (const Element* element : network.elements)
        for (const Port& port : element->ports) largest = std::max(largest, std::abs(port.current));
    return largest;
}

bool holds_nan(const ElectricalNetwork& network) {
    for (const auto& node : network.connections)
        if (has_nan(node->get_potential())) return true;
    for (const Element* element : network.elements)
        for (const Port& port : element->ports)
            if (has_nan(port.current)) return true;
    return false;
}

}  // namespace meshvolt
