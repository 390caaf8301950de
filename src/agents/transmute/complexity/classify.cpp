// classify_sql and classify_sql_file: the construct counts (from the fast path or the host
// path), the level they give and the ComplexityResult record. Tested in tests/test_classify.py.
#include "construct_counts.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "host_calls.hpp"
#include "records.hpp"
#include "state.hpp"

using transmute::Ref;
using transmute::global;

namespace complexity {
namespace {

PyObject* level_for(const Counts& c, PyObject* levels, State* st) {
    int level = 0;
    if (c.complex_constructs > 0 || c.effective_lines > 300 || c.stored_procs > 1)
        level = 2;
    else if (c.moderate_constructs > 2 || c.effective_lines > 50 || c.stored_procs == 1)
        level = 1;
    // Enumeration members never change once the class exists.
    if (levels == st->orig_levels) {
        PyObject* members[3] = {st->orig_level_simple, st->orig_level_moderate, st->orig_level_complex};
        return Py_NewRef(members[level]);
    }
    PyObject* names[3] = {st->str_simple, st->str_moderate, st->str_complex};
    return PyObject_GetAttr(levels, names[level]);
}

// Builds the record. While the record type and its __init__ are the import-time ones, the
// fields are set as that generated __init__ sets them (object.__setattr__, one per field),
// without the interpreted call; otherwise the type is called with keyword arguments.
Ref make_record(State* st, PyObject* record_type, PyObject* const* fields) {
    auto* type = reinterpret_cast<PyTypeObject*>(record_type);
    if (record_type == st->orig_result_type &&
        PyDict_GetItemWithError(type->tp_dict, st->str_init) == st->orig_result_init) {
        Ref record = Ref::steal(type->tp_new(type, st->empty_tuple, nullptr));
        if (!record) return {};
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(st->kw_result_fields); ++i) {
            if (PyObject_GenericSetAttr(record.get(), PyTuple_GET_ITEM(st->kw_result_fields, i), fields[i]) < 0)
                return {};
        }
        return record;
    }
    if (PyErr_Occurred()) return {};
    return Ref::steal(PyObject_Vectorcall(record_type, fields, 0, st->kw_result_fields));
}

PyObject* classify_sql_impl(PyObject* module, PyObject* const* args) {
    PyObject* sql = args[0];
    if (!transmute::check_exact_type(sql, &PyUnicode_Type, "sql_content")) return nullptr;
    State* st = state_of(module);

    Counts counts;
    if (!transmute::fast_or_host([&] { return classify_fast(module, st, sql, counts); },
                                 [&] { return classify_host(module, st, sql, counts); }))
        return nullptr;

    Ref levels = global(module, st->name_sql_complexity);
    if (!levels) return nullptr;
    Ref level = Ref::steal(level_for(counts, levels.get(), st));
    if (!level) return nullptr;
    Ref record_type = global(module, st->name_complexity_result);
    if (!record_type) return nullptr;

    Ref numbers[6] = {
        Ref::steal(PyLong_FromSsize_t(counts.effective_lines)),
        Ref::steal(PyLong_FromSsize_t(counts.stored_procs)),
        Ref::steal(PyLong_FromSsize_t(counts.complex_constructs)),
        Ref::steal(PyLong_FromSsize_t(counts.moderate_constructs)),
        Ref::steal(PyLong_FromSsize_t(counts.temp_tables)),
        Ref::steal(PyLong_FromSsize_t(counts.ctes)),
    };
    for (const Ref& number : numbers)
        if (!number) return nullptr;
    PyObject* fields[7] = {level.get(),      numbers[0].get(), numbers[1].get(), numbers[2].get(),
                           numbers[3].get(), numbers[4].get(), numbers[5].get()};
    Ref record = make_record(st, record_type.get(), fields);
    if (!record) return nullptr;

    Ref logger = global(module, st->name_logger);
    if (!logger) return nullptr;
    PyObject* event_fields[5] = {level.get(), numbers[0].get(), numbers[2].get(), numbers[3].get(),
                                 numbers[1].get()};
    if (!transmute::emit_debug_event(logger.get(), st->logger_cache(), st->event_sql_classified,
                                     st->kw_sql_classified,
                                     event_fields))
        return nullptr;
    return record.release();
}

PyObject* classify_sql_file_impl(PyObject* module, PyObject* const* args) {
    State* st = state_of(module);
    Ref content = read_text_utf8(st, args[0]);
    if (!content) return nullptr;
    Ref classify = global(module, st->name_classify_sql);
    if (!classify) return nullptr;
    return PyObject_CallOneArg(classify.get(), content.get());
}

const char* const kClassifySqlParams[] = {"sql_content"};
const char* const kClassifySqlAnnotations[] = {"sql_content", "str", "return", "ComplexityResult",
                                               nullptr};
const char* const kClassifyFileParams[] = {"sql_path"};
const char* const kClassifyFileAnnotations[] = {"sql_path", "Path", "return", "ComplexityResult",
                                                nullptr};

}  // namespace

const transmute::FunctionDef kClassifySql = {
    "classify_sql", "classify_sql",
    "Classify SQL text as simple, moderate or complex, with its construct counts.",
    kClassifySqlParams, 1, nullptr, 0, kClassifySqlAnnotations, nullptr, classify_sql_impl};

const transmute::FunctionDef kClassifySqlFile = {
    "classify_sql_file", "classify_sql_file",
    "Read a SQL file as UTF-8 and classify its text with classify_sql.",
    kClassifyFileParams, 1, nullptr, 0, kClassifyFileAnnotations, nullptr, classify_sql_file_impl};

}  // namespace complexity
