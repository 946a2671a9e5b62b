#include "solvers/abstract_solver.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "loads/flexible_parameter.hpp"
#include "solvers/node_names.hpp"
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
    for (const Connection* node : layout_.free_nodes)
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
    const std::vector<int>& starts = layout_.parameter_starts;
    std::vector<double> own;
    for (std::size_t k = 0; k < net.elements.size(); ++k) {
        own.clear();
        net.elements[k]->collect_parameters(own);
        const int begin = starts[k];
        if (static_cast<int>(own.size()) != starts[k + 1] - begin)
            throw std::length_error(
                "element " + std::to_string(k) + " has " + std::to_string(own.size()) +
                " parameters, the solver was made for " + std::to_string(starts[k + 1] - begin));
        std::copy(own.begin(), own.end(), parameters.data() + begin);
    }
    // The flexible-parameter block follows the elements' parameters, one triple per object in the
    // network's set order, which cannot change.
    own.clear();
    for (const FlexibleParameter* parameter : net.flexible_parameters) parameter->push_values(own);
    std::copy(own.begin(), own.end(), parameters.data() + layout_.flexible_start());

    // Every holder reads and writes this solver's vectors from now on; the variables keep this
    // solver's own values.
    bind_values_without_tape();
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
    NetworkValues values;
    layout_ = gather_network_values(*network, values);
    variables = to_vector(values.variables);
    parameters = to_vector(values.parameters);
}

void AbstractSolver::bind_values(const ADVector& ad_variables, const ADVector& ad_parameters) {
    ElectricalNetwork& net = attached_network();
    bind_network_values(net, layout_, ad_variables, variables, ad_parameters, parameters);
    for (Connection* node : layout_.free_nodes)
        if (!node->grounded) node->values_owner = this;
    for (Element* element : net.elements) element->values_owner = this;
    for (FlexibleParameter* parameter : net.flexible_parameters) parameter->values_owner = this;
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
        const std::string unlisted = nodes_made_on_.unlisted_member(net);
        if (unlisted.empty()) return "";
        return std::string(code) + capitalized(unlisted) +
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
