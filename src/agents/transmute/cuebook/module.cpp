// Import of agents.transmute.cuebook: the loading rules, then the marker table. The module has no
// functions, types or state of its own. Tested in tests/test_cuebook.py and tests/test_cuebook_import.py.
#include "assemble.hpp"
#include "loading.hpp"

namespace cuebook {
namespace {

transmute::LoadGuard g_guard{"cuebook", "agents.transmute.cuebook"};

int cuebook_exec(PyObject* module) {
    if (!transmute::guard_exec_begin(g_guard, module)) return -1;
    // A module's namespace carries its builtins from the start, as the host's own modules do.
    if (PyModule_AddObjectRef(module, "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
    if (!assemble_table(module)) return -1;
    transmute::guard_exec_done(g_guard, module);
    return 0;
}

PyObject* cuebook_create(PyObject* spec, PyModuleDef*) { return transmute::guarded_create(g_guard, spec); }

PyModuleDef_Slot cuebook_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(cuebook_create)},
    {Py_mod_exec, reinterpret_cast<void*>(cuebook_exec)},
    // Loading is refused by the module itself in any interpreter but the first.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef cuebook_def = {
    PyModuleDef_HEAD_INIT,
    "cuebook",
    "Source-platform markers: PLATFORM_MARKERS, built from agents.transmute.originscan at import.",
    0,
    nullptr,
    cuebook_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace cuebook

PyMODINIT_FUNC PyInit_cuebook(void) { return PyModuleDef_Init(&cuebook::cuebook_def); }
