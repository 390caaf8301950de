// How the native functions reach host objects the way the host's own code would: a global of
// the module namespace, a method call, and a call of a function of the module's `re` with one
// of its flags. Tested through every module's suite
// (tests/test_lookup_order.py pins which lookups happen, and in what order).
#pragma once

#include "pyref.hpp"

namespace transmute {

// Reads `name` from `namespace_dict`, then from `builtins` unless that is null: NameError, as the
// interpreter words it, when neither has it.
inline Ref lookup_name(PyObject* namespace_dict, PyObject* name, PyObject* builtins) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(namespace_dict, name, &value);
    if (found == 0 && builtins != nullptr) found = PyDict_GetItemRef(builtins, name, &value);
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::steal(value);
}

// Reads a global of the module as the native functions do at each call: the namespace only
// (none of the names they read is a builtin).
inline Ref global(PyObject* module, PyObject* name) {
    return lookup_name(PyModule_GetDict(module), name, nullptr);
}

// A name as module-level code sees it: the namespace, then the builtins.
inline Ref global_or_builtin(PyObject* namespace_dict, PyObject* name) {
    return lookup_name(namespace_dict, name, PyEval_GetBuiltins());
}

// self.<name>(arg), or self.<name>() when arg is null.
inline Ref call_method(PyObject* name, PyObject* self, PyObject* arg = nullptr) {
    PyObject* args[2] = {self, arg};
    const size_t nargs = arg ? 2 : 1;
    return Ref::steal(PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `re.<function>(..., re.<FLAG>)` or `re.<function>(..., flags=re.<FLAG>)` as the host evaluates
// it: `re` is looked up and its function read, then `re` is looked up again and its flag read,
// then the call is made.
struct ReWithFlag {
    Ref re_for_function, function, re_for_flag, flag;

    bool look_up(PyObject* module, PyObject* re_name, PyObject* function_name, PyObject* flag_name) {
        re_for_function = global(module, re_name);
        if (!re_for_function) return false;
        function = Ref::steal(PyObject_GetAttr(re_for_function.get(), function_name));
        if (!function) return false;
        re_for_flag = global(module, re_name);
        if (!re_for_flag) return false;
        flag = Ref::steal(PyObject_GetAttr(re_for_flag.get(), flag_name));
        return static_cast<bool>(flag);
    }

    // Whether every object looked up is the import-time one.
    bool is(PyObject* re_module, PyObject* original_function, PyObject* original_flag) const {
        return re_for_function.get() == re_module && re_for_flag.get() == re_module &&
               function.get() == original_function && flag.get() == original_flag;
    }

    // Calls the function with `args` (at most four) and the flag: last by position, or by
    // keyword when `flag_keyword` is the tuple of that keyword's name.
    Ref call(PyObject* const* args, Py_ssize_t nargs, PyObject* flag_keyword = nullptr) const {
        constexpr Py_ssize_t kMaxArgs = 4;
        if (nargs > kMaxArgs) {
            PyErr_SetString(PyExc_SystemError, "too many arguments for a re call");
            return {};
        }
        PyObject* all[kMaxArgs + 1];
        for (Py_ssize_t i = 0; i < nargs; ++i) all[i] = args[i];
        all[nargs] = flag.get();
        const Py_ssize_t positional = flag_keyword ? nargs : nargs + 1;
        return Ref::steal(
            PyObject_Vectorcall(function.get(), all, static_cast<size_t>(positional), flag_keyword));
    }
};

}  // namespace transmute
