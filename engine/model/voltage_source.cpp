#include "model/voltage_source.hpp"

#include "model/reading.hpp"

namespace meshvolt {

template <class T>
AbstractVoltageSource<T>::AbstractVoltageSource(int n, const Complex* source_voltages)
    : ElementImpl<T>(n),
      // n = 0 asks for -1 voltages: the reserve's length error "vector::reserve".
      voltages(make_variable_list(static_cast<long>(n) - 1, source_voltages)),
      currents(make_variable_list(static_cast<long>(n) - 1, nullptr)) {}

template <class T>
void AbstractVoltageSource<T>::collect_variables(std::vector<double>& values) {
    push_each(currents, values);
}

template <class T>
void AbstractVoltageSource<T>::collect_parameters(std::vector<double>& values) {
    push_each(voltages, values);
}

template <class T>
void AbstractVoltageSource<T>::bind_variables(const ADVector& tape, Eigen::VectorXd& values,
                                              int& index) {
    bind_each(currents, tape, values, index);
}

template <class T>
void AbstractVoltageSource<T>::bind_parameters(const ADVector& tape, Eigen::VectorXd& values,
                                               int& index) {
    bind_each(voltages, tape, values, index);
}

template <class T>
template <class Reading>
void AbstractVoltageSource<T>::write_currents() {
    auto& ports = this->ports;
    const int n = this->port_count();
    // The neutral's return current 0 - J_0 - J_1 - ..., from the constant zero.
    typename Reading::Value return_current = Reading::zero();
    for (int i = 0; i < n - 1; ++i) {
        Reading::current(ports[i]) = Reading::variable(currents[i]);
        return_current -= Reading::current(ports[i]);
    }
    Reading::current(ports[n - 1]) = return_current;
}

template <class T>
void AbstractVoltageSource<T>::compute_currents(bool on_tape) {
    write_currents_by(*this, on_tape);
}

template <class T>
template <class Reading>
typename Reading::Value AbstractVoltageSource<T>::equation(int i) const {
    const int b = T::second_port(i, this->port_count());
    return (Reading::potential(this->ports[i]) - Reading::potential(this->ports[b])) -
           Reading::parameter(voltages[i]);
}

template <class T>
void AbstractVoltageSource<T>::add_equations(ADVector& residuals, int& index) {
    add_equations_by(*this, residuals, index);
}

template <class T>
double AbstractVoltageSource<T>::equation_mismatch() const {
    return equation_mismatch_by(*this);
}

template <class T>
void AbstractVoltageSource<T>::release_values(const Eigen::VectorXd& variables,
                                              const Eigen::VectorXd& parameters) {
    keep_each_from(currents, variables);
    release_each_from(voltages, parameters);
}

template <class T>
void AbstractVoltageSource<T>::update_voltages(const Complex* source_voltages) {
    set_each(voltages, source_voltages);
}

template class AbstractVoltageSource<VoltageSource>;
template class AbstractVoltageSource<DeltaVoltageSource>;

// Both readings of the law, for callers outside this file (tests, a dispatch in a header).
template void AbstractVoltageSource<VoltageSource>::write_currents<PlainReading>();
template void AbstractVoltageSource<VoltageSource>::write_currents<TapeReading>();
template void AbstractVoltageSource<DeltaVoltageSource>::write_currents<PlainReading>();
template void AbstractVoltageSource<DeltaVoltageSource>::write_currents<TapeReading>();

void VoltageSource::backward_step() {
    const int n = port_count();
    Complex sum(0.0, 0.0);
    for (int i = 0; i < n - 1; ++i) {
        ports[i].current = ports[i].balance_current();
        sum += ports[i].current;
    }
    ports[n - 1].current = -sum;
}

double VoltageSource::forward_step() {
    const int n = port_count();
    if (n <= 1) return 0.0;
    const bool grounded_neutral = ports[n - 1].connection->grounded;
    double measure = 0.0;
    for (int i = 0; i < n - 1; ++i) {
        const Complex base = grounded_neutral ? Complex(0.0, 0.0) : node_potential(n - 1);
        const Complex v = base + voltages[i].get();
        measure = max_measure(measure, move_potential(*ports[i].connection, v));
    }
    return measure;
}

void DeltaVoltageSource::backward_step() {
    const int n = port_count();
    Complex sum(0.0, 0.0);
    for (int i = 1; i < n; ++i) {
        ports[i].current = ports[i].balance_current();
        sum += ports[i].current;
    }
    ports[0].current = -sum;
}

double DeltaVoltageSource::forward_step() {
    double measure = 0.0;
    for (int i = 0; i < port_count() - 1; ++i) {
        const Complex v = node_potential(i) - voltages[i].get();
        measure = max_measure(measure, move_potential(*ports[i + 1].connection, v));
    }
    return measure;
}

}  // namespace meshvolt
