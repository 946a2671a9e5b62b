// Small pieces for testing two-sided elements: joining their sides to buses, a sink that draws
// a fixed current, and one backward-forward sweep run by hand over a list of elements.
#pragma once

#include <vector>

#include "model/branch.hpp"
#include "model/bus.hpp"

namespace meshvolt::testing {

// Side-1 port i on port i of `a`, side-2 port i on port i of `b`; the buses' nodes survive.
inline void join_sides(Branch& branch, Bus& a, Bus& b) {
    PortPairs pairs1, pairs2;
    for (int i = 0; i < static_cast<int>(branch.side1.size()); ++i) pairs1.push_back({i, i});
    for (int i = 0; i < static_cast<int>(branch.side2.size()); ++i) pairs2.push_back({i, i});
    branch.connect_side(a, pairs1, true);
    branch.connect_side(b, pairs2, false);
}

// One port that draws the constant current `demand` from its node (positive into the sink).
class CurrentSink : public Element {
  public:
    explicit CurrentSink(Complex demand) : Element(1), demand_(demand) {}

    void compute_currents(bool on_tape) override {
        if (on_tape)
            ports[0].current_ad = ADComplex(ADScalar(demand_.real()), ADScalar(demand_.imag()));
        else
            ports[0].current = demand_;
    }
    void backward_step() override { ports[0].current = demand_; }

  private:
    Complex demand_;
};

// Backward steps from the last element to the first, forward steps in order; returns the
// largest forward measure (NaN when one is NaN).
inline double sweep(const std::vector<Element*>& elements) {
    for (auto it = elements.rbegin(); it != elements.rend(); ++it) (*it)->backward_step();
    double measure = 0.0;
    for (Element* e : elements) measure = max_measure(measure, e->forward_step());
    return measure;
}

}  // namespace meshvolt::testing
