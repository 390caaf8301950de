// Sixteen bytes at a time, for the scans of the engine and of the modules: a small typed wrapper
// over SSE2 (TRANSMUTE_SIMD_SSE2, every x86-64 build) with a plain scalar version elsewhere, so
// that no other file needs intrinsics or a feature test; and thirty-two bytes at a time with AVX2,
// which is asked of the processor at run time (see Wide). Text of any PEP 393 width loads as
// sixteen bytes, either when all sixteen characters are ASCII or with every character above 0xFF
// clamped to 0xFF. Tested through tests/test_scan.py and tests/test_engine.py (keywords and
// literals at every offset next to wider characters, in every width).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// TRANSMUTE_SIMD_SCALAR builds the plain version on x86-64 too, so that it can be tested there.
#if defined(__SSE2__) && !defined(TRANSMUTE_SIMD_SCALAR)
#include <emmintrin.h>
#include <immintrin.h>
#define TRANSMUTE_SIMD_SSE2 1
#endif

namespace transmute::simd {

// Sixteen byte lanes. Comparisons give lanes of all ones (true) or zeros (false); | and & work
// on the bits.
struct Bytes {
#if defined(TRANSMUTE_SIMD_SSE2)
    __m128i v;
#else
    uint8_t v[16];
#endif
};

inline constexpr size_t kLanes = 16;

#if defined(TRANSMUTE_SIMD_SSE2)

inline Bytes load(const uint8_t* p) { return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))}; }
inline Bytes splat(uint8_t b) { return {_mm_set1_epi8(static_cast<char>(b))}; }
inline Bytes zero() { return {_mm_setzero_si128()}; }
inline Bytes operator|(Bytes a, Bytes b) { return {_mm_or_si128(a.v, b.v)}; }
inline Bytes operator&(Bytes a, Bytes b) { return {_mm_and_si128(a.v, b.v)}; }
inline Bytes operator==(Bytes a, Bytes b) { return {_mm_cmpeq_epi8(a.v, b.v)}; }
// Lanes from lo to hi inclusive, for 0 <= lo <= hi <= 0x7F (bytes above 0x7F are never inside).
inline Bytes between(Bytes a, uint8_t lo, uint8_t hi) {
    return {_mm_and_si128(_mm_cmpgt_epi8(a.v, _mm_set1_epi8(static_cast<char>(lo - 1))),
                          _mm_cmplt_epi8(a.v, _mm_set1_epi8(static_cast<char>(hi + 1))))};
}
// Bit k set when lane k is true.
inline uint32_t mask(Bytes a) { return static_cast<uint32_t>(_mm_movemask_epi8(a.v)); }

// Loads s[0..16) as bytes into `out`; false when some character is above 0x7F.
template <class C>
inline bool load_ascii(const C* s, Bytes& out) {
    if constexpr (sizeof(C) == 1) {
        out.v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        return _mm_movemask_epi8(out.v) == 0;
    } else if constexpr (sizeof(C) == 2) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
        const __m128i high = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(0xFF80)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) return false;
        out.v = _mm_packus_epi16(a, b);
        return true;
    } else {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 12));
        const __m128i all = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        const __m128i high = _mm_and_si128(all, _mm_set1_epi32(static_cast<int>(0xFFFFFF80u)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) != 0xFFFF) return false;
        out.v = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
        return true;
    }
}

// s[0..16) as bytes, every character above 0xFF turned into 0xFF: exact for finding characters
// below 0xFF in text of any width.
template <class C>
inline Bytes load_clamped(const C* s) {
    if constexpr (sizeof(C) == 1) {
        return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))};
    } else if constexpr (sizeof(C) == 2) {
        // Unsigned 16-bit values above 0x7FFF read as negative to the signed pack: clamp first.
        const __m128i top = _mm_set1_epi16(0xFF);
        __m128i half[2];
        for (int k = 0; k < 2; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8 * k));
            const __m128i narrow = _mm_cmpeq_epi16(_mm_srli_epi16(v, 8), _mm_setzero_si128());
            half[k] = _mm_or_si128(_mm_andnot_si128(narrow, top), _mm_and_si128(v, top));
        }
        return {_mm_packus_epi16(half[0], half[1])};
    } else {
        const __m128i top = _mm_set1_epi32(0xFF);
        __m128i parts[4];
        for (int k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * k));
            const __m128i narrow = _mm_cmpeq_epi32(_mm_srli_epi32(v, 8), _mm_setzero_si128());
            parts[k] = _mm_or_si128(_mm_andnot_si128(narrow, top), _mm_and_si128(v, top));
        }
        return {_mm_packus_epi16(_mm_packs_epi32(parts[0], parts[1]), _mm_packs_epi32(parts[2], parts[3]))};
    }
}

#else  // scalar lanes

inline Bytes load(const uint8_t* p) {
    Bytes out;
    std::memcpy(out.v, p, kLanes);
    return out;
}
inline Bytes splat(uint8_t b) {
    Bytes out;
    std::memset(out.v, b, kLanes);
    return out;
}
inline Bytes zero() { return splat(0); }
template <class F>
inline Bytes lanes(F&& f) {
    Bytes out;
    for (size_t k = 0; k < kLanes; ++k) out.v[k] = f(k) ? 0xFF : 0;
    return out;
}
inline Bytes operator|(Bytes a, Bytes b) {
    for (size_t k = 0; k < kLanes; ++k) a.v[k] |= b.v[k];
    return a;
}
inline Bytes operator&(Bytes a, Bytes b) {
    for (size_t k = 0; k < kLanes; ++k) a.v[k] &= b.v[k];
    return a;
}
inline Bytes operator==(Bytes a, Bytes b) { return lanes([&](size_t k) { return a.v[k] == b.v[k]; }); }
inline Bytes between(Bytes a, uint8_t lo, uint8_t hi) {
    return lanes([&](size_t k) { return a.v[k] >= lo && a.v[k] <= hi; });
}
inline uint32_t mask(Bytes a) {
    uint32_t bits = 0;
    for (size_t k = 0; k < kLanes; ++k) bits |= static_cast<uint32_t>(a.v[k] >> 7) << k;
    return bits;
}
template <class C>
inline bool load_ascii(const C* s, Bytes& out) {
    for (size_t k = 0; k < kLanes; ++k) {
        if (static_cast<uint32_t>(s[k]) > 0x7F) return false;
        out.v[k] = static_cast<uint8_t>(s[k]);
    }
    return true;
}
template <class C>
inline Bytes load_clamped(const C* s) {
    Bytes out;
    for (size_t k = 0; k < kLanes; ++k) {
        const uint32_t c = static_cast<uint32_t>(s[k]);
        out.v[k] = static_cast<uint8_t>(c > 0xFF ? 0xFF : c);
    }
    return out;
}

#endif

// Bit k set when lane k holds one of the `count` values of `bytes`.
inline uint32_t any_of(Bytes x, const Bytes* bytes, int count) {
    Bytes hit = zero();
    for (int k = 0; k < count; ++k) hit = hit | (x == bytes[k]);
    return mask(hit);
}

// The lanes holding \w characters, for bytes that are ASCII: letters, digits and '_'.
inline uint32_t ascii_word_mask(Bytes x) {
    return mask(between(x | splat(0x20), 'a', 'z') | between(x, '0', '9') | (x == splat('_')));
}

// A character as a byte, every character above 0xFF turned into 0xFF.
template <class C>
inline uint32_t clamped(C c) {
    return static_cast<uint32_t>(c) > 0xFF ? 0xFF : static_cast<uint32_t>(c);
}

// Thirty-two bytes at a time, where the processor has AVX2 (asked at run time: a function that
// uses `Wide` carries TRANSMUTE_SIMD_WIDE and runs only where has_wide() holds), with table
// lookups by nibble. Elsewhere a plain scalar version stands in, which no caller runs.
inline constexpr size_t kWideLanes = 32;

#if defined(TRANSMUTE_SIMD_SSE2)
#define TRANSMUTE_SIMD_WIDE __attribute__((target("avx2")))
struct Wide {
    __m256i v;
};
// Asked of the processor once.
inline bool has_wide() {
    static const bool wide = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return wide;
}
TRANSMUTE_SIMD_WIDE inline Wide wide_splat(uint8_t b) { return {_mm256_set1_epi8(static_cast<char>(b))}; }
// Sixteen bytes in both halves (the lookups below work per half).
TRANSMUTE_SIMD_WIDE inline Wide wide_table(const uint8_t* p) {
    return {_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))};
}
TRANSMUTE_SIMD_WIDE inline Wide operator|(Wide a, Wide b) { return {_mm256_or_si256(a.v, b.v)}; }
TRANSMUTE_SIMD_WIDE inline Wide operator&(Wide a, Wide b) { return {_mm256_and_si256(a.v, b.v)}; }
TRANSMUTE_SIMD_WIDE inline Wide operator==(Wide a, Wide b) { return {_mm256_cmpeq_epi8(a.v, b.v)}; }
// Lanes from lo to hi inclusive, for 0 <= lo <= hi <= 0x7F (bytes above 0x7F are never inside).
TRANSMUTE_SIMD_WIDE inline Wide between(Wide a, uint8_t lo, uint8_t hi) {
    return {_mm256_and_si256(_mm256_cmpgt_epi8(a.v, _mm256_set1_epi8(static_cast<char>(lo - 1))),
                             _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(hi + 1)), a.v))};
}
TRANSMUTE_SIMD_WIDE inline uint32_t mask(Wide a) { return static_cast<uint32_t>(_mm256_movemask_epi8(a.v)); }
// Lane k: table[index[k]] for indices 0 to 15 (`table` from wide_table).
TRANSMUTE_SIMD_WIDE inline Wide lookup16(Wide table, Wide index) {
    return {_mm256_shuffle_epi8(table.v, index.v)};
}
TRANSMUTE_SIMD_WIDE inline Wide low_nibbles(Wide x) {
    return {_mm256_and_si256(x.v, _mm256_set1_epi8(0x0F))};
}
TRANSMUTE_SIMD_WIDE inline Wide high_nibbles(Wide x) {
    return {_mm256_and_si256(_mm256_srli_epi16(x.v, 4), _mm256_set1_epi8(0x0F))};
}
TRANSMUTE_SIMD_WIDE inline uint32_t zero_mask(Wide x) { return mask(x == Wide{_mm256_setzero_si256()}); }
// Lane k: x[k + 1]; the last lane 0.
TRANSMUTE_SIMD_WIDE inline Wide next_lanes(Wide x) {
    return {_mm256_alignr_epi8(_mm256_permute2x128_si256(x.v, x.v, 0x81), x.v, 1)};
}

// Loads s[0..32) as bytes into `out`; false when some character is above 0x7F.
template <class C>
TRANSMUTE_SIMD_WIDE inline bool load_ascii(const C* s, Wide& out) {
    if constexpr (sizeof(C) == 1) {
        out.v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
        return _mm256_movemask_epi8(out.v) == 0;
    } else if constexpr (sizeof(C) == 2) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 16));
        const __m256i high =
            _mm256_and_si256(_mm256_or_si256(a, b), _mm256_set1_epi16(static_cast<short>(0xFF80)));
        if (!_mm256_testz_si256(high, high)) return false;
        // The pack works per half: put the halves back in order.
        out.v = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
        return true;
    } else {
        __m256i parts[4];
        __m256i all = _mm256_setzero_si256();
        for (int k = 0; k < 4; ++k) {
            parts[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 8 * k));
            all = _mm256_or_si256(all, parts[k]);
        }
        const __m256i high = _mm256_and_si256(all, _mm256_set1_epi32(static_cast<int>(0xFFFFFF80u)));
        if (!_mm256_testz_si256(high, high)) return false;
        const __m256i words = _mm256_packus_epi16(_mm256_packs_epi32(parts[0], parts[1]),
                                                  _mm256_packs_epi32(parts[2], parts[3]));
        out.v = _mm256_permutevar8x32_epi32(words, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        return true;
    }
}

// s[0..32) as bytes, every character above 0xFF turned into 0xFF.
template <class C>
TRANSMUTE_SIMD_WIDE inline Wide load_clamped_wide(const C* s) {
    if constexpr (sizeof(C) == 1) {
        return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s))};
    } else if constexpr (sizeof(C) == 2) {
        const __m256i top = _mm256_set1_epi16(0xFF);
        const __m256i a = _mm256_min_epu16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s)), top);
        const __m256i b = _mm256_min_epu16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 16)), top);
        return {_mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8)};
    } else {
        const __m256i top = _mm256_set1_epi32(0xFF);
        __m256i parts[4];
        for (int k = 0; k < 4; ++k)
            parts[k] = _mm256_min_epu32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 8 * k)), top);
        const __m256i words = _mm256_packus_epi16(_mm256_packus_epi32(parts[0], parts[1]),
                                                  _mm256_packus_epi32(parts[2], parts[3]));
        return {_mm256_permutevar8x32_epi32(words, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7))};
    }
}
#else
#define TRANSMUTE_SIMD_WIDE
struct Wide {
    uint8_t v[kWideLanes];
};
inline bool has_wide() { return false; }
template <class F>
inline Wide wide_lanes(F&& f) {
    Wide out;
    for (size_t k = 0; k < kWideLanes; ++k) out.v[k] = f(k);
    return out;
}
inline Wide wide_splat(uint8_t b) {
    return wide_lanes([&](size_t) { return b; });
}
inline Wide wide_table(const uint8_t* p) {
    return wide_lanes([&](size_t k) { return p[k % 16]; });
}
inline Wide operator|(Wide a, Wide b) {
    return wide_lanes([&](size_t k) { return a.v[k] | b.v[k]; });
}
inline Wide operator&(Wide a, Wide b) {
    return wide_lanes([&](size_t k) { return a.v[k] & b.v[k]; });
}
inline Wide operator==(Wide a, Wide b) {
    return wide_lanes([&](size_t k) { return a.v[k] == b.v[k] ? 0xFF : 0; });
}
inline Wide between(Wide a, uint8_t lo, uint8_t hi) {
    return wide_lanes([&](size_t k) { return a.v[k] >= lo && a.v[k] <= hi ? 0xFF : 0; });
}
inline uint32_t mask(Wide a) {
    uint32_t bits = 0;
    for (size_t k = 0; k < kWideLanes; ++k) bits |= static_cast<uint32_t>(a.v[k] >> 7) << k;
    return bits;
}
inline Wide lookup16(Wide table, Wide index) {
    return wide_lanes([&](size_t k) { return table.v[(k & 16) + (index.v[k] & 15)]; });
}
inline Wide low_nibbles(Wide x) {
    return wide_lanes([&](size_t k) { return x.v[k] & 15; });
}
inline Wide high_nibbles(Wide x) {
    return wide_lanes([&](size_t k) { return x.v[k] >> 4; });
}
inline uint32_t zero_mask(Wide x) { return mask(x == wide_splat(0)); }
inline Wide next_lanes(Wide x) {
    return wide_lanes([&](size_t k) { return k + 1 < kWideLanes ? x.v[k + 1] : 0; });
}
template <class C>
inline Wide load_clamped_wide(const C* s) {
    return wide_lanes([&](size_t k) { return static_cast<uint8_t>(clamped(s[k])); });
}
template <class C>
inline bool load_ascii(const C* s, Wide& out) {
    for (size_t k = 0; k < kWideLanes; ++k) {
        if (static_cast<uint32_t>(s[k]) > 0x7F) return false;
        out.v[k] = static_cast<uint8_t>(s[k]);
    }
    return true;
}
#endif

// The first start in [from, end) that `test` accepts, or `end`: 32 starts at a time by
// test.block(s + i) (bit k: start i + k), the last few one at a time by test.one(s + i).
template <class C, class Test>
TRANSMUTE_SIMD_WIDE inline size_t find_first(const C* s, size_t from, size_t end, const Test test) {
    size_t i = from;
    for (; i + kWideLanes <= end; i += kWideLanes)
        if (const uint32_t hits = test.block(s + i)) return i + static_cast<size_t>(std::countr_zero(hits));
    for (; i < end; ++i)
        if (test.one(s + i)) return i;
    return end;
}

// Four bytes, each in every lane.
struct FourBytes {
    Wide w[4];
    const uint8_t* bytes;
    TRANSMUTE_SIMD_WIDE explicit FourBytes(const uint8_t* four) : bytes(four) {
        for (int k = 0; k < 4; ++k) w[k] = wide_splat(four[k]);
    }
};

// A character that, clamped to 0xFF, is one of four bytes.
struct OneOfFour : FourBytes {
    using FourBytes::FourBytes;
    template <class C>
    TRANSMUTE_SIMD_WIDE uint32_t block(const C* p) const {
        const Wide x = load_clamped_wide(p);
        return mask((x == w[0]) | (x == w[1]) | (x == w[2]) | (x == w[3]));
    }
    template <class C>
    bool one(const C* p) const {
        const uint32_t c = clamped(*p);
        return c == bytes[0] || c == bytes[1] || c == bytes[2] || c == bytes[3];
    }
};

// The next index in [from, end) whose character, clamped to 0xFF, is one of the four bytes of
// `want`, or `end`.
template <class C>
TRANSMUTE_SIMD_WIDE size_t find_clamped(const C* s, size_t from, size_t end, const uint8_t* want) {
    return find_first(s, from, end, OneOfFour(want));
}

// Two characters in a row that, clamped to 0xFF, are bytes[0] bytes[1] or bytes[2] bytes[3].
struct EitherPair : FourBytes {
    using FourBytes::FourBytes;
    template <class C>
    TRANSMUTE_SIMD_WIDE uint32_t block(const C* p) const {
        const Wide x = load_clamped_wide(p), y = load_clamped_wide(p + 1);
        return mask(((x == w[0]) & (y == w[1])) | ((x == w[2]) & (y == w[3])));
    }
    template <class C>
    bool one(const C* p) const {
        const uint32_t c = clamped(p[0]), d = clamped(p[1]);
        return (c == bytes[0] && d == bytes[1]) || (c == bytes[2] && d == bytes[3]);
    }
};

// The first start in [from, end) of either two-character mark of `pairs`, or `end`. The
// character after `end` - 1 must lie inside the text.
template <class C>
TRANSMUTE_SIMD_WIDE size_t find_pairs(const C* s, size_t from, size_t end, const uint8_t* pairs) {
    return find_first(s, from, end, EitherPair(pairs));
}

// The bytes one place of a literal accepts (1 to 4), as lanes: a letter's two cases by one
// compare of x | 0x20, others by one compare each.
struct WidePlace {
    Wide want[4];
    Wide case_bit;
    bool pair;
    TRANSMUTE_SIMD_WIDE explicit WidePlace(const uint8_t* bytes, int count) {
        pair = count == 2 && (bytes[0] ^ bytes[1]) == 0x20;
        case_bit = wide_splat(pair ? 0x20 : 0);
        for (int k = 0; k < 4; ++k) want[k] = wide_splat(pair ? (bytes[0] | 0x20) : bytes[k < count ? k : 0]);
    }
    TRANSMUTE_SIMD_WIDE uint32_t hits(Wide x) const {
        if (pair) return mask((x | case_bit) == want[0]);
        return mask((x == want[0]) | (x == want[1]) | (x == want[2]) | (x == want[3]));
    }
    static bool accepts(const uint8_t* bytes, int count, uint32_t c) {
        for (int k = 0; k < count; ++k)
            if (bytes[k] == c) return true;
        return false;
    }
};

// Characters at places a and z from a start that, clamped to 0xFF, are among two places' bytes.
struct TwoPlaces {
    WidePlace pa, pz;
    size_t a, z;
    const uint8_t *a_bytes, *z_bytes;
    int a_count, z_count;
    TRANSMUTE_SIMD_WIDE TwoPlaces(size_t a_at, const uint8_t* a_of, int a_n, size_t z_at, const uint8_t* z_of,
                                  int z_n)
        : pa(a_of, a_n),
          pz(z_of, z_n),
          a(a_at),
          z(z_at),
          a_bytes(a_of),
          z_bytes(z_of),
          a_count(a_n),
          z_count(z_n) {}
    template <class C>
    TRANSMUTE_SIMD_WIDE uint32_t block(const C* p) const {
        return pa.hits(load_clamped_wide(p + a)) & pz.hits(load_clamped_wide(p + z));
    }
    template <class C>
    bool one(const C* p) const {
        return WidePlace::accepts(a_bytes, a_count, clamped(p[a])) &&
               WidePlace::accepts(z_bytes, z_count, clamped(p[z]));
    }
};

// The first start in [from, end) at which the characters at places a and z from it, clamped to
// 0xFF, are among `a_bytes` and `z_bytes`; or `end`. Every place of a start before `end` must
// lie inside the text.
template <class C>
TRANSMUTE_SIMD_WIDE size_t find_two_places(const C* s, size_t from, size_t end, size_t a,
                                           const uint8_t* a_bytes, int a_count, size_t z,
                                           const uint8_t* z_bytes, int z_count) {
    return find_first(s, from, end, TwoPlaces(a, a_bytes, a_count, z, z_bytes, z_count));
}

// The lanes holding \w characters, for bytes that are ASCII: letters, digits and '_'.
TRANSMUTE_SIMD_WIDE inline uint32_t ascii_word_mask(Wide x) {
    return mask(between(x | wide_splat(0x20), 'a', 'z') | between(x, '0', '9') | (x == wide_splat('_')));
}

// The index of the lowest set bit (mask != 0).
inline size_t first(uint32_t mask) { return static_cast<size_t>(std::countr_zero(mask)); }

}  // namespace transmute::simd
