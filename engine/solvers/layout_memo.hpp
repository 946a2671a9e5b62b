// A value that a network's layout alone decides: its elements, the node each of their ports belongs
// to and which nodes are grounded. It is worked out on first use and again only when the layout may
// have changed since, that is when node_layout_version() has moved (any merge of nodes or element
// leaving its nodes, in any network of the process).
#pragma once

#include <cstdint>

#include "model/element.hpp"

namespace meshvolt {

template <class Value>
class LayoutMemo {
  public:
    // The value for the layout as it is now; `derive()` works it out when the kept one may be
    // stale.
    template <class Derive>
    const Value& get(Derive derive) {
        const std::uint64_t version = node_layout_version();
        if (!known_ || version != version_) {
            value_ = derive();
            version_ = version;
            known_ = true;
        }
        return value_;
    }

  private:
    Value value_{};
    std::uint64_t version_ = 0;
    bool known_ = false;
};

}  // namespace meshvolt
