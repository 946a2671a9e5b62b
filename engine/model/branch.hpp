// Two-sided elements: side 1 (the beginning) and side 2 (the end), each an ordered list of the
// element's ports. Base of switches, lines, transformers and the regulator.
//
// Side-current rule: with m entries for a side of s ports, port k gets entry k (k < m); when
// m < s the side's last port carries the return current, minus the sum of the m entries.
#pragma once

#include "model/element.hpp"

namespace meshvolt {

// A side of a branch: side 1 (the beginning) or side 2 (the end).
enum class Side { one, two };

class Branch : public Element {
  public:
    Branch(int n1, int n2);

    // The side's ports, in order.
    const std::vector<Port*>& side_ports(Side side) const {
        return side == Side::one ? side1 : side2;
    }

    // The potentials of the side's nodes by the read rule, in port order: plain numbers, and the
    // tape's values (the constant zero at a grounded node).
    Eigen::VectorXcd side_potentials(Side side) const;
    ADComplexVector side_potentials_ad(Side side) const;
    Eigen::VectorXcd side1_potentials() const { return side_potentials(Side::one); }
    Eigen::VectorXcd side2_potentials() const { return side_potentials(Side::two); }
    // By side number: side 1 when side == 1, side 2 for every other value.
    ADComplexVector side_potentials_ad(int side) const {
        return side_potentials_ad(side == 1 ? Side::one : Side::two);
    }

    void set_side_currents(const Eigen::VectorXcd& currents1, const Eigen::VectorXcd& currents2);
    void set_side_currents_ad(const ADComplexVector& currents1, const ADComplexVector& currents2);

    // Joins side ports to the other element's ports; the other element's node survives.
    void connect_side(Element& other, const PortPairs& connections, bool beginning);

    std::vector<Port*> side1;
    std::vector<Port*> side2;

  protected:
    // For classes that lay out their ports and sides themselves.
    explicit Branch(int n_ports, std::vector<int> side1_ports, std::vector<int> side2_ports);
};

}  // namespace meshvolt
