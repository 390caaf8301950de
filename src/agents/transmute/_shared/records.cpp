// Host-side record types and the debug event helper. Tested in tests/test_classify.py.
#include "records.hpp"

#include <cstring>

namespace transmute {

Ref make_frozen_dataclass(PyObject* module, PyObject* dataclass, const char* name,
                          std::initializer_list<FieldSpec> fields, PyObject* extra) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const FieldSpec& field : fields) {
        Ref text = Ref::steal(PyUnicode_FromString(field.annotation));
        if (!text || PyDict_SetItemString(annotations.get(), field.name, text.get()) < 0) return {};
    }
    Ref namespace_ = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    if (!namespace_ || !module_name || !qualname) return {};
    if (PyDict_SetItemString(namespace_.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__annotations__", annotations.get()) < 0)
        return {};
    if (extra && PyDict_Update(namespace_.get(), extra) < 0) return {};

    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return {};
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "OOO",
                                               qualname.get(), bases.get(), namespace_.get()));
    if (!cls) return {};

    Ref no_args = Ref::steal(PyTuple_Pack(1, cls.get()));
    Ref options = Ref::steal(Py_BuildValue("{s:O}", "frozen", Py_True));
    if (!no_args || !options) return {};
    return Ref::steal(PyObject_Call(dataclass, no_args.get(), options.get()));
}

namespace {

PyObject* interned(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot;
}

PyObject* debug_name() {
    static PyObject* name = nullptr;
    return interned(name, "debug");
}

PyObject* bind_name() {
    static PyObject* name = nullptr;
    return interned(name, "bind");
}

void forget(LoggerCache cache) {
    cache.type_version = 0;
    Py_CLEAR(cache.proxy);
    Py_CLEAR(cache.bind);
    Py_CLEAR(cache.bound);
}

// Whether `logger` is still the proxy learnt, unchanged: same object, same class version, its
// own `bind` the one learnt and no `debug` of its own. -1 on an error.
int still_cached(PyObject* logger, LoggerCache cache) {
    if (cache.type_version == 0 || logger != cache.proxy ||
        Py_TYPE(logger)->tp_version_tag != cache.type_version)
        return 0;
    Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
    if (!dict) return -1;
    PyObject* bind = PyDict_GetItemWithError(dict.get(), bind_name());  // borrowed
    if (bind == nullptr) return PyErr_Occurred() ? -1 : 0;
    if (bind != cache.bind) return 0;
    const int own_debug = PyDict_Contains(dict.get(), debug_name());
    return own_debug < 0 ? -1 : !own_debug;
}

// After a plain lookup on `logger`: keeps the logger behind it when it is structlog's lazy
// proxy with its logger cached. Failing to learn is no error: the plain lookup stays. A proxy
// that does not cache (structlog's default) is passed over after one look at its own `bind`.
void learn(PyObject* logger, LoggerCache cache) {
    forget(cache);
    PyTypeObject* type = Py_TYPE(logger);
    if (std::strcmp(type->tp_name, "BoundLoggerLazyProxy") != 0 || type->tp_version_tag == 0) return;
    PyObject* saved = PyErr_GetRaisedException();
    Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
    Ref bind = dict ? Ref::borrow(PyDict_GetItemWithError(dict.get(), bind_name())) : Ref{};
    Ref config_name = bind ? Ref::steal(PyUnicode_FromString("structlog._config")) : Ref{};
    Ref config = config_name ? Ref::steal(PyImport_GetModule(config_name.get())) : Ref{};
    Ref proxy_type =
        config ? Ref::steal(PyObject_GetAttrString(config.get(), "BoundLoggerLazyProxy")) : Ref{};
    if (bind && proxy_type.get() == reinterpret_cast<PyObject*>(type) &&
        PyDict_Contains(dict.get(), debug_name()) == 0) {
        Ref bound = Ref::steal(PyObject_CallNoArgs(bind.get()));
        if (bound && bound.get() != logger) {
            cache.proxy = Ref::borrow(logger).release();
            cache.bind = bind.release();
            cache.bound = bound.release();
            cache.type_version = type->tp_version_tag;
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(saved);
}

// Learns structlog's `_nop` once, or None where there is none to learn.
bool learn_nop(LoggerCache cache) {
    Ref name = Ref::steal(PyUnicode_FromString("structlog._native"));
    if (!name) return false;
    Ref native = Ref::steal(PyImport_GetModule(name.get()));
    if (!native && PyErr_Occurred()) return false;
    Ref nop = native ? Ref::steal(PyObject_GetAttrString(native.get(), "_nop")) : Ref{};
    PyErr_Clear();
    if (!nop || !PyFunction_Check(nop.get())) nop = Ref::borrow(Py_None);
    cache.nop_code = Py_NewRef(nop.get() == Py_None ? Py_None : PyFunction_GET_CODE(nop.get()));
    cache.nop = nop.release();
    return true;
}

}  // namespace

Ref debug_method(PyObject* logger, LoggerCache cache) {
    if (debug_name() == nullptr || bind_name() == nullptr) return {};
    if (cache.nop == nullptr && !learn_nop(cache)) return {};
    const int cached = still_cached(logger, cache);
    if (cached < 0) return {};
    if (cached) return Ref::steal(PyObject_GetAttr(cache.bound, debug_name()));
    Ref debug = Ref::steal(PyObject_GetAttr(logger, debug_name()));
    if (debug) learn(logger, cache);
    return debug;
}

bool call_debug(PyObject* debug, LoggerCache cache, PyObject* event, PyObject* kwnames,
                PyObject* const* values) {
    if (PyMethod_Check(debug) && PyMethod_GET_FUNCTION(debug) == cache.nop &&
        PyFunction_GET_CODE(cache.nop) == cache.nop_code)
        return true;
    constexpr Py_ssize_t kMaxFields = 8;
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    if (n > kMaxFields) {
        PyErr_SetString(PyExc_SystemError, "too many event fields");
        return false;
    }
    PyObject* args[1 + kMaxFields];
    args[0] = event;
    for (Py_ssize_t i = 0; i < n; ++i) args[1 + i] = values[i];
    Ref result = Ref::steal(PyObject_Vectorcall(debug, args, 1, kwnames));
    return static_cast<bool>(result);
}

bool emit_debug_event(PyObject* logger, LoggerCache cache, PyObject* event, PyObject* kwnames,
                      PyObject* const* values) {
    Ref debug = debug_method(logger, cache);
    return debug && call_debug(debug.get(), cache, event, kwnames, values);
}

}  // namespace transmute
