#include "solvers/backward_forward.hpp"

#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

namespace meshvolt {

BackwardForward::BackwardForward(ElectricalNetwork* network_in) : AbstractSolver(network_in) {
    gather_values();
    bind_values_without_tape();
    initial_variables = variables;
}

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
    claim_values();
    const auto& elements = network->elements;
    for (int i = 1;; ++i) {
        for (auto it = elements.rbegin(); it != elements.rend(); ++it) (*it)->backward_step();
        double err = 0.0;
        for (Element* element : elements) {
            const double change = element->forward_step();
            // Once NaN, the measure stays NaN; the remaining steps still run.
            if (std::isnan(err)) continue;
            err = std::isnan(change) ? change : std::max(err, change);
        }
        if (std::isnan(err))
            throw std::runtime_error(fmt::format("2 NaN value encountered at iteration {}. ", i));
        if (i >= max_iterations || err <= tolerance) return {i, err};
    }
}

}  // namespace meshvolt
