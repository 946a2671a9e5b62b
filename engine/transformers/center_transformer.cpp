#include "transformers/center_transformer.hpp"

#include <cmath>

namespace meshvolt {

CenterTransformer::CenterTransformer(const Complex& z2_value, const Complex& ym_value,
                                     double k_value)
    : Transformer<CenterTransformer>(2, 3, z2_value, ym_value, Complex(k_value, 0.0)) {}

CenterTransformer::~CenterTransformer() = default;

template <class Reading>
void CenterTransformer::write_currents() {
    using C = typename Reading::Value;
    const typename Reading::Vector v1 = Reading::side_potentials(*this, Side::one);
    const typename Reading::Vector v2 = Reading::side_potentials(*this, Side::two);
    const auto half_ratio = Reading::parameter(k).real() * 0.5;
    const C half_z2 = scaled(Reading::parameter(z2), 0.5);
    const C u1 = v1[0] - v1[1];
    const C half_u1 = scaled(u1, half_ratio);
    const C i2a = divide(v2[0] - v2[2] - half_u1, half_z2);
    const C i2b = divide(v2[1] - v2[2] + half_u1, half_z2);
    const C i1 = Reading::parameter(ym) * u1 - scaled(i2a - i2b, half_ratio);
    Reading::set_side_currents(*this, Reading::vector({i1, -i1}),
                               Reading::vector({i2a, i2b, -(i2a + i2b)}));
}

template void CenterTransformer::write_currents<PlainReading>();
template void CenterTransformer::write_currents<TapeReading>();

void CenterTransformer::write_no_load_potentials(double uhv, double ulv) {
    const double theta = ratio_angle();
    const Complex half_lv(0.5 * ulv * std::cos(theta), 0.5 * ulv * std::sin(theta));
    set_node_potential(0, Complex(uhv / 2, 0.0));
    set_node_potential(1, Complex(-uhv / 2, 0.0));
    set_node_potential(2, half_lv);
    set_node_potential(3, -half_lv);
    set_node_potential(4, Complex(0.0, 0.0));
}

void CenterTransformer::write_short_circuit_potentials(double uhv, double vsc) {
    set_node_potential(0, Complex(uhv * vsc / 2, 0.0));
    set_node_potential(1, Complex(-uhv * vsc / 2, 0.0));
    for (int port = 2; port < 5; ++port) set_node_potential(port, Complex(0.0, 0.0));
}

}  // namespace meshvolt
