// The nodes of an element's ports, held as they are and put back exactly (own value and solver
// value alike) when the holder goes: the checks move them to evaluate the element's plain law at
// other potentials.
#pragma once

#include <vector>

#include "model/element.hpp"

namespace meshvolt {

class HeldNodes {
  public:
    explicit HeldNodes(Element& element) {
        for (Port& port : element.ports) {
            ComplexVariable& holder = port.connection->potential;
            saved_.push_back({&holder, holder.value, holder.get()});
        }
    }
    HeldNodes(const HeldNodes&) = delete;
    HeldNodes& operator=(const HeldNodes&) = delete;
    // In reverse, so that a node two ports share ends as it was before the first write.
    ~HeldNodes() {
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
    std::vector<Saved> saved_;
};

}  // namespace meshvolt
