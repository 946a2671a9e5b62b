#include "regulator_wrappers.hpp"

#include "element_wrappers.hpp"
#include "results.hpp"
#include "transformers/single_voltage_regulator.hpp"

namespace meshvolt::ohmweave {

namespace {

void* build_regulator(const Arguments& args) {
    return owned_element(new SingleVoltageRegulator(args.complex(0), args.complex(1), args.real(2),
                                                    args.real(3), args.real(4), args.real(5)));
}

// New z2, ym and u_ref; with an input voltage, the tap and the output-a potential too.
PyObject* regulator_update_parameters(const Call& call) {
    engine_as<SingleVoltageRegulator>(call).update_parameters(call.args.complex(0),
                                                              call.args.complex(1),
                                                              call.args.real(2));
    Py_RETURN_NONE;
}

PyObject* regulator_get_tap(const Call& call) {
    return float_result(engine_as<SingleVoltageRegulator>(call).get_tap());
}

PyObject* regulator_compute_tap(const Call& call) {
    return float_result(engine_as<SingleVoltageRegulator>(call).compute_tap(call.args.real(0)));
}

const Constructor regulator_constructor({param::complex("z2"), param::complex("ym"),
                                         param::real("u_ref"), param::real("u_range"),
                                         param::real("alpha"), param::real("phi")},
                                        build_regulator);

}  // namespace

const TypeDefinition cy_single_voltage_regulator_type{
    "element",
    destroy_element,
    &regulator_constructor,
    {
        MethodSpec("update_parameters",
                   {param::complex("z2"), param::complex("ym"), param::real("u_ref")},
                   regulator_update_parameters),
        MethodSpec("get_tap", {}, regulator_get_tap),
        MethodSpec("compute_tap", {param::real("u_in")}, regulator_compute_tap),
    },
};

}  // namespace meshvolt::ohmweave
