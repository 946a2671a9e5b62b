#include "solvers/abstract_solver.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>

#include "loads/flexible_parameter.hpp"
#include "solvers/solution_check.hpp"

namespace meshvolt {

namespace {

Eigen::VectorXd to_vector(const std::vector<double>& values) {
    return Eigen::Map<const Eigen::VectorXd>(values.data(),
                                             static_cast<Eigen::Index>(values.size()));
}

}  // namespace

AbstractSolver::AbstractSolver(ElectricalNetwork* network_in) : network(network_in) {
    if (network == nullptr) throw std::invalid_argument("a solver needs a network");
    nodes_made_on_ = NodeLayoutCheck(*network);
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
    for (FlexibleParameter* parameter : network->flexible_parameters) {
        parameter->release_from(parameters);
        if (parameter->values_owner == this) parameter->values_owner = nullptr;
    }
    auto& solvers = network->solvers;
    solvers.erase(std::find(solvers.begin(), solvers.end(), this));
    network = nullptr;
}

ElectricalNetwork& AbstractSolver::attached_network() const {
    if (network == nullptr) throw std::runtime_error("the solver's network has been destroyed");
    return *network;
}

bool AbstractSolver::owns_values() const {
    const ElectricalNetwork& net = attached_network();
    for (const Connection* node : bound_nodes_)
        if (!node->grounded && node->values_owner != this) return false;
    for (const Element* element : net.elements)
        if (element->values_owner != this) return false;
    for (const FlexibleParameter* parameter : net.flexible_parameters)
        if (parameter->values_owner != this) return false;
    return true;
}

void AbstractSolver::take_values_over() {
    const ElectricalNetwork& net = attached_network();
    if (owns_values()) return;

    // The parameters, at their places in this solver's layout, take the holders' own values: every
    // update writes the own value as well, so they are the current set-points, wherever the
    // holders were bound meanwhile.
    std::vector<double> own;
    for (std::size_t k = 0; k < net.elements.size(); ++k) {
        own.clear();
        net.elements[k]->collect_parameters(own);
        const int begin = parameter_starts_[k];
        if (static_cast<int>(own.size()) != parameter_starts_[k + 1] - begin)
            throw std::length_error("element " + std::to_string(k) + " has " +
                                    std::to_string(own.size()) + " parameters, the solver was made for " +
                                    std::to_string(parameter_starts_[k + 1] - begin));
        std::copy(own.begin(), own.end(), parameters.data() + begin);
    }
    // The flexible-parameter block follows the elements' parameters, one triple per object in the
    // network's set order, which cannot change.
    own.clear();
    for (const FlexibleParameter* parameter : net.flexible_parameters) parameter->push_values(own);
    std::copy(own.begin(), own.end(), parameters.data() + parameter_starts_.back());

    // Every holder reads and writes this solver's vectors from now on; the variables keep this
    // solver's own values.
    const ADVector ad_variables = ad_constants(variables);
    const ADVector ad_parameters = ad_constants(parameters);
    for (std::size_t k = 0; k < bound_nodes_.size(); ++k) {
        Connection* node = bound_nodes_[k];
        if (node->grounded) continue;  // grounded since binding: it reads 0 and has no place
        int index = static_cast<int>(2 * k);
        node->potential.bind(ad_variables, variables, index);
        node->values_owner = this;
    }
    for (std::size_t k = 0; k < net.elements.size(); ++k) {
        Element* element = net.elements[k];
        int index = variable_starts_[k];
        int parameter_index = parameter_starts_[k];
        element->bind_variables(ad_variables, variables, index);
        element->bind_parameters(ad_parameters, parameters, parameter_index);
        element->values_owner = this;
    }
    int flexible_index = parameter_starts_.back();
    for (FlexibleParameter* parameter : net.flexible_parameters) {
        parameter->bind(ad_parameters, parameters, flexible_index);
        parameter->values_owner = this;
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
    bound_nodes_.clear();
    for (const auto& node : network->connections) {
        if (node->grounded) continue;
        node->values_owner = this;
        bound_nodes_.push_back(node.get());
    }
    variable_starts_.assign(1, static_cast<int>(2 * bound_nodes_.size()));
    parameter_starts_.assign(1, 0);
    std::vector<double> scratch_variables, scratch_parameters;
    for (Element* element : network->elements) {
        element->values_owner = this;
        element->collect_variables(scratch_variables);
        element->collect_parameters(scratch_parameters);
        variable_starts_.push_back(variable_starts_.front() + static_cast<int>(scratch_variables.size()));
        parameter_starts_.push_back(static_cast<int>(scratch_parameters.size()));
    }
    for (FlexibleParameter* parameter : network->flexible_parameters) parameter->values_owner = this;
    bind_network_values(*network, ad_variables, variables, ad_parameters, parameters);
}

void AbstractSolver::check_nodes(const char* code, const char* made) {
    const ElectricalNetwork& net = attached_network();
    const std::string& refusal = node_refusal_.get([&]() -> std::string {
        const std::string change = nodes_made_on_.change(net);
        if (!change.empty())
            return std::string(code) + "The nodes of the network changed after the solver " +
                   made + ": " + change +
                   "; a solver keeps the nodes it was made on, so build a new network and a new "
                   "solver on it. ";
        std::string unlisted = nodes_made_on_.unlisted_member(net);
        if (unlisted.empty()) return "";
        unlisted[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(unlisted[0])));
        return std::string(code) + unlisted +
               ", but it is not among the network's elements: list it among them, or disconnect "
               "it. ";
    });
    if (!refusal.empty()) throw std::runtime_error(refusal);
}

int AbstractSolver::unfed_load() {
    return unfed_load_.get([this] { return first_unfed_load(attached_network()); });
}

void AbstractSolver::bind_values_without_tape() {
    bind_values(ad_constants(variables), ad_constants(parameters));
}

}  // namespace meshvolt
