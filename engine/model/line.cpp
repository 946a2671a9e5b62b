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

template <class Reading>
void SimplifiedLine::write_currents() {
    Reading::require_bound(admittance.bound, "the parameters of a line are");
    const typename Reading::Vector v1 = Reading::side_potentials(*this, Side::one);
    const typename Reading::Vector v2 = Reading::side_potentials(*this, Side::two);
    const typename Reading::Vector dv = v1 - v2;
    const typename Reading::Vector i1 = matrix_times(Reading::parameter(admittance), dv);
    const typename Reading::Vector i2 = -i1;
    Reading::set_side_currents(*this, i1, i2);
}

// Both readings, for callers outside this file (the dispatch in a header, tests).
template void SimplifiedLine::write_currents<PlainReading>();
template void SimplifiedLine::write_currents<TapeReading>();

void SimplifiedLine::compute_currents_numeric() { write_currents<PlainReading>(); }
void SimplifiedLine::compute_currents_ad() { write_currents<TapeReading>(); }

template class Line<SimplifiedLine>;

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
