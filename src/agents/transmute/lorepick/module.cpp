// Import of agents.transmute.lorepick (placeholder until its tables and functions land).
#include "loading.hpp"

namespace lorepick {
namespace {

transmute::LoadGuard g_guard{"lorepick", "agents.transmute.lorepick"};

int lorepick_exec(PyObject* module) {
    if (!transmute::guard_exec_begin(g_guard, module)) return -1;
    transmute::guard_exec_done(g_guard, module);
    return 0;
}

PyObject* lorepick_create(PyObject* spec, PyModuleDef*) { return transmute::guarded_create(g_guard, spec); }

PyModuleDef_Slot lorepick_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(lorepick_create)},
    {Py_mod_exec, reinterpret_cast<void*>(lorepick_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef lorepick_def = {PyModuleDef_HEAD_INIT, "lorepick", nullptr, 0, nullptr, lorepick_slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace lorepick

PyMODINIT_FUNC PyInit_lorepick(void) { return PyModuleDef_Init(&lorepick::lorepick_def); }
