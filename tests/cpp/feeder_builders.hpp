// Pieces for whole-network tests: a feeder that owns its elements in the order the
// backward-forward sweeps need (upstream first), the joining of elements to buses, the three
// solvers behind one enumeration, readings of a solved network, and the message of a failed call.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "model/branch.hpp"
#include "model/bus.hpp"
#include "element_ports.hpp"
#include "expect_close.hpp"
#include "phasors.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/network.hpp"
#include "solvers/newton.hpp"

namespace meshvolt::testing {

// The elements of a network, created in place and listed in creation order. Build the network and
// its solvers after the feeder, so that they go before the elements do.
class Feeder {
  public:
    template <class T, class... Args>
    T& add(Args&&... args) {
        auto owned = std::make_unique<T>(std::forward<Args>(args)...);
        T& element = *owned;
        elements.push_back(&element);
        owned_.push_back(std::move(owned));
        return element;
    }

    std::vector<Element*> elements;

  private:
    std::vector<std::unique_ptr<Element>> owned_;
};

// Port i of `element` joins port bus_ports[i] of `bus`; the bus's node (and its potential) survives.
inline void attach(Element& bus, Element& element, const std::vector<int>& bus_ports) {
    PortPairs pairs;
    for (int i = 0; i < static_cast<int>(bus_ports.size()); ++i) pairs.push_back({bus_ports[i], i});
    bus.connect(element, pairs);
}

// Side-1 port i of the branch on port i of `from`, side-2 port i on port i of `to`; the buses'
// nodes survive.
inline void link(Branch& branch, Element& from, Element& to) {
    PortPairs pairs1, pairs2;
    for (int i = 0; i < static_cast<int>(branch.side1.size()); ++i) pairs1.push_back({i, i});
    for (int i = 0; i < static_cast<int>(branch.side2.size()); ++i) pairs2.push_back({i, i});
    branch.connect_side(from, pairs1, true);
    branch.connect_side(to, pairs2, false);
}

enum class Method { newton, goldstein, sweeps };

const std::vector<Method> all_methods = {Method::newton, Method::goldstein, Method::sweeps};

inline std::string method_name(Method method) {
    switch (method) {
        case Method::newton: return "Newton";
        case Method::goldstein: return "Newton-Goldstein";
        case Method::sweeps: return "backward-forward";
    }
    return "?";
}

// Newton with an optimised tape, Newton-Goldstein on the weighted merit with the plain tape,
// and the sweeps.
inline std::unique_ptr<AbstractSolver> make_solver(Method method, ElectricalNetwork& network) {
    switch (method) {
        case Method::newton: return std::make_unique<Newton>(&network, true);
        case Method::goldstein:
            return std::make_unique<NewtonGoldstein>(&network, false, 0.1, 0.9, true);
        case Method::sweeps: return std::make_unique<BackwardForward>(&network);
    }
    return nullptr;
}

// Newton methods stop on the largest current mismatch (A), the sweeps on the largest potential
// change (V).
constexpr double current_tolerance = 1e-9;
constexpr double change_tolerance = 1e-11;

// Solves to the method's tolerance and expects convergence within the iteration limit.
inline std::pair<int, double> solve_to_convergence(AbstractSolver& solver, Method method) {
    const bool sweeps = method == Method::sweeps;
    const int limit = sweeps ? 2000 : 50;
    const double tolerance = sweeps ? change_tolerance : current_tolerance;
    const auto result = solver.solve_load_flow(limit, tolerance);
    EXPECT_LE(result.second, tolerance) << method_name(method) << " after " << result.first;
    EXPECT_LT(result.first, limit) << method_name(method);
    return result;
}

// A feeder F built from its arguments, its network and a solver of the method on it, solved to
// convergence; members go in reverse order, the solver and the network before the elements.
template <class F>
struct SolvedFeeder {
    template <class... Args>
    explicit SolvedFeeder(Method method, Args&&... args)
        : f(std::forward<Args>(args)...),
          network(f.feeder.elements),
          solver(make_solver(method, network)) {
        solve_to_convergence(*solver, method);
    }

    F f;
    ElectricalNetwork network;
    std::unique_ptr<AbstractSolver> solver;
};

// Every node potential of the network by the read rule, in network node order.
inline std::vector<Complex> node_potentials(const ElectricalNetwork& network) {
    std::vector<Complex> v;
    for (const auto& node : network.connections) v.push_back(node->get_potential());
    return v;
}

// The sum of the plain currents of a node's member ports: 0 by Kirchhoff's current law.
inline Complex node_current_sum(const Connection& node) {
    Complex sum(0.0, 0.0);
    for (const Port* port : node.ports) sum += port->current;
    return sum;
}

// The message of the std::runtime_error the call throws, or "no exception".
inline std::string error_message(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

}  // namespace meshvolt::testing
