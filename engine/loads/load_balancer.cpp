#include "loads/load_balancer.hpp"

#include "loads/load_wiring.hpp"

namespace meshvolt {

LoadBalancer::LoadBalancer(Complex z2, Complex ym, double k) : Load<LoadBalancer>(4) {
    voltage_matrix = phase_to_neutral();
    const Complex diagonal = z2 + (1.0 / (k * k) + 1.0) / ym;
    const Complex off_diagonal = Complex(-1.0, 0.0) / Complex(k * ym.real(), k * ym.imag());
    Eigen::MatrixXcd impedance = Eigen::MatrixXcd::Constant(3, 3, off_diagonal);
    impedance.diagonal().setConstant(diagonal);
    // LU with partial pivoting; a singular Z is not detected.
    admittance.value = impedance.partialPivLu().inverse();
}

LoadBalancer::~LoadBalancer() = default;

void LoadBalancer::collect_parameters(std::vector<double>& values) {
    admittance.push_values(values);
}

void LoadBalancer::bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    admittance.bind(tape, values, index);
}

void LoadBalancer::compute_currents(bool on_tape) { write_currents_by(*this, on_tape); }

void LoadBalancer::backward_step() { write_currents<PlainReading>(); }

void LoadBalancer::release_values(const Eigen::VectorXd&, const Eigen::VectorXd& parameters) {
    admittance.release_from(parameters);
}

void LoadBalancer::get_inner_currents(Complex* out) { stored_phase_currents(out); }

template <class Reading>
void LoadBalancer::write_currents() {
    using Value = typename Reading::Value;
    Reading::require_bound(admittance.bound, "the admittance of the load balancer is");
    Eigen::Matrix<Value, 4, 1> v;
    for (int j = 0; j < 4; ++j) v[j] = Reading::potential(ports[j]);
    const Eigen::Matrix<Value, 3, 1> u = matrix_times(voltage_matrix, v);
    const auto i = matrix_times(Reading::parameter(admittance), u);
    for (int k = 0; k < 3; ++k) Reading::current(ports[k]) = i[k];
    StarWiring::write_neutral_current<Reading>(ports);
}

// Both readings, for callers outside this file (the dispatch in a header, tests).
template void LoadBalancer::write_currents<PlainReading>();
template void LoadBalancer::write_currents<TapeReading>();

}  // namespace meshvolt
