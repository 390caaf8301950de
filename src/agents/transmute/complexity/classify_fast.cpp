// The native fast path of classify_sql: one comment-removal pass, one line count, one
// multi-pattern presence scan and three counting scans, with the GIL released on large texts.
// Taken only while every attribute it stands for is the import-time object, unchanged;
// otherwise the call goes down the host path. Tested in tests/test_classify.py.
#include "classify_paths.hpp"
#include "patterns.hpp"
#include "regex/regex.hpp"
#include "scan/comments.hpp"
#include "scan/lines.hpp"
#include "scan/triggers.hpp"
#include "text.hpp"

#include <string>
#include <vector>

using transmute::Ref;
namespace rx = transmute::regex;
namespace scan = transmute::scan;

namespace complexity {

struct NativeTables {
    std::unique_ptr<scan::TriggerScan> presence;  // the complex patterns, then the moderate ones
    size_t complex_count = 0;
    rx::ProgramPtr stored_proc;
    rx::ProgramPtr temp_table;
    rx::ProgramPtr cte;
};

namespace {

constexpr size_t kReleaseGilAbove = 1 << 16;

bool pattern_facts(PyObject* pattern, std::u32string& source, int& flags) {
    Ref text = Ref::steal(PyObject_GetAttrString(pattern, "pattern"));
    Ref flag_value = Ref::steal(PyObject_GetAttrString(pattern, "flags"));
    if (!text || !flag_value || !PyUnicode_Check(text.get())) return false;
    flags = static_cast<int>(PyLong_AsLong(flag_value.get())) & ~32;  // re.UNICODE is implied
    if (PyErr_Occurred()) return false;
    source.clear();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    for (Py_ssize_t i = 0; i < n; ++i) source += static_cast<char32_t>(PyUnicode_READ_CHAR(text.get(), i));
    return true;
}

// Compiles one program from its source; records why not.
rx::ProgramPtr compile(const std::u32string& source, int flags, std::string& failures) {
    std::string error;
    rx::ProgramPtr program = rx::compile(source, flags, error);
    if (!program) {
        failures += "\n  ";
        failures.append(source.begin(), source.end());
        failures += ": " + error;
    }
    return program;
}

std::u32string widen(const char* text) {
    std::u32string out;
    for (; *text; ++text) out += static_cast<char32_t>(static_cast<unsigned char>(*text));
    return out;
}

// True while the list `current` is the import-time list holding the import-time items.
bool same_list(PyObject* current, PyObject* original, PyObject* original_items) {
    if (current != original || !PyList_CheckExact(current)) return false;
    const Py_ssize_t n = PyList_GET_SIZE(current);
    if (n != PyTuple_GET_SIZE(original_items)) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(current, i) != PyTuple_GET_ITEM(original_items, i)) return false;
    return true;
}

PyObject* namespace_item(PyObject* dict, PyObject* name) { return PyDict_GetItemWithError(dict, name); }

// Whether every attribute the fast path stands for is still the import-time object.
int fast_path_allowed(PyObject* module, State* st) {
    if (st->native == nullptr) return 0;
    PyObject* ns = PyModule_GetDict(module);
    PyObject* re_module = namespace_item(ns, st->name_re);
    if (re_module != st->orig_re) return PyErr_Occurred() ? -1 : 0;
    if (!same_list(namespace_item(ns, st->name_comment_patterns), st->orig_comment_patterns, st->orig_comment_items) ||
        !same_list(namespace_item(ns, st->name_complex_patterns), st->orig_complex_patterns, st->orig_complex_items) ||
        !same_list(namespace_item(ns, st->name_moderate_patterns), st->orig_moderate_patterns, st->orig_moderate_items) ||
        namespace_item(ns, st->name_stored_proc_pattern) != st->orig_stored_proc_pattern)
        return PyErr_Occurred() ? -1 : 0;
    PyObject* re_dict = PyModule_Check(re_module) ? PyModule_GetDict(re_module) : nullptr;
    if (re_dict == nullptr) return 0;
    if (namespace_item(re_dict, st->str_findall) != st->orig_re_findall ||
        namespace_item(re_dict, st->str_ignorecase) != st->orig_re_ignorecase)
        return PyErr_Occurred() ? -1 : 0;
    return 1;
}

template <class C>
void classify_text(const NativeTables& tables, const C* s, size_t n, Counts& counts) {
    std::vector<C> stripped;
    scan::strip_comments(s, n, stripped);
    const C* t = stripped.data();
    const size_t m = stripped.size();
    counts.effective_lines = static_cast<Py_ssize_t>(scan::count_nonblank_lines(t, m));

    std::vector<bool> found(tables.presence->size(), false);
    tables.presence->find_present(t, m, found);
    counts.complex_constructs = counts.moderate_constructs = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        if (!found[i]) continue;
        if (i < tables.complex_count)
            ++counts.complex_constructs;
        else
            ++counts.moderate_constructs;
    }
    counts.stored_procs = static_cast<Py_ssize_t>(rx::count(*tables.stored_proc, t, m));
    counts.temp_tables = static_cast<Py_ssize_t>(rx::count(*tables.temp_table, t, m));
    counts.ctes = static_cast<Py_ssize_t>(rx::count(*tables.cte, t, m));
}

}  // namespace

bool build_native_tables(PyObject* module, State* st) {
    auto tables = std::make_unique<NativeTables>();
    std::string failures;
    std::vector<rx::ProgramPtr> programs;
    std::vector<std::u32string> sources;
    std::vector<int> flags;
    for (PyObject* items : {st->orig_complex_items, st->orig_moderate_items}) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
            std::u32string source;
            int flag = 0;
            if (!pattern_facts(PyTuple_GET_ITEM(items, i), source, flag)) return false;
            programs.push_back(compile(source, flag, failures));
            sources.push_back(source);
            flags.push_back(flag);
        }
        if (items == st->orig_complex_items) tables->complex_count = programs.size();
    }
    std::u32string source;
    int flag = 0;
    if (!pattern_facts(st->orig_stored_proc_pattern, source, flag)) return false;
    tables->stored_proc = compile(source, flag, failures);
    tables->temp_table = compile(widen(kTempTablePattern), 0, failures);
    tables->cte = compile(widen(kCtePattern), kIgnoreCase, failures);
    if (!failures.empty()) {
        // Exact answers come from the host path; say which patterns the engine refused.
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "agents.transmute.complexity: native engine refused, using re:%s",
                                failures.c_str()) == 0;
    }
    tables->presence = scan::TriggerScan::build(std::move(programs), sources, flags);
    st->native = tables.release();
    return true;
}

void free_native_tables(State* st) {
    delete st->native;
    st->native = nullptr;
}

FastResult classify_fast(PyObject* module, State* st, PyObject* sql, Counts& counts) {
    const int allowed = fast_path_allowed(module, st);
    if (allowed < 0) return FastResult::error;
    if (allowed == 0) return FastResult::not_taken;
    const NativeTables& tables = *st->native;
    const bool release = static_cast<size_t>(PyUnicode_GET_LENGTH(sql)) >= kReleaseGilAbove;
    PyThreadState* saved = release ? PyEval_SaveThread() : nullptr;
    bool out_of_memory = false;
    try {
        transmute::visit_text(sql, [&](const auto* s, Py_ssize_t n) {
            classify_text(tables, s, static_cast<size_t>(n), counts);
        });
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    if (release) PyEval_RestoreThread(saved);
    if (out_of_memory) {
        PyErr_NoMemory();
        return FastResult::error;
    }
    return FastResult::taken;
}

}  // namespace complexity
