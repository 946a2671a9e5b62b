// Elements that carry no load: a bus (nodes with initial potentials) and a ground (one port whose
// current is zero). Every port current of both is 0.
#pragma once

#include "model/element.hpp"

namespace meshvolt {

class Bus : public ElementImpl<Bus> {
  public:
    // Port i starts in a node of its own at potentials[i]; exactly n entries are read.
    Bus(int n, const Complex* potentials);

    void compute_currents(bool on_tape) override { set_currents_zero(on_tape); }
    void backward_step() override { set_currents_zero(false); }
    bool joins_its_ports() const override { return false; }

    // Writes each port's node potential (own value and, when bound, the solver's value).
    void initialize_potentials(const Complex* potentials);
};

class Ground : public ElementImpl<Ground> {
  public:
    Ground() = default;

    void compute_currents(bool on_tape) override { set_currents_zero(on_tape); }
    void backward_step() override { set_currents_zero(false); }
};

}  // namespace meshvolt
