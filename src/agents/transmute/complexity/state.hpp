// Module state of agents.transmute.complexity: interned names, cached texts and the import-time
// objects that decide whether a call may take the native fast path. Tested through
// tests/test_classify.py and tests/test_reading.py.
#pragma once

#include "module.hpp"
#include "records.hpp"

namespace complexity {

// Every PyObject* the state owns.
#define COMPLEXITY_STATE_OBJECTS(X)                                                     \
    X(function_type)                                                                    \
    /* attribute names looked up in the module namespace at each call */                \
    X(name_re) X(name_logger) X(name_complex_patterns) X(name_moderate_patterns)        \
    X(name_stored_proc_pattern) X(name_comment_patterns) X(name_sql_complexity)         \
    X(name_complexity_result) X(name_classify_sql) X(name_file_reading_strategy)        \
    /* method and attribute names */                                                    \
    X(str_search) X(str_sub) X(str_findall) X(str_match) X(str_read_text)               \
    X(str_splitlines) X(str_strip) X(str_ignorecase) X(str_complex) X(str_moderate)     \
    X(str_simple) X(str_should_chunk) X(str_total_lines) X(str_first_read_lines)        \
    X(str_section_boundaries) X(str_effective_lines) X(str_complex_construct_count)     \
    X(str_stored_proc_count)                                                            \
    /* constant texts */                                                                \
    X(text_empty) X(text_utf8) X(text_cte_pattern) X(text_temp_pattern)                 \
    X(text_go_line) X(text_definition_line)                                             \
    /* keyword-name tuples for calls */                                                 \
    X(kw_encoding) X(kw_result_fields) X(kw_strategy_fields)                            \
    X(event_sql_classified) X(kw_sql_classified)                                        \
    X(event_reading_strategy) X(kw_reading_strategy)                                    \
    /* import-time objects: the fast path stands for exactly these */                  \
    X(orig_re) X(orig_re_match) X(orig_re_findall) X(orig_re_ignorecase)                \
    X(orig_comment_patterns) X(orig_complex_patterns) X(orig_moderate_patterns)         \
    X(orig_stored_proc_pattern) X(orig_comment_items) X(orig_complex_items)             \
    X(orig_moderate_items) X(orig_result_type) X(orig_result_init) X(orig_levels)         \
    X(orig_level_simple) X(orig_level_moderate) X(orig_level_complex) X(str_init)        \
    X(empty_tuple)                                                                      \
    /* the logger behind structlog's lazy proxy, once learnt */                        \
    X(logger_proxy) X(logger_bind) X(logger_bound) X(logger_nop) X(logger_nop_code)

struct NativeTables;  // compiled native programs; null when the fast path is unavailable

struct State {
    TRANSMUTE_STATE_OBJECTS(COMPLEXITY_STATE_OBJECTS)
    NativeTables* native;
    unsigned int logger_type_version;
    transmute::LoggerCache logger_cache() {
        return {logger_proxy, logger_bind, logger_bound, logger_type_version, logger_nop, logger_nop_code};
    }
    // Frees the native tables, once the module goes away.
    void release_native();
};

// Compiles the native programs from the pattern objects the module bound; on failure the
// module works through the host path only, and says so with a RuntimeWarning.
bool build_native_tables(State* st);

inline State* state_of(PyObject* module) { return transmute::module_state<State>(module); }

// path.read_text(encoding="utf-8"), through whatever `path` is.
inline transmute::Ref read_text_utf8(State* st, PyObject* path) {
    PyObject* args[2] = {path, st->text_utf8};
    return transmute::Ref::steal(
        PyObject_VectorcallMethod(st->str_read_text, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, st->kw_encoding));
}

}  // namespace complexity
