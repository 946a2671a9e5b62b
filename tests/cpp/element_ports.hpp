// What an element's ports see: the potentials of the nodes they are joined to, and the currents
// they carry. Shared by the tape fixture and the whole-network builders so that one test file can
// use both.
#pragma once

#include <cstddef>
#include <vector>

#include "model/element.hpp"

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
