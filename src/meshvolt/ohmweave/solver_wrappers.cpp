#include "solver_wrappers.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "model/element.hpp"
#include "py_ref.hpp"
#include "results.hpp"
#include "solvers/abstract_newton.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/network.hpp"
#include "solvers/newton.hpp"
#include "wrapper_object.hpp"

namespace meshvolt::ohmweave {

namespace {

// --- CyElectricalNetwork -------------------------------------------------------------------

// The first nb_elements items of `elements`, each an element wrapper holding its element, in the
// caller's order. A negative count is refused by the standard library ("vector::reserve").
void* build_network(const Arguments& args) {
    const int nb_elements = args.integer(1);
    const std::vector<void*> engines = args.wrapper_items(0, nb_elements, TypeId::CyElement);
    std::vector<Element*> elements;
    elements.reserve(static_cast<std::size_t>(nb_elements));
    for (void* engine : engines) elements.push_back(static_cast<Element*>(engine));
    return new ElectricalNetwork(std::move(elements));
}

void destroy_network(void* engine) { delete static_cast<ElectricalNetwork*>(engine); }

// The element wrappers whose elements the network points to (build_network has checked them).
PyObject* hold_elements(const Arguments& args) {
    const Py_ssize_t count = std::max(args.integer(1), 0);
    PyObject* const* items = static_cast<PyObject* const*>(args.buffer(0).data());
    PyRef held(PyTuple_New(count));
    if (!held) throw_python_error();
    for (Py_ssize_t k = 0; k < count; ++k) PyTuple_SET_ITEM(held.get(), k, Py_NewRef(items[k]));
    return held.release();
}

// --- solver construction -------------------------------------------------------------------

ElectricalNetwork* network_argument(const Arguments& args) {
    return static_cast<ElectricalNetwork*>(args.engine(0));
}

// Called between the iterations of a solve, which runs with the thread state held: a pending
// signal (Ctrl-C) runs its Python handler here, and the exception the handler raises
// (KeyboardInterrupt) ends the solve and leaves the solver usable.
void check_signals() {
    if (PyErr_CheckSignals() < 0) throw_python_error();
}

void* owned_solver(AbstractSolver* solver) {
    solver->on_iteration = check_signals;
    return solver;
}

void destroy_solver(void* engine) { delete static_cast<AbstractSolver*>(engine); }

void* build_newton(const Arguments& args) {
    return owned_solver(new Newton(network_argument(args), args.truth(1)));
}

void* build_newton_goldstein(const Arguments& args) {
    return owned_solver(new NewtonGoldstein(network_argument(args), args.truth(1), args.real(2),
                                            args.real(3), args.truth(4)));
}

void* build_backward_forward(const Arguments& args) {
    return owned_solver(new BackwardForward(network_argument(args)));
}

// The network wrapper the solver points into.
PyObject* hold_network(const Arguments& args) {
    PyObject* held = PyTuple_Pack(1, args.object(0));
    if (!held) throw_python_error();
    return held;
}

// --- solver methods ------------------------------------------------------------------------

// The solver of the instance as the engine class of the method's family. A Python class that mixes
// two solver wrappers could hand a method of one family the solver of another: refused.
template <class Solver>
Solver& solver_of(const Call& call) {
    return engine_kind<Solver>(call, static_cast<AbstractSolver*>(engine_pointer(call.self)));
}

PyObject* int_list(const std::vector<int>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) throw_python_error();
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyObject* item = PyLong_FromLong(values[k]);
        if (!item) throw_python_error();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

// A copy of a vector of doubles as a new float64 array.
PyObject* double_array(const Eigen::VectorXd& values) {
    ResultArray array(values.size(), double_items);
    std::copy(values.data(), values.data() + values.size(), array.doubles());
    return array.release();
}

PyObject* solver_solve_load_flow(const Call& call) {
    const std::pair<int, double> result =
        solver_of<AbstractSolver>(call).solve_load_flow(call.args.integer(0), call.args.real(1));
    PyRef iterations(int_result(result.first));
    PyRef residual(float_result(result.second));
    return pair_result(iterations.release(), residual.release());
}

PyObject* solver_reset_inputs(const Call& call) {
    solver_of<AbstractSolver>(call).reset_inputs();
    Py_RETURN_NONE;
}

PyObject* solver_get_variables(const Call& call) {
    return double_array(solver_of<AbstractSolver>(call).variables);
}

// Reads the first n values of the buffer; a shorter buffer is refused before anything changes.
PyObject* solver_set_variables(const Call& call) {
    AbstractSolver& solver = solver_of<AbstractSolver>(call);
    const auto n = static_cast<std::size_t>(solver.variables.size());
    solver.set_variables(call.args.double_values(0, static_cast<long long>(n)), n);
    Py_RETURN_NONE;
}

// OSError naming the files that could not be opened.
[[noreturn]] void raise_unopened(const std::vector<std::string>& files,
                                 SourceLine where = SourceLine::here()) {
    PyRef names[2];
    for (std::size_t k = 0; k < files.size() && k < 2; ++k) {
        names[k].reset(PyUnicode_DecodeFSDefaultAndSize(files[k].data(),
                                                        static_cast<Py_ssize_t>(files[k].size())));
        if (!names[k]) throw_python_error(where);
    }
    if (names[1])
        PyErr_Format(PyExc_OSError, "Unable to open %R and %R for writing", names[0].get(),
                     names[1].get());
    else
        PyErr_Format(PyExc_OSError, "Unable to open %R for writing", names[0].get());
    throw_python_error(where);
}

// J to prefix + ".mtx", F to prefix + "_b.mtx"; both files are attempted before a failure to open
// either is reported.
PyObject* newton_save_matrix(const Call& call) {
    AbstractNewton& solver = solver_of<AbstractNewton>(call);
    const std::string& prefix = call.args.text(0);
    // The file system would cut the name at the zero byte and write both files to one name.
    if (prefix.find('\0') != std::string::npos)
        raise_error(PyExc_ValueError, "embedded null byte in the prefix of save_matrix()");
    const std::vector<std::string> unopened = solver.save_matrix(prefix);
    if (!unopened.empty()) raise_unopened(unopened);
    Py_RETURN_NONE;
}

// The dense Jacobian as an (n, n) array: [i, j] = ∂F_i/∂x_j.
PyObject* newton_get_jacobian(const Call& call) {
    AbstractNewton& solver = solver_of<AbstractNewton>(call);
    const Py_ssize_t n = solver.variables.size();
    ResultArray values(n * n, double_items);
    const DenseJacobian jacobian = solver.get_jacobian();
    std::copy(jacobian.data(), jacobian.data() + n * n, values.doubles());
    return values.release_as_matrix(n, n);
}

PyObject* newton_get_residuals(const Call& call) {
    AbstractNewton& solver = solver_of<AbstractNewton>(call);
    ResultArray residuals(solver.variables.size(), double_items);
    const Eigen::VectorXd values = solver.get_residuals();
    std::copy(values.data(), values.data() + values.size(), residuals.doubles());
    return residuals.release();
}

// (owners of the zero columns, owners of the non-finite rows), positions in the element list.
PyObject* newton_analyse_jacobian(const Call& call) {
    const JacobianAnalysis analysis = solver_of<AbstractNewton>(call).analyse_jacobian();
    PyRef zero_columns(int_list(analysis.zero_column_owners));
    PyRef non_finite_rows(int_list(analysis.non_finite_row_owners));
    return pair_result(zero_columns.release(), non_finite_rows.release());
}

PyObject* goldstein_update_params(const Call& call) {
    solver_of<NewtonGoldstein>(call).update_params(call.args.real(0), call.args.real(1),
                                                   call.args.truth(2));
    Py_RETURN_NONE;
}

Parameter network_parameter() { return param::wrapper("network", TypeId::CyElectricalNetwork); }

const Constructor network_constructor(
    {param::object_buffer("elements"), param::integer("nb_elements")}, build_network);
const Constructor newton_constructor({network_parameter(), param::truth("optimize_tape")},
                                     build_newton);
const Constructor newton_goldstein_constructor(
    {network_parameter(), param::truth("optimize_tape"), param::real("m1"), param::real("m2"),
     param::truth("weighted_merit")},
    build_newton_goldstein);
const Constructor backward_forward_constructor({network_parameter()}, build_backward_forward);

}  // namespace

const TypeDefinition cy_electrical_network_type{
    "network", destroy_network, &network_constructor, {}, hold_elements};

const TypeDefinition cy_abstract_solver_type{
    "solver",
    destroy_solver,
    nullptr,
    {
        MethodSpec("solve_load_flow", {param::integer("max_iterations"), param::real("tolerance")},
                   solver_solve_load_flow),
        MethodSpec("reset_inputs", {}, solver_reset_inputs),
        MethodSpec("get_variables", {}, solver_get_variables),
        MethodSpec("set_variables", {param::double_buffer("variables")}, solver_set_variables),
    },
};

const TypeDefinition cy_abstract_newton_type{
    "solver",
    destroy_solver,
    nullptr,
    {
        MethodSpec("save_matrix", {param::string("prefix")}, newton_save_matrix),
        MethodSpec("get_jacobian", {}, newton_get_jacobian),
        MethodSpec("get_residuals", {}, newton_get_residuals),
        MethodSpec("analyse_jacobian", {}, newton_analyse_jacobian),
    },
};

const TypeDefinition cy_newton_type{
    "solver", destroy_solver, &newton_constructor, {}, hold_network};

const TypeDefinition cy_newton_goldstein_type{
    "solver",
    destroy_solver,
    &newton_goldstein_constructor,
    {
        MethodSpec("update_params",
                   {param::real("m1"), param::real("m2"), param::truth("weighted_merit")},
                   goldstein_update_params),
    },
    hold_network,
};

const TypeDefinition cy_backward_forward_type{
    "solver", destroy_solver, &backward_forward_constructor, {}, hold_network};

}  // namespace meshvolt::ohmweave
