// Error texts raised by every module, built in one place. Tested in each module's test suite.
#pragma once

#include "pyref.hpp"

namespace transmute {

// Exact-type check for a parameter declared `str`, `set`, ...: subclasses are refused too.
// Returns false with TypeError set.
inline bool check_exact_type(PyObject* value, PyTypeObject* expected, const char* parameter) {
    if (Py_IS_TYPE(value, expected)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter, expected->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace transmute
