// The exact host path of detect_construct_categories: comments are removed with the module's
// `re.sub` and each pattern of the module's `_CATEGORY_PATTERNS` is searched in turn, so replaced
// or edited attributes take effect at the next call. Tested in tests/test_lorepick_detect.py.
#include "category_detection.hpp"
#include "host_calls.hpp"
#include "unpack.hpp"

using transmute::Ref;
using transmute::call_method;
using transmute::global;

namespace lorepick {
namespace {

// re.sub(pattern, '', text, flags=re.<flag_name>) through the module's current `re`.
Ref remove_all(PyObject* module, State* st, PyObject* pattern, PyObject* text, PyObject* flag_name) {
    transmute::ReWithFlag sub;
    if (!sub.look_up(module, st->name_re, st->str_sub, flag_name)) return {};
    PyObject* args[3] = {pattern, st->text_empty, text};
    return sub.call(args, 3, st->kw_flags);
}

}  // namespace

bool detect_host(PyObject* module, State* st, PyObject* sql, PyObject* found) {
    // Line comments go first: a "--" inside a block comment also swallows its "*/".
    Ref stripped = remove_all(module, st, st->text_line_comment, sql, st->str_multiline);
    if (!stripped) return false;
    stripped = remove_all(module, st, st->text_block_comment, stripped.get(), st->str_dotall);
    if (!stripped) return false;

    Ref patterns = global(module, st->name_category_patterns);
    if (!patterns) return false;
    Ref items = call_method(st->str_items, patterns.get());
    if (!items) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref pair[2];  // category, pattern
        if (!transmute::unpack_exact(item.get(), pair, 2)) return false;
        Ref match = call_method(st->str_search, pair[1].get(), stripped.get());
        if (!match) return false;
        const int hit = PyObject_IsTrue(match.get());
        if (hit < 0) return false;
        if (hit && PySet_Add(found, pair[0].get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace lorepick
