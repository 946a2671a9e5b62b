#include "model/potential_ref.hpp"

#include <stdexcept>

#include "model/reading.hpp"

namespace meshvolt {

PotentialRef::PotentialRef() { ports[0].connection->grounded = true; }

double PotentialRef::forward_step() {
    Connection& node = *ports[0].connection;
    const Complex read = node.get_potential();
    node.set_potential(Complex(0.0, 0.0));
    return part_measure(read);
}

Complex PotentialRef::get_current() const {
    Complex sum(0.0, 0.0);
    for (const Port* port : ports[0].connection->ports) sum += port->current;
    return sum;
}

DeltaPotentialRef::DeltaPotentialRef(int n) : ElementImpl<DeltaPotentialRef>(n), current(0.0) {
    // Port 0 carries the current variable: an element without ports has nowhere to put it.
    if (n == 0) throw std::invalid_argument("a delta potential reference needs at least one port");
}

template <class Reading>
void DeltaPotentialRef::write_currents() {
    write_zero_currents<Reading>(ports);
    Reading::current(ports[0]) = Reading::variable(current);
}

// Both readings, for callers outside this file (the dispatch in a header, tests).
template void DeltaPotentialRef::write_currents<PlainReading>();
template void DeltaPotentialRef::write_currents<TapeReading>();

void DeltaPotentialRef::compute_currents(bool on_tape) { write_currents_by(*this, on_tape); }

template <class Reading>
typename Reading::Value DeltaPotentialRef::equation(int /*i*/) const {
    typename Reading::Value sum = Reading::zero();
    for (const Port& port : ports) sum += Reading::potential(port);
    return sum;
}

void DeltaPotentialRef::add_equations(ADVector& residuals, int& index) {
    add_equations_by(*this, residuals, index);
}

double DeltaPotentialRef::equation_mismatch() const { return equation_mismatch_by(*this); }

double DeltaPotentialRef::forward_step() {
    if (ports.empty()) return 0.0;
    const Complex sum = equation<PlainReading>(0);
    const Complex mean = sum / static_cast<double>(port_count());
    for (int k = 0; k < port_count(); ++k) set_node_potential(k, node_potential(k) - mean);
    return part_measure(sum);
}

}  // namespace meshvolt
