// Pike VM over one text in its own PEP 393 width: threads kept in priority order give
// leftmost-first spans exactly like re's backtracking, in O(text x program) time; the
// existence mode drops priorities and tracks counted gaps by their smallest count. The only
// matcher that runs lookarounds and counted gaps. Tested in tests/test_engine.py.
#pragma once

#include "assertions.hpp"
#include "prefilter.hpp"
#include "program.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace transmute::regex {

template <class C>
class Vm {
public:
    Vm() = default;
    Vm(const Program& prog, const Code& code, const C* s, size_t n) { bind(prog, code, s, n); }

    // Runs `code` over s[0..n) from now on, keeping the buffers of earlier texts.
    void bind(const Program& prog, const Code& code, const C* s, size_t n) {
        prog_ = &prog;
        code_ = &code;
        s_ = s;
        n_ = n;
        const size_t m = code.insts.size();
        mark_.assign(m, 0);
        where_.assign(m, 0);
        gen_ = 1;
        clist_.reserve(m);
        nlist_.reserve(m);
        subs_.clear();
    }

    // The text position the last run stopped at: how far it had to look.
    size_t reached() const { return reached_; }

    // Is there a match starting at `pos` (anchored) or at any position >= pos?
    bool exists(size_t pos, bool anchored) {
        size_t ms = 0, me = 0;
        return run<false>(pos, anchored, false, ms, me);
    }

    // Leftmost-first match from `pos`; with must_advance an empty match at `pos` is refused
    // (re's rule after an empty match in findall/sub).
    bool leftmost(size_t pos, bool anchored, bool must_advance, size_t& ms, size_t& me) {
        return run<true>(pos, anchored, must_advance, ms, me);
    }

private:
    struct Thread {
        uint32_t pc;
        size_t slot;  // leftmost mode: match start; existence mode: count of a kGap thread
    };

    bool check(AssertKind k, size_t p) const { return assert_at(k, s_, n_, p, *words_); }

    bool look_holds(uint32_t idx, size_t p) {
        const Look& lk = prog_->looks[idx];
        if (subs_.size() <= idx) subs_.resize(idx + 1);
        if (!subs_[idx]) subs_[idx] = std::make_unique<Vm>(*prog_, lk.code, s_, n_);
        bool found;
        if (lk.behind) {
            found = p >= lk.width && subs_[idx]->exists(p - lk.width, true);
        } else {
            found = subs_[idx]->exists(p, true);
        }
        return found != lk.negate;
    }

    void next_gen() {
        if (++gen_ == 0) {
            std::fill(mark_.begin(), mark_.end(), 0);
            gen_ = 1;
        }
    }

    // Adds the thread at `pc0` and everything reachable without consuming, at text position p,
    // in priority order. Existence mode passes slot 0 along epsilon edges (only a gap's own
    // consumption carries a count) and keeps the smallest count for a gap reached twice.
    template <bool kLeftmost>
    void add(std::vector<Thread>& list, uint32_t pc0, size_t slot0, size_t p) {
        stack_.clear();
        stack_.push_back({pc0, slot0});
        while (!stack_.empty()) {
            const Thread t = stack_.back();
            stack_.pop_back();
            const Inst& in = code_->insts[t.pc];
            if (mark_[t.pc] == gen_) {
                if (!kLeftmost && in.op == Op::kGap) {
                    Thread& have = list[where_[t.pc]];
                    if (t.slot < have.slot) have.slot = t.slot;
                }
                continue;
            }
            mark_[t.pc] = gen_;
            const size_t carry = kLeftmost ? t.slot : 0;
            switch (in.op) {
                case Op::kChar:
                case Op::kMatch:
                    list.push_back(t);
                    break;
                case Op::kGap:
                    where_[t.pc] = static_cast<uint32_t>(list.size());
                    list.push_back(t);
                    stack_.push_back({in.x, 0});
                    break;
                case Op::kSplit:
                    stack_.push_back({in.y, carry});
                    stack_.push_back({in.x, carry});
                    break;
                case Op::kJump:
                    stack_.push_back({in.x, carry});
                    break;
                case Op::kAssert:
                    if (check(static_cast<AssertKind>(in.arg), p)) stack_.push_back({in.x, carry});
                    break;
                case Op::kLook:
                    if (look_holds(in.arg, p)) stack_.push_back({in.x, carry});
                    break;
                case Op::kFail:
                    break;
            }
        }
    }

    template <bool kLeftmost>
    bool run(size_t pos0, bool anchored, bool must_advance, size_t& ms, size_t& me) {
        if (pos0 > n_) return false;
        clist_.clear();
        nlist_.clear();
        bool matched = false;
        size_t pos = pos0;
        while (true) {
            if (clist_.empty()) {
                if (matched) break;
                if (anchored && pos > pos0) break;
                if (!anchored) {
                    const size_t q = next_candidate(*prog_, s_, n_, pos);
                    if (q == kNoPos) break;
                    pos = q;
                }
                next_gen();
            }
            if (!matched && (!anchored || pos == pos0)) {
                add<kLeftmost>(clist_, code_->start, kLeftmost ? pos : 0, pos);
            }
            next_gen();
            const bool more = pos < n_;
            const uint32_t ch = more ? static_cast<uint32_t>(s_[pos]) : 0;
            for (size_t i = 0; i < clist_.size(); ++i) {
                const Thread t = clist_[i];
                const Inst& in = code_->insts[t.pc];
                if (in.op == Op::kChar) {
                    if (more && prog_->sets[in.arg].test(ch)) add<kLeftmost>(nlist_, in.x, t.slot, pos + 1);
                } else if (in.op == Op::kGap) {
                    if (more && t.slot < in.count && prog_->sets[in.arg].test(ch)) {
                        add<kLeftmost>(nlist_, t.pc, t.slot + 1, pos + 1);
                    }
                } else if (in.op == Op::kMatch) {
                    if (!kLeftmost) {
                        reached_ = pos;
                        return true;
                    }
                    if (must_advance && t.slot == pos0 && pos == pos0) continue;
                    ms = t.slot;
                    me = pos;
                    matched = true;
                    break;  // lower-priority threads can no longer win
                }
            }
            if (!more) break;
            clist_.swap(nlist_);
            nlist_.clear();
            ++pos;
        }
        reached_ = pos;
        return matched;
    }

    const Program* prog_ = nullptr;
    const Code* code_ = nullptr;
    const C* s_ = nullptr;
    size_t n_ = 0;
    const WordTable* words_ = &word_table();
    std::vector<uint32_t> mark_;
    std::vector<uint32_t> where_;
    uint32_t gen_ = 1;
    size_t reached_ = 0;
    std::vector<Thread> clist_, nlist_, stack_;
    std::vector<std::unique_ptr<Vm>> subs_;
};

}  // namespace transmute::regex
