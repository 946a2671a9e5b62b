// The instance layout shared by every extension type: the object header and the one pointer to
// the engine object the instance owns (empty for the abstract types). Types whose engine object
// points to the engine objects of other wrappers (a network to its elements, a solver to its
// network) also hold those wrappers, so that they outlive it.
#pragma once

#include "compat.hpp"

namespace meshvolt::ohmweave {

struct WrapperObject {
    PyObject_HEAD
    void* engine;
};

struct KeepingWrapperObject {
    WrapperObject wrapper;
    // The wrappers whose engine objects this one's engine object refers to (a tuple, or null).
    PyObject* referents;
};

inline void* engine_pointer(PyObject* wrapper) {
    return reinterpret_cast<WrapperObject*>(wrapper)->engine;
}

}  // namespace meshvolt::ohmweave
