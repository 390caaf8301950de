// Import of agents.transmute.lorepick: binds the host imports, the logger, the selection tables,
// the category patterns and the functions in their fixed order. Tested in
// tests/test_lorepick_select.py (import order and tables) and the other lorepick test files.
#include "functions.hpp"
#include "assembly.hpp"
#include "state.hpp"
#include "tables.hpp"

#include <initializer_list>

using transmute::Ref;

namespace lorepick {
namespace {

using transmute::intern;
using transmute::names_tuple;
using transmute::set_attr;

bool init_state(State* st) {
    return intern(st->name_re, "re") && intern(st->name_logger, "logger") &&
           intern(st->name_category_patterns, "_CATEGORY_PATTERNS") &&
           intern(st->name_mapping_table, "CONSTRUCT_TO_MAPPING_SECTIONS") &&
           intern(st->name_gotcha_table, "CONSTRUCT_TO_GOTCHA_SECTIONS") &&
           intern(st->name_always_mapping, "ALWAYS_INCLUDE_MAPPING") &&
           intern(st->name_always_gotchas, "ALWAYS_INCLUDE_GOTCHAS") &&
           intern(st->name_extract_sections, "extract_sections") &&
           intern(st->str_sub, "sub") && intern(st->str_split, "split") &&
           intern(st->str_search, "search") && intern(st->str_items, "items") &&
           intern(st->str_get, "get") && intern(st->str_lower, "lower") &&
           intern(st->str_strip, "strip") && intern(st->str_lstrip, "lstrip") &&
           intern(st->str_round, "__round__") && intern(st->str_multiline, "MULTILINE") &&
           intern(st->str_dotall, "DOTALL") && intern(st->text_empty, "") &&
           intern(st->text_line_comment, kLineCommentPattern) &&
           intern(st->text_block_comment, kBlockCommentPattern) &&
           intern(st->text_section_split, kSectionSplitPattern) &&
           intern(st->text_newline, "\n") && intern(st->text_hash, "#") &&
           intern(st->text_piece_separator, "\n\n") && intern(st->key_mapping, "mapping") &&
           intern(st->key_gotchas, "gotchas") && intern(st->key_limitations, "limitations") &&
           (st->kw_flags = names_tuple({"flags"}).release()) &&
           intern(st->event_knowledge_selected, "knowledge_selected") &&
           (st->kw_knowledge_selected =
                names_tuple({"categories", "mapping_sections", "gotcha_sections", "token_estimate",
                             "full_tokens", "reduction_pct"})
                    .release());
}

Ref title_list(const char* const* titles) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    for (; *titles; ++titles) {
        Ref title = Ref::steal(PyUnicode_FromString(*titles));
        if (!title || PyList_Append(list.get(), title.get()) < 0) return {};
    }
    return list;
}

template <size_t N>
Ref section_table(const SectionTitles (&rows)[N]) {
    Ref table = Ref::steal(PyDict_New());
    if (!table) return {};
    for (const SectionTitles& row : rows) {
        Ref titles = title_list(row.titles);
        if (!titles || PyDict_SetItemString(table.get(), row.category, titles.get()) < 0) return {};
    }
    return table;
}

Ref category_patterns(PyObject* re_module) {
    Ref ignorecase = Ref::steal(PyObject_GetAttrString(re_module, "IGNORECASE"));
    Ref table = Ref::steal(PyDict_New());
    if (!ignorecase || !table) return {};
    for (const CategoryPattern& row : kCategoryPatterns) {
        Ref compiled = Ref::steal(PyObject_CallMethod(re_module, "compile", "sO", row.source, ignorecase.get()));
        if (!compiled || PyDict_SetItemString(table.get(), row.category, compiled.get()) < 0) return {};
    }
    return table;
}

// Remembers the objects the native section split stands for, as import bound them.
bool snapshot_originals(PyObject* module, State* st) {
    st->orig_re = PyObject_GetAttr(module, st->name_re);
    if (!st->orig_re) return false;
    st->orig_re_split = PyObject_GetAttr(st->orig_re, st->str_split);
    if (!st->orig_re_split) return false;
    st->orig_re_multiline = PyObject_GetAttr(st->orig_re, st->str_multiline);
    if (!st->orig_re_multiline) return false;
    st->orig_re_sub = PyObject_GetAttr(st->orig_re, st->str_sub);
    if (!st->orig_re_sub) return false;
    st->orig_re_dotall = PyObject_GetAttr(st->orig_re, st->str_dotall);
    if (!st->orig_re_dotall) return false;
    st->orig_category_patterns = PyObject_GetAttr(module, st->name_category_patterns);
    if (!st->orig_category_patterns) return false;
    Ref items = Ref::steal(PyDict_Items(st->orig_category_patterns));
    if (!items) return false;
    st->orig_category_items = PyList_AsTuple(items.get());
    return st->orig_category_items != nullptr;
}

bool fill_module(PyObject* module) {
    State* st = state_of(module);
    if (!init_state(st)) return false;
    st->function_type = reinterpret_cast<PyObject*>(transmute::make_function_type(module));
    if (!st->function_type) return false;
    auto* function_type = reinterpret_cast<PyTypeObject*>(st->function_type);

    // Host imports and the logger.
    Ref re_module = Ref::steal(PyImport_ImportModule("re"));
    if (!set_attr(module, "re", re_module)) return false;
    Ref structlog = Ref::steal(PyImport_ImportModule("structlog"));
    if (!set_attr(module, "structlog", structlog)) return false;
    if (!set_attr(module, "logger", Ref::steal(PyObject_CallMethod(structlog.get(), "get_logger", nullptr))))
        return false;

    // Selection tables, then the category patterns compiled once by the host's re.
    if (!set_attr(module, "CONSTRUCT_TO_MAPPING_SECTIONS", section_table(kMappingSections)) ||
        !set_attr(module, "CONSTRUCT_TO_GOTCHA_SECTIONS", section_table(kGotchaSections)) ||
        !set_attr(module, "ALWAYS_INCLUDE_MAPPING", title_list(kAlwaysIncludeMapping)) ||
        !set_attr(module, "ALWAYS_INCLUDE_GOTCHAS", title_list(kAlwaysIncludeGotchas)) ||
        !set_attr(module, "_CATEGORY_PATTERNS", category_patterns(re_module.get())))
        return false;

    for (const transmute::FunctionDef* def :
         {&kDetectConstructCategories, &kSelectKnowledge, &kExtractSections}) {
        if (!set_attr(module, def->name, transmute::make_function(function_type, module, def))) return false;
    }

    return snapshot_originals(module, st) && build_native_tables(st);
}

transmute::NativeModule lorepick_module{
    {
        .def_name = "lorepick",
        .short_name = "lorepick",
        .full_name = "agents.transmute.lorepick",
        .doc = "Which construct categories a SQL script uses, and the knowledge sections they call for.",
        .fill = fill_module,
        .binds_builtins = true,
        // Loading is refused by the module itself in any interpreter but the first.
        .interpreters = transmute::Interpreters::supported,
    },
    std::type_identity<State>{}};

}  // namespace

}  // namespace lorepick

PyMODINIT_FUNC PyInit_lorepick(void) { return lorepick::lorepick_module.init(); }
