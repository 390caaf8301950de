// The turn-budget properties of ComplexityResult: how many model turns analysing, converting
// and auditing a script need, computed from the record's fields with the host's arithmetic (the
// fields may hold any numbers a caller put there). Tested in tests/test_budgets.py.
#include "functions.hpp"
#include "state.hpp"

using transmute::Ref;

namespace complexity {
namespace {

// min(x, cap) as the host computes it: x unless cap < x.
Ref capped(Ref x, long cap) {
    if (!x) return {};
    Ref limit = Ref::steal(PyLong_FromLong(cap));
    if (!limit) return {};
    int below = PyObject_RichCompareBool(limit.get(), x.get(), Py_LT);
    if (below < 0) return {};
    return below ? limit : x;
}

Ref binary(binaryfunc op, const Ref& a, long b) {
    if (!a) return {};
    Ref right = Ref::steal(PyLong_FromLong(b));
    if (!right) return {};
    return Ref::steal(op(a.get(), right.get()));
}

Ref add(long a, const Ref& b) {
    if (!b) return {};
    Ref left = Ref::steal(PyLong_FromLong(a));
    if (!left) return {};
    return Ref::steal(PyNumber_Add(left.get(), b.get()));
}

Ref add(const Ref& a, const Ref& b) {
    if (!a || !b) return {};
    return Ref::steal(PyNumber_Add(a.get(), b.get()));
}

PyObject* as_int(Ref value) {
    if (!value) return nullptr;
    if (PyLong_CheckExact(value.get())) return value.release();
    return PyNumber_Long(value.get());
}

PyObject* analysis_turns_impl(PyObject* module, PyObject* const* args) {
    State* st = state_of(module);
    PyObject* self = args[0];
    Ref lines = Ref::steal(PyObject_GetAttr(self, st->str_effective_lines));
    Ref chunk_turns = capped(binary(PyNumber_FloorDivide, lines, 300), 3);
    if (!chunk_turns) return nullptr;
    Ref constructs = Ref::steal(PyObject_GetAttr(self, st->str_complex_construct_count));
    Ref construct_turns = capped(constructs, 2);
    if (!construct_turns) return nullptr;
    return as_int(capped(add(add(3, chunk_turns), construct_turns), 8));
}

PyObject* conversion_turns_impl(PyObject* module, PyObject* const* args) {
    State* st = state_of(module);
    PyObject* self = args[0];
    Ref lines = Ref::steal(PyObject_GetAttr(self, st->str_effective_lines));
    Ref line_turns = binary(PyNumber_Multiply, binary(PyNumber_FloorDivide, lines, 100), 2);
    if (!line_turns) return nullptr;
    Ref constructs = Ref::steal(PyObject_GetAttr(self, st->str_complex_construct_count));
    Ref construct_turns = binary(PyNumber_Multiply, constructs, 2);
    if (!construct_turns) return nullptr;
    Ref procs = Ref::steal(PyObject_GetAttr(self, st->str_stored_proc_count));
    if (!procs) return nullptr;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    int has_procs = PyObject_RichCompareBool(procs.get(), zero.get(), Py_GT);
    if (has_procs < 0) return nullptr;
    Ref proc_turns = Ref::steal(PyLong_FromLong(has_procs ? 3 : 0));
    Ref total =
        add(add(add(add(5, line_turns), construct_turns), proc_turns), Ref::steal(PyLong_FromLong(4)));
    return as_int(capped(total, 40));
}

PyObject* audit_turns_impl(PyObject*, PyObject* const*) { return PyLong_FromLong(3); }

const char* const kSelfParam[] = {"self"};
const char* const kIntReturn[] = {"return", "int", nullptr};

}  // namespace

const transmute::FunctionDef kAnalysisTurns = {
    "recommended_analysis_turns",
    "ComplexityResult.recommended_analysis_turns",
    "Model turns for analysing the script: 3, plus size and construct turns, at most 8.",
    kSelfParam,
    1,
    nullptr,
    0,
    kIntReturn,
    nullptr,
    analysis_turns_impl};

const transmute::FunctionDef kConversionTurns = {
    "recommended_conversion_turns",
    "ComplexityResult.recommended_conversion_turns",
    "Model turns for converting the script: size, constructs, procedures and a buffer, at most 40.",
    kSelfParam,
    1,
    nullptr,
    0,
    kIntReturn,
    nullptr,
    conversion_turns_impl};

const transmute::FunctionDef kAuditTurns = {"recommended_audit_turns",
                                            "ComplexityResult.recommended_audit_turns",
                                            "Model turns for auditing the converted script: always 3.",
                                            kSelfParam,
                                            1,
                                            nullptr,
                                            0,
                                            kIntReturn,
                                            nullptr,
                                            audit_turns_impl};

}  // namespace complexity
