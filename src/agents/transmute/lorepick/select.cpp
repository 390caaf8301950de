// select_knowledge: the mapping and gotchas sections a script's construct categories call for,
// the limitations document passed through, and the "knowledge_selected" event with the word
// counts saved. Tested in tests/test_lorepick_select.py.
#include "errors.hpp"
#include "functions.hpp"
#include "host_calls.hpp"
#include "records.hpp"
#include "state.hpp"
#include "text.hpp"

#include <cmath>

using transmute::Ref;
using transmute::call_method;
using transmute::global;

namespace lorepick {
namespace {

// Adds every title that `table` lists for `category` (table.get(category, [])) to `wanted`.
bool add_titles(PyObject* module, State* st, PyObject* table_name, PyObject* category, PyObject* wanted) {
    Ref table = global(module, table_name);
    if (!table) return false;
    Ref titles;
    if (PyDict_CheckExact(table.get())) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(table.get(), category, &found) < 0) return false;
        if (found == nullptr) return true;
        titles = Ref::steal(found);
    } else {
        Ref fallback = Ref::steal(PyList_New(0));
        if (!fallback) return false;
        PyObject* args[3] = {table.get(), category, fallback.get()};
        titles = Ref::steal(PyObject_VectorcallMethod(st->str_get, args, 3, nullptr));
        if (!titles) return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(titles.get()));
    if (!iterator) return false;
    while (Ref title = Ref::steal(PyIter_Next(iterator.get()))) {
        if (PySet_Add(wanted, title.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

// len(text.split()): maximal runs of non-whitespace, counted on the caller's string when it is
// a host str, through its own split() otherwise (a replaced extract_sections may return anything).
Ref word_count(PyObject* text, State* st) {
    if (PyUnicode_CheckExact(text)) {
        const Py_ssize_t words = transmute::visit_text(text, [](const auto* s, Py_ssize_t n) {
            Py_ssize_t count = 0;
            bool in_word = false;
            for (Py_ssize_t i = 0; i < n; ++i) {
                const bool space = transmute::is_space(s[i]);
                count += !space && !in_word;
                in_word = !space;
            }
            return count;
        });
        return Ref::steal(PyLong_FromSsize_t(words));
    }
    Ref words = call_method(st->str_split, text);
    if (!words) return {};
    const Py_ssize_t count = PyObject_Size(words.get());
    if (count < 0) return {};
    return Ref::steal(PyLong_FromSsize_t(count));
}

Ref total_words(PyObject* first, PyObject* second, State* st) {
    Ref a = word_count(first, st);
    if (!a) return {};
    Ref b = word_count(second, st);
    if (!b) return {};
    return Ref::steal(PyNumber_Add(a.get(), b.get()));
}

// round((1 - selected / max(full, 1)) * 100) as the host computes it. Counts up to 2**53 convert
// to double exactly, so the host's int division is one IEEE division there; round() of a float
// rounds halves to even, which nearbyint does in the default rounding mode.
Ref reduction_percent(PyObject* selected, PyObject* full, State* st) {
    constexpr long long kExactInDouble = 1LL << 53;
    const long long s = PyLong_AsLongLong(selected);
    const long long f = PyLong_AsLongLong(full);
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return {};
        PyErr_Clear();
    } else if (s >= -kExactInDouble && s <= kExactInDouble && f >= -kExactInDouble && f <= kExactInDouble) {
        const double divisor = static_cast<double>(f > 1 ? f : 1);
        const double share = static_cast<double>(s) / divisor;
        return Ref::steal(PyLong_FromDouble(std::nearbyint((1.0 - share) * 100.0)));
    }
    // Counts too large for a double: the host's own arithmetic, step by step.
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref hundred = Ref::steal(PyLong_FromLong(100));
    if (!one || !hundred) return {};
    const int above_one = PyObject_RichCompareBool(full, one.get(), Py_GT);
    if (above_one < 0) return {};
    Ref share = Ref::steal(PyNumber_TrueDivide(selected, above_one ? full : one.get()));
    if (!share) return {};
    Ref rest = Ref::steal(PyNumber_Subtract(one.get(), share.get()));
    if (!rest) return {};
    Ref percent = Ref::steal(PyNumber_Multiply(rest.get(), hundred.get()));
    if (!percent) return {};
    return call_method(st->str_round, percent.get());
}

Ref extract(PyObject* module, State* st, PyObject* document, PyObject* wanted) {
    Ref extract_sections = global(module, st->name_extract_sections);
    if (!extract_sections) return {};
    PyObject* args[2] = {document, wanted};
    return Ref::steal(PyObject_Vectorcall(extract_sections.get(), args, 2, nullptr));
}

PyObject* select_knowledge_impl(PyObject* module, PyObject* const* args) {
    PyObject* categories = args[0];
    PyObject* full_mapping = args[1];
    PyObject* full_gotchas = args[2];
    PyObject* full_limitations = args[3];
    if (!transmute::check_exact_type(categories, &PySet_Type, "categories") ||
        !transmute::check_exact_type(full_mapping, &PyUnicode_Type, "full_mapping") ||
        !transmute::check_exact_type(full_gotchas, &PyUnicode_Type, "full_gotchas") ||
        !transmute::check_exact_type(full_limitations, &PyUnicode_Type, "full_limitations"))
        return nullptr;
    State* st = state_of(module);

    Ref always_mapping = global(module, st->name_always_mapping);
    if (!always_mapping) return nullptr;
    Ref mapping_headers = Ref::steal(PySet_New(always_mapping.get()));
    if (!mapping_headers) return nullptr;
    Ref always_gotchas = global(module, st->name_always_gotchas);
    if (!always_gotchas) return nullptr;
    Ref gotcha_headers = Ref::steal(PySet_New(always_gotchas.get()));
    if (!gotcha_headers) return nullptr;

    Ref iterator = Ref::steal(PyObject_GetIter(categories));
    if (!iterator) return nullptr;
    while (Ref category = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!add_titles(module, st, st->name_mapping_table, category.get(), mapping_headers.get()) ||
            !add_titles(module, st, st->name_gotcha_table, category.get(), gotcha_headers.get()))
            return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    Ref selected_mapping = extract(module, st, full_mapping, mapping_headers.get());
    if (!selected_mapping) return nullptr;
    Ref selected_gotchas = extract(module, st, full_gotchas, gotcha_headers.get());
    if (!selected_gotchas) return nullptr;

    Ref token_estimate = total_words(selected_mapping.get(), selected_gotchas.get(), st);
    if (!token_estimate) return nullptr;
    Ref full_estimate = total_words(full_mapping, full_gotchas, st);
    if (!full_estimate) return nullptr;
    Ref reduction = reduction_percent(token_estimate.get(), full_estimate.get(), st);
    if (!reduction) return nullptr;

    Ref logger = global(module, st->name_logger);
    if (!logger) return nullptr;
    Ref debug = transmute::debug_method(logger.get(), st->logger_cache());
    if (!debug) return nullptr;
    // The sort refuses categories that cannot be ordered against one another.
    Ref sorted_categories = Ref::steal(PySequence_List(categories));
    if (!sorted_categories || PyList_Sort(sorted_categories.get()) < 0) return nullptr;
    Ref mapping_sections = Ref::steal(PyLong_FromSsize_t(PySet_GET_SIZE(mapping_headers.get())));
    Ref gotcha_sections = Ref::steal(PyLong_FromSsize_t(PySet_GET_SIZE(gotcha_headers.get())));
    if (!mapping_sections || !gotcha_sections) return nullptr;
    PyObject* fields[6] = {sorted_categories.get(), mapping_sections.get(), gotcha_sections.get(),
                           token_estimate.get(),    full_estimate.get(),    reduction.get()};
    if (!transmute::call_debug(debug.get(), st->logger_cache(), st->event_knowledge_selected,
                               st->kw_knowledge_selected, fields))
        return nullptr;

    Ref result = Ref::steal(PyDict_New());
    if (!result || PyDict_SetItem(result.get(), st->key_mapping, selected_mapping.get()) < 0 ||
        PyDict_SetItem(result.get(), st->key_gotchas, selected_gotchas.get()) < 0 ||
        PyDict_SetItem(result.get(), st->key_limitations, full_limitations) < 0)
        return nullptr;
    return result.release();
}

const char* const kPositional[] = {"categories"};
const char* const kKeywordOnly[] = {"full_mapping", "full_gotchas", "full_limitations"};
const char* const kAnnotations[] = {"categories",       "set[str]", "full_mapping", "str",
                                    "full_gotchas",     "str",      "full_limitations", "str",
                                    "return",           "dict[str, str]", nullptr};
const char* const kKeywordDefaults[] = {"full_limitations", "", nullptr};

}  // namespace

const transmute::FunctionDef kSelectKnowledge = {
    "select_knowledge", "select_knowledge",
    "Select the mapping and gotchas sections the construct categories call for, pass the "
    "limitations document through, and log the words saved.",
    kPositional, 1, kKeywordOnly, 3, kAnnotations, kKeywordDefaults, select_knowledge_impl};

}  // namespace lorepick
