#include "model/reading.hpp"

#include <stdexcept>
#include <string>

namespace meshvolt {

void TapeReading::require_bound(bool bound, const char* holders) {
    if (!bound) throw std::logic_error(std::string(holders) + " not bound to a tape");
}

}  // namespace meshvolt
