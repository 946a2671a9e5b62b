#include "transformers/transformer_base.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "transformers/center_transformer.hpp"
#include "transformers/single_transformer.hpp"
#include "transformers/three_phase_transformer.hpp"

namespace meshvolt {

TransformerBase::TransformerBase(int n1, int n2, const Complex& z2_value, const Complex& ym_value,
                                 const Complex& k_value)
    : Branch(n1, n2), z2(z2_value), ym(ym_value), k(k_value) {}

template <class Visit>
void TransformerBase::visit_parameters(Visit visit) {
    // The layout of the transformer's parameters in the solver's vector.
    visit(z2);
    visit(ym);
    visit(k);
}

void TransformerBase::collect_parameters(std::vector<double>& values) {
    visit_parameters([&](const ComplexVariable& holder) { holder.push_value(values); });
}

void TransformerBase::bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    visit_parameters([&](ComplexVariable& holder) { holder.bind(tape, values, index); });
}

void TransformerBase::release_values(const Eigen::VectorXd&, const Eigen::VectorXd& parameters) {
    visit_parameters([&](ComplexVariable& holder) { holder.release_from(parameters); });
}

void TransformerBase::update_transformer_parameters(const Complex& z2_new, const Complex& ym_new,
                                                    const Complex& k_new) {
    z2.set(z2_new);
    ym.set(ym_new);
    k.set(k_new);
}

int TransformerBase::potential_group(int port) const {
    const Port* member = &ports[static_cast<std::size_t>(port)];
    return std::find(side1.begin(), side1.end(), member) != side1.end() ? 0 : 1;
}

double TransformerBase::side1_active_power() const {
    double p = 0.0;
    for (const Port* port : side1)
        p += (port->connection->get_potential() * std::conj(port->current)).real();
    return p;
}

double TransformerBase::ratio_angle() const {
    const Complex ratio = k.get();
    return std::atan2(ratio.imag(), ratio.real());
}

std::pair<double, double> TransformerBase::no_load_readings(double rated_current) {
    compute_currents(false);
    return {side1_active_power(), std::abs(ports[0].current) / rated_current};
}

std::pair<double, double> TransformerBase::short_circuit_readings(double vsc) {
    compute_currents(false);
    return {side1_active_power(), vsc};
}

double TransformerBase::short_circuit_voltage(double zk, double ulv, double sn) {
    return zk * sn / (ulv * ulv);
}

template <class T>
void Transformer<T>::backward_step() {
    throw std::runtime_error("2 No backward-forward method has been defined for transformers yet.");
}

template class Transformer<SingleTransformer>;
template class Transformer<CenterTransformer>;
template class Transformer<ThreePhaseTransformer>;

}  // namespace meshvolt
