// A value worked out from the node layout is worked out again after every change of that layout
// (two nodes merged, a node grounded by a merge, an element leaving its nodes), and only then.
#include <gtest/gtest.h>

#include "model/bus.hpp"
#include "model/potential_ref.hpp"
#include "solvers/layout_memo.hpp"

namespace meshvolt {
namespace {

TEST(LayoutMemo, DerivesOnFirstUseAndAfterEachLayoutChangeOnly) {
    const Complex start[] = {230.0};
    Bus a(1, start);
    Bus b(1, start);
    int derivations = 0;
    const auto derive = [&] { return ++derivations; };
    LayoutMemo<int> memo;
    EXPECT_EQ(memo.get(derive), 1);
    EXPECT_EQ(memo.get(derive), 1);

    a.connect(b, {{0, 0}});
    EXPECT_EQ(memo.get(derive), 2);
    EXPECT_EQ(memo.get(derive), 2);
    a.connect(b, {{0, 0}});  // one node already: nothing changes
    EXPECT_EQ(memo.get(derive), 2);

    b.disconnect();
    EXPECT_EQ(memo.get(derive), 3);
    {
        PotentialRef ref;
        a.connect(ref, {{0, 0}});  // grounds a's node
        EXPECT_TRUE(a.ports[0].connection->grounded);
        EXPECT_EQ(memo.get(derive), 4);
    }  // the reference leaves the node as it goes
    EXPECT_EQ(memo.get(derive), 5);
    EXPECT_EQ(memo.get(derive), 5);
}

TEST(LayoutMemo, EachMemoKeepsItsOwnValue) {
    const Complex start[] = {230.0};
    Bus a(1, start);
    Bus b(1, start);
    LayoutMemo<int> first;
    LayoutMemo<int> second;
    EXPECT_EQ(first.get([] { return 1; }), 1);
    a.connect(b, {{0, 0}});
    EXPECT_EQ(second.get([] { return 2; }), 2);
    EXPECT_EQ(second.get([] { return 3; }), 2);
    EXPECT_EQ(first.get([] { return 4; }), 4);
}

}  // namespace
}  // namespace meshvolt
