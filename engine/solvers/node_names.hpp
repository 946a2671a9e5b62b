// The names the solvers' messages give the elements and nodes of a network.
#pragma once

#include <cstddef>
#include <string>

#include "solvers/network.hpp"

namespace meshvolt {

// "element e", e the element's position in the network's list; "an element outside the network".
std::string element_name(const ElectricalNetwork& network, const Element* element);

// "node k (port p of element e)", naming node k of the network's list by its first member port;
// "node k" for a node without members.
std::string node_name(const ElectricalNetwork& network, std::size_t k);

}  // namespace meshvolt
