// Non-blank line count of a text, as sum(1 for line in text.splitlines() if line.strip()).
// Tested in tests/test_classify.py.
#pragma once

#include "../text.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

#include "simd.hpp"

namespace transmute::scan {

// A blank line contributes nothing, so "\r\n" may be treated as two boundaries.
template <class C>
size_t count_nonblank_lines(const C* s, size_t n) {
    size_t count = 0;
    bool nonblank = false;
    size_t i = 0;
#if defined(TRANSMUTE_HAVE_SSE2)
    {
        // ASCII blocks of 16: line breaks are \n \v \f \r \x1c \x1d \x1e; white space adds \t,
        // \x1f and the space. Blocks holding a byte above 0x7F go through the general loop.
        const __m128i before_tab = _mm_set1_epi8(0x08), after_cr = _mm_set1_epi8(0x0e);
        const __m128i before_fs = _mm_set1_epi8(0x1b), after_rs = _mm_set1_epi8(0x1f);
        const __m128i before_lf = _mm_set1_epi8(0x09), space = _mm_set1_epi8(0x20);
        const __m128i unit_sep = _mm_set1_epi8(0x1f);
        for (; i + 16 <= n; i += 16) {
            __m128i x;
            if (!load_ascii16(s + i, x)) {
                for (size_t k = i; k < i + 16; ++k) {
                    const C c = s[k];
                    if (is_line_break(c)) {
                        count += nonblank;
                        nonblank = false;
                    } else if (!is_space(c)) {
                        nonblank = true;
                    }
                }
                continue;
            }
            const __m128i lf_to_cr = _mm_and_si128(_mm_cmpgt_epi8(x, before_lf), _mm_cmplt_epi8(x, after_cr));
            const __m128i fs_to_rs = _mm_and_si128(_mm_cmpgt_epi8(x, before_fs), _mm_cmplt_epi8(x, after_rs));
            const __m128i breaks = _mm_or_si128(lf_to_cr, fs_to_rs);
            const __m128i spaces = _mm_or_si128(
                _mm_or_si128(_mm_and_si128(_mm_cmpgt_epi8(x, before_tab), _mm_cmplt_epi8(x, after_cr)),
                             _mm_and_si128(_mm_cmpgt_epi8(x, before_fs), _mm_cmplt_epi8(x, space))),
                _mm_or_si128(_mm_cmpeq_epi8(x, space), _mm_cmpeq_epi8(x, unit_sep)));
            uint32_t break_bits = static_cast<uint32_t>(_mm_movemask_epi8(breaks));
            const uint32_t solid = ~static_cast<uint32_t>(_mm_movemask_epi8(spaces)) & 0xFFFFu;
            uint32_t from = 0;  // first bit of the current line within the block
            while (break_bits) {
                const uint32_t b = static_cast<uint32_t>(std::countr_zero(break_bits));
                const uint32_t segment = ((1u << b) - 1) & ~((1u << from) - 1);
                nonblank = nonblank || (solid & segment);
                count += nonblank;
                nonblank = false;
                from = b + 1;
                break_bits &= break_bits - 1;
            }
            nonblank = nonblank || (solid & ~((1u << from) - 1) & 0xFFFFu);
        }
    }
#endif
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
