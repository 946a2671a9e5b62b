// The network a solver works on, and the one layout of the solver's two value vectors.
//
// variables:  for each node of `connections` that is not grounded, its potential (real, imaginary),
//             in node order; then each element's own variables, in element order.
// parameters: each element's dynamic parameters, in element order; then, for each parameter object
//             of `flexible_parameters` in set order (ascending address), its s_max, q_min, q_max.
//
// A Newton solver's residual vector follows the variable layout: two current-balance rows per free
// node in the same node order, then each element's own equations in element order.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "model/ad_types.hpp"
#include "model/element.hpp"

namespace meshvolt {

class FlexibleParameter;
class AbstractSolver;

class ElectricalNetwork {
  public:
    // Keeps the elements in the given order and lists every distinct node reached through their
    // ports, in order of first appearance (elements in order, ports in port order).
    explicit ElectricalNetwork(std::vector<Element*> elements);
    ElectricalNetwork(const ElectricalNetwork&) = delete;
    ElectricalNetwork& operator=(const ElectricalNetwork&) = delete;
    // Detaches the solvers still on the network (AbstractSolver::detach), so that none of them
    // reads the network once it is gone.
    ~ElectricalNetwork();

    // Not owned.
    std::vector<Element*> elements;
    // Shared with the ports; grounded nodes are listed too.
    std::vector<std::shared_ptr<Connection>> connections;
    // The distinct parameter objects of the network's flexible loads, ordered by address; not
    // owned.
    std::set<FlexibleParameter*> flexible_parameters;

    // The solvers on the network, in order of creation (they register and unregister themselves).
    std::vector<AbstractSolver*> solvers;
};

struct NetworkValues {
    std::vector<double> variables;
    std::vector<double> parameters;
};

// Where the parts of the layout lie, as gathering found them: worked out once, when a solver
// gathers, and read by everything that places or looks up a holder.
struct ValueLayout {
    // The nodes that were free (not grounded), in node order: node k at the variable entries 2k
    // and 2k + 1. A node grounded since reads 0 and keeps its place unused (a solve refuses it).
    std::vector<Connection*> free_nodes;
    // Where each element's variables begin, in element order, and one more entry: the end of the
    // last element's, the length of the variable vector.
    std::vector<int> variable_starts;
    // Where each element's parameters begin, and one more entry: the end of the last element's,
    // where the flexible-parameter block begins.
    std::vector<int> parameter_starts;
    // The length of the parameter vector, the flexible-parameter block included.
    int parameter_count = 0;

    int variable_count() const { return variable_starts.back(); }
    int flexible_start() const { return parameter_starts.back(); }
    // Whether the element at position k has variables of its own: then its currents are those
    // variables, not a function of its potentials alone.
    bool has_own_variables(std::size_t k) const {
        return variable_starts[k + 1] > variable_starts[k];
    }
};

// The own values of every holder of the network, in the solver layout. The values behind a holder's
// binding are never read, so a new solver starts from what the elements hold themselves.
NetworkValues collect_network_values(const ElectricalNetwork& network);
// The same into `values` (empty before), returning where each part of them lies.
ValueLayout gather_network_values(const ElectricalNetwork& network, NetworkValues& values);
// Where each part lies, for a network gathered now.
ValueLayout lay_out_values(const ElectricalNetwork& network);

// Points every holder of the network into the solver's vectors at the positions of `layout`,
// gathered earlier from this network, and takes its tape value from the recorded vectors at the
// same positions; a node of its free_nodes grounded since is not bound. Vectors whose lengths
// differ from the layout are refused (std::length_error) before anything is bound.
void bind_network_values(const ElectricalNetwork& network, const ValueLayout& layout,
                         const ADVector& ad_variables, Eigen::VectorXd& variables,
                         const ADVector& ad_parameters, Eigen::VectorXd& parameters);

// The ascending positions in `elements` of the owners of the given indices of `layout`, gathered
// earlier from this network (a solver's): positions in the variable vector, or rows of the
// residual vector.
// - An index in the node block names the owners of the node's member ports whose recorded current
//   (current_ad) is not a number, or else the owner of the node's first member port; a node that
//   lists no port names nobody.
// - An index past the node block names the element whose own variables contain it.
// - An index past the whole layout names nobody.
std::vector<int> find_owning_elements(const ElectricalNetwork& network, const ValueLayout& layout,
                                      const std::vector<std::int64_t>& indices);

}  // namespace meshvolt
