// Builds PLATFORM_MARKERS at import: the scanner's names are taken the way the host's
// `from agents.transmute.originscan import ...` takes them, then Marker is called once per row.
// Tested in tests/test_cuebook.py and tests/test_cuebook_import.py.
#include "assemble.hpp"

#include "assembly.hpp"
#include "host_calls.hpp"
#include "rows.hpp"

#include <array>
#include <cstddef>

using transmute::Ref;

namespace cuebook {
namespace {

constexpr const char* kScannerModule = "agents.transmute.originscan";

// Taken in this order; the first one missing is the one reported. Index 1 + p is Platform p.
constexpr const char* kImportedNames[] = {
    "Marker",           "PLATFORM_DATABRICKS", "PLATFORM_SNOWFLAKE", "PLATFORM_POSTGRESQL",
    "PLATFORM_MYSQL",   "PLATFORM_SQLSERVER",  "PLATFORM_ORACLE",    "PLATFORM_REDSHIFT",
    "PLATFORM_BIGQUERY", "PLATFORM_TERADATA",  "PLATFORM_HIVE",
};
constexpr std::size_t kImportedCount = std::size(kImportedNames);
static_assert(kImportedCount == 1 + kPlatformCount);

struct Names {
    Ref scanner_module;
    std::array<Ref, kImportedCount> imported;
    Ref fromlist;
    Ref dunder_name;
    Ref dunder_import;
    // Keyword names of the three call shapes a row can have.
    Ref kw_plain;
    Ref kw_scope;
    Ref kw_corroborating;

    PyObject* marker() const { return imported[0].get(); }
    PyObject* platform(Platform p) const { return imported[1 + static_cast<std::size_t>(p)].get(); }
};

Ref intern(const char* text) { return Ref::steal(PyUnicode_InternFromString(text)); }

bool make_names(Names& names) {
    names.scanner_module = intern(kScannerModule);
    names.dunder_name = intern("__name__");
    names.dunder_import = intern("__import__");
    names.fromlist = Ref::steal(PyTuple_New(kImportedCount));
    if (!names.scanner_module || !names.dunder_name || !names.dunder_import || !names.fromlist)
        return false;
    for (std::size_t i = 0; i < kImportedCount; ++i) {
        names.imported[i] = intern(kImportedNames[i]);
        if (!names.imported[i]) return false;
        PyTuple_SET_ITEM(names.fromlist.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names.imported[i].get()));
    }
    names.kw_plain = transmute::names_tuple({"id", "platforms", "confidence", "pattern"});
    names.kw_scope = transmute::names_tuple({"id", "platforms", "confidence", "pattern", "scope"});
    names.kw_corroborating =
        transmute::names_tuple({"id", "platforms", "confidence", "pattern", "corroborating_only"});
    return names.kw_plain && names.kw_scope && names.kw_corroborating;
}

// The scanner module as sys.modules holds it, when it is there and already has every name.
// Returns false with an exception set on error; `found` stays empty when it must be imported.
bool find_complete_scanner(const Names& names, Ref& found) {
    PyObject* loaded = nullptr;
    if (PyMapping_GetOptionalItem(PyImport_GetModuleDict(), names.scanner_module.get(), &loaded) < 0)
        return false;
    Ref module = Ref::steal(loaded);
    if (!module || module.get() == Py_None) return true;
    for (const Ref& name : names.imported) {
        int has = PyObject_HasAttrWithError(module.get(), name.get());
        if (has < 0) return false;
        if (has == 0) return true;
    }
    found = module;
    return true;
}

// Imports the scanner through the builtins' __import__, as an absolute from-import does.
Ref import_scanner(PyObject* module, const Names& names) {
    PyObject* import_func = nullptr;
    if (PyDict_GetItemRef(PyEval_GetBuiltins(), names.dunder_import.get(), &import_func) < 0) return {};
    Ref import = Ref::steal(import_func);
    if (!import) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return {};
    }
    PyObject* globals = PyModule_GetDict(module);
    return Ref::steal(PyObject_CallFunction(import.get(), "OOOOi", names.scanner_module.get(), globals,
                                            globals, names.fromlist.get(), 0));
}

// The error for a name the scanner lacks. The message names the missing name only; the
// exception's name, path and name_from attributes locate it, as the host's own do.
void raise_missing_name(PyObject* scanner, PyObject* package_name, PyObject* name) {
    Ref message = Ref::steal(PyUnicode_FromFormat("cannot import name %S", name));
    if (!message) return;
    Ref path;
    if (package_name != nullptr && PyModule_Check(scanner)) {
        path = Ref::steal(PyModule_GetFilenameObject(scanner));
        if (!path) PyErr_Clear();
    }
    PyErr_SetImportError(message.get(), package_name, path.get());
    PyObject* error = PyErr_GetRaisedException();
    if (error != nullptr && PyObject_SetAttrString(error, "name_from", name) < 0) {
        Py_DECREF(error);
        return;
    }
    PyErr_SetRaisedException(error);
}

// One name of the from-import: the attribute, or else the loaded submodule of that name.
Ref take_name(PyObject* scanner, const Names& names, PyObject* name) {
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttr(scanner, name, &value);
    if (found != 0) return Ref::steal(value);  // the value, or an error other than AttributeError

    PyObject* package_name_raw = nullptr;
    if (PyObject_GetOptionalAttr(scanner, names.dunder_name.get(), &package_name_raw) < 0) return {};
    Ref package_name = Ref::steal(package_name_raw);
    if (package_name && !PyUnicode_Check(package_name.get())) package_name = Ref();
    if (package_name) {
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package_name.get(), name));
        if (!full_name) return {};
        Ref submodule = Ref::steal(PyImport_GetModule(full_name.get()));
        if (submodule) return submodule;
        if (PyErr_Occurred()) return {};
    }
    raise_missing_name(scanner, package_name.get(), name);
    return {};
}

bool bind_imported_names(PyObject* module, const Names& names) {
    Ref scanner;
    if (!find_complete_scanner(names, scanner)) return false;
    if (!scanner) {
        scanner = import_scanner(module, names);
        if (!scanner) return false;
    }
    for (const Ref& name : names.imported) {
        Ref value = take_name(scanner.get(), names, name.get());
        if (!value || PyObject_SetAttr(module, name.get(), value.get()) < 0) return false;
    }
    return true;
}

// Calls Marker for one row, with the names as the module body sees them right now: the module
// namespace, then the builtins.
Ref build_row(PyObject* namespace_dict, const Names& names, const Row& row) {
    Ref marker = transmute::global_or_builtin(namespace_dict, names.marker());
    if (!marker) return {};
    // Every constant is read before the list exists, so no half-filled list is ever reachable.
    std::array<Ref, kPlatformCount> constants;
    for (std::size_t i = 0; i < row.platform_count; ++i) {
        constants[i] = transmute::global_or_builtin(namespace_dict, names.platform(row.platforms[i]));
        if (!constants[i]) return {};
    }
    Ref platforms = Ref::steal(PyList_New(row.platform_count));
    if (!platforms) return {};
    for (std::size_t i = 0; i < row.platform_count; ++i)
        PyList_SET_ITEM(platforms.get(), static_cast<Py_ssize_t>(i), constants[i].release());

    Ref id = Ref::steal(PyUnicode_FromString(row.id));
    Ref confidence = Ref::steal(PyUnicode_FromString(row.confidence));
    Ref pattern = Ref::steal(PyUnicode_FromString(row.pattern));
    if (!id || !confidence || !pattern) return {};

    Ref extra;
    PyObject* kwnames = names.kw_plain.get();
    if (row.scope != nullptr) {
        extra = Ref::steal(PyUnicode_FromString(row.scope));
        if (!extra) return {};
        kwnames = names.kw_scope.get();
    } else if (row.corroborating_only != Corroborating::NotPassed) {
        extra = Ref::borrow(row.corroborating_only == Corroborating::Yes ? Py_True : Py_False);
        kwnames = names.kw_corroborating.get();
    }
    // Slot 0 is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* args[] = {nullptr, id.get(), platforms.get(), confidence.get(), pattern.get(), extra.get()};
    return Ref::steal(PyObject_Vectorcall(marker.get(), args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace

bool assemble_table(PyObject* module) {
    Names names;
    if (!make_names(names) || !bind_imported_names(module, names)) return false;

    PyObject* namespace_dict = PyModule_GetDict(module);
    std::array<Ref, kRowCount> markers;  // released with the function if a row fails
    for (std::size_t i = 0; i < kRowCount; ++i) {
        markers[i] = build_row(namespace_dict, names, kRows[i]);
        if (!markers[i]) return false;
    }
    Ref table = Ref::steal(PyList_New(kRowCount));
    if (!table) return false;
    for (std::size_t i = 0; i < kRowCount; ++i)
        PyList_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), markers[i].release());
    return PyModule_AddObjectRef(module, "PLATFORM_MARKERS", table.get()) == 0;
}

}  // namespace cuebook
