#include "flexible_load_wrappers.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "element_wrappers.hpp"
#include "load_wrappers.hpp"
#include "loads/flexible_load.hpp"
#include "loads/flexible_parameter.hpp"
#include "py_ref.hpp"
#include "results.hpp"

namespace meshvolt::ohmweave {

namespace {

// --- CyControl, CyProjection ---------------------------------------------------------------

void* build_control(const Arguments& args) {
    return new Control(args.text(0), args.real(1), args.real(2), args.real(3), args.real(4),
                       args.real(5), args.real(6));
}

void destroy_control(void* engine) { delete static_cast<Control*>(engine); }

void* build_projection(const Arguments& args) {
    return new Projection(args.text(0), args.real(1), args.real(2));
}

void destroy_projection(void* engine) { delete static_cast<Projection*>(engine); }

// --- CyFlexibleParameter -------------------------------------------------------------------

// Copies of the two controls and the projection, and the three limits.
void* build_flexible_parameter(const Arguments& args) {
    return new FlexibleParameter(*static_cast<const Control*>(args.engine(0)),
                                 *static_cast<const Control*>(args.engine(1)),
                                 *static_cast<const Projection*>(args.engine(2)), args.real(3),
                                 args.real(4), args.real(5));
}

void destroy_flexible_parameter(void* engine) { delete static_cast<FlexibleParameter*>(engine); }

FlexibleParameter& parameter_of(const Call& call) {
    return *static_cast<FlexibleParameter*>(engine_pointer(call.self));
}

PyObject* parameter_compute_power(const Call& call) {
    const FlexibleParameter& parameter = parameter_of(call);
    return complex_result(parameter.compute_power(call.args.real(0), call.args.complex(1)));
}

PyObject* parameter_update_parameters(const Call& call) {
    parameter_of(call).update_parameters(call.args.real(0), call.args.real(1), call.args.real(2));
    Py_RETURN_NONE;
}

// --- CyFlexibleLoad, CyDeltaFlexibleLoad ---------------------------------------------------

// The phases of a load of n ports (star n - 1, delta n); a port count the engine refuses
// ("vector::reserve" for n < 0, and n = 0 in star) reads no value and no parameter.
template <class L>
long phases_read(const Arguments& args) {
    return std::max(L::Wiring::setpoint_count(args.integer(0)), 0L);
}

// One theoretical power and one CyFlexibleParameter per phase: a short buffer is a ValueError, an
// item of another type (None included) a TypeError naming its position, both before the engine is
// called.
template <class L>
void* build_flexible_load(const Arguments& args) {
    const long count = phases_read<L>(args);
    const Complex* powers = args.complex_values(1, count);
    std::vector<FlexibleParameter*> parameters;
    for (void* engine : args.wrapper_items(2, count, TypeId::CyFlexibleParameter))
        parameters.push_back(static_cast<FlexibleParameter*>(engine));
    return owned_element(new L(args.integer(0), powers, parameters));
}

// The CyFlexibleParameter items whose engine objects the load points to.
template <class L>
PyObject* hold_parameters(const Arguments& args) {
    const auto count = static_cast<Py_ssize_t>(phases_read<L>(args));
    PyObject* const* items = static_cast<PyObject* const*>(args.buffer(2).data());
    PyRef held(PyTuple_New(count));
    if (!held) throw_python_error();
    for (Py_ssize_t k = 0; k < count; ++k) PyTuple_SET_ITEM(held.get(), k, Py_NewRef(items[k]));
    return held.release();
}

// The array is made first (NumPy refuses a negative size itself); it must have room for the power
// of every phase. Entries beyond them keep what the new array held.
template <class L>
PyObject* flexible_get_powers(const Call& call) {
    L& load = engine_as<L>(call);
    const int n = call.args.integer(0);
    ResultArray powers(n, complex_items);
    if (n < load.setpoint_count())
        raise_error(PyExc_ValueError, "n = " + std::to_string(n) + " is less than the " +
                                          std::to_string(load.setpoint_count()) +
                                          " phases of the load");
    load.get_powers(powers.complexes());
    return powers.release();
}

const Constructor control_constructor(
    {param::string("t"), param::real("u_min"), param::real("u_down"), param::real("u_up"),
     param::real("u_max"), param::real("alpha"), param::real("epsilon")},
    build_control);
const Constructor projection_constructor(
    {param::string("t"), param::real("alpha"), param::real("epsilon")}, build_projection);
const Constructor flexible_parameter_constructor(
    {param::wrapper("control_p", TypeId::CyControl), param::wrapper("control_q", TypeId::CyControl),
     param::wrapper("projection", TypeId::CyProjection), param::real("s_max"), param::real("q_min"),
     param::real("q_max")},
    build_flexible_parameter);
const Constructor flexible_load_constructor(
    {param::integer("n"), param::complex_buffer("powers"), param::object_buffer("parameters")},
    build_flexible_load<FlexibleLoad>);
const Constructor delta_flexible_load_constructor(
    {param::integer("n"), param::complex_buffer("powers"), param::object_buffer("parameters")},
    build_flexible_load<DeltaFlexibleLoad>);

}  // namespace

const TypeDefinition cy_control_type{"control", destroy_control, &control_constructor, {}};

const TypeDefinition cy_projection_type{"projection", destroy_projection, &projection_constructor,
                                        {}};

const TypeDefinition cy_flexible_parameter_type{
    "parameter",
    destroy_flexible_parameter,
    &flexible_parameter_constructor,
    {
        MethodSpec("compute_power", {param::real("x"), param::complex("s_th")},
                   parameter_compute_power),
        MethodSpec("update_parameters",
                   {param::real("s_max"), param::real("q_min"), param::real("q_max")},
                   parameter_update_parameters),
    },
};

const TypeDefinition cy_flexible_load_type{
    "element",
    destroy_element,
    &flexible_load_constructor,
    {
        MethodSpec("update_powers", {param::complex_buffer("powers")},
                   update_list<FlexibleLoad, PowerSetpoints>),
        MethodSpec("update_power", {param::complex("power")},
                   update_single<FlexibleLoad, PowerSetpoints>),
        MethodSpec("get_powers", {param::integer("n")}, flexible_get_powers<FlexibleLoad>),
    },
    hold_parameters<FlexibleLoad>,
};

const TypeDefinition cy_delta_flexible_load_type{
    "element",
    destroy_element,
    &delta_flexible_load_constructor,
    {
        MethodSpec("update_powers", {param::complex_buffer("powers")},
                   update_list<DeltaFlexibleLoad, PowerSetpoints>),
        MethodSpec("get_powers", {param::integer("n")}, flexible_get_powers<DeltaFlexibleLoad>),
    },
    hold_parameters<DeltaFlexibleLoad>,
};

}  // namespace meshvolt::ohmweave
