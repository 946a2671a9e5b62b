#include "model/element.hpp"

#include <atomic>
#include <stdexcept>
#include <string>

#include "model/reading.hpp"

namespace meshvolt {

namespace {

std::atomic<std::uint64_t> layout_changes{0};

// Called once a change is complete, so that a version read afterwards covers it.
void note_layout_change() { layout_changes.fetch_add(1, std::memory_order_release); }

}  // namespace

std::uint64_t node_layout_version() { return layout_changes.load(std::memory_order_acquire); }

Port::Port(const Complex& potential, Element* owner, double re, double im)
    : connection(std::make_shared<Connection>(potential)),
      element(owner),
      current_ad(ad_zero()),
      current(re, im) {
    connection->ports.push_back(this);
}

Complex Port::balance_current() const {
    Complex sum(0.0, 0.0);
    for (const Port* other : connection->ports)
        if (other != this) sum += other->current;
    return -sum;
}

void MemberList::push_back(Port* port) {
    port->previous_member = last_;
    port->next_member = nullptr;
    port->listed = true;
    (last_ ? last_->next_member : first_) = port;
    last_ = port;
    ++size_;
}

void MemberList::remove(Port* port) {
    if (!port->listed) return;
    (port->previous_member ? port->previous_member->next_member : first_) = port->next_member;
    (port->next_member ? port->next_member->previous_member : last_) = port->previous_member;
    port->previous_member = port->next_member = nullptr;
    port->listed = false;
    --size_;
}

void MemberList::splice(MemberList& other) {
    if (other.first_ == nullptr) return;
    other.first_->previous_member = last_;
    (last_ ? last_->next_member : first_) = other.first_;
    last_ = other.last_;
    size_ += other.size_;
    other.first_ = other.last_ = nullptr;
    other.size_ = 0;
}

void MemberList::clear() {
    while (first_) remove(first_);
}

void Connection::merge(std::shared_ptr<Connection>& other) {
    if (other.get() == this) return;
    grounded = grounded || other->grounded;
    std::shared_ptr<Connection> self = shared_from_this();
    // `other` is usually the connection field of one of the ports re-pointed below: hold the
    // absorbed node until every port has moved.
    const std::shared_ptr<Connection> absorbed = other;
    Port* first_moved = absorbed->ports.front();
    ports.splice(absorbed->ports);
    for (Port* port = first_moved; port != nullptr; port = port->next_member)
        port->connection = self;
    note_layout_change();
}

void Connection::remove_port(Port* port) {
    // Only the node a port points to can list it.
    if (port->connection.get() == this) ports.remove(port);
}

Element::Element(int n) : Element(n, nullptr) {}

Element::Element() : Element(1, nullptr) {}

Element::Element(int n, const Complex* potentials) {
    // n < 0 turns into a size beyond max_size(): the reserve's length error "vector::reserve".
    ports.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        ports.emplace_back(potentials ? potentials[i] : Complex(0.0, 0.0), this, 0.0, 0.0);
}

Element::~Element() { disconnect(); }

void Element::collect_variables(std::vector<double>&) {}
void Element::collect_parameters(std::vector<double>&) {}
void Element::bind_variables(const ADVector&, Eigen::VectorXd&, int&) {}
void Element::bind_parameters(const ADVector&, Eigen::VectorXd&, int&) {}
void Element::compute_currents(bool) {}
void Element::add_equations(ADVector&, int&) {}
void Element::backward_step() {
    throw std::runtime_error("2 No backward-forward method has been defined for this element");
}
double Element::forward_step() { return 0.0; }
void Element::release_values(const Eigen::VectorXd&, const Eigen::VectorXd&) {}

void Element::check_port_index(int index) const {
    if (index < 0 || index >= port_count())
        throw std::out_of_range("port index " + std::to_string(index) + " out of range for " +
                                std::to_string(port_count()) + " ports");
}

void Element::connect(Element& other, const PortPairs& connections) {
    for (const auto& [i, j] : connections) {
        check_port_index(i);
        other.check_port_index(j);
    }
    for (const auto& [i, j] : connections)
        ports[i].connection->merge(other.ports[j].connection);
}

void Element::connect_ports(const int* indices, int length) {
    for (int k = 0; k < length; ++k) check_port_index(indices[k]);
    if (length <= 1) return;
    for (int k = 1; k < length; ++k)
        ports[indices[0]].connection->merge(ports[indices[k]].connection);
}

void Element::disconnect() {
    for (Port& port : ports) port.connection->remove_port(&port);
    note_layout_change();
}

void Element::set_currents_zero(bool on_tape) {
    if (on_tape)
        write_zero_currents<TapeReading>(ports);
    else
        write_zero_currents<PlainReading>(ports);
}

}  // namespace meshvolt
