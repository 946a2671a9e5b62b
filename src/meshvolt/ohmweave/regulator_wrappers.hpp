// The regulator wrapper: CySingleVoltageRegulator, a branch of four ports (input a and b on side 1,
// output a and b on side 2) whose output b shares input b's node from construction. It owns one
// SingleVoltageRegulator through its `element` pointer.
#pragma once

#include "wrapper_type.hpp"

namespace meshvolt::ohmweave {

extern const TypeDefinition cy_single_voltage_regulator_type;

}  // namespace meshvolt::ohmweave
