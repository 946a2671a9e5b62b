// What every extension type shares: the instance layout (wrapper_object.hpp), construction on two
// call paths that behave the same (the fast vectorcall path for the type itself, the creation slot
// for Python subclasses), destruction of the owned engine object, and the refusal to pickle.
//
// A family file describes each of its types by a TypeDefinition (its constructor and methods, the
// kind of engine object it owns); the type table (type_table.cpp) puts the definitions in order.
//
// Construction: allocate the zero-filled instance, bind and convert the constructor's arguments
// (messages name "__cinit__"), build the engine object, store the pointer. On any failure the
// pending error gets one traceback entry "meshvolt.ohmweave.<type>.__cinit__" and the half-made
// instance is released. The abstract types have no constructor: they allocate and look at no
// argument. Destruction deletes the engine object with the pending exception kept aside.
#pragma once

#include <vector>

#include "function_object.hpp"
#include "wrapper_object.hpp"

namespace meshvolt::ohmweave {

// Builds the engine object from the converted arguments; reports failures by throwing.
using Build = void* (*)(const Arguments& args);

struct Constructor {
    std::vector<Parameter> parameters;
    Build build;
    // The constructor declares no parameters and ignores whatever it is given.
    bool ignores_arguments;
    SourceLine where;

    Constructor(std::vector<Parameter> parameters, Build build,
                SourceLine where = SourceLine::here())
        : parameters(std::move(parameters)), build(build), ignores_arguments(false), where(where) {}
    static Constructor ignoring_arguments(Build build, SourceLine where = SourceLine::here()) {
        Constructor c({}, build, where);
        c.ignores_arguments = true;
        return c;
    }
};

// The wrappers whose engine objects a new engine object refers to (a network to its elements, a
// solver to its network), as a new tuple: the instance holds them, so that they outlive its engine
// object. Reports failures by throwing.
using Referents = PyObject* (*)(const Arguments& args);

struct TypeDefinition {
    // Name of the owning pointer in messages: "element", "solver", "network", "control", ...
    const char* attribute;
    // Deletes the engine object (through the virtual destructor of the family's base class).
    void (*destroy)(void* engine);
    // Null for the abstract types, which own nothing.
    const Constructor* constructor;
    std::vector<MethodSpec> methods;
    // Set for the types whose engine objects refer to other wrappers' engine objects; such a type
    // and its subtypes hold those wrappers and take part in garbage collection.
    Referents referents = nullptr;
};

// Start-up, for each type in table order: base, PyType_Ready, deferred reference counting, module
// attribute, pickling refusals. Then, in the same order, the methods.
bool ready_extension_type(TypeId id, PyObject* module);
bool install_methods(TypeId id);

}  // namespace meshvolt::ohmweave
