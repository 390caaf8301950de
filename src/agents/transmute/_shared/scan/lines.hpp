// Non-blank line count of a text, as sum(1 for line in text.splitlines() if line.strip()).
// Tested in tests/test_classify.py.
#pragma once

#include "../simd.hpp"
#include "../text.hpp"

#include <cstddef>
#include <cstdint>

namespace transmute::scan {

namespace detail {

// A block of characters, as the bits of its line breaks and of its solid (non-white)
// characters (bit k: its k-th character), added to the count.
inline void count_block(uint64_t breaks, uint64_t solid, bool& nonblank, size_t& count) {
    uint64_t line = ~uint64_t{0};  // the bits of the current line, from its start on
    while (breaks) {
        const uint64_t at = breaks & (~breaks + 1);
        nonblank = nonblank || (solid & line & (at - 1));
        count += nonblank;
        nonblank = false;
        line = ~((at << 1) - 1);
        breaks &= breaks - 1;
    }
    nonblank = nonblank || (solid & line);
}

// Characters one by one; once the line holds something, only its end matters.
template <class C>
inline void count_chars(const C* s, size_t from, size_t to, bool& nonblank, size_t& count) {
    for (size_t k = from; k < to; ++k) {
        const C c = s[k];
        if (is_line_break(c)) {
            count += nonblank;
            nonblank = false;
        } else if (!nonblank && !is_space(c)) {
            nonblank = true;
        }
    }
}

// ASCII blocks: line breaks are \n \v \f \r \x1c \x1d \x1e; white space adds \t, \x1f and the
// space. Blocks holding a character above 0x7F are counted one character at a time.
template <class C>
TRANSMUTE_SIMD_WIDE size_t count_wide_blocks(const C* s, size_t n, bool& nonblank, size_t& count) {
    size_t i = 0;
    for (; i + simd::kWideLanes <= n; i += simd::kWideLanes) {
        simd::Wide x;
        if (!simd::load_ascii(s + i, x)) {
            count_chars(s, i, i + simd::kWideLanes, nonblank, count);
            continue;
        }
        const uint32_t breaks = simd::mask(simd::between(x, 0x0a, 0x0d) | simd::between(x, 0x1c, 0x1e));
        const uint32_t white = simd::mask(simd::between(x, 0x09, 0x0d) | simd::between(x, 0x1c, 0x20));
        count_block(breaks, ~white, nonblank, count);
    }
    return i;
}

template <class C>
size_t count_blocks(const C* s, size_t n, bool& nonblank, size_t& count) {
    size_t i = 0;
    for (; i + simd::kLanes <= n; i += simd::kLanes) {
        simd::Bytes x;
        if (!simd::load_ascii(s + i, x)) {
            count_chars(s, i, i + simd::kLanes, nonblank, count);
            continue;
        }
        const uint32_t breaks = simd::mask(simd::between(x, 0x0a, 0x0d) | simd::between(x, 0x1c, 0x1e));
        const uint32_t white = simd::mask(simd::between(x, 0x09, 0x0d) | simd::between(x, 0x1c, 0x20));
        count_block(breaks, ~white & 0xFFFFu, nonblank, count);
    }
    return i;
}

}  // namespace detail

// A blank line contributes nothing, so "\r\n" may be treated as two boundaries.
template <class C>
size_t count_nonblank_lines(const C* s, size_t n) {
    size_t count = 0;
    bool nonblank = false;
    size_t i = simd::has_wide() ? detail::count_wide_blocks(s, n, nonblank, count)
                                : detail::count_blocks(s, n, nonblank, count);
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
