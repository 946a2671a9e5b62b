// The shunt line's backward and forward steps: the general path on the transfer matrices, and
// the single-phase path on the scalars and the pointers cached at binding.
#include "model/shunt_line.hpp"

namespace meshvolt {

namespace {

Complex sum_of(const Eigen::VectorXcd& v) {
    Complex s(0.0, 0.0);
    for (Eigen::Index k = 0; k < v.size(); ++k) s += v(k);
    return s;
}

}  // namespace

void ShuntLine::bind_variables(const ADVector&, Eigen::VectorXd&, int&) {
    const ComplexVariable& v1 = side1[0]->connection->potential;
    const ComplexVariable& v2 = side2[0]->connection->potential;
    v1_storage = v1.bound ? v1.value_ptr : nullptr;
    v2_storage = v2.bound ? v2.value_ptr : nullptr;
    i1_current = &side1[0]->current;
    i2_current = &side2[0]->current;
    extra_current = &extra_port->current;
}

bool ShuntLine::single_phase_ready() const {
    // A grounded node reads 0 whatever its storage holds, and an unbound one has none.
    return phase_count == 1 && v1_storage != nullptr && v2_storage != nullptr &&
           i1_current != nullptr && !side1[0]->connection->grounded &&
           !side2[0]->connection->grounded;
}

void ShuntLine::backward_step() {
    if (single_phase_ready()) {
        // The node's members are read as they are now, not as they were at binding: a member
        // joined then may since have left or been destroyed.
        const Complex i2 = side2[0]->balance_current();
        *i2_current = i2;
        const Complex v2(v2_storage[0], v2_storage[1]);
        const Complex i1 = scalar_c * v2 - scalar_d * i2;
        *i1_current = i1;
        *extra_current = -i1 - i2;
        return;
    }
    balance_side2_currents();
    const Eigen::VectorXcd v2 = side2_potentials();
    const Eigen::VectorXcd i2 = side2_currents();
    const Eigen::VectorXcd i1 = transfer_c * v2 - transfer_d * i2;
    for (std::size_t k = 0; k < side1.size(); ++k)
        side1[k]->current = i1(static_cast<Eigen::Index>(k));
    extra_port->current = -sum_of(i1) - sum_of(i2);
}

double ShuntLine::forward_step() {
    if (single_phase_ready()) {
        const Complex v1(v1_storage[0], v1_storage[1]);
        const Complex v2_new = scalar_a * v1 - scalar_b * *i1_current;
        const Complex v2_old(v2_storage[0], v2_storage[1]);
        v2_storage[0] = v2_new.real();
        v2_storage[1] = v2_new.imag();
        return part_measure(v2_new - v2_old);
    }
    const Eigen::VectorXcd v1 = side1_potentials();
    const Eigen::VectorXcd i1 = side1_currents();
    return move_side2_potentials(transfer_a * v1 - transfer_b * i1);
}

}  // namespace meshvolt
