// Module state of agents.transmute.lorepick: interned names, constant texts, and the import-time
// objects that decide whether a call may take a native path. Tested through
// tests/test_lorepick_detect.py, tests/test_lorepick_extract.py and tests/test_lorepick_select.py.
#pragma once

#include "module.hpp"
#include "records.hpp"

namespace lorepick {

// Every PyObject* the state owns.
#define LOREPICK_STATE_OBJECTS(X)                                                      \
    X(function_type)                                                                   \
    /* attribute names looked up in the module namespace at each call */               \
    X(name_re) X(name_logger) X(name_category_patterns) X(name_mapping_table)          \
    X(name_gotcha_table) X(name_always_mapping) X(name_always_gotchas)                 \
    X(name_extract_sections)                                                           \
    /* method and attribute names */                                                   \
    X(str_sub) X(str_split) X(str_search) X(str_items) X(str_get) X(str_lower)         \
    X(str_strip) X(str_lstrip) X(str_round) X(str_multiline) X(str_dotall)             \
    /* constant texts */                                                               \
    X(text_empty) X(text_line_comment) X(text_block_comment) X(text_section_split)     \
    X(text_newline) X(text_hash) X(text_piece_separator)                               \
    X(key_mapping) X(key_gotchas) X(key_limitations)                                   \
    /* keyword-name tuples for calls */                                                \
    X(kw_flags) X(event_knowledge_selected) X(kw_knowledge_selected)                   \
    /* import-time objects: the native section split stands for exactly these */      \
    X(orig_re) X(orig_re_split) X(orig_re_multiline) X(orig_re_sub) X(orig_re_dotall)    \
    X(orig_category_patterns) X(orig_category_items)                                   \
    /* the logger behind structlog's lazy proxy, once learnt */                       \
    X(logger_proxy) X(logger_bind) X(logger_bound) X(logger_nop) X(logger_nop_code)

struct NativeTables;  // compiled native programs; null when the fast path is unavailable

struct State {
    TRANSMUTE_STATE_OBJECTS(LOREPICK_STATE_OBJECTS)
    NativeTables* native;
    unsigned int logger_type_version;
    transmute::LoggerCache logger_cache() {
        return {logger_proxy, logger_bind, logger_bound, logger_type_version, logger_nop, logger_nop_code};
    }
    // Frees the native tables, once the module goes away.
    void release_native();
};

// Compiles the native programs from the category patterns the module bound; when the engine
// refuses one, detection works through the host path only and a RuntimeWarning says so.
bool build_native_tables(State* st);

inline State* state_of(PyObject* module) { return transmute::module_state<State>(module); }

}  // namespace lorepick
