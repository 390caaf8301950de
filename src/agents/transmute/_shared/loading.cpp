// Module loading rules shared by every extension. Tested in tests/test_loading.py.
#include "loading.hpp"

namespace transmute {

PyObject* guarded_create(LoadGuard& guard, PyObject* spec) {
    PyInterpreterState* interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) return nullptr;
    if (guard.interpreter_id == -1) {
        guard.interpreter_id = id;
    } else if (guard.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }

    const int runtime_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (runtime_major != PY_MAJOR_VERSION || runtime_minor != PY_MINOR_VERSION) {
        char message[200];
        PyOS_snprintf(message, sizeof message,
                      "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                      PY_MAJOR_VERSION, PY_MINOR_VERSION, guard.full_name, "does not match",
                      runtime_major, runtime_minor);
        if (PyErr_WarnEx(nullptr, message, 1) < 0) return nullptr;
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

bool guard_exec_begin(LoadGuard& guard, PyObject* module) {
    if (guard.live_module != nullptr && guard.live_module != module) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     guard.short_name);
        return false;
    }
    return true;
}

void guard_exec_done(LoadGuard& guard, PyObject* module) { guard.live_module = module; }

}  // namespace transmute
