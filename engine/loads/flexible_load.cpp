#include "loads/flexible_load.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>

#include "loads/power_load.hpp"

namespace meshvolt {

namespace {

// The first `count` pointers of `given`. A negative count is the length error "vector::reserve".
std::vector<FlexibleParameter*> phase_parameters(long count,
                                                 const std::vector<FlexibleParameter*>& given) {
    std::vector<FlexibleParameter*> taken;
    taken.reserve(static_cast<std::size_t>(count));
    if (static_cast<long>(given.size()) < count)
        throw std::invalid_argument("a flexible load of " + std::to_string(count) +
                                    " phases needs as many parameters, " +
                                    std::to_string(given.size()) + " were given");
    for (long i = 0; i < count; ++i) {
        if (given[static_cast<std::size_t>(i)] == nullptr)
            throw std::invalid_argument("parameter " + std::to_string(i) +
                                        " of the flexible load is null");
        taken.push_back(given[static_cast<std::size_t>(i)]);
    }
    return taken;
}

}  // namespace

// --- AbstractFlexibleLoad ------------------------------------------------------------------

template <class T>
AbstractFlexibleLoad<T>::AbstractFlexibleLoad(int n, const Complex* values,
                                              const std::vector<FlexibleParameter*>& given)
    : SetpointLoad<T>(n),
      parameters(phase_parameters(T::Wiring::setpoint_count(n), given)),
      powers(make_setpoint_list<T>(n, values)) {}

template <class T>
template <class Reading>
void AbstractFlexibleLoad<T>::write_currents() {
    using C = typename Reading::Value;
    T::Wiring::template write_law_currents<Reading>(this->ports, [this](std::size_t i, const C& u) {
        const auto x = magnitude(u);
        const C s = parameters[i]->template power<Reading>(x, Reading::parameter(powers[i]));
        return PowerLaw::current(s, u);
    });
}

template <class T>
void AbstractFlexibleLoad<T>::update_powers(const Complex* values) {
    set_each(powers, values);
}

template class AbstractFlexibleLoad<FlexibleLoad>;
template class AbstractFlexibleLoad<DeltaFlexibleLoad>;

// Both readings of the law, for callers outside this file (tests, a dispatch in a header).
template void AbstractFlexibleLoad<FlexibleLoad>::write_currents<PlainReading>();
template void AbstractFlexibleLoad<FlexibleLoad>::write_currents<TapeReading>();
template void AbstractFlexibleLoad<DeltaFlexibleLoad>::write_currents<PlainReading>();
template void AbstractFlexibleLoad<DeltaFlexibleLoad>::write_currents<TapeReading>();

// --- FlexibleLoad --------------------------------------------------------------------------

FlexibleLoad::FlexibleLoad(int n, const Complex* values,
                           const std::vector<FlexibleParameter*>& given)
    : AbstractFlexibleLoad(n, values, given) {}

FlexibleLoad::~FlexibleLoad() = default;

void FlexibleLoad::get_inner_currents(Complex* out) { stored_phase_currents(out); }

void FlexibleLoad::get_powers(Complex* out) {
    for (std::size_t i = 0; i < powers.size(); ++i) {
        const Complex u = Wiring::phase_voltage<PlainReading>(ports, i);
        out[i] = parameters[i]->compute_power(std::abs(u), powers[i].get());
    }
}

void FlexibleLoad::update_power(const Complex& value) {
    if (!powers.empty()) powers[0].set(value);
}

// --- DeltaFlexibleLoad ---------------------------------------------------------------------

DeltaFlexibleLoad::DeltaFlexibleLoad(int n, const Complex* values,
                                     const std::vector<FlexibleParameter*>& given)
    : AbstractFlexibleLoad(n, values, given) {}

DeltaFlexibleLoad::~DeltaFlexibleLoad() = default;

std::pair<Complex, Complex> DeltaFlexibleLoad::compute_pair_power(int i) const {
    const auto k = static_cast<std::size_t>(i);
    const Complex u = Wiring::pair_voltage<PlainReading>(ports, k);
    return {u, parameters[k]->compute_power(std::abs(u), powers[k].get())};
}

void DeltaFlexibleLoad::get_inner_currents(Complex* out) {
    for (int i = 0; i < setpoint_count(); ++i) {
        const auto [u, s] = compute_pair_power(i);
        out[i] = PowerLaw::current(s, u);
    }
}

void DeltaFlexibleLoad::get_powers(Complex* out) {
    for (int i = 0; i < setpoint_count(); ++i) out[i] = compute_pair_power(i).second;
}

}  // namespace meshvolt
