// Methods and module functions: one function object type for all of them.
//
// A function object runs one MethodSpec. Stored in a type's dictionary it binds to instances like
// a Python function (the instance becomes its first argument); it carries the qualified name
// ("CyElement.connect"), the module "meshvolt.ohmweave", its docstring (the signature line with the
// declared kinds, "CyElement.connect(self, CyElement cy_element, connections)") and a text
// signature that introspection reads.
//
// The call boundary: argument binding, conversion and type tests (arguments.hpp), the refusal of an
// instance that holds no engine object, then the body; an engine exception is translated, and every
// failure gets one traceback entry named "meshvolt.ohmweave.<qualified name>".
#pragma once

#include <vector>

#include "arguments.hpp"

namespace meshvolt::ohmweave {

struct Call {
    PyObject* self;  // the instance; nullptr for a module function
    const Arguments& args;
    TypeId owner;    // the type whose method runs (TypeId::object for a module function)
};

// A Python class that mixes two wrapper families can hand a method of one family the engine object
// of another: TypeError naming the method's type and the instance's type.
[[noreturn]] void refuse_engine_kind(const Call& call);

// The instance's engine object as the engine class of the method's family, checked.
template <class Engine, class Base>
Engine& engine_kind(const Call& call, Base* engine) {
    auto* typed = dynamic_cast<Engine*>(engine);
    if (!typed) refuse_engine_kind(call);
    return *typed;
}

// Returns a new reference; reports failures by throwing (PythonError or an engine exception).
using Body = PyObject* (*)(const Call& call);

struct MethodSpec {
    const char* name;
    std::vector<Parameter> parameters;
    Body body;
    // Whether the instance must hold an engine object (false for the pickling refusals).
    bool needs_engine;
    SourceLine where;

    MethodSpec(const char* name, std::vector<Parameter> parameters, Body body,
               SourceLine where = SourceLine::here())
        : name(name), parameters(std::move(parameters)), body(body), needs_engine(true),
          where(where) {}
    MethodSpec(const char* name, std::vector<Parameter> parameters, Body body, bool needs_engine,
               SourceLine where = SourceLine::here())
        : name(name), parameters(std::move(parameters)), body(body), needs_engine(needs_engine),
          where(where) {}
};

bool ready_function_type();

// A new function object: a method of `owner`, or a module function when owner is TypeId::object.
PyObject* new_function(const MethodSpec& spec, TypeId owner);

// Runs the calling protocol on a vector of arguments (the instance already taken off). `function`
// names the function in argument messages, `traceback_name` in the traceback entry.
PyObject* invoke(const MethodSpec& spec, PyObject* self, TypeId owner, const char* function,
                 const char* traceback_name, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames);

}  // namespace meshvolt::ohmweave
