#include "loads/load_balancer.hpp"

#include "loads/load_wiring.hpp"

namespace meshvolt {

LoadBalancer::LoadBalancer(Complex z2, Complex ym, double k) : Load<LoadBalancer>(4) {
    voltage_matrix << 1.0, 0.0, 0.0, -1.0,  //
        0.0, 1.0, 0.0, -1.0,                //
        0.0, 0.0, 1.0, -1.0;
    const Complex diagonal = z2 + (1.0 / (k * k) + 1.0) / ym;
    const Complex off_diagonal = Complex(-1.0, 0.0) / Complex(k * ym.real(), k * ym.imag());
    Eigen::MatrixXcd impedance = Eigen::MatrixXcd::Constant(3, 3, off_diagonal);
    impedance.diagonal().setConstant(diagonal);
    // LU with partial pivoting; a singular Z is not detected.
    admittance.value = impedance.partialPivLu().inverse();
}

LoadBalancer::~LoadBalancer() = default;

void LoadBalancer::collect_parameters(std::vector<double>& values) { admittance.push_values(values); }

void LoadBalancer::bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    admittance.bind(tape, values, index);
}

void LoadBalancer::compute_currents(bool on_tape) { write_currents_by(*this, on_tape); }

void LoadBalancer::backward_step() { write_currents<PlainReading>(); }

void LoadBalancer::release_values(const Eigen::VectorXd&, const Eigen::VectorXd& parameters) {
    admittance.release_from(parameters);
}

void LoadBalancer::get_inner_currents(Complex* out) { stored_phase_currents(out); }

namespace {

// I = Y·U, in its two spellings: Eigen's product in plain numbers; on the tape each entry summed
// part by part from zero,
//     Re I_k = Σ_j (Re Y_kj·Re U_j - Im Y_kj·Im U_j),   Im I_k = Σ_j (Re Y_kj·Im U_j + Im Y_kj·Re U_j).
Eigen::VectorXcd phase_currents(const Eigen::MatrixXcd& y, const Eigen::Vector3cd& u) {
    return y * u;
}

Eigen::Matrix<ADComplex, 3, 1> phase_currents(const ADComplexMatrix& y,
                                              const Eigen::Matrix<ADComplex, 3, 1>& u) {
    Eigen::Matrix<ADComplex, 3, 1> i;
    for (int k = 0; k < 3; ++k) {
        ADScalar re(0.0), im(0.0);
        for (int j = 0; j < 3; ++j) {
            re += y(k, j).real() * u[j].real() - y(k, j).imag() * u[j].imag();
            im += y(k, j).real() * u[j].imag() + y(k, j).imag() * u[j].real();
        }
        i[k] = ADComplex(re, im);
    }
    return i;
}

}  // namespace

template <class Reading>
void LoadBalancer::write_currents() {
    using Real = typename Reading::Real;
    using Value = typename Reading::Value;
    Reading::require_bound(admittance.bound, "the admittance of the load balancer is");
    Value v[4];
    for (int j = 0; j < 4; ++j) v[j] = Reading::potential(ports[j]);
    // U = M·V, each part summed from zero.
    Eigen::Matrix<Value, 3, 1> u;
    for (int k = 0; k < 3; ++k) {
        Real re(0.0), im(0.0);
        for (int j = 0; j < 4; ++j) {
            const Real m(voltage_matrix(k, j));
            re += m * v[j].real();
            im += m * v[j].imag();
        }
        u[k] = Value(re, im);
    }
    const auto i = phase_currents(Reading::parameter(admittance), u);
    for (int k = 0; k < 3; ++k) Reading::current(ports[k]) = i[k];
    StarWiring::write_neutral_current<Reading>(ports);
}

// Both readings, for callers outside this file (the dispatch in a header, tests).
template void LoadBalancer::write_currents<PlainReading>();
template void LoadBalancer::write_currents<TapeReading>();

}  // namespace meshvolt
