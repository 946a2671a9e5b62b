// The names the solvers' messages give the elements and nodes of a network.
#pragma once

#include <cstddef>
#include <string>

#include "solvers/network.hpp"

namespace meshvolt {

// The name a caller knows the element's type by: "Cy" and the engine class's name ("CyPowerLoad"
// for a PowerLoad), as the Python module names its types; the class's full name for a class the
// module does not wrap.
std::string element_type_name(const Element& element);

// "element e (CyPowerLoad)", e the element's position in the network's list; "a CyPowerLoad
// outside the network" for one that is not listed.
std::string element_name(const ElectricalNetwork& network, const Element* element);

// The port's position in its element's list of ports.
int port_index(const Port& port);

// "port p of element e (CyPowerLoad)", the port's element named as element_name does.
std::string port_name(const ElectricalNetwork& network, const Port& port);

// "node k (port p of element e (CyBus))", naming node k of the network's list by its first member
// port; "node k" for a node without members.
std::string node_name(const ElectricalNetwork& network, std::size_t k);

// The clause with its first letter in capitals, to open a message with it.
std::string capitalized(std::string clause);

}  // namespace meshvolt
