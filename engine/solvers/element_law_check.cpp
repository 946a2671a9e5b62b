#include "solvers/element_law_check.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "solvers/held_ports.hpp"
#include "solvers/node_names.hpp"
#include "solvers/solution_check.hpp"
#include "solvers/sweep_diagnosis.hpp"

namespace meshvolt {

namespace {

constexpr double epsilon = std::numeric_limits<double>::epsilon();

double largest_potential(const ElectricalNetwork& network) {
    double largest = 0.0;
    for (const auto& node : network.connections)
        largest = std::max(largest, std::abs(node->get_potential()));
    return largest;
}

// max_p |I_law,p - I_shown,p| with the law at the potentials the nodes read now; the shown
// currents are put back.
double law_distance(Element& element, const std::vector<Complex>& shown) {
    element.compute_currents(false);
    double off = 0.0;
    for (std::size_t p = 0; p < shown.size(); ++p) {
        off = max_measure(off, modulus_measure(element.ports[p].current - shown[p]));
        element.ports[p].current = shown[p];
    }
    return off;
}

// The same with the law at the given potentials of the element's ports; the nodes are put back.
double law_distance_at(Element& element, const std::vector<Complex>& shown,
                       const Complex* potentials) {
    const HeldPorts held(element);
    for (std::size_t p = 0; p < element.ports.size(); ++p)
        element.ports[p].connection->set_potential(potentials[p]);
    return law_distance(element, shown);
}

// The rounding that an element's plain law carries at the potentials it shows, in amperes:
//
//     ρ = 2 · m · ε · V_e · S_e         m    the element's port count
//                                       V_e  the largest |V| of its nodes
//     S_e = max_p Σ_q (|∂I_p/∂Re V_q| + |∂I_p/∂Im V_q|)     q over its free nodes
//
// The potentials the sweeps leave are rounded doubles: each part of each V_q may be off the exact
// value by ε/2 · V_e, which the law turns into up to ε/2 · V_e · S_e at a port. The law sums up
// to m terms a_pq·V_q, each rounded to about ε of its size, so the sum may be off by
// m · ε · V_e · Σ_q |a_pq| = m · ε · V_e · S_e / 2 (for a law linear in V, |∂I/∂Re V| =
// |∂I/∂Im V| = |a|); and the admittances a_pq are themselves rounded results of inversions, which
// m · ε · V_e · S_e / 2 more covers for matrices whose condition stays below m. Where the terms
// cancel (a switch of 1e-6 Ω between nodes at 2.4 kV carries its 0.3 A as the difference of two
// terms of 2.4e9 A), this is the size of the error whatever the current: 1e-9 of the largest
// port current cannot cover it. S_e is measured: each free node is moved by h = 2^-20 · V_e in
// its real and in its imaginary part, and the changes of the law's currents divided by h give its
// derivatives to a few digits, enough for a bound.
double law_rounding(Element& element) {
    const HeldPorts held(element);
    double largest = 0.0;
    for (const Port& port : element.ports)
        largest = std::max(largest, std::abs(port.connection->get_potential()));
    if (!(largest > 0.0)) return largest == 0.0 ? 0.0 : std::numeric_limits<double>::quiet_NaN();
    const double h = std::ldexp(largest, -20);

    element.compute_currents(false);
    std::vector<double> scale(element.ports.size(), 0.0);
    std::vector<const Connection*> moved;
    for (Port& port : element.ports) {
        Connection& node = *port.connection;
        if (node.grounded || std::find(moved.begin(), moved.end(), &node) != moved.end()) continue;
        moved.push_back(&node);
        for (const std::vector<double>& change : law_changes(element, node, h))
            for (std::size_t p = 0; p < scale.size(); ++p) scale[p] += change[p];
    }
    double s = 0.0;
    for (double value : scale) s = max_measure(s, value);
    return 2.0 * static_cast<double>(element.ports.size()) * epsilon * largest * s;
}

}  // namespace

ElementLawCheck::ElementLawCheck(const ElectricalNetwork& network, const ValueLayout& layout) {
    std::size_t ports = 0;
    for (std::size_t k = 0; k < network.elements.size(); ++k) {
        const Element& element = *network.elements[k];
        if (element.ports.empty() || layout.has_own_variables(k)) continue;
        checked_.push_back(k);
        ports += element.ports.size();
    }
    recorded_.reserve(ports);
}

void ElementLawCheck::record_potentials(const ElectricalNetwork& network) {
    recorded_.clear();
    for (std::size_t k : checked_)
        for (const Port& port : network.elements[k]->ports)
            recorded_.push_back(port.connection->get_potential());
}

void ElementLawCheck::check(const ElectricalNetwork& network, double tolerance,
                            const char* prefix) const {
    // The equations that tie potentials alone (sources, closed switches, the delta reference):
    // their forward steps write them exactly, and the nodes may have moved since by at most the
    // tolerance each.
    const double potential_allowance = 3.0 * std::max(tolerance, 0.0) +
                                       relative_allowance * largest_potential(network);
    for (std::size_t k = 0; k < network.elements.size(); ++k) {
        const double mismatch = network.elements[k]->equation_mismatch();
        if (!(mismatch <= potential_allowance))
            throw std::runtime_error(fmt::format(
                "{}the equations of {} do not hold at the final potentials: they are {:.6g} V "
                "off, as when its ports lie on grounded nodes that its forward step cannot "
                "move. ",
                prefix, element_name(network, network.elements[k]), mismatch));
    }
    const double current_allowance = relative_allowance * largest_port_current(network);
    std::vector<Complex> shown;
    std::size_t first = 0;
    for (std::size_t k : checked_) {
        Element& element = *network.elements[k];
        const Complex* recorded = recorded_.data() + first;
        first += element.ports.size();
        double moved = 0.0;
        shown.clear();
        for (std::size_t p = 0; p < element.ports.size(); ++p) {
            moved = max_measure(moved, part_measure(element.ports[p].connection->get_potential() -
                                                    recorded[p]));
            shown.push_back(element.ports[p].current);
        }
        const double off = law_distance(element, shown);
        if (off <= current_allowance) continue;
        // Only an element whose currents look off pays for measuring the rounding of its law.
        const double allowance = current_allowance + law_rounding(element);
        if (off <= allowance) continue;
        // Currents computed before the last forward sweep, at potentials within the tolerance of
        // the final ones, are what the caller allows.
        if (moved <= tolerance && law_distance_at(element, shown, recorded) <= allowance) continue;
        if (moved <= tolerance)
            throw std::runtime_error(fmt::format(
                "{}the port currents of {} do not follow its law: they are {:.6g} A off its law "
                "at the final potentials, and off it at the potentials of the last backward "
                "sweep too{}. ",
                prefix, element_name(network, &element), off, law_failure_cause(network, k)));
        throw std::runtime_error(fmt::format(
            "{}the port currents of {} do not follow its law at the final potentials: they are "
            "{:.6g} A off, as its nodes moved by {:.6g} V in the last sweep without the sweeps "
            "counting it. ",
            prefix, element_name(network, &element), off, moved));
    }
}

}  // namespace meshvolt
