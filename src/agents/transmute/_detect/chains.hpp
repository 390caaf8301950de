// Bounded gaps of the detector's patterns: an alternative `HEAD[\s\S]{0,N}?TAIL` is searched as
// its pieces, and a head match counts when a match of the next piece starts within N characters
// of its end. A gap of 3,000 characters after a common head such as CREATE TABLE would otherwise
// cost an anchored run of up to 3,000 steps at every head; the pieces are plain keyword patterns
// that the multi-pattern walk finds in one pass. The earliest start joined this way is the one
// `re.search` gives for the whole alternative. Tested in tests/test_detect_scan.py against `re`.
#pragma once

#include "regex/regex.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace transmute::detect {

// Cuts an alternative at its top-level gaps `[\s\S]{0,N}?`: pieces.size() == gaps.size() + 1.
inline void split_gaps(const std::u32string& s, std::vector<std::u32string>& pieces, std::vector<size_t>& gaps) {
    static const std::u32string open = U"[\\s\\S]{0,";
    int depth = 0;
    std::u32string current;
    for (size_t i = 0; i < s.size(); ++i) {
        const char32_t c = s[i];
        if (c == '\\') {
            current += c;
            if (i + 1 < s.size()) current += s[++i];
            continue;
        }
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (c == '[' && depth == 0 && s.compare(i, open.size(), open) == 0) {
            size_t j = i + open.size();
            size_t bound = 0;
            while (j < s.size() && s[j] >= '0' && s[j] <= '9') bound = bound * 10 + (s[j++] - '0');
            if (j + 1 < s.size() && s[j] == '}' && s[j + 1] == '?' && j > i + open.size()) {
                pieces.push_back(current);
                gaps.push_back(bound);
                current.clear();
                i = j + 1;
                continue;
            }
        }
        if (c == '[') {
            // Copy a class whole: it holds no group and no gap.
            size_t j = i + 1;
            if (j < s.size() && s[j] == '^') ++j;
            if (j < s.size() && s[j] == ']') ++j;
            while (j < s.size() && s[j] != ']') j += s[j] == '\\' ? 2 : 1;
            current.append(s, i, std::min(j, s.size() - 1) - i + 1);
            i = std::min(j, s.size() - 1);
            continue;
        }
        current += c;
    }
    pieces.push_back(current);
}

// The earliest start of a chain of pieces whose successive matches (each piece's finditer
// spans, in order) lie within the gaps; SIZE_MAX when there is none. Works from the last piece
// back, keeping the spans from which the rest of the chain can be completed: one binary search
// per span, so dense heads and tails cost no more than their number.
inline size_t join_chain(const std::vector<const std::vector<regex::Span>*>& spans, const std::vector<size_t>& gaps) {
    if (spans.empty()) return SIZE_MAX;
    std::vector<regex::Span> good(spans.back()->begin(), spans.back()->end());
    for (size_t k = spans.size() - 1; k-- > 0 && !good.empty();) {
        std::vector<regex::Span> kept;
        for (const regex::Span& span : *spans[k]) {
            auto it = std::lower_bound(good.begin(), good.end(), span.end,
                                       [](const regex::Span& s, size_t at) { return s.start < at; });
            if (it != good.end() && it->start - span.end <= gaps[k]) kept.push_back(span);
        }
        good.swap(kept);
    }
    size_t best = SIZE_MAX;
    for (const regex::Span& span : good) best = std::min(best, span.start);
    return best;
}

}  // namespace transmute::detect
