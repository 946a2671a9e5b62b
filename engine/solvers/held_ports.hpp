// The nodes and the currents of an element's ports, held as they are and put back exactly (a
// node's own value and solver value alike) when the holder goes: the checks move the nodes to
// evaluate the element's plain law at other potentials, which writes the port currents.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "model/element.hpp"

namespace meshvolt {

class HeldPorts {
  public:
    explicit HeldPorts(Element& element) : element_(element) {
        for (Port& port : element.ports) {
            ComplexVariable& holder = port.connection->potential;
            saved_.push_back({&holder, holder.value, holder.get()});
            currents_.push_back(port.current);
        }
    }
    HeldPorts(const HeldPorts&) = delete;
    HeldPorts& operator=(const HeldPorts&) = delete;
    // The nodes in reverse, so that a node two ports share ends as it was before the first write.
    ~HeldPorts() {
        for (std::size_t p = 0; p < currents_.size(); ++p) element_.ports[p].current = currents_[p];
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->holder->bound) it->holder->store_bound_value(it->read);
            it->holder->value = it->own;
        }
    }

  private:
    struct Saved {
        ComplexVariable* holder;
        Complex own;
        Complex read;
    };
    Element& element_;
    std::vector<Saved> saved_;
    std::vector<Complex> currents_;
};

// |I_p - I_p,before| / h at each port p of the element, its plain law computed with one of its
// nodes moved by h in its real part, then by h in its imaginary part: one list per move. The
// currents the ports show before (the law's there, for derivatives) and the node are put back.
inline std::array<std::vector<double>, 2> law_changes(Element& element, Connection& node,
                                                      double h) {
    std::vector<Complex> before;
    for (const Port& port : element.ports) before.push_back(port.current);
    const Complex v = node.get_potential();
    const Complex steps[] = {Complex(h, 0.0), Complex(0.0, h)};
    std::array<std::vector<double>, 2> changes;
    for (std::size_t move = 0; move < changes.size(); ++move) {
        node.set_potential(v + steps[move]);
        element.compute_currents(false);
        for (std::size_t p = 0; p < before.size(); ++p)
            changes[move].push_back(modulus_measure(element.ports[p].current - before[p]) / h);
    }
    node.set_potential(v);
    for (std::size_t p = 0; p < before.size(); ++p) element.ports[p].current = before[p];
    return changes;
}

}  // namespace meshvolt
