// Multi-pattern scan: one walk over the words of a text finds, for every pattern, the positions
// where a match could start, and the engine confirms (or counts) matches there. Tested in
// tests/test_scan.py and through the modules' differential tests.
//
// Triggers are derived from each pattern's own source text: an alternative that opens with
// "\b" and literal word characters can only match at the start of a word whose first characters
// equal those literals (case-folded under IGNORECASE); an alternative that opens with a literal
// punctuation character can only match where that character stands. A pattern with any other
// alternative has no trigger and is searched (or counted) by the engine on its own. Triggers
// only choose where to look; every answer comes from the engine, so a trigger that is too
// permissive costs time, never correctness.
//
// Linear time: an anchored run that starts at a candidate may look far ahead before it fails
// (a "[^)]*" in front of a missing ")"). The scan keeps count of how far its anchored runs have
// looked for each pattern; past a budget proportional to the text it hands that pattern to the
// engine's own single-pass search from the current candidate, which is exact because no earlier
// candidate matched (or, when counting, every earlier match has been counted).
#pragma once

#include "../regex/backtrack.hpp"
#include "../regex/matcher.hpp"
#include "../regex/regex.hpp"
#include "../text.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace transmute::scan {

struct Trigger {
    std::u32string prefix;  // word characters (lowercase when fold), when at_word_start
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
    if (ch == 0x131 || ch == 0x130) return 'i';
    if (ch == 0x17F) return 's';
    if (ch == 0x212A) return 'k';
    return ch;
}

enum class Mode : uint8_t { presence, count };

struct ScanResult {
    std::vector<bool> found;     // presence patterns: a match exists
    std::vector<size_t> counts;  // count patterns: len(findall)
};

class TriggerScan {
public:
    // `programs[i]` is the compiled pattern i; `sources`/`flags` its text and flags.
    static std::unique_ptr<TriggerScan> build(std::vector<regex::ProgramPtr> programs,
                                              const std::vector<std::u32string>& sources,
                                              const std::vector<int>& flags, std::vector<Mode> modes);

    size_t size() const { return programs_.size(); }

    template <class C>
    void run(const C* s, size_t n, ScanResult& result) const;

private:
    std::vector<regex::ProgramPtr> programs_;
    std::vector<Mode> modes_;
    std::vector<Trigger> triggers_;
    std::array<std::vector<uint32_t>, 128> by_first_;  // word triggers per folded first char
    std::vector<uint32_t> punct_triggers_;
    std::vector<uint32_t> untriggered_;  // patterns the engine handles on its own
    uint8_t char_class_[256] = {};       // bit 0: word character, bit 1: punctuation trigger
    bool has_count_ = false;
};

namespace detail {

template <class C>
inline bool is_word_char(C ch) {
    const uint32_t c = static_cast<uint32_t>(ch);
    return c == '_' || Py_UNICODE_ISALNUM(c);
}

// Per-call matching state of one pattern.
template <class C>
struct PatternRun {
    std::optional<regex::Vm<C>> vm;
    size_t looked = 0;     // characters examined by anchored runs so far
    size_t last_end = 0;   // count mode: end of the last counted match
    bool done = false;     // presence found, or handed to the engine
};

}  // namespace detail

template <class C>
void TriggerScan::run(const C* s, size_t n, ScanResult& result) const {
    const size_t patterns = programs_.size();
    result.found.assign(patterns, false);
    result.counts.assign(patterns, 0);
    std::vector<detail::PatternRun<C>> runs(patterns);
    regex::BacktrackSpace space;
    const size_t budget = 4 * n + 4096;
    size_t open = 0;  // patterns still to settle

    for (size_t p = 0; p < patterns; ++p) {
        if (modes_[p] == Mode::count) continue;
        ++open;
    }
    for (uint32_t p : untriggered_) {
        if (modes_[p] == Mode::presence) {
            result.found[p] = regex::search(*programs_[p], s, n, 0);
            --open;
        } else {
            result.counts[p] = regex::count(*programs_[p], s, n);
        }
        runs[p].done = true;
    }
    if (open == 0 && !has_count_) return;

    // Hands pattern p to the engine from position `from` onwards.
    auto finish_with_engine = [&](uint32_t p, size_t from) {
        detail::PatternRun<C>& run = runs[p];
        const regex::Program& prog = *programs_[p];
        if (modes_[p] == Mode::presence) {
            result.found[p] = regex::search(prog, s, n, from);
            --open;
        } else {
            size_t pos = from < run.last_end ? run.last_end : from;
            regex::Span span;
            while (pos <= n && regex::find(prog, s, n, pos, span)) {
                ++result.counts[p];
                pos = span.end > span.start ? span.end : span.end + 1;
            }
        }
        run.done = true;
    };

    auto try_candidate = [&](uint32_t p, size_t at) {
        detail::PatternRun<C>& run = runs[p];
        if (run.done) return;
        if (modes_[p] == Mode::count && at < run.last_end) return;
        const regex::Program& prog = *programs_[p];
        // Most candidates settle within a few characters: backtracking over a small window
        // answers them; the Pike VM takes the rest.
        size_t end = 0, reached = at;
        regex::Anchored outcome = regex::backtrack_at(prog, prog.spans, s, n, at, space, end, reached);
        if (outcome == regex::Anchored::too_far) {
            if (!run.vm) run.vm.emplace(prog, modes_[p] == Mode::presence ? prog.exists : prog.spans, s, n);
            size_t ms = 0;
            const bool hit = modes_[p] == Mode::presence ? run.vm->exists(at, true)
                                                         : run.vm->leftmost(at, true, false, ms, end);
            reached = run.vm->reached();
            outcome = hit ? regex::Anchored::match : regex::Anchored::no_match;
        }
        run.looked += reached - at + 1;
        if (outcome == regex::Anchored::match) {
            if (modes_[p] == Mode::presence) {
                result.found[p] = true;
                run.done = true;
                --open;
                return;
            }
            ++result.counts[p];
            run.last_end = end;
        }
        if (run.looked > budget) finish_with_engine(p, at + 1);
    };

    bool prev_word = false;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t c = static_cast<uint32_t>(s[i]);
        uint8_t cls;
        if (c < 256) {
            cls = char_class_[c];
        } else {
            cls = detail::is_word_char(c) ? 1 : 0;
        }
        if (cls & 2) {
            for (uint32_t ti : punct_triggers_) {
                if (triggers_[ti].punct == c) try_candidate(triggers_[ti].pattern, i);
            }
            if (open == 0 && !has_count_) return;
        }
        const bool word = cls & 1;
        if (word && !prev_word) {
            const char32_t first = fold_to_ascii(c);
            if (first < 128) {
                for (uint32_t ti : by_first_[first]) {
                    const Trigger& t = triggers_[ti];
                    if (runs[t.pattern].done) continue;
                    const size_t len = t.prefix.size();
                    if (i + len > n) continue;
                    bool same = true;
                    for (size_t k = t.fold ? 1 : 0; k < len && same; ++k) {
                        const char32_t ch = static_cast<char32_t>(s[i + k]);
                        same = (t.fold ? fold_to_ascii(ch) : ch) == t.prefix[k];
                    }
                    if (same) try_candidate(t.pattern, i);
                }
                if (open == 0 && !has_count_) return;
            }
        }
        prev_word = word;
    }
}

}  // namespace transmute::scan
