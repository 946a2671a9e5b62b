#include "solvers/node_names.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include <fmt/format.h>

namespace meshvolt {

std::string element_type_name(const Element& element) {
    const char* mangled = typeid(element).name();
    int status = 0;
    const std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    const std::string full = status == 0 ? demangled.get() : mangled;
    const std::string engine_namespace = "meshvolt::";
    if (full.compare(0, engine_namespace.size(), engine_namespace) != 0) return full;
    const std::string name = full.substr(engine_namespace.size());
    const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    });
    return plain ? "Cy" + name : full;
}

std::string element_name(const ElectricalNetwork& network, const Element* element) {
    const auto& elements = network.elements;
    const auto it = std::find(elements.begin(), elements.end(), element);
    if (it == elements.end()) return "a " + element_type_name(*element) + " outside the network";
    return fmt::format("element {} ({})", it - elements.begin(), element_type_name(*element));
}

int port_index(const Port& port) { return static_cast<int>(&port - port.element->ports.data()); }

std::string port_name(const ElectricalNetwork& network, const Port& port) {
    return fmt::format("port {} of {}", port_index(port), element_name(network, port.element));
}

std::string node_name(const ElectricalNetwork& network, std::size_t k) {
    const Connection& node = *network.connections[k];
    if (node.ports.empty()) return fmt::format("node {}", k);
    return fmt::format("node {} ({})", k, port_name(network, *node.ports.front()));
}

std::string capitalized(std::string clause) {
    if (!clause.empty())
        clause[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(clause[0])));
    return clause;
}

}  // namespace meshvolt
