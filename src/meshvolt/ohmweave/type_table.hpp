// The module's extension types, in the order in which start-up readies them: a type's base always
// comes before it. Each row names the type, its base and the definition (constructor, methods,
// engine object) that a wrapper family file provides.
#pragma once

#include "compat.hpp"

namespace meshvolt::ohmweave {

struct TypeDefinition;

enum class TypeId : int {
    CyElement,
    CyBranch,
    CySwitch,
    CyOpenSwitch,
    CySimplifiedLine,
    CyShuntLine,
    CyBus,
    CyLoad,
    CyPowerLoad,
    CyDeltaPowerLoad,
    CyAdmittanceLoad,
    CyDeltaAdmittanceLoad,
    CyCurrentLoad,
    CyDeltaCurrentLoad,
    CyLoadBalancer,
    CyControl,
    CyProjection,
    CyFlexibleParameter,
    CyFlexibleLoad,
    CyDeltaFlexibleLoad,
    CyGround,
    CyPotentialRef,
    CyDeltaPotentialRef,
    CyVoltageSource,
    CyDeltaVoltageSource,
    CyTransformer,
    CyThreePhaseTransformer,
    CySingleTransformer,
    CyCenterTransformer,
    CySingleVoltageRegulator,
    CyElectricalNetwork,
    CyAbstractSolver,
    CyAbstractNewton,
    CyNewton,
    CyNewtonGoldstein,
    CyBackwardForward,
    // Not a row: the base of the root types.
    object,
};

constexpr int type_count = static_cast<int>(TypeId::object);

struct TypeRow {
    const char* full_name;  // "meshvolt.ohmweave.CyBus"
    TypeId base;
    // The constructor, methods and engine object, from the family's wrapper file; never null.
    const TypeDefinition* definition;

    const char* short_name() const;
};

const TypeRow& type_row(TypeId id);
// The static type object of a row (ready once start-up has made it).
PyTypeObject* type_object(TypeId id);
// The row of a static type object, or TypeId::object for any other type.
TypeId row_of(const PyTypeObject* type);

}  // namespace meshvolt::ohmweave
