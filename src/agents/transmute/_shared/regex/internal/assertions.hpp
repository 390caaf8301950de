// Zero-width assertions (^ $ \A \Z \b \B) at a text position, with re's definitions, shared by
// the three matchers; and the steps both backtrackers take alike. Tested in tests/test_engine.py.
#pragma once

#include "chars.hpp"
#include "parse.hpp"
#include "program.hpp"

#include <cstddef>
#include <cstdint>

namespace transmute::regex {

// Assertion `k` at position p of s[0..n).
template <class C>
inline bool assert_at(AssertKind k, const C* s, size_t n, size_t p, const WordTable& words) {
    switch (k) {
        case AssertKind::kBeginLine:
            return p == 0 || s[p - 1] == '\n';
        case AssertKind::kBeginText:
            return p == 0;
        case AssertKind::kEndLine:
            return p == n || s[p] == '\n';
        case AssertKind::kEndTextOrNl:
            return p == n || (p + 1 == n && s[p] == '\n');
        case AssertKind::kEndText:
            return p == n;
        case AssertKind::kWordBoundary:
        case AssertKind::kNotWordBoundary: {
            if (n == 0) return false;
            const bool before = p > 0 && is_word(static_cast<uint32_t>(s[p - 1]), words);
            const bool after = p < n && is_word(static_cast<uint32_t>(s[p]), words);
            return (before != after) == (k == AssertKind::kWordBoundary);
        }
    }
    return false;
}

// What instruction `in` does at text position p, for the instructions both backtrackers treat
// alike: consume a char and go on at in.x, go on at in.x without consuming, or fail; `branch`
// for a split or the match, which each backtracker handles its own way.
enum class Step : uint8_t { consume, go, fail, branch };

template <class C>
inline Step plain_step(const Program& prog, const Inst& in, const C* s, size_t n, size_t p, const WordTable& words) {
    switch (in.op) {
        case Op::kChar:
            return p < n && prog.sets[in.arg].test(static_cast<uint32_t>(s[p])) ? Step::consume : Step::fail;
        case Op::kJump:
            return Step::go;
        case Op::kAssert:
            return assert_at(static_cast<AssertKind>(in.arg), s, n, p, words) ? Step::go : Step::fail;
        case Op::kSplit:
        case Op::kMatch:
            return Step::branch;
        case Op::kGap:
        case Op::kLook:
        case Op::kFail:
            break;  // kGap and kLook never reach a backtracker
    }
    return Step::fail;
}

}  // namespace transmute::regex
