// Zero-width assertions (^ $ \A \Z \b \B) at a text position, with re's definitions; shared by
// the three matchers. Tested in tests/test_engine.py.
#pragma once

#include "chars.hpp"
#include "parse.hpp"

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

}  // namespace transmute::regex
