// Records the port currents and the own equations of a few joined elements on a CppAD tape, and
// evaluates the tape once at the gathered values. The elements form a network of their own, which
// gathers and binds their values in the solver layout (network.hpp), so the recorded laws read
// their holders exactly as in a solve; the limits of the flexible loads' parameter objects follow
// the element parameters, as the network lists them. The plain-number path is then run on the
// same bound values, so a test can compare the two current laws entry for entry and read the
// recorded residuals.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "element_ports.hpp"
#include "expect_close.hpp"
#include "loads/flexible_parameter.hpp"
#include "model/element.hpp"
#include "solvers/network.hpp"

namespace meshvolt::testing {

class TapeCheck {
  public:
    explicit TapeCheck(std::vector<Element*> elements) : network_(std::move(elements)) {
        for (Element* e : network_.elements) expect_binding_matches_gathering(*e);
        for (FlexibleParameter* f : network_.flexible_parameters)
            expect_binding_matches_gathering(*f);

        NetworkValues gathered;
        const ValueLayout layout = gather_network_values(network_, gathered);
        variables = to_vector(gathered.variables);
        parameters = to_vector(gathered.parameters);

        // One trailing independent that no element binds: CppAD cannot record without any.
        Eigen::VectorXd start(variables.size() + 1);
        start << variables, 0.0;
        ADVector x = ad_constants(start), p = ad_constants(parameters);
        CppAD::Independent(x, 0, false, p);
        const ADVector bound = x.head(variables.size());
        bind_network_values(network_, layout, bound, variables, p, parameters);

        for (Element* e : network_.elements) e->compute_currents(true);
        equation_count = static_cast<int>(variables.size()) - 2 * node_count();
        ADVector residuals(equation_count);
        int r_index = 0;
        for (Element* e : network_.elements) e->add_equations(residuals, r_index);
        EXPECT_EQ(r_index, equation_count) << "equations do not match the element variables";

        std::vector<ADScalar> y;
        for (Element* e : network_.elements)
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
        for (const auto& node : network_.connections) node->potential.keep_from(variables);
        for (Element* e : network_.elements) e->release_values(variables, parameters);
        for (FlexibleParameter* f : network_.flexible_parameters) f->release_from(parameters);
    }

    // Evaluates the tape at the current contents of `variables` and `parameters`, and the plain
    // current laws on the same bound values.
    void evaluate() {
        tape_.new_dynamic(parameters);
        Eigen::VectorXd x(variables.size() + 1);
        x << variables, 0.0;
        output_ = tape_.Forward(0, x);
        for (Element* e : network_.elements) e->compute_currents(false);
    }

    // The recorded current of port k of the element at position e.
    Complex tape_current(std::size_t e, int k) const {
        std::size_t offset = 0;
        for (std::size_t i = 0; i < e; ++i) offset += 2 * network_.elements[i]->ports.size();
        offset += 2 * static_cast<std::size_t>(k);
        return Complex(output_[offset], output_[offset + 1]);
    }
    double residual(int k) const { return output_[output_.size() - equation_count + k]; }

    // Every recorded port current equals the plain one.
    void expect_currents_agree(double tolerance = 1e-9) const {
        for (std::size_t e = 0; e < network_.elements.size(); ++e)
            for (int k = 0; k < network_.elements[e]->port_count(); ++k)
                expect_close(tape_current(e, k), network_.elements[e]->ports[k].current,
                             relative(tolerance),
                             "element " + std::to_string(e) + " port " + std::to_string(k));
    }

    // The nodes that are not grounded.
    int node_count() const {
        int count = 0;
        for (const auto& node : network_.connections)
            if (!node->grounded) ++count;
        return count;
    }

    Eigen::VectorXd variables;
    Eigen::VectorXd parameters;
    int equation_count = 0;

  private:
    static Eigen::VectorXd to_vector(const std::vector<double>& values) {
        return Eigen::Map<const Eigen::VectorXd>(values.data(),
                                                 static_cast<Eigen::Index>(values.size()));
    }

    // The network's layout places each holder after the entries its predecessors gathered: an
    // element must bind exactly as many entries as it gathers. Checked on vectors of its own,
    // holding its gathered values, which it is released from again unchanged.
    static void expect_binding_matches_gathering(Element& element) {
        std::vector<double> own_variables, own_parameters;
        element.collect_variables(own_variables);
        element.collect_parameters(own_parameters);
        Eigen::VectorXd x = to_vector(own_variables), p = to_vector(own_parameters);
        const ADVector ad_x = ad_constants(x), ad_p = ad_constants(p);
        int index = 0, p_index = 0;
        element.bind_variables(ad_x, x, index);
        element.bind_parameters(ad_p, p, p_index);
        EXPECT_EQ(index, x.size()) << "variables bound and gathered differ";
        EXPECT_EQ(p_index, p.size()) << "parameters bound and gathered differ";
        element.release_values(x, p);
    }
    static void expect_binding_matches_gathering(FlexibleParameter& limits) {
        std::vector<double> own;
        limits.push_values(own);
        Eigen::VectorXd p = to_vector(own);
        const ADVector ad_p = ad_constants(p);
        int p_index = 0;
        limits.bind(ad_p, p, p_index);
        EXPECT_EQ(p_index, p.size()) << "limits bound and gathered differ";
        limits.release_from(p);
    }

    ElectricalNetwork network_;
    CppAD::ADFun<double> tape_;
    Eigen::VectorXd output_;
};

}  // namespace meshvolt::testing
