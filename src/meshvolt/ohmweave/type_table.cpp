#include "type_table.hpp"

#include <cstring>
#include <functional>
#include <iterator>

#include "element_wrappers.hpp"
#include "flexible_load_wrappers.hpp"
#include "solver_wrappers.hpp"
#include "line_wrappers.hpp"
#include "load_wrappers.hpp"
#include "regulator_wrappers.hpp"
#include "transformer_wrappers.hpp"
#include "wrapper_type.hpp"

namespace meshvolt::ohmweave {

namespace {

// The types in start-up order, with their bases and definitions.
constexpr TypeRow rows[] = {
    {"meshvolt.ohmweave.CyElement", TypeId::object, &cy_element_type},
    {"meshvolt.ohmweave.CyBranch", TypeId::CyElement, &cy_branch_type},
    {"meshvolt.ohmweave.CySwitch", TypeId::CyBranch, &cy_switch_type},
    {"meshvolt.ohmweave.CyOpenSwitch", TypeId::CyBranch, &cy_open_switch_type},
    {"meshvolt.ohmweave.CySimplifiedLine", TypeId::CyBranch, &cy_simplified_line_type},
    {"meshvolt.ohmweave.CyShuntLine", TypeId::CyBranch, &cy_shunt_line_type},
    {"meshvolt.ohmweave.CyBus", TypeId::CyElement, &cy_bus_type},
    {"meshvolt.ohmweave.CyLoad", TypeId::CyElement, &cy_load_type},
    {"meshvolt.ohmweave.CyPowerLoad", TypeId::CyLoad, &cy_power_load_type},
    {"meshvolt.ohmweave.CyDeltaPowerLoad", TypeId::CyLoad, &cy_delta_power_load_type},
    {"meshvolt.ohmweave.CyAdmittanceLoad", TypeId::CyLoad, &cy_admittance_load_type},
    {"meshvolt.ohmweave.CyDeltaAdmittanceLoad", TypeId::CyLoad, &cy_delta_admittance_load_type},
    {"meshvolt.ohmweave.CyCurrentLoad", TypeId::CyLoad, &cy_current_load_type},
    {"meshvolt.ohmweave.CyDeltaCurrentLoad", TypeId::CyLoad, &cy_delta_current_load_type},
    {"meshvolt.ohmweave.CyLoadBalancer", TypeId::CyLoad, &cy_load_balancer_type},
    {"meshvolt.ohmweave.CyControl", TypeId::object, &cy_control_type},
    {"meshvolt.ohmweave.CyProjection", TypeId::object, &cy_projection_type},
    {"meshvolt.ohmweave.CyFlexibleParameter", TypeId::object, &cy_flexible_parameter_type},
    {"meshvolt.ohmweave.CyFlexibleLoad", TypeId::CyLoad, &cy_flexible_load_type},
    {"meshvolt.ohmweave.CyDeltaFlexibleLoad", TypeId::CyLoad, &cy_delta_flexible_load_type},
    {"meshvolt.ohmweave.CyGround", TypeId::CyElement, &cy_ground_type},
    {"meshvolt.ohmweave.CyPotentialRef", TypeId::CyElement, &cy_potential_ref_type},
    {"meshvolt.ohmweave.CyDeltaPotentialRef", TypeId::CyElement, &cy_delta_potential_ref_type},
    {"meshvolt.ohmweave.CyVoltageSource", TypeId::CyElement, &cy_voltage_source_type},
    {"meshvolt.ohmweave.CyDeltaVoltageSource", TypeId::CyElement, &cy_delta_voltage_source_type},
    {"meshvolt.ohmweave.CyTransformer", TypeId::CyBranch, &cy_transformer_type},
    {"meshvolt.ohmweave.CyThreePhaseTransformer", TypeId::CyTransformer,
     &cy_three_phase_transformer_type},
    {"meshvolt.ohmweave.CySingleTransformer", TypeId::CyTransformer,
     &cy_single_transformer_type},
    {"meshvolt.ohmweave.CyCenterTransformer", TypeId::CyTransformer,
     &cy_center_transformer_type},
    {"meshvolt.ohmweave.CySingleVoltageRegulator", TypeId::CyBranch,
     &cy_single_voltage_regulator_type},
    {"meshvolt.ohmweave.CyElectricalNetwork", TypeId::object, &cy_electrical_network_type},
    {"meshvolt.ohmweave.CyAbstractSolver", TypeId::object, &cy_abstract_solver_type},
    {"meshvolt.ohmweave.CyAbstractNewton", TypeId::CyAbstractSolver, &cy_abstract_newton_type},
    {"meshvolt.ohmweave.CyNewton", TypeId::CyAbstractNewton, &cy_newton_type},
    {"meshvolt.ohmweave.CyNewtonGoldstein", TypeId::CyAbstractNewton, &cy_newton_goldstein_type},
    {"meshvolt.ohmweave.CyBackwardForward", TypeId::CyAbstractSolver, &cy_backward_forward_type},
};

static_assert(std::size(rows) == type_count, "one row per TypeId, in TypeId order");

constexpr bool bases_come_first() {
    for (int i = 0; i < type_count; ++i)
        if (rows[i].base != TypeId::object && static_cast<int>(rows[i].base) >= i) return false;
    return true;
}
static_assert(bases_come_first(), "a type's base is readied before it");

PyTypeObject type_objects[type_count];

}  // namespace

const char* TypeRow::short_name() const { return std::strrchr(full_name, '.') + 1; }

const TypeRow& type_row(TypeId id) { return rows[static_cast<int>(id)]; }

PyTypeObject* type_object(TypeId id) { return &type_objects[static_cast<int>(id)]; }

TypeId row_of(const PyTypeObject* type) {
    const std::less<const PyTypeObject*> before;
    if (before(type, type_objects) || !before(type, type_objects + type_count))
        return TypeId::object;
    return static_cast<TypeId>(type - type_objects);
}

}  // namespace meshvolt::ohmweave
