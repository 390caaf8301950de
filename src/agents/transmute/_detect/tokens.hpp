// Word and punctuation features of the platform detector, read from the lexer's code view (so
// nothing inside a comment or a literal counts): words ("w:"), pairs of words with only white
// space between them ("b:"), the first word of a line ("l:") and a word alone on its line ("e:"),
// sigils in front of a word ("s:@", "s:@@", "s:#", "s::", "s:$", "s:&"), bracketed names
// ("s:[w]") and runs of operator characters ("p:::", "p:=>", "p:||"). Words are lower-cased
// ASCII of at most 30 characters; others (and numbers) only break a pair.
// Tested in tests/test_detector.py.
#pragma once

#include "lexer.hpp"
#include "simd.hpp"

#include <bit>
#include <cstring>

namespace transmute::detect {

template <class C>
inline bool operator_char(C ch) {
    switch (static_cast<uint32_t>(ch)) {
        case ':': case '=': case '<': case '>': case '!': case '|': case '&': case '^': case '~':
        case '*': case '%': case '?': case '@': case '#': case '.': case '+': case '-': case '/':
        case '\\':
            return true;
        default:
            return false;
    }
}

// The end of the run of blanked text that starts at i.
template <class C>
inline size_t fill_end(const C* v, size_t n, size_t i) {
    if constexpr (sizeof(C) == 1) {
        const simd::Bytes fill = simd::splat(static_cast<uint8_t>(kFill));
        for (; i + simd::kLanes <= n; i += simd::kLanes) {
            const uint32_t same = simd::mask(simd::load(v + i) == fill);
            if (same != 0xFFFFu) return i + static_cast<size_t>(std::countr_one(same));
        }
    }
    while (i < n && v[i] == kFill) ++i;
    return i;
}

// The end of the run of ASCII word characters that starts at i (a word may go on past it with
// wider word characters).
template <class C>
inline size_t ascii_word_end(const C* v, size_t n, size_t i) {
    if constexpr (sizeof(C) == 1) {
        for (; i + simd::kLanes <= n; i += simd::kLanes) {
            const uint32_t word = simd::ascii_word_mask(simd::load(v + i));
            if (word != 0xFFFFu) return i + static_cast<size_t>(std::countr_one(word));
        }
    }
    while (i < n && static_cast<uint32_t>(v[i]) < 128 && word_char(v[i])) ++i;
    return i;
}

// Eight ASCII bytes with their capital letters lowered.
inline uint64_t lower_ascii8(uint64_t x) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    const uint64_t from_a = x + ones * (0x80 - 'A');      // bit 7 set from 'A' on
    const uint64_t past_z = x + ones * (0x80 - 'Z' - 1);  // bit 7 set past 'Z'
    return x | (((from_a & ~past_z) & (ones * 0x80)) >> 2);
}

// word_hash of the lowered ASCII word v[i..i+len), read eight bytes at a time.
inline uint64_t lower_word_hash(const Py_UCS1* v, size_t n, size_t i, size_t len) {
    uint64_t h = word_hash_start(len);
    for (size_t k = 0; k < len; k += 8) {
        const size_t take = len - k < 8 ? len - k : 8;
        uint64_t chunk = 0;
        if (i + k + 8 <= n) {
            std::memcpy(&chunk, v + i + k, 8);
            if (take < 8) chunk &= ~uint64_t{0} >> (8 * (8 - take));
        } else {
            std::memcpy(&chunk, v + i + k, take);
        }
        h = word_hash_step(h, lower_ascii8(chunk));
    }
    return h;
}

// The ASCII word v[i..i+len) lowered into `out`.
template <class C>
inline void lower_word(const C* v, size_t i, size_t len, char* out) {
    for (size_t k = 0; k < len; ++k) {
        const uint32_t ch = static_cast<uint32_t>(v[i + k]);
        out[k] = static_cast<char>((ch - 'A' < 26) ? ch + 32 : ch);
    }
}

template <class C, class Sink>
void tokenize(const C* v, size_t n, Sink& sink) {
    constexpr size_t kMaxWord = 30;
    char prev[kMaxWord];
    size_t prev_len = 0;
    uint64_t prev_hash = 0;
    bool pair_open = false;        // the last token was a word and only white space followed
    size_t tokens_on_line = 0;
    size_t sigil_end = SIZE_MAX;   // end of the last operator run, when it held one character
    char buf[2 * kMaxWord + 8];
    size_t i = 0;
    while (i < n) {
        const C c = v[i];
        if (c == '\n') {
            tokens_on_line = 0;
            pair_open = false;
            ++i;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            ++i;
            continue;
        }
        if (c == kFill) {
            // Blanked text: it ends a pair of words, as a comment or a literal between them would.
            i = fill_end(v, n, i);
            pair_open = false;
            continue;
        }
        if (word_char(c)) {
            bool ascii = true;
            size_t end = ascii_word_end(v, n, i);
            while (end < n && word_char(v[end])) {
                ascii &= static_cast<uint32_t>(v[end]) < 128;
                ++end;
            }
            const size_t len = end - i;
            const bool number = static_cast<uint32_t>(c) - '0' < 10;
            if (!ascii || number || len > kMaxWord) {
                pair_open = false;
                ++tokens_on_line;
                i = end;
                continue;
            }
            // Sinks that score take hashes: the word is hashed once, and its word, line and pair
            // features are derived from that hash.
            constexpr bool hashed = requires { sink.add_hash(uint64_t{}, size_t{}); };
            char word[kMaxWord];
            uint64_t hw = 0;
            if constexpr (hashed && sizeof(C) == 1) {
                hw = lower_word_hash(v, n, i, len);
            } else {
                lower_word(v, i, len, word);
                if constexpr (hashed) hw = word_hash(word, len);
            }
            if constexpr (hashed) {
                sink.add_hash(combine_hash(tag_hash('w', ':'), hw), i);
            } else {
                buf[0] = 'w';
                buf[1] = ':';
                std::copy(word, word + len, buf + 2);
                sink.add(std::string_view(buf, len + 2), i);
            }
            // A sigil directly in front of the word.
            const uint32_t before = i > 0 ? static_cast<uint32_t>(v[i - 1]) : 0;
            const bool sigil = sigil_end == i;
            if (sigil && (before == '@' || before == '#' || before == ':' || before == '$' || before == '&')) {
                const bool doubled = i > 1 && static_cast<uint32_t>(v[i - 2]) == before;
                if (!(before == ':' && doubled)) {
                    if constexpr (hashed) {
                        sink.add_hash(sigil_feature_hash(static_cast<char>(before), doubled), i);
                    } else {
                        char s[5] = {'s', ':', static_cast<char>(before), static_cast<char>(before), 0};
                        sink.add(std::string_view(s, doubled ? 4 : 3), i);
                    }
                }
            }
            const size_t j = end;
            const bool first_on_line = tokens_on_line == 0 || (tokens_on_line == 1 && sigil);
            if (first_on_line) {
                // Alone on its line: `GO`, `END`, `SEL`...
                size_t k = j;
                while (k < n && (v[k] == ' ' || v[k] == '\t' || v[k] == '\r')) ++k;
                const bool alone = k >= n || v[k] == '\n' || v[k] == ';';
                bool done = false;
                if constexpr (hashed) {
                    if (tokens_on_line == 0) {
                        sink.add_hash(combine_hash(tag_hash('l', ':'), hw), i);
                        if (alone) sink.add_hash(combine_hash(tag_hash('e', ':'), hw), i);
                        done = true;
                    }
                }
                if constexpr (hashed && sizeof(C) == 1) {
                    if (!done) {
                        // The sigil and the word stand side by side in the text: their line
                        // features are hashed from it as one lowered word.
                        const uint64_t hb = lower_word_hash(v, n, i - 1, len + 1);
                        sink.add_hash(combine_hash(tag_hash('l', ':'), hb), i);
                        if (alone) sink.add_hash(combine_hash(tag_hash('e', ':'), hb), i);
                        done = true;
                    }
                }
                if (!done) {
                    buf[0] = 'l';
                    buf[1] = ':';
                    size_t at = 2;
                    if (tokens_on_line == 1) buf[at++] = static_cast<char>(before);
                    std::copy(word, word + len, buf + at);
                    sink.add(std::string_view(buf, at + len), i);
                    if (alone) {
                        buf[0] = 'e';
                        sink.add(std::string_view(buf, at + len), i);
                    }
                }
            }
            if (pair_open) {
                if constexpr (hashed) {
                    sink.add_hash(combine_hash(combine_hash(tag_hash('b', ':'), prev_hash), hw), i);
                } else {
                    buf[0] = 'b';
                    buf[1] = ':';
                    std::copy(prev, prev + prev_len, buf + 2);
                    buf[2 + prev_len] = ' ';
                    std::copy(word, word + len, buf + 3 + prev_len);
                    sink.add(std::string_view(buf, 3 + prev_len + len), i);
                }
            }
            if constexpr (!hashed) std::copy(word, word + len, prev);
            prev_len = len;
            prev_hash = hw;
            pair_open = true;
            ++tokens_on_line;
            i = j;
            continue;
        }
        pair_open = false;
        if (operator_char(c)) {
            size_t j = i;
            while (j < n && operator_char(v[j])) ++j;
            const size_t len = j - i;
            if (len >= 2) {
                char p[5] = {'p', ':', 0, 0, 0};
                const size_t keep = len < 3 ? len : 3;
                for (size_t k = 0; k < keep; ++k) p[2 + k] = static_cast<char>(v[i + k]);
                sink.add(std::string_view(p, 2 + keep), i);
            }
            if (tokens_on_line == 0) {
                // A line of operator characters alone: SQL*Plus `/`, a pipe `|>` head...
                size_t k = j;
                while (k < n && (v[k] == ' ' || v[k] == '\t' || v[k] == '\r')) ++k;
                if (k >= n || v[k] == '\n') {
                    char p[6] = {'L', ':', 0, 0, 0, 0};
                    const size_t keep = len < 3 ? len : 3;
                    for (size_t k2 = 0; k2 < keep; ++k2) p[2 + k2] = static_cast<char>(v[i + k2]);
                    sink.add(std::string_view(p, 2 + keep), i);
                }
            }
            sigil_end = len <= 2 ? j : SIZE_MAX;
            ++tokens_on_line;
            i = j;
            continue;
        }
        if (c == '[') {
            size_t j = i + 1;
            while (j < n && (word_char(v[j]) || v[j] == ' ')) ++j;
            if (j < n && v[j] == ']' && j > i + 1 && word_char(v[i + 1])) sink.add("s:[w]", i);
        }
        ++tokens_on_line;
        ++i;
    }
}

}  // namespace transmute::detect
