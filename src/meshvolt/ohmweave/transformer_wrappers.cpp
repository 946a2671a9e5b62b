#include "transformer_wrappers.hpp"

#include "element_wrappers.hpp"
#include "results.hpp"
#include "transformers/center_transformer.hpp"
#include "transformers/single_transformer.hpp"
#include "transformers/three_phase_transformer.hpp"

namespace meshvolt::ohmweave {

namespace {

// --- CyTransformer -------------------------------------------------------------------------

PyObject* transformer_update(const Call& call) {
    engine_as<TransformerBase>(call).update_transformer_parameters(
        call.args.complex(0), call.args.complex(1), call.args.complex(2));
    Py_RETURN_NONE;
}

PyObject* two_floats(const std::pair<double, double>& values) {
    PyRef first(float_result(values.first));
    PyRef second(float_result(values.second));
    return pair_result(first.release(), second.release());
}

PyObject* transformer_open_circuit(const Call& call) {
    return two_floats(engine_as<TransformerBase>(call).compute_open_circuit_parameters(
        call.args.real(0), call.args.real(1), call.args.real(2)));
}

PyObject* transformer_short_circuit(const Call& call) {
    return two_floats(engine_as<TransformerBase>(call).compute_short_circuit_parameters(
        call.args.real(0), call.args.real(1), call.args.real(2)));
}

// --- the concrete transformers -------------------------------------------------------------

// The engine refuses winding codes and port counts that do not match them (the winding matrices
// read exactly 3 or 4 potentials per side).
void* build_three_phase_transformer(const Arguments& args) {
    return owned_element(new ThreePhaseTransformer(args.integer(0), args.integer(1), args.text(2),
                                                   args.text(3), args.complex(4), args.complex(5),
                                                   args.real(6), args.integer(7)));
}

void* build_single_transformer(const Arguments& args) {
    return owned_element(new SingleTransformer(args.complex(0), args.complex(1), args.complex(2)));
}

void* build_center_transformer(const Arguments& args) {
    return owned_element(new CenterTransformer(args.complex(0), args.complex(1), args.real(2)));
}

const Constructor three_phase_transformer_constructor(
    {param::integer("n1"), param::integer("n2"), param::string("whv"), param::string("wlv"),
     param::complex("z2"), param::complex("ym"), param::real("k"), param::integer("clock")},
    build_three_phase_transformer);
const Constructor single_transformer_constructor(
    {param::complex("z2"), param::complex("ym"), param::complex("k")}, build_single_transformer);
const Constructor center_transformer_constructor(
    {param::complex("z2"), param::complex("ym"), param::real("k")}, build_center_transformer);

}  // namespace

const TypeDefinition cy_transformer_type{
    "element",
    destroy_element,
    nullptr,
    {
        MethodSpec("update_transformer_parameters",
                   {param::complex("z2"), param::complex("ym"), param::complex("k")},
                   transformer_update),
        MethodSpec("compute_open_circuit_parameters",
                   {param::real("uhv"), param::real("ulv"), param::real("sn")},
                   transformer_open_circuit),
        MethodSpec("compute_short_circuit_parameters",
                   {param::real("uhv"), param::real("ulv"), param::real("sn")},
                   transformer_short_circuit),
    },
};

const TypeDefinition cy_three_phase_transformer_type{
    "element", destroy_element, &three_phase_transformer_constructor, {}};

const TypeDefinition cy_single_transformer_type{"element", destroy_element,
                                                &single_transformer_constructor, {}};

const TypeDefinition cy_center_transformer_type{"element", destroy_element,
                                                &center_transformer_constructor, {}};

}  // namespace meshvolt::ohmweave
