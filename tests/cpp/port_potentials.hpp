// Reading and writing the potentials of the nodes an element's ports are joined to, shared by the
// tape fixture and the whole-network builders so that one test file can use both.
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

}  // namespace meshvolt::testing
