// Closed and open switches: layout, equations, currents on the tape and in plain numbers, and the
// backward-forward steps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "model/bus.hpp"
#include "model/potential_ref.hpp"
#include "model/switch.hpp"
#include "tape_fixture.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const double nan = std::numeric_limits<double>::quiet_NaN();

// Side 1 of the switch on bus `a`, side 2 on bus `b`.
void join(Branch& sw, Bus& a, Bus& b) {
    PortPairs pairs;
    for (int i = 0; i < a.port_count(); ++i) pairs.push_back({i, i});
    sw.connect_side(a, pairs, true);
    sw.connect_side(b, pairs, false);
}

TEST(Switch, ThreeConductorsBetweenTwoBuses) {
    const Complex v1[] = {Complex(230.0, 1.0), Complex(-115.0, -199.0), Complex(-115.0, 199.0)};
    const Complex v2[] = {Complex(229.0, 0.0), Complex(-114.0, -198.5), Complex(-116.0, 200.0)};
    Bus a(3, v1), b(3, v2);
    Switch sw(3);
    join(sw, a, b);
    ASSERT_EQ(sw.port_count(), 6);

    std::vector<double> values;
    sw.collect_variables(values);
    EXPECT_EQ(values, std::vector<double>(6, 0.0));  // the currents start at 0

    const Complex j[] = {Complex(10.0, -2.0), Complex(-5.0, 1.0), Complex(0.5, 0.25)};
    for (int i = 0; i < 3; ++i) sw.currents[i].value = j[i];
    TapeCheck check({&a, &b, &sw});
    ASSERT_EQ(check.equation_count, 6);
    for (int i = 0; i < 3; ++i) {
        EXPECT_DOUBLE_EQ(check.residual(2 * i), (v1[i] - v2[i]).real()) << "conductor " << i;
        EXPECT_DOUBLE_EQ(check.residual(2 * i + 1), (v1[i] - v2[i]).imag()) << "conductor " << i;
    }
    check.expect_currents_agree();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sw.ports[i].current, j[i]);
        EXPECT_EQ(sw.ports[3 + i].current, -j[i]);
    }

    // Equal potentials on both sides satisfy every equation.
    for (int i = 0; i < 3; ++i) check.variables[6 + 2 * i] = check.variables[2 * i];
    for (int i = 0; i < 3; ++i) check.variables[6 + 2 * i + 1] = check.variables[2 * i + 1];
    check.evaluate();
    for (int k = 0; k < 6; ++k) EXPECT_EQ(check.residual(k), 0.0);

    // The current variables follow the node potentials in the solver's vector.
    check.variables[12] = 7.0;
    check.variables[13] = -3.0;
    check.evaluate();
    EXPECT_EQ(sw.ports[0].current, Complex(7.0, -3.0));
    EXPECT_EQ(sw.ports[3].current, Complex(-7.0, 3.0));
    check.expect_currents_agree();
}

TEST(Switch, GroundedSideOneReadsZero) {
    const Complex v2[] = {Complex(3.0, -4.0)};
    Bus b(1, v2);
    PotentialRef ref;
    Switch sw(1);
    sw.connect_side(ref, {{0, 0}}, true);
    sw.connect_side(b, {{0, 0}}, false);
    {
        TapeCheck check({&ref, &b, &sw});
        ASSERT_EQ(check.equation_count, 2);
        EXPECT_EQ(check.residual(0), -3.0);  // 0 - V2
        EXPECT_EQ(check.residual(1), 4.0);
        check.expect_currents_agree();

        EXPECT_EQ(sw.forward_step(), 5.0);  // |0 - (3 - 4j)|
        EXPECT_EQ(potential(b, 0), Complex(0.0));
        EXPECT_EQ(check.variables[0], 0.0);  // written through to the solver
        EXPECT_EQ(check.variables[1], 0.0);
    }
    EXPECT_EQ(b.ports[0].connection->potential.value, Complex(0.0));  // and to the own value
}

TEST(Switch, SizesWithoutConductorsOrNegative) {
    Switch none(0);
    OpenSwitch open_none(0);
    EXPECT_EQ(none.port_count(), 0);
    EXPECT_EQ(open_none.port_count(), 0);
    Bus bus(1, nullptr);  // a tape needs at least one variable
    TapeCheck check({&bus, &none, &open_none});
    EXPECT_EQ(check.equation_count, 0);
    EXPECT_EQ(check.variables.size(), 2);
    none.backward_step();
    EXPECT_EQ(none.forward_step(), 0.0);

    for (int n : {-1, -3}) {
        try {
            Switch bad(n);
            FAIL() << "closed, n = " << n;
        } catch (const std::length_error& e) {
            EXPECT_STREQ(e.what(), "vector::reserve");
        }
        try {
            OpenSwitch bad(n);
            FAIL() << "open, n = " << n;
        } catch (const std::length_error& e) {
            EXPECT_STREQ(e.what(), "vector::reserve");
        }
    }
}

TEST(Switch, BackwardStepPassesTheSideTwoDemandToSideOne) {
    Switch sw(2);
    Element load_a(1), load_b(1), load_c(1);
    sw.connect(load_a, {{2, 0}});
    sw.connect(load_b, {{2, 0}});
    sw.connect(load_c, {{3, 0}});
    load_a.ports[0].current = Complex(1.0, 2.0);
    load_b.ports[0].current = Complex(3.0, -1.0);
    load_c.ports[0].current = Complex(-0.5, 0.0);
    sw.backward_step();
    EXPECT_EQ(sw.ports[2].current, Complex(-4.0, -1.0));
    EXPECT_EQ(sw.ports[3].current, Complex(0.5, 0.0));
    EXPECT_EQ(sw.ports[0].current, Complex(4.0, 1.0));
    EXPECT_EQ(sw.ports[1].current, Complex(-0.5, 0.0));
}

TEST(Switch, ForwardStepCopiesSideOneToSideTwo) {
    const Complex v1[] = {Complex(230.0, 5.0), Complex(-115.0, -199.0)};
    const Complex v2[] = {0.0, 0.0};
    Bus a(2, v1), b(2, v2);
    Switch sw(2);
    join(sw, a, b);
    // The measure is the largest modulus of a side-2 change, from 0 V here; a second step copies
    // nothing new.
    EXPECT_DOUBLE_EQ(sw.forward_step(), std::max(std::abs(v1[0]), std::abs(v1[1])));
    EXPECT_EQ(potential(b, 0), v1[0]);
    EXPECT_EQ(potential(b, 1), v1[1]);
    EXPECT_EQ(sw.forward_step(), 0.0);
}

// A grounded side-2 node keeps reading 0 whatever is copied into it: it counts no change, except
// that a copied NaN still makes the measure NaN.
TEST(Switch, ForwardStepIntoAGroundedNodeCountsNoChangeButANaN) {
    for (const Complex v : {Complex(230.0, 5.0), Complex(nan, 0.0)}) {
        const Complex v1[] = {v};
        Bus a(1, v1), b(1, nullptr);
        PotentialRef ref;
        Switch sw(1);
        join(sw, a, b);
        b.connect(ref, {{0, 0}});
        const double change = sw.forward_step();
        if (std::isnan(v.real()))
            EXPECT_TRUE(std::isnan(change));
        else
            EXPECT_EQ(change, 0.0);
        EXPECT_EQ(potential(b, 0), Complex(0.0));
    }
}

TEST(Switch, ForwardStepReportsACopiedNaN) {
    struct Case {
        Complex v1;
        bool is_nan;
    };
    const Case cases[] = {{Complex(nan, 0.0), true}, {Complex(0.0, nan), true},
                          {Complex(1.0, 2.0), false}};
    for (const Case& c : cases) {
        const Complex v1[] = {Complex(5.0), c.v1};
        const Complex v2[] = {0.0, 0.0};
        Bus a(2, v1), b(2, v2);
        Switch sw(2);
        join(sw, a, b);
        EXPECT_EQ(std::isnan(sw.forward_step()), c.is_nan) << c.v1;
    }
}

TEST(Switch, ReleaseKeepsTheSolversLastCurrents) {
    Bus a(1, nullptr), b(1, nullptr);
    Switch sw(1);
    join(sw, a, b);
    sw.currents[0].value = Complex(2.0, 1.0);
    {
        TapeCheck check({&a, &b, &sw});
        EXPECT_TRUE(sw.currents[0].bound);
        check.variables[4] = 9.0;
        EXPECT_EQ(sw.currents[0].get(), Complex(9.0, 1.0));
    }
    EXPECT_FALSE(sw.currents[0].bound);
    EXPECT_EQ(sw.currents[0].get(), Complex(9.0, 1.0));
}

TEST(OpenSwitch, CarriesNoCurrentAndSeparatesItsSides) {
    const Complex v1[] = {Complex(230.0, 0.0), Complex(0.0, 230.0)};
    const Complex v2[] = {Complex(1.0, 1.0), Complex(2.0, 2.0)};
    Bus a(2, v1), b(2, v2);
    OpenSwitch sw(2);
    join(sw, a, b);
    for (Port& port : sw.ports) port.current = Complex(5.0, 5.0);
    TapeCheck check({&a, &b, &sw});
    EXPECT_EQ(check.equation_count, 0);
    EXPECT_EQ(check.node_count(), 4);  // both sides keep nodes of their own
    check.expect_currents_agree();
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(sw.ports[k].current, Complex(0.0)) << "port " << k;
        EXPECT_EQ(check.tape_current(2, k), Complex(0.0)) << "port " << k;
    }

    Element load(1);
    sw.connect(load, {{2, 0}});
    load.ports[0].current = Complex(3.0, 0.0);
    for (Port& port : sw.ports) port.current = Complex(5.0, 5.0);
    sw.backward_step();
    for (int k = 0; k < 4; ++k) EXPECT_EQ(sw.ports[k].current, Complex(0.0)) << "port " << k;
    EXPECT_EQ(sw.forward_step(), 0.0);
    EXPECT_EQ(potential(b, 0), v2[0]);  // nothing crosses the open switch
}

}  // namespace
}  // namespace meshvolt
