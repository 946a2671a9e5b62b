#include "solvers/abstract_newton.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include <spdlog/fmt/fmt.h>
#include <spdlog/spdlog.h>

#include "solvers/cppad_error_log.hpp"
#include "solvers/potential_reference_check.hpp"
#include "solvers/solution_check.hpp"
#include "solvers/tape_lock.hpp"
#include "solvers/unbounded_potential_check.hpp"

namespace meshvolt {

namespace {

// Converged when no residual is NaN and every |F_i| ≤ tolerance.
bool converged(const Eigen::VectorXd& residuals, double tolerance) {
    for (Eigen::Index k = 0; k < residuals.size(); ++k)
        if (!(std::abs(residuals[k]) <= tolerance)) return false;
    return true;
}

// max_i |F_i|, NaN when any F_i is NaN (a NaN must never pass for a small residual).
double largest_residual(const Eigen::VectorXd& residuals) {
    double largest = 0.0;
    for (Eigen::Index k = 0; k < residuals.size(); ++k) {
        const double magnitude = std::abs(residuals[k]);
        if (std::isnan(magnitude)) return std::numeric_limits<double>::quiet_NaN();
        if (magnitude > largest) largest = magnitude;
    }
    return largest;
}

// A row or a column without any stored entry: no pivot exists. (Eigen's SparseLU sizes its factors
// from the entry count and never returns from factorize on an almost empty matrix.)
bool structurally_singular(const Eigen::SparseMatrix<double>& matrix) {
    if (matrix.nonZeros() < matrix.cols()) return true;
    std::vector<bool> row_used(static_cast<std::size_t>(matrix.rows()), false);
    for (Eigen::Index j = 0; j < matrix.outerSize(); ++j) {
        Eigen::SparseMatrix<double>::InnerIterator it(matrix, j);
        if (!it) return true;
        for (; it; ++it) row_used[static_cast<std::size_t>(it.row())] = true;
    }
    return std::find(row_used.begin(), row_used.end(), false) != row_used.end();
}

std::string recorded_and_plain_laws_disagree(const ElectricalNetwork&, std::size_t, double) {
    return "; the recorded currents disagree with the plain-number laws, as when the potentials "
           "run off to where the recorded equations overflow";
}

// The family's code and what a Newton solver did with the nodes it was made on, for check_nodes.
const char* const nodes_code = "1 ";
const char* const nodes_made = "recorded its tape";

const SolutionCheckTexts newton_check_texts = {
    "1 The residual is within the tolerance, but the answer is not a solution: ",
    "; each part of the network that holds a load needs a voltage source",
    recorded_and_plain_laws_disagree,
};

bool all_finite(const Eigen::SparseMatrix<double>& matrix) {
    const double* values = matrix.valuePtr();
    for (Eigen::Index k = 0; k < matrix.nonZeros(); ++k)
        if (!(std::abs(values[k]) <= std::numeric_limits<double>::max())) return false;
    return true;
}

std::runtime_error coded_error(const char* format, int iteration) {
    return std::runtime_error(fmt::format(fmt::runtime(format), iteration));
}

// The Newton solvers alive in the process; changed under the tape mutex only.
int solvers_holding_memory = 0;

void free_held_memory() {
    CppAD::thread_alloc::free_available(CppAD::thread_alloc::thread_num());
}

}  // namespace

// The residuals take one Taylor coefficient per tape variable, the Jacobian's forward sweep one
// per colour as well, and the library reallocates that storage at each switch between the two
// (twice per Jacobian, since its sweep starts at order zero): at 10 000 buses, blocks of about a
// hundred megabytes. By default it hands a freed block straight back to the system, so every
// switch maps fresh pages. While a Newton solver lives, freed blocks stay in the library's pool
// and the next switch takes back the block the previous one left; each construction and each
// solver's end returns what the pool holds to the system.
AbstractNewton::HeldTapeMemory::HeldTapeMemory() {
    if (solvers_holding_memory++ == 0) CppAD::thread_alloc::hold_memory(true);
}

AbstractNewton::HeldTapeMemory::~HeldTapeMemory() {
    if (--solvers_holding_memory == 0) CppAD::thread_alloc::hold_memory(false);
    free_held_memory();
}

AbstractNewton::AbstractNewton(ElectricalNetwork* network_in, bool optimize_tape)
    : AbstractSolver(network_in), tape_guard_(tape_mutex()) {
    // On failure the members are released under the guard, then the base unbinds the holders.
    record(optimize_tape);
    free_held_memory();  // the recording's and the optimisation's work space
    tape_guard_.unlock();
}

AbstractNewton::~AbstractNewton() {
    // The tape and the colouring live in the library's process-wide memory pool.
    tape_guard_ = std::unique_lock<std::recursive_mutex>(tape_mutex());
}

void AbstractNewton::record(bool optimize_tape) {
    CppAD::ErrorHandler handler(log_cppad_error);
    gather_values();
    const Eigen::Index n = variables.size();
    if (n == 0)
        throw std::runtime_error("1 The network has no variables: there is nothing to solve. ");

    ADVector ad_variables = ad_constants(variables);
    ADVector ad_parameters = ad_constants(parameters);

    CppAD::Independent(ad_variables, 0, true, ad_parameters);
    try {
        bind_values(ad_variables, ad_parameters);
        ADVector ad_residuals = ad_constants(Eigen::VectorXd::Zero(n));

        // Every element's port currents exist before any node balance reads them.
        for (Element* element : network->elements) element->compute_currents(true);

        int index = 0;
        for (const Connection* node : layout().free_nodes) {
            ADScalar real_sum(0.0);
            ADScalar imag_sum(0.0);
            for (const Port* port : node->ports) {
                real_sum += port->current_ad.real();
                imag_sum += port->current_ad.imag();
            }
            ad_residuals[index] = real_sum;
            ad_residuals[index + 1] = imag_sum;
            index += 2;
        }
        for (Element* element : network->elements) element->add_equations(ad_residuals, index);
        if (index != n)
            throw std::runtime_error(
                fmt::format("1 The network has {} equations for {} variables. ", index, n));

        tape.Dependent(ad_variables, ad_residuals);
    } catch (...) {
        // An open recording would make every later solver in the process fail.
        ADScalar::abort_recording();
        throw;
    }

    spdlog::debug("----- Tape evaluation -----");
    spdlog::debug("Number of tape operators: {0:d}", static_cast<std::uint64_t>(tape.size_op()));
    if (optimize_tape) {
        tape.optimize("");
        spdlog::debug("----- Tape optimization -----");
        spdlog::debug("Number of tape operators: {0:d}",
                      static_cast<std::uint64_t>(tape.size_op()));
    }
    initial_variables = variables;
}

Eigen::VectorXd AbstractNewton::compute_residuals() {
    const TapeLock lock(tape_mutex());
    return tape.Forward(0, variables);
}

std::pair<int, double> AbstractNewton::solve_load_flow(int max_iterations, double tolerance) {
    check_nodes(nodes_code, nodes_made);
    take_values_over();
    const TapeLock lock(tape_mutex());
    const CppAD::ErrorHandler handler(log_cppad_error);

    tape.new_dynamic(parameters);
    Eigen::VectorXd residuals = compute_residuals();
    int count = 0;
    while (!converged(residuals, tolerance) && count < max_iterations) {
        // A part without a potential reference leaves every Jacobian singular: refuse it first.
        if (count == 0)
            check_potential_references(*network, unreferenced_node_.get([this] {
                return first_unreferenced_node(*network);
            }));
        start_iteration();
        const Eigen::SparseMatrix<double>& jacobian = compute_jacobian();
        if (!all_finite(jacobian))
            throw coded_error("1 NaN value encountered at iteration {}. ", count);
        if (!pattern_ready) {
            // The structure is tested with each pattern compute_jacobian derives; the one the
            // analysis fixes passed, and every later Jacobian has exactly its stored entries.
            if (structurally_singular(jacobian))
                throw coded_error("1 Decomposition failed, singular matrix at iteration {}. ",
                                  count);
            lu.analyzePattern(jacobian);
            pattern_ready = true;
        }
        lu.factorize(jacobian);
        if (lu.info() != Eigen::Success)
            throw coded_error("1 Decomposition failed, singular matrix at iteration {}. ", count);
        newton_step_ = lu.solve(residuals);
        if (lu.info() != Eigen::Success)
            throw coded_error("1 Solving failed at iteration {}. ", count);
        update_step(jacobian, newton_step_, residuals);
        ++count;
    }

    // The solve took the values over: the elements show this solve, and every success is checked.
    for (Element* element : network->elements) element->compute_currents(false);
    if (converged(residuals, tolerance)) {
        // Python code may have joined or grounded nodes between the iterations (on_iteration).
        check_nodes(nodes_code, nodes_made);
        check_solution(*network, tolerance, unfed_load(), newton_check_texts);
        check_bounded_potentials(*network, layout(), tolerance, newton_check_texts.prefix);
    }
    return {count, largest_residual(residuals)};
}

}  // namespace meshvolt
