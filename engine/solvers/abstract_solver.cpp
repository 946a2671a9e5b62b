#include "solvers/abstract_solver.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace meshvolt {

namespace {

Eigen::VectorXd to_vector(const std::vector<double>& values) {
    return Eigen::Map<const Eigen::VectorXd>(values.data(),
                                             static_cast<Eigen::Index>(values.size()));
}

ADVector constants(const Eigen::VectorXd& values) {
    ADVector result(values.size());
    for (Eigen::Index k = 0; k < values.size(); ++k) result[k] = ADScalar(values[k]);
    return result;
}

}  // namespace

AbstractSolver::AbstractSolver(ElectricalNetwork* network_in) : network(network_in) {
    if (network == nullptr) throw std::invalid_argument("a solver needs a network");
    network->solvers.push_back(this);
}

AbstractSolver::~AbstractSolver() { detach(); }

void AbstractSolver::detach() {
    if (network == nullptr) return;
    // Every holder is tested, not only those marked as this solver's: a binding that failed
    // halfway may have left a holder in these vectors under another mark.
    for (const auto& node : network->connections) {
        node->potential.keep_from(variables);
        if (node->values_owner == this) node->values_owner = nullptr;
    }
    for (Element* element : network->elements) {
        element->release_values(variables, parameters);
        if (element->values_owner == this) element->values_owner = nullptr;
    }
    auto& solvers = network->solvers;
    solvers.erase(std::find(solvers.begin(), solvers.end(), this));
    network = nullptr;
}

ElectricalNetwork& AbstractSolver::attached_network() const {
    if (network == nullptr) throw std::runtime_error("the solver's network has been destroyed");
    return *network;
}

void AbstractSolver::claim_values() {
    const ElectricalNetwork& net = attached_network();
    bool unowned = false;
    for (const auto& node : net.connections)
        unowned = unowned || (!node->grounded && node->values_owner == nullptr);
    for (const Element* element : net.elements)
        unowned = unowned || element->values_owner == nullptr;
    if (!unowned) return;

    // The layout, element by element: the entries of the unowned elements' parameters take their
    // own values; the entries of holders that another solver owns are skipped.
    std::size_t node_entries = 0;
    for (const auto& node : net.connections)
        if (!node->grounded) node_entries += 2;
    std::vector<double> own_variables, own_parameters;
    std::vector<std::size_t> variable_ends, parameter_ends;
    for (Element* element : net.elements) {
        element->collect_variables(own_variables);
        element->collect_parameters(own_parameters);
        variable_ends.push_back(own_variables.size());
        parameter_ends.push_back(own_parameters.size());
    }
    if (node_entries + own_variables.size() != static_cast<std::size_t>(variables.size()) ||
        own_parameters.size() != static_cast<std::size_t>(parameters.size()))
        throw std::length_error("the network's layout has changed since the solver was created");
    for (std::size_t k = 0; k < net.elements.size(); ++k) {
        if (net.elements[k]->values_owner != nullptr) continue;
        const std::size_t begin = k == 0 ? 0 : parameter_ends[k - 1];
        std::copy(own_parameters.begin() + static_cast<std::ptrdiff_t>(begin),
                  own_parameters.begin() + static_cast<std::ptrdiff_t>(parameter_ends[k]),
                  parameters.data() + begin);
    }

    const ADVector ad_variables = constants(variables);
    const ADVector ad_parameters = constants(parameters);
    int index = 0;
    for (const auto& node : net.connections) {
        if (node->grounded) continue;
        if (node->values_owner == nullptr) {
            node->values_owner = this;
            node->potential.bind(ad_variables, variables, index);
        } else {
            index += 2;
        }
    }
    int parameter_index = 0;
    for (std::size_t k = 0; k < net.elements.size(); ++k) {
        Element* element = net.elements[k];
        if (element->values_owner == nullptr) {
            element->values_owner = this;
            element->bind_variables(ad_variables, variables, index);
            element->bind_parameters(ad_parameters, parameters, parameter_index);
        }
        index = static_cast<int>(node_entries + variable_ends[k]);
        parameter_index = static_cast<int>(parameter_ends[k]);
    }
}

void AbstractSolver::reset_inputs() {
    std::copy(initial_variables.data(), initial_variables.data() + initial_variables.size(),
              variables.data());
}

void AbstractSolver::set_variables(const double* values, std::size_t count) {
    const auto n = static_cast<std::size_t>(variables.size());
    if (count < n)
        throw std::length_error("the solver has " + std::to_string(n) + " variables, " +
                                std::to_string(count) + " values were given");
    std::copy(values, values + n, variables.data());
}

void AbstractSolver::gather_values() {
    const NetworkValues values = collect_network_values(*network);
    variables = to_vector(values.variables);
    parameters = to_vector(values.parameters);
}

void AbstractSolver::bind_values(const ADVector& ad_variables, const ADVector& ad_parameters) {
    for (const auto& node : network->connections)
        if (!node->grounded) node->values_owner = this;
    for (Element* element : network->elements) element->values_owner = this;
    bind_network_values(*network, ad_variables, variables, ad_parameters, parameters);
}

void AbstractSolver::bind_values_without_tape() {
    bind_values(constants(variables), constants(parameters));
}

}  // namespace meshvolt
