// The extension module meshvolt.ohmweave: its definition and entry point. Creation admits one
// interpreter per process and hands a repeated import the module made first; execution readies the
// types, imports NumPy and its array interface, and creates the functions. Nothing of the engine
// is made at import.
#include "compat.hpp"
#include "errors.hpp"
#include "numpy_interface.hpp"
#include "startup.hpp"

namespace meshvolt::ohmweave {

namespace {

constexpr const char init_name[] = "init meshvolt.ohmweave";

PyObject* ohmweave_create(PyObject* spec, PyModuleDef*) {
    if (!check_single_interpreter()) return nullptr;
    return module_from_spec(spec);
}

// A failed step: the pending error (ImportError when the step set none) gets the start-up
// traceback entry, and the module is forgotten so that a later import starts again.
int fail(SourceLine where = SourceLine::here()) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, init_name);
    add_traceback(init_name, where);
    forget_module();
    return -1;
}

int ohmweave_exec(PyObject* module) {
    if (PyObject* existing = remembered_module()) {
        if (existing == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ohmweave' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    remember_module(module);
    if (module_runs_without_gil(module) < 0) return fail();
    if (!check_runtime_version()) return fail();
    if (!prepare_names()) return fail();
    if (!ready_extension_types(module)) return fail();
    if (!check_numpy_types()) return fail();
    if (!set_numpy_attribute(module)) return fail();
    if (!import_numpy_array_interface()) return fail();
    if (!create_functions(module)) return fail();
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(ohmweave_create)},
    {Py_mod_exec, reinterpret_cast<void*>(ohmweave_exec)},
#if OHMWEAVE_HAS_MOD_GIL_SLOT
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "ohmweave",  // m_name
    nullptr,     // m_doc
    0,           // m_size: the start-up state is process-wide
    nullptr,     // m_methods: the execution step creates every function
    slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

}  // namespace meshvolt::ohmweave

PyMODINIT_FUNC PyInit_ohmweave() { return PyModuleDef_Init(&meshvolt::ohmweave::definition); }
