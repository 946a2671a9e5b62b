// Phasors written the way the tests state them: by magnitude and angle in degrees, and as balanced
// three-phase sets.
#pragma once

#include <cmath>
#include <complex>
#include <vector>

namespace meshvolt::testing {

// magnitude·e^(j·degrees·π/180).
inline std::complex<double> polar_deg(double magnitude, double degrees) {
    const double pi = std::acos(-1.0);
    return std::polar(magnitude, degrees * pi / 180.0);
}

// The phase-to-neutral voltages U, a²U, aU of phases a, b, c with a = e^(j2π/3) (positive
// sequence), followed by `extra` zeros (a neutral at 0 V, say).
inline std::vector<std::complex<double>> balanced_set(std::complex<double> u, int extra = 0) {
    const double pi = std::acos(-1.0);
    std::vector<std::complex<double>> set = {u, u * std::polar(1.0, -2 * pi / 3),
                                             u * std::polar(1.0, 2 * pi / 3)};
    set.resize(set.size() + extra, std::complex<double>(0.0, 0.0));
    return set;
}

}  // namespace meshvolt::testing
