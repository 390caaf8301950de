// Character rules and line walking over the caller's string in its own PEP 393 width, never
// transcoded. Rules come from the interpreter (Py_UNICODE_ISSPACE, Py_UNICODE_ISLINEBREAK).
// Tested in tests/test_classify.py and tests/test_reading.py against str.splitlines/str.strip.
#pragma once

#include "pyref.hpp"
#include "regex/regex.hpp"
#include "simd.hpp"

namespace transmute {

// Calls f(data, length) with data typed Py_UCS1, Py_UCS2 or Py_UCS4: the width is picked once.
template <class F>
decltype(auto) visit_text(PyObject* text, F&& f) {
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return f(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND:
            return f(static_cast<const Py_UCS2*>(data), n);
        default:
            return f(static_cast<const Py_UCS4*>(data), n);
    }
}

template <class C>
inline bool is_space(C ch) {
    return regex::is_space_char(static_cast<uint32_t>(ch));
}

// The line boundaries of str.splitlines: \n \r \v \f \x1c \x1d \x1e \x85 \u2028 \u2029.
template <class C>
inline bool is_line_break(C ch) {
    const Py_UCS4 c = ch;
    if (c > 0x0d && c < 0x1c) return false;
    if (c < 0x0a) return false;
    return c <= 0x0d || c <= 0x1e || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// The first line boundary of str.splitlines() at or after i, or n. Sixteen characters at a
// time: only a lane that may hold a boundary (\n..\r, \x1c..\x1e, \x85, or a character above
// 0xFF, which the load clamps to 0xFF) is looked at one by one.
template <class C>
inline Py_ssize_t next_line_break(const C* s, Py_ssize_t n, Py_ssize_t i) {
    for (; i + static_cast<Py_ssize_t>(simd::kLanes) <= n; i += static_cast<Py_ssize_t>(simd::kLanes)) {
        const simd::Bytes x = simd::load_clamped(s + i);
        uint32_t maybe = simd::mask(simd::between(x, 0x0a, 0x0d) | simd::between(x, 0x1c, 0x1e) |
                                    (x == simd::splat(0x85)) | (x == simd::splat(0xFF)));
        for (; maybe; maybe &= maybe - 1) {
            const Py_ssize_t k = i + static_cast<Py_ssize_t>(simd::first(maybe));
            if (is_line_break(s[k])) return k;
        }
    }
    for (; i < n; ++i)
        if (is_line_break(s[i])) return i;
    return n;
}

// Walks the lines exactly as str.splitlines() (keepends=False) cuts them: calls
// line(begin, end) for each line, as indices. "\r\n" is one boundary; a final boundary does not
// start an empty line.
template <class C, class F>
void for_each_line(const C* s, Py_ssize_t n, F&& line) {
    Py_ssize_t start = 0;
    while (start < n) {
        const Py_ssize_t i = next_line_break(s, n, start);
        if (i >= n) break;
        line(start, i);
        start = i + 1;
        if (s[i] == '\r' && start < n && s[start] == '\n') ++start;
    }
    if (start < n) line(start, n);
}

// Narrows [begin, end) as str.strip() does.
template <class C>
inline void strip_bounds(const C* s, Py_ssize_t& begin, Py_ssize_t& end) {
    while (begin < end && is_space(s[begin])) ++begin;
    while (end > begin && is_space(s[end - 1])) --end;
}

}  // namespace transmute
