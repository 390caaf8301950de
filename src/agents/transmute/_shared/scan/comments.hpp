// Comment removal for SQL text in one pass, equal to re.sub(r"--.*$", "", text, flags=re.M)
// followed by re.sub(r"/\*.*?\*/", "", ..., flags=re.S). Tested in tests/test_scan.py against
// those two substitutions.
//
// Why one pass is exact: a line comment runs from "--" to just before the next line feed, and
// the character after a removed line comment is always a line feed (or the end), so removing
// line comments never joins a "/" and a "*" into a new block-comment delimiter. Line comments
// are therefore found exactly as the first substitution finds them, left to right over the
// original text, whether or not they lie inside a block comment; a block comment then runs from
// "/*" to the nearest "*/" of the remaining text that starts at least two characters later. When
// a "/*" has no closing "*/" after it, no later "/*" can have one either, so nothing after it is
// removed but line comments.
#pragma once

#include "../simd.hpp"

#include <cstddef>
#include <cstring>
#include <vector>

namespace transmute::scan {

namespace detail {

template <class C>
inline size_t find_char(const C* s, size_t from, size_t n, C ch) {
    if constexpr (sizeof(C) == 1) {
        const void* hit = from < n ? std::memchr(s + from, ch, n - from) : nullptr;
        return hit ? static_cast<size_t>(static_cast<const C*>(hit) - s) : n;
    } else {
        if (from >= n) return n;
        if (simd::has_wide() && ch < 0xFF) {
            const uint8_t want[4] = {static_cast<uint8_t>(ch), static_cast<uint8_t>(ch),
                                     static_cast<uint8_t>(ch), static_cast<uint8_t>(ch)};
            return simd::find_clamped(s, from, n, want);
        }
        for (size_t i = from; i < n; ++i)
            if (s[i] == ch) return i;
        return n;
    }
}

// Next index >= from holding `a` or `b` (ASCII), or n.
template <class C>
inline size_t find_either(const C* s, size_t from, size_t n, char a, char b) {
    size_t i = from;
    const simd::Bytes wanted[2] = {simd::splat(static_cast<uint8_t>(a)),
                                   simd::splat(static_cast<uint8_t>(b))};
    for (; i + simd::kLanes <= n; i += simd::kLanes) {
        const uint32_t hits = simd::any_of(simd::load_clamped(s + i), wanted, 2);
        if (hits) return i + simd::first(hits);
    }
    for (; i < n; ++i)
        if (s[i] == static_cast<C>(a) || s[i] == static_cast<C>(b)) return i;
    return n;
}

// The next start in [from, stop) of either two-character mark `pairs` ("--" and "/*", say) whose
// second character lies in the text (it may lie past stop), or stop.
template <class C>
inline size_t find_mark(const C* s, size_t from, size_t stop, size_t n, const char (&pairs)[5]) {
    if (from >= stop) return stop;
    if (simd::has_wide()) {
        const size_t end = stop < n ? stop : n - 1;  // starts with a character after them
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(pairs);
        const size_t at = from < end ? simd::find_pairs(s, from, end, bytes) : end;
        return at < end ? at : stop;
    }
    for (size_t i = from;;) {
        const size_t j = find_either(s, i, stop, pairs[0], pairs[2]);
        if (j >= stop) return stop;
        if (j + 1 < n && ((s[j] == static_cast<C>(pairs[0]) && s[j + 1] == static_cast<C>(pairs[1])) ||
                          (s[j] == static_cast<C>(pairs[2]) && s[j + 1] == static_cast<C>(pairs[3]))))
            return j;
        i = j + 1;
    }
}

inline constexpr size_t kUnclosed = static_cast<size_t>(-1);

// End (one past the "/") of the block comment whose "/*" starts at `open`, scanning the text
// that remains after line-comment removal; kUnclosed when it is never closed. Only a "*/" or a
// "--" can change anything inside a comment, so the scan jumps from one to the next.
template <class C>
inline size_t block_end(const C* s, size_t open, size_t n) {
    size_t k = open + 2;
    while (true) {
        k = find_mark(s, k, n, n, "*/--");
        if (k >= n) return kUnclosed;
        if (s[k] == '*') return k + 2;
        // A line comment hides everything up to its line feed, a "*/" included.
        k = find_char<C>(s, k + 2, n, static_cast<C>('\n'));
    }
}

}  // namespace detail

// The comment-free copy of a text lives in a per-thread buffer that is kept between calls (up
// to a few megabytes), so that threads scanning large texts at once do not fault in fresh pages
// for every call.
template <class C>
class ScratchText {
public:
    ScratchText() : buffer_(std::move(pool())) {}
    ~ScratchText() {
        buffer_.clear();
        if (buffer_.capacity() > kKeepChars) std::vector<C>().swap(buffer_);
        pool() = std::move(buffer_);
    }
    ScratchText(const ScratchText&) = delete;
    ScratchText& operator=(const ScratchText&) = delete;
    std::vector<C>& get() { return buffer_; }

private:
    static constexpr size_t kKeepChars = (size_t{8} << 20) / sizeof(C);
    static std::vector<C>& pool() {
        thread_local std::vector<C> kept;
        return kept;
    }
    std::vector<C> buffer_;
};

// Puts the comment-free text of s[0..n) into `out`. With an input limit, stops once the input
// up to that point is consumed: `out` is then a prefix of the whole comment-free text (comments
// that start before the limit are still judged against the whole input).
template <class C>
void strip_comments(const C* s, size_t n, std::vector<C>& out, size_t input_limit = static_cast<size_t>(-1)) {
    out.clear();
    out.reserve(input_limit < n ? input_limit : n);
    bool blocks_possible = true;
    size_t i = 0;
    while (i < n && i < input_limit) {
        const size_t stop = input_limit < n ? input_limit : n;
        const size_t j = detail::find_mark(s, i, stop, n, blocks_possible ? "--/*" : "----");
        out.insert(out.end(), s + i, s + j);
        if (j >= stop) break;
        if (s[j] == '-') {
            i = detail::find_char<C>(s, j + 2, n, static_cast<C>('\n'));
            continue;
        }
        const size_t end = detail::block_end(s, j, n);
        if (end != detail::kUnclosed) {
            i = end;
            continue;
        }
        blocks_possible = false;
        out.push_back(s[j]);
        i = j + 1;
    }
}

}  // namespace transmute::scan
