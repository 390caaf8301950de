// Multi-pattern presence scan: one walk over the words of a text finds, for every pattern, the
// positions where a match could start, and the engine confirms a match there. Tested in
// tests/test_scan.py and through the modules' differential tests.
//
// Triggers are derived from each pattern's own source text: an alternative that opens with
// "\b" and literal word characters can only match at the start of a word whose first characters
// equal those literals (case-folded under IGNORECASE); an alternative that opens with a literal
// punctuation character can only match where that character stands. A pattern with any other
// alternative has no trigger and is searched on its own. Triggers only choose where to look;
// every answer comes from the engine, so a trigger that is too permissive costs time, never
// correctness.
#pragma once

#include "../regex/regex.hpp"
#include "../text.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace transmute::scan {

struct Trigger {
    std::u32string prefix;  // lowercase ASCII word characters, when at_word_start
    char32_t punct = 0;     // the opening character otherwise
    bool at_word_start = true;
    bool fold = false;      // compare letters case-insensitively
    uint32_t pattern = 0;   // index of the pattern it serves
};

// Derives the triggers of one pattern source; false when some alternative has none.
bool derive_triggers(const std::u32string& source, int flags, uint32_t pattern, std::vector<Trigger>& out);

// Lowercase ASCII letter the host's case-insensitive match treats `ch` as, or `ch` itself.
// Beyond ASCII: dotless i and long s are extra variants of i and s, and the dotted capital I
// and the Kelvin sign lowercase to i and k.
inline char32_t fold_to_ascii(char32_t ch) {
    if (ch < 128) return (ch >= 'A' && ch <= 'Z') ? ch + 32 : ch;
    if (ch == 0x131) return 'i';
    if (ch == 0x17F) return 's';
    if (ch == 0x130) return 'i';
    if (ch == 0x212A) return 'k';
    return ch;
}

class TriggerScan {
public:
    // `programs[i]` is the compiled pattern i; `sources`/`flags` are its text and flags.
    static std::unique_ptr<TriggerScan> build(std::vector<regex::ProgramPtr> programs,
                                              const std::vector<std::u32string>& sources,
                                              const std::vector<int>& flags);

    size_t size() const { return programs_.size(); }

    // Sets found[i] for every pattern i that has a match anywhere in s[0..n).
    // Patterns already marked found are not looked for again.
    template <class C>
    void find_present(const C* s, size_t n, std::vector<bool>& found) const;

private:
    std::vector<regex::ProgramPtr> programs_;
    std::vector<Trigger> triggers_;
    // Trigger indices per folded first character (ASCII word characters only).
    std::array<std::vector<uint32_t>, 128> by_first_;
    std::vector<uint32_t> punct_triggers_;
    std::vector<uint32_t> untriggered_;  // patterns searched on their own
    bool punct_table_[128] = {};
};

namespace detail {

template <class C>
inline bool is_word_char(C ch) {
    const uint32_t c = static_cast<uint32_t>(ch);
    if (c < 128) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    }
    return Py_UNICODE_ISALNUM(c);
}

}  // namespace detail

template <class C>
void TriggerScan::find_present(const C* s, size_t n, std::vector<bool>& found) const {
    size_t remaining = 0;
    for (size_t i = 0; i < programs_.size(); ++i) remaining += !found[i];
    for (uint32_t p : untriggered_) {
        if (!found[p] && regex::search(*programs_[p], s, n, 0)) {
            found[p] = true;
            --remaining;
        }
    }
    if (remaining == 0) return;

    auto try_trigger = [&](const Trigger& t, size_t at) {
        if (found[t.pattern]) return;
        if (regex::match_at(*programs_[t.pattern], s, n, at)) {
            found[t.pattern] = true;
            --remaining;
        }
    };

    bool prev_word = false;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t c = static_cast<uint32_t>(s[i]);
        if (c < 128 && punct_table_[c]) {
            for (uint32_t ti : punct_triggers_) {
                if (triggers_[ti].punct == c) try_trigger(triggers_[ti], i);
            }
            if (remaining == 0) return;
        }
        const bool word = detail::is_word_char(s[i]);
        if (word && !prev_word) {
            const char32_t first = fold_to_ascii(c);
            if (first < 128) {
                for (uint32_t ti : by_first_[first]) {
                    const Trigger& t = triggers_[ti];
                    if (found[t.pattern]) continue;
                    const size_t len = t.prefix.size();
                    if (i + len > n) continue;
                    bool same = true;
                    for (size_t k = t.fold ? 1 : 0; k < len && same; ++k) {
                        const char32_t ch = static_cast<char32_t>(s[i + k]);
                        same = (t.fold ? fold_to_ascii(ch) : ch) == t.prefix[k];
                    }
                    if (same) try_trigger(t, i);
                }
                if (remaining == 0) return;
            }
        }
        prev_word = word;
    }
}

}  // namespace transmute::scan
