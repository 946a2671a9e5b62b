// The backward-forward iteration around the element sweeps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "model/bus.hpp"
#include "model/potential_ref.hpp"
#include "model/voltage_source.hpp"
#include "solvers/backward_forward.hpp"

namespace meshvolt {
namespace {

// Reports a fixed sequence of changes from its forward steps and counts its sweeps.
class ScriptedElement : public Element {
  public:
    explicit ScriptedElement(std::vector<double> changes) : Element(1), changes_(std::move(changes)) {}
    void backward_step() override { ++backward_calls; }
    double forward_step() override {
        const double change = changes_[std::min<std::size_t>(forward_calls, changes_.size() - 1)];
        ++forward_calls;
        return change;
    }
    std::size_t backward_calls = 0;
    std::size_t forward_calls = 0;

  private:
    std::vector<double> changes_;
};

std::pair<int, double> solve(std::vector<Element*> elements, int max_iterations, double tolerance) {
    ElectricalNetwork network(std::move(elements));
    BackwardForward solver(&network);
    return solver.solve_load_flow(max_iterations, tolerance);
}

TEST(BackwardForward, IterationCountAndChange) {
    struct Case {
        std::vector<double> changes;
        int max_iterations;
        double tolerance;
        int iterations;
        double change;
    };
    const std::vector<Case> cases = {
        {{}, 10, 0.0, 1, 0.0},                  // no elements: the change is 0 at once
        {{}, 4, -1.0, 4, 0.0},                  // a negative tolerance runs to the limit
        {{5.0, 1.0, 1e-9}, 10, 1e-6, 3, 1e-9},  // converges at the third sweep
        {{5.0, 1.0, 1e-9}, 2, 1e-6, 2, 1.0},    // the limit is no error
        {{5.0}, 1, 1e-6, 1, 5.0},
        {{5.0}, 0, 1e-6, 1, 5.0},               // at least one pair of sweeps always runs
        {{5.0}, -3, 1e-6, 1, 5.0},
        {{-2.0}, 10, 0.0, 1, 0.0},              // the maximum starts at 0
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        std::vector<Element*> elements;
        ScriptedElement element(c.changes.empty() ? std::vector<double>{0.0} : c.changes);
        if (!c.changes.empty()) elements.push_back(&element);
        const auto [iterations, change] = solve(elements, c.max_iterations, c.tolerance);
        EXPECT_EQ(iterations, c.iterations) << "case " << k;
        EXPECT_DOUBLE_EQ(change, c.change) << "case " << k;
        if (!c.changes.empty()) {
            EXPECT_EQ(element.backward_calls, element.forward_calls) << "case " << k;
        }
    }
}

TEST(BackwardForward, NaNEndsTheSolveAfterTheWholeSweep) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ScriptedElement first({1.0, nan}), second({3.0});
    try {
        solve({&first, &second}, 10, 1e-9);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "2 NaN value encountered at iteration 2. ");
    }
    EXPECT_EQ(second.forward_calls, 2u);  // the later forward step still ran
}

TEST(BackwardForward, ElementWithoutSweepsFailsInTheFirstBackwardSweep) {
    Element plain(1);
    ScriptedElement later({0.0});
    try {
        solve({&plain, &later}, 10, 1e-9);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "2 No backward-forward method has been defined for this element");
    }
    EXPECT_EQ(later.backward_calls, 1u);  // reverse order: the last element went first
    EXPECT_EQ(later.forward_calls, 0u);
}

TEST(BackwardForward, SweepsWriteThroughSoALaterSolverStartsThere) {
    const double pi = std::acos(-1.0);
    const Complex u[] = {230.0, std::polar(230.0, -2 * pi / 3)};
    const Complex zero[] = {0.0, 0.0, 0.0};
    VoltageSource source(3, u);
    PotentialRef ref;
    Bus bus(3, zero);
    bus.connect(source, {{0, 0}, {1, 1}, {2, 2}});
    bus.connect(ref, {{2, 0}});
    ElectricalNetwork network({&source, &ref, &bus});
    BackwardForward solver(&network);
    const auto [iterations, change] = solver.solve_load_flow(5, 1e-9);
    EXPECT_EQ(iterations, 2);  // the first sweep moves the phases from 0 V, the second nothing
    EXPECT_EQ(change, 0.0);
    EXPECT_DOUBLE_EQ(solver.variables[2], u[1].real());  // node of phase 2, bound
    // The forward step wrote the node's own value too: a new solver gathers the swept potentials.
    BackwardForward later(&network);
    EXPECT_DOUBLE_EQ(later.variables[0], 230.0);
    EXPECT_DOUBLE_EQ(later.variables[3], u[1].imag());
    solver.variables[0] = -1.0;
    solver.reset_inputs();
    EXPECT_EQ(solver.variables[0], 0.0);  // the gathered flat start
}

}  // namespace
}  // namespace meshvolt
