// The element wrappers: the abstract CyElement and CyBranch, whose methods every element type
// inherits, and the simple elements (buses, grounds, potential references, voltage sources,
// switches). Every element wrapper owns one engine Element through its `element` pointer.
#pragma once

#include "function_object.hpp"
#include "model/element.hpp"
#include "wrapper_object.hpp"
#include "wrapper_type.hpp"

namespace meshvolt::ohmweave {

extern const TypeDefinition cy_element_type;
extern const TypeDefinition cy_branch_type;
extern const TypeDefinition cy_switch_type;
extern const TypeDefinition cy_open_switch_type;
extern const TypeDefinition cy_bus_type;
extern const TypeDefinition cy_ground_type;
extern const TypeDefinition cy_potential_ref_type;
extern const TypeDefinition cy_delta_potential_ref_type;
extern const TypeDefinition cy_voltage_source_type;
extern const TypeDefinition cy_delta_voltage_source_type;

// For every element family: the engine object of the instance, seen as its own engine class. A
// method of a type runs only on instances of that type, whose element is of its engine class.
inline Element& element_of(const Call& call) {
    return *static_cast<Element*>(engine_pointer(call.self));
}
template <class E>
E& engine_as(const Call& call) {
    return engine_kind<E>(call, &element_of(call));
}
// The element of an extension-type argument (tested to be an element wrapper holding one).
inline Element& element_argument(const Call& call, std::size_t i) {
    return *static_cast<Element*>(call.args.engine(i));
}
// What a constructor of an element wrapper returns: the pointer as an Element.
template <class E>
void* owned_element(E* element) {
    return static_cast<Element*>(element);
}
void destroy_element(void* engine);

// Refuses an output size beyond what the element has: ValueError naming both.
void check_output_size(const char* name, int value, int available, const char* what,
                       SourceLine where = SourceLine::here());

}  // namespace meshvolt::ohmweave
