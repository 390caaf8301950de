// The native fast path of classify_sql: one comment-removal pass, one line count, one
// multi-pattern presence scan and three counting scans, with the GIL released on large texts.
// Taken only while every attribute it stands for is the import-time object, unchanged;
// otherwise the call goes down the host path. Tested in tests/test_classify.py.
#include "construct_counts.hpp"
#include "patterns.hpp"
#include "released.hpp"
#include "regex/regex.hpp"
#include "scan/comments.hpp"
#include "scan/from_patterns.hpp"
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
    // The complex patterns, then the moderate ones (presence), then the stored-procedure,
    // temporary-table and CTE patterns (counts).
    std::unique_ptr<scan::TriggerScan> scan;
    size_t complex_count = 0;
    size_t presence_count = 0;
};

namespace {

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
    scan::ScratchText<C> scratch;
    std::vector<C>& stripped = scratch.get();
    scan::strip_comments(s, n, stripped);
    const C* t = stripped.data();
    const size_t m = stripped.size();
    counts.effective_lines = static_cast<Py_ssize_t>(scan::count_nonblank_lines(t, m));

    scan::ScanResult result;
    tables.scan->run(t, m, result);
    counts.complex_constructs = counts.moderate_constructs = 0;
    for (size_t i = 0; i < tables.presence_count; ++i) {
        if (!result.found[i]) continue;
        if (i < tables.complex_count)
            ++counts.complex_constructs;
        else
            ++counts.moderate_constructs;
    }
    const size_t first_count = tables.presence_count;
    counts.stored_procs = static_cast<Py_ssize_t>(result.counts[first_count]);
    counts.temp_tables = static_cast<Py_ssize_t>(result.counts[first_count + 1]);
    counts.ctes = static_cast<Py_ssize_t>(result.counts[first_count + 2]);
}

}  // namespace

bool build_native_tables(PyObject* module, State* st) {
    auto tables = std::make_unique<NativeTables>();
    std::vector<scan::ScanPattern> patterns;
    for (PyObject* items : {st->orig_complex_items, st->orig_moderate_items}) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i)
            patterns.push_back({PyTuple_GET_ITEM(items, i), nullptr, 0, scan::Mode::presence});
        if (items == st->orig_complex_items) tables->complex_count = patterns.size();
    }
    tables->presence_count = patterns.size();
    patterns.push_back({st->orig_stored_proc_pattern, nullptr, 0, scan::Mode::count});
    patterns.push_back({nullptr, kTempTablePattern, 0, scan::Mode::count});
    patterns.push_back({nullptr, kCtePattern, kIgnoreCase, scan::Mode::count});
    std::string failures;
    tables->scan = scan::build_scan(patterns, failures);
    if (!tables->scan) {
        if (PyErr_Occurred()) return false;
        // Exact answers then come from the host path.
        return scan::warn_refused("agents.transmute.complexity", failures);
    }
    st->native = tables.release();
    return true;
}

void State::release_native() {
    delete native;
    native = nullptr;
}

FastResult classify_fast(PyObject* module, State* st, PyObject* sql, Counts& counts) {
    const int allowed = fast_path_allowed(module, st);
    if (allowed < 0) return FastResult::error;
    if (allowed == 0) return FastResult::not_taken;
    const NativeTables& tables = *st->native;
    if (!transmute::scan_text_released(sql, transmute::kReleaseGilAt, [&](const auto* s, size_t n) {
            classify_text(tables, s, n, counts);
        }))
        return FastResult::error;
    return FastResult::taken;
}

}  // namespace complexity
