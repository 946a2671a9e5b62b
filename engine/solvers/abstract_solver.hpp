// The root of the load-flow solvers: the network it works on and the solver's value vectors, in the
// layout of network.hpp.
//
// Once a solver has bound the network, every node potential, element variable and dynamic
// parameter lives in `variables` and `parameters`. Both are written in place only: reallocating
// them (a move or a resize) would leave every holder pointing into freed storage.
//
// Lifetimes. A solve takes the values over: the solver that solved (or was made) last owns what the
// elements show. Each solve first binds every holder of the network to the solving solver, which
// starts from its own variables and takes every dynamic parameter's current value from the
// elements, so an update made through the elements reaches the next solve of any solver; the
// vectors of the solver that owned them before are left as they are. A solver that goes away
// writes the values of the holders still bound to it back into their own values and unbinds them,
// so the elements keep showing its last results. A network that goes away first detaches its
// solvers the same way, and a detached solver refuses to solve.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

#include "model/ad_types.hpp"
#include "solvers/layout_memo.hpp"
#include "solvers/network.hpp"
#include "solvers/node_layout_check.hpp"

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
    // Whether every free node, element and flexible-load parameter of the network reads its values
    // from this solver.
    bool owns_values() const;
    // Called at the start of every solve; a detached solver refuses with std::runtime_error. Unless
    // this solver owns the values already, every holder of the network is bound to it at the
    // places it laid out when it was made: the parameters take their own values (the current
    // set-points), the variables stay this solver's.
    void take_values_over();
    // variables and parameters := the network's gathered values, and layout() where they lie.
    // Called once, before binding.
    void gather_values();
    // Binds every holder of the network to this solver's vectors at its place in layout(), and
    // marks it as this solver's; the recorded vectors give their tape values.
    void bind_values(const ADVector& ad_variables, const ADVector& ad_parameters);
    // The same for a solver that records nothing: the tape values are constants equal to the
    // values.
    void bind_values_without_tape();
    // Where the network's holders lie in this solver's vectors.
    const ValueLayout& layout() const { return layout_; }
    void start_iteration() const {
        if (on_iteration) on_iteration();
    }
    // first_unfed_load of the network (solution_check.hpp), worked out again only once the layout
    // has changed since it was last worked out.
    int unfed_load();
    // Refuses, with std::runtime_error and the family's code ("1 " or "2 "), a network whose nodes
    // fail the checks of node_layout_check.hpp: an element joined to one of them but not listed,
    // or nodes that changed after the solver was made; `made` says what the solver did with them
    // ("recorded its tape"). Worked out again only once the layout has changed.
    void check_nodes(const char* code, const char* made);

  private:
    LayoutMemo<int> unfed_load_;
    // The network's nodes as the solver was made on them, and the refusal they give now ("" when
    // none).
    NodeLayoutCheck nodes_made_on_;
    LayoutMemo<std::string> node_refusal_;
    // Where the holders lie in this solver's vectors, as gathered when it was made.
    ValueLayout layout_;
};

}  // namespace meshvolt
