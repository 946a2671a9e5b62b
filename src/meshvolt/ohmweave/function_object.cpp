#include "function_object.hpp"

#include <cstddef>
#include <string>

#include "errors.hpp"
#include "py_ref.hpp"
#include "type_table.hpp"
#include "wrapper_object.hpp"

namespace meshvolt::ohmweave {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    TypeId owner;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* text_signature;
    PyObject* traceback_name;
};

PyTypeObject function_type;

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (f->owner != TypeId::object) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", f->spec->name, "needs an argument");
            return nullptr;
        }
        self = args[0];
        PyTypeObject* owner = type_object(f->owner);
        if (!PyObject_TypeCheck(self, owner)) {
            PyErr_Format(PyExc_TypeError,
                         "%.200s() needs a '%.200s' instance as its first argument, not '%.200s'",
                         f->spec->name, owner->tp_name, Py_TYPE(self)->tp_name);
            return nullptr;
        }
        ++args;
        --nargs;
    }
    return invoke(*f->spec, self, f->owner, f->spec->name, PyUnicode_AsUTF8(f->traceback_name),
                  args, nargs, kwnames);
}

// A function stored in a type's dictionary binds to the instance it is read from.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None || as_function(self)->owner == TypeId::object)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->text_signature);
    Py_XDECREF(f->traceback_name);
    Py_TYPE(self)->tp_free(self);
}

// A function object holds strings only, which take part in no cycle. It is a collected type all the
// same: the free-threaded interpreter defers reference counting only for such objects.
int function_traverse(PyObject*, visitproc, void*) { return 0; }

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<ohmweave_function %U>", as_function(self)->qualname);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
PyObject* get_text_signature(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->text_signature);
}
PyObject* get_module(PyObject*, void*) { return PyUnicode_FromString("meshvolt.ohmweave"); }
PyObject* get_objclass(PyObject* self, void*) {
    const TypeId owner = as_function(self)->owner;
    if (owner == TypeId::object) {
        PyErr_SetString(PyExc_AttributeError, "__objclass__");
        return nullptr;
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(type_object(owner)));
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// "CyElement.connect(self, CyElement cy_element, connections)" and "($self, cy_element,
// connections)"; a module function has no `self`.
void describe(const MethodSpec& spec, const std::string& qualname, bool method, std::string& doc,
              std::string& signature) {
    doc = qualname + "(";
    signature = "(";
    bool first = true;
    if (method) {
        doc += "self";
        signature += "$self";
        first = false;
    }
    for (const Parameter& p : spec.parameters) {
        const std::string declared = p.declaration();
        if (!first) {
            doc += ", ";
            signature += ", ";
        }
        first = false;
        doc += declared.empty() ? std::string(p.name) : declared + " " + p.name;
        signature += p.name;
    }
    doc += ")";
    signature += ")";
}

}  // namespace

bool ready_function_type() {
    PyTypeObject* t = &function_type;
    if (t->tp_flags & Py_TPFLAGS_READY) return true;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(t), 1);
    t->tp_name = "ohmweave_function";
    t->tp_basicsize = sizeof(FunctionObject);
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                  Py_TPFLAGS_HAVE_GC;
    t->tp_traverse = function_traverse;
    t->tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t->tp_call = PyVectorcall_Call;
    t->tp_descr_get = function_descr_get;
    t->tp_dealloc = function_dealloc;
    t->tp_repr = function_repr;
    t->tp_getset = function_getset;
    return PyType_Ready(t) == 0;
}

PyObject* new_function(const MethodSpec& spec, TypeId owner) {
    if (!intern_parameter_names(spec.parameters)) return nullptr;
    const bool method = owner != TypeId::object;
    const std::string qualname =
        method ? std::string(type_row(owner).short_name()) + "." + spec.name : spec.name;
    std::string doc;
    std::string signature;
    describe(spec, qualname, method, doc, signature);
    const std::string traceback_name = "meshvolt.ohmweave." + qualname;

    PyRef object(function_type.tp_alloc(&function_type, 0));
    if (!object) return nullptr;
    FunctionObject* f = as_function(object.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->owner = owner;
    f->name = PyUnicode_InternFromString(spec.name);
    f->qualname = PyUnicode_FromString(qualname.c_str());
    f->doc = PyUnicode_FromString(doc.c_str());
    f->text_signature = PyUnicode_FromString(signature.c_str());
    f->traceback_name = PyUnicode_FromString(traceback_name.c_str());
    if (!f->name || !f->qualname || !f->doc || !f->text_signature || !f->traceback_name)
        return nullptr;
    enable_deferred_refcount(object.get());
    return object.release();
}

PyObject* invoke(const MethodSpec& spec, PyObject* self, TypeId owner, const char* function,
                 const char* traceback_name, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
    Arguments arguments(spec.parameters);
    return call_with_catch(traceback_name, spec.where, [&]() -> PyObject* {
        if (!arguments.bind(function, args, nargs, kwnames) || !arguments.convert() ||
            !arguments.test_types())
            throw_python_error(spec.where);
        if (spec.needs_engine && self && !engine_pointer(self)) {
            PyErr_Format(PyExc_TypeError,
                         "%.200s() called on an instance of the abstract type %.200s, which holds "
                         "no engine object",
                         function, Py_TYPE(self)->tp_name);
            throw_python_error(spec.where);
        }
        PyObject* result = spec.body(Call{self, arguments, owner});
        if (result) return result;
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%.200s() failed without setting an error", function);
        throw_python_error(spec.where);
    });
}

void refuse_engine_kind(const Call& call) {
    raise_error(PyExc_TypeError, std::string("the methods of ") +
                                     type_row(call.owner).short_name() +
                                     " do not apply to the engine object of this " +
                                     Py_TYPE(call.self)->tp_name + " instance");
}

}  // namespace meshvolt::ohmweave
