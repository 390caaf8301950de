// agents.transmute._engine: the native regex engine exposed to the host (tests, benchmarks,
// the platform detector). Tested in tests/test_engine.py.
#include "module.hpp"
#include "pyref.hpp"
#include "regex/casefix_table.hpp"
#include "regex/backtrack.hpp"
#include "regex/regex.hpp"
#include "released.hpp"
#include "text.hpp"

#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using transmute::Ref;
namespace rx = transmute::regex;

using ModuleState = transmute::TypeState;  // the Program type

ModuleState* state_of(PyObject* module) { return transmute::module_state<ModuleState>(module); }

struct ProgramObject {
    PyObject_HEAD
    rx::ProgramPtr program;
    PyObject* source;
    int flags;
};

// Runs f(data, n) on the text, without the GIL for long texts; false with MemoryError set when
// it ran out of memory.
template <class F>
bool with_text(PyObject* text, F&& f) {
    return transmute::scan_text_released(text, transmute::kReleaseGilAt, std::forward<F>(f));
}

bool parse_text_pos(PyObject* args, PyObject* kwargs, const char* fmt, PyObject*& text,
                    Py_ssize_t& pos) {
    static const char* kw_text_pos[] = {"text", "pos", nullptr};
    pos = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt, const_cast<char**>(kw_text_pos), &PyUnicode_Type,
                                     &text, &pos)) {
        return false;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (pos < 0) pos = 0;
    if (pos > n) pos = n;
    return true;
}

PyObject* program_search(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* text;
    Py_ssize_t pos;
    if (!parse_text_pos(args, kwargs, "O!|n:search", text, pos)) return nullptr;
    const auto& prog = *reinterpret_cast<ProgramObject*>(self)->program;
    bool hit = false;
    if (!with_text(text, [&](auto* s, size_t n) { hit = rx::search(prog, s, n, pos); })) return nullptr;
    return PyBool_FromLong(hit);
}

PyObject* program_match(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* text;
    Py_ssize_t pos;
    if (!parse_text_pos(args, kwargs, "O!|n:match", text, pos)) return nullptr;
    const auto& prog = *reinterpret_cast<ProgramObject*>(self)->program;
    bool hit = false;
    if (!with_text(text, [&](auto* s, size_t n) { hit = rx::match_at(prog, s, n, pos); })) return nullptr;
    return PyBool_FromLong(hit);
}

PyObject* program_span(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* text;
    Py_ssize_t pos;
    if (!parse_text_pos(args, kwargs, "O!|n:span", text, pos)) return nullptr;
    const auto& prog = *reinterpret_cast<ProgramObject*>(self)->program;
    rx::Span sp{0, 0};
    bool hit = false;
    if (!with_text(text, [&](auto* s, size_t n) { hit = rx::find(prog, s, n, pos, sp); })) return nullptr;
    if (!hit) Py_RETURN_NONE;
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(sp.start), static_cast<Py_ssize_t>(sp.end));
}

// The end of pattern.match(text, pos) the way the scans find it: backtracking over a small
// window, then the memoised backtracker, then the Pike VM.
PyObject* program_anchored_end(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* text;
    Py_ssize_t pos;
    if (!parse_text_pos(args, kwargs, "O!|n:anchored_end", text, pos)) return nullptr;
    const auto& prog = *reinterpret_cast<ProgramObject*>(self)->program;
    Py_ssize_t end = -1;
    const bool done = transmute::run_released(false, [&] {
        transmute::visit_text(text, [&](const auto* s, Py_ssize_t n) {
        using C = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
        const size_t length = static_cast<size_t>(n);
        rx::BacktrackSpace space;
        size_t stop = 0, reached = 0;
        rx::Anchored outcome = rx::backtrack_at(prog, prog.spans, s, length, pos, space, stop, reached);
        if (outcome == rx::Anchored::too_far && rx::MemoBacktracker<C>::suits(prog, prog.spans)) {
            rx::MemoBacktracker<C> memo(prog, prog.spans, s, length);
            outcome = memo.run(pos, stop, reached) ? rx::Anchored::match : rx::Anchored::no_match;
        }
        if (outcome == rx::Anchored::too_far) {
            rx::Vm<C> vm(prog, prog.spans, s, length);
            size_t ms = 0;
            outcome = vm.leftmost(pos, true, false, ms, stop) ? rx::Anchored::match : rx::Anchored::no_match;
        }
        if (outcome == rx::Anchored::match) end = static_cast<Py_ssize_t>(stop);
    });
    });
    if (!done) return nullptr;
    if (end < 0) Py_RETURN_NONE;
    return PyLong_FromSsize_t(end);
}

PyObject* program_count(PyObject* self, PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "count() argument must be str, not %.200s", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    const auto& prog = *reinterpret_cast<ProgramObject*>(self)->program;
    size_t total = 0;
    if (!with_text(text, [&](auto* s, size_t n) { total = rx::count(prog, s, n); })) return nullptr;
    return PyLong_FromSize_t(total);
}

PyObject* program_spans(PyObject* self, PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "spans() argument must be str, not %.200s", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    const auto& prog = *reinterpret_cast<ProgramObject*>(self)->program;
    std::vector<rx::Span> spans;
    if (!with_text(text, [&](auto* s, size_t n) { rx::find_all(prog, s, n, spans); })) return nullptr;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < spans.size(); ++i) {
        PyObject* item = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(spans[i].start),
                                       static_cast<Py_ssize_t>(spans[i].end));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* program_sub_empty(PyObject* self, PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "sub_empty() argument must be str, not %.200s",
                     Py_TYPE(text)->tp_name);
        return nullptr;
    }
    const auto& prog = *reinterpret_cast<ProgramObject*>(self)->program;
    std::vector<rx::Span> spans;
    if (!with_text(text, [&](auto* s, size_t n) { rx::find_all(prog, s, n, spans); })) return nullptr;
    if (spans.empty() && PyUnicode_CheckExact(text)) return Py_NewRef(text);
    // The pieces between the matches, copied in the text's width; FromKindAndData narrows the
    // result to the smallest width that holds what is left.
    const int kind = PyUnicode_KIND(text);
    const char* data = static_cast<const char*>(PyUnicode_DATA(text));
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    std::string kept;
    if (!transmute::run_released(false, [&] {
            kept.reserve(n * static_cast<size_t>(kind));
            size_t from = 0;
            for (const rx::Span& span : spans) {
                kept.append(data + from * kind, (span.start - from) * kind);
                from = span.end;
            }
            kept.append(data + from * kind, (n - from) * kind);
        }))
        return nullptr;
    return PyUnicode_FromKindAndData(kind, kept.data(), static_cast<Py_ssize_t>(kept.size() / kind));
}

PyObject* program_repr(PyObject* self) {
    auto* p = reinterpret_cast<ProgramObject*>(self);
    return PyUnicode_FromFormat("<Program %R flags=%d>", p->source, p->flags);
}

PyObject* program_get_source(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<ProgramObject*>(self)->source);
}

PyObject* program_get_flags(PyObject* self, void*) {
    return PyLong_FromLong(reinterpret_cast<ProgramObject*>(self)->flags);
}

void program_dealloc(PyObject* self) {
    auto* p = reinterpret_cast<ProgramObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    std::destroy_at(&p->program);
    Py_CLEAR(p->source);
    type->tp_free(self);
    Py_DECREF(type);
}

int program_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

PyMethodDef program_methods[] = {
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(program_search)),
     METH_VARARGS | METH_KEYWORDS, "search(text, pos=0) -> bool: pattern.search(text, pos) is not None"},
    {"match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(program_match)),
     METH_VARARGS | METH_KEYWORDS, "match(text, pos=0) -> bool: pattern.match(text, pos) is not None"},
    {"span", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(program_span)),
     METH_VARARGS | METH_KEYWORDS, "span(text, pos=0) -> (start, end) | None of pattern.search"},
    {"anchored_end", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(program_anchored_end)),
     METH_VARARGS | METH_KEYWORDS, "anchored_end(text, pos=0) -> int | None: pattern.match(text, pos).end()"},
    {"count", program_count, METH_O, "count(text) -> int: len(pattern.findall(text))"},
    {"spans", program_spans, METH_O, "spans(text) -> list of (start, end) of pattern.finditer"},
    {"sub_empty", program_sub_empty, METH_O, "sub_empty(text) -> str: pattern.sub('', text)"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef program_getset[] = {
    {"source", program_get_source, nullptr, "pattern source text", nullptr},
    {"flags", program_get_flags, nullptr, "re flag bits the program was compiled with", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot program_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(program_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(program_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(program_repr)},
    {Py_tp_methods, program_methods},
    {Py_tp_getset, program_getset},
    {Py_tp_doc, const_cast<char*>("A compiled pattern of the native engine (immutable).")},
    {0, nullptr},
};

PyType_Spec program_spec = {
    "agents.transmute._engine.Program",
    sizeof(ProgramObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    program_slots,
};

PyObject* make_program(PyObject* module, PyObject* source, long flags) {
    if (!PyUnicode_Check(source)) {
        PyErr_Format(PyExc_TypeError, "pattern source must be str, not %.200s", Py_TYPE(source)->tp_name);
        return nullptr;
    }
    std::string error;
    rx::ProgramPtr prog;
    if (flags < 0 || flags > 0xFFFF) {
        error = "unsupported flags";
    } else {
        prog = rx::compile(source, static_cast<int>(flags), error);
    }
    if (!prog) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        return nullptr;
    }
    PyTypeObject* type = state_of(module)->type;
    auto* obj = PyObject_GC_New(ProgramObject, type);
    if (!obj) return nullptr;
    new (&obj->program) rx::ProgramPtr(std::move(prog));
    obj->source = Py_NewRef(source);
    obj->flags = static_cast<int>(flags);
    PyObject_GC_Track(obj);
    return reinterpret_cast<PyObject*>(obj);
}

PyObject* engine_compile(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"source", "flags", nullptr};
    PyObject* source;
    long flags = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|l:compile", const_cast<char**>(kw), &source, &flags)) {
        return nullptr;
    }
    return make_program(module, source, flags);
}

PyObject* engine_compile_from(PyObject* module, PyObject* pattern) {
    Ref source = Ref::steal(PyObject_GetAttrString(pattern, "pattern"));
    if (!source) return nullptr;
    Ref flags_obj = Ref::steal(PyObject_GetAttrString(pattern, "flags"));
    if (!flags_obj) return nullptr;
    const long flags = PyLong_AsLong(flags_obj.get());
    if (flags == -1 && PyErr_Occurred()) return nullptr;
    if (!PyUnicode_Check(source.get())) {
        PyErr_SetString(PyExc_ValueError, "only str patterns are supported");
        return nullptr;
    }
    return make_program(module, source.get(), flags);
}

PyObject* engine_extra_cases(PyObject*, PyObject*) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (const auto& row : rx::kCaseFix) {
        std::vector<uint32_t> extra;
        for (int k = 0; k < rx::kCaseFixWidth && row.extra[k] != 0; ++k) extra.push_back(row.extra[k]);
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(extra.size())));
        if (!tuple) return nullptr;
        for (size_t k = 0; k < extra.size(); ++k) {
            PyObject* v = PyLong_FromUnsignedLong(extra[k]);
            if (!v) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), v);
        }
        Ref key = Ref::steal(PyLong_FromUnsignedLong(row.lower));
        if (!key || PyDict_SetItem(out.get(), key.get(), tuple.get()) < 0) return nullptr;
    }
    return out.release();
}

PyMethodDef module_methods[] = {
    {"compile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_compile)),
     METH_VARARGS | METH_KEYWORDS,
     "compile(source, flags=0) -> Program; ValueError with the reason when unsupported"},
    {"compile_from", engine_compile_from, METH_O,
     "compile_from(pattern: re.Pattern) -> Program, from its .pattern and .flags"},
    {"_extra_cases", engine_extra_cases, METH_NOARGS,
     "The built-in extra case table, shaped like re._casefix._EXTRA_CASES"},
    {nullptr, nullptr, 0, nullptr},
};

bool fill_module(PyObject* module) {
    auto* st = state_of(module);
    PyObject* type = PyType_FromModuleAndSpec(module, &program_spec, nullptr);
    if (!type) return false;
    st->type = reinterpret_cast<PyTypeObject*>(type);
    if (PyModule_AddObjectRef(module, "Program", type) < 0) return false;
    if (PyModule_AddIntConstant(module, "NOGIL_THRESHOLD", transmute::kReleaseGilAt) < 0) return false;
    return true;
}

transmute::NativeModule engine_module{
    {
        .def_name = "agents.transmute._engine",
        .short_name = "_engine",
        .full_name = "agents.transmute._engine",
        .doc = "Native regular-expression engine with re-identical results for a supported subset.",
        .fill = fill_module,
        .binds_builtins = false,
        .interpreters = transmute::Interpreters::unsupported,
        .methods = module_methods,
    },
    std::type_identity<ModuleState>{}};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) { return engine_module.init(); }
