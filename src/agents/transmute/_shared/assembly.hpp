// Small helpers every module's import uses to bind attributes and fill its state. Tested
// through the modules' suites.
#pragma once

#include "pyref.hpp"

#include <initializer_list>

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

}  // namespace transmute
