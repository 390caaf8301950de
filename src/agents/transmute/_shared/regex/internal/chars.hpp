// The character rules the engine matches by (re with re.UNICODE), taken from the interpreter's
// own tables: \w, \s, \d, simple case mapping and re's extra case variants, and the ASCII
// letter a case-insensitive match takes a character for. Every part of the native layer asks
// these, so none can drift from re. Tested in tests/test_engine.py (exhaustive alphabets) and
// tests/test_scan.py (the case variants of ASCII letters).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace transmute::regex {

inline uint32_t to_lower(uint32_t c) { return Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)); }
inline uint32_t to_upper(uint32_t c) { return Py_UNICODE_TOUPPER(static_cast<Py_UCS4>(c)); }
inline bool is_cased(uint32_t c) { return c != to_lower(c) || c != to_upper(c); }
// \s
inline bool is_space_char(uint32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)); }
// \d
inline bool is_digit_char(uint32_t c) { return Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(c)); }

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

// \w: '_' or an alphanumeric character.
inline bool is_word(uint32_t c, const WordTable& bytes) {
    return c < 256 ? bytes.word[c] : (c == '_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)));
}
inline bool is_word(uint32_t c) { return is_word(c, word_table()); }

uint32_t fold_ascii_wide(uint32_t c);

// The ASCII character an IGNORECASE match takes `c` for: an ASCII letter's lowercase, and for a
// wider character that IGNORECASE matches with an ASCII letter (its lowercase is that letter, or
// an extra variant of it) the letter; any other character as it is.
inline uint32_t fold_ascii(uint32_t c) {
    if (c < 128) return c - 'A' < 26 ? c + 32 : c;
    return fold_ascii_wide(c);
}

}  // namespace transmute::regex
