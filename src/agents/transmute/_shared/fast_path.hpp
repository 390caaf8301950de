// The switch between a native fast path and the exact host path. A fast path stands for
// particular module attributes (the host's `re` and its functions and flags, pattern tables) as
// import bound them; a host may replace or edit any of them, and then the call must go through
// the host's objects instead. Each module lists the attributes its fast path stands for in a
// table, checked at every call. Tested in tests/test_classify.py, tests/test_lorepick_detect.py
// and tests/test_threads.py (attributes swapped while calls run).
#pragma once

#include "pyref.hpp"

#include <span>

namespace transmute {

// What a fast path did: answered the call, left it to the host path, or failed with an
// exception set.
enum class FastPath { taken, not_taken, error };

// Runs fast(), then host() when the fast path left the call to it. False when either failed.
template <class Fast, class Host>
bool fast_or_host(Fast&& fast, Host&& host) {
    switch (fast()) {
        case FastPath::taken:
            return true;
        case FastPath::not_taken:
            return host();
        case FastPath::error:
            break;
    }
    return false;
}

// Where an attribute is looked up: the module namespace, or the namespace of the module's `re`.
// Rows in `re`'s namespace must follow the row that pins `re` itself.
enum class Scope { module, re };

// One attribute the fast path stands for: the interned name it is bound under and the object
// import bound. When the object is a list or dict the fast path reads (a pattern table),
// `contents` is the snapshot of its items made at import (a tuple of the list's items, or of
// the dict's (key, value) pairs), and the table must still hold exactly those.
template <class State>
struct Pinned {
    Scope scope;
    PyObject* State::* name;
    PyObject* State::* original;
    PyObject* State::* contents = nullptr;
};

namespace detail {

// True while `current` is `original`, a list holding exactly the items of `contents`.
inline bool same_list(PyObject* current, PyObject* original, PyObject* contents) {
    if (current != original || !PyList_CheckExact(current)) return false;
    const Py_ssize_t n = PyList_GET_SIZE(current);
    if (n != PyTuple_GET_SIZE(contents)) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(current, i) != PyTuple_GET_ITEM(contents, i)) return false;
    return true;
}

// True while `current` is `original`, a dict holding exactly the pairs of `contents`, in order.
inline bool same_dict(PyObject* current, PyObject* original, PyObject* contents) {
    if (current != original || !PyDict_CheckExact(current)) return false;
    if (PyDict_GET_SIZE(current) != PyTuple_GET_SIZE(contents)) return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(current, &pos, &key, &value)) {
        PyObject* pair = PyTuple_GET_ITEM(contents, i++);
        if (key != PyTuple_GET_ITEM(pair, 0) || value != PyTuple_GET_ITEM(pair, 1)) return false;
    }
    return true;
}

}  // namespace detail

// 1 when every attribute of `table` is still the import-time object (and a table's contents
// are unchanged), 0 when one is not, -1 with an exception set when a lookup failed. `re_module`
// is the import-time `re`, whose namespace the Scope::re rows are read from.
template <class State>
int all_pinned(PyObject* module, const State& st, PyObject* re_module, std::span<const Pinned<State>> table) {
    PyObject* module_dict = PyModule_GetDict(module);
    PyObject* re_dict = nullptr;
    for (const Pinned<State>& row : table) {
        PyObject* where = module_dict;
        if (row.scope == Scope::re) {
            if (re_dict == nullptr) {
                if (!PyModule_Check(re_module)) return 0;
                re_dict = PyModule_GetDict(re_module);
            }
            where = re_dict;
        }
        PyObject* current = PyDict_GetItemWithError(where, st.*row.name);
        PyObject* original = st.*row.original;
        bool same;
        if (row.contents == nullptr)
            same = current == original;
        else if (PyList_CheckExact(original))
            same = detail::same_list(current, original, st.*row.contents);
        else
            same = detail::same_dict(current, original, st.*row.contents);
        if (!same) return PyErr_Occurred() ? -1 : 0;
    }
    return 1;
}

}  // namespace transmute
