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

// What the two forms of an update call their values ("power", "powers"), the element and one of
// its values ("load", "set-point"), for the refusal of the single form.
struct UpdateNames {
    const char* single;
    const char* list;
    const char* element;
    const char* entry;
};

// ValueError: "update_<single>() sets the <single> of a <element> with one <entry>; this
// <element> has <count>, use update_<list>()".
[[noreturn]] void refuse_single_update(const UpdateNames& names, int count,
                                       SourceLine where = SourceLine::here());

// The update of an element's list of complex values (a load's set-points, a source's voltages),
// in its two forms: the whole list from a buffer, and the one value of an element that has exactly
// one. U describes the list of an element E:
//     U::names              what the forms call it (UpdateNames)
//     U::count(element)     how many values the element has
//     U::update(element, v) the engine's write-through, which reads exactly count values from v
template <class E, class U>
PyObject* update_list(const Call& call) {
    E& element = engine_as<E>(call);
    U::update(element, call.args.complex_values(0, U::count(element)));
    Py_RETURN_NONE;
}

// The single form refuses an element with another count, whose update would read past the one
// value (or write none).
template <class E, class U>
PyObject* update_single(const Call& call) {
    E& element = engine_as<E>(call);
    const int count = U::count(element);
    if (count != 1) refuse_single_update(U::names, count);
    const Complex value = call.args.complex(0);
    U::update(element, &value);
    Py_RETURN_NONE;
}

}  // namespace meshvolt::ohmweave
