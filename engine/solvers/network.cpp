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
    gather_network_values(network, values);
    return values;
}

ValueLayout gather_network_values(const ElectricalNetwork& network, NetworkValues& values) {
    ValueLayout layout;
    for (const auto& node : network.connections) {
        if (node->grounded) continue;
        node->potential.push_value(values.variables);
        layout.free_nodes.push_back(node.get());
    }
    const auto length = [](const std::vector<double>& part) {
        return static_cast<int>(part.size());
    };
    layout.variable_starts.push_back(length(values.variables));
    layout.parameter_starts.push_back(length(values.parameters));
    for (Element* element : network.elements) {
        element->collect_variables(values.variables);
        element->collect_parameters(values.parameters);
        layout.variable_starts.push_back(length(values.variables));
        layout.parameter_starts.push_back(length(values.parameters));
    }
    for (const FlexibleParameter* parameter : network.flexible_parameters)
        parameter->push_values(values.parameters);
    layout.parameter_count = length(values.parameters);
    return layout;
}

ValueLayout lay_out_values(const ElectricalNetwork& network) {
    NetworkValues values;
    return gather_network_values(network, values);
}

void bind_network_values(const ElectricalNetwork& network, const ValueLayout& layout,
                         const ADVector& ad_variables, Eigen::VectorXd& variables,
                         const ADVector& ad_parameters, Eigen::VectorXd& parameters) {
    // A holder bound past the end of a vector would read and write outside it later on.
    const Eigen::Index n = layout.variable_count();
    const Eigen::Index m = layout.parameter_count;
    if (ad_variables.size() != n || variables.size() != n || ad_parameters.size() != m ||
        parameters.size() != m)
        throw std::length_error(
            "the network's layout has " + std::to_string(n) + " variables and " +
            std::to_string(m) + " parameters, the vectors to bind have " +
            std::to_string(ad_variables.size()) + "/" + std::to_string(variables.size()) +
            " and " + std::to_string(ad_parameters.size()) + "/" +
            std::to_string(parameters.size()));

    for (std::size_t k = 0; k < layout.free_nodes.size(); ++k) {
        Connection& node = *layout.free_nodes[k];
        if (node.grounded) continue;
        int index = static_cast<int>(2 * k);
        node.potential.bind(ad_variables, variables, index);
    }
    for (std::size_t k = 0; k < network.elements.size(); ++k) {
        int index = layout.variable_starts[k];
        int parameter_index = layout.parameter_starts[k];
        network.elements[k]->bind_variables(ad_variables, variables, index);
        network.elements[k]->bind_parameters(ad_parameters, parameters, parameter_index);
    }
    int flexible_index = layout.flexible_start();
    for (FlexibleParameter* parameter : network.flexible_parameters)
        parameter->bind(ad_parameters, parameters, flexible_index);
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

std::vector<int> find_owning_elements(const ElectricalNetwork& network, const ValueLayout& layout,
                                      const std::vector<std::int64_t>& indices) {
    if (indices.empty()) return {};
    const std::int64_t node_block = layout.variable_starts.front();
    const ElementPositions positions(network.elements);
    std::set<int> owners;
    // Element k's variables end where variable_starts[k + 1] begins.
    const auto ends = layout.variable_starts.begin() + 1;
    for (const std::int64_t index : indices) {
        if (index < 0) continue;
        if (index < node_block) {
            insert_node_owners(*layout.free_nodes[static_cast<std::size_t>(index / 2)], positions,
                               owners);
            continue;
        }
        const auto owner = std::upper_bound(ends, layout.variable_starts.end(), index);
        if (owner != layout.variable_starts.end()) owners.insert(static_cast<int>(owner - ends));
    }
    return std::vector<int>(owners.begin(), owners.end());
}

}  // namespace meshvolt
