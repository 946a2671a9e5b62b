#include "model/branch.hpp"

#include <limits>
#include <stdexcept>
#include <string>

#include "model/reading.hpp"

namespace meshvolt {

namespace {

template <class Vector, class Setter>
void write_side(const std::vector<Port*>& side, const Vector& currents, Setter set) {
    using Scalar = typename Vector::Scalar;
    const Eigen::Index m = currents.size();
    const Eigen::Index s = static_cast<Eigen::Index>(side.size());
    if (m > s)
        throw std::out_of_range(std::to_string(m) + " side currents for a side of " +
                                std::to_string(s) + " ports");
    for (Eigen::Index k = 0; k < m; ++k) set(*side[k], currents[k]);
    if (m < s) {
        // 0 - c0 - c1 - ... in entry order.
        Scalar sum = Scalar(typename Scalar::value_type(0.0), typename Scalar::value_type(0.0));
        for (Eigen::Index k = 0; k < m; ++k) sum -= currents[k];
        set(*side[s - 1], sum);
    }
}

// The potentials of the ports' nodes in the reading, in port order.
template <class Reading>
typename Reading::Vector potentials_of(const std::vector<Port*>& side) {
    typename Reading::Vector v(side.size());
    for (std::size_t k = 0; k < side.size(); ++k) v[k] = Reading::potential(*side[k]);
    return v;
}

// n1 + n2 ports; a negative side (or a sum past int) is the reserve's length error, as for any
// element with a negative port count.
int port_total(int n1, int n2) {
    const long long total = static_cast<long long>(n1) + n2;
    if (n1 < 0 || n2 < 0 || total > std::numeric_limits<int>::max())
        throw std::length_error("vector::reserve");
    return static_cast<int>(total);
}

}  // namespace

Branch::Branch(int n1, int n2) : Element(port_total(n1, n2)) {
    side1.reserve(n1 > 0 ? n1 : 0);
    side2.reserve(n2 > 0 ? n2 : 0);
    for (int k = 0; k < n1; ++k) side1.push_back(&ports[k]);
    for (int k = n1; k < n1 + n2; ++k) side2.push_back(&ports[k]);
}

Branch::Branch(int n_ports, std::vector<int> side1_ports, std::vector<int> side2_ports)
    : Element(n_ports) {
    for (int k : side1_ports) side1.push_back(&ports.at(k));
    for (int k : side2_ports) side2.push_back(&ports.at(k));
}

Eigen::VectorXcd Branch::side_potentials(Side side) const {
    return potentials_of<PlainReading>(side_ports(side));
}

ADComplexVector Branch::side_potentials_ad(Side side) const {
    return potentials_of<TapeReading>(side_ports(side));
}

void Branch::set_side_currents(const Eigen::VectorXcd& currents1,
                               const Eigen::VectorXcd& currents2) {
    auto set = [](Port& p, const Complex& c) { p.current = c; };
    write_side(side1, currents1, set);
    write_side(side2, currents2, set);
}

void Branch::set_side_currents_ad(const ADComplexVector& currents1,
                                  const ADComplexVector& currents2) {
    auto set = [](Port& p, const ADComplex& c) { p.current_ad = c; };
    write_side(side1, currents1, set);
    write_side(side2, currents2, set);
}

void Branch::connect_side(Element& other, const PortPairs& connections, bool beginning) {
    std::vector<Port*>& side = beginning ? side1 : side2;
    for (const auto& [i, j] : connections) {
        if (i < 0 || i >= static_cast<int>(side.size()))
            throw std::out_of_range("side port index " + std::to_string(i) + " out of range for " +
                                    std::to_string(side.size()) + " ports");
        other.check_port_index(j);
    }
    for (const auto& [i, j] : connections)
        other.ports[j].connection->merge(side[i]->connection);
}

}  // namespace meshvolt
