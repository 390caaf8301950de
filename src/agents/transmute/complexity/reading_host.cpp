// The host path of plan_reading_strategy: the lines of whatever read_text gave that is not a
// str, through its own splitlines() and each line's strip(); and the boundary search through the
// module's `re.match` and `re.IGNORECASE`, looked up afresh for each test as the host's own loop
// does, for a str whose `re` was replaced and for host lines alike.
// Tested in tests/test_reading.py and tests/test_lookup_order.py.
#include "reading_plan.hpp"

#include <utility>

using transmute::Ref;
using transmute::ReWithFlag;

namespace complexity {
namespace {

// re.match(GO, line, re.IGNORECASE) or re.match(definition, line, re.IGNORECASE) for one
// stripped line, every lookup made afresh except those already made for this very test
// (`first`, consumed by the first test).
bool is_boundary_line(PyObject* module, State* st, PyObject* line, ReWithFlag* first, bool& is_boundary) {
    for (PyObject* pattern : {st->text_go_line, st->text_definition_line}) {
        ReWithFlag match;
        if (first) {
            match = std::move(*first);
            first = nullptr;
        } else if (!match.look_up(module, st->name_re, st->str_match, st->str_ignorecase)) {
            return false;
        }
        PyObject* args[2] = {pattern, line};
        Ref found = match.call(args, 2);
        if (!found) return false;
        const int truth = PyObject_IsTrue(found.get());
        if (truth < 0) return false;
        if (truth) {
            is_boundary = true;
            return true;
        }
    }
    is_boundary = false;
    return true;
}

}  // namespace

bool read_host_lines(State* st, PyObject* text, FileLines& lines) {
    Ref split = Ref::steal(PyObject_CallMethodNoArgs(text, st->str_splitlines));
    if (!split) return false;
    lines.host_lines = Ref::steal(PySequence_List(split.get()));
    if (!lines.host_lines) return false;
    lines.total = PyList_GET_SIZE(lines.host_lines.get());
    return true;
}

Ref stripped_host_line(State* st, const FileLines& lines, Py_ssize_t index) {
    return Ref::steal(
        PyObject_CallMethodNoArgs(PyList_GET_ITEM(lines.host_lines.get(), index), st->str_strip));
}

bool host_boundaries(PyObject* module, State* st, const FileLines& lines, ReWithFlag* first,
                     std::vector<Py_ssize_t>& boundaries) {
    bool ok = true;
    if (lines.text) {
        // A str's stripped lines are cut from it; str.strip() would give the same text.
        PyObject* text = lines.text.get();
        walk_lines(text, [&](Py_ssize_t index, const auto*, Py_ssize_t begin, Py_ssize_t end) {
            if (!ok) return;
            Ref line = Ref::steal(PyUnicode_Substring(text, begin, end));
            bool is_boundary = false;
            ok = line && is_boundary_line(module, st, line.get(), first, is_boundary);
            first = nullptr;
            if (ok && is_boundary) boundaries.push_back(index + 1);
        });
        return ok;
    }
    for (Py_ssize_t i = 0; i < lines.total && ok; ++i) {
        Ref line = stripped_host_line(st, lines, i);
        bool is_boundary = false;
        ok = line && is_boundary_line(module, st, line.get(), first, is_boundary);
        first = nullptr;
        if (ok && is_boundary) boundaries.push_back(i + 1);
    }
    return ok;
}

}  // namespace complexity
