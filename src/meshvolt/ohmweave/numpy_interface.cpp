// The NumPy headers define the array-interface table and its import function once, here.
#define PY_ARRAY_UNIQUE_SYMBOL meshvolt_ohmweave_ARRAY_API
#define NO_IMPORT_UFUNC
#include "numpy_interface.hpp"

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstddef>
#include <cstring>

#include "py_ref.hpp"

namespace meshvolt::ohmweave {

namespace {

PyTypeObject* numpy_ndarray = nullptr;

enum class SizeCheck { at_least, warn_if_larger };

// `module`.`name` must be a type whose instances are at least `size` bytes.
PyTypeObject* checked_type(PyObject* module, const char* module_name, const char* name,
                           std::size_t size, SizeCheck check) {
    PyRef object(PyObject_GetAttrString(module, name));
    if (!object) return nullptr;
    if (!PyType_Check(object.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, name);
        return nullptr;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(object.get());
    const Py_ssize_t basic = type->tp_basicsize;
    const Py_ssize_t declared = static_cast<Py_ssize_t>(size);
    const char* format =
        "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
        "header, got %zd from PyObject";
    if (basic < declared) {
        PyErr_Format(PyExc_ValueError, format, module_name, name, declared, basic);
        return nullptr;
    }
    if (check == SizeCheck::warn_if_larger && basic > declared &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 0, format, module_name, name, declared, basic) < 0)
        return nullptr;
    return reinterpret_cast<PyTypeObject*>(object.release());
}

}  // namespace

bool check_numpy_types() {
    PyRef builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    PyRef type(reinterpret_cast<PyObject*>(
        checked_type(builtins.get(), "builtins", "type", sizeof(PyHeapTypeObject),
                     SizeCheck::warn_if_larger)));
    if (!type) return false;
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    struct Declared {
        const char* name;
        std::size_t size;
    };
    static const Declared declared[] = {
        {"dtype", sizeof(PyArray_Descr)},
        {"flatiter", sizeof(PyArrayIterObject)},
        {"broadcast", sizeof(PyArrayMultiIterObject)},
        {"ndarray", sizeof(PyArrayObject_fields)},
        {"generic", sizeof(PyObject)},
        {"number", sizeof(PyObject)},
        {"integer", sizeof(PyObject)},
        {"signedinteger", sizeof(PyObject)},
        {"unsignedinteger", sizeof(PyObject)},
        {"inexact", sizeof(PyObject)},
        {"floating", sizeof(PyObject)},
        {"complexfloating", sizeof(PyObject)},
        {"flexible", sizeof(PyObject)},
        {"character", sizeof(PyObject)},
        {"ufunc", sizeof(PyUFuncObject)},
    };
    for (const Declared& d : declared) {
        PyTypeObject* checked =
            checked_type(numpy.get(), "numpy", d.name, d.size, SizeCheck::at_least);
        if (!checked) return false;
        if (std::strcmp(d.name, "ndarray") == 0) {
            Py_XDECREF(numpy_ndarray);
            numpy_ndarray = checked;
        } else {
            Py_DECREF(checked);
        }
    }
    return true;
}

bool import_numpy_array_interface() {
    if (_import_array() >= 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    // The replacement keeps the first exception as its context.
    PyObject* first = take_exception();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject* replacement = take_exception();
    PyException_SetContext(replacement, first);
    raise_exception(replacement);
    return false;
}

PyTypeObject* ndarray_type() { return numpy_ndarray; }

}  // namespace meshvolt::ohmweave
