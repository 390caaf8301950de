// The skeleton every extension module is built on: multi-phase initialisation with the loading
// rules of loading.hpp, and a module state whose Python objects are visited, cleared and freed
// in one place. A module file supplies its state type and the steps of its own import; the
// slots, the module definition and the traverse/clear/free functions are written here once.
// Tested in tests/test_loading.py and tests/test_leaks.py.
#pragma once

#include "loading.hpp"
#include "pyref.hpp"

#include <type_traits>

namespace transmute {

// Declares one PyObject* member for each name of LIST (an X-macro list) and for_each_object,
// which hands each of them to f as a reference to the member.
#define TRANSMUTE_STATE_OBJECTS(LIST)     \
    LIST(TRANSMUTE_STATE_DECLARE_OBJECT)  \
    template <class F>                    \
    void for_each_object(F&& f) {         \
        LIST(TRANSMUTE_STATE_PASS_OBJECT) \
    }
#define TRANSMUTE_STATE_DECLARE_OBJECT(name) PyObject* name;
#define TRANSMUTE_STATE_PASS_OBJECT(name) f(name);

template <class State>
State* module_state(PyObject* module) {
    return static_cast<State*>(PyModule_GetState(module));
}

// traverse, clear and free for a module whose state is a `State`. The state lists the Python
// objects it owns with `for_each_object(f)`, calling f on each member that holds one (of any
// PyObject-compatible pointer type); a state that also owns native memory frees it in
// `release_native()`, called once the objects are cleared.
template <class State>
struct StateHooks {
    static int traverse(PyObject* module, visitproc visit, void* arg) {
        State* st = module_state<State>(module);
        if (st == nullptr) return 0;
        int failed = 0;
        st->for_each_object([&](auto*& member) {
            if (failed == 0 && member != nullptr) failed = visit(reinterpret_cast<PyObject*>(member), arg);
        });
        return failed;
    }

    static int clear(PyObject* module) {
        State* st = module_state<State>(module);
        if (st == nullptr) return 0;
        st->for_each_object([](auto*& member) { Py_CLEAR(member); });
        return 0;
    }

    static void free(void* module) {
        clear(static_cast<PyObject*>(module));
        if constexpr (requires(State* st) { st->release_native(); }) {
            if (State* st = module_state<State>(static_cast<PyObject*>(module))) st->release_native();
        }
    }
};

// The state of a module whose one object of its own is a type it created.
struct TypeState {
    PyTypeObject* type;

    template <class F>
    void for_each_object(F&& f) {
        f(type);
    }
};

// Whether subinterpreters may import the module at all. The guard refuses every interpreter
// but the first either way; a module that declares them unsupported is refused before that.
enum class Interpreters { supported, unsupported };

// What a module tells the skeleton about itself.
struct ModuleParts {
    const char* def_name;    // the definition's m_name
    const char* short_name;  // "complexity", for the re-initialisation error
    const char* full_name;   // "agents.transmute.complexity", for the version warning
    const char* doc;
    // The module's own import steps, run after the loading checks; false with an exception set.
    bool (*fill)(PyObject* module);
    // Whether the namespace gets `__builtins__` first, as the host's own modules have it.
    bool binds_builtins;
    Interpreters interpreters;
    PyMethodDef* methods = nullptr;
};

// One extension module: its definition (first, so that the slot functions find the rest from
// the definition the interpreter hands them), its loading guard and its parts. Define one as a
// static object of the module file and return `init()` from PyInit_<name>.
class NativeModule {
public:
    // A module without state.
    explicit NativeModule(const ModuleParts& parts) : NativeModule(parts, 0, nullptr, nullptr, nullptr) {}

    // A module whose state is a `State` (see StateHooks).
    template <class State>
    NativeModule(const ModuleParts& parts, std::type_identity<State>)
        : NativeModule(parts, static_cast<Py_ssize_t>(sizeof(State)), StateHooks<State>::traverse,
                       StateHooks<State>::clear, StateHooks<State>::free) {}

    NativeModule(const NativeModule&) = delete;
    NativeModule& operator=(const NativeModule&) = delete;

    PyObject* init();

private:
    NativeModule(const ModuleParts& parts, Py_ssize_t state_size, traverseproc traverse, inquiry clear,
                 freefunc free);
    static PyObject* create(PyObject* module_found, PyModuleDef* def);
    static int exec(PyObject* module);
    static NativeModule& of(PyModuleDef* def) { return *reinterpret_cast<NativeModule*>(def); }

    PyModuleDef def_;
    ModuleParts parts_;
    LoadGuard guard_;
    PyModuleDef_Slot slots_[4];
};

}  // namespace transmute
