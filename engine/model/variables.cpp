#include "model/variables.hpp"

#include <stdexcept>
#include <string>

namespace meshvolt {

void ComplexVariableMatrix::push_values(std::vector<double>& values) const {
    for (Eigen::Index i = 0; i < value.rows(); ++i) {
        for (Eigen::Index j = 0; j < value.cols(); ++j) {
            values.push_back(value(i, j).real());
            values.push_back(value(i, j).imag());
        }
    }
}

void ComplexVariableMatrix::bind(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    const Eigen::Index rows = value.rows(), cols = value.cols();
    const int b = index;
    ADComplexMatrix m(rows, cols);
    for (Eigen::Index i = 0; i < rows; ++i) {
        for (Eigen::Index j = 0; j < cols; ++j) {
            const Eigen::Index k = b + 2 * (i * cols + j);
            m(i, j) = ADComplex(tape[k], tape[k + 1]);
        }
    }
    ad_value = std::move(m);
    value_ptr = values.data() + b;
    index = b + static_cast<int>(2 * rows * cols);
    bound = true;
}

Eigen::MatrixXcd ComplexVariableMatrix::get() const {
    if (!bound) return value;
    Eigen::MatrixXcd m(value.rows(), value.cols());
    for (Eigen::Index i = 0; i < value.rows(); ++i)
        for (Eigen::Index j = 0; j < value.cols(); ++j) m(i, j) = get(i, j);
    return m;
}

void ComplexVariableMatrix::set(const Eigen::MatrixXcd& m) {
    // A bound matrix owns exactly 2·rows·cols solver entries: another shape would write past them.
    if (bound && (m.rows() != value.rows() || m.cols() != value.cols()))
        throw std::invalid_argument("matrix update of shape " + std::to_string(m.rows()) + "x" +
                                    std::to_string(m.cols()) + " on a bound " +
                                    std::to_string(value.rows()) + "x" +
                                    std::to_string(value.cols()) + " matrix");
    value = m;
    if (!bound) return;
    for (Eigen::Index i = 0; i < m.rows(); ++i) {
        for (Eigen::Index j = 0; j < m.cols(); ++j) {
            double* p = value_ptr + 2 * (i * m.cols() + j);
            p[0] = m(i, j).real();
            p[1] = m(i, j).imag();
        }
    }
}

}  // namespace meshvolt
