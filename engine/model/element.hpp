// Ports, nodes and the element protocol.
//
// An element owns a fixed array of ports; each port belongs to one node (Connection) that it shares
// with the ports joined to it. A port current is positive from the node into the element.
//
// Node potential read rule: a grounded node reads 0; else a bound node reads the solver's value,
// else its own value. On the tape: the constant zero when grounded, else the potential's ad_value.
//
// Node-balance rule (backward steps): the current of a port is minus the sum of the currents of the
// other member ports of its node, 0 when there is none.
//
// Node membership: a node lists its member ports in the order in which they joined, as a list
// linked through the ports themselves, so a port leaves its node in O(1) whatever the node's size.
// A port is listed by at most one node, the one its `connection` points to; merging moves the whole
// list of the absorbed node, which keeps none, and an element leaves its nodes when it is
// destroyed. No node can therefore list a destroyed port.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "model/ad_types.hpp"
#include "model/variables.hpp"

namespace meshvolt {

class Element;
struct Connection;
class AbstractSolver;

struct Port {
    std::shared_ptr<Connection> connection;
    Element* element;
    ADComplex current_ad;
    Complex current;

    // The port is born alone in a new node of its own.
    Port(const Complex& potential, Element* owner, double re, double im);

    // The node-balance rule: minus the sum of the other members' currents.
    Complex balance_current() const;

    // Links of the member list of `connection`; meaningful while `listed`.
    Port* previous_member = nullptr;
    Port* next_member = nullptr;
    bool listed = false;
};

// The member ports of a node, in the order in which they joined. Appending, removing a port and
// taking over another list cost O(1); iteration yields Port*.
class MemberList {
  public:
    class iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Port*;
        using difference_type = std::ptrdiff_t;
        using pointer = Port* const*;
        using reference = Port* const&;

        explicit iterator(Port* port = nullptr) : port_(port) {}
        reference operator*() const { return port_; }
        iterator& operator++() {
            port_ = port_->next_member;
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const iterator& other) const { return port_ == other.port_; }
        bool operator!=(const iterator& other) const { return port_ != other.port_; }

      private:
        Port* port_;
    };

    MemberList() = default;
    MemberList(const MemberList&) = delete;
    MemberList& operator=(const MemberList&) = delete;
    ~MemberList() { clear(); }

    iterator begin() const { return iterator(first_); }
    iterator end() const { return iterator(); }
    bool empty() const { return first_ == nullptr; }
    std::size_t size() const { return size_; }
    Port* front() const { return first_; }

    // Appends a port that no list holds.
    void push_back(Port* port);
    // Unlinks the port if this list holds it; a port that is not listed is left alone.
    void remove(Port* port);
    // Appends every port of `other`, in order; `other` is left empty.
    void splice(MemberList& other);
    // Unlinks every port.
    void clear();

  private:
    Port* first_ = nullptr;
    Port* last_ = nullptr;
    std::size_t size_ = 0;
};

struct Connection : std::enable_shared_from_this<Connection> {
    MemberList ports;
    ComplexVariable potential;
    bool grounded = false;
    // The solver whose vectors hold the potential (the last to bind it); null while none does.
    const AbstractSolver* values_owner = nullptr;

    // A node without members; the port that creates it joins it at once.
    explicit Connection(const Complex& initial) : potential(initial) {}

    // This node absorbs `other`: its member ports move here and are re-pointed, the flag is OR-ed,
    // this node's potential survives. The absorbed node keeps no member. Merging a node with
    // itself does nothing.
    void merge(std::shared_ptr<Connection>& other);

    Complex get_potential() const { return grounded ? Complex(0.0, 0.0) : potential.get(); }
    ADComplex get_potential_ad() const { return grounded ? ad_zero() : potential.ad_value; }
    // Numeric writer: the own value and, when bound, the solver's value.
    void set_potential(const Complex& v) { potential.set(v); }

    // Takes the port out of the member list, in O(1); a port that is not listed is left alone.
    void remove_port(Port* port);
};

// A count of the changes of node layout anywhere in the process: it moves with every merge of two
// nodes (which may ground the node that stays) and every element leaving its nodes. A value worked
// out from a network's layout alone still holds while the count has not moved.
std::uint64_t node_layout_version();

using PortPairs = std::vector<std::pair<int, int>>;

class Element {
  public:
    explicit Element(int n);
    Element();
    Element(const Element&) = delete;
    Element& operator=(const Element&) = delete;
    virtual ~Element();

    // The element protocol, in slot order.
    virtual void collect_variables(std::vector<double>& values);
    virtual void collect_parameters(std::vector<double>& values);
    virtual void bind_variables(const ADVector& tape, Eigen::VectorXd& values, int& index);
    virtual void bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index);
    virtual void compute_currents(bool on_tape);
    virtual void add_equations(ADVector& residuals, int& index);
    virtual void backward_step();
    virtual double forward_step();
    // Unbinds the element's own holders bound into the given solver vectors (the solver that owns
    // them is going); its variables first keep their last values there as their own values.
    virtual void release_values(const Eigen::VectorXd& variables,
                                const Eigen::VectorXd& parameters);
    // The largest modulus of the element's own equations (those add_equations records) evaluated
    // in plain numbers at the potentials and values it shows, for the elements whose equations
    // tie potentials alone (sources, closed switches, the delta potential reference); 0 for the
    // others. The sweeps check it on a converged answer.
    virtual double equation_mismatch() const { return 0.0; }

    // The element's part in the check that every loaded part of a solved network is fed by a
    // voltage source (solvers/solution_check.hpp).
    enum class Supply { none, load, source };
    virtual Supply supply() const { return Supply::none; }
    // Whether current passes between the element's ports through the element, galvanically or
    // magnetically (a transformer's sides): then the nodes of all its ports belong to one part of
    // the network. Elements that pass none (an open switch, a bus) say false.
    virtual bool joins_its_ports() const { return true; }
    // The group of a port among those whose potentials the element's laws compare: the element's
    // currents and equations read the potentials of one group only through their differences, so
    // adding one constant to all of them changes nothing and one potential reference fixes them
    // all (solvers/potential_reference_check.hpp). -1: the port is in no group. Every port is in
    // group 0 of an element that joins its ports; a transformer has one group per side.
    virtual int potential_group(int /*port*/) const { return joins_its_ports() ? 0 : -1; }
    // Whether the backward step takes this port's current from the balance of its node
    // (Port::balance_current): the port through which the node's demand passes upstream. On a
    // radial network listed upstream first every free node but the return of each source has one
    // such port; a node that has none balances only if every current of its part comes back to
    // it (solvers/sweep_diagnosis.hpp).
    virtual bool takes_balance_current(int /*port*/) const { return false; }

    // Joining and leaving. Port indices are checked before anything is joined.
    void connect(Element& other, const PortPairs& connections);
    void connect_ports(const int* indices, int length);
    void disconnect();

    int port_count() const { return static_cast<int>(ports.size()); }
    // Throws std::out_of_range naming the index and the port count.
    void check_port_index(int index) const;

    std::vector<Port> ports;
    // The solver whose vectors hold the element's variables and parameters (the last to bind
    // them); null while none does.
    const AbstractSolver* values_owner = nullptr;

  protected:
    // Ports created with the given initial node potentials (exactly n entries are read).
    Element(int n, const Complex* potentials);

    Complex node_potential(int port) const { return ports[port].connection->get_potential(); }
    void set_node_potential(int port, const Complex& v) {
        ports[port].connection->set_potential(v);
    }
    void set_currents_zero(bool on_tape);
};

// Shared base of the one-sided elements; T is the concrete class.
template <class T>
class ElementImpl : public Element {
  public:
    using Element::Element;
};

// Whether either part of z is NaN.
inline bool has_nan(const Complex& z) { return std::isnan(z.real()) || std::isnan(z.imag()); }

// The larger of two change measures, NaN when either is NaN (std::max would hide it).
inline double max_measure(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
    return a > b ? a : b;
}
// |z|, NaN when either part is NaN (the modulus of (inf, NaN) would be inf).
inline double modulus_measure(const Complex& z) {
    if (has_nan(z)) return std::numeric_limits<double>::quiet_NaN();
    return std::abs(z);
}
// The larger of |Re z| and |Im z|, NaN when either part is NaN.
inline double part_measure(const Complex& z) {
    return max_measure(std::abs(z.real()), std::abs(z.imag()));
}
// 0, or NaN when either part of z is NaN: the measure of a step that reports no change of its own
// but must not let a NaN potential it wrote pass for converged.
inline double nan_measure(const Complex& z) {
    return has_nan(z) ? std::numeric_limits<double>::quiet_NaN() : 0.0;
}
// Writes v into the node (own value and, when bound, the solver's value) and returns the modulus
// of the change of what the node reads: after the write minus before it, so a grounded node, which
// keeps reading 0, counts 0. NaN when v is NaN, grounded node or not; a node that reads the same
// before and after (an infinite potential written again, say) counts 0.
inline double move_potential(Connection& node, const Complex& v) {
    const Complex before = node.get_potential();
    node.set_potential(v);
    const Complex after = node.get_potential();
    const double moved = after == before ? 0.0 : modulus_measure(after - before);
    return max_measure(moved, nan_measure(v));
}

}  // namespace meshvolt
