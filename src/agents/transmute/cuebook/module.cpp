// Import of agents.transmute.cuebook (placeholder until its tables and functions land).
#include "loading.hpp"

namespace cuebook {
namespace {

transmute::LoadGuard g_guard{"cuebook", "agents.transmute.cuebook"};

int cuebook_exec(PyObject* module) {
    if (!transmute::guard_exec_begin(g_guard, module)) return -1;
    transmute::guard_exec_done(g_guard, module);
    return 0;
}

PyObject* cuebook_create(PyObject* spec, PyModuleDef*) { return transmute::guarded_create(g_guard, spec); }

PyModuleDef_Slot cuebook_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(cuebook_create)},
    {Py_mod_exec, reinterpret_cast<void*>(cuebook_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef cuebook_def = {PyModuleDef_HEAD_INIT, "cuebook", nullptr, 0, nullptr, cuebook_slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace cuebook

PyMODINIT_FUNC PyInit_cuebook(void) { return PyModuleDef_Init(&cuebook::cuebook_def); }
