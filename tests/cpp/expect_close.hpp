// The one comparison of a complex value with the expected one, under a tolerance that says both
// how large it is and how it is measured.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>

namespace meshvolt::testing {

struct Tolerance {
    enum class Measure {
        // Real and imaginary part each within bound·(1 + |expected|).
        scaled_parts,
        // |actual − expected| ≤ bound.
        distance,
    };
    Measure measure;
    double bound;
};

// Real and imaginary part each within bound·(1 + |expected|): relative for large values, absolute
// near zero.
inline Tolerance relative(double bound) { return {Tolerance::Measure::scaled_parts, bound}; }

// |actual − expected| ≤ bound.
inline Tolerance absolute(double bound) { return {Tolerance::Measure::distance, bound}; }

inline void expect_close(const std::complex<double>& actual, const std::complex<double>& expected,
                         Tolerance tolerance = relative(1e-9), const std::string& what = "") {
    const std::string label = what.empty() ? "" : what + ": ";
    if (tolerance.measure == Tolerance::Measure::distance) {
        EXPECT_LE(std::abs(actual - expected), tolerance.bound)
            << label << "got " << actual << ", expected " << expected;
        return;
    }
    const double scaled = tolerance.bound * (1 + std::abs(expected));
    EXPECT_NEAR(actual.real(), expected.real(), scaled) << label << actual << " vs " << expected;
    EXPECT_NEAR(actual.imag(), expected.imag(), scaled) << label << actual << " vs " << expected;
}

}  // namespace meshvolt::testing
