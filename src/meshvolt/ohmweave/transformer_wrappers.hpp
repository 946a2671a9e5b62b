// The transformer wrappers: the abstract CyTransformer, whose parameter update and no-load and
// short-circuit tests every transformer inherits, and CyThreePhaseTransformer,
// CySingleTransformer and CyCenterTransformer. Side 1 is the HV side, side 2 the LV side.
//
// The test methods write their test potentials into the transformer's nodes (shared with the
// elements joined to them, and with a solver that has bound them) and leave the computed port
// currents in place.
#pragma once

#include "wrapper_type.hpp"

namespace meshvolt::ohmweave {

extern const TypeDefinition cy_transformer_type;
extern const TypeDefinition cy_three_phase_transformer_type;
extern const TypeDefinition cy_single_transformer_type;
extern const TypeDefinition cy_center_transformer_type;

}  // namespace meshvolt::ohmweave
