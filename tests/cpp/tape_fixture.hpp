// Records the port currents and the own equations of a few joined elements on a CppAD tape, bound
// through the holders exactly as a solver binds them, and evaluates the tape once at the gathered
// values. The plain-number path is then run on the same bound values, so a test can compare the
// two current laws entry for entry and read the recorded residuals. The limits of flexible-load
// parameters, when given, are bound after the element parameters, as the network binds them.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "loads/flexible_parameter.hpp"
#include "model/element.hpp"
#include "port_potentials.hpp"

namespace meshvolt::testing {

class TapeCheck {
  public:
    explicit TapeCheck(std::vector<Element*> elements, std::vector<FlexibleParameter*> limits = {})
        : elements_(std::move(elements)), limits_(std::move(limits)) {
        for (Element* e : elements_)
            for (Port& port : e->ports)
                if (!port.connection->grounded && !contains(port.connection)) nodes_.push_back(port.connection);

        std::vector<double> x0, p0;
        for (auto& node : nodes_) node->potential.push_value(x0);
        const int node_entries = static_cast<int>(x0.size());
        for (Element* e : elements_) {
            e->collect_variables(x0);
            e->collect_parameters(p0);
        }
        for (const FlexibleParameter* f : limits_) f->push_values(p0);
        variables = Eigen::Map<Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
        parameters = Eigen::Map<Eigen::VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));

        // One trailing independent that no element binds: CppAD cannot record without any.
        ADVector x(variables.size() + 1), p(parameters.size());
        for (Eigen::Index k = 0; k < variables.size(); ++k) x[k] = variables[k];
        x[variables.size()] = 0.0;
        for (Eigen::Index k = 0; k < p.size(); ++k) p[k] = parameters[k];
        CppAD::Independent(x, 0, false, p);
        int index = 0, p_index = 0;
        for (auto& node : nodes_) node->potential.bind(x, variables, index);
        for (Element* e : elements_) {
            e->bind_variables(x, variables, index);
            e->bind_parameters(p, parameters, p_index);
        }
        for (FlexibleParameter* f : limits_) f->bind(p, parameters, p_index);
        EXPECT_EQ(index, variables.size());
        EXPECT_EQ(p_index, parameters.size());

        for (Element* e : elements_) e->compute_currents(true);
        equation_count = static_cast<int>(variables.size()) - node_entries;
        ADVector residuals(equation_count);
        int r_index = 0;
        for (Element* e : elements_) e->add_equations(residuals, r_index);
        EXPECT_EQ(r_index, equation_count) << "equations do not match the element variables";

        std::vector<ADScalar> y;
        for (Element* e : elements_)
            for (Port& port : e->ports) {
                y.push_back(port.current_ad.real());
                y.push_back(port.current_ad.imag());
            }
        for (Eigen::Index k = 0; k < residuals.size(); ++k) y.push_back(residuals[k]);
        if (y.empty()) y.push_back(ADScalar(0.0));
        tape_.Dependent(x, ADVector(Eigen::Map<ADVector>(y.data(), static_cast<Eigen::Index>(y.size()))));
        evaluate();
    }

    ~TapeCheck() {
        for (auto& node : nodes_) node->potential.keep_from(variables);
        for (Element* e : elements_) e->release_values(variables, parameters);
        for (FlexibleParameter* f : limits_) f->release_from(parameters);
    }

    // Evaluates the tape at the current contents of `variables` and `parameters`, and the plain
    // current laws on the same bound values.
    void evaluate() {
        tape_.new_dynamic(parameters);
        Eigen::VectorXd x(variables.size() + 1);
        x << variables, 0.0;
        output_ = tape_.Forward(0, x);
        for (Element* e : elements_) e->compute_currents(false);
    }

    // The recorded current of port k of the element at position e.
    Complex tape_current(std::size_t e, int k) const {
        std::size_t offset = 0;
        for (std::size_t i = 0; i < e; ++i) offset += 2 * elements_[i]->ports.size();
        offset += 2 * static_cast<std::size_t>(k);
        return Complex(output_[offset], output_[offset + 1]);
    }
    double residual(int k) const { return output_[output_.size() - equation_count + k]; }

    // Every recorded port current equals the plain one.
    void expect_currents_agree(double tolerance = 1e-9) const {
        for (std::size_t e = 0; e < elements_.size(); ++e)
            for (int k = 0; k < elements_[e]->port_count(); ++k) {
                const Complex plain = elements_[e]->ports[k].current;
                const Complex tape = tape_current(e, k);
                EXPECT_NEAR(tape.real(), plain.real(), tolerance * (1 + std::abs(plain)))
                    << "element " << e << " port " << k;
                EXPECT_NEAR(tape.imag(), plain.imag(), tolerance * (1 + std::abs(plain)))
                    << "element " << e << " port " << k;
            }
    }

    int node_count() const { return static_cast<int>(nodes_.size()); }

    Eigen::VectorXd variables;
    Eigen::VectorXd parameters;
    int equation_count = 0;

  private:
    bool contains(const std::shared_ptr<Connection>& node) const {
        for (const auto& n : nodes_)
            if (n == node) return true;
        return false;
    }

    std::vector<Element*> elements_;
    std::vector<FlexibleParameter*> limits_;
    std::vector<std::shared_ptr<Connection>> nodes_;
    CppAD::ADFun<double> tape_;
    Eigen::VectorXd output_;
};

inline void expect_complex_near(const Complex& actual, const Complex& expected, double tol = 1e-9) {
    EXPECT_NEAR(actual.real(), expected.real(), tol * (1 + std::abs(expected))) << actual << " vs " << expected;
    EXPECT_NEAR(actual.imag(), expected.imag(), tol * (1 + std::abs(expected))) << actual << " vs " << expected;
}

}  // namespace meshvolt::testing
