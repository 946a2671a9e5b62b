#include "startup.hpp"

#include <cstdint>

#include "logging_config.hpp"
#include "py_ref.hpp"
#include "results.hpp"
#include "type_table.hpp"
#include "wrapper_type.hpp"

namespace meshvolt::ohmweave {

namespace {

std::int64_t main_interpreter_id = -1;
PyObject* the_module = nullptr;

// Copies spec.<from> to the module's <to>; a missing attribute is skipped, and so is None unless
// `none_too`.
bool copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                         bool none_too) {
    PyRef value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (value.get() == Py_None && !none_too) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

// Every type, in table order.
template <class Step>
bool for_each_type(Step step) {
    for (int i = 0; i < type_count; ++i)
        if (!step(static_cast<TypeId>(i))) return false;
    return true;
}

}  // namespace

PyObject* remembered_module() { return the_module; }

void remember_module(PyObject* module) {
    Py_XINCREF(module);
    Py_XDECREF(the_module);
    the_module = module;
}

void forget_module() { Py_CLEAR(the_module); }

bool check_single_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (main_interpreter_id == -1) {
        main_interpreter_id = current;
        return current != -1;
    }
    if (main_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

PyObject* module_from_spec(PyObject* spec) {
    if (the_module) return Py_NewRef(the_module);
    PyRef name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyRef module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

bool check_runtime_version() {
    int major = 0;
    int minor = 0;
    runtime_version(major, minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "meshvolt.ohmweave",
                            "does not match", major, minor) == 0;
}

bool prepare_names() {
    if (!prepare_result_names() || !ready_function_type()) return false;
    if (!intern_parameter_names(set_logging_config_function.parameters)) return false;
    return for_each_type([](TypeId id) {
        for (const MethodSpec& method : type_row(id).definition->methods)
            if (!intern_parameter_names(method.parameters)) return false;
        return true;
    });
}

bool ready_extension_types(PyObject* module) {
    return for_each_type([module](TypeId id) { return ready_extension_type(id, module); });
}

bool set_numpy_attribute(PyObject* module) {
    PyRef numpy(PyImport_ImportModule("numpy"));
    return numpy && PyModule_AddObjectRef(module, "np", numpy.get()) == 0;
}

bool create_functions(PyObject* module) {
    if (!for_each_type(install_methods)) return false;
    PyRef function(new_function(set_logging_config_function, TypeId::object));
    return function && PyModule_AddObjectRef(module, "cy_set_logging_config", function.get()) == 0;
}

}  // namespace meshvolt::ohmweave
