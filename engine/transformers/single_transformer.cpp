#include "transformers/single_transformer.hpp"

#include <cmath>

#include "transformers/two_winding.hpp"

namespace meshvolt {

SingleTransformer::SingleTransformer(const Complex& z2_value, const Complex& ym_value,
                                     const Complex& k_value)
    : Transformer<SingleTransformer>(2, 2, z2_value, ym_value, k_value) {}

SingleTransformer::~SingleTransformer() = default;

template <class Reading>
void SingleTransformer::write_currents() {
    using C = typename Reading::Value;
    const typename Reading::Vector v1 = Reading::side_potentials(*this, Side::one);
    const typename Reading::Vector v2 = Reading::side_potentials(*this, Side::two);
    const C u1 = v1[0] - v1[1];
    const C u2 = v2[0] - v2[1];
    const auto [i1, i2] = two_winding_currents<Reading>(u1, u2, Reading::parameter(k), z2, ym);
    Reading::set_side_currents(*this, Reading::vector({i1, -i1}), Reading::vector({i2, -i2}));
}

template void SingleTransformer::write_currents<PlainReading>();
template void SingleTransformer::write_currents<TapeReading>();

bool SingleTransformer::sweeps_move_lv_b() const {
    return ports[2].connection->grounded && !ports[3].connection->grounded;
}

void SingleTransformer::backward_step() {
    // Port 3 carries -I2.
    const Complex i2 =
        sweeps_move_lv_b() ? -ports[3].balance_current() : ports[2].balance_current();
    ports[2].current = i2;
    ports[3].current = -i2;
    const Complex u1 = node_potential(0) - node_potential(1);
    const Complex i1 = primary_current(ym.get(), u1, k.get(), i2);
    ports[0].current = i1;
    ports[1].current = -i1;
}

double SingleTransformer::forward_step() {
    const Complex u1 = node_potential(0) - node_potential(1);
    if (sweeps_move_lv_b()) {
        const Complex v2b = node_potential(2) - k.get() * u1 - z2.get() * ports[2].current;
        const Complex old = node_potential(3);
        set_node_potential(3, v2b);
        return part_measure(v2b - old);
    }
    const Complex w =
        secondary_potential(node_potential(3), k.get(), u1, z2.get(), ports[2].current);
    const Complex old = node_potential(2);
    // Written also into a grounded node (both LV nodes grounded), which keeps reading 0.
    set_node_potential(2, w);
    return part_measure(w - old);
}

void SingleTransformer::write_no_load_potentials(double uhv, double ulv) {
    const double theta = ratio_angle();
    set_node_potential(0, Complex(uhv, 0.0));
    set_node_potential(1, Complex(0.0, 0.0));
    set_node_potential(2, Complex(ulv * std::cos(theta), ulv * std::sin(theta)));
    set_node_potential(3, Complex(0.0, 0.0));
}

void SingleTransformer::write_short_circuit_potentials(double uhv, double vsc) {
    set_node_potential(0, Complex(uhv * vsc, 0.0));
    for (int port = 1; port < 4; ++port) set_node_potential(port, Complex(0.0, 0.0));
}

}  // namespace meshvolt
