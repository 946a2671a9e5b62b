#include "solvers/backward_forward.hpp"

#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "solvers/solution_check.hpp"
#include "solvers/sweep_diagnosis.hpp"

namespace meshvolt {

namespace {

// The family's code and what the sweeps' solver did with the nodes it was made on, for
// check_nodes.
const char* const nodes_code = "2 ";
const char* const nodes_made = "was created";

const SolutionCheckTexts sweeps_check_texts = {
    "2 The sweeps settled, but the answer is not a solution: ",
    "; each part of the network that holds a load needs a voltage source",
    unbalanced_node_cause,
};

}  // namespace

BackwardForward::BackwardForward(ElectricalNetwork* network_in)
    : AbstractSolver(network_in) {
    gather_values();
    bind_values_without_tape();
    initial_variables = variables;
    law_check_ = ElementLawCheck(*network, layout());
}

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
    check_nodes(nodes_code, nodes_made);
    take_values_over();
    const auto& elements = network->elements;
    for (int i = 1;; ++i) {
        start_iteration();
        law_check_.record_potentials(*network);
        for (auto it = elements.rbegin(); it != elements.rend(); ++it) (*it)->backward_step();
        double err = 0.0;
        // Once NaN, the measure stays NaN; the remaining steps still run.
        for (Element* element : elements) err = max_measure(err, element->forward_step());
        // A NaN written anywhere counts, also where no forward step measures it (a load's current).
        if (std::isnan(err) || holds_nan(*network))
            throw std::runtime_error(fmt::format("2 NaN value encountered at iteration {}. ", i));
        if (err <= tolerance) {
            // Python code may have joined or grounded nodes between the sweeps (on_iteration).
            check_nodes(nodes_code, nodes_made);
            check_solution(*network, 0.0, unfed_load(), sweeps_check_texts);
            law_check_.check(*network, tolerance, sweeps_check_texts.prefix);
            return {i, err};
        }
        if (i >= max_iterations) return {i, err};
    }
}

}  // namespace meshvolt
