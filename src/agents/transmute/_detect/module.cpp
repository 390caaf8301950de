// agents.transmute._detect: the native pass of the platform detector. A Scanner holds the
// detector's patterns (each searched in the code view or the comment view of the lexer, or
// answered by the lexer itself) and its linear model; `scan` lexes a script once, runs every
// pattern in one multi-pattern walk per view, and scores the model's features. `features` gives
// the same evidence as strings, for training. Tested in tests/test_detect_scan.py and tests/test_detector.py.
#include "chains.hpp"
#include "lexer.hpp"
#include "tokens.hpp"
#include "verdict.hpp"

#include "released.hpp"
#include "module.hpp"
#include "pyref.hpp"
#include "regex/regex.hpp"
#include "scan/from_patterns.hpp"
#include "scan/triggers.hpp"
#include "text.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

using transmute::Ref;
namespace rx = transmute::regex;
namespace sc = transmute::scan;
namespace dt = transmute::detect;

// Texts at least this long are scanned with the GIL released.
constexpr size_t kNoGilThreshold = 65536;
// Tokens that weighed most, reported per verdict.
constexpr size_t kTopFeatures = 5;

enum Context : long { kCode = 0, kComment = 1, kHashComment = 2, kText = 3 };

using ModuleState = transmute::TypeState;  // the Scanner type

ModuleState* state_of(PyObject* module) { return transmute::module_state<ModuleState>(module); }

struct Model {
    size_t classes = 0;
    std::vector<float> weights;          // features x classes
    std::vector<float> bias;             // classes
    std::vector<float> pattern_weights;  // patterns x classes
    std::vector<bool> pattern_counts;    // per pattern: a feature of the model (it counts when it fires)
    dt::Vocabulary vocab;
};

// The patterns searched in one view: one multi-pattern walk finds each pattern's plain
// alternatives (presence slots) and the pieces of its gapped alternatives (span slots).
struct ViewPatterns {
    struct Chain {
        uint32_t pattern;
        std::vector<uint32_t> slots;
        std::vector<size_t> gaps;
    };
    std::unique_ptr<sc::TriggerScan> scan;
    std::vector<uint32_t> owner;  // slot -> pattern index (presence slots)
    std::vector<sc::Mode> modes;
    std::vector<Chain> chains;
    // Being built:
    std::vector<rx::ProgramPtr> programs;
    std::vector<std::u32string> sources;

    uint32_t add(rx::ProgramPtr program, std::u32string source, sc::Mode mode, uint32_t pattern) {
        // Pieces shared by several chains (`\bCREATE\s+TABLE\b`) are searched once.
        if (mode == sc::Mode::count)
            for (size_t k = 0; k < sources.size(); ++k)
                if (modes[k] == sc::Mode::count && sources[k] == source) return static_cast<uint32_t>(k);
        programs.push_back(std::move(program));
        sources.push_back(std::move(source));
        modes.push_back(mode);
        owner.push_back(pattern);
        return static_cast<uint32_t>(programs.size() - 1);
    }
};

// The host objects a verdict is built of, beside the rules it is decided by.
struct VerdictObjects {
    dt::VerdictRules rules;
    std::vector<Ref> classes;      // the Platform of each model class
    std::vector<Ref> class_alone;  // (Platform,) of each class: the platforms of a token's evidence
    std::vector<Ref> platforms;    // every Platform, in the enumeration's order
    std::vector<Ref> ids, confidences, listed, kinds;  // per pattern
    std::vector<Ref> words;                            // the model's token features
    Ref evidence_type, verdict_type, model, token, empty;
    Ref k_marker, k_line, k_confidence, k_platforms, k_counted, k_kind, k_weight;
    Ref k_platform, k_scores, k_evidence, k_reason, k_probabilities;
    // For records (a verdict's to_dict() built at once): str() of each platform and class, the
    // names of each pattern's platforms and of each class alone, and the unknown reasons.
    std::vector<Ref> platform_names, class_names, listed_names, class_alone_names;
    Ref k_unknown_reason, no_evidence_reason, too_close_reason;

    template <class F>
    void each(F&& f) {
        for (auto* list : {&classes, &class_alone, &platforms, &ids, &confidences, &listed, &kinds, &words,
                           &platform_names, &class_names, &listed_names, &class_alone_names})
            for (Ref& ref : *list) f(ref);
        for (Ref* ref : {&evidence_type, &verdict_type, &model, &token, &empty, &k_marker, &k_line, &k_confidence,
                         &k_platforms, &k_counted, &k_kind, &k_weight, &k_platform, &k_scores, &k_evidence, &k_reason,
                         &k_probabilities, &k_unknown_reason, &no_evidence_reason, &too_close_reason})
            f(*ref);
    }
};

struct Engine {
    std::vector<long> contexts;  // per pattern
    ViewPatterns views[3];       // code, comment, text
    size_t patterns = 0;
    Model model;
    std::unique_ptr<VerdictObjects> verdict;  // null: scan only, no verdicts
};

struct ScannerObject {
    PyObject_HEAD
    Engine* engine;
};

struct Fired {
    size_t pattern;
    size_t line;
};

size_t line_of(const std::vector<size_t>& newlines, size_t pos) {
    return static_cast<size_t>(std::upper_bound(newlines.begin(), newlines.end(), pos) - newlines.begin()) + 1;
}

template <class C>
size_t line_of(const dt::LexResult<C>& lex, size_t pos) {
    return line_of(lex.newlines, pos);
}

// A view of a wide text whose characters all fit in one byte, copied at that width: the scans
// and the tokenizer then run on bytes, where their literal searches are fastest. The code points
// are the same, so are the results. Most wide scripts are wide only through a byte-order mark
// or the text of their comments and literals, which the code view does not hold.
template <class C>
bool narrow_into(const std::vector<C>& view, size_t n, std::vector<Py_UCS1>& out) {
    C top = 0;
    for (size_t i = 0; i < n; ++i) top |= view[i];
    if (static_cast<uint32_t>(top) > 0xFF) return false;
    out.assign(view.begin(), view.begin() + static_cast<std::ptrdiff_t>(n));
    return true;
}

// Runs the patterns of one view and records, for each that matched, the line of its first match
// (where the match begins after any leading white space).
template <class C>
void run_view(const ViewPatterns& vp, const C* view, size_t n, const std::vector<size_t>& lex, size_t patterns,
              std::vector<Fired>& fired) {
    if (!vp.scan) return;
    sc::ScanResult result;
    result.want_first = true;
    result.want_spans = !vp.chains.empty();
    vp.scan->run(view, n, result);
    // Where each pattern first matched; only the entries this call sets are put back after it,
    // however it ends, so the table is filled once per thread and not at every view.
    thread_local std::vector<size_t> first;
    thread_local std::vector<uint32_t> touched;
    touched.clear();
    if (first.size() != patterns) first.assign(patterns, SIZE_MAX);
    struct PutBack {
        ~PutBack() {
            for (uint32_t p : touched) first[p] = SIZE_MAX;
        }
    } put_back;
    for (size_t k = 0; k < vp.owner.size(); ++k) {
        if (vp.modes[k] != sc::Mode::presence || !result.found[k]) continue;
        const uint32_t p = vp.owner[k];
        if (first[p] == SIZE_MAX) touched.push_back(p);
        first[p] = std::min(first[p], result.first[k]);
    }
    thread_local std::vector<const std::vector<rx::Span>*> pieces;
    for (const auto& chain : vp.chains) {
        pieces.clear();
        for (uint32_t slot : chain.slots) pieces.push_back(&result.spans[slot]);
        const size_t start = dt::join_chain(pieces, chain.gaps);
        if (start == SIZE_MAX) continue;
        if (first[chain.pattern] == SIZE_MAX) touched.push_back(chain.pattern);
        first[chain.pattern] = std::min(first[chain.pattern], start);
    }
    for (uint32_t p : touched) {
        size_t start = first[p];
        while (start < n && (view[start] == ' ' || view[start] == '\t' || view[start] == '\r' ||
                             view[start] == '\n' || view[start] == 1))
            ++start;
        fired.push_back({p, line_of(lex, std::min(start, n))});
    }
}

template <class C, class Sink>
void analyse(const Engine& engine, const C* s, size_t n, Sink& sink, std::vector<Fired>& fired) {
    thread_local dt::LexResult<C> lex;
    struct Shrink {
        dt::LexResult<C>& lex;
        ~Shrink() {
            // Keep small buffers for the next call; give large ones back.
            if (lex.code.capacity() > (1u << 22)) {
                std::vector<C>().swap(lex.code);
                std::vector<C>().swap(lex.comments);
                std::vector<size_t>().swap(lex.newlines);
            }
        }
    } shrink{lex};
    dt::Lexer<C, Sink> lexer(s, n, lex, sink);
    lexer.run();
    thread_local std::vector<Py_UCS1> narrow;
    struct ShrinkNarrow {
        std::vector<Py_UCS1>& narrow;
        ~ShrinkNarrow() {
            if (narrow.capacity() > (1u << 22)) std::vector<Py_UCS1>().swap(narrow);
        }
    } shrink_narrow{narrow};
    auto scan_view = [&](const ViewPatterns& vp, const std::vector<C>& view, bool words) {
        if constexpr (sizeof(C) > 1) {
            if (narrow_into(view, n, narrow)) {
                if (words) dt::tokenize(narrow.data(), n, sink);
                run_view(vp, narrow.data(), n, lex.newlines, engine.patterns, fired);
                return;
            }
        }
        if (words) dt::tokenize(view.data(), n, sink);
        run_view(vp, view.data(), n, lex.newlines, engine.patterns, fired);
    };
    scan_view(engine.views[0], lex.code, true);
    if (lex.has_comment) scan_view(engine.views[1], lex.comments, false);
    run_view(engine.views[2], s, n, lex.newlines, engine.patterns, fired);
    if (lex.first_hash_comment != SIZE_MAX) {
        for (size_t p = 0; p < engine.patterns; ++p)
            if (engine.contexts[p] == kHashComment) fired.push_back({p, line_of(lex, lex.first_hash_comment)});
    }
    // Lines for the sinks' first sightings are resolved by the caller through `lex`; pass them on.
    if constexpr (requires { sink.resolve_lines(lex); }) sink.resolve_lines(lex);
}

// Line numbers for first sightings, computed once the newline offsets are known.
struct CollectLines : dt::CollectSink {
    std::vector<std::pair<std::string, size_t>> lines;
    template <class C>
    void resolve_lines(const dt::LexResult<C>& lex) {
        lines.reserve(first.size());
        for (auto& [feature, pos] : first) lines.emplace_back(feature, line_of(lex, pos));
    }
};

struct ScoreLines : dt::ScoreSink {
    std::vector<size_t> lines;
    template <class C>
    void resolve_lines(const dt::LexResult<C>& lex) {
        lines.reserve(seen.size());
        for (auto& [idx, pos] : seen) lines.push_back(line_of(lex, pos));
    }
};

bool check_text(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return true;
    PyErr_Format(PyExc_TypeError, "text must be a str, got %.200s", Py_TYPE(text)->tp_name);
    return false;
}

PyObject* fired_tuple(const std::vector<Fired>& fired) {
    std::vector<Fired> sorted = fired;
    std::sort(sorted.begin(), sorted.end(), [](const Fired& a, const Fired& b) { return a.pattern < b.pattern; });
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sorted.size())));
    if (!out) return nullptr;
    for (size_t k = 0; k < sorted.size(); ++k) {
        PyObject* item = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(sorted[k].pattern),
                                       static_cast<Py_ssize_t>(sorted[k].line));
        if (!item) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), item);
    }
    return out.release();
}

PyObject* scanner_features(PyObject* self, PyObject* text) {
    if (!check_text(text)) return nullptr;
    const Engine& engine = *reinterpret_cast<ScannerObject*>(self)->engine;
    CollectLines sink;
    std::vector<Fired> fired;
    if (!transmute::scan_text_released(text, kNoGilThreshold, [&](const auto* s, size_t n) {
            analyse(engine, s, n, sink, fired);
        }))
        return nullptr;
    Ref fired_obj = Ref::steal(fired_tuple(fired));
    if (!fired_obj) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [feature, line] : sink.lines) {
        Ref key = Ref::steal(PyUnicode_FromStringAndSize(feature.data(), static_cast<Py_ssize_t>(feature.size())));
        Ref value = Ref::steal(PyLong_FromSize_t(line));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return PyTuple_Pack(2, fired_obj.get(), dict.get());
}

// Scans text[0, limit) and scores the model: the patterns that fired, the logits, the features
// that weighed most and how many the script holds. False with an exception set on failure.
bool score(const Engine& engine, PyObject* text, size_t limit, dt::ScanOutcome& out) {
    const Model& model = engine.model;
    thread_local std::vector<uint32_t> mark;
    thread_local uint32_t epoch = 0;
    if (mark.size() < model.vocab.size()) mark.assign(model.vocab.size(), 0);
    if (++epoch == 0) {
        std::fill(mark.begin(), mark.end(), 0);
        epoch = 1;
    }
    ScoreLines sink{{model.vocab, mark, epoch, {}}, {}};
    std::vector<Fired> fired;
    const size_t n = std::min(limit, static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    if (!transmute::run_released(n >= kNoGilThreshold, [&] {
            transmute::visit_text(text, [&](const auto* s, Py_ssize_t) { analyse(engine, s, n, sink, fired); });
        }))
        return false;
    const size_t k = model.classes;
    // The script's features have unit length, as in training: each of the `count` features the
    // model knows weighs 1 / sqrt(count), so that a long script's many weak features do not pass
    // for strong evidence.
    std::vector<double> sums(k, 0.0);
    size_t count = sink.seen.size();
    for (const auto& [idx, pos] : sink.seen) {
        const float* w = &model.weights[static_cast<size_t>(idx) * k];
        for (size_t c = 0; c < k; ++c) sums[c] += w[c];
    }
    for (const Fired& f : fired) {
        if (!model.pattern_counts[f.pattern]) continue;
        ++count;
        const float* w = &model.pattern_weights[f.pattern * k];
        for (size_t c = 0; c < k; ++c) sums[c] += w[c];
    }
    const double scale = count > 0 ? 1.0 / std::sqrt(static_cast<double>(count)) : 0.0;
    out.logits.assign(model.bias.begin(), model.bias.end());
    for (size_t c = 0; c < k; ++c) out.logits[c] += sums[c] * scale;
    // The features that moved the winner most against the runner-up.
    size_t best = 0, second = k > 1 ? 1 : 0;
    for (size_t c = 0; c < k; ++c) {
        if (out.logits[c] > out.logits[best]) best = c;
    }
    if (k > 1 && second == best) second = 0;
    for (size_t c = 0; c < k; ++c) {
        if (c != best && out.logits[c] > out.logits[second]) second = c;
    }
    std::vector<std::pair<float, size_t>> top;  // (contribution, index into seen)
    if (k > 1) {
        for (size_t j = 0; j < sink.seen.size(); ++j) {
            const float* w = &model.weights[static_cast<size_t>(sink.seen[j].first) * k];
            const float gain = static_cast<float>((w[best] - w[second]) * scale);
            if (gain <= 0) continue;
            top.emplace_back(gain, j);
        }
        const size_t keep = std::min(top.size(), kTopFeatures);
        std::partial_sort(top.begin(), top.begin() + static_cast<std::ptrdiff_t>(keep), top.end(),
                          [](const auto& a, const auto& b) { return a.first > b.first || (a.first == b.first && a.second < b.second); });
        top.resize(keep);
    }
    out.top.clear();
    for (const auto& [gain, j] : top) out.top.push_back({sink.seen[j].first, sink.lines[j], gain});
    std::sort(fired.begin(), fired.end(), [](const Fired& a, const Fired& b) { return a.pattern < b.pattern; });
    out.fired.clear();
    for (const Fired& f : fired) out.fired.emplace_back(f.pattern, f.line);
    out.seen = sink.seen.size();
    return true;
}

PyObject* scanner_scan(PyObject* self, PyObject* text) {
    if (!check_text(text)) return nullptr;
    const Engine& engine = *reinterpret_cast<ScannerObject*>(self)->engine;
    dt::ScanOutcome outcome;
    try {
        if (!score(engine, text, SIZE_MAX, outcome)) return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    Ref fired_obj = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(outcome.fired.size())));
    if (!fired_obj) return nullptr;
    for (size_t j = 0; j < outcome.fired.size(); ++j) {
        PyObject* item = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(outcome.fired[j].first),
                                       static_cast<Py_ssize_t>(outcome.fired[j].second));
        if (!item) return nullptr;
        PyTuple_SET_ITEM(fired_obj.get(), static_cast<Py_ssize_t>(j), item);
    }
    Ref logits_obj = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(outcome.logits.size())));
    if (!logits_obj) return nullptr;
    for (size_t c = 0; c < outcome.logits.size(); ++c) {
        PyObject* v = PyFloat_FromDouble(outcome.logits[c]);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(logits_obj.get(), static_cast<Py_ssize_t>(c), v);
    }
    Ref top_obj = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(outcome.top.size())));
    if (!top_obj) return nullptr;
    for (size_t t = 0; t < outcome.top.size(); ++t) {
        const dt::ScanOutcome::Top& top = outcome.top[t];
        PyObject* item = Py_BuildValue("(nnd)", static_cast<Py_ssize_t>(top.feature), static_cast<Py_ssize_t>(top.line),
                                       static_cast<double>(top.gain));
        if (!item) return nullptr;
        PyTuple_SET_ITEM(top_obj.get(), static_cast<Py_ssize_t>(t), item);
    }
    Ref seen_obj = Ref::steal(PyLong_FromSize_t(outcome.seen));
    if (!seen_obj) return nullptr;
    return PyTuple_Pack(4, fired_obj.get(), logits_obj.get(), top_obj.get(), seen_obj.get());
}

// A new object with these fields, in this order: with a host class, an instance made as
// object.__new__ makes it (its __init__ is not run) with the fields set at once as its
// __dict__, as a frozen dataclass's own constructor would set them; with none, a plain dict.
// The values are new references, taken over (null: an error is set).
Ref new_object(const Ref* type, const Ref& empty, std::initializer_list<std::pair<const Ref*, PyObject*>> fields) {
    bool complete = true;
    for (const auto& [name, value] : fields) complete = complete && value;
    Ref obj, dict;
    if (complete && type) {
        obj = Ref::steal(PyBaseObject_Type.tp_new(reinterpret_cast<PyTypeObject*>(type->get()), empty.get(), nullptr));
        dict = Ref::steal(obj ? PyObject_GenericGetDict(obj.get(), nullptr) : nullptr);
    } else if (complete) {
        obj = Ref::steal(PyDict_New());
        dict = obj;
    }
    for (const auto& [name, value] : fields) {
        if (dict && PyDict_SetItem(dict.get(), name->get(), value) < 0) dict = Ref();
        Py_XDECREF(value);
    }
    return dict ? obj : Ref();
}

// A dict of a decision's scores or probabilities, keyed by keys[platform or class].
template <class Items>
Ref float_dict(const Items& items, const std::vector<Ref>& keys) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    for (const auto& [index, value] : items) {
        Ref number = Ref::steal(PyFloat_FromDouble(value));
        if (!number || PyDict_SetItem(dict.get(), keys[static_cast<size_t>(index)].get(), number.get()) < 0) return {};
    }
    return dict;
}

// A new list of the names in a tuple.
PyObject* list_of(const Ref& names) {
    const Py_ssize_t n = PyTuple_GET_SIZE(names.get());
    PyObject* list = PyList_New(n);
    for (Py_ssize_t j = 0; list && j < n; ++j) PyList_SET_ITEM(list, j, Py_NewRef(PyTuple_GET_ITEM(names.get(), j)));
    return list;
}

// The host's Verdict of a decision, or (kRecord) what that Verdict's to_dict() gives: the same
// fields as dicts and lists of their own, platforms by name, and the unknown reason.
template <bool kRecord>
PyObject* build(const VerdictObjects& v, const dt::Decision& d) {
    const auto n = static_cast<Py_ssize_t>(d.evidence.size());
    Ref evidence = Ref::steal(kRecord ? PyList_New(n) : PyTuple_New(n));
    if (!evidence) return nullptr;
    for (Py_ssize_t j = 0; j < n; ++j) {
        const dt::EvidenceItem& item = d.evidence[static_cast<size_t>(j)];
        const bool token = item.source < 0;
        const size_t i = static_cast<size_t>(item.source);
        const Ref& marker = token ? v.words[static_cast<size_t>(-1 - item.source)] : v.ids[i];
        PyObject* platforms = kRecord ? list_of(token ? v.class_alone_names[d.best] : v.listed_names[i])
                                      : Py_NewRef(token ? v.class_alone[d.best].get() : v.listed[i].get());
        Ref e = new_object(kRecord ? nullptr : &v.evidence_type, v.empty, {
            {&v.k_marker, Py_NewRef(marker.get())},
            {&v.k_line, PyLong_FromSize_t(item.line)},
            {&v.k_confidence, Py_NewRef(token ? v.model.get() : v.confidences[i].get())},
            {&v.k_platforms, platforms},
            {&v.k_counted, PyBool_FromLong(item.counted)},
            {&v.k_kind, Py_NewRef(token ? v.token.get() : v.kinds[i].get())},
            {&v.k_weight, PyFloat_FromDouble(item.weight)},
        });
        if (!e) return nullptr;
        if constexpr (kRecord)
            PyList_SET_ITEM(evidence.get(), j, e.release());
        else
            PyTuple_SET_ITEM(evidence.get(), j, e.release());
    }
    Ref scores = float_dict(d.scores, kRecord ? v.platform_names : v.platforms);
    Ref probabilities = float_dict(d.probabilities, kRecord ? v.class_names : v.classes);
    if (!scores || !probabilities) return nullptr;
    const bool named = d.platform >= 0;
    PyObject* platform = named ? (kRecord ? v.class_names : v.classes)[static_cast<size_t>(d.platform)].get() : Py_None;
    PyObject* reason = PyUnicode_FromStringAndSize(d.reason.data(), static_cast<Py_ssize_t>(d.reason.size()));
    if constexpr (kRecord) {
        PyObject* unknown = named ? Py_None
                            : d.reason.starts_with(v.rules.no_evidence) ? v.no_evidence_reason.get()
                                                                        : v.too_close_reason.get();
        return new_object(nullptr, v.empty, {
            {&v.k_platform, Py_NewRef(platform)},
            {&v.k_confidence, PyFloat_FromDouble(d.confidence)},
            {&v.k_reason, reason},
            {&v.k_unknown_reason, Py_NewRef(unknown)},
            {&v.k_scores, scores.release()},
            {&v.k_probabilities, probabilities.release()},
            {&v.k_evidence, evidence.release()},
        }).release();
    } else {
        return new_object(&v.verdict_type, v.empty, {
            {&v.k_platform, Py_NewRef(platform)},
            {&v.k_confidence, PyFloat_FromDouble(d.confidence)},
            {&v.k_scores, scores.release()},
            {&v.k_evidence, evidence.release()},
            {&v.k_reason, reason},
            {&v.k_probabilities, probabilities.release()},
        }).release();
    }
}

// The verdict on a script. A long script is first scanned to the end of the last line within its
// first probe_chars / 4 characters, then within its first probe_chars; a platform named there with
// at least the settled probability (first_settled for the first) stands. Otherwise the whole
// script is scanned.
PyObject* detect_with(PyObject* self, PyObject* text, PyObject* (*build)(const VerdictObjects&, const dt::Decision&)) {
    if (!check_text(text)) return nullptr;
    const Engine& engine = *reinterpret_cast<ScannerObject*>(self)->engine;
    if (!engine.verdict) {
        PyErr_SetString(PyExc_TypeError, "this Scanner was built without verdict rules");
        return nullptr;
    }
    const VerdictObjects& v = *engine.verdict;
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    try {
        for (const auto& [probe, settled] : {std::pair{v.rules.probe_chars / 4, v.rules.first_settled},
                                             std::pair{v.rules.probe_chars, v.rules.settled}}) {
            if (probe == 0 || n <= probe * 3 / 2) continue;
            const Py_ssize_t line_end = PyUnicode_FindChar(text, '\n', 0, static_cast<Py_ssize_t>(probe), -1);
            if (line_end == -2) return nullptr;
            if (line_end < 0) continue;
            dt::ScanOutcome outcome;
            if (!score(engine, text, static_cast<size_t>(line_end) + 1, outcome)) return nullptr;
            const dt::Decision decision = dt::decide(v.rules, outcome);
            if (decision.platform >= 0 && decision.named_probability >= settled) return build(v, decision);
        }
        dt::ScanOutcome outcome;
        if (!score(engine, text, n, outcome)) return nullptr;
        return build(v, dt::decide(v.rules, outcome));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

PyObject* scanner_detect(PyObject* self, PyObject* text) { return detect_with(self, text, build<false>); }

// The verdict's record, as Verdict.to_dict() gives it, without the Verdict.
PyObject* scanner_record(PyObject* self, PyObject* text) { return detect_with(self, text, build<true>); }

// Indices of the patterns the scans search on their own (no trigger could be derived).
PyObject* scanner_untriggered(PyObject* self, PyObject*) {
    const Engine& engine = *reinterpret_cast<ScannerObject*>(self)->engine;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    for (const ViewPatterns& vp : engine.views) {
        if (!vp.scan) continue;
        for (uint32_t slot : vp.scan->untriggered()) {
            Ref index = Ref::steal(PyLong_FromUnsignedLong(vp.owner[slot]));
            if (!index || PyList_Append(out.get(), index.get()) < 0) return nullptr;
        }
    }
    if (PyList_Sort(out.get()) < 0) return nullptr;
    return out.release();
}

// The lexer's views, for tests: (code view, comment view or None).
PyObject* scanner_views(PyObject*, PyObject* text) {
    if (!check_text(text)) return nullptr;
    Ref out;
    transmute::visit_text(text, [&](const auto* s, Py_ssize_t n) {
        using C = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
        dt::LexResult<C> lex;
        dt::CollectSink sink;
        dt::Lexer<C, dt::CollectSink> lexer(s, static_cast<size_t>(n), lex, sink);
        lexer.run();
        const int kind = PyUnicode_KIND(text);
        Ref code = Ref::steal(PyUnicode_FromKindAndData(kind, lex.code.data(), n));
        Ref comments = lex.has_comment ? Ref::steal(PyUnicode_FromKindAndData(kind, lex.comments.data(), n))
                                       : Ref::borrow(Py_None);
        if (code && comments) out = Ref::steal(PyTuple_Pack(2, code.get(), comments.get()));
    });
    return out.release();
}

bool read_floats(PyObject* obj, size_t expected, std::vector<float>& out, const char* what) {
    Ref seq = Ref::steal(PySequence_Fast(obj, what));
    if (!seq) return false;
    const Py_ssize_t len = PySequence_Fast_GET_SIZE(seq.get());
    if (static_cast<size_t>(len) != expected) {
        PyErr_Format(PyExc_ValueError, "%s: expected %zu numbers, got %zd", what, expected, len);
        return false;
    }
    out.resize(expected);
    for (Py_ssize_t i = 0; i < len; ++i) {
        const double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (v == -1.0 && PyErr_Occurred()) return false;
        out[static_cast<size_t>(i)] = static_cast<float>(v);
    }
    return true;
}

// An item of the verdict's settings, or null with KeyError set.
PyObject* setting(PyObject* settings, const char* key) {
    PyObject* item = PyDict_GetItemString(settings, key);  // borrowed
    if (!item && !PyErr_Occurred()) PyErr_Format(PyExc_KeyError, "verdict settings lack %s", key);
    return item;
}

// The index of `member` (by identity) in `table`, or -1.
int index_in(const std::vector<Ref>& table, PyObject* member) {
    for (size_t j = 0; j < table.size(); ++j)
        if (table[j].get() == member) return static_cast<int>(j);
    return -1;
}

bool read_doubles(PyObject* obj, std::vector<double>& out, const char* what) {
    Ref seq = Ref::steal(PySequence_Fast(obj, what));
    if (!seq) return false;
    out.clear();
    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(seq.get()); ++j) {
        const double value = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq.get(), j));
        if (value == -1.0 && PyErr_Occurred()) return false;
        out.push_back(value);
    }
    return true;
}

// Platforms (members of `platforms`) as indices into it.
bool read_platforms(PyObject* obj, const std::vector<Ref>& platforms, std::vector<uint8_t>& out) {
    Ref seq = Ref::steal(PySequence_Fast(obj, "platforms must be a sequence"));
    if (!seq) return false;
    out.clear();
    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(seq.get()); ++j) {
        const int index = index_in(platforms, PySequence_Fast_GET_ITEM(seq.get(), j));
        if (index < 0) {
            PyErr_SetString(PyExc_ValueError, "a pattern names a platform that is not among the platforms");
            return false;
        }
        out.push_back(static_cast<uint8_t>(index));
    }
    return true;
}

bool utf8_of(PyObject* obj, std::string& out) {
    Py_ssize_t len;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!data) return false;
    out.assign(data, static_cast<size_t>(len));
    return true;
}

// The names a record gives platforms and each pattern's platforms: str() of each, worked out
// once (the classes' own are read with the classes).
bool read_record_names(VerdictObjects& v) {
    auto names_of = [](PyObject* seq) -> Ref {
        Ref fast = Ref::steal(PySequence_Fast(seq, "platforms must be a sequence"));
        if (!fast) return {};
        Ref names = Ref::steal(PyTuple_New(PySequence_Fast_GET_SIZE(fast.get())));
        for (Py_ssize_t j = 0; names && j < PySequence_Fast_GET_SIZE(fast.get()); ++j) {
            PyObject* name = PyObject_Str(PySequence_Fast_GET_ITEM(fast.get(), j));
            if (!name) return {};
            PyTuple_SET_ITEM(names.get(), j, name);
        }
        return names;
    };
    for (const Ref& p : v.platforms) {
        v.platform_names.push_back(Ref::steal(PyObject_Str(p.get())));
        if (!v.platform_names.back()) return false;
    }
    for (const Ref& listed : v.listed) {
        v.listed_names.push_back(names_of(listed.get()));
        if (!v.listed_names.back()) return false;
    }
    for (const Ref& alone : v.class_alone) {
        v.class_alone_names.push_back(names_of(alone.get()));
        if (!v.class_alone_names.back()) return false;
    }
    return true;
}

// The verdict's rules and host objects from the settings the host's Detector gives: classes,
// platforms, facts (one tuple per pattern: id, confidence, platforms, kind, corroborating_only,
// score, rank, model row or None, platforms it is evidence of, specific, named_in_comment,
// decisive), thresholds, shared_thresholds, evidence and verdict (the classes to build),
// no_evidence, other_odds, top_tokens, probe_chars, settled, first_settled.
std::unique_ptr<VerdictObjects> read_verdict(PyObject* settings, const Engine& engine, PyObject* features) {
    if (!PyDict_Check(settings)) {
        PyErr_SetString(PyExc_TypeError, "verdict settings must be a dict");
        return nullptr;
    }
    auto v = std::make_unique<VerdictObjects>();
    dt::VerdictRules& r = v->rules;
    auto refs = [](PyObject* obj, std::vector<Ref>& out, const char* what) {
        Ref seq = Ref::steal(PySequence_Fast(obj, what));
        if (!seq) return false;
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(seq.get()); ++j)
            out.push_back(Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), j)));
        return true;
    };
    PyObject* item;
    if (!(item = setting(settings, "platforms")) || !refs(item, v->platforms, "platforms must be a sequence")) return nullptr;
    if (!(item = setting(settings, "classes")) || !refs(item, v->classes, "classes must be a sequence")) return nullptr;
    const size_t k = v->classes.size();
    if (k != engine.model.classes) {
        PyErr_SetString(PyExc_ValueError, "the verdict's classes are not the model's");
        return nullptr;
    }
    r.platforms = v->platforms.size();
    r.platform_class.assign(r.platforms, -1);
    for (size_t c = 0; c < k; ++c) {
        const int p = index_in(v->platforms, v->classes[c].get());
        if (p < 0) {
            PyErr_SetString(PyExc_ValueError, "a class is not among the platforms");
            return nullptr;
        }
        r.class_platform.push_back(p);
        r.platform_class[static_cast<size_t>(p)] = static_cast<int>(c);
        Ref text = Ref::steal(PyObject_Str(v->classes[c].get()));
        std::string utf8;
        if (!text || !utf8_of(text.get(), utf8)) return nullptr;
        r.class_text.push_back(std::move(utf8));
        v->class_names.push_back(std::move(text));
        Ref alone = Ref::steal(PyTuple_Pack(1, v->classes[c].get()));
        if (!alone) return nullptr;
        v->class_alone.push_back(std::move(alone));
    }
    if (!(item = setting(settings, "thresholds")) || !read_doubles(item, r.thresholds, "thresholds must be a sequence"))
        return nullptr;
    if (!(item = setting(settings, "shared_thresholds")) ||
        !read_doubles(item, r.shared_thresholds, "shared_thresholds must be a sequence"))
        return nullptr;
    if (r.thresholds.size() != k || r.shared_thresholds.size() != k) {
        PyErr_SetString(PyExc_ValueError, "one threshold per class is needed");
        return nullptr;
    }
    if (!(item = setting(settings, "facts"))) return nullptr;
    Ref facts = Ref::steal(PySequence_Fast(item, "facts must be a sequence"));
    if (!facts) return nullptr;
    if (static_cast<size_t>(PySequence_Fast_GET_SIZE(facts.get())) != engine.patterns) {
        PyErr_SetString(PyExc_ValueError, "facts and patterns differ in length");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(facts.get()); ++i) {
        PyObject *id, *confidence, *listed, *kind, *row, *names;
        int corroborating, rank, specific, in_comment, decisive;
        double score;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(facts.get(), i), "UUOUpdiOOppp:facts", &id, &confidence, &listed,
                              &kind, &corroborating, &score, &rank, &row, &names, &specific, &in_comment, &decisive))
            return nullptr;
        dt::PatternFacts f;
        f.corroborating = corroborating;
        f.specific = specific;
        f.named_in_comment = in_comment;
        f.decisive = decisive;
        f.score = score;
        f.rank = rank;
        if (!utf8_of(id, f.id) || !read_platforms(listed, v->platforms, f.platforms) ||
            !read_platforms(names, v->platforms, f.names))
            return nullptr;
        if (f.decisive && f.platforms.empty()) {
            PyErr_SetString(PyExc_ValueError, "a decisive pattern must name a platform");
            return nullptr;
        }
        if (row != Py_None) {
            if (!read_doubles(row, f.row, "a model row must be a sequence")) return nullptr;
            if (f.row.size() != k) {
                PyErr_SetString(PyExc_ValueError, "a model row needs one weight per class");
                return nullptr;
            }
        }
        r.patterns.push_back(std::move(f));
        v->ids.push_back(Ref::borrow(id));
        v->confidences.push_back(Ref::borrow(confidence));
        v->listed.push_back(Ref::borrow(listed));
        v->kinds.push_back(Ref::borrow(kind));
    }
    if (!refs(features, v->words, "features must be a sequence")) return nullptr;
    for (const Ref& word : v->words) {
        std::string utf8;
        if (!utf8_of(word.get(), utf8)) return nullptr;
        r.words.push_back(std::move(utf8));
    }
    if (!(item = setting(settings, "evidence"))) return nullptr;
    v->evidence_type = Ref::borrow(item);
    if (!(item = setting(settings, "verdict"))) return nullptr;
    v->verdict_type = Ref::borrow(item);
    for (const Ref* type : {&v->evidence_type, &v->verdict_type}) {
        if (!PyType_Check(type->get())) {
            PyErr_SetString(PyExc_TypeError, "evidence and verdict must be classes");
            return nullptr;
        }
    }
    if (!(item = setting(settings, "no_evidence")) || !PyUnicode_Check(item) || !utf8_of(item, r.no_evidence)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "no_evidence must be a str");
        return nullptr;
    }
    if (!(item = setting(settings, "other_odds")) || ((r.other_odds = PyFloat_AsDouble(item)) == -1.0 && PyErr_Occurred()))
        return nullptr;
    if (!(item = setting(settings, "settled")) || ((r.settled = PyFloat_AsDouble(item)) == -1.0 && PyErr_Occurred()))
        return nullptr;
    if (!(item = setting(settings, "first_settled")) ||
        ((r.first_settled = PyFloat_AsDouble(item)) == -1.0 && PyErr_Occurred()))
        return nullptr;
    if (!(item = setting(settings, "top_tokens")) || ((r.top_tokens = PyLong_AsSize_t(item)) == static_cast<size_t>(-1) && PyErr_Occurred()))
        return nullptr;
    if (!(item = setting(settings, "probe_chars")) || ((r.probe_chars = PyLong_AsSize_t(item)) == static_cast<size_t>(-1) && PyErr_Occurred()))
        return nullptr;
    v->model = Ref::steal(PyUnicode_InternFromString("model"));
    v->token = Ref::steal(PyUnicode_InternFromString("token"));
    v->empty = Ref::steal(PyTuple_New(0));
    const std::pair<Ref*, const char*> keys[] = {
        {&v->k_marker, "marker"},     {&v->k_line, "line"},     {&v->k_confidence, "confidence"},
        {&v->k_platforms, "platforms"}, {&v->k_counted, "counted"}, {&v->k_kind, "kind"},
        {&v->k_weight, "weight"},     {&v->k_platform, "platform"}, {&v->k_scores, "scores"},
        {&v->k_evidence, "evidence"}, {&v->k_reason, "reason"}, {&v->k_probabilities, "probabilities"},
    };
    for (const auto& [ref, name] : keys) *ref = Ref::steal(PyUnicode_InternFromString(name));
    v->k_unknown_reason = Ref::steal(PyUnicode_InternFromString("unknown_reason"));
    v->no_evidence_reason = Ref::steal(PyUnicode_InternFromString("no_evidence"));
    v->too_close_reason = Ref::steal(PyUnicode_InternFromString("too_close"));
    if (!read_record_names(*v)) return nullptr;
    bool complete = true;
    v->each([&](Ref& ref) { complete = complete && ref; });
    return complete ? std::move(v) : nullptr;
}

// Scanner(patterns, contexts, features, weights, bias, pattern_weights, pattern_features, flags,
// verdict=None): `pattern_features` says per pattern whether it is a feature of the model;
// `verdict`, the settings of the verdicts `detect` gives (see read_verdict).
PyObject* scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"patterns", "contexts",         "features", "weights", "bias", "pattern_weights",
                               "pattern_features", "flags", "verdict", nullptr};
    PyObject *patterns, *contexts, *features, *weights, *bias, *pattern_weights, *pattern_features;
    PyObject* verdict = Py_None;
    int flags = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!O!OOOO|iO:Scanner", const_cast<char**>(kw), &PyList_Type,
                                     &patterns, &PyList_Type, &contexts, &PyList_Type, &features, &weights, &bias,
                                     &pattern_weights, &pattern_features, &flags, &verdict))
        return nullptr;
    const Py_ssize_t n_patterns = PyList_GET_SIZE(patterns);
    if (PyList_GET_SIZE(contexts) != n_patterns) {
        PyErr_SetString(PyExc_ValueError, "patterns and contexts differ in length");
        return nullptr;
    }
    auto engine = std::make_unique<Engine>();
    engine->patterns = static_cast<size_t>(n_patterns);
    std::string failures;
    for (Py_ssize_t i = 0; i < n_patterns; ++i) {
        PyObject* source = PyList_GET_ITEM(patterns, i);
        const long context = PyLong_AsLong(PyList_GET_ITEM(contexts, i));
        if (context == -1 && PyErr_Occurred()) return nullptr;
        if (context < kCode || context > kText) {
            PyErr_Format(PyExc_ValueError, "unknown pattern context %ld", context);
            return nullptr;
        }
        engine->contexts.push_back(context);
        if (context == kHashComment) continue;
        if (!PyUnicode_Check(source)) {
            PyErr_SetString(PyExc_TypeError, "pattern sources must be str");
            return nullptr;
        }
        std::u32string text;
        for (Py_ssize_t k = 0; k < PyUnicode_GET_LENGTH(source); ++k)
            text += static_cast<char32_t>(PyUnicode_READ_CHAR(source, k));
        ViewPatterns& vp = engine->views[context == kCode ? 0 : (context == kComment ? 1 : 2)];
        const auto pattern = static_cast<uint32_t>(i);
        // Alternatives with bounded gaps become chains of pieces; the others stay one pattern.
        std::vector<std::u32string> alternatives;
        std::u32string plain;
        bool gapped = false;
        if (sc::split_alternatives(text, alternatives)) {
            for (const std::u32string& alternative : alternatives) {
                std::vector<std::u32string> pieces;
                std::vector<size_t> gaps;
                dt::split_gaps(alternative, pieces, gaps);
                if (gaps.empty()) {
                    plain += (plain.empty() ? U"" : U"|") + alternative;
                    continue;
                }
                gapped = true;
                ViewPatterns::Chain chain{pattern, {}, gaps};
                for (std::u32string& piece : pieces) {
                    rx::ProgramPtr program = sc::compile_or_note(piece, flags, failures);
                    if (!program) break;
                    chain.slots.push_back(vp.add(std::move(program), std::move(piece), sc::Mode::count, pattern));
                }
                vp.chains.push_back(std::move(chain));
            }
        }
        if (!gapped) plain = text;
        if (plain.empty()) continue;
        rx::ProgramPtr program = sc::compile_or_note(plain, flags, failures);
        if (program) vp.add(std::move(program), std::move(plain), sc::Mode::presence, pattern);
    }
    if (!failures.empty()) {
        PyErr_Format(PyExc_ValueError, "the engine refused these patterns:%s", failures.c_str());
        return nullptr;
    }
    try {
        for (ViewPatterns& vp : engine->views) {
            if (vp.programs.empty()) continue;
            vp.scan = sc::TriggerScan::build(std::move(vp.programs), vp.modes, true);
            vp.sources.clear();
        }
        std::vector<std::string> names;
        const Py_ssize_t n_features = PyList_GET_SIZE(features);
        for (Py_ssize_t i = 0; i < n_features; ++i) {
            Py_ssize_t len;
            const char* utf8 = PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(features, i), &len);
            if (!utf8) return nullptr;
            names.emplace_back(utf8, static_cast<size_t>(len));
        }
        Model& model = engine->model;
        Ref bias_seq = Ref::steal(PySequence_Fast(bias, "bias must be a sequence"));
        if (!bias_seq) return nullptr;
        model.classes = static_cast<size_t>(PySequence_Fast_GET_SIZE(bias_seq.get()));
        if (model.classes == 0) {
            PyErr_SetString(PyExc_ValueError, "the model needs at least one class");
            return nullptr;
        }
        if (!read_floats(bias, model.classes, model.bias, "bias")) return nullptr;
        if (!read_floats(weights, names.size() * model.classes, model.weights, "weights")) return nullptr;
        if (!read_floats(pattern_weights, engine->patterns * model.classes, model.pattern_weights, "pattern_weights"))
            return nullptr;
        Ref counts_seq = Ref::steal(PySequence_Fast(pattern_features, "pattern_features must be a sequence"));
        if (!counts_seq) return nullptr;
        if (static_cast<size_t>(PySequence_Fast_GET_SIZE(counts_seq.get())) != engine->patterns) {
            PyErr_SetString(PyExc_ValueError, "pattern_features and patterns differ in length");
            return nullptr;
        }
        model.pattern_counts.assign(engine->patterns, false);
        for (size_t p = 0; p < engine->patterns; ++p) {
            const int truth = PyObject_IsTrue(PySequence_Fast_GET_ITEM(counts_seq.get(), static_cast<Py_ssize_t>(p)));
            if (truth < 0) return nullptr;
            model.pattern_counts[p] = truth == 1;
        }
        model.vocab.build(names);
        if (verdict != Py_None && !(engine->verdict = read_verdict(verdict, *engine, features))) return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    auto* obj = reinterpret_cast<ScannerObject*>(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    obj->engine = engine.release();
    return reinterpret_cast<PyObject*>(obj);
}

void scanner_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<ScannerObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete obj->engine;
    type->tp_free(self);
    Py_DECREF(type);
}

int scanner_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Engine* engine = reinterpret_cast<ScannerObject*>(self)->engine;
    if (engine && engine->verdict) {
        int status = 0;
        engine->verdict->each([&](Ref& ref) {
            if (!status && ref) status = visit(ref.get(), arg);
        });
        if (status) return status;
    }
    return 0;
}

// Breaks reference cycles through the verdict's classes: detect() then raises.
int scanner_clear(PyObject* self) {
    Engine* engine = reinterpret_cast<ScannerObject*>(self)->engine;
    if (engine) engine->verdict.reset();
    return 0;
}

PyMethodDef scanner_methods[] = {
    {"scan", scanner_scan, METH_O,
     "scan(text) -> (fired, logits, top, seen): patterns that matched as (index, line), the model's "
     "logits per class, the features that weighed most as (feature index, line, weight), and how many "
     "vocabulary features the text holds"},
    {"detect", scanner_detect, METH_O,
     "detect(text) -> Verdict: the verdict on a script (a long one probed on its first lines first)"},
    {"record", scanner_record, METH_O, "record(text) -> dict: detect(text).to_dict(), built at once"},
    {"features", scanner_features, METH_O,
     "features(text) -> (fired, {feature: line}): the evidence as strings, for training"},
    {"untriggered", scanner_untriggered, METH_NOARGS, "untriggered() -> indices of patterns searched on their own"},
    {"views", scanner_views, METH_O, "views(text) -> (code view, comment view or None) of the lexer"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scanner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(scanner_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(scanner_clear)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_doc, const_cast<char*>("The detector's patterns and model, compiled once (immutable, thread-safe).")},
    {0, nullptr},
};

PyType_Spec scanner_spec = {
    "agents.transmute._detect.Scanner",
    sizeof(ScannerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    scanner_slots,
};

bool fill_module(PyObject* module) {
    auto* st = state_of(module);
    PyObject* type = PyType_FromModuleAndSpec(module, &scanner_spec, nullptr);
    if (!type) return false;
    st->type = reinterpret_cast<PyTypeObject*>(type);
    if (PyModule_AddObjectRef(module, "Scanner", type) < 0) return false;
    if (PyModule_AddIntConstant(module, "CODE", kCode) < 0) return false;
    if (PyModule_AddIntConstant(module, "COMMENT", kComment) < 0) return false;
    if (PyModule_AddIntConstant(module, "HASH_COMMENT", kHashComment) < 0) return false;
    if (PyModule_AddIntConstant(module, "TEXT", kText) < 0) return false;
    return true;
}

transmute::NativeModule detect_module{
    {
        .def_name = "agents.transmute._detect",
        .short_name = "_detect",
        .full_name = "agents.transmute._detect",
        .doc = "Native lexer, pattern scan and linear model of the platform detector.",
        .fill = fill_module,
        .binds_builtins = false,
        .interpreters = transmute::Interpreters::unsupported,
    },
    std::type_identity<ModuleState>{}};

}  // namespace

PyMODINIT_FUNC PyInit__detect(void) { return detect_module.init(); }
