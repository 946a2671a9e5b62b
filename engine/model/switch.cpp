#include "model/switch.hpp"

#include "model/reading.hpp"

namespace meshvolt {

Switch::Switch(int n) : Branch(n, n), currents(make_variable_list(n, nullptr)) {}

void Switch::collect_variables(std::vector<double>& values) {
    push_each(currents, values);
}

void Switch::bind_variables(const ADVector& tape, Eigen::VectorXd& values, int& index) {
    bind_each(currents, tape, values, index);
}

template <class Reading>
void Switch::write_currents() {
    for (int i = 0; i < conductor_count(); ++i) {
        const typename Reading::Value j = Reading::variable(currents[i]);
        Reading::current(*side1[i]) = j;
        Reading::current(*side2[i]) = -j;
    }
}

// Both readings, for callers outside this file (the dispatch in a header, tests).
template void Switch::write_currents<PlainReading>();
template void Switch::write_currents<TapeReading>();

void Switch::compute_currents(bool on_tape) { write_currents_by(*this, on_tape); }

template <class Reading>
typename Reading::Value Switch::equation(int i) const {
    return Reading::potential(*side1[i]) - Reading::potential(*side2[i]);
}

void Switch::add_equations(ADVector& residuals, int& index) {
    add_equations_by(*this, residuals, index);
}

void Switch::backward_step() {
    for (Port* port : side2) port->current = port->balance_current();
    for (int i = 0; i < conductor_count(); ++i) side1[i]->current = -side2[i]->current;
}

double Switch::forward_step() {
    double measure = 0.0;
    for (int i = 0; i < conductor_count(); ++i)
        measure = max_measure(measure, move_potential(*side2[i]->connection,
                                                      side1[i]->connection->get_potential()));
    return measure;
}

double Switch::equation_mismatch() const { return equation_mismatch_by(*this); }

void Switch::release_values(const Eigen::VectorXd& variables, const Eigen::VectorXd&) {
    keep_each_from(currents, variables);
}

OpenSwitch::OpenSwitch(int n) : Branch(n, n) {}

void OpenSwitch::backward_step() {
    for (Port* port : side2) port->current = Complex(0.0, 0.0);
    for (Port* port : side1) port->current = Complex(0.0, 0.0);
}

}  // namespace meshvolt
