#include "solvers/network.hpp"

#include "solvers/abstract_solver.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "loads/flexible_load.hpp"

namespace meshvolt {

ElectricalNetwork::ElectricalNetwork(std::vector<Element*> elements_in)
    : elements(std::move(elements_in)) {
    std::unordered_set<const Connection*> met;
    for (Element* element : elements) {
        for (Port& port : element->ports)
            if (met.insert(port.connection.get()).second) connections.push_back(port.connection);
        // Only the two flexible-load classes are asked for their parameter objects.
        if (auto* star = dynamic_cast<FlexibleLoad*>(element))
            flexible_parameters.insert(star->parameters.begin(), star->parameters.end());
        else if (auto* delta = dynamic_cast<DeltaFlexibleLoad*>(element))
            flexible_parameters.insert(delta->parameters.begin(), delta->parameters.end());
    }
}

ElectricalNetwork::~ElectricalNetwork() {
    // Each detach unregisters the solver, which shortens the list.
    while (!solvers.empty()) solvers.back()->detach();
}

NetworkValues collect_network_values(const ElectricalNetwork& network) {
    NetworkValues values;
    for (const auto& node : network.connections)
        if (!node->grounded) node->potential.push_value(values.variables);
    for (Element* element : network.elements) {
        element->collect_variables(values.variables);
        element->collect_parameters(values.parameters);
    }
    for (const FlexibleParameter* parameter : network.flexible_parameters)
        parameter->push_values(values.parameters);
    return values;
}

void bind_network_values(const ElectricalNetwork& network, const ADVector& ad_variables,
                         Eigen::VectorXd& variables, const ADVector& ad_parameters,
                         Eigen::VectorXd& parameters) {
    // A holder bound past the end of a vector would read and write outside it later on.
    const NetworkValues layout = collect_network_values(network);
    const auto n = static_cast<Eigen::Index>(layout.variables.size());
    const auto m = static_cast<Eigen::Index>(layout.parameters.size());
    if (ad_variables.size() != n || variables.size() != n || ad_parameters.size() != m ||
        parameters.size() != m)
        throw std::length_error(
            "the network's layout has " + std::to_string(n) + " variables and " +
            std::to_string(m) + " parameters, the vectors to bind have " +
            std::to_string(ad_variables.size()) + "/" + std::to_string(variables.size()) +
            " and " + std::to_string(ad_parameters.size()) + "/" +
            std::to_string(parameters.size()));

    int index = 0;
    int parameter_index = 0;
    for (const auto& node : network.connections)
        if (!node->grounded) node->potential.bind(ad_variables, variables, index);
    for (Element* element : network.elements) {
        element->bind_variables(ad_variables, variables, index);
        element->bind_parameters(ad_parameters, parameters, parameter_index);
    }
    for (FlexibleParameter* parameter : network.flexible_parameters)
        parameter->bind(ad_parameters, parameters, parameter_index);
}

namespace {

// The value a recorded current had at the recording point.
Complex recorded_value(const ADComplex& z) {
    return Complex(CppAD::Value(z.real()), CppAD::Value(z.imag()));
}

// Positions of the elements in the network's list, first match for an element listed twice.
class ElementPositions {
  public:
    explicit ElementPositions(const std::vector<Element*>& elements) {
        for (std::size_t k = 0; k < elements.size(); ++k)
            positions_.emplace(elements[k], static_cast<int>(k));
    }
    // Adds the position of `element` to `owners` when the element is in the list.
    void insert(const Element* element, std::set<int>& owners) const {
        const auto it = positions_.find(element);
        if (it != positions_.end()) owners.insert(it->second);
    }

  private:
    std::unordered_map<const Element*, int> positions_;
};

void insert_node_owners(const Connection& node, const ElementPositions& positions,
                        std::set<int>& owners) {
    bool any_nan = false;
    for (const Port* port : node.ports)
        if (has_nan(recorded_value(port->current_ad))) {
            positions.insert(port->element, owners);
            any_nan = true;
        }
    // A node that lists no port (all of them disconnected) names nobody.
    if (!any_nan && !node.ports.empty()) positions.insert(node.ports.front()->element, owners);
}

}  // namespace

std::vector<int> find_owning_elements(const ElectricalNetwork& network,
                                      const std::vector<std::int64_t>& indices) {
    if (indices.empty()) return {};
    std::vector<const Connection*> free_nodes;
    for (const auto& node : network.connections)
        if (!node->grounded) free_nodes.push_back(node.get());
    const auto node_block = static_cast<std::int64_t>(2 * free_nodes.size());
    const ElementPositions positions(network.elements);
    std::set<int> owners;

    // The element block is replayed lazily: ends[k] is one past the last entry of element k.
    std::vector<double> scratch;
    std::vector<std::int64_t> ends;
    for (const std::int64_t index : indices) {
        if (index < 0) continue;
        if (index < node_block) {
            insert_node_owners(*free_nodes[static_cast<std::size_t>(index / 2)], positions, owners);
            continue;
        }
        const std::int64_t offset = index - node_block;
        while ((ends.empty() || ends.back() <= offset) && ends.size() < network.elements.size()) {
            network.elements[ends.size()]->collect_variables(scratch);
            ends.push_back(static_cast<std::int64_t>(scratch.size()));
        }
        const auto owner = std::upper_bound(ends.begin(), ends.end(), offset);
        if (owner != ends.end()) owners.insert(static_cast<int>(owner - ends.begin()));
    }
    return std::vector<int>(owners.begin(), owners.end());
}

}  // namespace meshvolt
