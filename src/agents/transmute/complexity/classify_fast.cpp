// The native fast path of classify_sql: one comment-removal pass, one line count, one
// multi-pattern presence scan and three counting scans, with the GIL released on large texts.
// Taken only while every attribute it stands for is the import-time object, unchanged;
// otherwise the call goes down the host path. Tested in tests/test_classify.py.
#include "construct_counts.hpp"
#include "fast_path.hpp"
#include "patterns.hpp"
#include "released.hpp"
#include "scan/comments.hpp"
#include "scan/from_patterns.hpp"
#include "scan/lines.hpp"
#include "scan/triggers.hpp"
#include "text.hpp"

#include <string>
#include <vector>

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

// What the fast path stands for: the module's `re` and pattern tables, and the `re` function
// and flag the host path would use.
constexpr transmute::Pinned<State> kPinned[] = {
    {transmute::Scope::module, &State::name_re, &State::orig_re},
    {transmute::Scope::module, &State::name_comment_patterns, &State::orig_comment_patterns,
     &State::orig_comment_items},
    {transmute::Scope::module, &State::name_complex_patterns, &State::orig_complex_patterns,
     &State::orig_complex_items},
    {transmute::Scope::module, &State::name_moderate_patterns, &State::orig_moderate_patterns,
     &State::orig_moderate_items},
    {transmute::Scope::module, &State::name_stored_proc_pattern, &State::orig_stored_proc_pattern},
    {transmute::Scope::re, &State::str_findall, &State::orig_re_findall},
    {transmute::Scope::re, &State::str_ignorecase, &State::orig_re_ignorecase},
};

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

bool build_native_tables(State* st) {
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

transmute::FastPath classify_fast(PyObject* module, State* st, PyObject* sql, Counts& counts) {
    using transmute::FastPath;
    if (st->native == nullptr) return FastPath::not_taken;
    const int allowed = transmute::all_pinned<State>(module, *st, st->orig_re, kPinned);
    if (allowed < 0) return FastPath::error;
    if (allowed == 0) return FastPath::not_taken;
    const NativeTables& tables = *st->native;
    if (!transmute::scan_text_released(sql, transmute::kReleaseGilAt, [&](const auto* s, size_t n) {
            classify_text(tables, s, n, counts);
        }))
        return FastPath::error;
    return FastPath::taken;
}

}  // namespace complexity
