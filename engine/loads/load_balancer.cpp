#include "loads/load_balancer.hpp"

#include <stdexcept>

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

void LoadBalancer::compute_currents(bool on_tape) {
    if (on_tape)
        compute_currents_ad();
    else
        compute_currents_numeric();
}

void LoadBalancer::backward_step() { compute_currents_numeric(); }

void LoadBalancer::release_values(const Eigen::VectorXd&, const Eigen::VectorXd& parameters) {
    admittance.release_from(parameters);
}

void LoadBalancer::get_inner_currents(Complex* out) { stored_phase_currents(out); }

void LoadBalancer::compute_currents_numeric() {
    Eigen::Vector4cd v;
    for (int j = 0; j < 4; ++j) v[j] = node_potential(j);
    Eigen::Vector3cd u;
    for (int k = 0; k < 3; ++k) {
        u[k] = Complex(0.0, 0.0);
        for (int j = 0; j < 4; ++j) u[k] += voltage_matrix(k, j) * v[j];
    }
    const Eigen::VectorXcd i = admittance.get() * u;
    for (int k = 0; k < 3; ++k) ports[k].current = i[k];
    StarWiring::write_neutral_current<PlainReading>(ports);
}

void LoadBalancer::compute_currents_ad() {
    // The AD matrix exists only once a solver has bound the admittance.
    if (admittance.ad_value.rows() != 3 || admittance.ad_value.cols() != 3)
        throw std::logic_error("the admittance of the load balancer is not bound to a tape");
    ADComplex v[4];
    for (int j = 0; j < 4; ++j) v[j] = node_potential_ad(j);
    ADComplex u[3];
    for (int k = 0; k < 3; ++k) {
        ADScalar re(0.0), im(0.0);
        for (int j = 0; j < 4; ++j) {
            const ADScalar m(voltage_matrix(k, j));
            re += m * v[j].real();
            im += m * v[j].imag();
        }
        u[k] = ADComplex(re, im);
    }
    const ADComplexMatrix& y = admittance.ad_value;
    for (int k = 0; k < 3; ++k) {
        ADScalar re(0.0), im(0.0);
        for (int j = 0; j < 3; ++j) {
            re += y(k, j).real() * u[j].real() - y(k, j).imag() * u[j].imag();
            im += y(k, j).real() * u[j].imag() + y(k, j).imag() * u[j].real();
        }
        ports[k].current_ad = ADComplex(re, im);
    }
    StarWiring::write_neutral_current<TapeReading>(ports);
}

}  // namespace meshvolt
