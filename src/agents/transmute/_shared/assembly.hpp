// Small helpers every module's import uses to bind attributes and fill its state, and the
// runner that scans a str's data with the GIL released. Tested through the modules' suites.
#pragma once

#include "pyref.hpp"
#include "text.hpp"

#include <initializer_list>
#include <new>

namespace transmute {

// Binds module.name = value; false (with the error set) when value is null or binding fails.
inline bool set_attr(PyObject* module, const char* name, const Ref& value) {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

inline bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

// A tuple of interned names, for keyword names of vectorcalls.
inline Ref names_tuple(std::initializer_list<const char*> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* item = PyUnicode_InternFromString(name);
        if (!item) return {};
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    return tuple;
}

// Calls scan(data, length) on the text in its own width, with the GIL released when the text
// has at least `release_at` characters. False with MemoryError set when the scan ran out of
// memory.
template <class F>
bool scan_text_released(PyObject* text, size_t release_at, F&& scan) {
    const bool release = static_cast<size_t>(PyUnicode_GET_LENGTH(text)) >= release_at;
    PyThreadState* saved = release ? PyEval_SaveThread() : nullptr;
    bool out_of_memory = false;
    try {
        visit_text(text, [&](const auto* s, Py_ssize_t n) { scan(s, static_cast<size_t>(n)); });
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    if (release) PyEval_RestoreThread(saved);
    if (out_of_memory) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

}  // namespace transmute
