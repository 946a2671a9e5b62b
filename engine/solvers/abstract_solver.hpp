// The root of the load-flow solvers: the network it works on and the solver's value vectors, in the
// layout of network.hpp.
//
// Once a solver has bound the network, every node potential, element variable and dynamic
// parameter lives in `variables` and `parameters`. Both are written in place only: reallocating
// them (a move or a resize) would leave every holder pointing into freed storage.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

#include "model/ad_types.hpp"
#include "solvers/network.hpp"

namespace meshvolt {

class AbstractSolver {
  public:
    // The network is not owned; it and its elements must outlive the solver.
    explicit AbstractSolver(ElectricalNetwork* network);
    AbstractSolver(const AbstractSolver&) = delete;
    AbstractSolver& operator=(const AbstractSolver&) = delete;
    // Unbinds the holders that are still bound to this solver's vectors (they read their own values
    // again; nothing is written back); holders that a later solver has bound are left alone.
    virtual ~AbstractSolver();

    // Returns (iterations, residual).
    virtual std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) = 0;

    // variables := initial_variables, in place.
    void reset_inputs();
    // Copies the first n values (n = number of variables) into `variables`, in place; fewer than
    // n values are refused with std::length_error before anything changes.
    void set_variables(const double* values, std::size_t count);

    ElectricalNetwork* network;
    Eigen::VectorXd variables;
    Eigen::VectorXd initial_variables;
    Eigen::VectorXd parameters;

    // Called at the start of every iteration of a solve. It may throw to end the solve (the Python
    // module raises KeyboardInterrupt from here when a signal is pending); the solver stays usable,
    // with its values where the completed iterations left them.
    std::function<void()> on_iteration;

  protected:
    // variables and parameters := the network's gathered values. Called once, before binding.
    void gather_values();
    // Binds every holder of the network to this solver's vectors; the recorded vectors give their
    // tape values.
    void bind_values(const ADVector& ad_variables, const ADVector& ad_parameters);
    // The same for a solver that records nothing: the tape values are constants equal to the
    // values.
    void bind_values_without_tape();
    void start_iteration() const {
        if (on_iteration) on_iteration();
    }
};

}  // namespace meshvolt
