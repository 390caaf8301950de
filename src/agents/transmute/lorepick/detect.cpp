// detect_construct_categories: which of the fourteen construct categories a SQL script uses,
// once its comments are removed. Tested in tests/test_lorepick_detect.py.
#include "category_detection.hpp"
#include "errors.hpp"
#include "functions.hpp"

using transmute::Ref;

namespace lorepick {
namespace {

PyObject* detect_construct_categories_impl(PyObject* module, PyObject* const* args) {
    PyObject* sql = args[0];
    if (!transmute::check_exact_type(sql, &PyUnicode_Type, "sql_content")) return nullptr;
    State* st = state_of(module);

    Ref found = Ref::steal(PySet_New(nullptr));
    if (!found) return nullptr;
    if (!transmute::fast_or_host([&] { return detect_fast(module, st, sql, found.get()); },
                                 [&] { return detect_host(module, st, sql, found.get()); }))
        return nullptr;
    return found.release();
}

const char* const kParams[] = {"sql_content"};
const char* const kAnnotations[] = {"sql_content", "str", "return", "set[str]", nullptr};

}  // namespace

const transmute::FunctionDef kDetectConstructCategories = {
    "detect_construct_categories", "detect_construct_categories",
    "Return the construct categories whose pattern occurs in the SQL text once its comments are "
    "removed.",
    kParams, 1, nullptr, 0, kAnnotations, nullptr, detect_construct_categories_impl};

}  // namespace lorepick
