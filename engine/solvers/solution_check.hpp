// What a solver checks in plain numbers before it reports a residual within its tolerance, so that
// such a report always means "these potentials are the solution":
//
//   1. every node potential (read rule) and every port current of the network is finite;
//   2. every galvanically separate part of the network that holds a load also holds a voltage
//      source. Parts are the free nodes, joined by every element that passes current between its
//      ports (Element::joins_its_ports: lines, closed switches, loads, sources, transformers);
//      a grounded node fixes a potential but conducts nothing from one part to another;
//   3. Kirchhoff's current law at every free node, on the ports' plain currents:
//          max(|Re Σ I|, |Im Σ I|) ≤ absolute + 1e-9 · I_max
//      with I_max the largest |I| of any port of the network.
//
// Newton passes its tolerance as `absolute`: its residual bounds the balances of the recorded
// currents, and the relative term absorbs the rounding between the recorded and the plain-number
// laws. The overflow of |U|² on the tape, which drives recorded currents to 0 while the plain
// laws still give amperes, fails here. The sweeps pass 0: their backward sweep writes the current
// of each node's upstream port by the node-balance rule, so on a right answer every balance holds
// to rounding whatever the tolerance on the potentials; an element listed before its upstream
// element, or a part without a source, leaves a whole load current unbalanced. The sweeps check
// besides that each element's currents follow its law at the final potentials
// (element_law_check.hpp).
#pragma once

#include <cstddef>
#include <string>

#include "solvers/network.hpp"

namespace meshvolt {

// The texts that make a failed check into a solver family's coded message:
//     prefix + <what failed, where> + <the hint of that check> + ". "
// The hint of an unbalanced node is the family's account of the cause at that node (position in
// network.connections), whose balance is off by more than `allowance`.
struct SolutionCheckTexts {
    const char* prefix;
    const char* unfed_hint;
    std::string (*unbalanced_hint)(const ElectricalNetwork& network, std::size_t node,
                                   double allowance);
};

// Check 2 as the layout alone decides it: the position in the network's list of the first element
// that holds a load in a part that no voltage source feeds; -1 when every loaded part is fed. A
// solver keeps it from one solve to the next while the layout holds (layout_memo.hpp).
int first_unfed_load(const ElectricalNetwork& network);

// Throws std::runtime_error with the first failed check's message; returns when all pass.
// `unfed_load` is first_unfed_load(network).
void check_solution(const ElectricalNetwork& network, double absolute_allowance, int unfed_load,
                    const SolutionCheckTexts& texts);

// The relative term of the checks' rounding allowances: 1e-9 of the largest port current (the
// balances, the sweeps' element laws) or potential (the sweeps' equations of potentials).
inline constexpr double relative_allowance = 1e-9;

// The largest |I| of any port of the network's elements: the scale of the checks' rounding
// allowances.
double largest_port_current(const ElectricalNetwork& network);

// Whether any node potential or port current of the network holds a NaN part.
bool holds_nan(const ElectricalNetwork& network);

}  // namespace meshvolt
