// NumPy at start-up: the check of NumPy's types against the headers the module was built with, and
// the import of NumPy's array interface.
#pragma once

#include "compat.hpp"

namespace meshvolt::ohmweave {

// Each NumPy type the headers declare must be a type object at least as large as declared.
bool check_numpy_types();
// NumPy's own import procedure for its array interface (ABI, feature level, byte order); any
// Exception it raises becomes ImportError "numpy._core.multiarray failed to import".
bool import_numpy_array_interface();
// numpy.ndarray, known once the types are checked.
PyTypeObject* ndarray_type();

}  // namespace meshvolt::ohmweave
