#include "results.hpp"

#include "numpy_interface.hpp"
#include "startup.hpp"

namespace meshvolt::ohmweave {

namespace {

// ("dtype",): the keyword names of the np.empty call.
PyObject* dtype_keywords = nullptr;

// A global of the module, else a builtin, like a name read by module code.
PyObject* module_global(const char* name, SourceLine where) {
    PyObject* module = remembered_module();
    PyRef key(PyUnicode_InternFromString(name));
    if (!key) throw_python_error(where);
    if (module) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), key.get());
        if (value) return Py_NewRef(value);
        if (PyErr_Occurred()) throw_python_error(where);
    }
    PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key.get());
    if (value) return Py_NewRef(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    throw_python_error(where);
}

}  // namespace

bool prepare_result_names() {
    if (dtype_keywords) return true;
    PyRef name(PyUnicode_InternFromString("dtype"));
    if (!name) return false;
    dtype_keywords = PyTuple_Pack(1, name.get());
    return dtype_keywords != nullptr;
}

ResultArray::ResultArray(Py_ssize_t length, const ItemKind& kind, SourceLine where) {
    PyRef np(module_global("np", where));
    PyRef empty(PyObject_GetAttrString(np.get(), "empty"));
    if (!empty) throw_python_error(where);
    PyRef dtype(PyObject_GetAttrString(np.get(), kind.complex ? "complex128" : "double"));
    if (!dtype) throw_python_error(where);
    PyRef size(PyLong_FromSsize_t(length));
    if (!size) throw_python_error(where);
    PyObject* call_args[] = {size.get(), dtype.get()};
    array_.reset(PyObject_Vectorcall(empty.get(), call_args, 1, dtype_keywords));
    if (!array_) throw_python_error(where);
    PyTypeObject* ndarray = ndarray_type();
    if (!ndarray || !PyObject_TypeCheck(array_.get(), ndarray)) {
        PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "",
                     Py_TYPE(array_.get())->tp_name, ndarray ? ndarray->tp_name : "numpy.ndarray");
        throw_python_error(where);
    }
    if (!view_.acquire(array_.get(), kind, true)) throw_python_error(where);
    if (view_.size() < length) {
        PyErr_Format(PyExc_ValueError, "np.empty(%zd) returned %zd items", length, view_.size());
        throw_python_error(where);
    }
}

PyObject* ResultArray::release() {
    view_.release();
    return array_.release();
}

PyObject* ResultArray::release_as_matrix(Py_ssize_t rows, Py_ssize_t columns, SourceLine where) {
    view_.release();
    PyObject* matrix = PyObject_CallMethod(array_.get(), "reshape", "(nn)", rows, columns);
    if (!matrix) throw_python_error(where);
    return matrix;
}

PyObject* complex_result(const Complex& value, SourceLine where) {
    PyObject* result = PyComplex_FromDoubles(value.real(), value.imag());
    if (!result) throw_python_error(where);
    return result;
}

PyObject* float_result(double value, SourceLine where) {
    PyObject* result = PyFloat_FromDouble(value);
    if (!result) throw_python_error(where);
    return result;
}

PyObject* int_result(long long value, SourceLine where) {
    PyObject* result = PyLong_FromLongLong(value);
    if (!result) throw_python_error(where);
    return result;
}

PyObject* pair_result(PyObject* first, PyObject* second, SourceLine where) {
    PyRef a(first);
    PyRef b(second);
    PyObject* result = PyTuple_Pack(2, a.get(), b.get());
    if (!result) throw_python_error(where);
    return result;
}

}  // namespace meshvolt::ohmweave
