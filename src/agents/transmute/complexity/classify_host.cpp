// The exact host path of classify_sql: every step goes through the module's own attributes and
// the host's re, so replaced or edited attributes take effect at the next call.
// Tested in tests/test_classify.py.
#include "construct_counts.hpp"
#include "host_calls.hpp"
#include "text.hpp"

using transmute::Ref;
using transmute::call_method;
using transmute::global;

namespace complexity {
namespace {

// How many patterns of the table find a match in `text`.
bool count_present(PyObject* table, State* st, PyObject* text, Py_ssize_t& count) {
    Ref iterator = Ref::steal(PyObject_GetIter(table));
    if (!iterator) return false;
    count = 0;
    while (Ref pattern = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref found = call_method(st->str_search, pattern.get(), text);
        if (!found) return false;
        int truth = PyObject_IsTrue(found.get());
        if (truth < 0) return false;
        count += truth;
    }
    return !PyErr_Occurred();
}

bool length_of(Ref value, Py_ssize_t& out) {
    if (!value) return false;
    out = PyObject_Size(value.get());
    return out >= 0;
}

}  // namespace

bool count_effective_lines(State* st, PyObject* text, Py_ssize_t& count) {
    count = 0;
    if (PyUnicode_CheckExact(text)) {
        transmute::visit_text(text, [&](const auto* s, Py_ssize_t n) {
            transmute::for_each_line(s, n, [&](Py_ssize_t begin, Py_ssize_t end) {
                transmute::strip_bounds(s, begin, end);
                count += begin < end;
            });
        });
        return true;
    }
    Ref lines = Ref::steal(PyObject_CallMethodNoArgs(text, st->str_splitlines));
    if (!lines) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(lines.get()));
    if (!iterator) return false;
    while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(line.get(), st->str_strip));
        if (!stripped) return false;
        int truth = PyObject_IsTrue(stripped.get());
        if (truth < 0) return false;
        count += truth;
    }
    return !PyErr_Occurred();
}

bool classify_host(PyObject* module, State* st, PyObject* sql, Counts& counts) {
    // Line comments go first, then block comments, each removed without a trace.
    Ref stripped = Ref::borrow(sql);
    Ref comment_patterns = global(module, st->name_comment_patterns);
    if (!comment_patterns) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(comment_patterns.get()));
    if (!iterator) return false;
    while (Ref pattern = Ref::steal(PyIter_Next(iterator.get()))) {
        PyObject* args[3] = {pattern.get(), st->text_empty, stripped.get()};
        stripped = Ref::steal(PyObject_VectorcallMethod(st->str_sub, args, 3, nullptr));
        if (!stripped) return false;
    }
    if (PyErr_Occurred()) return false;

    if (!count_effective_lines(st, stripped.get(), counts.effective_lines)) return false;

    Ref complex_patterns = global(module, st->name_complex_patterns);
    if (!complex_patterns ||
        !count_present(complex_patterns.get(), st, stripped.get(), counts.complex_constructs))
        return false;
    Ref moderate_patterns = global(module, st->name_moderate_patterns);
    if (!moderate_patterns ||
        !count_present(moderate_patterns.get(), st, stripped.get(), counts.moderate_constructs))
        return false;

    Ref proc_pattern = global(module, st->name_stored_proc_pattern);
    if (!proc_pattern ||
        !length_of(call_method(st->str_findall, proc_pattern.get(), stripped.get()), counts.stored_procs))
        return false;

    // len(re.findall(r"#\w+", stripped)), then len(re.findall(CTE, stripped, re.IGNORECASE)):
    // `re` is looked up for each statement, and `re.findall` before `re.IGNORECASE`.
    Ref re_module = global(module, st->name_re);
    if (!re_module) return false;
    Ref findall = Ref::steal(PyObject_GetAttr(re_module.get(), st->str_findall));
    if (!findall) return false;
    {
        PyObject* args[2] = {st->text_temp_pattern, stripped.get()};
        if (!length_of(Ref::steal(PyObject_Vectorcall(findall.get(), args, 2, nullptr)), counts.temp_tables))
            return false;
    }
    transmute::ReWithFlag cte_findall;
    if (!cte_findall.look_up(module, st->name_re, st->str_findall, st->str_ignorecase)) return false;
    PyObject* args[2] = {st->text_cte_pattern, stripped.get()};
    return length_of(cte_findall.call(args, 2), counts.ctes);
}

}  // namespace complexity
