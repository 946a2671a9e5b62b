// The sweeps' check that every element whose port currents follow from its potentials shows the
// currents of its own law at the final potentials.
//
// A backward sweep computes the currents of loads, lines and transformers from the potentials of
// that moment; the forward sweep after it moves the potentials and reports how far. When the
// sweeps stop on a change within the tolerance, each checked element must show, at every port p,
// the currents its plain-number law (compute_currents(false)) gives at the final potentials:
//     max_p |I_shown,p - I_law,p| ≤ 1e-9 · I_max + ρ      I_max the largest |I| of any port of
//                                                         the network, ρ = 2 · m · ε · V_e · S_e
// (rounding; ρ that of the element's own law, m its ports, V_e their largest |V|, S_e its measured
// sensitivity to them: element_law_check.cpp) or, when its nodes moved in that last sweep by no
// more than the tolerance,
//     max_p max(|ΔRe V_p|, |ΔIm V_p|) ≤ tolerance         ΔV_p = final - before the backward sweep
// the currents of its law at the potentials before the backward sweep (the loads compute theirs
// there), whose staleness is what the caller's tolerance allows. A failure means that potentials
// moved without any forward step counting the move, so the sweeps stopped on currents computed at
// other potentials, or that the element's steps left currents its law does not give (a shunt line
// in a part without a source, say).
//
// The elements whose own equations tie potentials alone (sources, closed switches, the delta
// potential reference: Element::equation_mismatch) must also satisfy them at the final potentials:
//     max |equation| ≤ 3 · tolerance + 1e-9 · V_max           V_max the largest |V| of any node
// Their forward steps write them exactly; a node they cannot move (a grounded one) breaks them.
//
// Checked for their currents are the elements without solver variables (none in the solver's
// layout): loads, lines, transformers, buses, grounds, potential references, open switches. The
// others (sources, closed switches, the delta potential reference, the regulator) carry current
// or tap variables that the sweeps never update, so their plain law would read stale variables.
#pragma once

#include <cstddef>
#include <vector>

#include "solvers/network.hpp"

namespace meshvolt {

class ElementLawCheck {
  public:
    // Checks nothing, until a solver selects the elements of its network.
    ElementLawCheck() = default;
    // Selects the checked elements of the network, in element order, by the solver's layout of
    // its values. Whether an element has variables is fixed when it is made, so a solver selects
    // them once.
    ElementLawCheck(const ElectricalNetwork& network, const ValueLayout& layout);

    // Keeps the potentials the checked elements' ports read now; call it before each backward
    // sweep. O(ports). `network` is the one the elements were selected from, in every call.
    void record_potentials(const ElectricalNetwork& network);

    // Throws std::runtime_error with prefix + "the equations of element k do not hold at the
    // final potentials: ..." for the first element whose equations fail, else prefix + "the port
    // currents of element k do not follow its law at the final potentials: ..." for the first
    // checked element that fails; each message ends with ". ". The shown port currents are left
    // as they were.
    void check(const ElectricalNetwork& network, double tolerance, const char* prefix) const;

  private:
    // Positions in network.elements of the checked elements.
    std::vector<std::size_t> checked_;
    // Their ports' potentials at the last record, element after element, port after port.
    std::vector<Complex> recorded_;
};

}  // namespace meshvolt
