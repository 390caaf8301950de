// The two ways classify_sql computes its counts: the native fast path, taken only while every
// module attribute it stands for is the import-time object, and the exact host path through the
// module's own attributes. Tested in tests/test_classify.py (both paths, and the switch).
#pragma once

#include "fast_path.hpp"
#include "state.hpp"

namespace complexity {

struct Counts {
    Py_ssize_t effective_lines = 0;
    Py_ssize_t complex_constructs = 0;
    Py_ssize_t moderate_constructs = 0;
    Py_ssize_t stored_procs = 0;
    Py_ssize_t temp_tables = 0;
    Py_ssize_t ctes = 0;
};

transmute::FastPath classify_fast(PyObject* module, State* st, PyObject* sql, Counts& counts);
bool classify_host(PyObject* module, State* st, PyObject* sql, Counts& counts);

// Non-blank lines after str.splitlines() and str.strip(), for any object the host path hands us.
bool count_effective_lines(State* st, PyObject* text, Py_ssize_t& count);

}  // namespace complexity
