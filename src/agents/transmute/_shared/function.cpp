// Native function objects with the call protocol and introspection of host functions.
// Tested in tests/test_functions.py.
#include "function.hpp"

#include <cstddef>
#include <cstring>

namespace transmute {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* module;       // strong: namespace for lookups at each call
    PyObject* module_name;  // __module__
    PyObject* annotations;  // __annotations__ (dict)
    PyObject* kwdefaults;   // __kwdefaults__ (dict or None)
    PyObject* weakrefs;
};

int parameter_count(const FunctionDef* def) { return def->n_positional + def->n_keyword_only; }

const char* parameter_name(const FunctionDef* def, int index) {
    return index < def->n_positional ? def->positional[index]
                                     : def->keyword_only[index - def->n_positional];
}

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'" as the host's own functions list missing names.
Ref join_missing(const FunctionDef* def, const int* missing, int count) {
    Ref text = Ref::steal(PyUnicode_FromString(""));
    for (int i = 0; i < count && text; ++i) {
        const char* sep = i == 0 ? "" : (i == count - 1 ? (count > 2 ? ", and " : " and ") : ", ");
        Ref piece = Ref::steal(PyUnicode_FromFormat("%s'%s'", sep, parameter_name(def, missing[i])));
        if (!piece) return {};
        text = Ref::steal(PyUnicode_Concat(text.get(), piece.get()));
    }
    return text;
}

int raise_missing(const FunctionDef* def, const int* missing, int count, const char* kind) {
    Ref names = join_missing(def, missing, count);
    if (!names) return -1;
    PyErr_Format(PyExc_TypeError, "%s() missing %d required %s argument%s: %U", def->qualname,
                 count, kind, count == 1 ? "" : "s", names.get());
    return -1;
}

// Binds positional and keyword arguments to the parameter list; fills keyword-only defaults.
int bind_arguments(FunctionObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                   PyObject** bound) {
    const FunctionDef* def = fn->def;
    const int total = parameter_count(def);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    for (int i = 0; i < total; ++i) bound[i] = nullptr;

    if (nargs > def->n_positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                     def->qualname, def->n_positional, def->n_positional == 1 ? "" : "s", nargs,
                     nargs == 1 ? "was" : "were");
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int index = -1;
        for (int i = 0; i < total; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, parameter_name(def, i)) == 0) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         def->qualname, key);
            return -1;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         def->qualname, parameter_name(def, index));
            return -1;
        }
        bound[index] = args[nargs + k];
    }

    int missing[kMaxParameters];
    int n_missing = 0;
    for (int i = 0; i < def->n_positional; ++i)
        if (bound[i] == nullptr) missing[n_missing++] = i;
    if (n_missing) return raise_missing(def, missing, n_missing, "positional");

    for (int i = def->n_positional; i < total; ++i) {
        if (bound[i] != nullptr) continue;
        if (PyDict_Check(fn->kwdefaults)) {
            PyObject* value = PyDict_GetItemString(fn->kwdefaults, parameter_name(def, i));
            if (value != nullptr) {
                bound[i] = value;
                continue;
            }
        }
        missing[n_missing++] = i;
    }
    if (n_missing) return raise_missing(def, missing, n_missing, "keyword-only");
    return 0;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    PyObject* bound[kMaxParameters];
    if (bind_arguments(fn, args, nargsf, kwnames, bound) < 0) return nullptr;
    // Defaults taken from __kwdefaults__ must outlive a call that might replace that dict.
    Ref keep_defaults = Ref::borrow(fn->kwdefaults);
    return fn->def->impl(fn->module, bound);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %s at %p>", fn->def->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->module);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->kwdefaults);
    return 0;
}

int function_clear(PyObject* self) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->kwdefaults);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn->module_name);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->def->name);
}
PyObject* get_qualname(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->def->qualname);
}
PyObject* get_doc(PyObject* self, void*) {
    const char* doc = reinterpret_cast<FunctionObject*>(self)->def->doc;
    if (doc == nullptr) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}
PyObject* get_module(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->module_name);
}
PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->annotations, Py_NewRef(value));
    return 0;
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->kwdefaults, Py_NewRef(value));
    return 0;
}

// inspect.Signature built from the parameter list and the live annotations and defaults.
PyObject* get_signature(PyObject* self, void*) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    const FunctionDef* def = fn->def;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter_cls || !signature_cls) return nullptr;
    Ref positional_kind = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "POSITIONAL_OR_KEYWORD"));
    Ref keyword_kind = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "KEYWORD_ONLY"));
    Ref empty = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "empty"));
    Ref params = Ref::steal(PyList_New(0));
    if (!positional_kind || !keyword_kind || !empty || !params) return nullptr;

    auto lookup = [](PyObject* dict, const char* key, PyObject* fallback) -> PyObject* {
        PyObject* value = PyDict_Check(dict) ? PyDict_GetItemString(dict, key) : nullptr;
        return value ? value : fallback;
    };
    for (int i = 0; i < parameter_count(def); ++i) {
        const char* name = parameter_name(def, i);
        PyObject* kind = i < def->n_positional ? positional_kind.get() : keyword_kind.get();
        Ref kwargs = Ref::steal(Py_BuildValue(
            "{s:O,s:O}", "annotation", lookup(fn->annotations, name, empty.get()), "default",
            lookup(fn->kwdefaults, name, empty.get())));
        Ref posargs = Ref::steal(Py_BuildValue("(sO)", name, kind));
        if (!kwargs || !posargs) return nullptr;
        Ref parameter = Ref::steal(PyObject_Call(parameter_cls.get(), posargs.get(), kwargs.get()));
        if (!parameter || PyList_Append(params.get(), parameter.get()) < 0) return nullptr;
    }
    Ref kwargs = Ref::steal(Py_BuildValue(
        "{s:O}", "return_annotation", lookup(fn->annotations, "return", empty.get())));
    Ref posargs = Ref::steal(PyTuple_Pack(1, params.get()));
    if (!kwargs || !posargs) return nullptr;
    return PyObject_Call(signature_cls.get(), posargs.get(), kwargs.get());
}

// Pickled by reference, as the host pickles its own functions.
PyObject* function_reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

}  // namespace

PyTypeObject* make_function_type(PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return nullptr;
    // The interpreter copies the type's name into the new type object.
    char name_buffer[256];
    PyOS_snprintf(name_buffer, sizeof name_buffer, "%s.native_function", module_name);
    PyType_Spec spec = {
        name_buffer,
        static_cast<int>(sizeof(FunctionObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        function_slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

Ref make_function(PyTypeObject* type, PyObject* module, const FunctionDef* def) {
    auto* fn = PyObject_GC_New(FunctionObject, type);
    if (fn == nullptr) return {};
    fn->vectorcall = function_vectorcall;
    fn->def = def;
    fn->module = Py_NewRef(module);
    fn->module_name = nullptr;
    fn->annotations = nullptr;
    fn->kwdefaults = nullptr;
    fn->weakrefs = nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(fn));

    fn->module_name = PyModule_GetNameObject(module);
    fn->annotations = PyDict_New();
    if (!fn->module_name || !fn->annotations) return {};
    for (const char* const* pair = def->annotations; pair && pair[0]; pair += 2) {
        Ref text = Ref::steal(PyUnicode_FromString(pair[1]));
        if (!text || PyDict_SetItemString(fn->annotations, pair[0], text.get()) < 0) return {};
    }
    if (def->kw_defaults) {
        fn->kwdefaults = PyDict_New();
        if (!fn->kwdefaults) return {};
        for (const char* const* pair = def->kw_defaults; pair[0]; pair += 2) {
            Ref text = Ref::steal(PyUnicode_FromString(pair[1]));
            if (!text || PyDict_SetItemString(fn->kwdefaults, pair[0], text.get()) < 0) return {};
        }
    } else {
        fn->kwdefaults = Py_NewRef(Py_None);
    }
    PyObject_GC_Track(result.get());
    return result;
}

}  // namespace transmute
