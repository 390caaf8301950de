// The fast path of plan_reading_strategy on a str: one walk over the lines, in the str's own
// width, that counts them and runs the native line tests, which stand for
// re.match(r"^GO\s*$", line, re.IGNORECASE) and the definition-line pattern on each stripped
// line; and the stripped lines the hints are taken from. Tested in tests/test_reading.py
// (test_line_tests_agree_with_re_on_every_code_point compares the tests with re).
#include "reading_plan.hpp"
#include "regex/regex.hpp"
#include "text.hpp"

using transmute::Ref;

namespace complexity {
namespace {

// Matches the lowercase ASCII `word` at s[pos..), case-insensitively; advances pos on success.
template <class C>
bool take_word(const C* s, Py_ssize_t end, Py_ssize_t& pos, const char* word) {
    Py_ssize_t p = pos;
    for (; *word; ++word, ++p) {
        if (p >= end || transmute::regex::fold_ascii(s[p]) != static_cast<uint32_t>(*word)) return false;
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
    auto word_ends = [&](Py_ssize_t p) { return p >= end || !transmute::regex::is_word(s[p]); };
    for (const char* keyword : {"proc", "procedure", "function"}) {
        Py_ssize_t p = pos;
        if (take_word(s, end, p, keyword) && word_ends(p)) return true;
    }
    return false;
}

}  // namespace

void count_str_lines(PyObject* text, FileLines& lines) {
    walk_lines(text, [&](Py_ssize_t index, const auto* s, Py_ssize_t begin, Py_ssize_t end) {
        lines.total = index + 1;
        if (index % FileLines::kCheckpointLines == 0) lines.checkpoints.push_back(begin);
        if (is_go_line(s, begin, end) || is_definition_line(s, begin, end))
            lines.native_boundaries.push_back(index + 1);
    });
}

namespace {

// The stripped bounds of the line `skip` lines after the one starting at `at`, as str.splitlines()
// cuts them; false when the text ends first.
template <class C>
bool line_after(const C* s, Py_ssize_t n, Py_ssize_t at, Py_ssize_t skip, Py_ssize_t& begin, Py_ssize_t& end) {
    Py_ssize_t i = at;
    for (; skip > 0; --skip) {
        i = transmute::next_line_break(s, n, i);
        if (i >= n) return false;
        const C ch = s[i++];
        if (ch == '\r' && i < n && s[i] == '\n') ++i;
        if (i >= n) return false;  // a final line break starts no empty line
    }
    begin = i;
    end = transmute::next_line_break(s, n, i);
    transmute::strip_bounds(s, begin, end);
    return true;
}

}  // namespace

bool stripped_str_lines(const FileLines& lines, const std::vector<Py_ssize_t>& indices, std::vector<Ref>& out) {
    PyObject* text = lines.text.get();
    for (const Py_ssize_t index : indices) {
        const Py_ssize_t k = index / FileLines::kCheckpointLines;
        if (index < 0 || k >= static_cast<Py_ssize_t>(lines.checkpoints.size())) break;
        Py_ssize_t begin = 0, end = 0;
        bool found = false;
        transmute::visit_text(text, [&](const auto* s, Py_ssize_t n) {
            found = line_after(s, n, lines.checkpoints[static_cast<size_t>(k)],
                               index - k * FileLines::kCheckpointLines, begin, end);
        });
        if (!found) break;
        out.push_back(Ref::steal(PyUnicode_Substring(text, begin, end)));
        if (!out.back()) return false;
    }
    return true;
}

}  // namespace complexity
