// Import of agents.transmute.complexity: binds the host imports, logger, pattern tables, record
// and enumeration types and functions in their fixed order. Tested in tests/test_classify.py.
#include "functions.hpp"
#include "assembly.hpp"
#include "patterns.hpp"
#include "records.hpp"
#include "state.hpp"

#include <initializer_list>
#include <span>

using transmute::Ref;

namespace complexity {
namespace {

using transmute::intern;
using transmute::names_tuple;
using transmute::set_attr;

Ref compile_one(PyObject* re_module, const PatternText& pattern) {
    return Ref::steal(PyObject_CallMethod(re_module, "compile", "si", pattern.source, pattern.flags));
}

Ref compile_list(PyObject* re_module, std::span<const PatternText> patterns) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    for (const PatternText& pattern : patterns) {
        Ref compiled = compile_one(re_module, pattern);
        if (!compiled || PyList_Append(list.get(), compiled.get()) < 0) return {};
    }
    return list;
}

Ref import_from(const char* module_name, const char* attr) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return {};
    return Ref::steal(PyObject_GetAttrString(module.get(), attr));
}

bool init_state(State* st) {
    return intern(st->name_re, "re") && intern(st->name_logger, "logger") &&
           intern(st->name_complex_patterns, "_COMPLEX_PATTERNS") &&
           intern(st->name_moderate_patterns, "_MODERATE_PATTERNS") &&
           intern(st->name_stored_proc_pattern, "_STORED_PROC_PATTERN") &&
           intern(st->name_comment_patterns, "_COMMENT_PATTERNS") &&
           intern(st->name_sql_complexity, "SQLComplexity") &&
           intern(st->name_complexity_result, "ComplexityResult") &&
           intern(st->name_classify_sql, "classify_sql") &&
           intern(st->name_file_reading_strategy, "FileReadingStrategy") &&
           intern(st->str_search, "search") && intern(st->str_sub, "sub") &&
           intern(st->str_findall, "findall") && intern(st->str_match, "match") &&
           intern(st->str_read_text, "read_text") && intern(st->str_splitlines, "splitlines") &&
           intern(st->str_strip, "strip") && intern(st->str_ignorecase, "IGNORECASE") &&
           intern(st->str_complex, "COMPLEX") && intern(st->str_moderate, "MODERATE") &&
           intern(st->str_simple, "SIMPLE") && intern(st->str_should_chunk, "should_chunk") &&
           intern(st->str_total_lines, "total_lines") &&
           intern(st->str_first_read_lines, "first_read_lines") &&
           intern(st->str_section_boundaries, "section_boundaries") &&
           intern(st->str_effective_lines, "effective_lines") &&
           intern(st->str_complex_construct_count, "complex_construct_count") &&
           intern(st->str_stored_proc_count, "stored_proc_count") && intern(st->str_init, "__init__") &&
           (st->empty_tuple = PyTuple_New(0)) &&
           intern(st->text_empty, "") && intern(st->text_utf8, "utf-8") &&
           intern(st->text_cte_pattern, kCtePattern) &&
           intern(st->text_temp_pattern, kTempTablePattern) &&
           intern(st->text_go_line, kGoLinePattern) &&
           intern(st->text_definition_line, kDefinitionLinePattern) &&
           (st->kw_encoding = names_tuple({"encoding"}).release()) &&
           (st->kw_result_fields =
                names_tuple({"complexity", "effective_lines", "stored_proc_count",
                             "complex_construct_count", "moderate_construct_count",
                             "temp_table_count", "cte_count"})
                    .release()) &&
           (st->kw_strategy_fields = names_tuple({"should_chunk", "total_lines",
                                                  "first_read_lines", "section_boundaries"})
                                         .release()) &&
           intern(st->event_sql_classified, "sql_classified") &&
           (st->kw_sql_classified =
                names_tuple({"complexity", "effective_lines", "complex_constructs",
                             "moderate_constructs", "stored_procs"})
                    .release()) &&
           intern(st->event_reading_strategy, "reading_strategy") &&
           (st->kw_reading_strategy = names_tuple({"total_lines", "sections", "first_read"}).release());
}

// Remembers the objects the fast path stands for, as import bound them.
bool snapshot_originals(PyObject* module, State* st) {
    auto keep = [&](PyObject*& slot, PyObject* owner, PyObject* name) {
        slot = PyObject_GetAttr(owner, name);
        return slot != nullptr;
    };
    auto items = [](PyObject*& slot, PyObject* list) {
        slot = PySequence_Tuple(list);
        return slot != nullptr;
    };
    auto init_of = [&](PyObject*& slot, PyObject* type) {
        slot = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(type)->tp_dict, st->str_init);
        Py_XINCREF(slot);
        return slot != nullptr;
    };
    return keep(st->orig_re, module, st->name_re) &&
           keep(st->orig_result_type, module, st->name_complexity_result) &&
           init_of(st->orig_result_init, st->orig_result_type) &&
           keep(st->orig_levels, module, st->name_sql_complexity) &&
           keep(st->orig_level_simple, st->orig_levels, st->str_simple) &&
           keep(st->orig_level_moderate, st->orig_levels, st->str_moderate) &&
           keep(st->orig_level_complex, st->orig_levels, st->str_complex) &&
           keep(st->orig_re_match, st->orig_re, st->str_match) &&
           keep(st->orig_re_findall, st->orig_re, st->str_findall) &&
           keep(st->orig_re_ignorecase, st->orig_re, st->str_ignorecase) &&
           keep(st->orig_comment_patterns, module, st->name_comment_patterns) &&
           keep(st->orig_complex_patterns, module, st->name_complex_patterns) &&
           keep(st->orig_moderate_patterns, module, st->name_moderate_patterns) &&
           keep(st->orig_stored_proc_pattern, module, st->name_stored_proc_pattern) &&
           items(st->orig_comment_items, st->orig_comment_patterns) &&
           items(st->orig_complex_items, st->orig_complex_patterns) &&
           items(st->orig_moderate_items, st->orig_moderate_patterns);
}

Ref make_sql_complexity(PyObject* str_enum, PyObject* module_name) {
    Ref members = Ref::steal(Py_BuildValue("[(ss)(ss)(ss)]", "SIMPLE", "simple", "MODERATE",
                                           "moderate", "COMPLEX", "complex"));
    Ref args = Ref::steal(Py_BuildValue("(sO)", "SQLComplexity", members.get()));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O,s:s}", "module", module_name, "qualname", "SQLComplexity"));
    if (!members || !args || !kwargs) return {};
    return Ref::steal(PyObject_Call(str_enum, args.get(), kwargs.get()));
}

Ref make_property(PyTypeObject* function_type, PyObject* module, const transmute::FunctionDef* def) {
    Ref getter = transmute::make_function(function_type, module, def);
    if (!getter) return {};
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()));
}

bool fill_module(PyObject* module) {
    State* st = state_of(module);
    if (!init_state(st)) return false;
    st->function_type = reinterpret_cast<PyObject*>(transmute::make_function_type(module));
    if (!st->function_type) return false;
    auto* function_type = reinterpret_cast<PyTypeObject*>(st->function_type);
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;

    // Host imports.
    Ref re_module = Ref::steal(PyImport_ImportModule("re"));
    if (!set_attr(module, "re", re_module)) return false;
    Ref dataclass = import_from("dataclasses", "dataclass");
    if (!set_attr(module, "dataclass", dataclass)) return false;
    Ref str_enum = import_from("enum", "StrEnum");
    if (!set_attr(module, "StrEnum", str_enum)) return false;
    if (!set_attr(module, "Path", import_from("pathlib", "Path"))) return false;
    Ref structlog = Ref::steal(PyImport_ImportModule("structlog"));
    if (!set_attr(module, "structlog", structlog)) return false;
    if (!set_attr(module, "logger", Ref::steal(PyObject_CallMethod(structlog.get(), "get_logger", nullptr))))
        return false;

    // Pattern tables, compiled once by the host's re.
    if (!set_attr(module, "_COMPLEX_PATTERNS", compile_list(re_module.get(), kComplexPatterns)) ||
        !set_attr(module, "_MODERATE_PATTERNS", compile_list(re_module.get(), kModeratePatterns)) ||
        !set_attr(module, "_STORED_PROC_PATTERN", compile_one(re_module.get(), kStoredProcPattern)) ||
        !set_attr(module, "_COMMENT_PATTERNS", compile_list(re_module.get(), kCommentPatterns)))
        return false;

    // Types.
    if (!set_attr(module, "SQLComplexity", make_sql_complexity(str_enum.get(), module_name.get())))
        return false;
    Ref result_extra = Ref::steal(PyDict_New());
    if (!result_extra) return false;
    for (const transmute::FunctionDef* def : {&kAnalysisTurns, &kConversionTurns, &kAuditTurns}) {
        Ref prop = make_property(function_type, module, def);
        if (!prop || PyDict_SetItemString(result_extra.get(), def->name, prop.get()) < 0) return false;
    }
    Ref result_type = transmute::make_frozen_dataclass(
        module, dataclass.get(), "ComplexityResult",
        {{"complexity", "SQLComplexity"},
         {"effective_lines", "int"},
         {"stored_proc_count", "int"},
         {"complex_construct_count", "int"},
         {"moderate_construct_count", "int"},
         {"temp_table_count", "int"},
         {"cte_count", "int"}},
        result_extra.get());
    if (!set_attr(module, "ComplexityResult", result_type)) return false;

    // Classification functions.
    if (!set_attr(module, "classify_sql", transmute::make_function(function_type, module, &kClassifySql)) ||
        !set_attr(module, "classify_sql_file",
                  transmute::make_function(function_type, module, &kClassifySqlFile)))
        return false;

    // Reading plans.
    if (!set_attr(module, "_SECTION_DELIMITERS", compile_list(re_module.get(), kSectionDelimiters)))
        return false;
    Ref strategy_extra = Ref::steal(PyDict_New());
    Ref format_method = transmute::make_function(function_type, module, &kFormatReadingInstructions);
    if (!strategy_extra || !format_method ||
        PyDict_SetItemString(strategy_extra.get(), "format_reading_instructions", format_method.get()) < 0)
        return false;
    Ref strategy_type = transmute::make_frozen_dataclass(
        module, dataclass.get(), "FileReadingStrategy",
        {{"should_chunk", "bool"},
         {"total_lines", "int"},
         {"first_read_lines", "int"},
         {"section_boundaries", "tuple[tuple[int, int, str], ...]"}},
        strategy_extra.get());
    if (!set_attr(module, "FileReadingStrategy", strategy_type)) return false;
    if (!set_attr(module, "plan_reading_strategy",
                  transmute::make_function(function_type, module, &kPlanReadingStrategy)))
        return false;

    return snapshot_originals(module, st) && build_native_tables(st);
}

transmute::NativeModule complexity_module{
    {
        .def_name = "complexity",
        .short_name = "complexity",
        .full_name = "agents.transmute.complexity",
        .doc = "How hard a SQL script is, what turn budgets it needs, and how to read a large one.",
        .fill = fill_module,
        .binds_builtins = true,
        // Loading is refused by the module itself in any interpreter but the first.
        .interpreters = transmute::Interpreters::supported,
    },
    std::type_identity<State>{}};

}  // namespace

}  // namespace complexity

PyMODINIT_FUNC PyInit_complexity(void) { return complexity::complexity_module.init(); }
