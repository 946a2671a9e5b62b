// Ports, nodes, joining and leaving, and the solver-value holders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <limits>
#include <stdexcept>

#include "model/bus.hpp"
#include "model/potential_ref.hpp"
#include "tape_fixture.hpp"

namespace meshvolt {
namespace {

using namespace testing;

TEST(Element, PortsAreBornAloneInNodesOfTheirOwn) {
    Element none(0);
    EXPECT_EQ(none.port_count(), 0);
    Element one;
    ASSERT_EQ(one.port_count(), 1);
    EXPECT_EQ(one.ports[0].connection->ports, std::vector<Port*>{&one.ports[0]});
    EXPECT_EQ(one.ports[0].element, &one);
    EXPECT_EQ(potential(one, 0), Complex(0.0, 0.0));
    Element three(3);
    EXPECT_NE(three.ports[0].connection, three.ports[1].connection);
}

TEST(Element, NegativePortCountIsTheReserveLengthError) {
    try {
        Element bad(-1);
        FAIL() << "no exception";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "vector::reserve");
    }
}

TEST(Element, ConnectMergesIntoTheCallersNode) {
    const Complex va[] = {1.0, 2.0};
    const Complex vb[] = {10.0, 20.0};
    Bus a(2, va), b(2, vb);
    a.connect(b, {{0, 1}, {1, 0}});
    EXPECT_EQ(a.ports[0].connection, b.ports[1].connection);
    EXPECT_EQ(potential(b, 1), Complex(1.0));  // the caller's node survives
    EXPECT_EQ(potential(b, 0), Complex(2.0));
    // The survivor lists its own ports first, then the absorbed ones.
    EXPECT_EQ(a.ports[0].connection->ports, (std::vector<Port*>{&a.ports[0], &b.ports[1]}));
    // Joining ports that already share a node changes nothing.
    a.connect(b, {{0, 1}});
    EXPECT_EQ(a.ports[0].connection->ports.size(), 2u);
}

TEST(Element, ConnectPortsAbsorbsIntoTheFirstNamedPort) {
    const Complex v[] = {1.0, 2.0, 3.0};
    Bus bus(3, v);
    const int order[] = {2, 0, 1};
    bus.connect_ports(order, 3);
    EXPECT_EQ(bus.ports[2].connection->ports,
              (std::vector<Port*>{&bus.ports[2], &bus.ports[0], &bus.ports[1]}));
    EXPECT_EQ(potential(bus, 0), Complex(3.0));
    const int single[] = {1};
    bus.connect_ports(single, 1);  // nothing to join
    EXPECT_EQ(bus.ports[2].connection->ports.size(), 3u);
}

TEST(Element, PortIndicesAreCheckedBeforeAnythingIsJoined) {
    Element a(2), b(2);
    try {
        a.connect(b, {{0, 0}, {1, 2}});
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "port index 2 out of range for 2 ports");
    }
    EXPECT_NE(a.ports[0].connection, b.ports[0].connection);  // the valid first pair was not joined
    const int bad[] = {0, -1};
    EXPECT_THROW(a.connect_ports(bad, 2), std::out_of_range);
    EXPECT_EQ(a.ports[0].connection->ports.size(), 1u);
}

TEST(Element, GroundedFlagSurvivesMergesInEitherDirection) {
    const Complex v[] = {5.0};
    Bus free_first(1, v), free_second(1, v);
    PotentialRef ref1, ref2;
    free_first.connect(ref1, {{0, 0}});
    ref2.connect(free_second, {{0, 0}});
    for (const Element* e : {static_cast<Element*>(&free_first), static_cast<Element*>(&free_second)}) {
        EXPECT_TRUE(e->ports[0].connection->grounded);
        EXPECT_EQ(potential(*e, 0), Complex(0.0));  // the own value 5 is hidden
    }
}

TEST(Element, DisconnectLeavesPortsReadingTheirNode) {
    const Complex v[] = {7.0};
    Bus a(1, v), b(1, v), c(1, v);
    a.connect(b, {{0, 0}});
    b.disconnect();
    b.disconnect();
    EXPECT_EQ(a.ports[0].connection->ports, std::vector<Port*>{&a.ports[0]});
    EXPECT_EQ(potential(b, 0), Complex(7.0));
    b.ports[0].current = 3.0;
    EXPECT_EQ(a.ports[0].balance_current(), Complex(0.0));  // a lone member balances to 0
    // A later merge of the node does not re-point the disconnected port.
    c.connect(a, {{0, 0}});
    EXPECT_NE(b.ports[0].connection, c.ports[0].connection);
}

TEST(Element, MergeOfAStaleNodeMovesOnlyItsCurrentMembers) {
    Element a(1), b(1), c(1);
    // a absorbs b's node; b's old node still lists b, which now belongs to a's node. Reaching the
    // stale node must not pull b away from a's node.
    std::shared_ptr<Connection> stale = b.ports[0].connection;
    a.connect(b, {{0, 0}});
    c.ports[0].connection->merge(stale);
    EXPECT_EQ(a.ports[0].connection, b.ports[0].connection);
    EXPECT_EQ(c.ports[0].connection->ports, std::vector<Port*>{&c.ports[0]});
}

TEST(Element, DestroyedElementLeavesNoPortInItsNodes) {
    Element a(1);
    {
        Element b(1);
        a.connect(b, {{0, 0}});
        EXPECT_EQ(a.ports[0].connection->ports.size(), 2u);
    }
    EXPECT_EQ(a.ports[0].connection->ports, std::vector<Port*>{&a.ports[0]});
}

TEST(Element, AbsorbedNodeKeepsNoMember) {
    // p joins e, leaves, and z absorbs p's old node through e: that node must not go on listing e,
    // which is destroyed before q merges the node again through p's disconnected port.
    Element p(1), z(1), q(1);
    {
        Element e(1);
        p.connect(e, {{0, 0}});
        p.disconnect();
        z.connect(e, {{0, 0}});
        EXPECT_TRUE(p.ports[0].connection->ports.empty());
        EXPECT_EQ(z.ports[0].connection->ports, (std::vector<Port*>{&z.ports[0], &e.ports[0]}));
    }
    q.connect(p, {{0, 0}});
    EXPECT_EQ(q.ports[0].connection->ports, std::vector<Port*>{&q.ports[0]});
    EXPECT_EQ(z.ports[0].connection->ports, std::vector<Port*>{&z.ports[0]});
    EXPECT_NE(p.ports[0].connection, q.ports[0].connection);  // a disconnected port is not re-pointed
}

TEST(Element, MembersLeaveInAnyOrderAndTheRestKeepTheirJoinOrder) {
    // Six elements joined to one ground; the listed ones leave (destroyed or disconnected), in
    // that order, and the others stay listed in the order in which they joined.
    struct Case {
        std::vector<int> leaving;
        bool destroyed;
    };
    const Case cases[] = {
        {{0}, true}, {{5}, true}, {{2, 4}, true}, {{5, 0, 3, 1, 2, 4}, true}, {{3, 3, 1}, false},
    };
    for (const Case& c : cases) {
        Ground ground;
        std::vector<std::unique_ptr<Element>> members;
        for (int k = 0; k < 6; ++k) {
            members.push_back(std::make_unique<Element>(1));
            ground.connect(*members.back(), {{0, 0}});
        }
        for (int k : c.leaving) {
            if (!members[k]) continue;
            if (c.destroyed)
                members[k].reset();
            else
                members[k]->disconnect();
        }
        std::vector<Port*> expected{&ground.ports[0]};
        for (int k = 0; k < 6; ++k) {
            const bool left = std::find(c.leaving.begin(), c.leaving.end(), k) != c.leaving.end();
            if (!left) expected.push_back(&members[k]->ports[0]);
        }
        EXPECT_EQ(ground.ports[0].connection->ports, expected)
            << ::testing::PrintToString(c.leaving) << (c.destroyed ? " destroyed" : " disconnected");
    }
}

TEST(Element, BalanceCurrentIsMinusTheOtherMembers) {
    Element a(1), b(1), c(1);
    a.connect(b, {{0, 0}});
    a.connect(c, {{0, 0}});
    b.ports[0].current = Complex(1.0, 2.0);
    c.ports[0].current = Complex(3.0, -1.0);
    a.ports[0].current = Complex(100.0, 100.0);  // its own current is not counted
    EXPECT_EQ(a.ports[0].balance_current(), Complex(-4.0, -1.0));
}

TEST(Element, DefaultProtocol) {
    Element e(2);
    std::vector<double> values;
    e.collect_variables(values);
    e.collect_parameters(values);
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(e.forward_step(), 0.0);
    try {
        e.backward_step();
        FAIL() << "no exception";
    } catch (const std::runtime_error& err) {
        EXPECT_STREQ(err.what(), "2 No backward-forward method has been defined for this element");
    }
}

TEST(Holders, ComplexVariableReadsOwnValueUntilBoundThenWritesThrough) {
    ComplexVariable h(Complex(1.0, 2.0));
    EXPECT_EQ(h.get(), Complex(1.0, 2.0));
    std::vector<double> pushed;
    h.push_value(pushed);
    EXPECT_EQ(pushed, (std::vector<double>{1.0, 2.0}));

    Eigen::VectorXd values = Eigen::VectorXd::Constant(4, 9.0);
    ADVector tape(4);
    int index = 1;
    h.bind(tape, values, index);
    EXPECT_EQ(index, 3);
    EXPECT_EQ(h.value, Complex(1.0, 2.0));  // binding does not change the own value
    EXPECT_EQ(h.get(), Complex(9.0, 9.0));  // it reads the solver's entries
    h.set(Complex(5.0, 6.0));
    EXPECT_EQ(values[1], 5.0);
    EXPECT_EQ(values[2], 6.0);
    EXPECT_EQ(h.value, Complex(5.0, 6.0));
    h.release_from(values);
    EXPECT_FALSE(h.bound);
    values[1] = -1.0;
    EXPECT_EQ(h.get(), Complex(5.0, 6.0));
}

TEST(Holders, AVariableLeavingItsSolverKeepsTheSolversValue) {
    Eigen::VectorXd values = Eigen::VectorXd::Constant(3, 4.0);
    Eigen::VectorXd elsewhere = Eigen::VectorXd::Zero(3);
    ADVector tape(3);
    ComplexVariable c(Complex(1.0, 2.0));
    RealVariable r(3.0);
    int index = 0;
    c.bind(tape, values, index);
    r.bind(tape, values, index);
    values << 7.0, 8.0, 9.0;
    c.keep_from(elsewhere);  // bound into other storage: nothing happens
    r.keep_from(elsewhere);
    EXPECT_TRUE(c.bound && r.bound);
    c.keep_from(values);
    r.keep_from(values);
    EXPECT_FALSE(c.bound || r.bound);
    values.setZero();
    EXPECT_EQ(c.get(), Complex(7.0, 8.0));
    EXPECT_EQ(r.get(), 9.0);
}

TEST(Holders, RealVariableBindsOneEntry) {
    RealVariable h(2.5);
    Eigen::VectorXd values = Eigen::VectorXd::Zero(2);
    ADVector tape(2);
    int index = 1;
    h.bind(tape, values, index);
    EXPECT_EQ(index, 2);
    h.set(4.0);
    EXPECT_EQ(values[1], 4.0);
    EXPECT_EQ(h.get(), 4.0);
}

TEST(Holders, MatrixLaysOutRowMajor) {
    Eigen::MatrixXcd m(2, 3);
    m << Complex(1, 2), Complex(3, 4), Complex(5, 6), Complex(7, 8), Complex(9, 10), Complex(11, 12);
    ComplexVariableMatrix h(m);
    std::vector<double> pushed;
    h.push_values(pushed);
    EXPECT_EQ(pushed, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));

    Eigen::VectorXd values(14);
    for (int k = 0; k < 14; ++k) values[k] = k;
    ADVector tape(14);
    int index = 2;
    h.bind(tape, values, index);
    EXPECT_EQ(index, 14);
    EXPECT_EQ(h.get(1, 0), Complex(2 + 6, 2 + 7));  // entries b + 6 and b + 7
    EXPECT_EQ(h.ad_value.rows(), 2);

    Eigen::MatrixXcd n = Eigen::MatrixXcd::Constant(2, 3, Complex(-1.0, 1.0));
    n(0, 2) = Complex(42.0, 43.0);
    h.set(n);
    EXPECT_EQ(values[2 + 4], 42.0);
    EXPECT_EQ(values[2 + 5], 43.0);
    EXPECT_THROW(h.set(Eigen::MatrixXcd::Zero(3, 3)), std::invalid_argument);

    ComplexVariableMatrix empty(Eigen::MatrixXcd(0, 0));
    pushed.clear();
    empty.push_values(pushed);
    EXPECT_TRUE(pushed.empty());
    index = 5;
    empty.bind(tape, values, index);
    EXPECT_EQ(index, 5);
}

}  // namespace
}  // namespace meshvolt

namespace meshvolt {
namespace {

TEST(Measures, NaNIsNeverHidden) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(max_measure(1.0, 3.0), 3.0);
    EXPECT_TRUE(std::isnan(max_measure(nan, 3.0)));
    EXPECT_TRUE(std::isnan(max_measure(3.0, nan)));
    EXPECT_EQ(part_measure(Complex(-4.0, 2.0)), 4.0);
    EXPECT_TRUE(std::isnan(part_measure(Complex(1.0, nan))));
    EXPECT_DOUBLE_EQ(modulus_measure(Complex(3.0, -4.0)), 5.0);
    EXPECT_TRUE(std::isnan(modulus_measure(Complex(-inf, nan))));  // std::abs would say inf
}

}  // namespace
}  // namespace meshvolt
