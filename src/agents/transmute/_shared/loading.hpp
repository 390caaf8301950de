// Module loading rules shared by every extension: one interpreter, one initialisation, version warning.
// Tested in tests/test_loading.py.
#pragma once

#include "pyref.hpp"

#include <cstdint>

namespace transmute {

// One per extension (each .so has its own copy because symbols are hidden).
struct LoadGuard {
    const char* short_name;       // "complexity"
    const char* full_name;        // "agents.transmute.complexity"
    int64_t interpreter_id = -1;  // first interpreter that created the module
    PyObject* live_module = nullptr;  // borrowed; set once exec succeeded
};

// Py_mod_create body: refuses a second interpreter, warns on a version mismatch,
// then creates a plain module object under the name being imported.
PyObject* guarded_create(LoadGuard& guard, PyObject* spec);

// First step of Py_mod_exec: refuses a second initialisation in this process.
// Returns false with an exception set when refused.
bool guard_exec_begin(LoadGuard& guard, PyObject* module);
// Last step of a successful Py_mod_exec.
void guard_exec_done(LoadGuard& guard, PyObject* module);

}  // namespace transmute
