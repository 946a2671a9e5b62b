#include "solvers/sweep_diagnosis.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <fmt/format.h>

#include "model/shunt_line.hpp"
#include "solvers/node_names.hpp"
#include "solvers/node_parts.hpp"

namespace meshvolt {

namespace {

std::size_t node_index(const ElectricalNetwork& network, const Connection* node) {
    const auto& nodes = network.connections;
    const auto it = std::find_if(nodes.begin(), nodes.end(),
                                 [node](const auto& listed) { return listed.get() == node; });
    return static_cast<std::size_t>(it - nodes.begin());
}

// The node's name, or "a node outside the network" for one that no listed element reaches any
// more.
std::string name_of(const ElectricalNetwork& network, const Connection* node) {
    const std::size_t k = node_index(network, node);
    return k < network.connections.size() ? node_name(network, k) : "a node outside the network";
}

// Whether an element's backward step takes the current of one of the node's ports from its
// balance.
bool takes_balance(const Connection& node) {
    for (const Port* port : node.ports)
        if (port->element->takes_balance_current(port_index(*port))) return true;
    return false;
}

// Whether a part (a root of `parts`) holds a voltage source; a part met after `fed` was made holds
// none.
bool holds_source(const std::vector<bool>& fed, int part) {
    return part >= 0 && static_cast<std::size_t>(part) < fed.size() &&
           fed[static_cast<std::size_t>(part)];
}

bool is_shunt_common_port(const Port& port) {
    const auto* line = dynamic_cast<const ShuntLine*>(port.element);
    return line != nullptr && &port == line->extra_port;
}

const char* const no_source =
    "; the part of the network around it holds no voltage source, so nothing drives it";

// The ties of a part to earth: the elements that join a free node of the part to a grounded node,
// with the current they carry into the grounded ones.
struct EarthPath {
    const Element* element;
    const Connection* tie;  // the first of its free nodes in the part
    double current;
};

std::vector<EarthPath> earth_paths(const ElectricalNetwork& network, NodeParts& parts, int part) {
    std::vector<EarthPath> paths;
    for (const Element* element : network.elements) {
        if (!element->joins_its_ports()) continue;
        Complex into_earth(0.0, 0.0);
        bool earthed = false;
        const Connection* tie = nullptr;
        for (const Port& port : element->ports) {
            const Connection* node = port.connection.get();
            if (node->grounded) {
                earthed = true;
                into_earth -= port.current;
            } else if (tie == nullptr && parts.of(node) == part) {
                tie = node;
            }
        }
        if (earthed && tie != nullptr) paths.push_back({element, tie, std::abs(into_earth)});
    }
    return paths;
}

// The cause at a node that no backward step balances while current leaves its part through earth
// (`carrying`: the part's ties to earth that carry more than the allowance; `ties`: how many it
// has in all).
std::string current_through_earth(const ElectricalNetwork& network,
                                  const std::vector<EarthPath>& carrying, std::size_t ties) {
    std::string through;
    for (std::size_t i = 0; i < carrying.size(); ++i) {
        if (i > 0) through += i + 1 == carrying.size() ? " and " : ", ";
        through += fmt::format("{:.6g} A through {} at {}", carrying[i].current,
                               element_name(network, carrying[i].element),
                               name_of(network, carrying[i].tie));
    }
    const std::string found =
        "; no element's backward step balances this node, where the current of its part returns "
        "to the source, and current leaves the part through earth: " +
        through;
    if (ties >= 2)
        return found +
               "; the part's groundings close a loop through earth (a neutral grounded at a "
               "second point, or grounded beside a shunt line's capacitance to earth), which the "
               "sweeps cannot solve, as they hold this node where it started; Newton can solve "
               "it";
    return found +
           "; the part's only tie to earth is away from this node, which the sweeps hold where it "
           "started, so they cannot find the potentials at which no current flows through it: "
           "tie the part to earth at this node, or solve it by Newton";
}

}  // namespace

std::string unbalanced_node_cause(const ElectricalNetwork& network, std::size_t k,
                                  double allowance) {
    const Connection& node = *network.connections[k];
    NodeParts parts = conducting_parts(network);
    const std::vector<bool> fed = fed_parts(network, parts);
    const int part = parts.of(&node);
    if (!holds_source(fed, part)) return no_source;
    if (takes_balance(node))
        return "; the elements are probably not listed upstream first (each source before what it "
               "feeds, each branch before what it feeds)";
    for (const Port* port : node.ports)
        if (is_shunt_common_port(*port))
            return "; it is the common node of a shunt line, which the sweeps take at 0 V, so that "
                   "only a grounded one balances: ground it, or solve by Newton";
    if (node.ports.size() == 1)
        return "; " + port_name(network, *node.ports.front()) +
               " is its only member: that port is joined to nothing else, so the current its "
               "law gives there has nowhere to flow; join it to the network";
    // Where a source's current returns (a port of it that takes no balance, a star source's
    // neutral), the balance holds only if none of the part's current went to earth.
    const auto source_return = [](const Port* p) {
        return p->element->supply() == Element::Supply::source &&
               !p->element->takes_balance_current(port_index(*p));
    };
    const bool returns_to_source = std::any_of(node.ports.begin(), node.ports.end(), source_return);
    const std::vector<EarthPath> ties =
        returns_to_source ? earth_paths(network, parts, part) : std::vector<EarthPath>();
    std::vector<EarthPath> carrying;
    for (const EarthPath& tie : ties)
        if (tie.current > allowance) carrying.push_back(tie);
    if (!carrying.empty()) return current_through_earth(network, carrying, ties.size());
    return "; no element's backward step balances this node, so it balances only if every current "
           "of its part returns through it, and they do not: an element of the part does not "
           "conserve current";
}

std::string law_failure_cause(const ElectricalNetwork& network, std::size_t e) {
    NodeParts parts = conducting_parts(network);
    const std::vector<bool> fed = fed_parts(network, parts);
    for (const Port& port : network.elements[e]->ports) {
        const int part = parts.of(port.connection.get());
        if (part >= 0 && !holds_source(fed, part)) return no_source;
    }
    return "; its own backward step left currents that its law does not give at the potentials "
           "its nodes settled at";
}

}  // namespace meshvolt
