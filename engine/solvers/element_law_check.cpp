#include "solvers/element_law_check.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "solvers/solution_check.hpp"

namespace meshvolt {

namespace {

constexpr double relative_allowance = 1e-9;

bool has_variables(Element& element) {
    std::vector<double> own;
    element.collect_variables(own);
    return !own.empty();
}

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

// The same with the law at the given potentials of the element's ports. The nodes are put back
// exactly as they were, own value and solver value alike.
double law_distance_at(Element& element, const std::vector<Complex>& shown,
                       const Complex* potentials) {
    struct Saved {
        ComplexVariable* holder;
        Complex own;
        Complex read;
    };
    std::vector<Saved> saved;
    for (std::size_t p = 0; p < element.ports.size(); ++p) {
        ComplexVariable& holder = element.ports[p].connection->potential;
        saved.push_back({&holder, holder.value, holder.get()});
    }
    for (std::size_t p = 0; p < element.ports.size(); ++p)
        element.ports[p].connection->set_potential(potentials[p]);
    const double off = law_distance(element, shown);
    // In reverse, so that a node two ports share ends as it was before the first write.
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
        if (it->holder->bound) it->holder->store_bound_value(it->read);
        it->holder->value = it->own;
    }
    return off;
}

}  // namespace

ElementLawCheck::ElementLawCheck(const ElectricalNetwork& network) {
    std::size_t ports = 0;
    for (std::size_t k = 0; k < network.elements.size(); ++k) {
        Element& element = *network.elements[k];
        if (element.ports.empty() || has_variables(element)) continue;
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
                "{}the equations of element {} do not hold at the final potentials: they are "
                "{:.6g} V off, as when its ports lie on grounded nodes that its forward step "
                "cannot move. ",
                prefix, k, mismatch));
    }
    const double allowance = relative_allowance * largest_port_current(network);
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
        if (off <= allowance) continue;
        // Currents computed before the last forward sweep, at potentials within the tolerance of
        // the final ones, are what the caller allows.
        if (moved <= tolerance && law_distance_at(element, shown, recorded) <= allowance) continue;
        if (moved <= tolerance)
            throw std::runtime_error(fmt::format(
                "{}the port currents of element {} do not follow its law: they are {:.6g} A off "
                "its law at the final potentials, and off it at the potentials of the last "
                "backward sweep too. ",
                prefix, k, off));
        throw std::runtime_error(fmt::format(
            "{}the port currents of element {} do not follow its law at the final potentials: "
            "they are {:.6g} A off, as its nodes moved by {:.6g} V in the last sweep without "
            "the sweeps counting it. ",
            prefix, k, off, moved));
    }
}

}  // namespace meshvolt
