#include "solvers/abstract_solver.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "loads/flexible_parameter.hpp"

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
}

AbstractSolver::~AbstractSolver() {
    for (const auto& node : network->connections) node->potential.release_from(variables);
    for (Element* element : network->elements) element->release_values(variables, parameters);
    for (FlexibleParameter* parameter : network->flexible_parameters)
        parameter->release_from(parameters);
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
    bind_network_values(*network, ad_variables, variables, ad_parameters, parameters);
}

void AbstractSolver::bind_values_without_tape() {
    bind_values(constants(variables), constants(parameters));
}

}  // namespace meshvolt
