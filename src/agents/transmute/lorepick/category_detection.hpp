// The two ways detect_construct_categories finds its categories: a native fast path, taken only
// while every module attribute it stands for is the import-time object, and the exact host path
// through the module's own `re` and `_CATEGORY_PATTERNS`. Tested in tests/test_lorepick_detect.py.
#pragma once

#include "fast_path.hpp"
#include "state.hpp"

namespace lorepick {

// Both add the keys of the categories found to `found` (a new, empty set).
transmute::FastPath detect_fast(PyObject* module, State* st, PyObject* sql, PyObject* found);
bool detect_host(PyObject* module, State* st, PyObject* sql, PyObject* found);

}  // namespace lorepick
