// Non-blank line count of a text, as sum(1 for line in text.splitlines() if line.strip()).
// Tested in tests/test_classify.py.
#pragma once

#include "../simd.hpp"
#include "../text.hpp"

#include <cstddef>
#include <cstdint>

namespace transmute::scan {

// A blank line contributes nothing, so "\r\n" may be treated as two boundaries.
template <class C>
size_t count_nonblank_lines(const C* s, size_t n) {
    size_t count = 0;
    bool nonblank = false;
    size_t i = 0;
    // ASCII blocks of 16: line breaks are \n \v \f \r \x1c \x1d \x1e; white space adds \t, \x1f
    // and the space. Blocks holding a character above 0x7F go through the general loop.
    for (; i + simd::kLanes <= n; i += simd::kLanes) {
        simd::Bytes x;
        if (!simd::load_ascii(s + i, x)) {
            // Once the line holds something, only its end matters.
            for (size_t k = i; k < i + simd::kLanes; ++k) {
                const C c = s[k];
                if (is_line_break(c)) {
                    count += nonblank;
                    nonblank = false;
                } else if (!nonblank && !is_space(c)) {
                    nonblank = true;
                }
            }
            continue;
        }
        uint32_t break_bits = simd::mask(simd::between(x, 0x0a, 0x0d) | simd::between(x, 0x1c, 0x1e));
        const uint32_t spaces = simd::mask(simd::between(x, 0x09, 0x0d) | simd::between(x, 0x1c, 0x20));
        const uint32_t solid = ~spaces & 0xFFFFu;
        uint32_t from = 0;  // first bit of the current line within the block
        while (break_bits) {
            const uint32_t b = static_cast<uint32_t>(simd::first(break_bits));
            const uint32_t segment = ((1u << b) - 1) & ~((1u << from) - 1);
            nonblank = nonblank || (solid & segment);
            count += nonblank;
            nonblank = false;
            from = b + 1;
            break_bits &= break_bits - 1;
        }
        nonblank = nonblank || (solid & ~((1u << from) - 1) & 0xFFFFu);
    }
    for (; i < n; ++i) {
        const C c = s[i];
        if (c > ' ' && c < 0x7F) {
            nonblank = true;
        } else if (is_line_break(c)) {
            count += nonblank;
            nonblank = false;
        } else if (!is_space(c)) {
            nonblank = true;
        }
    }
    return count + nonblank;
}

}  // namespace transmute::scan
