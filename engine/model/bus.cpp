#include "model/bus.hpp"

namespace meshvolt {

Bus::Bus(int n, const Complex* potentials) : ElementImpl<Bus>(n, potentials) {}

void Bus::initialize_potentials(const Complex* potentials) {
    for (int i = 0; i < port_count(); ++i) set_node_potential(i, potentials[i]);
}

}  // namespace meshvolt
