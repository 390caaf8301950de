// Matcher: one program's runs over one text, by the matcher choose_matcher() picks.
// Tested in tests/test_engine.py and through the scans.
#include "matcher.hpp"

#include "memo_backtrack.hpp"
#include "one_pass.hpp"
#include "pike_vm.hpp"
#include "prefilter.hpp"

namespace transmute::regex {

template <class C>
struct Matcher<C>::State {
    const Program* prog = nullptr;
    Purpose purpose = Purpose::exists;
    MatcherKind kind = MatcherKind::window;
    const C* s = nullptr;
    size_t n = 0;
    MemoBacktracker<C> memo;
    Vm<C> vm;
    // Spans by the Pike VM when the program counts gaps: a counted existence check settles the
    // common case of no further match cheaply (the priority VM holds a thread per gap slot).
    Vm<C> gate;
    bool use_gate = false;
    WindowSpace* space = nullptr;  // the windowed runs' scratch space of the thread that binds
    size_t walked = 0;             // chars the one-pass runs reached, in all

    void bind_kind() {
        switch (kind) {
            case MatcherKind::one_pass:
            case MatcherKind::window:
                break;
            case MatcherKind::memo:
                memo.bind(*prog, s, n);
                break;
            case MatcherKind::pike:
                vm.bind(*prog, purpose == Purpose::exists ? prog->exists : prog->spans, s, n);
                use_gate = purpose == Purpose::spans && prog->has_gaps;
                if (use_gate) gate.bind(*prog, prog->exists, s, n);
                break;
        }
    }
};

// The state is made by the first bind(), so that unused matchers cost nothing.
template <class C>
Matcher<C>::Matcher() = default;
template <class C>
Matcher<C>::~Matcher() = default;
template <class C>
Matcher<C>::Matcher(Matcher&&) noexcept = default;
template <class C>
Matcher<C>& Matcher<C>::operator=(Matcher&&) noexcept = default;

template <class C>
void Matcher<C>::bind(const Program& prog, Purpose purpose, const C* s, size_t n) {
    if (!state_) state_ = std::make_unique<State>();
    State& st = *state_;
    st.prog = &prog;
    st.purpose = purpose;
    st.kind = choose_matcher(prog);
    st.s = s;
    st.n = n;
    st.use_gate = false;
    st.space = &WindowSpace::for_thread();
    st.walked = 0;
    st.bind_kind();
}

template <class C>
AnchoredRun Matcher<C>::at(size_t pos, bool must_advance) {
    State& st = *state_;
    switch (st.kind) {
        case MatcherKind::one_pass: {
            const AnchoredRun out = one_pass_run(*st.prog, st.s, st.n, pos);
            st.walked += out.reached - pos + 1;
            if (st.walked > one_pass_budget(st.n)) {
                st.kind = choose_bounded_matcher(*st.prog);
                st.bind_kind();
            }
            return out;
        }
        case MatcherKind::window:
            return window_run(*st.prog, st.s, st.n, pos, must_advance, *st.space);
        case MatcherKind::memo:
            return st.memo.run(pos, must_advance);
        case MatcherKind::pike:
            break;
    }
    AnchoredRun out;
    if (st.purpose == Purpose::exists) {
        out.matched = st.vm.exists(pos, true);
    } else {
        size_t start = 0;
        out.matched = st.vm.leftmost(pos, true, must_advance, start, out.end);
    }
    out.reached = st.vm.reached();
    return out;
}

template <class C>
bool Matcher<C>::search(size_t pos, bool must_advance, Span& out) {
    State& st = *state_;
    if (pos > st.n) return false;
    if (st.kind == MatcherKind::pike) {
        if (st.purpose == Purpose::exists) return st.vm.exists(pos, false);
        if (st.use_gate && !st.gate.exists(pos, false)) return false;
        return st.vm.leftmost(pos, false, must_advance, out.start, out.end);
    }
    // The backtrackers run at every position where a match may start, in order.
    for (size_t at = pos;; ++at) {
        at = next_candidate(*st.prog, st.s, st.n, at);
        if (at == kNoPos) return false;
        const AnchoredRun run = this->at(at, must_advance && at == pos);
        if (run.matched) {
            out = {at, run.end};
            return true;
        }
        if (at >= st.n) return false;
    }
}

const char* matcher_name(const Program& prog) {
    switch (choose_matcher(prog)) {
        case MatcherKind::one_pass:
            return "one_pass";
        case MatcherKind::window:
            return "window";
        case MatcherKind::memo:
            return "memo";
        case MatcherKind::pike:
            break;
    }
    return "pike";
}

template class Matcher<Py_UCS1>;
template class Matcher<Py_UCS2>;
template class Matcher<Py_UCS4>;

}  // namespace transmute::regex
