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

// A load of n ports reads one value per set-point (star n - 1, delta n); a port count the engine
// refuses ("vector::reserve" for n < 0, and n = 0 in star) reads none.
template <class L>
void* build_load(const Arguments& args) {
    const int n = args.integer(0);
    const long needed = L::Wiring::setpoint_count(n);
    return owned_element(new L(n, args.complex_values(1, needed > 0 ? needed : 0)));
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
                   update_list<PowerLoad, PowerSetpoints>),
        MethodSpec("update_power", {param::complex("power")},
                   update_single<PowerLoad, PowerSetpoints>),
    },
};

const TypeDefinition cy_delta_power_load_type{
    "element",
    destroy_element,
    &delta_power_load_constructor,
    {
        MethodSpec("update_powers", {param::complex_buffer("powers")},
                   update_list<DeltaPowerLoad, PowerSetpoints>),
    },
};

const TypeDefinition cy_admittance_load_type{
    "element",
    destroy_element,
    &admittance_load_constructor,
    {
        MethodSpec("update_admittances", {param::complex_buffer("admittances")},
                   update_list<AdmittanceLoad, AdmittanceSetpoints>),
        MethodSpec("update_admittance", {param::complex("admittance")},
                   update_single<AdmittanceLoad, AdmittanceSetpoints>),
    },
};

const TypeDefinition cy_delta_admittance_load_type{
    "element",
    destroy_element,
    &delta_admittance_load_constructor,
    {
        MethodSpec("update_admittances", {param::complex_buffer("admittances")},
                   update_list<DeltaAdmittanceLoad, AdmittanceSetpoints>),
    },
};

const TypeDefinition cy_current_load_type{
    "element",
    destroy_element,
    &current_load_constructor,
    {
        MethodSpec("update_currents", {param::complex_buffer("currents")},
                   update_list<CurrentLoad, CurrentSetpoints>),
        MethodSpec("update_current", {param::complex("current")},
                   update_single<CurrentLoad, CurrentSetpoints>),
    },
};

const TypeDefinition cy_delta_current_load_type{
    "element",
    destroy_element,
    &delta_current_load_constructor,
    {
        MethodSpec("update_currents", {param::complex_buffer("currents")},
                   update_list<DeltaCurrentLoad, CurrentSetpoints>),
    },
};

const TypeDefinition cy_load_balancer_type{"element", destroy_element, &load_balancer_constructor,
                                           {}};

}  // namespace meshvolt::ohmweave
