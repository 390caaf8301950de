// plan_reading_strategy and FileReadingStrategy.format_reading_instructions: chunked reading
// plans for files of more than 500 lines and their instruction text. Tested in
// tests/test_reading.py.
#include "errors.hpp"
#include "functions.hpp"
#include "host_calls.hpp"
#include "records.hpp"
#include "state.hpp"
#include "text.hpp"
#include "unpack.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

using transmute::Ref;
using transmute::global;

namespace complexity {
namespace {

constexpr Py_ssize_t kChunkThreshold = 500;
constexpr Py_ssize_t kFirstRead = 150;
constexpr Py_ssize_t kMinSectionSpan = 20;
constexpr Py_ssize_t kHintLength = 50;

struct Section {
    Py_ssize_t start, end;
    Ref hint;
};

// Lower-cases a character the way the host's case-insensitive match does for ASCII pattern
// letters: simple lowercase mapping, plus the extra variants dotless i and long s.
template <class C>
inline Py_UCS4 fold(C ch) {
    const Py_UCS4 c = ch;
    if (c < 128) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if (c == 0x131) return 'i';
    if (c == 0x17F) return 's';
    return Py_UNICODE_TOLOWER(c);
}

template <class C>
inline bool is_word(C ch) {
    const Py_UCS4 c = ch;
    return c == '_' || Py_UNICODE_ISALNUM(c);
}

// Matches the lowercase ASCII `word` at s[pos..), case-insensitively; advances pos on success.
template <class C>
bool take_word(const C* s, Py_ssize_t end, Py_ssize_t& pos, const char* word) {
    Py_ssize_t p = pos;
    for (; *word; ++word, ++p) {
        if (p >= end || fold(s[p]) != static_cast<Py_UCS4>(*word)) return false;
    }
    pos = p;
    return true;
}

template <class C>
bool take_spaces(const C* s, Py_ssize_t end, Py_ssize_t& pos) {
    const Py_ssize_t start = pos;
    while (pos < end && transmute::is_space(s[pos])) ++pos;
    return pos > start;
}

// re.match(r"^GO\s*$", stripped_line, re.IGNORECASE): a stripped line ends in a non-space, so
// this is the line "GO" in any case.
template <class C>
bool is_go_line(const C* s, Py_ssize_t begin, Py_ssize_t end) {
    Py_ssize_t pos = begin;
    return take_word(s, end, pos, "go") && pos == end;
}

// re.match(r"^CREATE\s+(?:OR\s+ALTER\s+)?(?:PROC|PROCEDURE|FUNCTION)\b", stripped_line,
// re.IGNORECASE). No backtracking is needed: each branch point is decided by the next letter.
template <class C>
bool is_definition_line(const C* s, Py_ssize_t begin, Py_ssize_t end) {
    Py_ssize_t pos = begin;
    if (!take_word(s, end, pos, "create") || !take_spaces(s, end, pos)) return false;
    Py_ssize_t after_or = pos;
    if (take_word(s, end, after_or, "or") && take_spaces(s, end, after_or) &&
        take_word(s, end, after_or, "alter") && take_spaces(s, end, after_or))
        pos = after_or;
    auto word_ends = [&](Py_ssize_t p) { return p >= end || !is_word(s[p]); };
    for (const char* keyword : {"proc", "procedure", "function"}) {
        Py_ssize_t p = pos;
        if (take_word(s, end, p, keyword) && word_ends(p)) return true;
    }
    return false;
}

// Calls line(index, begin, end) for each line of a str, with stripped bounds, in one pass.
template <class F>
void walk_lines(PyObject* text, F&& line) {
    transmute::visit_text(text, [&](const auto* s, Py_ssize_t n) {
        Py_ssize_t index = 0;
        transmute::for_each_line(s, n, [&](Py_ssize_t begin, Py_ssize_t end) {
            transmute::strip_bounds(s, begin, end);
            line(index++, s, begin, end);
        });
    });
}

// `re.match(pattern, line, re.IGNORECASE)` as the host evaluates it for each stripped line:
// `re` and `re.match` are looked up, then `re` and `re.IGNORECASE`, then the call is made.
struct LineMatch {
    Ref re_for_match;
    Ref re_match;
    Ref re_for_flag;
    Ref ignorecase;

    bool look_up(PyObject* module, State* st) {
        re_for_match = global(module, st->name_re);
        if (!re_for_match) return false;
        re_match = Ref::steal(PyObject_GetAttr(re_for_match.get(), st->str_match));
        if (!re_match) return false;
        re_for_flag = global(module, st->name_re);
        if (!re_for_flag) return false;
        ignorecase = Ref::steal(PyObject_GetAttr(re_for_flag.get(), st->str_ignorecase));
        return static_cast<bool>(ignorecase);
    }
};

// The host path for one stripped line: `re.match(GO) or re.match(definition)`, every lookup
// made afresh except those already made for this very test (`first`, consumed once).
bool host_line_is_boundary(PyObject* module, State* st, PyObject* line, LineMatch* first, bool& is_boundary) {
    for (PyObject* pattern : {st->text_go_line, st->text_definition_line}) {
        LineMatch lookups;
        if (first) {
            lookups = std::move(*first);
            first = nullptr;
        } else if (!lookups.look_up(module, st)) {
            return false;
        }
        PyObject* args[3] = {pattern, line, lookups.ignorecase.get()};
        Ref found = Ref::steal(PyObject_Vectorcall(lookups.re_match.get(), args, 3, nullptr));
        if (!found) return false;
        int truth = PyObject_IsTrue(found.get());
        if (truth < 0) return false;
        if (truth) {
            is_boundary = true;
            return true;
        }
    }
    is_boundary = false;
    return true;
}

Ref block_hint(Py_ssize_t line_count) {
    return Ref::steal(PyUnicode_FromFormat("SQL block (%zd lines)", line_count));
}

// First 50 code points of a stripped line, unless blank or a comment.
Ref line_hint(Ref stripped, Py_ssize_t start, Py_ssize_t end) {
    if (!stripped) return {};
    const Py_ssize_t length = PyUnicode_GET_LENGTH(stripped.get());
    if (length == 0 ||
        (length >= 2 && PyUnicode_READ_CHAR(stripped.get(), 0) == '-' &&
         PyUnicode_READ_CHAR(stripped.get(), 1) == '-'))
        return block_hint(end - start + 1);
    if (length <= kHintLength) return stripped;
    return Ref::steal(PyUnicode_Substring(stripped.get(), 0, kHintLength));
}

PyObject* plan_reading_strategy_impl(PyObject* module, PyObject* const* args) {
    State* st = state_of(module);
    Ref text = read_text_utf8(st, args[0]);
    if (!text) return nullptr;

    // Lines are counted first; `re` is not looked up for a file that is read whole. The native
    // line tests run in the same pass, and their result is used only if the boundary search
    // finds the import-time `re.match` and `re.IGNORECASE`.
    std::vector<Py_ssize_t> major;
    Ref host_lines;  // the list from splitlines(), when read_text gave something other than a str
    Py_ssize_t total_lines = 0;
    if (PyUnicode_CheckExact(text.get())) {
        walk_lines(text.get(), [&](Py_ssize_t index, const auto* s, Py_ssize_t begin, Py_ssize_t end) {
            total_lines = index + 1;
            if (is_go_line(s, begin, end) || is_definition_line(s, begin, end)) major.push_back(index + 1);
        });
    } else {
        host_lines = Ref::steal(PyObject_CallMethodNoArgs(text.get(), st->str_splitlines));
        if (!host_lines) return nullptr;
        host_lines = Ref::steal(PySequence_List(host_lines.get()));
        if (!host_lines) return nullptr;
        total_lines = PyList_GET_SIZE(host_lines.get());
    }

    if (total_lines <= kChunkThreshold) {
        Ref strategy_type = global(module, st->name_file_reading_strategy);
        if (!strategy_type) return nullptr;
        Ref count = Ref::steal(PyLong_FromSsize_t(total_lines));
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!count || !empty) return nullptr;
        PyObject* fields[4] = {Py_False, count.get(), count.get(), empty.get()};
        return PyObject_Vectorcall(strategy_type.get(), fields, 0, st->kw_strategy_fields);
    }

    // Boundary lines. The lookups made for line 1's first test decide: the native line tests
    // stand for the host's re.match with re.IGNORECASE, as imported, on a str's lines (whose
    // strip() is the host's own); otherwise each stripped line goes through the module's re.match.
    bool ok = true;
    if (!host_lines) {
        LineMatch first;
        if (!first.look_up(module, st)) return nullptr;
        const bool native = first.re_for_match.get() == st->orig_re && first.re_for_flag.get() == st->orig_re &&
                            first.re_match.get() == st->orig_re_match &&
                            first.ignorecase.get() == st->orig_re_ignorecase;
        if (!native) {
            major.clear();
            LineMatch* pending = &first;
            walk_lines(text.get(), [&](Py_ssize_t index, const auto*, Py_ssize_t begin, Py_ssize_t end) {
                if (!ok) return;
                Ref line = Ref::steal(PyUnicode_Substring(text.get(), begin, end));
                bool is_boundary = false;
                ok = line && host_line_is_boundary(module, st, line.get(), pending, is_boundary);
                pending = nullptr;
                if (ok && is_boundary) major.push_back(index + 1);
            });
        }
    } else {
        for (Py_ssize_t i = 0; i < total_lines && ok; ++i) {
            Ref line = Ref::steal(PyObject_CallMethodNoArgs(PyList_GET_ITEM(host_lines.get(), i), st->str_strip));
            bool is_boundary = false;
            ok = line && host_line_is_boundary(module, st, line.get(), nullptr, is_boundary);
            if (ok && is_boundary) major.push_back(i + 1);
        }
    }
    if (!ok) return nullptr;

    const Py_ssize_t target_sections = std::min<Py_ssize_t>(std::max<Py_ssize_t>(total_lines / 300, 2), 5);
    if (static_cast<Py_ssize_t>(major.size()) > target_sections) {
        const Py_ssize_t step = static_cast<Py_ssize_t>(major.size()) / target_sections;
        std::vector<Py_ssize_t> thinned;
        for (Py_ssize_t k = 0; k < target_sections; ++k) thinned.push_back(major[k * step]);
        major.swap(thinned);
    }
    if (major.size() < 2) {
        const Py_ssize_t chunk_size = total_lines / target_sections;
        major.clear();
        for (Py_ssize_t k = 1; k < target_sections; ++k) major.push_back(chunk_size * k);
    }
    std::vector<Py_ssize_t> all = major;
    all.push_back(1);
    all.push_back(total_lines);
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());

    const Py_ssize_t first_read = std::min(kFirstRead, total_lines);
    std::vector<Section> sections;
    for (size_t k = 0; k + 1 < all.size(); ++k) {
        Py_ssize_t start = all[k];
        const Py_ssize_t end = all[k + 1];
        if (end <= first_read) continue;
        if (start < first_read) start = first_read + 1;
        if (end - start < kMinSectionSpan) continue;
        sections.push_back({start, end, Ref()});
    }

    // Hints: the stripped first line of each section, fetched in one more pass over the lines.
    auto hint_for = [&](Section& section, Ref stripped) {
        section.hint = line_hint(std::move(stripped), section.start, section.end);
        return static_cast<bool>(section.hint);
    };
    bool hints_ok = true;
    if (host_lines) {
        for (Section& section : sections) {
            const Py_ssize_t index = section.start - 1;
            hints_ok = hints_ok && hint_for(section, Ref::steal(PyObject_CallMethodNoArgs(
                                                         PyList_GET_ITEM(host_lines.get(), index), st->str_strip)));
        }
    } else if (!sections.empty()) {
        size_t next = 0;  // sections are in ascending line order
        walk_lines(text.get(), [&](Py_ssize_t index, const auto*, Py_ssize_t begin, Py_ssize_t end) {
            while (hints_ok && next < sections.size() && sections[next].start - 1 == index) {
                hints_ok = hint_for(sections[next++], Ref::steal(PyUnicode_Substring(text.get(), begin, end)));
            }
        });
    }
    if (!hints_ok) return nullptr;
    for (Section& section : sections) {
        if (!section.hint && !(section.hint = block_hint(section.end - section.start + 1))) return nullptr;
    }

    // Merge the adjacent pair with the smallest combined span (earliest on a tie) until the
    // plan has no more sections than targeted.
    while (static_cast<Py_ssize_t>(sections.size()) > target_sections) {
        double min_size = std::numeric_limits<double>::infinity();
        size_t min_index = 0;
        for (size_t i = 0; i + 1 < sections.size(); ++i) {
            const double combined = static_cast<double>(sections[i + 1].end - sections[i].start);
            if (combined < min_size) {
                min_size = combined;
                min_index = i;
            }
        }
        sections[min_index].end = sections[min_index + 1].end;
        sections.erase(sections.begin() + static_cast<std::ptrdiff_t>(min_index) + 1);
    }

    Ref boundaries = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sections.size())));
    if (!boundaries) return nullptr;
    for (size_t i = 0; i < sections.size(); ++i) {
        Ref entry = Ref::steal(Py_BuildValue("(nnO)", sections[i].start, sections[i].end,
                                             sections[i].hint.get()));
        if (!entry) return nullptr;
        PyTuple_SET_ITEM(boundaries.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    Ref total = Ref::steal(PyLong_FromSsize_t(total_lines));
    Ref first = Ref::steal(PyLong_FromSsize_t(first_read));
    Ref section_count = Ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(sections.size())));
    if (!total || !first || !section_count) return nullptr;

    Ref logger = global(module, st->name_logger);
    if (!logger) return nullptr;
    PyObject* event_fields[3] = {total.get(), section_count.get(), first.get()};
    if (!transmute::emit_debug_event(logger.get(), st->event_reading_strategy, st->kw_reading_strategy,
                                     event_fields))
        return nullptr;
    Ref strategy_type = global(module, st->name_file_reading_strategy);
    if (!strategy_type) return nullptr;
    PyObject* fields[4] = {Py_True, total.get(), first.get(), boundaries.get()};
    return PyObject_Vectorcall(strategy_type.get(), fields, 0, st->kw_strategy_fields);
}

// Instruction texts given to the model.
constexpr const char* kWholeFileOpen = "Read the complete SQL file at `";
constexpr const char* kWholeFileClose = "` using the Read tool.";
constexpr const char* kChunkedIntro = "This is a ";
constexpr const char* kChunkedIntroEnd = "-line SQL file. Read it strategically:";
constexpr const char* kFirstReadOpen = "1. Read lines 1-";
constexpr const char* kFirstReadClose =
    " to understand structure (SET statements, parameters, procedure signature).";
constexpr const char* kSectionsIntro = "2. Then read each logical section:";
constexpr const char* kSectionOpen = "   - Lines ";
constexpr const char* kRangeDash = "-";
constexpr const char* kHintSeparator = ": ";
constexpr const char* kClosing =
    "\nUse the Read tool with offset and limit parameters. Do NOT try to read the entire file in "
    "one Read call.";

// Concatenates pieces, each a C text or format(value, "").
class TextBuilder {
public:
    explicit TextBuilder(State* st) : st_(st) {}
    bool text(const char* piece) {
        Ref item = Ref::steal(PyUnicode_FromString(piece));
        return append(std::move(item));
    }
    bool value(PyObject* value) { return append(Ref::steal(PyObject_Format(value, st_->text_empty))); }
    Ref finish() {
        Ref joined = Ref::steal(PyUnicode_Join(st_->text_empty, parts_.get()));
        parts_ = Ref::steal(PyList_New(0));
        return joined;
    }
    bool ok() const { return static_cast<bool>(parts_); }

private:
    bool append(Ref item) { return item && parts_ && PyList_Append(parts_.get(), item.get()) == 0; }
    State* st_;
    Ref parts_ = Ref::steal(PyList_New(0));
};

PyObject* format_reading_instructions_impl(PyObject* module, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* sql_path = args[1];
    if (!transmute::check_exact_type(sql_path, &PyUnicode_Type, "sql_path")) return nullptr;
    State* st = state_of(module);

    Ref should_chunk = Ref::steal(PyObject_GetAttr(self, st->str_should_chunk));
    if (!should_chunk) return nullptr;
    const int chunked = PyObject_IsTrue(should_chunk.get());
    if (chunked < 0) return nullptr;
    TextBuilder out(st);
    if (!chunked) {
        if (!out.text(kWholeFileOpen) || !out.value(sql_path) || !out.text(kWholeFileClose)) return nullptr;
        return out.finish().release();
    }

    Ref lines = Ref::steal(PyList_New(0));
    if (!lines) return nullptr;
    auto end_line = [&]() {
        Ref line = out.finish();
        return line && PyList_Append(lines.get(), line.get()) == 0;
    };
    Ref total = Ref::steal(PyObject_GetAttr(self, st->str_total_lines));
    if (!total || !out.text(kChunkedIntro) || !out.value(total.get()) || !out.text(kChunkedIntroEnd) ||
        !end_line())
        return nullptr;
    Ref first = Ref::steal(PyObject_GetAttr(self, st->str_first_read_lines));
    if (!first || !out.text(kFirstReadOpen) || !out.value(first.get()) || !out.text(kFirstReadClose) ||
        !end_line())
        return nullptr;
    if (!out.text(kSectionsIntro) || !end_line()) return nullptr;

    Ref boundaries = Ref::steal(PyObject_GetAttr(self, st->str_section_boundaries));
    if (!boundaries) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(boundaries.get()));
    if (!iterator) return nullptr;
    while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref parts[3];
        if (!transmute::unpack_exact(entry.get(), parts, 3)) return nullptr;
        if (!out.text(kSectionOpen) || !out.value(parts[0].get()) || !out.text(kRangeDash) ||
            !out.value(parts[1].get()) || !out.text(kHintSeparator) || !out.value(parts[2].get()) ||
            !end_line())
            return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    if (!out.text(kClosing) || !end_line()) return nullptr;
    Ref newline = Ref::steal(PyUnicode_FromString("\n"));
    if (!newline) return nullptr;
    return PyUnicode_Join(newline.get(), lines.get());
}

const char* const kPlanParams[] = {"sql_path"};
const char* const kPlanAnnotations[] = {"sql_path", "Path", "return", "FileReadingStrategy", nullptr};
const char* const kFormatParams[] = {"self", "sql_path"};
const char* const kFormatAnnotations[] = {"sql_path", "str", "return", "str", nullptr};

}  // namespace

const transmute::FunctionDef kPlanReadingStrategy = {
    "plan_reading_strategy", "plan_reading_strategy",
    "Plan how to read a SQL file: whole when it has at most 500 lines, otherwise a first read of "
    "150 lines and up to five sections.",
    kPlanParams, 1, nullptr, 0, kPlanAnnotations, nullptr, plan_reading_strategy_impl};

const transmute::FunctionDef kFormatReadingInstructions = {
    "format_reading_instructions", "FileReadingStrategy.format_reading_instructions",
    "Render the reading plan as instruction text for the model.",
    kFormatParams, 2, nullptr, 0, kFormatAnnotations, nullptr, format_reading_instructions_impl};

}  // namespace complexity
