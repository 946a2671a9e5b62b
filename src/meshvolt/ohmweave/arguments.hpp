// Arguments by kind: binding positional and keyword arguments to a function's parameters, and
// converting each to an engine value by the rule of its declared kind.
//
// Calling protocol of every wrapper:
//   1. bind the arguments (positional or by keyword name, none has a default);
//   2. convert, in parameter order, every numeric, truth-value, string and buffer parameter;
//   3. test the extension-type and exact-`str` parameters, in parameter order;
//   4. run the body, which makes its own further conversions (index pairs, the UTF-8 encoding of an
//      exact `str`) and the checks of buffer lengths against what the engine reads.
// Buffers are read in place: a view holds the exporter's buffer for the duration of the call. A
// buffer whose first item is not aligned for its item type is read from an aligned copy instead.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "compat.hpp"
#include "errors.hpp"
#include "type_table.hpp"

namespace meshvolt::ohmweave {

using Complex = std::complex<double>;
using IndexPairs = std::vector<std::pair<int, int>>;

enum class Kind {
    integer,         // "int": a signed 32-bit integer
    real,            // "double"
    truth,           // "bool": any object, by its truth value
    complex,         // "double complex"
    string,          // "string": str (as UTF-8), bytes or bytearray
    exact_str,       // "str": exactly a str
    wrapper,         // an extension type (Parameter::type) or a subtype of it
    complex_buffer,  // "double complex[::1]"
    int_buffer,      // "int[::1]"
    double_buffer,   // "double[::1]"
    object_buffer,   // a buffer of object references (NumPy arrays of dtype object)
    pairs,           // index pairs (no declared kind), converted by the body
    any,             // any object, taken as it is (no declared kind)
};

// The most parameters a function has (the three-phase transformer's constructor has 8).
constexpr std::size_t max_parameters = 8;

struct Parameter {
    const char* name;
    Kind kind;
    TypeId type = TypeId::object;
    // The name as an interned string, made at start-up: keywords match it by identity first.
    mutable PyObject* interned = nullptr;

    // The declared kind as the docstrings show it ("int", "double complex[::1]", "CyElement");
    // empty for the kinds without a declaration.
    std::string declaration() const;
};

// Parameter makers, so that a parameter list reads like the signature.
namespace param {
inline Parameter integer(const char* name) { return {name, Kind::integer}; }
inline Parameter real(const char* name) { return {name, Kind::real}; }
inline Parameter truth(const char* name) { return {name, Kind::truth}; }
inline Parameter complex(const char* name) { return {name, Kind::complex}; }
inline Parameter string(const char* name) { return {name, Kind::string}; }
inline Parameter exact_str(const char* name) { return {name, Kind::exact_str}; }
inline Parameter wrapper(const char* name, TypeId type) { return {name, Kind::wrapper, type}; }
inline Parameter complex_buffer(const char* name) { return {name, Kind::complex_buffer}; }
inline Parameter int_buffer(const char* name) { return {name, Kind::int_buffer}; }
inline Parameter double_buffer(const char* name) { return {name, Kind::double_buffer}; }
inline Parameter object_buffer(const char* name) { return {name, Kind::object_buffer}; }
inline Parameter pairs(const char* name) { return {name, Kind::pairs}; }
inline Parameter any(const char* name) { return {name, Kind::any}; }
}  // namespace param

// Interns the names of the parameters (once); refuses more than max_parameters of them.
bool intern_parameter_names(const std::vector<Parameter>& parameters);

// What one item of a buffer must be.
struct ItemKind {
    const char* name;  // in messages: "double complex", "int", "double", "CyFlexibleParameter"
    Py_ssize_t size;
    char code;         // 'd' (with complex: "Zd"), 'i' (any signed integer code of size 4), 'O'
    bool complex;
    std::size_t alignment;  // of the engine type the items are read as
};

extern const ItemKind complex_items;
extern const ItemKind int_items;
extern const ItemKind double_items;
extern const ItemKind object_items;

// A writable, one-dimensional, C-contiguous view of an exporter's buffer, held until destroyed.
// data() is aligned for the item type: a misaligned buffer is copied once when it is acquired
// (reading items through a misaligned typed pointer is undefined behaviour), or refused with
// ValueError where the items are to be written in place.
class BufferView {
  public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // None gives an empty view without any check; every other object must export a buffer whose
    // items match `kind`. Returns false with a Python error set.
    bool acquire(PyObject* object, const ItemKind& kind, bool written_in_place = false);
    void release();

    bool is_none() const { return none_; }
    Py_ssize_t size() const { return held_ ? view_.shape[0] : 0; }
    void* data() const {
        if (!held_) return nullptr;
        return aligned_copy_.empty() ? view_.buf : static_cast<void*>(aligned_copy_.data());
    }

  private:
    Py_buffer view_{};
    bool held_ = false;
    bool none_ = false;
    // The items of a misaligned buffer, in storage aligned for any item type.
    mutable std::vector<std::max_align_t> aligned_copy_;
};


class Arguments {
  public:
    explicit Arguments(const std::vector<Parameter>& parameters);
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    // Step 1. `function` names the function in the messages. Returns false with a TypeError set.
    bool bind(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // Step 2; a failing string conversion adds its own traceback entry.
    bool convert();
    // Step 3. None, and instances of the abstract types (they hold no engine object), are refused
    // for extension-type parameters.
    bool test_types();

    int integer(std::size_t i) const { return slots_[i].integer; }
    double real(std::size_t i) const { return slots_[i].real; }
    bool truth(std::size_t i) const { return slots_[i].truth; }
    Complex complex(std::size_t i) const { return slots_[i].complex; }
    const std::string& text(std::size_t i) const { return slots_[i].text; }
    PyObject* object(std::size_t i) const { return slots_[i].object; }
    const BufferView& buffer(std::size_t i) const { return slots_[i].buffer; }
    // The engine object of an extension-type parameter.
    void* engine(std::size_t i) const;

    // Buffer values the engine reads. None when `needed` values are read is a TypeError; a buffer
    // with fewer than `needed` items is a ValueError that names both counts. With nothing needed
    // the pointer may be null.
    const Complex* complex_values(std::size_t i, long long needed) const;
    const double* double_values(std::size_t i, long long needed) const;
    // All items of an int buffer (None is a TypeError).
    const int* int_values(std::size_t i, Py_ssize_t& count) const;
    // The engine objects of the first `count` items of an object buffer, each of which must be an
    // instance of `type` that holds one: TypeError naming the position otherwise, ValueError when
    // the buffer has fewer than `count` items.
    std::vector<void*> wrapper_items(std::size_t i, long long count, TypeId type) const;

    // Converts an index-pair parameter; on failure the conversion's own traceback entries are
    // added and PythonError is thrown.
    IndexPairs pairs(std::size_t i, SourceLine where = SourceLine::here()) const;
    // The UTF-8 encoding of an exact-`str` parameter, with its own traceback entry on failure.
    std::string utf8(std::size_t i, SourceLine where = SourceLine::here()) const;

  private:
    struct Slot {
        PyObject* object = nullptr;  // borrowed from the call
        int integer = 0;
        double real = 0.0;
        bool truth = false;
        Complex complex;
        std::string text;
        BufferView buffer;
    };

    void check_needed(std::size_t i, long long needed, SourceLine where) const;

    const std::vector<Parameter>& parameters_;
    std::array<Slot, max_parameters> slots_;
};

// The integer rule: a signed 32-bit integer from an int or from an object with integer
// conversion. Returns false with a Python error set.
bool int_from_python(PyObject* object, int& value);

}  // namespace meshvolt::ohmweave
