#include "model/variable_vector.hpp"

#include <stdexcept>
#include <string>

namespace meshvolt {

void ComplexVariableVector::push_values(std::vector<double>& values) const {
    for (Eigen::Index k = 0; k < value.size(); ++k) {
        values.push_back(value(k).real());
        values.push_back(value(k).imag());
    }
}

void ComplexVariableVector::bind(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    const int b = index;
    const Eigen::Index m = value.size();
    ADComplexVector v(m);
    for (Eigen::Index k = 0; k < m; ++k) v(k) = ADComplex(tape[b + 2 * k], tape[b + 2 * k + 1]);
    ad_value = std::move(v);
    value_ptr = values.data() + b;
    index = b + static_cast<int>(2 * m);
    bound = true;
}

Eigen::VectorXcd ComplexVariableVector::get() const {
    if (!bound) return value;
    Eigen::VectorXcd v(value.size());
    for (Eigen::Index k = 0; k < value.size(); ++k) v(k) = get(k);
    return v;
}

void ComplexVariableVector::set(const Eigen::VectorXcd& v) {
    if (bound && v.size() != value.size())
        throw std::invalid_argument("vector update of size " + std::to_string(v.size()) +
                                    " on a bound vector of size " + std::to_string(value.size()));
    value = v;
    if (!bound) return;
    for (Eigen::Index k = 0; k < v.size(); ++k) {
        value_ptr[2 * k] = v(k).real();
        value_ptr[2 * k + 1] = v(k).imag();
    }
}

}  // namespace meshvolt
