#include "errors.hpp"

#include <frameobject.h>

#include <cstring>
#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "py_ref.hpp"
#include "startup.hpp"

namespace meshvolt::ohmweave {

const char* SourceLine::relative_file() const {
    static const char marker[] = "meshvolt/ohmweave/";
    const char* found = nullptr;
    // The last occurrence, in case the checkout itself lies below a folder of that name.
    for (const char* at = std::strstr(file, marker); at; at = std::strstr(at + 1, marker))
        found = at;
    return found ? found : file;
}

void throw_python_error(SourceLine where) { throw PythonError{where}; }

void raise_error(PyObject* type, const std::string& message, SourceLine where) {
    PyErr_SetString(type, message.c_str());
    throw PythonError{where};
}

void translate_cpp_exception() {
    if (PyErr_Occurred()) return;
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

void add_traceback(const char* name, SourceLine where) {
    PyFrameObject* frame = nullptr;
    {
        // Building the code object and the frame must not see the pending exception.
        SavedException pending;
        PyObject* module = remembered_module();
        PyRef globals = module ? PyRef::borrow(PyModule_GetDict(module)) : PyRef(PyDict_New());
        // The code object starts at the line, so the entry reports it.
        PyRef code(reinterpret_cast<PyObject*>(
            PyCode_NewEmpty(where.relative_file(), name, where.line)));
        if (code && globals)
            frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                                globals.get(), nullptr);
        // Failing to build the entry must not replace the exception being reported.
        PyErr_Clear();
    }
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace meshvolt::ohmweave
