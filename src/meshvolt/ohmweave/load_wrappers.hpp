// The load wrappers: the abstract CyLoad, which adds the reading of a load's inner currents to
// CyElement, the six constant loads (power, admittance and current, each in star and in delta
// connection) with their set-point updates, and CyLoadBalancer.
//
// A star load of n ports (phases 0..n-2, neutral n-1) has one set-point per phase, n-1 in all; a
// delta load of n ports has one per pair of consecutive ports, n in all. The inner currents are
// the phase currents (star, load balancer) or the pair currents (delta).
#pragma once

#include "element_wrappers.hpp"
#include "wrapper_type.hpp"

namespace meshvolt::ohmweave {

// What each load family calls its set-points, and its engine update, for update_list and
// update_single (element_wrappers.hpp); the flexible loads' theoretical powers are updated as the
// power loads' set-points are.
struct LoadSetpoints {
    template <class L>
    static int count(const L& load) {
        return load.setpoint_count();
    }
};

struct PowerSetpoints : LoadSetpoints {
    static constexpr UpdateNames names{"power", "powers", "load", "set-point"};
    template <class L>
    static void update(L& load, const Complex* values) {
        load.update_powers(values);
    }
};

struct AdmittanceSetpoints : LoadSetpoints {
    static constexpr UpdateNames names{"admittance", "admittances", "load", "set-point"};
    template <class L>
    static void update(L& load, const Complex* values) {
        load.update_admittances(values);
    }
};

struct CurrentSetpoints : LoadSetpoints {
    static constexpr UpdateNames names{"current", "currents", "load", "set-point"};
    template <class L>
    static void update(L& load, const Complex* values) {
        load.update_currents(values);
    }
};

extern const TypeDefinition cy_load_type;
extern const TypeDefinition cy_power_load_type;
extern const TypeDefinition cy_delta_power_load_type;
extern const TypeDefinition cy_admittance_load_type;
extern const TypeDefinition cy_delta_admittance_load_type;
extern const TypeDefinition cy_current_load_type;
extern const TypeDefinition cy_delta_current_load_type;
extern const TypeDefinition cy_load_balancer_type;

}  // namespace meshvolt::ohmweave
