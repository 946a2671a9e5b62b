// What every transformer shares. Side 1 is the HV side, side 2 the LV side; port currents are
// positive into the transformer.
//
// Three complex dynamic parameters, in this order on the tape (two entries each, real part first):
//     z2   series impedance of the winding pair, referred to the LV side
//     ym   magnetising admittance, on the HV side
//     k    transformation ratio (the centre-tapped and three-phase laws use only Re k)
// A transformer has no unknowns and writes no equations: its port currents are a closed-form
// function of its port potentials, and the node balances close the system around it.
//
// Transformer<T> dispatches compute_currents to T's one current law, written once over the two
// readings of model/reading.hpp: plain numbers (node and holder read rules, the ports' `current`)
// or the tape (the recorded parts, the ports' `current_ad`). Its backward step throws: only the
// single-phase transformer has sweep steps of its own.
#pragma once

#include <utility>
#include <vector>

#include "model/reading.hpp"

namespace meshvolt {

class TransformerBase : public Branch {
  public:
    void collect_parameters(std::vector<double>& values) override;
    void bind_parameters(const ADVector& tape, Eigen::VectorXd& values, int& index) override;
    // Each kind has its own current law (Transformer<T> dispatches to it).
    void compute_currents(bool on_tape) override = 0;
    void release_values(const Eigen::VectorXd& variables,
                        const Eigen::VectorXd& parameters) override;
    // Every kind's law reads side 1 through differences of its potentials (the HV winding
    // voltages) and side 2 through differences of its own: the sides are two groups, and each
    // needs its own potential reference.
    int potential_group(int port) const override;

    // The no-load test at the rated voltages uhv, ulv and the rated power sn: writes the test
    // potentials into the transformer's nodes (own value and, when bound, the solver's value),
    // computes the port currents and returns (no-load active power, no-load current / rated
    // current). The short-circuit test returns (short-circuit losses, relative short-circuit
    // voltage vsc). Both leave the written potentials and the currents in place.
    virtual std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv,
                                                                      double sn) = 0;
    virtual std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv,
                                                                       double sn) = 0;

    // Write-through of z2, ym and k, stored as given (also a complex k of the transformers that
    // use only its real part); nothing is recomputed.
    void update_transformer_parameters(const Complex& z2_new, const Complex& ym_new,
                                       const Complex& k_new);

    ComplexVariable z2;
    ComplexVariable ym;
    ComplexVariable k;

  protected:
    TransformerBase(int n1, int n2, const Complex& z2_value, const Complex& ym_value,
                    const Complex& k_value);

    // The active power that flows into side 1: Σ Re(V·conj(I)) over its ports.
    double side1_active_power() const;

    // arg k, the angle by which the LV no-load voltage leads the HV one.
    double ratio_angle() const;

    // The plain port currents at the test potentials just written into the nodes, and the pair a
    // test reports: (no-load active power, |current of port 0| / rated_current) for the no-load
    // test, (short-circuit losses, vsc) for the short-circuit test.
    std::pair<double, double> no_load_readings(double rated_current);
    std::pair<double, double> short_circuit_readings(double vsc);

    // The relative short-circuit voltage vsc = zk·sn/ulv² of a winding pair whose short-circuit
    // impedance, seen from the LV side, has the modulus zk (|z2| unless the kind says otherwise).
    static double short_circuit_voltage(double zk, double ulv, double sn);

    // What the two tests take from each kind, unless it says otherwise: the rated current sn/uhv
    // of one winding, and |z2| as the short-circuit impedance.
    double rated_current(double uhv, double sn) const { return sn / uhv; }
    double short_circuit_impedance() const { return std::abs(z2.get()); }

  private:
    // Calls visit on each parameter holder, in the order of their entries in the solver's vector.
    template <class Visit>
    void visit_parameters(Visit visit);
};

template <class T>
class Transformer : public TransformerBase {
  public:
    using TransformerBase::TransformerBase;

    void compute_currents(bool on_tape) override {
        write_currents_by(static_cast<T&>(*this), on_tape);
    }

    void backward_step() override;

    // The two tests over T's test potentials (T::write_no_load_potentials(uhv, ulv),
    // T::write_short_circuit_potentials(uhv, vsc)), its rated current and its short-circuit
    // impedance.
    std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv,
                                                              double sn) override {
        T& kind = static_cast<T&>(*this);
        kind.write_no_load_potentials(uhv, ulv);
        return no_load_readings(kind.rated_current(uhv, sn));
    }
    std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv,
                                                               double sn) override {
        T& kind = static_cast<T&>(*this);
        const double vsc = short_circuit_voltage(kind.short_circuit_impedance(), ulv, sn);
        kind.write_short_circuit_potentials(uhv, vsc);
        return short_circuit_readings(vsc);
    }
};

}  // namespace meshvolt
