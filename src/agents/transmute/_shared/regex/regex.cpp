// Engine entry points: compile, and the matching operations instantiated for the three
// PEP 393 widths. Tested in tests/test_engine.py.
#include "regex.hpp"

#include "internal/matcher.hpp"
#include "internal/parse.hpp"
#include "internal/prefilter.hpp"
#include "internal/program.hpp"

namespace transmute::regex {

ProgramPtr compile(const std::u32string& source, int flags, Refusal& why) {
    why = Refusal::none;
    Ast ast;
    if (!parse(source, flags, ast, why)) return nullptr;
    auto prog = std::make_shared<Program>();
    if (!build_program(ast, *prog, why)) return nullptr;
    return prog;
}

ProgramPtr compile(PyObject* source, int flags, Refusal& why) {
    if (!PyUnicode_Check(source)) {
        why = Refusal::not_a_str;
        return nullptr;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(source);
    std::u32string text(static_cast<size_t>(n), U'\0');
    const int kind = PyUnicode_KIND(source);
    const void* data = PyUnicode_DATA(source);
    for (Py_ssize_t i = 0; i < n; ++i) text[i] = PyUnicode_READ(kind, data, i);
    return compile(text, flags, why);
}

template <class C>
bool may_match(const Program& prog, const C* s, size_t n, size_t pos) {
    if (pos > n) return false;
    if (prog.required.empty()) return true;
    if (find_literal(prog, prog.required, s, n, pos) == kNoPos) return false;
    for (const Literal& lit : prog.also_required) {
        if (find_literal(prog, lit, s, n, pos) == kNoPos) return false;
    }
    return true;
}

template <class C>
bool search(const Program& prog, const C* s, size_t n, size_t pos) {
    if (pos > n) pos = n;
    if (!may_match(prog, s, n, pos)) return false;
    Matcher<C> matcher;
    matcher.bind(prog, Purpose::exists, s, n);
    Span span{0, 0};
    return matcher.search(pos, false, span);
}

template <class C>
bool match_at(const Program& prog, const C* s, size_t n, size_t pos) {
    if (pos > n) pos = n;
    Matcher<C> matcher;
    matcher.bind(prog, Purpose::exists, s, n);
    return matcher.at(pos).matched;
}

template <class C>
bool find(const Program& prog, const C* s, size_t n, size_t pos, Span& out) {
    if (pos > n) pos = n;
    if (!may_match(prog, s, n, pos)) return false;
    Matcher<C> matcher;
    matcher.bind(prog, Purpose::spans, s, n);
    return matcher.search(pos, false, out);
}

namespace {

// re's findall/finditer/sub loop: continue at the end of each match; after an empty match the
// next one may not be empty at that same position.
template <class C, class F>
void each_match(const Program& prog, const C* s, size_t n, F&& f) {
    if (!may_match(prog, s, n, 0)) return;
    Matcher<C> matcher;
    matcher.bind(prog, Purpose::spans, s, n);
    size_t pos = 0;
    bool must_advance = false;
    Span span{0, 0};
    while (pos <= n && matcher.search(pos, must_advance, span)) {
        f(span.start, span.end);
        must_advance = span.end == span.start;
        pos = span.end;
    }
}

}  // namespace

template <class C>
size_t count(const Program& prog, const C* s, size_t n) {
    size_t total = 0;
    each_match(prog, s, n, [&](size_t, size_t) { ++total; });
    return total;
}

template <class C>
void find_all(const Program& prog, const C* s, size_t n, std::vector<Span>& out) {
    each_match(prog, s, n, [&](size_t a, size_t b) { out.push_back({a, b}); });
}

const Node& syntax(const Program& prog) { return *prog.tree; }

int flags_of(const Program& prog) { return prog.flags; }

CharFacts char_facts(const Program& prog, uint32_t set) { return prog.sets[set].facts(); }

namespace {

std::unique_ptr<Node> clone(const Node& n) {
    auto copy = std::make_unique<Node>();
    copy->kind = n.kind;
    copy->set = n.set;
    copy->min = n.min;
    copy->max = n.max;
    copy->greedy = n.greedy;
    copy->assertion = n.assertion;
    copy->behind = n.behind;
    copy->negate = n.negate;
    for (const auto& kid : n.kids) copy->kids.push_back(clone(*kid));
    return copy;
}

}  // namespace

ProgramPtr compile_part(const Program& whole, const Node& part) {
    Ast ast;
    ast.root = clone(part);
    ast.sets = whole.sets;
    ast.flags = whole.flags;
    auto prog = std::make_shared<Program>();
    Refusal why = Refusal::none;
    if (!build_program(ast, *prog, why)) return nullptr;
    return prog;
}

size_t required_literals(const Program& prog) {
    return prog.required.empty() ? 0 : 1 + prog.also_required.size();
}

namespace {

const Literal& required_literal(const Program& prog, size_t which) {
    return which == 0 ? prog.required : prog.also_required[which - 1];
}

}  // namespace

template <class C>
size_t find_required_literal(const Program& prog, size_t which, const C* s, size_t n, size_t from) {
    return find_literal(prog, required_literal(prog, which), s, n, from);
}

bool same_required_literal(const Program& a, size_t i, const Program& b, size_t j) {
    const Literal& x = required_literal(a, i);
    const Literal& y = required_literal(b, j);
    if (x.sets.size() != y.sets.size()) return false;
    for (size_t k = 0; k < x.sets.size(); ++k)
        if (!a.sets[x.sets[k]].same_as(b.sets[y.sets[k]])) return false;
    return true;
}

uint64_t required_literal_hash(const Program& prog, size_t which) {
    const Literal& lit = required_literal(prog, which);
    uint64_t h = lit.sets.size();
    for (uint32_t set : lit.sets) {
        // Sets that accept the same chars below 256 by the same rule have the same bitmap.
        const CharSet& s = prog.sets[set];
        for (int w = 0; w < 4; ++w) h = (h ^ s.low_bits()[w]) * 0x100000001B3ull + static_cast<uint64_t>(w);
        h = (h ^ static_cast<uint64_t>(s.narrow_only())) * 0x100000001B3ull;
    }
    return h;
}

#define TRANSMUTE_REGEX_INSTANTIATE(C)                                                  \
    template size_t find_required_literal<C>(const Program&, size_t, const C*, size_t, size_t); \
    template bool may_match<C>(const Program&, const C*, size_t, size_t);               \
    template bool search<C>(const Program&, const C*, size_t, size_t);                  \
    template bool match_at<C>(const Program&, const C*, size_t, size_t);                \
    template bool find<C>(const Program&, const C*, size_t, size_t, Span&);             \
    template size_t count<C>(const Program&, const C*, size_t);                         \
    template void find_all<C>(const Program&, const C*, size_t, std::vector<Span>&);

TRANSMUTE_REGEX_INSTANTIATE(Py_UCS1)
TRANSMUTE_REGEX_INSTANTIATE(Py_UCS2)
TRANSMUTE_REGEX_INSTANTIATE(Py_UCS4)

#undef TRANSMUTE_REGEX_INSTANTIATE

}  // namespace transmute::regex
