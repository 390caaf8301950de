// The character rules the engine matches by (re with re.UNICODE), taken from the interpreter's
// own tables: \w, \s, \d, simple case mapping and re's extra case variants, and the ASCII
// letter a case-insensitive match takes a character for. Every part of the native layer asks
// these, so none can drift from re. Tested in tests/test_engine.py (exhaustive alphabets) and
// tests/test_scan.py (the case variants of ASCII letters).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace transmute::regex {

inline uint32_t to_lower(uint32_t c) { return Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)); }
inline uint32_t to_upper(uint32_t c) { return Py_UNICODE_TOUPPER(static_cast<Py_UCS4>(c)); }
inline bool is_cased(uint32_t c) { return c != to_lower(c) || c != to_upper(c); }

// \w, \s, \d and "has another lowercase" over the Basic Multilingual Plane, a bit per
// character, read off the interpreter's rules 64 characters at a time, the first time a
// character of the block is asked about: the interpreter's own tests cost several calls a
// character, which a text of wide characters would pay at every step of every scan. Blocks are
// filled by whichever thread asks first; a race fills one twice with the same bits.
struct PlaneTables {
    std::atomic<uint64_t> ready[16];  // a bit per block of 64 characters
    std::atomic<uint64_t> word[1024];
    std::atomic<uint64_t> space[1024];
    std::atomic<uint64_t> digit[1024];
    std::atomic<uint64_t> cased[1024];  // to_lower(c) != c
};
extern PlaneTables g_plane;
void fill_plane_block(uint32_t block);

// Rule `bits` (a table of g_plane) for the BMP character c.
inline bool plane_test(const std::atomic<uint64_t>* bits, uint32_t c) {
    const uint32_t block = c >> 6;
    if (!((g_plane.ready[block >> 6].load(std::memory_order_acquire) >> (block & 63)) & 1)) fill_plane_block(block);
    return (bits[block].load(std::memory_order_relaxed) >> (c & 63)) & 1;
}

// \s
inline bool is_space_char(uint32_t c) {
    if (c < 0x100 || c > 0xFFFF) return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c));
    return plane_test(g_plane.space, c);
}
// \d
inline bool is_digit_char(uint32_t c) {
    if (c < 0x100 || c > 0xFFFF) return Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(c));
    return plane_test(g_plane.digit, c);
}
// to_lower(c), asking the interpreter only for characters that have another lowercase.
inline uint32_t to_lower_fast(uint32_t c) {
    if (c < 0x100 || c > 0xFFFF || plane_test(g_plane.cased, c)) return to_lower(c);
    return c;
}

// The other lowercase code points sharing the uppercase form of `lower` (re._casefix; often none).
std::span<const uint32_t> extra_cases(uint32_t lower);

// Everything an IGNORECASE literal `c` matches is a char whose lowercase is one of these: the
// lowercase of `c` and its extra variants (appended to `out`).
void case_variants(uint32_t c, std::vector<uint32_t>& out);

// \w for the characters below 256, worked out once; hot loops hold on to it.
struct WordTable {
    bool word[256];
};
const WordTable& word_table();

// \w above 0xFF ('_' is below).
inline bool is_wide_word(uint32_t c) {
    if (c > 0xFFFF) return Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c));
    return plane_test(g_plane.word, c);
}
// \w: '_' or an alphanumeric character.
inline bool is_word(uint32_t c, const WordTable& bytes) { return c < 256 ? bytes.word[c] : is_wide_word(c); }
inline bool is_word(uint32_t c) { return c < 256 ? word_table().word[c] : is_wide_word(c); }

uint32_t fold_ascii_wide(uint32_t c);

// The ASCII character an IGNORECASE match takes `c` for: an ASCII letter's lowercase, and for a
// wider character that IGNORECASE matches with an ASCII letter (its lowercase is that letter, or
// an extra variant of it) the letter; any other character as it is.
inline uint32_t fold_ascii(uint32_t c) {
    if (c < 128) return c - 'A' < 26 ? c + 32 : c;
    return fold_ascii_wide(c);
}

}  // namespace transmute::regex
