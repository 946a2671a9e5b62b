#include "element_wrappers.hpp"

#include <string>

#include "model/branch.hpp"
#include "model/bus.hpp"
#include "model/potential_ref.hpp"
#include "model/switch.hpp"
#include "model/voltage_source.hpp"
#include "results.hpp"

namespace meshvolt::ohmweave {

void destroy_element(void* engine) { delete static_cast<Element*>(engine); }

void check_output_size(const char* name, int value, int available, const char* what,
                       SourceLine where) {
    if (value > available)
        raise_error(PyExc_ValueError, std::string(name) + " = " + std::to_string(value) +
                                          " exceeds the " + std::to_string(available) + " " + what,
                    where);
}

void refuse_single_update(const UpdateNames& names, int count, SourceLine where) {
    raise_error(PyExc_ValueError,
                std::string("update_") + names.single + "() sets the " + names.single + " of a " +
                    names.element + " with one " + names.entry + "; this " + names.element +
                    " has " + std::to_string(count) + ", use update_" + names.list + "()",
                where);
}

namespace {

// --- CyElement ----------------------------------------------------------------------------

PyObject* element_connect(const Call& call) {
    Element& other = element_argument(call, 0);
    const IndexPairs connections = call.args.pairs(1);
    element_of(call).connect(other, connections);
    Py_RETURN_NONE;
}

PyObject* element_connect_ports(const Call& call) {
    Py_ssize_t count = 0;
    const int* ports = call.args.int_values(0, count);
    element_of(call).connect_ports(ports, static_cast<int>(count));
    Py_RETURN_NONE;
}

PyObject* element_disconnect(const Call& call) {
    element_of(call).disconnect();
    Py_RETURN_NONE;
}

PyObject* element_get_potentials(const Call& call) {
    const Element& element = element_of(call);
    const int n = call.args.integer(0);
    check_output_size("n", n, element.port_count(), "ports of the element");
    ResultArray potentials(n, complex_items);
    for (int i = 0; i < n; ++i)
        potentials.complexes()[i] = element.ports[i].connection->get_potential();
    return potentials.release();
}

PyObject* element_get_currents(const Call& call) {
    const Element& element = element_of(call);
    const int n = call.args.integer(0);
    check_output_size("n", n, element.port_count(), "ports of the element");
    ResultArray currents(n, complex_items);
    for (int i = 0; i < n; ++i) currents.complexes()[i] = element.ports[i].current;
    return currents.release();
}

PyObject* element_get_port_potential(const Call& call) {
    const Element& element = element_of(call);
    const int index = call.args.integer(0);
    element.check_port_index(index);
    return complex_result(element.ports[index].connection->get_potential());
}

PyObject* element_get_port_current(const Call& call) {
    const Element& element = element_of(call);
    const int index = call.args.integer(0);
    element.check_port_index(index);
    return complex_result(element.ports[index].current);
}

// --- CyBranch ------------------------------------------------------------------------------

PyObject* branch_connect_side(const Call& call) {
    Element& other = element_argument(call, 0);
    const IndexPairs connections = call.args.pairs(1);
    engine_as<Branch>(call).connect_side(other, connections, call.args.truth(2));
    Py_RETURN_NONE;
}

// The first n1 entries of side 1 and the first n2 of side 2, each read from a side port.
template <class Read>
PyObject* side_values(const Call& call, Read read) {
    const Branch& branch = engine_as<Branch>(call);
    const int n1 = call.args.integer(0);
    const int n2 = call.args.integer(1);
    check_output_size("n1", n1, static_cast<int>(branch.side1.size()), "ports of side 1");
    check_output_size("n2", n2, static_cast<int>(branch.side2.size()), "ports of side 2");
    ResultArray first(n1, complex_items);
    for (int k = 0; k < n1; ++k) first.complexes()[k] = read(*branch.side1[k]);
    ResultArray second(n2, complex_items);
    for (int k = 0; k < n2; ++k) second.complexes()[k] = read(*branch.side2[k]);
    return pair_result(first.release(), second.release());
}

PyObject* branch_get_side_potentials(const Call& call) {
    return side_values(call, [](const Port& port) { return port.connection->get_potential(); });
}

PyObject* branch_get_side_currents(const Call& call) {
    return side_values(call, [](const Port& port) { return port.current; });
}

// --- CySwitch, CyOpenSwitch ----------------------------------------------------------------

void* build_switch(const Arguments& args) { return owned_element(new Switch(args.integer(0))); }
void* build_open_switch(const Arguments& args) {
    return owned_element(new OpenSwitch(args.integer(0)));
}

// --- CyBus ---------------------------------------------------------------------------------

void* build_bus(const Arguments& args) {
    const int n = args.integer(0);
    return owned_element(new Bus(n, args.complex_values(1, n)));
}

PyObject* bus_initialize_potentials(const Call& call) {
    Bus& bus = engine_as<Bus>(call);
    bus.initialize_potentials(call.args.complex_values(0, bus.port_count()));
    Py_RETURN_NONE;
}

// --- CyGround, CyPotentialRef, CyDeltaPotentialRef -----------------------------------------

void* build_ground(const Arguments&) { return owned_element(new Ground()); }
void* build_potential_ref(const Arguments&) { return owned_element(new PotentialRef()); }
void* build_delta_potential_ref(const Arguments& args) {
    return owned_element(new DeltaPotentialRef(args.integer(0)));
}

template <class Reference>
PyObject* reference_get_current(const Call& call) {
    return complex_result(engine_as<Reference>(call).get_current());
}

// --- CyVoltageSource, CyDeltaVoltageSource -------------------------------------------------

// n ports and the n-1 voltages voltages[0 .. n-2].
template <class Source>
void* build_source(const Arguments& args) {
    const int n = args.integer(0);
    return owned_element(new Source(n, args.complex_values(1, static_cast<long long>(n) - 1)));
}

// A source's voltages, one per phase (star) or per pair of consecutive ports (delta).
struct SourceVoltages {
    static constexpr UpdateNames names{"voltage", "voltages", "source", "voltage"};
    template <class Source>
    static int count(const Source& source) {
        return source.voltage_count();
    }
    template <class Source>
    static void update(Source& source, const Complex* values) {
        source.update_voltages(values);
    }
};

const Constructor switch_constructor({param::integer("n")}, build_switch);
const Constructor open_switch_constructor({param::integer("n")}, build_open_switch);
const Constructor bus_constructor({param::integer("n"), param::complex_buffer("potentials")},
                                  build_bus);
const Constructor ground_constructor = Constructor::ignoring_arguments(build_ground);
const Constructor potential_ref_constructor = Constructor::ignoring_arguments(build_potential_ref);
const Constructor delta_potential_ref_constructor({param::integer("n")}, build_delta_potential_ref);
const Constructor voltage_source_constructor(
    {param::integer("n"), param::complex_buffer("voltages")}, build_source<VoltageSource>);
const Constructor delta_voltage_source_constructor(
    {param::integer("n"), param::complex_buffer("voltages")}, build_source<DeltaVoltageSource>);

}  // namespace

const TypeDefinition cy_element_type{
    "element",
    destroy_element,
    nullptr,
    {
        MethodSpec("connect",
                   {param::wrapper("cy_element", TypeId::CyElement), param::pairs("connections")},
                   element_connect),
        MethodSpec("connect_ports", {param::int_buffer("ports")}, element_connect_ports),
        MethodSpec("disconnect", {}, element_disconnect),
        MethodSpec("get_potentials", {param::integer("n")}, element_get_potentials),
        MethodSpec("get_currents", {param::integer("n")}, element_get_currents),
        MethodSpec("get_port_potential", {param::integer("index")}, element_get_port_potential),
        MethodSpec("get_port_current", {param::integer("index")}, element_get_port_current),
    },
};

const TypeDefinition cy_branch_type{
    "element",
    destroy_element,
    nullptr,
    {
        MethodSpec("connect_side",
                   {param::wrapper("element", TypeId::CyElement), param::pairs("connections"),
                    param::truth("beginning")},
                   branch_connect_side),
        MethodSpec("get_side_potentials", {param::integer("n1"), param::integer("n2")},
                   branch_get_side_potentials),
        MethodSpec("get_side_currents", {param::integer("n1"), param::integer("n2")},
                   branch_get_side_currents),
    },
};

const TypeDefinition cy_switch_type{"element", destroy_element, &switch_constructor, {}};

const TypeDefinition cy_open_switch_type{"element", destroy_element, &open_switch_constructor, {}};

const TypeDefinition cy_bus_type{
    "element",
    destroy_element,
    &bus_constructor,
    {
        MethodSpec("initialize_potentials", {param::complex_buffer("potentials")},
                   bus_initialize_potentials),
    },
};

const TypeDefinition cy_ground_type{"element", destroy_element, &ground_constructor, {}};

const TypeDefinition cy_potential_ref_type{
    "element",
    destroy_element,
    &potential_ref_constructor,
    {MethodSpec("get_current", {}, reference_get_current<PotentialRef>)},
};

const TypeDefinition cy_delta_potential_ref_type{
    "element",
    destroy_element,
    &delta_potential_ref_constructor,
    {MethodSpec("get_current", {}, reference_get_current<DeltaPotentialRef>)},
};

const TypeDefinition cy_voltage_source_type{
    "element",
    destroy_element,
    &voltage_source_constructor,
    {
        MethodSpec("update_voltages", {param::complex_buffer("voltages")},
                   update_list<VoltageSource, SourceVoltages>),
        MethodSpec("update_voltage", {param::complex("voltage")},
                   update_single<VoltageSource, SourceVoltages>),
    },
};

const TypeDefinition cy_delta_voltage_source_type{
    "element",
    destroy_element,
    &delta_voltage_source_constructor,
    {
        MethodSpec("update_voltages", {param::complex_buffer("voltages")},
                   update_list<DeltaVoltageSource, SourceVoltages>),
    },
};

}  // namespace meshvolt::ohmweave
