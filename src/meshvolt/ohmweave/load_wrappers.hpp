// The load wrappers: the abstract CyLoad, which adds the reading of a load's inner currents to
// CyElement, the six constant loads (power, admittance and current, each in star and in delta
// connection) with their set-point updates, and CyLoadBalancer.
//
// A star load of n ports (phases 0..n-2, neutral n-1) has one set-point per phase, n-1 in all; a
// delta load of n ports has one per pair of consecutive ports, n in all. The inner currents are
// the phase currents (star, load balancer) or the pair currents (delta).
#pragma once

#include "wrapper_type.hpp"

namespace meshvolt::ohmweave {

extern const TypeDefinition cy_load_type;
extern const TypeDefinition cy_power_load_type;
extern const TypeDefinition cy_delta_power_load_type;
extern const TypeDefinition cy_admittance_load_type;
extern const TypeDefinition cy_delta_admittance_load_type;
extern const TypeDefinition cy_current_load_type;
extern const TypeDefinition cy_delta_current_load_type;
extern const TypeDefinition cy_load_balancer_type;

}  // namespace meshvolt::ohmweave
