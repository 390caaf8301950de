// Non-blank line count of a text, as sum(1 for line in text.splitlines() if line.strip()).
// Tested in tests/test_classify.py.
#pragma once

#include "../text.hpp"

#include <cstddef>

namespace transmute::scan {

// A blank line contributes nothing, so "\r\n" may be treated as two boundaries.
template <class C>
size_t count_nonblank_lines(const C* s, size_t n) {
    size_t count = 0;
    bool nonblank = false;
    for (size_t i = 0; i < n; ++i) {
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
