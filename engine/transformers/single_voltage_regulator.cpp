#include "transformers/single_voltage_regulator.hpp"

namespace meshvolt {

namespace {

// 1/z: the full complex division in plain numbers; conj(z)/|z|² on the tape.
Complex reciprocal(const Complex& z) { return Complex(1.0, 0.0) / z; }
ADComplex reciprocal(const ADComplex& z) {
    const ADScalar squared_modulus = z.real() * z.real() + z.imag() * z.imag();
    return ADComplex(z.real() / squared_modulus, -z.imag() / squared_modulus);
}

// The regulator's current law on either scalar, for a clamped tap c:
//     k = c·(cos phi + j sin phi),  I2 = (U2 - k·U1)·(1/z2),  I1 = ym·U1 - conj(k)·I2
template <class C>
struct RegulatorCurrents {
    C i1;
    C i2;

    RegulatorCurrents(const C& u1, const C& u2, const typename C::value_type& c, double phi,
                      const C& z2, const C& ym) {
        const C k(c * std::cos(phi), c * std::sin(phi));
        i2 = (u2 - k * u1) * reciprocal(z2);
        i1 = ym * u1 - std::conj(k) * i2;
    }
};

// The side currents {I1, -(I1 + I2)} and {I2, 0}.
template <class C, class Vector>
void side_currents(const RegulatorCurrents<C>& law, Vector& side1, Vector& side2) {
    side1.resize(2);
    side2.resize(2);
    side1 << law.i1, -(law.i1 + law.i2);
    side2 << law.i2, C(0.0, 0.0);
}

}  // namespace

SingleVoltageRegulator::SingleVoltageRegulator(Complex z2_in, Complex ym_in, double u_ref_in,
                                               double u_range_in, double alpha_in, double phi_in)
    : Branch(2, 2),
      z2(z2_in),
      ym(ym_in),
      u_ref(u_ref_in),
      u_range(u_range_in),
      alpha(alpha_in),
      phi(phi_in),
      tap(1.0) {
    ports[1].connection->merge(ports[3].connection);
}

void SingleVoltageRegulator::collect_variables(std::vector<double>& values) {
    // The starting tap: the hard-clamped ratio that would put u_ref on the output, or the tap's own
    // value when the input voltage is zero or not a number.
    const double u1 = std::abs(input_voltage());
    if (u1 > 0.0)
        values.push_back(range().clamp(u_ref.get() / u1));
    else
        tap.push_value(values);
}

void SingleVoltageRegulator::collect_parameters(std::vector<double>& values) {
    z2.push_value(values);
    ym.push_value(values);
    u_ref.push_value(values);
}

void SingleVoltageRegulator::bind_variables(const ADVector& tape, Eigen::VectorXd& values,
                                            int& index) {
    tap.bind(tape, values, index);
}

void SingleVoltageRegulator::bind_parameters(const ADVector& tape, Eigen::VectorXd& values,
                                             int& index) {
    z2.bind(tape, values, index);
    ym.bind(tape, values, index);
    u_ref.bind(tape, values, index);
}

void SingleVoltageRegulator::compute_currents(bool on_tape) {
    if (on_tape)
        compute_currents_ad();
    else
        compute_currents_numeric();
}

void SingleVoltageRegulator::compute_currents_numeric() {
    const Eigen::VectorXcd v1 = side1_potentials();
    const Eigen::VectorXcd v2 = side2_potentials();
    const RegulatorCurrents<Complex> law(v1[0] - v1[1], v2[0] - v2[1], get_tap(), phi, z2.get(),
                                         ym.get());
    Eigen::VectorXcd i1, i2;
    side_currents(law, i1, i2);
    set_side_currents(i1, i2);
}

void SingleVoltageRegulator::compute_currents_ad() {
    const ADComplexVector v1 = side_potentials_ad(1);
    const ADComplexVector v2 = side_potentials_ad(2);
    const ADScalar c = range().smooth_clamp(tap.ad_value);
    const RegulatorCurrents<ADComplex> law(v1[0] - v1[1], v2[0] - v2[1], c, phi, z2.ad_value,
                                           ym.ad_value);
    ADComplexVector i1, i2;
    side_currents(law, i1, i2);
    set_side_currents_ad(i1, i2);
}

void SingleVoltageRegulator::add_equations(ADVector& residuals, int& index) {
    const ADComplexVector v2 = side_potentials_ad(2);
    const ADComplex u2 = v2[0] - v2[1];
    const ADScalar magnitude = CppAD::sqrt(u2.real() * u2.real() + u2.imag() * u2.imag());
    const ADScalar& t = tap.ad_value;
    residuals[index] = t * magnitude / u_ref.ad_value - range().smooth_clamp(t);
    index += 1;
}

void SingleVoltageRegulator::backward_step() {
    const Complex i2 = ports[2].balance_current();
    ports[2].current = i2;
    const Complex i1 = ym.get() * input_voltage() - std::conj(ratio(get_tap())) * i2;
    ports[0].current = i1;
    ports[1].current = -(i1 + i2);
    ports[3].current = Complex(0.0, 0.0);
}

double SingleVoltageRegulator::forward_step() {
    const Complex u1 = input_voltage();
    const Complex i2 = ports[2].current;
    const Complex z = z2.get();

    const double c = get_tap();
    tap.set(c * u_ref.get() / std::abs(ratio(c) * u1 + z * i2));

    const Complex v2_new = node_potential(3) + ratio(get_tap()) * u1 + z * i2;
    // A grounded node reads 0, so its change is the written potential itself.
    const Complex change = v2_new - node_potential(2);
    set_node_potential(2, v2_new);
    return part_measure(change);
}

void SingleVoltageRegulator::release_values(const Eigen::VectorXd& variables,
                                            const Eigen::VectorXd& parameters) {
    tap.keep_from(variables);
    z2.release_from(parameters);
    ym.release_from(parameters);
    u_ref.release_from(parameters);
}

double SingleVoltageRegulator::get_tap() const { return range().smooth_clamp(tap.get()); }

double SingleVoltageRegulator::compute_tap(double u_in) const {
    return range().smooth_clamp(u_ref.get() / u_in);
}

void SingleVoltageRegulator::update_parameters(Complex z2_new, Complex ym_new, double u_ref_new) {
    z2.set(z2_new);
    ym.set(ym_new);
    u_ref.set(u_ref_new);
    const Complex u1 = input_voltage();
    if (!(std::abs(u1) > 0.0)) return;
    tap.set(range().clamp(u_ref.get() / std::abs(u1)));
    // The output-a node starts from the ideal ratio: neither phi nor the drop in z2 is applied.
    set_node_potential(2, node_potential(1) + get_tap() * u1);
}

}  // namespace meshvolt
