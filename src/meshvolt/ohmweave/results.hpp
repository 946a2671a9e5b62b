// Results handed back to Python: new NumPy arrays made through the module attribute `np` (looked up
// at the time of the call) and filled in place, and Python numbers built from engine values.
#pragma once

#include "arguments.hpp"
#include "py_ref.hpp"

namespace meshvolt::ohmweave {

// np.empty(length, dtype=np.complex128) or np.empty(length, dtype=np.double), with a writable view
// of its items. Every failure throws PythonError.
class ResultArray {
  public:
    ResultArray(Py_ssize_t length, const ItemKind& kind, SourceLine where = SourceLine::here());

    Complex* complexes() const { return static_cast<Complex*>(view_.data()); }
    double* doubles() const { return static_cast<double*>(view_.data()); }
    // The array, its view released.
    PyObject* release();
    // The array reshaped to (rows, columns) (a matrix of rows·columns items, row by row).
    PyObject* release_as_matrix(Py_ssize_t rows, Py_ssize_t columns,
                                SourceLine where = SourceLine::here());

  private:
    PyRef array_;
    BufferView view_;
};

// A Python complex, float or int, or a tuple; every failure throws PythonError.
PyObject* complex_result(const Complex& value, SourceLine where = SourceLine::here());
PyObject* float_result(double value, SourceLine where = SourceLine::here());
PyObject* int_result(long long value, SourceLine where = SourceLine::here());
// Takes over the two references.
PyObject* pair_result(PyObject* first, PyObject* second, SourceLine where = SourceLine::here());

// The keyword name with which result arrays are made, prepared at start-up.
bool prepare_result_names();

}  // namespace meshvolt::ohmweave
