// Lines between side 1 (ports 0..n-1) and side 2 (ports n..2n-1), one port per phase on each
// side; currents are positive into the line.
//
// Line<T> is the common base of the line models: it dispatches compute_currents to T's one current
// law, written once over the readings of model/reading.hpp (compute_currents_numeric and
// compute_currents_ad run it in plain numbers and on the tape), and holds the sweep steps both
// models share.
//
// SimplifiedLine: series impedance Z only (n x n). The line keeps Y = Z⁻¹ as n x n dynamic
// parameters of the tape, so new line data need no new recording:
//     I1 = Y (V1 - V2),   I2 = -I1
// Backward step: I2 from the node balances of the side-2 nodes, I1 = -I2.
// Forward step: V2 = V1 - Y⁻¹ I1 (Y inverted again at each step); the measure is the largest
// modulus of a side-2 potential change.
#pragma once

#include <string>

#include "model/reading.hpp"

namespace meshvolt {

// The n x n matrix whose entry (i, j) is data[i·n + j].
Eigen::MatrixXcd row_major_matrix(int n, const Complex* data);

// A line reads phase 0 of its sides (the forward measure, the shunt line's scalars): it needs at
// least one phase. Returns n; n = 0 throws std::invalid_argument naming the element. A negative
// n is left to the port array's reserve, which refuses it with "vector::reserve".
int checked_phase_count(int n, const char* element);

template <class T>
class Line : public Branch {
  public:
    using Branch::Branch;

    void compute_currents(bool on_tape) override;
    // The side-2 ports.
    bool takes_balance_current(int port) const override {
        const int n = static_cast<int>(side1.size());
        return port >= n && port < n + static_cast<int>(side2.size());
    }

  protected:
    // Every side-2 port's current from the node-balance rule, in port order.
    void balance_side2_currents();
    // Writes v2_new into the side-2 nodes (own value and, when bound, the solver's value; the
    // grounded flag is not consulted) and returns the largest modulus of the changes, NaN when a
    // change is NaN.
    double move_side2_potentials(const Eigen::VectorXcd& v2_new);
    Eigen::VectorXcd side1_currents() const;
    Eigen::VectorXcd side2_currents() const;
};

template <class T>
void Line<T>::compute_currents(bool on_tape) {
    write_currents_by(static_cast<T&>(*this), on_tape);
}

template <class T>
void Line<T>::balance_side2_currents() {
    for (Port* port : side2) port->current = port->balance_current();
}

template <class T>
double Line<T>::move_side2_potentials(const Eigen::VectorXcd& v2_new) {
    const Eigen::VectorXcd d = v2_new - side2_potentials();
    double measure = modulus_measure(d(0));
    for (Eigen::Index k = 1; k < d.size(); ++k)
        measure = max_measure(measure, modulus_measure(d(k)));
    for (std::size_t k = 0; k < side2.size(); ++k)
        side2[k]->connection->set_potential(v2_new(static_cast<Eigen::Index>(k)));
    return measure;
}

template <class T>
Eigen::VectorXcd Line<T>::side1_currents() const {
    Eigen::VectorXcd i(side1.size());
    for (std::size_t k = 0; k < side1.size(); ++k)
        i(static_cast<Eigen::Index>(k)) = side1[k]->current;
    return i;
}

template <class T>
Eigen::VectorXcd Line<T>::side2_currents() const {
    Eigen::VectorXcd i(side2.size());
    for (std::size_t k = 0; k < side2.size(); ++k)
        i(static_cast<Eigen::Index>(k)) = side2[k]->current;
    return i;
}

class SimplifiedLine : public Line<SimplifiedLine> {
  public:
    // n phases (n >= 1), z_line the n x n series impedance row by row.
    SimplifiedLine(int n, const Complex* z_line);

    void collect_parameters(std::vector<double>& values) override;
    void bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    void backward_step() override;
    double forward_step() override;
    void release_values(const Eigen::VectorXd& variables,
                        const Eigen::VectorXd& parameters) override;

    // Y := Z⁻¹ from new impedance data (n x n row by row, n the line's phase count), written
    // through to the solver's parameters when bound.
    void update_line_parameters(const Complex* z_line);

    // The current law I1 = Y (V1 - V2), I2 = -I1 in the given reading.
    template <class Reading>
    void write_currents();
    // The law in plain numbers and on the tape.
    void compute_currents_numeric();
    void compute_currents_ad();

    int phase_count() const { return port_count() / 2; }

    ComplexVariableMatrix admittance;
};

extern template class Line<SimplifiedLine>;

}  // namespace meshvolt
