// The network's nodes, the solver value layout, binding into a solver's vectors and back out of it,
// and the mapping of layout positions to their owning elements.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

#include "model/bus.hpp"
#include "model/potential_ref.hpp"
#include "model/voltage_source.hpp"
#include "solvers/abstract_solver.hpp"
#include "solvers/network.hpp"

namespace meshvolt {
namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

// A solver that only gathers and binds, the way a solver without a tape does.
class BindingSolver : public AbstractSolver {
  public:
    explicit BindingSolver(ElectricalNetwork* network) : AbstractSolver(network) {
        gather_values();
        bind_values_without_tape();
        initial_variables = variables;
    }
    std::pair<int, double> solve_load_flow(int, double) override {
        take_values_over();
        return {0, 0.0};
    }
};

std::vector<double> to_std(const Eigen::VectorXd& v) {
    return std::vector<double>(v.data(), v.data() + v.size());
}

// A single-phase source between a bus node and a grounded neutral:
//     bus (port 0) — source phase (port 0), source neutral (port 1) — reference.
struct SourceNetwork {
    const Complex bus_potential[1] = {Complex(200.0, 10.0)};
    const Complex source_voltage[1] = {Complex(230.0, 0.0)};
    Bus bus{1, bus_potential};
    VoltageSource source{2, source_voltage};
    PotentialRef reference;
    std::unique_ptr<ElectricalNetwork> network;

    SourceNetwork() {
        bus.connect(source, {{0, 0}});
        source.connect(reference, {{1, 0}});
        network = std::make_unique<ElectricalNetwork>(
            std::vector<Element*>{&bus, &source, &reference});
    }
};

TEST(ElectricalNetwork, ListsEachNodeOnceInOrderOfFirstAppearance) {
    const Complex v[] = {1.0, 2.0};
    Bus a(2, v), b(2, v);
    PotentialRef reference;
    a.connect(b, {{1, 0}});          // a's port 1 and b's port 0 share a node
    b.connect(reference, {{1, 0}});  // b's port 1 is grounded
    ElectricalNetwork network({&b, &a, &reference});

    EXPECT_EQ(network.elements, (std::vector<Element*>{&b, &a, &reference}));
    ASSERT_EQ(network.connections.size(), 3u);
    EXPECT_EQ(network.connections[0], b.ports[0].connection);
    EXPECT_EQ(network.connections[0], a.ports[1].connection);
    EXPECT_EQ(network.connections[1], b.ports[1].connection);  // grounded, still listed
    EXPECT_TRUE(network.connections[1]->grounded);
    EXPECT_EQ(network.connections[2], a.ports[0].connection);
    EXPECT_TRUE(network.flexible_parameters.empty());
}

TEST(ElectricalNetwork, KeepsItsNodesAfterTheTopologyChanges) {
    const Complex v[] = {1.0, 2.0};
    Bus a(1, v), b(1, v + 1);
    ElectricalNetwork network({&a, &b});
    a.connect(b, {{0, 0}});
    // b's old node is absorbed, but the network still holds it with its old potential.
    ASSERT_EQ(network.connections.size(), 2u);
    EXPECT_NE(network.connections[1], b.ports[0].connection);
    EXPECT_EQ(network.connections[1]->get_potential(), Complex(2.0));
}

// The source network and a second part: a bus whose node holds a delta potential reference.
struct TwoPartNetwork {
    SourceNetwork s;
    DeltaPotentialRef delta{1};
    const Complex w[1] = {Complex(5.0, -6.0)};
    Bus other{1, w};
    std::unique_ptr<ElectricalNetwork> network;

    TwoPartNetwork() {
        other.connect(delta, {{0, 0}});
        network = std::make_unique<ElectricalNetwork>(
            std::vector<Element*>{&s.bus, &s.source, &s.reference, &other, &delta});
    }
};

TEST(NetworkValues, GathersNodesThenElementsInLayoutOrder) {
    TwoPartNetwork t;
    const NetworkValues values = collect_network_values(*t.network);
    // Free nodes: the source's phase node, then `other`'s node; the neutral is grounded.
    // Then the source current, then the delta reference's current.
    EXPECT_EQ(values.variables, (std::vector<double>{200.0, 10.0, 5.0, -6.0, 0.0, 0.0, 0.0, 0.0}));
    EXPECT_EQ(values.parameters, (std::vector<double>{230.0, 0.0}));
}

TEST(NetworkValues, GatheringNotesWhereEachPartLies) {
    TwoPartNetwork t;
    NetworkValues values;
    const ValueLayout layout = gather_network_values(*t.network, values);
    EXPECT_EQ(values.variables, collect_network_values(*t.network).variables);
    EXPECT_EQ(values.parameters, collect_network_values(*t.network).parameters);
    // The bus's node (the source's phase) and `other`'s node; the neutral is grounded.
    EXPECT_EQ(layout.free_nodes, (std::vector<Connection*>{t.s.bus.ports[0].connection.get(),
                                                          t.other.ports[0].connection.get()}));
    // Bus, source (its current), reference, other bus, delta reference (its current).
    EXPECT_EQ(layout.variable_starts, (std::vector<int>{4, 4, 6, 6, 6, 8}));
    EXPECT_EQ(layout.parameter_starts, (std::vector<int>{0, 0, 2, 2, 2, 2}));
    EXPECT_EQ(layout.variable_count(), 8);
    EXPECT_EQ(layout.flexible_start(), 2);
    EXPECT_EQ(layout.parameter_count, 2);
    const std::vector<bool> own = {false, true, false, false, true};
    for (std::size_t k = 0; k < own.size(); ++k)
        EXPECT_EQ(layout.has_own_variables(k), own[k]) << "element " << k;
    EXPECT_EQ(lay_out_values(*t.network).variable_starts, layout.variable_starts);
}

TEST(NetworkValues, AllGroundedWithoutUnknownsGathersNothing) {
    PotentialRef a, b;
    ElectricalNetwork network({&a, &b});
    const NetworkValues values = collect_network_values(network);
    EXPECT_TRUE(values.variables.empty());
    EXPECT_TRUE(values.parameters.empty());
    ElectricalNetwork empty({});
    EXPECT_TRUE(collect_network_values(empty).variables.empty());
}

TEST(NetworkValues, BindingPointsHoldersIntoTheSolverVectors) {
    SourceNetwork s;
    BindingSolver solver(s.network.get());
    ASSERT_EQ(to_std(solver.variables), (std::vector<double>{200.0, 10.0, 0.0, 0.0}));
    EXPECT_EQ(to_std(solver.initial_variables), to_std(solver.variables));

    // Reads follow the solver's entries; the own values are untouched by binding.
    solver.variables[0] = 300.0;
    solver.variables[3] = 7.0;
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(300.0, 10.0));
    EXPECT_EQ(s.source.currents[0].get(), Complex(0.0, 7.0));
    EXPECT_EQ(s.bus.ports[0].connection->potential.value, Complex(200.0, 10.0));

    // Updates write through to the solver's parameters.
    const Complex u[] = {Complex(240.0, 1.0)};
    s.source.update_voltages(u);
    EXPECT_EQ(to_std(solver.parameters), (std::vector<double>{240.0, 1.0}));

    // Gathering again reads the own values, not the solver's.
    EXPECT_EQ(collect_network_values(*s.network).variables,
              (std::vector<double>{200.0, 10.0, 0.0, 0.0}));
}

TEST(NetworkValues, BindingRefusesVectorsOfTheWrongLength) {
    SourceNetwork s;
    struct Case {
        Eigen::Index ad_variables, variables, ad_parameters, parameters;
    };
    const Case cases[] = {{3, 3, 2, 2}, {4, 3, 2, 2}, {4, 4, 1, 2}, {4, 4, 2, 3}};
    const ValueLayout layout = lay_out_values(*s.network);
    for (const Case& c : cases) {
        ADVector ax = ADVector::Zero(c.ad_variables), ap = ADVector::Zero(c.ad_parameters);
        Eigen::VectorXd x = Eigen::VectorXd::Zero(c.variables);
        Eigen::VectorXd p = Eigen::VectorXd::Zero(c.parameters);
        EXPECT_THROW(bind_network_values(*s.network, layout, ax, x, ap, p), std::length_error)
            << c.ad_variables << " " << c.variables << " " << c.ad_parameters << " "
            << c.parameters;
        EXPECT_FALSE(s.bus.ports[0].connection->potential.bound);
        EXPECT_FALSE(s.source.currents[0].bound);
        EXPECT_FALSE(s.source.voltages[0].bound);
    }
}

TEST(AbstractSolver, DestructionWritesTheLastValuesBackThenUnbinds) {
    SourceNetwork s;
    {
        BindingSolver solver(s.network.get());
        solver.variables[0] = 999.0;
        solver.variables[3] = 7.0;
        const Complex u[] = {Complex(240.0, 0.0)};
        s.source.update_voltages(u);
    }
    EXPECT_FALSE(s.bus.ports[0].connection->potential.bound);
    EXPECT_FALSE(s.source.currents[0].bound);
    EXPECT_FALSE(s.source.voltages[0].bound);
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(999.0, 10.0));
    EXPECT_EQ(s.source.currents[0].get(), Complex(0.0, 7.0));
    EXPECT_EQ(s.source.voltages[0].get(), Complex(240.0, 0.0));
    EXPECT_EQ(s.bus.ports[0].connection->values_owner, nullptr);
    EXPECT_EQ(s.source.values_owner, nullptr);
    EXPECT_TRUE(s.network->solvers.empty());
}

TEST(AbstractSolver, AnOlderSolverBindsTheValuesAgainOnceTheNewerIsGone) {
    SourceNetwork s;
    BindingSolver older(s.network.get());
    older.variables[0] = 111.0;
    {
        BindingSolver newer(s.network.get());
        newer.variables[0] = 222.0;
        EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(222.0, 10.0));
    }
    // The newer solver's last values stay visible; an update made now reaches only the own value.
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(222.0, 10.0));
    const Complex u[] = {Complex(250.0, 5.0)};
    s.source.update_voltages(u);
    EXPECT_EQ(older.parameters[0], 230.0);

    older.solve_load_flow(1, 0.0);
    EXPECT_EQ(s.source.values_owner, &older);
    EXPECT_EQ(to_std(older.parameters), (std::vector<double>{250.0, 5.0}));
    EXPECT_EQ(older.variables[0], 111.0);  // its own solution, not the values written back
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(111.0, 10.0));
    const Complex w[] = {Complex(260.0, 0.0)};
    s.source.update_voltages(w);
    EXPECT_EQ(older.parameters[0], 260.0);
}

TEST(AbstractSolver, ASolveTakesTheValuesOverFromASolverThatLives) {
    SourceNetwork s;
    BindingSolver older(s.network.get());
    older.variables[0] = 111.0;
    BindingSolver newer(s.network.get());  // binds every holder when it is made
    newer.variables[0] = 222.0;
    const Complex u[] = {Complex(250.0, 5.0)};
    s.source.update_voltages(u);  // reaches the newer solver's vector and the own value
    EXPECT_EQ(older.parameters[0], 230.0);

    older.solve_load_flow(1, 0.0);
    EXPECT_EQ(s.source.values_owner, &older);
    EXPECT_EQ(s.bus.ports[0].connection->values_owner, &older);
    EXPECT_EQ(to_std(older.parameters), (std::vector<double>{250.0, 5.0}));
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(111.0, 10.0));  // its own start
    EXPECT_EQ(newer.variables[0], 222.0);  // the vectors of the solver it took them from stay

    const Complex w[] = {Complex(260.0, 0.0)};
    s.source.update_voltages(w);
    EXPECT_EQ(older.parameters[0], 260.0);
    EXPECT_EQ(newer.parameters[0], 250.0);
    newer.solve_load_flow(1, 0.0);  // and back
    EXPECT_EQ(to_std(newer.parameters), (std::vector<double>{260.0, 0.0}));
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(222.0, 10.0));
    EXPECT_EQ(s.source.voltages[0].value_ptr, newer.parameters.data());
}

TEST(AbstractSolver, ASolveTakesOverOnlyTheHoldersOfItsOwnNetwork) {
    // Two networks share the bus node and the source; a solver on the second one binds them.
    SourceNetwork s;
    const Complex w[] = {Complex(50.0, 0.0)};
    Bus other(1, w);
    BindingSolver first(s.network.get());
    first.variables[0] = 111.0;
    auto shared = std::make_unique<ElectricalNetwork>(std::vector<Element*>{&s.source, &other});
    BindingSolver second(shared.get());
    EXPECT_EQ(s.source.values_owner, &second);
    EXPECT_EQ(s.reference.values_owner, &first);

    // The first solver binds them at their places in its own layout, and leaves `other`, which
    // is not in its network, to the second.
    first.solve_load_flow(1, 0.0);
    EXPECT_EQ(s.source.values_owner, &first);
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(111.0, 10.0));
    EXPECT_EQ(s.source.voltages[0].value_ptr, first.parameters.data());
    EXPECT_EQ(other.values_owner, &second);
    EXPECT_EQ(other.ports[0].connection->values_owner, &second);
}

TEST(AbstractSolver, TakingOverKeepsTheLayoutOfBindingWhenANodeIsGroundedSince) {
    SourceNetwork s;
    BindingSolver older(s.network.get());  // variables: bus node (0, 1), source current (2, 3)
    older.variables[3] = 5.0;
    { BindingSolver newer(s.network.get()); }
    PotentialRef second;
    s.bus.connect(second, {{0, 0}});  // the bus node survives, grounded: it has no place now
    older.solve_load_flow(1, 0.0);
    EXPECT_EQ(s.source.values_owner, &older);
    EXPECT_EQ(s.source.currents[0].get(), Complex(0.0, 5.0));
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(0.0, 0.0));
}

TEST(AbstractSolver, ANetworkDestroyedFirstDetachesItsSolvers) {
    SourceNetwork s;
    BindingSolver solver(s.network.get());
    solver.variables[0] = 300.0;
    s.network.reset();
    EXPECT_EQ(solver.network, nullptr);
    EXPECT_FALSE(s.bus.ports[0].connection->potential.bound);
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(300.0, 10.0));
    EXPECT_THROW(solver.solve_load_flow(1, 0.0), std::runtime_error);
}  // the solver is destroyed after its network without reading it

TEST(AbstractSolver, DestroyingAnOlderSolverLeavesTheNewerBindings) {
    SourceNetwork s;
    auto first = std::make_unique<BindingSolver>(s.network.get());
    BindingSolver second(s.network.get());
    first.reset();
    ASSERT_TRUE(s.bus.ports[0].connection->potential.bound);
    second.variables[1] = -1.0;
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(200.0, -1.0));
    const Complex u[] = {Complex(100.0, 0.0)};
    s.source.update_voltages(u);
    EXPECT_EQ(second.parameters[0], 100.0);
}

TEST(AbstractSolver, VariablesAreReplacedInPlace) {
    SourceNetwork s;
    BindingSolver solver(s.network.get());
    const double* storage = solver.variables.data();

    const double longer[] = {1.0, 2.0, 3.0, 4.0, 5.0};
    solver.set_variables(longer, 5);
    EXPECT_EQ(to_std(solver.variables), (std::vector<double>{1.0, 2.0, 3.0, 4.0}));
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(1.0, 2.0));

    const double shorter[] = {9.0, 9.0};
    EXPECT_THROW(solver.set_variables(shorter, 2), std::length_error);
    EXPECT_EQ(to_std(solver.variables), (std::vector<double>{1.0, 2.0, 3.0, 4.0}));

    solver.reset_inputs();
    EXPECT_EQ(to_std(solver.variables), (std::vector<double>{200.0, 10.0, 0.0, 0.0}));
    EXPECT_EQ(solver.variables.data(), storage);
    EXPECT_EQ(s.bus.ports[0].connection->get_potential(), Complex(200.0, 10.0));
}

TEST(AbstractSolver, RefusesANullNetwork) {
    EXPECT_THROW(BindingSolver solver(nullptr), std::invalid_argument);
}

// Layout of the fixture below (n = 8):
//   0, 1  node N0 = {source phase, bus port 0}     2, 3  node N1 = {bus port 1, delta port 0}
//   4, 5  source current                            6, 7  delta reference current
// The source's neutral is grounded.
class OwningElements : public ::testing::Test {
  protected:
    OwningElements() {
        source.connect(bus, {{0, 0}});
        bus.connect(delta, {{1, 0}});
        source.connect(reference, {{1, 0}});
        network = std::make_unique<ElectricalNetwork>(
            std::vector<Element*>{&bus, &source, &delta, &reference});
    }
    std::vector<int> owners(const std::vector<std::int64_t>& indices) const {
        return find_owning_elements(*network, lay_out_values(*network), indices);
    }

    const Complex v[2] = {1.0, 2.0};
    const Complex u[1] = {230.0};
    Bus bus{2, v};
    VoltageSource source{2, u};
    DeltaPotentialRef delta{1};
    PotentialRef reference;
    std::unique_ptr<ElectricalNetwork> network;
};

TEST_F(OwningElements, FollowTheLayout) {
    struct Case {
        std::vector<std::int64_t> indices;
        std::vector<int> owners;
    };
    const Case cases[] = {
        {{}, {}},
        {{0}, {1}},        // N0's first member port is the source's
        {{1, 3}, {0, 1}},  // N1's first member port is the bus's
        {{4, 5}, {1}},     // two entries of one element give one owner
        {{6}, {2}},
        {{2, 7}, {0, 2}},
        {{8}, {}},  // past the whole layout
        {{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(owners(c.indices), c.owners) << ::testing::PrintToString(c.indices);
}

TEST_F(OwningElements, FollowALayoutGatheredEarlier) {
    const ValueLayout layout = lay_out_values(*network);
    // N1 grounded since: in the earlier layout its entries still name its members' owners.
    PotentialRef second;
    bus.connect(second, {{1, 0}});
    EXPECT_EQ(find_owning_elements(*network, layout, {2, 3, 6}), (std::vector<int>{0, 2}));
    EXPECT_EQ(find_owning_elements(*network, layout, {}), std::vector<int>{});
    EXPECT_EQ(find_owning_elements(*network, layout, {8}), std::vector<int>{});
}

TEST_F(OwningElements, NodeIndicesNameThePortsWithNaNCurrents) {
    bus.ports[1].current_ad = ADComplex(ADScalar(nan), ADScalar(0.0));
    delta.ports[0].current_ad = ADComplex(ADScalar(0.0), ADScalar(nan));
    EXPECT_EQ(owners({2}), (std::vector<int>{0, 2}));
    source.ports[0].current_ad = ADComplex(ADScalar(nan), ADScalar(nan));
    EXPECT_EQ(owners({0}), (std::vector<int>{1}));  // not the first member's owner as well
}

TEST_F(OwningElements, ANodeWithoutMembersNamesNobody) {
    bus.disconnect();
    delta.disconnect();
    EXPECT_TRUE(network->connections[1]->ports.empty());
    EXPECT_EQ(owners({2, 3}), std::vector<int>{});
    EXPECT_EQ(owners({0}), std::vector<int>{1});
}

TEST_F(OwningElements, OwnersOutsideTheListAreSkipped) {
    // A port of an element that is not in the network joins N0 first.
    Bus stranger(1, v);
    stranger.connect(source, {{0, 0}});
    ElectricalNetwork partial({&source, &bus});
    const ValueLayout layout = lay_out_values(partial);
    EXPECT_EQ(find_owning_elements(partial, layout, {0}), std::vector<int>{});
    EXPECT_EQ(find_owning_elements(partial, layout, {2}), std::vector<int>{1});  // N1: the bus
    EXPECT_EQ(find_owning_elements(partial, layout, {4}),
              std::vector<int>{0});  // the source's current
}

}  // namespace
}  // namespace meshvolt
