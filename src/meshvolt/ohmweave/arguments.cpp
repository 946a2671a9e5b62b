#include "arguments.hpp"

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "py_ref.hpp"
#include "wrapper_object.hpp"

namespace meshvolt::ohmweave {

namespace {

constexpr const char string_conversion[] = "meshvolt.ohmweave.string_from_python";
constexpr const char pair_conversion[] = "meshvolt.ohmweave.index_pair_from_python";
constexpr const char pairs_conversion[] = "meshvolt.ohmweave.index_pairs_from_python";

constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

void arity_error(const char* function, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function, "exactly", expected, expected == 1 ? "" : "s", given);
}

void incorrect_type(const char* name, const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(value)->tp_name);
}

// Description of a buffer item code in dtype-mismatch messages.
const char* describe_code(char code, bool complex) {
    if (complex) {
        switch (code) {
            case 'f': return "'complex float'";
            case 'd': return "'complex double'";
            case 'g': return "'complex long double'";
            default: return "an unsupported complex item";
        }
    }
    switch (code) {
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case '?': return "'bool'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'n': return "'Py_ssize_t'";
        case 'N': return "'size_t'";
        case 'e': return "'half float'";
        case 'f': return "'float'";
        case 'd': return "'double'";
        case 'g': return "'long double'";
        case 'O': return "Python object";
        case 'T': return "a struct";
        case 'P': return "a pointer";
        case 's':
        case 'p': return "a string";
        default: return nullptr;
    }
}

// Size of a signed integer code: native sizes, or the standard sizes of the struct module when
// the format gave a byte order.
Py_ssize_t signed_integer_size(char code, bool standard) {
    switch (code) {
        case 'b': return 1;
        case 'h': return standard ? 2 : static_cast<Py_ssize_t>(sizeof(short));
        case 'i': return standard ? 4 : static_cast<Py_ssize_t>(sizeof(int));
        case 'l': return standard ? 4 : static_cast<Py_ssize_t>(sizeof(long));
        case 'q': return 8;
        default: return 0;
    }
}

// Checks the format of a buffer against the item kind; false with ValueError set.
bool check_format(const char* format, const ItemKind& kind) {
    const char* f = format ? format : "B";
    bool standard = false;
    bool big_endian = !little_endian;
    switch (*f) {
        case '@': ++f; break;
        case '=': standard = true; ++f; break;
        case '<': standard = true; big_endian = false; ++f; break;
        case '>':
        case '!': standard = true; big_endian = true; ++f; break;
        default: break;
    }
    if (big_endian != !little_endian) {
        PyErr_SetString(PyExc_ValueError,
                        little_endian
                            ? "Big-endian buffer not supported on little-endian compiler"
                            : "Little-endian buffer not supported on big-endian compiler");
        return false;
    }
    const bool complex = *f == 'Z';
    if (complex) ++f;
    const char code = *f;
    const char* found = describe_code(code, complex);
    if (!found || (code != 'T' && f[1] != '\0')) {
        PyErr_Format(PyExc_ValueError, "Buffer format string not understood: '%.200s'", format);
        return false;
    }
    bool matches = f[1] == '\0' && complex == kind.complex;
    if (matches) {
        if (kind.code == 'i')
            matches = signed_integer_size(code, standard) == kind.size;
        else
            matches = code == kind.code;
    }
    if (!matches) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     kind.name, "'", found);
        return false;
    }
    return true;
}

bool int_from_long(PyObject* value, int& out) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) {
        // Beyond 64 bits: the interpreter's own conversion reports it.
        (void)PyLong_AsLong(value);
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    if (v >= INT_MIN && v <= INT_MAX) {
        out = static_cast<int>(v);
        return true;
    }
    const unsigned long long magnitude =
        v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    if (magnitude < (1ULL << 60))
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", "int");
    else
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    return false;
}

// One pair of integers: a tuple or list of two items, or any iterable that yields two.
bool pair_from_python(PyObject* item, std::pair<int, int>& pair) {
    PyRef first;
    PyRef second;
    if (PyTuple_Check(item) || PyList_Check(item)) {
        const Py_ssize_t size =
            PyTuple_Check(item) ? PyTuple_GET_SIZE(item) : PyList_GET_SIZE(item);
        if (size > 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                         Py_ssize_t{2});
            return false;
        }
        if (size < 2) {
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", size,
                         size == 1 ? "" : "s");
            return false;
        }
        first = PyRef::borrow(PySequence_Fast_ITEMS(item)[0]);
        second = PyRef::borrow(PySequence_Fast_ITEMS(item)[1]);
    } else {
        PyRef iterator(PyObject_GetIter(item));
        if (!iterator) return false;
        PyRef* targets[] = {&first, &second};
        for (Py_ssize_t k = 0; k < 2; ++k) {
            targets[k]->reset(PyIter_Next(iterator.get()));
            if (!*targets[k]) {
                if (PyErr_Occurred()) return false;
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", k,
                             k == 1 ? "" : "s");
                return false;
            }
        }
        PyRef extra(PyIter_Next(iterator.get()));
        if (extra) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                         Py_ssize_t{2});
            return false;
        }
        if (PyErr_Occurred()) return false;
    }
    return int_from_python(first.get(), pair.first) && int_from_python(second.get(), pair.second);
}

bool add_pair(PyObject* item, IndexPairs& pairs) {
    std::pair<int, int> pair;
    if (!pair_from_python(item, pair)) {
        add_traceback(pair_conversion, SourceLine::here());
        return false;
    }
    pairs.push_back(pair);
    return true;
}

// The sequence of pairs, in iteration order.
bool pairs_from_python(PyObject* sequence, IndexPairs& pairs) {
    if (PyList_Check(sequence) || PyTuple_Check(sequence)) {
        const bool list = PyList_Check(sequence);
        pairs.reserve(static_cast<std::size_t>(list ? PyList_GET_SIZE(sequence)
                                                    : PyTuple_GET_SIZE(sequence)));
        // A list may change while its items are converted: its length is read at every step.
        for (Py_ssize_t k = 0; k < (list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence));
             ++k) {
            PyRef item = PyRef::borrow(list ? PyList_GET_ITEM(sequence, k)
                                            : PyTuple_GET_ITEM(sequence, k));
            if (!add_pair(item.get(), pairs)) return false;
        }
        return true;
    }
    PyRef iterator(PyObject_GetIter(sequence));
    if (!iterator) return false;
    const Py_ssize_t hint = PyObject_LengthHint(sequence, 0);
    if (hint < 0) return false;
    pairs.reserve(static_cast<std::size_t>(hint));
    while (PyRef item{PyIter_Next(iterator.get())}) {
        if (!add_pair(item.get(), pairs)) return false;
    }
    return !PyErr_Occurred();
}

// The `string` kind: str as UTF-8, bytes or bytearray (or subclasses) with their exact length.
bool string_from_python(PyObject* object, std::string& text) {
    const char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyUnicode_Check(object)) {
        data = PyUnicode_AsUTF8AndSize(object, &length);
        if (!data) return false;
    } else if (PyByteArray_Check(object)) {
        data = PyByteArray_AS_STRING(object);
        length = PyByteArray_GET_SIZE(object);
    } else if (PyBytes_AsStringAndSize(object, const_cast<char**>(&data), &length) < 0) {
        return false;
    }
    text.assign(data, static_cast<std::size_t>(length));
    return true;
}

}  // namespace

std::string Parameter::declaration() const {
    switch (kind) {
        case Kind::integer: return "int";
        case Kind::real: return "double";
        case Kind::truth: return "bool";
        case Kind::complex: return "double complex";
        case Kind::string: return "string";
        case Kind::exact_str: return "str";
        case Kind::wrapper: return type_row(type).short_name();
        case Kind::complex_buffer: return "double complex[::1]";
        case Kind::int_buffer: return "int[::1]";
        case Kind::double_buffer: return "double[::1]";
        case Kind::object_buffer: return "object[::1]";
        case Kind::pairs:
        case Kind::any: return "";
    }
    return "";
}

bool intern_parameter_names(const std::vector<Parameter>& parameters) {
    if (parameters.size() > max_parameters) {
        PyErr_Format(PyExc_SystemError, "a function of %zu parameters exceeds the %zu an argument "
                     "list holds", parameters.size(), max_parameters);
        return false;
    }
    for (const Parameter& p : parameters) {
        if (p.interned) continue;
        p.interned = PyUnicode_InternFromString(p.name);
        if (!p.interned) return false;
    }
    return true;
}

const ItemKind complex_items{"double complex", 16, 'd', true, alignof(Complex)};
const ItemKind int_items{"int", 4, 'i', false, alignof(int)};
const ItemKind double_items{"double", 8, 'd', false, alignof(double)};
const ItemKind object_items{"CyFlexibleParameter", static_cast<Py_ssize_t>(sizeof(PyObject*)), 'O',
                            false, alignof(PyObject*)};

bool BufferView::acquire(PyObject* object, const ItemKind& kind, bool written_in_place) {
    release();
    if (object == Py_None) {
        none_ = true;
        return true;
    }
    if (PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0)
        return false;
    held_ = true;
    if (view_.ndim != 1) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", 1, view_.ndim);
    } else if (check_format(view_.format, kind)) {
        if (view_.itemsize != kind.size) {
            PyErr_Format(
                PyExc_ValueError,
                "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                static_cast<size_t>(view_.itemsize), view_.itemsize > 1 ? "s" : "", kind.name,
                static_cast<size_t>(kind.size), kind.size > 1 ? "s" : "");
        } else if (view_.suboffsets && view_.suboffsets[0] >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer not compatible with direct access in dimension %d.", 0);
        } else if (view_.shape[0] > 1 && view_.strides && view_.strides[0] != view_.itemsize) {
            PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
        } else if (reinterpret_cast<std::uintptr_t>(view_.buf) % kind.alignment == 0) {
            return true;
        } else if (written_in_place) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer of '%s' items is not aligned to %zu bytes and cannot be written",
                         kind.name, kind.alignment);
        } else {
            const auto bytes = static_cast<std::size_t>(view_.shape[0] * view_.itemsize);
            aligned_copy_.resize((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
            std::memcpy(aligned_copy_.data(), view_.buf, bytes);
            return true;
        }
    }
    release();
    return false;
}

void BufferView::release() {
    if (held_) PyBuffer_Release(&view_);
    aligned_copy_.clear();
    held_ = false;
    none_ = false;
}

Arguments::Arguments(const std::vector<Parameter>& parameters) : parameters_(parameters) {}

bool Arguments::bind(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(parameters_.size());
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > n || (keywords == 0 && nargs != n)) {
        arity_error(function, n, nargs);
        return false;
    }
    for (Py_ssize_t k = 0; k < nargs; ++k) slots_[k].object = args[k];
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
            return false;
        }
        Py_ssize_t index = -1;
        for (Py_ssize_t p = 0; p < n && index < 0; ++p)
            if (parameters_[p].interned == key) index = p;
        for (Py_ssize_t p = 0; p < n && index < 0; ++p) {
            const int equal = parameters_[p].interned
                                  ? PyUnicode_Compare(parameters_[p].interned, key)
                                  : PyUnicode_CompareWithASCIIString(key, parameters_[p].name);
            if (equal == -1 && PyErr_Occurred()) return false;
            if (equal == 0) index = p;
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         key);
            return false;
        }
        if (slots_[index].object) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function, key);
            return false;
        }
        slots_[index].object = args[nargs + k];
    }
    for (Py_ssize_t p = 0; p < n; ++p) {
        if (!slots_[p].object) {
            arity_error(function, n, p);
            return false;
        }
    }
    return true;
}

bool Arguments::convert() {
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        Slot& slot = slots_[i];
        PyObject* o = slot.object;
        switch (parameters_[i].kind) {
            case Kind::integer:
                if (!int_from_python(o, slot.integer)) return false;
                break;
            case Kind::real:
                slot.real = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
                if (slot.real == -1.0 && PyErr_Occurred()) return false;
                break;
            case Kind::truth: {
                const int truth = o == Py_True                      ? 1
                                  : (o == Py_False || o == Py_None) ? 0
                                                                    : PyObject_IsTrue(o);
                if (truth < 0) return false;
                slot.truth = truth != 0;
                break;
            }
            case Kind::complex: {
                const Py_complex c = PyComplex_AsCComplex(o);
                if (c.real == -1.0 && PyErr_Occurred()) return false;
                slot.complex = Complex(c.real, c.imag);
                break;
            }
            case Kind::string:
                if (!string_from_python(o, slot.text)) {
                    add_traceback(string_conversion, SourceLine::here());
                    return false;
                }
                break;
            case Kind::complex_buffer:
                if (!slot.buffer.acquire(o, complex_items)) return false;
                break;
            case Kind::int_buffer:
                if (!slot.buffer.acquire(o, int_items)) return false;
                break;
            case Kind::double_buffer:
                if (!slot.buffer.acquire(o, double_items)) return false;
                break;
            case Kind::object_buffer:
                if (!slot.buffer.acquire(o, object_items)) return false;
                break;
            case Kind::exact_str:
            case Kind::wrapper:
            case Kind::pairs:
            case Kind::any:
                break;
        }
    }
    return true;
}

bool Arguments::test_types() {
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        const Parameter& p = parameters_[i];
        PyObject* o = slots_[i].object;
        if (p.kind == Kind::exact_str && !PyUnicode_CheckExact(o)) {
            incorrect_type(p.name, "str", o);
            return false;
        }
        if (p.kind == Kind::wrapper) {
            PyTypeObject* expected = type_object(p.type);
            if (!PyObject_TypeCheck(o, expected)) {
                incorrect_type(p.name, expected->tp_name, o);
                return false;
            }
            if (!engine_pointer(o)) {
                PyErr_Format(PyExc_TypeError,
                             "Argument '%.200s' is an instance of the abstract type %.200s, which "
                             "holds no engine object",
                             p.name, Py_TYPE(o)->tp_name);
                return false;
            }
        }
    }
    return true;
}

void* Arguments::engine(std::size_t i) const { return engine_pointer(slots_[i].object); }

void Arguments::check_needed(std::size_t i, long long needed, SourceLine where) const {
    const BufferView& b = slots_[i].buffer;
    const char* name = parameters_[i].name;
    if (needed <= 0) return;
    if (b.is_none())
        raise_error(PyExc_TypeError, "Argument '" + std::string(name) + "' is None where " +
                                         std::to_string(needed) + " values are needed",
                    where);
    if (b.size() < needed)
        raise_error(PyExc_ValueError, "Argument '" + std::string(name) + "' holds " +
                                          std::to_string(b.size()) + " values where " +
                                          std::to_string(needed) + " are needed",
                    where);
}

const Complex* Arguments::complex_values(std::size_t i, long long needed) const {
    check_needed(i, needed, SourceLine::here());
    return static_cast<const Complex*>(slots_[i].buffer.data());
}

const double* Arguments::double_values(std::size_t i, long long needed) const {
    check_needed(i, needed, SourceLine::here());
    return static_cast<const double*>(slots_[i].buffer.data());
}

const int* Arguments::int_values(std::size_t i, Py_ssize_t& count) const {
    const BufferView& b = slots_[i].buffer;
    if (b.is_none())
        raise_error(PyExc_TypeError, "Argument '" + std::string(parameters_[i].name) +
                                         "' is None where a buffer is needed");
    count = b.size();
    return static_cast<const int*>(b.data());
}

std::vector<void*> Arguments::wrapper_items(std::size_t i, long long count, TypeId type) const {
    std::vector<void*> engines;
    if (count <= 0) return engines;
    check_needed(i, count, SourceLine::here());
    PyObject* const* items = static_cast<PyObject* const*>(slots_[i].buffer.data());
    PyTypeObject* expected = type_object(type);
    const std::string name = parameters_[i].name;
    engines.reserve(static_cast<std::size_t>(count));
    for (long long k = 0; k < count; ++k) {
        PyObject* item = items[k];
        const std::string position = "Item " + std::to_string(k) + " of '" + name + "'";
        if (!item || !PyObject_TypeCheck(item, expected))
            raise_error(PyExc_TypeError, position + " has incorrect type (expected " +
                                             expected->tp_name + ", got " +
                                             (item ? Py_TYPE(item)->tp_name : "NULL") + ")");
        if (!engine_pointer(item))
            raise_error(PyExc_TypeError, position + " is an instance of the abstract type " +
                                             Py_TYPE(item)->tp_name +
                                             ", which holds no engine object");
        engines.push_back(engine_pointer(item));
    }
    return engines;
}

IndexPairs Arguments::pairs(std::size_t i, SourceLine where) const {
    IndexPairs result;
    if (!pairs_from_python(slots_[i].object, result)) {
        add_traceback(pairs_conversion, SourceLine::here());
        throw_python_error(where);
    }
    return result;
}

std::string Arguments::utf8(std::size_t i, SourceLine where) const {
    std::string text;
    if (!string_from_python(slots_[i].object, text)) {
        add_traceback(string_conversion, SourceLine::here());
        throw_python_error(where);
    }
    return text;
}

bool int_from_python(PyObject* object, int& value) {
    if (PyLong_Check(object)) return int_from_long(object, value);
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number && number->nb_int) {
        PyRef result(number->nb_int(object));
        if (!result) return false;
        if (!PyLong_CheckExact(result.get())) {
            const char* type_name = Py_TYPE(result.get())->tp_name;
            if (!PyLong_Check(result.get())) {
                PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", type_name);
                return false;
            }
            if (PyErr_WarnFormat(
                    PyExc_DeprecationWarning, 1,
                    "__int__ returned non-int (type %.200s).  The ability to return an "
                    "instance of a strict subclass of int is deprecated, and may be "
                    "removed in a future version of Python.",
                    type_name) < 0)
                return false;
        }
        return int_from_long(result.get(), value);
    }
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return false;
}

}  // namespace meshvolt::ohmweave
