// An owned reference to a Python object: released when the handle goes away, so that no early
// return can leak it.
#pragma once

#include "compat.hpp"

namespace meshvolt::ohmweave {

class PyRef {
  public:
    PyRef() = default;
    // Takes over a new reference (which may be null).
    explicit PyRef(PyObject* object) : object_(object) {}
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    void reset(PyObject* object = nullptr) {
        PyObject* old = object_;
        object_ = object;
        Py_XDECREF(old);
    }

  private:
    PyObject* object_ = nullptr;
};

}  // namespace meshvolt::ohmweave
