#include "model/line.hpp"

#include <stdexcept>

namespace meshvolt {

Eigen::MatrixXcd row_major_matrix(int n, const Complex* data) {
    Eigen::MatrixXcd m(n, n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) m(i, j) = data[i * n + j];
    return m;
}

int checked_phase_count(int n, const char* element) {
    if (n == 0) throw std::invalid_argument(std::string(element) + " needs at least one phase");
    return n;
}

void require_tape_binding(bool bound, const char* element) {
    if (!bound)
        throw std::logic_error(std::string("the parameters of ") + element +
                               " are not bound to a tape");
}

template class Line<SimplifiedLine>;

SimplifiedLine::SimplifiedLine(int n, const Complex* z_line)
    : Line<SimplifiedLine>(checked_phase_count(n, "a line"), n) {
    admittance.value = row_major_matrix(n, z_line).inverse();
}

void SimplifiedLine::collect_parameters(std::vector<double>& values) {
    admittance.push_values(values);
}

void SimplifiedLine::bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    admittance.bind(tape, values, index);
}

void SimplifiedLine::compute_currents_numeric() {
    const Eigen::VectorXcd dv = side1_potentials() - side2_potentials();
    const Eigen::VectorXcd i1 = admittance.get() * dv;
    set_side_currents(i1, -i1);
}

void SimplifiedLine::compute_currents_ad() {
    require_tape_binding(admittance.bound, "a line");
    const ADComplexVector v1 = side_potentials_ad(1);
    const ADComplexVector v2 = side_potentials_ad(2);
    ADComplexVector dv(v1.size());
    for (Eigen::Index k = 0; k < dv.size(); ++k) dv(k) = v1(k) - v2(k);
    const ADComplexVector i1 = admittance.ad_value * dv;
    ADComplexVector i2(i1.size());
    for (Eigen::Index k = 0; k < i2.size(); ++k) i2(k) = -i1(k);
    set_side_currents_ad(i1, i2);
}

void SimplifiedLine::backward_step() {
    balance_side2_currents();
    const Eigen::VectorXcd i2 = side2_currents();
    set_side_currents(-i2, i2);
}

double SimplifiedLine::forward_step() {
    const Eigen::VectorXcd v1 = side1_potentials();
    const Eigen::VectorXcd i1 = side1_currents();
    const Eigen::MatrixXcd z = admittance.get().inverse();
    return move_side2_potentials(v1 - z * i1);
}

void SimplifiedLine::release_values(const Eigen::VectorXd&, const Eigen::VectorXd& parameters) {
    admittance.release_from(parameters);
}

void SimplifiedLine::update_line_parameters(const Complex* z_line) {
    admittance.set(row_major_matrix(phase_count(), z_line).inverse());
}

}  // namespace meshvolt
