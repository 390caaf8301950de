// Native function objects with the call protocol and introspection of host functions.
// Tested in tests/test_functions.py.
#include "function.hpp"
#include "recursion.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

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
    PyObject* parameter_names[kMaxParameters];  // interned names, positional ones first
};

int parameter_count(const FunctionDef* def) { return def->n_positional + def->n_keyword_only; }

const char* parameter_name(const FunctionDef* def, int index) {
    return index < def->n_positional ? def->positional[index]
                                     : def->keyword_only[index - def->n_positional];
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as the host's own functions list missing names.
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

// The host's edit distance for "Did you mean" suggestions, on UTF-8 bytes: moves cost 2, a
// change of ASCII letter case 1; common prefixes and suffixes are ignored, and the search gives
// up once every entry of a row exceeds `max_cost`.
constexpr size_t kMoveCost = 2;
constexpr size_t kCaseCost = 1;
constexpr size_t kMaxSuggestionString = 40;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += 'a' - 'A';
    if ('A' <= b && b <= 'Z') b += 'a' - 'A';
    return a == b ? kCaseCost : kMoveCost;
}

size_t edit_distance(const char* a, size_t a_size, const char* b, size_t b_size, size_t max_cost) {
    while (a_size && b_size && a[0] == b[0]) ++a, ++b, --a_size, --b_size;
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) --a_size, --b_size;
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxSuggestionString || b_size > kMaxSuggestionString) return max_cost + 1;
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;
    size_t row[kMaxSuggestionString];
    for (size_t i = 0; i < a_size; ++i) row[i] = (i + 1) * kMoveCost;
    size_t result = 0;
    for (size_t bi = 0; bi < b_size; ++bi) {
        size_t distance = result = bi * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t ai = 0; ai < a_size; ++ai) {
            const size_t substitute = distance + substitution_cost(b[bi], a[ai]);
            distance = row[ai];
            result = std::min(std::min(result, distance) + kMoveCost, substitute);
            row[ai] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

// The parameter name the host would suggest for an unknown keyword, or null (also when the
// keyword cannot be encoded, where the host gives no suggestion either).
PyObject* suggest_parameter(PyObject* const* names, int count, PyObject* keyword) {
    Py_ssize_t key_size;
    const char* key = PyUnicode_AsUTF8AndSize(keyword, &key_size);
    if (key == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* best = nullptr;
    size_t best_distance = PY_SSIZE_T_MAX;
    for (int i = 0; i < count; ++i) {
        if (PyUnicode_Compare(keyword, names[i]) == 0) continue;
        Py_ssize_t name_size;
        const char* name = PyUnicode_AsUTF8AndSize(names[i], &name_size);
        const size_t max_distance = std::min<size_t>((key_size + name_size + 3) * kMoveCost / 6,
                                                     best_distance - 1);
        const size_t distance = edit_distance(key, key_size, name, name_size, max_distance);
        if (distance > max_distance) continue;
        if (!best || distance < best_distance) {
            best = names[i];
            best_distance = distance;
        }
    }
    PyErr_Clear();  // a failed comparison counts as "not equal" here, as in the host
    return best;
}

int raise_unexpected_keyword(FunctionObject* fn, PyObject* keyword) {
    const FunctionDef* def = fn->def;
    PyObject* suggestion = suggest_parameter(fn->parameter_names, parameter_count(def), keyword);
    if (suggestion)
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     def->qualname, keyword, suggestion);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", def->qualname,
                     keyword);
    return -1;
}

int raise_too_many_positional(const FunctionDef* def, Py_ssize_t given, int keyword_only_given) {
    const int expected = def->n_positional;
    if (keyword_only_given) {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes %d positional argument%s but %zd positional argument%s (and %d "
                     "keyword-only argument%s) were given",
                     def->qualname, expected, expected == 1 ? "" : "s", given, given == 1 ? "" : "s",
                     keyword_only_given, keyword_only_given == 1 ? "" : "s");
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                     def->qualname, expected, expected == 1 ? "" : "s", given,
                     given == 1 ? "was" : "were");
    }
    return -1;
}

// Which parameter a keyword names: by identity first (names are interned), then by equality,
// which may run a str subclass's __eq__. -1 when none; -2 with an exception set.
int keyword_index(FunctionObject* fn, PyObject* keyword) {
    const int total = parameter_count(fn->def);
    for (int i = 0; i < total; ++i)
        if (fn->parameter_names[i] == keyword) return i;
    for (int i = 0; i < total; ++i) {
        const int equal = PyObject_RichCompareBool(keyword, fn->parameter_names[i], Py_EQ);
        if (equal < 0) return -2;
        if (equal) return i;
    }
    return -1;
}

// Binds positional and keyword arguments to the parameter list and fills keyword-only
// defaults, failing in the order and with the texts of the interpreter's own binding: unknown
// or repeated keywords first, then surplus positional arguments, then missing positional ones,
// then missing keyword-only ones. `bound` is borrowed except for defaults, kept in `defaults`.
int bind_arguments(FunctionObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                   PyObject** bound, Ref* defaults) {
    const FunctionDef* def = fn->def;
    const int total = parameter_count(def);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    for (int i = 0; i < total; ++i) bound[i] = nullptr;
    const Py_ssize_t n_copied = nargs < def->n_positional ? nargs : def->n_positional;
    for (Py_ssize_t i = 0; i < n_copied; ++i) bound[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", def->qualname);
            return -1;
        }
        const int index = keyword_index(fn, key);
        if (index == -2) return -1;
        if (index < 0) return raise_unexpected_keyword(fn, key);
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", def->qualname, key);
            return -1;
        }
        bound[index] = args[nargs + k];
    }

    if (nargs > def->n_positional) {
        int keyword_only_given = 0;
        for (int i = def->n_positional; i < total; ++i) keyword_only_given += bound[i] != nullptr;
        return raise_too_many_positional(def, nargs, keyword_only_given);
    }

    int missing[kMaxParameters];
    int n_missing = 0;
    for (int i = 0; i < def->n_positional; ++i)
        if (bound[i] == nullptr) missing[n_missing++] = i;
    if (n_missing) return raise_missing(def, missing, n_missing, "positional");

    for (int i = def->n_positional; i < total; ++i) {
        if (bound[i] != nullptr) continue;
        if (PyDict_Check(fn->kwdefaults)) {
            PyObject* value = nullptr;
            if (PyDict_GetItemRef(fn->kwdefaults, fn->parameter_names[i], &value) < 0) return -1;
            if (value != nullptr) {
                defaults[i] = Ref::steal(value);
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
    // Defaults taken from __kwdefaults__ must outlive a call that might edit or replace that dict.
    Ref defaults[kMaxParameters];
    // Every way back into our code passes here, so one level counted per call bounds any
    // re-entry (a property or __iter__ that is one of our functions, a logger that calls back).
    transmute::RecursionGuard depth;
    if (!depth) return nullptr;
    if (bind_arguments(fn, args, nargsf, kwnames, bound, defaults) < 0) return nullptr;
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
    for (PyObject*& name : fn->parameter_names) Py_CLEAR(name);
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
    for (PyObject*& name : fn->parameter_names) name = nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(fn));
    if (parameter_count(def) > kMaxParameters) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
        return {};
    }
    for (int i = 0; i < parameter_count(def); ++i) {
        fn->parameter_names[i] = PyUnicode_InternFromString(parameter_name(def, i));
        if (fn->parameter_names[i] == nullptr) return {};
    }

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
