// Host-side types built at import: frozen dataclasses and string enumerations, and the debug
// event helper. Tested in tests/test_classify.py and tests/test_reading.py.
#pragma once

#include "pyref.hpp"

#include <initializer_list>

namespace transmute {

struct FieldSpec {
    const char* name;
    const char* annotation;  // stored as text, as `from __future__ import annotations` would
};

// Creates `name` in `module` as `dataclass(frozen=True)` over a class whose namespace holds the
// field annotations plus `extra` (methods, properties). `dataclass` is the host's decorator.
Ref make_frozen_dataclass(PyObject* module, PyObject* dataclass, const char* name,
                          std::initializer_list<FieldSpec> fields, PyObject* extra);

// What a module keeps of the logger behind structlog's lazy proxy (see debug_method): the
// members are the module state's own objects, visited and cleared with the rest of it.
struct LoggerCache {
    PyObject*& proxy;  // the module's logger when it was learnt
    PyObject*& bind;   // the `bind` the proxy cached on itself
    PyObject*& bound;  // what that `bind()` returns: the logger every event goes to
    unsigned int& type_version;  // the proxy class's version tag then (0: nothing learnt)
    PyObject*& nop;       // structlog's `_nop`, the method of levels a logger filters out
    PyObject*& nop_code;  // its code when learnt (both None where structlog has none)
};

// Calls `logger.debug(event, **fields)` with the fields in the order of `kwnames`.
// `values` holds one value per name of `kwnames`.
bool emit_debug_event(PyObject* logger, LoggerCache cache, PyObject* event, PyObject* kwnames,
                      PyObject* const* values);

// The same in two parts, for fields whose computation can fail: the host looks `debug` up on
// the logger before it evaluates the arguments.
//
// `logger.debug` on structlog's lazy proxy runs the proxy's Python-level __getattr__, which
// calls `self.bind()` and looks `debug` up on what it returns. Once the proxy has cached its
// logger (structlog's cache_logger_on_first_use sets `bind` on the proxy itself), that `bind`
// returns the same logger at every call, so the module keeps it in `cache` and looks `debug` up
// there directly, while the proxy, its `bind`, its class and the absence of its own `debug`
// are what they were. Anything else takes the plain lookup.
Ref debug_method(PyObject* logger, LoggerCache cache);

// Calls `debug`, unless it is structlog's `_nop` bound to a logger that filters debug events
// out: that method only returns None.
bool call_debug(PyObject* debug, LoggerCache cache, PyObject* event, PyObject* kwnames,
                PyObject* const* values);

}  // namespace transmute
