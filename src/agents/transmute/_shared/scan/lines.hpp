// Non-blank line count of a text, as sum(1 for line in text.splitlines() if line.strip()).
// Tested in tests/test_classify.py.
#pragma once

#include "../simd.hpp"
#include "../text.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

namespace transmute::scan {

namespace detail {

// A block of characters, as the bits of its line breaks and of its white space (line breaks
// included; bit k: its k-th character), added to the count. A line holds something when the
// last character before its break that is not white space is a solid one rather than the
// previous break (or, at the block's start, when `nonblank` says the line already did). That
// is found for every break at once without branches: adding the white run after each solid
// character to that character's bit carries the bit through the run onto the next solid
// character or break.
inline void count_block(uint64_t breaks, uint64_t white, uint64_t lanes, bool& nonblank, size_t& count) {
    const uint64_t solid = ~white & lanes;
    const uint64_t carried = ((solid << 1) | uint64_t{nonblank}) + (white & ~breaks);
    count += static_cast<size_t>(std::popcount(carried & breaks));
    const uint64_t marks = solid | breaks;
    if (marks) nonblank = (solid >> (63 - std::countl_zero(marks))) & 1;
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
//
// The 32-lane blocks classify by nibble: a character's class bits are those its high nibble's
// table entry and its low nibble's entry share. Bit 1: \t to \r; bit 2: \n to \r; bit 4: \x1c to
// \x1e; bit 8: \x1f; bit 16: the space. Breaks are the characters with bit 2 or 4.
inline constexpr uint8_t kWhiteByHigh[16] = {0x03, 0x0C, 0x10};
inline constexpr uint8_t kWhiteByLow[16] = {0x10, 0,    0,    0,    0,    0,    0,    0,
                                            0,    0x01, 0x03, 0x03, 0x07, 0x07, 0x04, 0x08};
inline constexpr uint8_t kBreakBits = 0x06;

template <class C>
TRANSMUTE_SIMD_WIDE size_t count_wide_blocks(const C* s, size_t n, bool& nonblank_io, size_t& count_io) {
    const simd::Wide by_high = simd::wide_table(kWhiteByHigh), by_low = simd::wide_table(kWhiteByLow);
    const simd::Wide break_bits = simd::wide_splat(kBreakBits);
    bool nonblank = nonblank_io;
    size_t count = count_io;
    size_t i = 0;
    for (; i + simd::kWideLanes <= n; i += simd::kWideLanes) {
        simd::Wide x;
        if (!simd::load_ascii(s + i, x)) {
            count_chars(s, i, i + simd::kWideLanes, nonblank, count);
            continue;
        }
        const simd::Wide bits =
            simd::lookup16(by_high, simd::high_nibbles(x)) & simd::lookup16(by_low, simd::low_nibbles(x));
        const uint32_t white = ~simd::zero_mask(bits);
        const uint32_t breaks = ~simd::zero_mask(bits & break_bits);
        count_block(breaks, white, 0xFFFFFFFFu, nonblank, count);
    }
    nonblank_io = nonblank;
    count_io = count;
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
        count_block(breaks, white, 0xFFFFu, nonblank, count);
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
