// The root of the load-flow solvers: the network it works on and the solver's value vectors, in the
// layout of network.hpp.
//
// Once a solver has bound the network, every node potential, element variable and dynamic
// parameter lives in `variables` and `parameters`. Both are written in place only: reallocating
// them (a move or a resize) would leave every holder pointing into freed storage.
//
// Lifetimes. The solver created last binds the holders and owns the network's values; an older
// solver's solve then changes only its own vectors. A solver that goes away writes the values of
// the holders still bound to it back into their own values and unbinds them, so the elements keep
// showing its last results; the next solve of a solver still on the network then binds the holders
// to itself, taking the parameters' own values. A network that goes away first detaches its solvers
// the same way, and a detached solver refuses to solve.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

#include "model/ad_types.hpp"
#include "solvers/network.hpp"

namespace meshvolt {

class AbstractSolver {
  public:
    // The network is not owned: the solver registers with it, and its elements must outlive the
    // solver.
    explicit AbstractSolver(ElectricalNetwork* network);
    AbstractSolver(const AbstractSolver&) = delete;
    AbstractSolver& operator=(const AbstractSolver&) = delete;
    // detach().
    virtual ~AbstractSolver();

    // The holders still bound to this solver's vectors keep their values there as their own values
    // and are unbound (holders that a later solver has bound are left alone); the solver leaves
    // its network and keeps no pointer to it. Doing it again changes nothing.
    void detach();

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
    // The network; a detached solver refuses with std::runtime_error.
    ElectricalNetwork& attached_network() const;
    // Whether every free node and every element of the network reads its values from this solver:
    // only then do the elements show this solver's results.
    bool owns_values() const;
    // Called at the start of every solve. A detached solver refuses with std::runtime_error. The
    // nodes and elements whose solver is gone (values_owner null) are bound to this solver: their
    // parameters take their own values (updates made meanwhile), the variables stay as they are.
    // Those that another solver owns are left to it.
    void claim_values();
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

  private:
    // Where the holders lie in this solver's vectors, as laid out when it bound them: the nodes that
    // were free then, in order (node k at entries 2k, 2k + 1; a node grounded since reads 0), and
    // where each element's variables and parameters begin (one more entry for the end).
    std::vector<Connection*> bound_nodes_;
    std::vector<int> variable_starts_;
    std::vector<int> parameter_starts_;
};

}  // namespace meshvolt
