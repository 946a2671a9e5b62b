#include "model/element.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace meshvolt {

Port::Port(const Complex& potential, Element* owner, double re, double im)
    : connection(std::make_shared<Connection>(this, potential)),
      element(owner),
      current_ad(ad_zero()),
      current(re, im) {}

Complex Port::balance_current() const {
    Complex sum(0.0, 0.0);
    for (const Port* other : connection->ports)
        if (other != this) sum += other->current;
    return -sum;
}

void Connection::merge(std::shared_ptr<Connection>& other) {
    if (other.get() == this) return;
    grounded = grounded || other->grounded;
    std::shared_ptr<Connection> self = shared_from_this();
    // `other` is usually the connection field of one of the ports re-pointed below: hold the
    // absorbed node and its member list before anything changes.
    std::shared_ptr<Connection> absorbed = other;
    const std::vector<Port*> members = absorbed->ports;
    for (Port* port : members) {
        // A member list can be stale (a node absorbed earlier, reached through a disconnected
        // port): only ports that still belong to the absorbed node move.
        if (port->connection.get() != absorbed.get()) continue;
        ports.push_back(port);
        port->connection = self;
    }
}

void Connection::remove_port(const Port* port) {
    ports.erase(std::remove(ports.begin(), ports.end(), port), ports.end());
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
}

void Element::set_currents_zero(bool on_tape) {
    for (Port& port : ports) {
        if (on_tape)
            port.current_ad = ad_zero();
        else
            port.current = Complex(0.0, 0.0);
    }
}

}  // namespace meshvolt
