// The native fast path of detect_construct_categories: one comment-removal pass and one
// multi-pattern presence scan that stops once every category is seen, with the GIL released on
// large texts. Taken only while the module's `re`, `re.sub`, `re.MULTILINE`, `re.DOTALL` and
// `_CATEGORY_PATTERNS` (its keys and patterns) are the import-time objects; otherwise the call
// goes down the host path. Tested in tests/test_lorepick_detect.py and
// tests/test_lorepick_differential.py.
#include "category_detection.hpp"
#include "fast_path.hpp"
#include "released.hpp"
#include "scan/comments.hpp"
#include "scan/from_patterns.hpp"
#include "scan/triggers.hpp"
#include "text.hpp"

#include <vector>

namespace scan = transmute::scan;

namespace lorepick {

struct NativeTables {
    std::unique_ptr<scan::TriggerScan> scan;  // one presence pattern per category, in table order
};

namespace {

// What the fast path stands for: the module's `re` and category table, and the `re` functions
// and flags the host path would use.
constexpr transmute::Pinned<State> kPinned[] = {
    {transmute::Scope::module, &State::name_re, &State::orig_re},
    {transmute::Scope::module, &State::name_category_patterns, &State::orig_category_patterns,
     &State::orig_category_items},
    {transmute::Scope::re, &State::str_sub, &State::orig_re_sub},
    {transmute::Scope::re, &State::str_multiline, &State::orig_re_multiline},
    {transmute::Scope::re, &State::str_dotall, &State::orig_re_dotall},
};

// A script that shows every category early settles the whole-text scan early too, so what
// scanning the first part on its own saves is removing the comments of the rest; when some
// category is missing there (on real scripts, nearly always), the whole text is scanned from
// its start again. The first part is therefore scanned alone only in very long texts, where the
// saving is many times the waste.
constexpr size_t kProbeChars = 1 << 15;
constexpr size_t kProbeFrom = 16 * kProbeChars;

template <class C>
void detect_text(const NativeTables& tables, const C* s, size_t n, std::vector<bool>& found) {
    scan::ScratchText<C> scratch;
    std::vector<C>& stripped = scratch.get();
    scan::ScanResult result;
    if (n > kProbeFrom) {
        scan::strip_comments(s, n, stripped, kProbeChars);
        tables.scan->run(stripped.data(), stripped.size(), result, /*partial=*/true);
        bool all = true;
        for (bool present : result.found) all = all && present;
        if (all) {
            found = std::move(result.found);
            return;
        }
    }
    scan::strip_comments(s, n, stripped);
    tables.scan->run(stripped.data(), stripped.size(), result);
    found = std::move(result.found);
}

}  // namespace

bool build_native_tables(State* st) {
    std::vector<scan::ScanPattern> patterns;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(st->orig_category_items); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(st->orig_category_items, i);
        patterns.push_back({PyTuple_GET_ITEM(pair, 1), nullptr, 0, scan::Mode::presence});
    }
    std::string failures;
    auto tables = std::make_unique<NativeTables>();
    tables->scan = scan::build_scan(patterns, failures);
    if (!tables->scan) {
        if (PyErr_Occurred()) return false;
        return scan::warn_refused("agents.transmute.lorepick", failures);
    }
    st->native = tables.release();
    return true;
}

void State::release_native() {
    delete native;
    native = nullptr;
}

transmute::FastPath detect_fast(PyObject* module, State* st, PyObject* sql, PyObject* found) {
    if (st->native == nullptr) return transmute::FastPath::not_taken;
    const int allowed = transmute::all_pinned<State>(module, *st, st->orig_re, kPinned);
    if (allowed < 0) return transmute::FastPath::error;
    if (allowed == 0) return transmute::FastPath::not_taken;
    const NativeTables& tables = *st->native;
    std::vector<bool> present;
    if (!transmute::scan_text_released(sql, transmute::kReleaseGilAt, [&](const auto* s, size_t n) {
            detect_text(tables, s, n, present);
        }))
        return transmute::FastPath::error;
    for (size_t i = 0; i < present.size(); ++i) {
        if (!present[i]) continue;
        PyObject* key = PyTuple_GET_ITEM(PyTuple_GET_ITEM(st->orig_category_items, static_cast<Py_ssize_t>(i)), 0);
        if (PySet_Add(found, key) < 0) return transmute::FastPath::error;
    }
    return transmute::FastPath::taken;
}

}  // namespace lorepick
