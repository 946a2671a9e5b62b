// Holders of solver variables and dynamic parameters.
//
// A holder keeps its own value until a solver binds it; from then on it reads its value from the
// solver's vector (value_ptr) and its tape value from the recorded vector (ad_value). Updates write
// the own value and, when bound, the solver's entries too (write-through).
//
// Layout in the solver's vectors: a complex value takes two entries (real, imaginary); a real value
// one; a rows x cols matrix 2·rows·cols entries in row-major order, although `value` itself is a
// column-major Eigen matrix.
#pragma once

#include "model/ad_types.hpp"

namespace meshvolt {

// Whether a holder's binding lies inside `storage`. When the solver that owns `storage` goes away,
// the holders bound into it are unbound, so that they never read freed storage; the variables
// among them first keep their last value there as their own value (keep_from), so that the elements
// go on showing that solver's results.
inline bool points_into(const double* ptr, const Eigen::VectorXd& storage) {
    return ptr != nullptr && storage.size() > 0 && ptr >= storage.data() &&
           ptr < storage.data() + storage.size();
}

// What every holder shares: the solver entries it is bound to, and leaving a solver that goes
// away. A parameter's own value is already the solver's (updates write through): release_from
// only unbinds. A variable's solver value is the solution, which keep_from takes as the own value
// before unbinding. Holder is the concrete holder; its unbound_tape_value() is what ad_value
// holds while no tape is bound.
template <class Holder>
struct SolverBinding {
    double* value_ptr = nullptr;
    bool bound = false;

    void release_from(const Eigen::VectorXd& storage) {
        if (bound && points_into(value_ptr, storage)) unbind();
    }
    void keep_from(const Eigen::VectorXd& storage) {
        if (!bound || !points_into(value_ptr, storage)) return;
        Holder& holder = static_cast<Holder&>(*this);
        holder.value = holder.get();
        unbind();
    }
    void unbind() {
        value_ptr = nullptr;
        static_cast<Holder&>(*this).ad_value = Holder::unbound_tape_value();
        bound = false;
    }
};

struct ComplexVariable : SolverBinding<ComplexVariable> {
    ADComplex ad_value = ad_zero();
    Complex value;

    ComplexVariable() = default;
    explicit ComplexVariable(Complex initial) : value(initial) {}

    static ADComplex unbound_tape_value() { return ad_zero(); }

    void push_value(std::vector<double>& values) const {
        values.push_back(value.real());
        values.push_back(value.imag());
    }
    void bind(const ADVector& tape, Eigen::VectorXd& values, int& index) {
        ad_value = ADComplex(tape[index], tape[index + 1]);
        value_ptr = values.data() + index;
        index += 2;
        bound = true;
    }
    void store_bound_value(const Complex& v) {
        value_ptr[0] = v.real();
        value_ptr[1] = v.imag();
    }
    // Read rule: the solver's value once bound, else the own value.
    Complex get() const { return bound ? Complex(value_ptr[0], value_ptr[1]) : value; }
    // Write-through: the own value, and the solver's value when bound.
    void set(const Complex& v) {
        value = v;
        if (bound) store_bound_value(v);
    }
};

struct RealVariable : SolverBinding<RealVariable> {
    ADScalar ad_value = ADScalar(0.0);
    double value = 0.0;

    RealVariable() = default;
    explicit RealVariable(double initial) : value(initial) {}

    static ADScalar unbound_tape_value() { return ADScalar(0.0); }

    void push_value(std::vector<double>& values) const { values.push_back(value); }
    void bind(const ADVector& tape, Eigen::VectorXd& values, int& index) {
        ad_value = tape[index];
        value_ptr = values.data() + index;
        index += 1;
        bound = true;
    }
    double get() const { return bound ? value_ptr[0] : value; }
    void set(double v) {
        value = v;
        if (bound) value_ptr[0] = v;
    }
};

struct ComplexVariableMatrix : SolverBinding<ComplexVariableMatrix> {
    ADComplexMatrix ad_value;
    Eigen::MatrixXcd value;

    ComplexVariableMatrix() = default;
    explicit ComplexVariableMatrix(Eigen::MatrixXcd initial) : value(std::move(initial)) {}

    static ADComplexMatrix unbound_tape_value() { return ADComplexMatrix(); }

    Eigen::Index rows() const { return value.rows(); }
    Eigen::Index cols() const { return value.cols(); }
    Eigen::Index width() const { return 2 * value.rows() * value.cols(); }

    void push_values(std::vector<double>& values) const;
    void bind(const ADVector& tape, Eigen::VectorXd& values, int& index);
    Complex get(Eigen::Index i, Eigen::Index j) const {
        if (!bound) return value(i, j);
        const double* p = value_ptr + 2 * (i * value.cols() + j);
        return Complex(p[0], p[1]);
    }
    // The whole matrix by the read rule.
    Eigen::MatrixXcd get() const;
    // Write-through of a matrix of the holder's dimensions.
    void set(const Eigen::MatrixXcd& m);
};

}  // namespace meshvolt
