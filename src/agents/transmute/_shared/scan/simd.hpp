// Sixteen characters of any PEP 393 width as sixteen bytes, when all of them are ASCII: the scans
// then classify them with byte compares whatever the string's width. Tested through
// tests/test_scan.py (keywords at every offset next to wider characters).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#define TRANSMUTE_HAVE_SSE2 1

namespace transmute::scan {

// Loads s[0..16) into `out` as bytes; false when some character is above 0x7F.
template <class C>
inline bool load_ascii16(const C* s, __m128i& out) {
    if constexpr (sizeof(C) == 1) {
        out = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        return _mm_movemask_epi8(out) == 0;
    } else if constexpr (sizeof(C) == 2) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
        const __m128i high = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(0xFF80)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) return false;
        out = _mm_packus_epi16(a, b);
        return true;
    } else {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 12));
        const __m128i all = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        const __m128i high = _mm_and_si128(all, _mm_set1_epi32(static_cast<int>(0xFFFFFF80u)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) != 0xFFFF) return false;
        out = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
        return true;
    }
}

// s[0..16) as bytes, with every character above 0xFF turned into 0xFF: exact for finding ASCII
// characters in text of any width.
template <class C>
inline __m128i load_clamped16(const C* s) {
    if constexpr (sizeof(C) == 1) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    } else if constexpr (sizeof(C) == 2) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
        // Unsigned 16-bit values above 0x7FFF read as negative to the signed pack: clamp first.
        const __m128i top = _mm_set1_epi16(0xFF);
        const __m128i a8 = _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi16(_mm_srli_epi16(a, 8), _mm_setzero_si128()), top),
                                        _mm_and_si128(a, top));
        const __m128i b8 = _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi16(_mm_srli_epi16(b, 8), _mm_setzero_si128()), top),
                                        _mm_and_si128(b, top));
        return _mm_packus_epi16(a8, b8);
    } else {
        __m128i parts[4];
        const __m128i top = _mm_set1_epi32(0xFF);
        for (int k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * k));
            const __m128i wide = _mm_cmpeq_epi32(_mm_srli_epi32(v, 8), _mm_setzero_si128());
            parts[k] = _mm_or_si128(_mm_andnot_si128(wide, top), _mm_and_si128(v, top));
        }
        return _mm_packus_epi16(_mm_packs_epi32(parts[0], parts[1]), _mm_packs_epi32(parts[2], parts[3]));
    }
}

}  // namespace transmute::scan
#endif
