// Interpreter features newer than some of the CPython versions the module builds against.
//
// The module is written for a free-threaded interpreter that runs without the global lock. Each
// helper below makes the real call where the interpreter's headers provide it and does nothing
// where they do not: an interpreter that predates a feature has no use for it (a build with the
// global lock needs no lock-free declaration, an interpreter without deferred reference counting
// counts every reference directly).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace meshvolt::ohmweave {

// The module-definition slot that declares the module does not need the interpreter lock exists
// from 3.13 on; older definitions simply lack the slot.
#if defined(Py_mod_gil)
#define OHMWEAVE_HAS_MOD_GIL_SLOT 1
#else
#define OHMWEAVE_HAS_MOD_GIL_SLOT 0
#endif

// Declares on a module object that it runs without the interpreter lock (free-threaded builds).
inline int module_runs_without_gil(PyObject* module) {
#if defined(Py_GIL_DISABLED)
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
    (void)module;
    return 0;
#endif
}

// Lets concurrent threads share an object without contending on its reference count (3.14+).
inline void enable_deferred_refcount(PyObject* object) {
#if PY_VERSION_HEX >= 0x030E0000
    PyUnstable_Object_EnableDeferredRefcount(object);
#else
    (void)object;
#endif
}

// Major and minor version of the running interpreter, as (major, minor).
inline void runtime_version(int& major, int& minor) {
#if PY_VERSION_HEX >= 0x030B0000
    major = static_cast<int>((Py_Version >> 24) & 0xFF);
    minor = static_cast<int>((Py_Version >> 16) & 0xFF);
#else
    // Py_GetVersion() starts with "major.minor.micro".
    major = 0;
    minor = 0;
    const char* text = Py_GetVersion();
    while (*text >= '0' && *text <= '9') major = major * 10 + (*text++ - '0');
    if (*text == '.') ++text;
    while (*text >= '0' && *text <= '9') minor = minor * 10 + (*text++ - '0');
#endif
}

// A new reference to the dictionary of a type (3.12 made it a call for static types).
inline PyObject* type_dictionary(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

// Takes the pending exception off (its traceback attached to it); null when none is pending.
inline PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes `exception` (an exception instance, whose reference is taken over) the pending one.
inline void raise_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// Keeps the pending exception aside while code that must not see it runs, then puts it back.
class SavedException {
  public:
    SavedException() {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exception_, &traceback_);
#endif
    }
    SavedException(const SavedException&) = delete;
    SavedException& operator=(const SavedException&) = delete;
    ~SavedException() { restore(); }

    void restore() {
        if (restored_) return;
        restored_ = true;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exception_);
#else
        PyErr_Restore(type_, exception_, traceback_);
#endif
    }

  private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    PyObject* exception_ = nullptr;
    bool restored_ = false;
};

}  // namespace meshvolt::ohmweave
