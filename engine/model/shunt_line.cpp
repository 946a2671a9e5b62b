// The shunt line's parameter matrices, their gathering, binding and updates, and its port
// currents on the tape and in plain numbers.
#include "model/shunt_line.hpp"

namespace meshvolt {

namespace {

std::vector<int> port_range(int first, int end) {
    std::vector<int> r;
    for (int k = first; k < end; ++k) r.push_back(k);
    return r;
}

}  // namespace

ShuntLine::ShuntLine(int n, const Complex* y_shunt, const Complex* z_line)
    : Line<ShuntLine>(2 * checked_phase_count(n, "a shunt line") + 1, port_range(0, n),
                      port_range(n, 2 * n)),
      extra_port(&ports[2 * n]),
      phase_count(n) {
    set_parameters(compute_line_matrices(n, y_shunt, z_line));
}

template <class Visit>
void ShuntLine::visit_parameters(Visit visit) {
    // The layout of the line's parameters in the solver's vector.
    visit(y11);
    visit(y12);
    visit(y21);
    visit(y22);
    visit(y_extra);
    visit(y2_extra);
    visit(y1_extra);
}

void ShuntLine::set_parameters(const ShuntLineMatrices& m) {
    y11.set(m.y11);
    y12.set(m.y12);
    y21.set(m.y21);
    y22.set(m.y22);
    y_extra.set(m.y_extra.col(0));
    y2_extra.set(m.y2_extra);
    y1_extra.set(m.y1_extra);
}

ShuntLineMatrices ShuntLine::compute_line_matrices(int n, const Complex* y_shunt,
                                                   const Complex* z_line) {
    const Eigen::MatrixXcd y = row_major_matrix(n, y_shunt);
    const Eigen::MatrixXcd z = row_major_matrix(n, z_line);
    const Eigen::MatrixXcd identity = Eigen::MatrixXcd::Identity(n, n);

    transfer_a = identity + (0.5 * z) * y;
    transfer_b = z;
    transfer_c = y + ((0.25 * y) * z) * y;
    transfer_d = identity + (0.5 * y) * z;
    scalar_a = transfer_a(0, 0);
    scalar_b = transfer_b(0, 0);
    scalar_c = transfer_c(0, 0);
    scalar_d = transfer_d(0, 0);

    Eigen::VectorXcd r(n);
    for (int k = 0; k < n; ++k) {
        Complex row_sum(0.0, 0.0);
        for (int j = 0; j < n; ++j) row_sum += y(k, j);
        r(k) = -0.5 * row_sum;
    }
    const Eigen::VectorXcd p = z * r;
    const Eigen::VectorXcd w = 2.0 * r + ((0.5 * y) * z) * r;

    const Eigen::MatrixXcd b_inv = transfer_b.inverse();
    const Eigen::MatrixXcd d_b_inv = transfer_d * b_inv;
    ShuntLineMatrices m;
    m.y11 = d_b_inv;
    m.y12 = transfer_c - d_b_inv * transfer_a;
    m.y21 = -b_inv;
    m.y22 = b_inv * transfer_a;
    m.y_extra = r;
    m.y2_extra = w - d_b_inv * p;
    m.y1_extra = b_inv * p;
    return m;
}

void ShuntLine::collect_parameters(std::vector<double>& values) {
    visit_parameters([&](const auto& holder) { holder.push_values(values); });
}

void ShuntLine::bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    visit_parameters([&](auto& holder) { holder.bind(tape, values, index); });
}

bool ShuntLine::parameters_bound() {
    bool bound = true;
    visit_parameters([&](const auto& holder) { bound = bound && holder.bound; });
    return bound;
}

void ShuntLine::release_values(const Eigen::VectorXd& variables,
                               const Eigen::VectorXd& parameters) {
    visit_parameters([&](auto& holder) { holder.release_from(parameters); });
    // The single-phase paths must not write into the storage of a solver that is gone.
    if (points_into(v1_storage, variables)) v1_storage = nullptr;
    if (points_into(v2_storage, variables)) v2_storage = nullptr;
}

void ShuntLine::update_line_parameters(const Complex* y_shunt, const Complex* z_line) {
    set_parameters(compute_line_matrices(port_count() / 2, y_shunt, z_line));
}

template <class Reading>
void ShuntLine::write_currents() {
    using Vector = typename Reading::Vector;
    using Value = typename Reading::Value;
    Reading::require_bound(parameters_bound(), "the parameters of a shunt line are");
    const Vector v1 = Reading::side_potentials(*this, Side::one);
    const Vector v2 = Reading::side_potentials(*this, Side::two);
    const Value vx = Reading::potential(*extra_port);

    const Vector i1 = matrix_times(Reading::parameter(y11), v1) +
                      matrix_times(Reading::parameter(y12), v2) +
                      Reading::parameter(y1_extra).col(0) * vx;
    const Vector i2 = matrix_times(Reading::parameter(y21), v1) +
                      matrix_times(Reading::parameter(y22), v2) +
                      Reading::parameter(y2_extra).col(0) * vx;
    Reading::set_side_currents(*this, i1, i2);

    const Value two_vx = vx * typename Reading::Real(2.0);
    const auto& y_x = Reading::parameter(y_extra);
    Value ix = Reading::zero();
    for (Eigen::Index k = 0; k < v1.size(); ++k) ix += y_x(k) * (v1(k) + v2(k) - two_vx);
    Reading::current(*extra_port) = ix;
}

// Both readings, for callers outside this file (the dispatch in a header, tests).
template void ShuntLine::write_currents<PlainReading>();
template void ShuntLine::write_currents<TapeReading>();

void ShuntLine::compute_currents_numeric() { write_currents<PlainReading>(); }
void ShuntLine::compute_currents_ad() { write_currents<TapeReading>(); }

template class Line<ShuntLine>;

}  // namespace meshvolt
