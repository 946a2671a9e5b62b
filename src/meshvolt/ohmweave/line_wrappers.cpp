#include "line_wrappers.hpp"

#include <stdexcept>
#include <string>

#include "element_wrappers.hpp"
#include "model/line.hpp"
#include "model/shunt_line.hpp"

namespace meshvolt::ohmweave {

namespace {

// The entries of an n x n matrix: what the engine reads from each matrix buffer. A line without
// a phase reads nothing (the engine refuses it first).
long long matrix_entries(int n) { return n > 0 ? static_cast<long long>(n) * n : 0; }

// A negative phase count is refused as the port array refuses a negative size; checked here for
// every negative n, also where the port count 2n (+1) would not fit an int.
void refuse_negative_phase_count(int n) {
    if (n < 0) throw std::length_error("vector::reserve");
}

// The single-value updates hold the whole 1 x 1 matrix of a single-phase line.
void require_single_phase(int phases, SourceLine where = SourceLine::here()) {
    if (phases != 1)
        raise_error(PyExc_ValueError,
                    "update_single_line_parameters() sets the parameters of a single-phase line; "
                    "this line has " + std::to_string(phases) +
                        " phases, use update_line_parameters()",
                    where);
}

// --- CySimplifiedLine ----------------------------------------------------------------------

void* build_simplified_line(const Arguments& args) {
    const int n = args.integer(0);
    refuse_negative_phase_count(n);
    return owned_element(new SimplifiedLine(n, args.complex_values(1, matrix_entries(n))));
}

PyObject* simplified_line_update(const Call& call) {
    SimplifiedLine& line = engine_as<SimplifiedLine>(call);
    line.update_line_parameters(call.args.complex_values(0, matrix_entries(line.phase_count())));
    Py_RETURN_NONE;
}

PyObject* simplified_line_update_single(const Call& call) {
    SimplifiedLine& line = engine_as<SimplifiedLine>(call);
    require_single_phase(line.phase_count());
    const Complex z_line = call.args.complex(0);
    line.update_line_parameters(&z_line);
    Py_RETURN_NONE;
}

// --- CyShuntLine ---------------------------------------------------------------------------

void* build_shunt_line(const Arguments& args) {
    const int n = args.integer(0);
    refuse_negative_phase_count(n);
    const Complex* y_shunt = args.complex_values(1, matrix_entries(n));
    const Complex* z_line = args.complex_values(2, matrix_entries(n));
    return owned_element(new ShuntLine(n, y_shunt, z_line));
}

PyObject* shunt_line_update(const Call& call) {
    ShuntLine& line = engine_as<ShuntLine>(call);
    const Complex* y_shunt = call.args.complex_values(0, matrix_entries(line.phase_count));
    const Complex* z_line = call.args.complex_values(1, matrix_entries(line.phase_count));
    line.update_line_parameters(y_shunt, z_line);
    Py_RETURN_NONE;
}

PyObject* shunt_line_update_single(const Call& call) {
    ShuntLine& line = engine_as<ShuntLine>(call);
    require_single_phase(line.phase_count);
    const Complex y_shunt = call.args.complex(0);
    const Complex z_line = call.args.complex(1);
    line.update_line_parameters(&y_shunt, &z_line);
    Py_RETURN_NONE;
}

const Constructor simplified_line_constructor(
    {param::integer("n"), param::complex_buffer("z_line")}, build_simplified_line);
const Constructor shunt_line_constructor(
    {param::integer("n"), param::complex_buffer("y_shunt"), param::complex_buffer("z_line")},
    build_shunt_line);

}  // namespace

const TypeDefinition cy_simplified_line_type{
    "element",
    destroy_element,
    &simplified_line_constructor,
    {
        MethodSpec("update_line_parameters", {param::complex_buffer("z_line")},
                   simplified_line_update),
        MethodSpec("update_single_line_parameters", {param::complex("z_line")},
                   simplified_line_update_single),
    },
};

const TypeDefinition cy_shunt_line_type{
    "element",
    destroy_element,
    &shunt_line_constructor,
    {
        MethodSpec("update_line_parameters",
                   {param::complex_buffer("y_shunt"), param::complex_buffer("z_line")},
                   shunt_line_update),
        MethodSpec("update_single_line_parameters",
                   {param::complex("y_shunt"), param::complex("z_line")},
                   shunt_line_update_single),
    },
};

}  // namespace meshvolt::ohmweave
