#include "loads/setpoint_list.hpp"

#include <cstddef>

namespace meshvolt {

SetpointList make_setpoints(long count, const Complex* values) {
    SetpointList setpoints;
    // A negative count becomes a size beyond max_size(): the length error "vector::reserve".
    setpoints.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) setpoints.emplace_back(values[i]);
    return setpoints;
}

void push_setpoints(const SetpointList& setpoints, std::vector<double>& values) {
    for (const ComplexVariable& s : setpoints) s.push_value(values);
}

void bind_setpoints(SetpointList& setpoints, const ADVector& tape, Eigen::VectorXd& values, int& index) {
    for (ComplexVariable& s : setpoints) s.bind(tape, values, index);
}

void update_setpoints(SetpointList& setpoints, const Complex* values) {
    for (std::size_t i = 0; i < setpoints.size(); ++i) setpoints[i].set(values[i]);
}

void release_setpoints(SetpointList& setpoints, const Eigen::VectorXd& parameters) {
    for (ComplexVariable& s : setpoints) s.release_from(parameters);
}

}  // namespace meshvolt
