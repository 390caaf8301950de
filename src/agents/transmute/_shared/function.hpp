// Native function objects that the host treats like its own functions: called by position or
// keyword, bound as methods on classes, introspectable with inspect.signature, picklable by
// reference. Tested in tests/test_functions.py.
#pragma once

#include "pyref.hpp"

namespace transmute {

// Arguments arrive bound to the parameter list, in order; a keyword-only parameter whose
// default comes from __kwdefaults__ is already filled in. All pointers are borrowed.
using FunctionImpl = PyObject* (*)(PyObject* module, PyObject* const* args);

struct FunctionDef {
    const char* name;
    const char* qualname;
    const char* doc;
    const char* const* positional;  // positional-or-keyword parameter names
    int n_positional;
    const char* const* keyword_only;  // keyword-only parameter names
    int n_keyword_only;
    // (parameter, annotation text) pairs, "return" last; nullptr-terminated.
    const char* const* annotations;
    // (parameter, default text) pairs for keyword-only defaults; nullptr-terminated or null.
    const char* const* kw_defaults;
    FunctionImpl impl;
};

inline constexpr int kMaxParameters = 8;

// Creates the function type for one module (a heap type tied to that module).
PyTypeObject* make_function_type(PyObject* module);

// Creates one function object of that type, bound to `module` for its namespace lookups.
Ref make_function(PyTypeObject* type, PyObject* module, const FunctionDef* def);

}  // namespace transmute
