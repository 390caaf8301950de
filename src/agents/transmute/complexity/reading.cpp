// plan_reading_strategy: chunked reading plans for files of more than 500 lines. The file's
// lines come from a str or from the host object read_text gave; the boundary lines from the
// fast path or the host path (reading_plan.hpp); the sections from pure arithmetic; then the
// hints, the debug event and the FileReadingStrategy record. Tested in tests/test_reading.py.
#include "functions.hpp"
#include "reading_plan.hpp"
#include "records.hpp"

using transmute::Ref;
using transmute::global;

namespace complexity {
namespace {

constexpr Py_ssize_t kChunkThreshold = 500;
constexpr Py_ssize_t kHintLength = 50;

Ref block_hint(Py_ssize_t line_count) {
    return Ref::steal(PyUnicode_FromFormat("SQL block (%zd lines)", line_count));
}

// A stripped line that is not a str (a host's strip() may return anything) goes through the
// object protocol as the plain reading does: its first 50 items, unless empty or opening with
// "--".
Ref object_line_hint(PyObject* stripped, const LineSpan& span) {
    Ref head = Ref::steal(PySequence_GetSlice(stripped, 0, kHintLength));
    if (!head) return {};
    const int truth = PyObject_IsTrue(head.get());
    if (truth < 0) return {};
    if (truth) {
        Ref dashes = Ref::steal(PyUnicode_FromString("--"));
        if (!dashes) return {};
        Ref comment = Ref::steal(PyObject_CallMethod(head.get(), "startswith", "O", dashes.get()));
        if (!comment) return {};
        const int is_comment = PyObject_IsTrue(comment.get());
        if (is_comment < 0) return {};
        if (!is_comment) return head;
    }
    return block_hint(span.end - span.start + 1);
}

// First 50 code points of a stripped line, unless blank or a comment.
Ref line_hint(Ref stripped, const LineSpan& span) {
    if (!stripped) return {};
    if (!PyUnicode_Check(stripped.get())) return object_line_hint(stripped.get(), span);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(stripped.get());
    if (length == 0 || (length >= 2 && PyUnicode_READ_CHAR(stripped.get(), 0) == '-' &&
                        PyUnicode_READ_CHAR(stripped.get(), 1) == '-'))
        return block_hint(span.end - span.start + 1);
    if (length <= kHintLength) return stripped;
    return Ref::steal(PyUnicode_Substring(stripped.get(), 0, kHintLength));
}

// Lines are counted first; `re` is not looked up for a file that is read whole. A str's native
// line tests run in the same pass.
bool count_lines(State* st, Ref text, FileLines& lines) {
    if (PyUnicode_CheckExact(text.get())) {
        count_str_lines(text.get(), lines);
        lines.text = std::move(text);
        return true;
    }
    return read_host_lines(st, text.get(), lines);
}

// The lookups made for line 1's first test decide: the native line tests stand for the host's
// re.match with re.IGNORECASE as imported, on a str's lines (whose strip() is the host's own);
// otherwise each stripped line goes through the module's re.match.
bool find_boundaries(PyObject* module, State* st, FileLines& lines, std::vector<Py_ssize_t>& boundaries) {
    if (!lines.text) return host_boundaries(module, st, lines, nullptr, boundaries);
    transmute::ReWithFlag first;
    if (!first.look_up(module, st->name_re, st->str_match, st->str_ignorecase)) return false;
    if (first.is(st->orig_re, st->orig_re_match, st->orig_re_ignorecase)) {
        boundaries = std::move(lines.native_boundaries);
        return true;
    }
    return host_boundaries(module, st, lines, &first, boundaries);
}

// The hint of each candidate section: its stripped first line, cut from a str where counting
// found it, or through each host line's strip().
bool section_hints(State* st, const FileLines& lines, const SectionPlan& plan, std::vector<Ref>& hints) {
    std::vector<Ref> stripped;
    if (lines.text) {
        std::vector<Py_ssize_t> indices;
        for (const LineSpan& span : plan.candidates) indices.push_back(span.start - 1);
        if (!stripped_str_lines(lines, indices, stripped)) return false;
    } else {
        for (const LineSpan& span : plan.candidates) {
            stripped.push_back(stripped_host_line(st, lines, span.start - 1));
            if (!stripped.back()) return false;
        }
    }
    for (size_t i = 0; i < plan.candidates.size(); ++i) {
        hints.push_back(i < stripped.size()
                            ? line_hint(std::move(stripped[i]), plan.candidates[i])
                            : block_hint(plan.candidates[i].end - plan.candidates[i].start + 1));
        if (!hints.back()) return false;
    }
    return true;
}

PyObject* make_strategy(PyObject* module, State* st, PyObject* chunked, PyObject* total, PyObject* first_read,
                        PyObject* boundaries) {
    Ref strategy_type = global(module, st->name_file_reading_strategy);
    if (!strategy_type) return nullptr;
    PyObject* fields[4] = {chunked, total, first_read, boundaries};
    return PyObject_Vectorcall(strategy_type.get(), fields, 0, st->kw_strategy_fields);
}

PyObject* whole_file_strategy(PyObject* module, State* st, Py_ssize_t total_lines) {
    Ref count = Ref::steal(PyLong_FromSsize_t(total_lines));
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!count || !empty) return nullptr;
    return make_strategy(module, st, Py_False, count.get(), count.get(), empty.get());
}

// The record of a chunked plan, after the "reading_strategy" debug event.
PyObject* chunked_strategy(PyObject* module, State* st, Py_ssize_t total_lines, const SectionPlan& plan,
                           const std::vector<Ref>& hints) {
    Ref boundaries = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(plan.sections.size())));
    if (!boundaries) return nullptr;
    for (size_t i = 0; i < plan.sections.size(); ++i) {
        const auto& section = plan.sections[i];
        PyObject* entry =
            Py_BuildValue("(nnO)", section.span.start, section.span.end, hints[section.hint_from].get());
        if (!entry) return nullptr;
        PyTuple_SET_ITEM(boundaries.get(), static_cast<Py_ssize_t>(i), entry);
    }
    Ref total = Ref::steal(PyLong_FromSsize_t(total_lines));
    Ref first = Ref::steal(PyLong_FromSsize_t(plan.first_read));
    Ref section_count = Ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(plan.sections.size())));
    if (!total || !first || !section_count) return nullptr;

    Ref logger = global(module, st->name_logger);
    if (!logger) return nullptr;
    PyObject* event_fields[3] = {total.get(), section_count.get(), first.get()};
    if (!transmute::emit_debug_event(logger.get(), st->logger_cache(), st->event_reading_strategy,
                                     st->kw_reading_strategy,
                                     event_fields))
        return nullptr;
    return make_strategy(module, st, Py_True, total.get(), first.get(), boundaries.get());
}

PyObject* plan_reading_strategy_impl(PyObject* module, PyObject* const* args) {
    State* st = state_of(module);
    Ref text = read_text_utf8(st, args[0]);
    if (!text) return nullptr;
    FileLines lines;
    if (!count_lines(st, std::move(text), lines)) return nullptr;
    if (lines.total <= kChunkThreshold) return whole_file_strategy(module, st, lines.total);

    std::vector<Py_ssize_t> boundaries;
    if (!find_boundaries(module, st, lines, boundaries)) return nullptr;
    const SectionPlan plan = plan_sections(lines.total, std::move(boundaries));
    std::vector<Ref> hints;
    if (!section_hints(st, lines, plan, hints)) return nullptr;
    return chunked_strategy(module, st, lines.total, plan, hints);
}

const char* const kPlanParams[] = {"sql_path"};
const char* const kPlanAnnotations[] = {"sql_path", "Path", "return", "FileReadingStrategy", nullptr};

}  // namespace

const transmute::FunctionDef kPlanReadingStrategy = {
    "plan_reading_strategy",
    "plan_reading_strategy",
    "Plan how to read a SQL file: whole when it has at most 500 lines, otherwise a first read of "
    "150 lines and up to five sections.",
    kPlanParams,
    1,
    nullptr,
    0,
    kPlanAnnotations,
    nullptr,
    plan_reading_strategy_impl};

}  // namespace complexity
