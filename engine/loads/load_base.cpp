#include "loads/load_base.hpp"

namespace meshvolt {

LoadBase::~LoadBase() = default;

void LoadBase::stored_phase_currents(Complex* out) const {
    for (int i = 0; i < port_count() - 1; ++i) out[i] = ports[i].current;
}

}  // namespace meshvolt
