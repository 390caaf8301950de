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

// Calls `logger.debug(event, **fields)` with the fields in the order of `kwnames`.
// `values` holds one value per name of `kwnames`.
bool emit_debug_event(PyObject* logger, PyObject* event, PyObject* kwnames,
                      PyObject* const* values);

// The same in two parts, for fields whose computation can fail: the host looks `debug` up on
// the logger before it evaluates the arguments.
Ref debug_method(PyObject* logger);
bool call_debug(PyObject* debug, PyObject* event, PyObject* kwnames, PyObject* const* values);

}  // namespace transmute
