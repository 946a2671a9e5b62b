// The flexible-load wrappers: CyControl and CyProjection (plain values, copied into a parameter),
// CyFlexibleParameter (the control laws, the projection and the limits of one or more phases), and
// the flexible loads CyFlexibleLoad (star) and CyDeltaFlexibleLoad (delta).
//
// A flexible load points to the engine objects of the CyFlexibleParameter items it was given: the
// load's Python object holds those items, so that they outlive it.
#pragma once

#include "wrapper_type.hpp"

namespace meshvolt::ohmweave {

extern const TypeDefinition cy_control_type;
extern const TypeDefinition cy_projection_type;
extern const TypeDefinition cy_flexible_parameter_type;
extern const TypeDefinition cy_flexible_load_type;
extern const TypeDefinition cy_delta_flexible_load_type;

}  // namespace meshvolt::ohmweave
