// agents.transmute._engine: the native regex engine exposed to the host (tests, benchmarks,
// the platform detector). Tested in tests/test_engine.py.
#include "module.hpp"
#include "pyref.hpp"
#include "regex/regex.hpp"
#include "released.hpp"
#include "scan/triggers.hpp"
#include "text.hpp"

#include <algorithm>
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

// The end of pattern.match(text, pos), found by the matcher the scans run for the program.
PyObject* program_anchored_end(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* text;
    Py_ssize_t pos;
    if (!parse_text_pos(args, kwargs, "O!|n:anchored_end", text, pos)) return nullptr;
    const auto& prog = *reinterpret_cast<ProgramObject*>(self)->program;
    Py_ssize_t end = -1;
    const bool done = transmute::run_released(false, [&] {
        transmute::visit_text(text, [&](const auto* s, Py_ssize_t n) {
        using C = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
        rx::Matcher<C> matcher;
        matcher.bind(prog, rx::Purpose::spans, s, static_cast<size_t>(n));
        const rx::AnchoredRun run = matcher.at(static_cast<size_t>(pos));
        if (run.matched) end = static_cast<Py_ssize_t>(run.end);
    });
    });
    if (!done) return nullptr;
    if (end < 0) Py_RETURN_NONE;
    return PyLong_FromSsize_t(end);
}

// [pattern.match(text, p).end() or None for p in positions], by one matcher over the text
// taking the positions in the order given (as the scans do, which keeps a memory across runs).
PyObject* program_anchored_ends(PyObject* self, PyObject* args) {
    PyObject* text;
    PyObject* positions;
    if (!PyArg_ParseTuple(args, "O!O:anchored_ends", &PyUnicode_Type, &text, &positions)) return nullptr;
    Ref seq = Ref::steal(PySequence_Fast(positions, "positions must be a sequence"));
    if (!seq) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    std::vector<size_t> at(static_cast<size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        const Py_ssize_t pos = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(seq.get(), k));
        if (pos == -1 && PyErr_Occurred()) return nullptr;
        at[static_cast<size_t>(k)] = static_cast<size_t>(std::clamp<Py_ssize_t>(pos, 0, n));
    }
    const auto& prog = *reinterpret_cast<ProgramObject*>(self)->program;
    std::vector<Py_ssize_t> ends(at.size(), -1);
    transmute::visit_text(text, [&](const auto* s, Py_ssize_t length) {
        using C = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
        rx::Matcher<C> matcher;
        matcher.bind(prog, rx::Purpose::spans, s, static_cast<size_t>(length));
        for (size_t k = 0; k < at.size(); ++k) {
            const rx::AnchoredRun run = matcher.at(at[k]);
            if (run.matched) ends[k] = static_cast<Py_ssize_t>(run.end);
        }
    });
    Ref out = Ref::steal(PyList_New(count));
    if (!out) return nullptr;
    for (size_t k = 0; k < ends.size(); ++k) {
        PyObject* item = ends[k] < 0 ? Py_NewRef(Py_None) : PyLong_FromSsize_t(ends[k]);
        if (!item) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), item);
    }
    return out.release();
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

PyObject* program_get_matcher(PyObject* self, void*) {
    return PyUnicode_FromString(rx::matcher_name(*reinterpret_cast<ProgramObject*>(self)->program));
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
    {"anchored_ends", program_anchored_ends, METH_VARARGS,
     "anchored_ends(text, positions) -> [int | None]: anchored_end at each position, by one matcher in order"},
    {"count", program_count, METH_O, "count(text) -> int: len(pattern.findall(text))"},
    {"spans", program_spans, METH_O, "spans(text) -> list of (start, end) of pattern.finditer"},
    {"sub_empty", program_sub_empty, METH_O, "sub_empty(text) -> str: pattern.sub('', text)"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef program_getset[] = {
    {"source", program_get_source, nullptr, "pattern source text", nullptr},
    {"flags", program_get_flags, nullptr, "re flag bits the program was compiled with", nullptr},
    {"matcher", program_get_matcher, nullptr, "the matcher that answers the program's runs", nullptr},
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

// Raises ValueError(text) for a declined pattern, with the reason's name as its `reason`.
PyObject* refuse(rx::Refusal why) {
    const rx::RefusalEntry& entry = rx::refusal_entry(why);
    Ref text = Ref::steal(PyUnicode_FromString(entry.text));
    if (!text) return nullptr;
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, text.get()));
    if (!error) return nullptr;
    Ref name = Ref::steal(PyUnicode_FromString(entry.name));
    if (!name || PyObject_SetAttrString(error.get(), "reason", name.get()) < 0) return nullptr;
    PyErr_SetObject(PyExc_ValueError, error.get());
    return nullptr;
}

PyObject* make_program(PyObject* module, PyObject* source, long flags) {
    if (!PyUnicode_Check(source)) {
        PyErr_Format(PyExc_TypeError, "pattern source must be str, not %.200s", Py_TYPE(source)->tp_name);
        return nullptr;
    }
    rx::Refusal why = rx::Refusal::none;
    rx::ProgramPtr prog;
    if (flags >= 0 && flags <= 0xFFFF)
        prog = rx::compile(source, static_cast<int>(flags), why);
    else
        why = rx::Refusal::unsupported_flags;
    if (!prog) return refuse(why);
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
    for (const auto& [lower, extra] : rx::extra_case_table()) {
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(extra.size())));
        if (!tuple) return nullptr;
        for (size_t k = 0; k < extra.size(); ++k) {
            PyObject* v = PyLong_FromUnsignedLong(extra[k]);
            if (!v) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), v);
        }
        Ref key = Ref::steal(PyLong_FromUnsignedLong(lower));
        if (!key || PyDict_SetItem(out.get(), key.get(), tuple.get()) < 0) return nullptr;
    }
    return out.release();
}

// scan(programs, text, counted=(), gates=False, twins=(), first=True) -> (results, untriggered):
// one multi-pattern scan of the text, as the modules run it. results[i] is the start of the
// first match of programs[i] (None without one; without `first`, True or False), or for the
// indices in `counted` the spans of all its matches; untriggered lists the programs the scan
// searches on their own, without triggers. `twins` pairs (presence, counted) indices of
// programs of the same pattern, as the modules pair them.
PyObject* engine_scan(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"programs", "text", "counted", "gates", "twins", "first", nullptr};
    PyObject* programs;
    PyObject* text;
    PyObject* counted = nullptr;
    PyObject* twin_pairs = nullptr;
    int gates = 0;
    int first = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!|OpOp:scan", const_cast<char**>(kw), &PyList_Type,
                                     &programs, &PyUnicode_Type, &text, &counted, &gates, &twin_pairs,
                                     &first))
        return nullptr;
    PyTypeObject* type = state_of(module)->type;
    const Py_ssize_t count = PyList_GET_SIZE(programs);
    std::vector<rx::ProgramPtr> compiled;
    std::vector<transmute::scan::Mode> modes(static_cast<size_t>(count), transmute::scan::Mode::presence);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(programs, i);
        if (!PyObject_TypeCheck(item, type)) {
            PyErr_SetString(PyExc_TypeError, "programs must be Program objects");
            return nullptr;
        }
        compiled.push_back(reinterpret_cast<ProgramObject*>(item)->program);
    }
    if (counted != nullptr) {
        Ref seq = Ref::steal(PySequence_Fast(counted, "counted must be a sequence"));
        if (!seq) return nullptr;
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq.get()); ++k) {
            const Py_ssize_t index = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(seq.get(), k));
            if (index == -1 && PyErr_Occurred()) return nullptr;
            if (index < 0 || index >= count) {
                PyErr_SetString(PyExc_IndexError, "counted index out of range");
                return nullptr;
            }
            modes[static_cast<size_t>(index)] = transmute::scan::Mode::count;
        }
    }
    std::vector<std::pair<uint32_t, uint32_t>> twins;
    if (twin_pairs != nullptr) {
        Ref seq = Ref::steal(PySequence_Fast(twin_pairs, "twins must be a sequence"));
        if (!seq) return nullptr;
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq.get()); ++k) {
            Py_ssize_t presence, count_index;
            if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), k), "nn", &presence, &count_index))
                return nullptr;
            if (presence < 0 || presence >= count || count_index < 0 || count_index >= count) {
                PyErr_SetString(PyExc_IndexError, "twin index out of range");
                return nullptr;
            }
            twins.emplace_back(static_cast<uint32_t>(presence), static_cast<uint32_t>(count_index));
        }
    }
    std::vector<bool> counted_mode(modes.size());
    for (size_t k = 0; k < modes.size(); ++k) counted_mode[k] = modes[k] == transmute::scan::Mode::count;
    auto scan = transmute::scan::TriggerScan::build(std::move(compiled), std::move(modes), gates != 0,
                                                    std::move(twins));
    transmute::scan::ScanResult result;
    result.want_first = first != 0;
    result.want_spans = true;
    transmute::visit_text(text, [&](const auto* s, Py_ssize_t n) { scan->run(s, static_cast<size_t>(n), result); });
    Ref results = Ref::steal(PyList_New(count));
    if (!results) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const size_t k = static_cast<size_t>(i);
        Ref value;
        if (counted_mode[k]) {
            value = Ref::steal(PyList_New(0));
            if (!value) return nullptr;
            for (const rx::Span& span : result.spans[k]) {
                Ref pair = Ref::steal(
                    Py_BuildValue("(nn)", static_cast<Py_ssize_t>(span.start), static_cast<Py_ssize_t>(span.end)));
                if (!pair || PyList_Append(value.get(), pair.get()) < 0) return nullptr;
            }
        } else if (!first) {
            value = Ref::borrow(result.found[k] ? Py_True : Py_False);
        } else if (result.found[k]) {
            value = Ref::steal(PyLong_FromSize_t(result.first[k]));
            if (!value) return nullptr;
        } else {
            value = Ref::borrow(Py_None);
        }
        PyList_SET_ITEM(results.get(), i, value.release());
    }
    Ref untriggered = Ref::steal(PyList_New(0));
    if (!untriggered) return nullptr;
    for (uint32_t p : scan->untriggered()) {
        Ref index = Ref::steal(PyLong_FromUnsignedLong(p));
        if (!index || PyList_Append(untriggered.get(), index.get()) < 0) return nullptr;
    }
    return PyTuple_Pack(2, results.get(), untriggered.get());
}

// {reason: (text, invalid)} for every reason the engine declines a pattern for; `invalid` when
// re rejects such patterns too.
PyObject* engine_refusals(PyObject*, PyObject*) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (const rx::RefusalEntry& entry : rx::kRefusals) {
        if (entry.reason == rx::Refusal::none) continue;
        Ref value = Ref::steal(Py_BuildValue("(sO)", entry.text, entry.invalid ? Py_True : Py_False));
        if (!value || PyDict_SetItemString(out.get(), entry.name, value.get()) < 0) return nullptr;
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
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_scan)), METH_VARARGS | METH_KEYWORDS,
     "scan(programs, text, counted=(), gates=False) -> (results, untriggered): one multi-pattern scan, as the modules "
     "run it; results[i] is the first match's start (or None), or for counted programs the list of match spans"},
    {"_refusals", engine_refusals, METH_NOARGS,
     "{reason: (text, invalid)}: why the engine declines patterns; invalid when re rejects them too"},
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
