// Host-side record types and the debug event helper. Tested in tests/test_classify.py.
#include "records.hpp"

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

Ref debug_method(PyObject* logger) {
    static PyObject* debug_name = nullptr;
    if (debug_name == nullptr) {
        debug_name = PyUnicode_InternFromString("debug");
        if (debug_name == nullptr) return {};
    }
    return Ref::steal(PyObject_GetAttr(logger, debug_name));
}

bool call_debug(PyObject* debug, PyObject* event, PyObject* kwnames, PyObject* const* values) {
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

bool emit_debug_event(PyObject* logger, PyObject* event, PyObject* kwnames,
                      PyObject* const* values) {
    Ref debug = debug_method(logger);
    return debug && call_debug(debug.get(), event, kwnames, values);
}

}  // namespace transmute
