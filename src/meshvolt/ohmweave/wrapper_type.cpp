#include "wrapper_type.hpp"

#include <array>
#include <string>
#include <utility>

#include "errors.hpp"
#include "py_ref.hpp"

namespace meshvolt::ohmweave {

namespace {

const TypeDefinition& definition_of(TypeId id) { return *type_row(id).definition; }

// Whether the type or one of its bases keeps referents.
bool keeps_referents(TypeId id) {
    for (TypeId t = id; t != TypeId::object; t = type_row(t).base)
        if (definition_of(t).referents) return true;
    return false;
}

// "meshvolt.ohmweave.CyBus.__cinit__", for each row.
std::array<std::string, type_count> constructor_names;

PyObject* construct(TypeId id, PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    PyRef instance;
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
        // A Python subclass with abstract methods left: object's creation refuses it.
        PyRef empty(PyTuple_New(0));
        if (!empty) return nullptr;
        instance.reset(PyBaseObject_Type.tp_new(type, empty.get(), nullptr));
    } else {
        instance.reset(type->tp_alloc(type, 0));
    }
    if (!instance) return nullptr;
    const Constructor* constructor = definition_of(id).constructor;
    if (!constructor) return instance.release();

    const char* traceback_name = constructor_names[static_cast<int>(id)].c_str();
    Arguments arguments(constructor->parameters);
    // On failure the half-made instance is released after its traceback entry is added.
    return call_with_catch(traceback_name, constructor->where, [&]() -> PyObject* {
        if (!constructor->ignores_arguments &&
            (!arguments.bind("__cinit__", args, nargs, kwnames) || !arguments.convert() ||
             !arguments.test_types()))
            throw_python_error(constructor->where);
        reinterpret_cast<WrapperObject*>(instance.get())->engine = constructor->build(arguments);
        if (const Referents referents = definition_of(id).referents)
            reinterpret_cast<KeepingWrapperObject*>(instance.get())->referents =
                referents(arguments);
        return instance.release();
    });
}

// The creation slot: serves Python subclasses, which are called with a tuple and a dictionary.
PyObject* wrapper_create(TypeId id, PyTypeObject* type, PyObject* args, PyObject* kwds) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t keywords = kwds ? PyDict_GET_SIZE(kwds) : 0;
    PyRef values(PyTuple_New(nargs + keywords));
    PyRef kwnames(keywords ? PyTuple_New(keywords) : nullptr);
    if (!values || (keywords && !kwnames)) return nullptr;
    for (Py_ssize_t k = 0; k < nargs; ++k)
        PyTuple_SET_ITEM(values.get(), k, Py_NewRef(PyTuple_GET_ITEM(args, k)));
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    for (Py_ssize_t k = 0; keywords && PyDict_Next(kwds, &position, &key, &value); ++k) {
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        PyTuple_SET_ITEM(values.get(), nargs + k, Py_NewRef(value));
    }
    return construct(id, type, PySequence_Fast_ITEMS(values.get()), nargs, kwnames.get());
}

// The fast construction path of the type itself; any other class takes the generic protocol.
PyObject* wrapper_vectorcall(TypeId id, PyObject* callable, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (type == type_object(id) && !PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT))
        return construct(id, type, args, nargs, kwnames);
    if (!type->tp_new) {
        PyErr_Format(PyExc_TypeError, "cannot create %.200s instances", type->tp_name);
        return nullptr;
    }
    PyRef tuple(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t k = 0; k < nargs; ++k) PyTuple_SET_ITEM(tuple.get(), k, Py_NewRef(args[k]));
    PyRef dict;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        dict.reset(PyDict_New());
        if (!dict) return nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
            if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                return nullptr;
    }
    PyRef instance(type->tp_new(type, tuple.get(), dict.get()));
    if (!instance) return nullptr;
    PyTypeObject* made = Py_TYPE(instance.get());
    if (PyObject_TypeCheck(instance.get(), type) && made->tp_init &&
        made->tp_init(instance.get(), tuple.get(), dict.get()) < 0)
        return nullptr;
    return instance.release();
}

// Deletes the engine object without running Python code and without losing a pending exception.
void wrapper_dealloc(TypeId id, PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
    {
        SavedException pending;
        // Counted as referenced while its engine object goes, so that nothing revives it.
        Py_SET_REFCNT(self, Py_REFCNT(self) + 1);
        WrapperObject* wrapper = reinterpret_cast<WrapperObject*>(self);
        if (wrapper->engine) {
            definition_of(id).destroy(wrapper->engine);
            wrapper->engine = nullptr;
        }
        // Only once the engine object no longer refers to them.
        if (keeps_referents(id)) Py_CLEAR(reinterpret_cast<KeepingWrapperObject*>(self)->referents);
        Py_SET_REFCNT(self, Py_REFCNT(self) - 1);
    }
    type->tp_free(self);
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<KeepingWrapperObject*>(self)->referents);
    return 0;
}

// One instantiation per row: each type has its own creation slot, fast path and destruction.
template <int Row>
struct WrapperType {
    static PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwds) {
        return wrapper_create(static_cast<TypeId>(Row), type, args, kwds);
    }
    static PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) {
        return wrapper_vectorcall(static_cast<TypeId>(Row), callable, args, nargsf, kwnames);
    }
    static void dealloc(PyObject* self) { wrapper_dealloc(static_cast<TypeId>(Row), self); }
};

struct TypeSlots {
    newfunc create;
    vectorcallfunc vectorcall;
    destructor dealloc;
};

template <std::size_t... Rows>
constexpr std::array<TypeSlots, sizeof...(Rows)> make_slots(std::index_sequence<Rows...>) {
    return {{TypeSlots{&WrapperType<Rows>::create, &WrapperType<Rows>::vectorcall,
                       &WrapperType<Rows>::dealloc}...}};
}

constexpr std::array<TypeSlots, type_count> type_slots =
    make_slots(std::make_index_sequence<type_count>{});

// Both pickling methods of every type: the owned engine object cannot be pickled or copied.
PyObject* refuse_pickling(const Call& call) {
    const TypeDefinition& definition = definition_of(call.owner);
    if (!definition.constructor)
        raise_error(PyExc_TypeError, std::string("self.") + definition.attribute +
                                         " cannot be converted to a Python object for pickling");
    raise_error(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
}

const MethodSpec reduce_method("__reduce_cython__", {}, refuse_pickling, false);
const MethodSpec setstate_method("__setstate_cython__", {param::any("state")}, refuse_pickling,
                                 false);

bool install_pickling(PyTypeObject* type, TypeId id) {
    PyRef dict(type_dictionary(type));
    PyRef reduce(new_function(reduce_method, id));
    PyRef setstate(new_function(setstate_method, id));
    if (!dict || !reduce || !setstate ||
        PyDict_SetItemString(dict.get(), "__reduce__", reduce.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "__setstate__", setstate.get()) < 0) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                         type->tp_name);
        return false;
    }
    PyType_Modified(type);
    return true;
}

}  // namespace

bool ready_extension_type(TypeId id, PyObject* module) {
    const TypeRow& row = type_row(id);
    const int index = static_cast<int>(id);
    PyTypeObject* type = type_object(id);
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {
        const bool keeps = keeps_referents(id);
        Py_SET_REFCNT(reinterpret_cast<PyObject*>(type), 1);
        type->tp_name = row.full_name;
        type->tp_basicsize = keeps ? sizeof(KeepingWrapperObject) : sizeof(WrapperObject);
        type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_VERSION_TAG |
                         (keeps ? Py_TPFLAGS_HAVE_GC : 0);
        type->tp_dealloc = type_slots[index].dealloc;
        type->tp_new = type_slots[index].create;
        type->tp_vectorcall = type_slots[index].vectorcall;
        type->tp_traverse = keeps ? wrapper_traverse : nullptr;
        type->tp_free = keeps ? PyObject_GC_Del : PyObject_Free;
        type->tp_base = row.base == TypeId::object ? &PyBaseObject_Type : type_object(row.base);
        constructor_names[index] = std::string(row.full_name) + ".__cinit__";
        if (row.definition->constructor &&
            !intern_parameter_names(row.definition->constructor->parameters))
            return false;
        if (PyType_Ready(type) < 0) return false;
    }
    enable_deferred_refcount(reinterpret_cast<PyObject*>(type));
    if (PyModule_AddObjectRef(module, row.short_name(), reinterpret_cast<PyObject*>(type)) < 0)
        return false;
    return install_pickling(type, id);
}

bool install_methods(TypeId id) {
    PyTypeObject* type = type_object(id);
    PyRef dict(type_dictionary(type));
    if (!dict) return false;
    for (const MethodSpec& method : type_row(id).definition->methods) {
        PyRef function(new_function(method, id));
        if (!function || PyDict_SetItemString(dict.get(), method.name, function.get()) < 0)
            return false;
    }
    PyType_Modified(type);
    return true;
}

}  // namespace meshvolt::ohmweave
