#include "transformers/three_phase_transformer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <stdexcept>
#include <vector>

namespace meshvolt {

namespace {

using Matrix3 = Eigen::Matrix3d;

const Matrix3 identity = Matrix3::Identity();
// (xa, xb, xc) -> (xb, xc, xa).
const Matrix3 shift = (Matrix3() << 0, 1, 0, 0, 0, 1, 1, 0, 0).finished();

bool among(int clock, std::initializer_list<int> clocks) {
    for (int c : clocks)
        if (c == clock) return true;
    return false;
}

// The ports a winding code needs on its side, or the code's refusal.
int hv_port_count(const std::string& whv) {
    if (whv == "D") return 3;
    if (whv == "Y") return 4;
    throw std::runtime_error("Bad HV winding: " + whv);
}

int lv_port_count(const std::string& wlv) {
    if (wlv == "d") return 3;
    if (wlv == "y" || wlv == "z") return 4;
    throw std::runtime_error("Bad LV winding: " + wlv);
}

void check_port_count(const char* side, int given, const std::string& code, int needed) {
    if (given != needed)
        throw std::runtime_error(std::string("The ") + side + " side has " + std::to_string(given) +
                                 " ports where winding " + code + " needs " +
                                 std::to_string(needed));
}

// A delta or zigzag winding sees voltages turned by 30° against a star winding's, so a pair of
// windings of the same kind (Dd, Yy, Dz) shifts by even clocks and a mixed pair (Dy, Yd, Yz) by
// odd ones; of the odd clocks the winding connections realise 1, 5, 7 and 11 only.
const std::vector<int> even_clocks = {0, 2, 4, 6, 8, 10};
const std::vector<int> odd_clocks = {1, 5, 7, 11};

void check_clock(const std::string& whv, const std::string& wlv, int clock) {
    const bool mixed = (whv == "D") != (wlv == "d" || wlv == "z");
    const std::vector<int>& realisable = mixed ? odd_clocks : even_clocks;
    if (std::find(realisable.begin(), realisable.end(), clock) != realisable.end()) return;
    std::string list;
    for (int c : realisable) list += (list.empty() ? "" : ", ") + std::to_string(c);
    throw std::runtime_error("Clock " + std::to_string(clock) + " is not realisable by a " + whv +
                             wlv + " transformer: it takes clocks " + list);
}

// n1 once both codes are known, both counts match them and the pair realises the clock: the
// winding matrices read exactly that many potentials on each side.
int checked_hv_ports(int n1, int n2, const std::string& whv, const std::string& wlv, int clock) {
    const int hv_ports = hv_port_count(whv);
    const int lv_ports = lv_port_count(wlv);
    check_port_count("HV", n1, whv, hv_ports);
    check_port_count("LV", n2, wlv, lv_ports);
    check_clock(whv, wlv, clock);
    return n1;
}

// e^(-j·m·2π/3), the factor from phase a to phase b (m = 1) or c (m = 2) of a positive-sequence
// set, from its own angle: a2 is e^(-j4π/3), which differs from a·a and from conj(a) in the last
// bits.
Complex sequence_factor(int m) { return std::polar(1.0, -2.0 * m * std::acos(-1.0) / 3.0); }

const Complex a = sequence_factor(1);
const Complex a2 = sequence_factor(2);
constexpr double sqrt3 = 1.7320508075688772;

// m, m·a, m·a²: a positive-sequence set of phase a at m.
std::array<Complex, 3> balanced_set(double m) { return {Complex(m, 0.0), m * a, m * a2}; }

}  // namespace

ThreePhaseTransformer::ThreePhaseTransformer(int n1, int n2, const std::string& whv_code,
                                             const std::string& wlv_code, const Complex& z2_value,
                                             const Complex& ym_value, double k_value,
                                             int clock_number)
    : Transformer<ThreePhaseTransformer>(
          checked_hv_ports(n1, n2, whv_code, wlv_code, clock_number), n2, z2_value, ym_value,
          Complex(k_value, 0.0)),
      orientation(clock_number >= 4 && clock_number <= 8 ? -1.0 : 1.0),
      clock(clock_number),
      whv(whv_code),
      wlv(wlv_code) {
    const Eigen::MatrixXd n = phase_to_neutral();
    const Matrix3 delta_ab = identity - shift;                // (xa - xb, xb - xc, xc - xa)
    const Matrix3 delta_ac = identity - shift.transpose();    // (xa - xc, xb - xa, xc - xb)

    if (whv == "Y") {
        hv_winding_matrix = n;
        hv_current_matrix = identity;
    } else if (among(clock, {0, 4, 5, 6, 10, 11})) {
        hv_winding_matrix = delta_ab;
        hv_current_matrix = delta_ac;
    } else {
        hv_winding_matrix = delta_ac;
        hv_current_matrix = delta_ab;
    }

    const double o = wlv == "y" && among(clock, {2, 4, 8, 10}) ? -orientation : orientation;
    orientation = o;
    const bool first_half = among(clock, {0, 1, 2, 6, 7, 8});
    if (wlv == "d") {
        lv_winding_matrix = first_half ? delta_ab : delta_ac;
        lv_current_matrix = o * (first_half ? delta_ac : delta_ab);
        voltage_coupling_matrix = o * identity;
        current_coupling_matrix = -identity;
    } else if (wlv == "y") {
        if (among(clock, {2, 8})) {
            lv_winding_matrix = shift * n;
            lv_current_matrix = o * shift.transpose();
        } else if (among(clock, {4, 10})) {
            lv_winding_matrix = shift.transpose() * n;
            lv_current_matrix = o * shift;
        } else {
            lv_winding_matrix = n;
            lv_current_matrix = o * identity;
        }
        voltage_coupling_matrix = o * identity;
        current_coupling_matrix = -identity;
    } else {
        lv_winding_matrix = n;
        lv_current_matrix = o * identity;
        voltage_coupling_matrix = o * (first_half ? delta_ac : delta_ab);
        current_coupling_matrix = -(first_half ? delta_ab : delta_ac);
    }
}

ThreePhaseTransformer::~ThreePhaseTransformer() = default;

template <class Reading>
void ThreePhaseTransformer::write_currents() {
    using C = typename Reading::Value;
    using Vector = typename Reading::Vector;
    const Vector u1 = matrix_times(hv_winding_matrix, Reading::side_potentials(*this, Side::one));
    const Vector u2 = matrix_times(lv_winding_matrix, Reading::side_potentials(*this, Side::two));
    const auto kr = Reading::parameter(k).real();
    const C y = scaled(reciprocal(Reading::parameter(z2)), orientation);
    // (kr·Cv)·U1 and (kr·Ci)·J2: the ratio scales the coupling matrices before they act.
    const Vector driving = scaled_matrix_times(voltage_coupling_matrix, kr, u1);
    Vector j2(3);
    for (Eigen::Index i = 0; i < 3; ++i) j2[i] = y * (u2[i] - driving[i]);
    const Vector loading = scaled_matrix_times(current_coupling_matrix, kr, j2);
    Vector j1(3);
    const C& magnetising = Reading::parameter(ym);
    for (Eigen::Index i = 0; i < 3; ++i) j1[i] = magnetising * u1[i] + loading[i];
    Reading::set_side_currents(*this, matrix_times(hv_current_matrix, j1),
                               matrix_times(lv_current_matrix, j2));
}

template void ThreePhaseTransformer::write_currents<PlainReading>();
template void ThreePhaseTransformer::write_currents<TapeReading>();

void ThreePhaseTransformer::set_side_potentials(std::vector<Port*>& side,
                                                const std::array<Complex, 3>& phases) {
    for (std::size_t i = 0; i < 3; ++i) side[i]->connection->set_potential(phases[i]);
    if (side.size() == 4) side[3]->connection->set_potential(Complex(0.0, 0.0));
}

void ThreePhaseTransformer::set_side_zero(std::vector<Port*>& side) {
    for (Port* port : side) port->connection->set_potential(Complex(0.0, 0.0));
}

void ThreePhaseTransformer::write_no_load_potentials(double uhv, double ulv) {
    const double pi = std::acos(-1.0);
    const Complex e = std::exp(Complex(0.0, -clock * pi / 6));
    set_side_potentials(side1, balanced_set(uhv / sqrt3));
    const double lv = ulv / sqrt3;
    // Left to right as the set is written: (m·a)·e, not (m·e)·a.
    set_side_potentials(side2, {lv * e, (lv * a) * e, (lv * a2) * e});
}

double ThreePhaseTransformer::rated_current(double uhv, double sn) const {
    return sn / (sqrt3 * uhv);
}

double ThreePhaseTransformer::short_circuit_impedance() const {
    return wlv == "d" ? std::abs(z2.get()) / 3 : std::abs(z2.get());
}

void ThreePhaseTransformer::write_short_circuit_potentials(double uhv, double vsc) {
    set_side_potentials(side1, balanced_set(uhv * vsc / sqrt3));
    set_side_zero(side2);
}

}  // namespace meshvolt
