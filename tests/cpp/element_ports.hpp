// What an element's ports see: the nodes they are joined to, their potentials, and the currents
// they carry. Shared by the tape fixture and the whole-network builders so that one test file can
// use both.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "model/element.hpp"

namespace meshvolt {

// The members of a node, in order, equal the given ports: EXPECT_EQ(node.ports, {...}). In the
// namespace of MemberList, where the framework's comparison finds it.
inline bool operator==(const MemberList& members, const std::vector<Port*>& ports) {
    return members.size() == ports.size() &&
           std::equal(ports.begin(), ports.end(), members.begin());
}

}  // namespace meshvolt

namespace meshvolt::testing {

// The potential of the node of an element's port, by the read rule.
inline Complex potential(const Element& element, int port) {
    return element.ports[port].connection->get_potential();
}

// Writes v[k] into the node of port k, for the first v.size() ports.
inline void set_potentials(Element& element, const std::vector<Complex>& v) {
    for (std::size_t k = 0; k < v.size(); ++k) element.ports[k].connection->set_potential(v[k]);
}

// The sum of the plain currents of all the element's ports.
inline Complex port_sum(const Element& element) {
    Complex sum(0.0, 0.0);
    for (const Port& port : element.ports) sum += port.current;
    return sum;
}

}  // namespace meshvolt::testing
