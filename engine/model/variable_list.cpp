#include "model/variable_list.hpp"

#include <cstddef>

namespace meshvolt {

ComplexVariableList make_variable_list(long count, const Complex* values) {
    ComplexVariableList list;
    // A negative count becomes a size beyond max_size(): the length error "vector::reserve".
    list.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i)
        list.emplace_back(values != nullptr ? values[i] : Complex(0.0, 0.0));
    return list;
}

void push_each(const ComplexVariableList& list, std::vector<double>& values) {
    for (const ComplexVariable& h : list) h.push_value(values);
}

void bind_each(ComplexVariableList& list, const ADVector& tape, Eigen::VectorXd& values,
               int& index) {
    for (ComplexVariable& h : list) h.bind(tape, values, index);
}

void set_each(ComplexVariableList& list, const Complex* values) {
    for (std::size_t i = 0; i < list.size(); ++i) list[i].set(values[i]);
}

void release_each_from(ComplexVariableList& list, const Eigen::VectorXd& parameters) {
    for (ComplexVariable& h : list) h.release_from(parameters);
}

void keep_each_from(ComplexVariableList& list, const Eigen::VectorXd& variables) {
    for (ComplexVariable& h : list) h.keep_from(variables);
}

}  // namespace meshvolt
