// The line wrappers: CySimplifiedLine (series impedance only) and CyShuntLine (series impedance
// and shunt admittance). Both are branches: side 1 is ports 0..n-1, side 2 ports n..2n-1, and the
// shunt line has the common node of its shunt admittances as its last port 2n.
//
// The line data are n x n matrices given row by row (entry i·n + j is the matrix entry (i, j)),
// and an update writes through to a solver that has bound the line, so the next solve uses it.
#pragma once

#include "wrapper_type.hpp"

namespace meshvolt::ohmweave {

extern const TypeDefinition cy_simplified_line_type;
extern const TypeDefinition cy_shunt_line_type;

}  // namespace meshvolt::ohmweave
