// Error reporting at the boundary between Python and the engine.
//
// Inside a wrapper body a Python error is reported by throwing PythonError once the Python
// exception is set; the call boundary (call_with_catch) catches it, as well as every engine
// exception, and adds the wrapper's one traceback entry. Engine exceptions are translated into
// Python exceptions by their standard type, with their message unchanged.
#pragma once

#include <string>

#include "compat.hpp"

namespace meshvolt::ohmweave {

// A place in the module source, captured at the call site of `here()`.
struct SourceLine {
    const char* file;
    int line;

    static SourceLine here(const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
        return {file, line};
    }
    // The file name relative to the source tree ("meshvolt/ohmweave/...").
    const char* relative_file() const;
};

// Thrown when a Python exception is pending; `where` is the failing statement.
struct PythonError {
    SourceLine where;
};

// Throws PythonError for the Python exception that is already set.
[[noreturn]] void throw_python_error(SourceLine where = SourceLine::here());
// Sets a Python exception of the given type and message, then throws PythonError.
[[noreturn]] void raise_error(PyObject* type, const std::string& message,
                              SourceLine where = SourceLine::here());

// Sets the Python exception for the C++ exception in flight; call only inside a catch block. A
// Python exception that is already pending stays, and the C++ exception is dropped.
void translate_cpp_exception();

// Adds one traceback entry to the pending Python exception: a frame of the module (its globals are
// the module's dictionary) running the function `name` at `where`.
void add_traceback(const char* name, SourceLine where);

// The call boundary, the one place where the module catches: runs `body`, which returns a new
// reference or reports a failure by throwing. A PythonError gets its traceback entry at the
// failing statement it names; any other exception is translated (translate_cpp_exception) and gets
// its entry at `where`. The entry is named `name`. Returns null after a failure.
template <class Body>
PyObject* call_with_catch(const char* name, SourceLine where, Body&& body) {
    try {
        return body();
    } catch (const PythonError& error) {
        add_traceback(name, error.where);
    } catch (...) {
        translate_cpp_exception();
        add_traceback(name, where);
    }
    return nullptr;
}

}  // namespace meshvolt::ohmweave
