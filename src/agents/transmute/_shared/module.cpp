// The module skeleton's definition, slots and initialisation steps. Tested in
// tests/test_loading.py and tests/test_leaks.py.
#include "module.hpp"

#include <type_traits>

namespace transmute {

// The slot functions find the module from its definition, which must therefore come first.
static_assert(std::is_standard_layout_v<NativeModule>);

NativeModule::NativeModule(const ModuleParts& parts, Py_ssize_t state_size, traverseproc traverse,
                           inquiry clear, freefunc free)
    : def_{PyModuleDef_HEAD_INIT,
           parts.def_name,
           parts.doc,
           state_size,
           parts.methods,
           nullptr,
           traverse,
           clear,
           free},
      parts_(parts),
      guard_{parts.short_name, parts.full_name},
      slots_{
          {Py_mod_create, reinterpret_cast<void*>(create)},
          {Py_mod_exec, reinterpret_cast<void*>(exec)},
          {Py_mod_multiple_interpreters, parts.interpreters == Interpreters::supported
                                             ? Py_MOD_PER_INTERPRETER_GIL_SUPPORTED
                                             : Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
          {0, nullptr},
      } {}

PyObject* NativeModule::init() {
    def_.m_slots = slots_;
    return PyModuleDef_Init(&def_);
}

PyObject* NativeModule::create(PyObject* module_found, PyModuleDef* def) {
    return guarded_create(of(def).guard_, module_found);
}

int NativeModule::exec(PyObject* module) {
    PyModuleDef* def = PyModule_GetDef(module);
    if (def == nullptr) return -1;
    NativeModule& self = of(def);
    if (!guard_exec_begin(self.guard_, module)) return -1;
    if (self.parts_.binds_builtins && PyModule_AddObjectRef(module, "__builtins__", PyEval_GetBuiltins()) < 0)
        return -1;
    if (!self.parts_.fill(module)) return -1;
    guard_exec_done(self.guard_, module);
    return 0;
}

}  // namespace transmute
