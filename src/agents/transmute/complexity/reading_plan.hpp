// The pieces of plan_reading_strategy: the file's lines (a str walked natively, or the lines a
// host object's splitlines() gave), its boundary lines (found by the native line tests while the
// module's `re.match` and `re.IGNORECASE` are the import-time ones, by the host's re.match
// otherwise), and the section arithmetic, which needs no Python at all.
// Tested in tests/test_reading.py and tests/test_lookup_order.py.
#pragma once

#include "host_calls.hpp"
#include "state.hpp"
#include "text.hpp"

#include <vector>

namespace complexity {

// The lines of the file being planned.
struct FileLines {
    transmute::Ref text;        // the str read_text gave, or null
    transmute::Ref host_lines;  // otherwise list(text.splitlines())
    Py_ssize_t total = 0;
    // 1-based numbers of the lines the native line tests take for boundaries (a str only).
    std::vector<Py_ssize_t> native_boundaries;
    // Where every kCheckpointLines-th line of the str starts (after its leading white space):
    // a section hint is read from the nearest one, not by walking the text again.
    static constexpr Py_ssize_t kCheckpointLines = 64;
    std::vector<Py_ssize_t> checkpoints;
};

// [start, end] in 1-based line numbers.
struct LineSpan {
    Py_ssize_t start, end;
};

struct SectionPlan {
    Py_ssize_t first_read = 0;
    Py_ssize_t target_sections = 0;
    // The sections before merging; each gets a hint.
    std::vector<LineSpan> candidates;
    // The sections after merging, each with the index of the candidate whose hint it keeps.
    struct Section {
        LineSpan span;
        size_t hint_from;
    };
    std::vector<Section> sections;
};

// Calls line(index, data, begin, end) for each line of a str, with its stripped bounds, in one
// pass.
template <class F>
inline void walk_lines(PyObject* text, F&& line) {
    transmute::visit_text(text, [&](const auto* s, Py_ssize_t n) {
        Py_ssize_t index = 0;
        transmute::for_each_line(s, n, [&](Py_ssize_t begin, Py_ssize_t end) {
            transmute::strip_bounds(s, begin, end);
            line(index++, s, begin, end);
        });
    });
}

// Pure arithmetic (reading_sections.cpp): the sections of a file of `total_lines` lines (more
// than the whole-file threshold) whose boundary lines are `boundaries`, in ascending order.
SectionPlan plan_sections(Py_ssize_t total_lines, std::vector<Py_ssize_t> boundaries);

// Fast path (reading_fast.cpp).
// Counts the lines of a str and runs the native line tests on each, in one pass.
void count_str_lines(PyObject* text, FileLines& lines);
// The stripped lines of a counted str at the 0-based `indices` (ascending); stops at the first
// index past the last line.
bool stripped_str_lines(const FileLines& lines, const std::vector<Py_ssize_t>& indices,
                        std::vector<transmute::Ref>& out);

// Host path (reading_host.cpp).
// list(text.splitlines()) of whatever read_text gave that is not a str.
bool read_host_lines(State* st, PyObject* text, FileLines& lines);
// The boundary lines through the module's `re.match`, line by line. `first` holds the lookups
// already made for line 1's first test (consumed there), or is null.
bool host_boundaries(PyObject* module, State* st, const FileLines& lines, transmute::ReWithFlag* first,
                     std::vector<Py_ssize_t>& boundaries);
// host_lines[index].strip().
transmute::Ref stripped_host_line(State* st, const FileLines& lines, Py_ssize_t index);

}  // namespace complexity
