// Module start-up: the process-wide start-up state and the steps of module creation and execution.
// The module keeps no per-module state: one interpreter per process, one module object.
#pragma once

#include "compat.hpp"

namespace meshvolt::ohmweave {

// The module object made by the first successful execution (null before and after a failed one).
PyObject* remembered_module();
void remember_module(PyObject* module);
void forget_module();

// Creation: one interpreter per process; a repeated import gets the remembered module.
bool check_single_interpreter();
PyObject* module_from_spec(PyObject* spec);

// Execution steps.
bool check_runtime_version();
bool prepare_names();
bool ready_extension_types(PyObject* module);
bool set_numpy_attribute(PyObject* module);
bool create_functions(PyObject* module);

}  // namespace meshvolt::ohmweave
