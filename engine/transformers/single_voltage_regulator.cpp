#include "transformers/single_voltage_regulator.hpp"

namespace meshvolt {

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

template <class Visit>
void SingleVoltageRegulator::visit_parameters(Visit visit) {
    // The layout of the regulator's parameters in the solver's vector.
    visit(z2);
    visit(ym);
    visit(u_ref);
}

void SingleVoltageRegulator::collect_parameters(std::vector<double>& values) {
    visit_parameters([&](const auto& holder) { holder.push_value(values); });
}

void SingleVoltageRegulator::bind_variables(const ADVector& tape, Eigen::VectorXd& values,
                                            int& index) {
    tap.bind(tape, values, index);
}

void SingleVoltageRegulator::bind_parameters(const ADVector& tape, Eigen::VectorXd& values,
                                             int& index) {
    visit_parameters([&](auto& holder) { holder.bind(tape, values, index); });
}

void SingleVoltageRegulator::compute_currents(bool on_tape) { write_currents_by(*this, on_tape); }

template <class Reading>
void SingleVoltageRegulator::write_currents() {
    using C = typename Reading::Value;
    const typename Reading::Vector v1 = Reading::side_potentials(*this, Side::one);
    const typename Reading::Vector v2 = Reading::side_potentials(*this, Side::two);
    const typename Reading::Real c = range().smooth_clamp(Reading::variable(tap));
    const C u1 = v1[0] - v1[1];
    const C u2 = v2[0] - v2[1];
    const C k(c * std::cos(phi), c * std::sin(phi));
    const auto [i1, i2] = two_winding_currents<Reading>(u1, u2, k, z2, ym);
    Reading::set_side_currents(*this, Reading::vector({i1, -(i1 + i2)}),
                               Reading::vector({i2, Reading::zero()}));
}

template void SingleVoltageRegulator::write_currents<PlainReading>();
template void SingleVoltageRegulator::write_currents<TapeReading>();

void SingleVoltageRegulator::add_equations(ADVector& residuals, int& index) {
    const ADComplexVector v2 = side_potentials_ad(Side::two);
    const ADComplex u2 = v2[0] - v2[1];
    const ADScalar& t = tap.ad_value;
    residuals[index] = t * magnitude(u2) / u_ref.ad_value - range().smooth_clamp(t);
    index += 1;
}

void SingleVoltageRegulator::backward_step() {
    const Complex i2 = ports[2].balance_current();
    ports[2].current = i2;
    const Complex i1 = primary_current(ym.get(), input_voltage(), ratio(get_tap()), i2);
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

    const Complex v2_new = secondary_potential(node_potential(3), ratio(get_tap()), u1, z, i2);
    // A grounded node reads 0, so its change is the written potential itself.
    const Complex change = v2_new - node_potential(2);
    set_node_potential(2, v2_new);
    return part_measure(change);
}

void SingleVoltageRegulator::release_values(const Eigen::VectorXd& variables,
                                            const Eigen::VectorXd& parameters) {
    tap.keep_from(variables);
    visit_parameters([&](auto& holder) { holder.release_from(parameters); });
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
