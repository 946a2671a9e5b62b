#include "load_wrappers.hpp"

#include <string>

#include "element_wrappers.hpp"
#include "loads/admittance_load.hpp"
#include "loads/current_load.hpp"
#include "loads/load_balancer.hpp"
#include "loads/power_load.hpp"
#include "results.hpp"

namespace meshvolt::ohmweave {

namespace {

// --- CyLoad --------------------------------------------------------------------------------

// The array is made first (NumPy refuses a negative size itself); it must have room for every
// inner current the load writes. Entries beyond them keep what the new array held.
PyObject* load_get_inner_currents(const Call& call) {
    LoadBase& load = engine_as<LoadBase>(call);
    const int size = call.args.integer(0);
    ResultArray currents(size, complex_items);
    const int count = load.inner_current_count();
    if (size < count)
        raise_error(PyExc_ValueError, "size = " + std::to_string(size) + " is less than the " +
                                          std::to_string(count) + " inner currents of the load");
    load.get_inner_currents(currents.complexes());
    return currents.release();
}

// --- the constant loads --------------------------------------------------------------------

// What each family calls its set-points, and its engine update.
struct PowerSetpoints {
    static constexpr const char* single = "power";
    static constexpr const char* list = "powers";
    template <class L>
    static void update(L& load, const Complex* values) { load.update_powers(values); }
};

struct AdmittanceSetpoints {
    static constexpr const char* single = "admittance";
    static constexpr const char* list = "admittances";
    template <class L>
    static void update(L& load, const Complex* values) { load.update_admittances(values); }
};

struct CurrentSetpoints {
    static constexpr const char* single = "current";
    static constexpr const char* list = "currents";
    template <class L>
    static void update(L& load, const Complex* values) { load.update_currents(values); }
};

// A load of n ports reads one value per set-point (star n - 1, delta n); a port count the engine
// refuses ("vector::reserve" for n < 0, and n = 0 in star) reads none.
template <class L>
void* build_load(const Arguments& args) {
    const int n = args.integer(0);
    const long needed = L::Wiring::setpoint_count(n);
    return owned_element(new L(n, args.complex_values(1, needed > 0 ? needed : 0)));
}

template <class L, class Setpoints>
PyObject* load_update_list(const Call& call) {
    L& load = engine_as<L>(call);
    Setpoints::update(load, call.args.complex_values(0, load.setpoint_count()));
    Py_RETURN_NONE;
}

// The set-point of a load that has exactly one (a single-phase star load, n = 2).
template <class L, class Setpoints>
PyObject* load_update_single(const Call& call) {
    L& load = engine_as<L>(call);
    if (load.setpoint_count() != 1)
        raise_error(PyExc_ValueError,
                    std::string("update_") + Setpoints::single + "() sets the " + Setpoints::single +
                        " of a load with one set-point; this load has " +
                        std::to_string(load.setpoint_count()) + ", use update_" + Setpoints::list +
                        "()");
    const Complex value = call.args.complex(0);
    Setpoints::update(load, &value);
    Py_RETURN_NONE;
}

// --- CyLoadBalancer ------------------------------------------------------------------------

void* build_load_balancer(const Arguments& args) {
    return owned_element(new LoadBalancer(args.complex(0), args.complex(1), args.real(2)));
}

const Constructor power_load_constructor({param::integer("n"), param::complex_buffer("powers")},
                                         build_load<PowerLoad>);
const Constructor delta_power_load_constructor(
    {param::integer("n"), param::complex_buffer("powers")}, build_load<DeltaPowerLoad>);
const Constructor admittance_load_constructor(
    {param::integer("n"), param::complex_buffer("admittances")}, build_load<AdmittanceLoad>);
const Constructor delta_admittance_load_constructor(
    {param::integer("n"), param::complex_buffer("admittances")}, build_load<DeltaAdmittanceLoad>);
const Constructor current_load_constructor(
    {param::integer("n"), param::complex_buffer("currents")}, build_load<CurrentLoad>);
const Constructor delta_current_load_constructor(
    {param::integer("n"), param::complex_buffer("currents")}, build_load<DeltaCurrentLoad>);
const Constructor load_balancer_constructor(
    {param::complex("z2"), param::complex("ym"), param::real("k")}, build_load_balancer);

}  // namespace

const TypeDefinition cy_load_type{
    "element",
    destroy_element,
    nullptr,
    {MethodSpec("get_inner_currents", {param::integer("size")}, load_get_inner_currents)},
};

const TypeDefinition cy_power_load_type{
    "element",
    destroy_element,
    &power_load_constructor,
    {
        MethodSpec("update_powers", {param::complex_buffer("powers")},
                   load_update_list<PowerLoad, PowerSetpoints>),
        MethodSpec("update_power", {param::complex("power")},
                   load_update_single<PowerLoad, PowerSetpoints>),
    },
};

const TypeDefinition cy_delta_power_load_type{
    "element",
    destroy_element,
    &delta_power_load_constructor,
    {
        MethodSpec("update_powers", {param::complex_buffer("powers")},
                   load_update_list<DeltaPowerLoad, PowerSetpoints>),
    },
};

const TypeDefinition cy_admittance_load_type{
    "element",
    destroy_element,
    &admittance_load_constructor,
    {
        MethodSpec("update_admittances", {param::complex_buffer("admittances")},
                   load_update_list<AdmittanceLoad, AdmittanceSetpoints>),
        MethodSpec("update_admittance", {param::complex("admittance")},
                   load_update_single<AdmittanceLoad, AdmittanceSetpoints>),
    },
};

const TypeDefinition cy_delta_admittance_load_type{
    "element",
    destroy_element,
    &delta_admittance_load_constructor,
    {
        MethodSpec("update_admittances", {param::complex_buffer("admittances")},
                   load_update_list<DeltaAdmittanceLoad, AdmittanceSetpoints>),
    },
};

const TypeDefinition cy_current_load_type{
    "element",
    destroy_element,
    &current_load_constructor,
    {
        MethodSpec("update_currents", {param::complex_buffer("currents")},
                   load_update_list<CurrentLoad, CurrentSetpoints>),
        MethodSpec("update_current", {param::complex("current")},
                   load_update_single<CurrentLoad, CurrentSetpoints>),
    },
};

const TypeDefinition cy_delta_current_load_type{
    "element",
    destroy_element,
    &delta_current_load_constructor,
    {
        MethodSpec("update_currents", {param::complex_buffer("currents")},
                   load_update_list<DeltaCurrentLoad, CurrentSetpoints>),
    },
};

const TypeDefinition cy_load_balancer_type{"element", destroy_element, &load_balancer_constructor,
                                           {}};

}  // namespace meshvolt::ohmweave
