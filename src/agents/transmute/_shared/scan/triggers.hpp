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

#include "../regex/regex.hpp"
#include "../simd.hpp"
#include "../text.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace transmute::scan {

// Where a candidate starts, relative to the position that raised it.
enum class Back : uint8_t {
    none,       // at the trigger itself
    word_char,  // "\wP": one word character before the punctuation
    word,       // "\b\w+\s+LIT": the start of the word before the white space in front of LIT
    literal,    // "LIT\s+P": the start of `back_literal` before the white space in front of P
};

// White space a trigger's check skips: none at all, any amount, or at least one character.
enum class Space : uint8_t { none, any, some };

struct Trigger {
    std::u32string prefix;  // word characters (lowercase when fold), when at_word_start
    char32_t punct = 0;     // the opening character otherwise
    bool at_word_start = true;
    bool at_line_start = false;  // "^" under MULTILINE: the text's start and after every "\n"
    // Word triggers: what must follow the prefix ("\bSET\s+NOCOUNT": white space, then "nocount";
    // "\bIFF\s*\(": white space or none, then "("): word prefixes (`follow_heads`, lower-case when
    // fold) or punctuation (`follow_punct`) after `follow_space` white space. No requirement when
    // `has_follow` is false.
    bool has_follow = false;
    Space follow_space = Space::none;
    std::vector<std::u32string> follow_heads;
    std::u32string follow_punct;
    uint64_t follow_first[2] = {0, 0};  // folded ASCII characters a follow head can open with
    // Punctuation triggers: literal characters that must come right after the punctuation
    // ("#>>": ">>"), lower-case when fold.
    std::u32string tail;
    Back back = Back::none;
    std::u32string back_literal;      // Back::literal: the word literal, lower-case when fold
    Space back_space = Space::none;   // Back::literal: the white space between it and the trigger
    // Line triggers: what the first character after the line's leading white space must open,
    // as word prefixes (`heads`) or punctuation (`head_punct`); no requirement when both are empty.
    std::vector<std::u32string> heads;
    std::u32string head_punct;
    bool fold = false;      // compare letters case-insensitively
    uint32_t pattern = 0;   // index of the pattern it serves
    std::u32string alternative;  // the source of the alternative it stands for
    // The first (up to) four characters of a folded prefix, one byte each, for a quick test.
    uint32_t head = 0;
    uint32_t head_mask = 0;
};

// Derives the triggers of one pattern source; false when some alternative has none.
bool derive_triggers(const std::u32string& source, int flags, uint32_t pattern, std::vector<Trigger>& out);

// Splits a pattern source at its top-level '|' (outside groups and character classes); false when
// its brackets do not balance.
bool split_alternatives(const std::u32string& s, std::vector<std::u32string>& out);

enum class Mode : uint8_t { presence, count };

struct ScanResult {
    std::vector<bool> found;     // presence patterns: a match exists
    std::vector<size_t> counts;  // count patterns: len(findall)
    // Presence patterns with `want_first`: where the leftmost match starts (pattern.search().start()).
    std::vector<size_t> first;
    bool want_first = false;
    // Count patterns with `want_spans`: the spans of pattern.finditer.
    std::vector<std::vector<regex::Span>> spans;
    bool want_spans = false;
};

class TriggerScan {
public:
    // `programs[i]` is the compiled pattern i; `sources`/`flags` its text and flags. With
    // `gates`, each trigger also gets a gate (below): worth it for many patterns whose words are
    // common, a cost per call for a few.
    static std::unique_ptr<TriggerScan> build(std::vector<regex::ProgramPtr> programs,
                                              const std::vector<std::u32string>& sources,
                                              const std::vector<int>& flags, std::vector<Mode> modes,
                                              bool gates = false);

    size_t size() const { return programs_.size(); }
    // Patterns without triggers, which the engine searches on their own over the whole text.
    const std::vector<uint32_t>& untriggered() const { return untriggered_; }

    // Scans s[0..n). When `n` is only a prefix of the text (`partial`), a match counts only if
    // finding it never looked at the prefix's end, so what is found holds for the whole text;
    // count patterns are not supported then. Patterns already marked found are not looked for.
    template <class C>
    void run(const C* s, size_t n, ScanResult& result, bool partial = false) const;

private:
    std::vector<regex::ProgramPtr> programs_;
    std::vector<Mode> modes_;
    std::vector<Trigger> triggers_;
    // Word triggers grouped by the folded first two characters of the word (see word_key):
    // ids in bucket_ids_[bucket_start_[k] .. bucket_start_[k + 1]). A one-character prefix
    // stands in every bucket of its first character.
    std::vector<uint32_t> bucket_ids_;
    std::vector<uint32_t> bucket_start_;  // per key: its first group in groups_
    // Triggers of a bucket with the same folded head (up to four characters) form a group, so
    // that the many triggers of one word ("set") cost one test at other words.
    struct Group {
        uint32_t head = 0, mask = 0;  // mask 0: triggers that compare letter case exactly
        uint32_t first = 0, last = 0;  // their ids in bucket_ids_[first .. last)
    };
    std::vector<Group> groups_;
    // Line triggers by the folded first character after the line's white space (ASCII; 128:
    // anything else). Triggers without a head requirement stand in every list.
    std::array<std::vector<uint32_t>, 129> line_by_head_;
    std::vector<uint32_t> punct_triggers_;
    std::array<std::vector<uint32_t>, 128> punct_by_char_;  // punctuation triggers by character
    std::vector<uint32_t> line_triggers_;
    std::vector<uint32_t> untriggered_;  // patterns the engine handles on its own
    // A trigger's gate: its alternative alone, compiled for what every match of it holds: the
    // literals it contains (past the last occurrence of one, the trigger can raise no match)
    // and the pairs of characters it can start with.
    struct Gate {
        regex::ProgramPtr program;
        std::vector<uint64_t> pairs;  // bit a*256+b: a match can start with bytes a, b; empty: any
        std::vector<uint32_t> literals;  // indices into gate_literals_
    };
    std::vector<Gate> gates_;
    std::vector<int> gate_of_;  // per trigger: index into gates_, or -1
    // Distinct gate literals: a gate program and the index of one of its required literals.
    std::vector<std::pair<const regex::Program*, size_t>> gate_literals_;
    uint8_t char_class_[256] = {};       // bit 0: word character, bit 1: punctuation trigger
    bool has_count_ = false;
};

namespace detail {

// Bucket code of a folded character: letters 0-25, digits 26-35, '_' 36, anything else 37.
inline uint32_t word_code(char32_t f) {
    if (f >= 'a' && f <= 'z') return f - 'a';
    if (f >= '0' && f <= '9') return 26 + (f - '0');
    return f == '_' ? 36 : 37;
}
constexpr uint32_t kWordCodes = 38;


// Per-call matching state of one pattern.
template <class C>
struct PatternRun {
    regex::Matcher<C> matcher;  // bound to the text at the pattern's first candidate
    bool bound = false;
    size_t looked = 0;     // characters examined by anchored runs so far (matchers not linear)
    size_t last_end = 0;   // count mode: end of the last counted match
    bool done = false;     // presence found, or handed to the engine
};


// Whether `word` (folded when the trigger folds) starts at s[at].
template <class C>
inline bool word_at(const C* s, size_t n, size_t at, const std::u32string& word, bool fold) {
    if (at + word.size() > n) return false;
    for (size_t j = 0; j < word.size(); ++j) {
        const char32_t ch = static_cast<char32_t>(s[at + j]);
        if ((fold ? regex::fold_ascii(ch) : ch) != word[j]) return false;
    }
    return true;
}

}  // namespace detail

// Skips the white space a trigger check allows from `at`; false when `space` asks for some and
// there is none.
template <class C>
inline bool skip_space(const C* s, size_t n, size_t& at, Space space) {
    if (space == Space::none) return true;
    const size_t from = at;
    while (at < n && regex::is_space_char(s[at])) ++at;
    return space == Space::any || at > from;
}

// Whether s[at] opens one of `heads` (word prefixes, folded when `fold`) or is one of `punct`.
template <class C>
inline bool opens_one_of(const C* s, size_t n, size_t at, const std::vector<std::u32string>& heads,
                         const std::u32string& punct, bool fold) {
    if (at >= n) return false;
    const uint32_t c = static_cast<uint32_t>(s[at]);
    for (char32_t p : punct)
        if (c == p) return true;
    for (const std::u32string& head : heads)
        if (detail::word_at(s, n, at, head, fold)) return true;
    return false;
}

// After a word prefix ending at `end`: the white space and the word or punctuation that follow.
template <class C>
inline bool follow_matches(const C* s, size_t n, size_t end, const Trigger& t) {
    if (!t.has_follow) return true;
    size_t k = end;
    if (!skip_space(s, n, k, t.follow_space) || k >= n) return false;
    const char32_t f = regex::fold_ascii(static_cast<char32_t>(s[k]));
    if (f >= 128 || !((t.follow_first[f >> 6] >> (f & 63)) & 1)) return false;
    return opens_one_of(s, n, k, t.follow_heads, t.follow_punct, t.fold);
}

// After a punctuation trigger at `at`: its literal tail.
template <class C>
inline bool tail_matches(const C* s, size_t n, size_t at, const Trigger& t) {
    return t.tail.empty() || detail::word_at(s, n, at + 1, t.tail, t.fold);
}

// Where the candidate of a trigger met at `at` starts, or SIZE_MAX when there is none.
template <class C>
inline size_t candidate_start(const C* s, size_t n, size_t at, const Trigger& t) {
    switch (t.back) {
        case Back::none:
            return at;
        case Back::word_char:
            return at > 0 && regex::is_word(s[at - 1]) ? at - 1 : SIZE_MAX;
        case Back::word: {
            size_t k = at;
            while (k > 0 && regex::is_space_char(s[k - 1])) --k;
            if (k == at || k == 0 || !regex::is_word(s[k - 1])) return SIZE_MAX;
            while (k > 0 && regex::is_word(s[k - 1])) --k;
            return k;
        }
        case Back::literal: {
            size_t k = at;
            while (k > 0 && regex::is_space_char(s[k - 1])) --k;
            if (t.back_space == Space::some && k == at) return SIZE_MAX;
            if (t.back_space == Space::none && k != at) k = at;
            const size_t len = t.back_literal.size();
            if (k < len || !detail::word_at(s, n, k - len, t.back_literal, t.fold)) return SIZE_MAX;
            return k - len;
        }
    }
    return SIZE_MAX;
}

template <class C>
inline bool line_head_matches(const C* s, size_t n, size_t j, const Trigger& t) {
    return opens_one_of(s, n, j, t.heads, t.head_punct, t.fold);
}

template <class C>
void TriggerScan::run(const C* s, size_t n, ScanResult& result, bool partial) const {
    const size_t patterns = programs_.size();
    result.found.resize(patterns, false);
    result.counts.assign(patterns, 0);
    if (result.want_first) result.first.resize(patterns, SIZE_MAX);
    if (result.want_spans) result.spans.assign(patterns, {});
    // A presence search by the engine alone; with want_first it also says where the match starts.
    auto engine_presence = [&](uint32_t p, size_t from) {
        if (!result.want_first) return regex::search(*programs_[p], s, n, from);
        regex::Span span;
        if (!regex::find(*programs_[p], s, n, from, span)) return false;
        result.first[p] = span.start;
        return true;
    };
    // Per-call state lives in per-thread buffers, so that small texts pay no allocation.
    thread_local std::vector<detail::PatternRun<C>> thread_runs;
    std::vector<detail::PatternRun<C>>& runs = thread_runs;
    runs.clear();
    runs.resize(patterns);
    // Matchers refer to this call's text and may hold large memories: release them on return.
    struct ReleaseRuns {
        std::vector<detail::PatternRun<C>>& runs;
        ~ReleaseRuns() { runs.clear(); }
    } release_runs{runs};
    const size_t budget = 4 * n + 4096;
    // Per gate literal: where its next occurrence starts (regex::kNoPos: none left); valid for
    // candidates at or before it.
    thread_local std::vector<size_t> thread_gate_next;
    std::vector<size_t>& gate_next = thread_gate_next;
    gate_next.assign(gate_literals_.size(), 0);
    auto gate_open = [&](uint32_t ti, size_t at) {
        const int g = gate_of_[ti];
        if (g < 0) return true;
        const Gate& gate = gates_[static_cast<size_t>(g)];
        if (!gate.pairs.empty()) {
            if (at + 1 >= n) return false;  // every match is two characters long or more
            const uint32_t a = static_cast<uint32_t>(s[at]), b = static_cast<uint32_t>(s[at + 1]);
            const uint32_t bit = a * 256 + b;
            if ((a | b) < 256 && !((gate.pairs[bit >> 6] >> (bit & 63)) & 1)) return false;
        }
        for (uint32_t k : gate.literals) {
            size_t& next = gate_next[k];
            if (at > next)
                next = regex::find_required_literal(*gate_literals_[k].first, gate_literals_[k].second, s, n, at);
            if (next == regex::kNoPos) return false;
        }
        return true;
    };
    size_t open = 0;  // patterns still to settle

    for (size_t p = 0; p < patterns; ++p) {
        if (modes_[p] == Mode::count) continue;
        if (result.found[p]) {
            runs[p].done = true;
            continue;
        }
        ++open;
    }
    if (partial && (has_count_ || !untriggered_.empty())) return;
    for (uint32_t p : untriggered_) {
        if (runs[p].done) continue;
        if (modes_[p] == Mode::presence) {
            result.found[p] = engine_presence(p, 0);
            --open;
        } else {
            if (result.want_spans) {
                regex::find_all(*programs_[p], s, n, result.spans[p]);
                result.counts[p] = result.spans[p].size();
            } else {
                result.counts[p] = regex::count(*programs_[p], s, n);
            }
        }
        runs[p].done = true;
    }
    if (open == 0 && !has_count_) return;

    auto bind = [&](uint32_t p) -> regex::Matcher<C>& {
        detail::PatternRun<C>& run = runs[p];
        if (!run.bound) {
            run.matcher.bind(*programs_[p], modes_[p] == Mode::presence ? regex::Purpose::exists : regex::Purpose::spans,
                             s, n);
            run.bound = true;
        }
        return run.matcher;
    };
    // Hands pattern p to the engine's own search from position `from` onwards.
    auto finish_with_engine = [&](uint32_t p, size_t from) {
        detail::PatternRun<C>& run = runs[p];
        if (modes_[p] == Mode::presence) {
            result.found[p] = engine_presence(p, from);
            --open;
        } else {
            regex::Matcher<C>& matcher = bind(p);
            size_t pos = from < run.last_end ? run.last_end : from;
            bool must_advance = false;
            regex::Span span{0, 0};
            while (pos <= n && matcher.search(pos, must_advance, span)) {
                ++result.counts[p];
                if (result.want_spans) result.spans[p].push_back(span);
                must_advance = span.end == span.start;
                pos = span.end;
            }
        }
        run.done = true;
    };

    auto try_candidate = [&](uint32_t p, size_t at) {
        detail::PatternRun<C>& run = runs[p];
        if (run.done) return;
        if (modes_[p] == Mode::count && at < run.last_end) return;
        regex::Matcher<C>& matcher = bind(p);
        const regex::AnchoredRun answer = matcher.at(at);
        const size_t end = answer.end;
        run.looked += answer.reached - at + 1;
        // In a prefix, an answer that depended on the prefix's end says nothing yet.
        if (partial && answer.reached >= n) return;
        if (answer.matched) {
            if (modes_[p] == Mode::presence) {
                result.found[p] = true;
                if (result.want_first) result.first[p] = at;
                run.done = true;
                --open;
                return;
            }
            ++result.counts[p];
            if (result.want_spans) result.spans[p].push_back({at, end});
            run.last_end = end;
        }
        if (run.looked > budget) {
            if (partial) {
                run.done = true;  // left to the scan of the whole text
                --open;
                return;
            }
            finish_with_engine(p, at + 1);
        }
    };

    // First non-space character at or after a line start, shared by the line starts of one run
    // of white space so that blank lines are skipped once.
    size_t white_from = SIZE_MAX, white_to = 0;
    auto on_line_start = [&](size_t i) {
        if (white_from == SIZE_MAX || i < white_from || i > white_to) {
            size_t j = i;
            while (j < n && regex::is_space_char(s[j])) ++j;
            white_from = i;
            white_to = j;
        }
        const size_t j = white_to;
        const char32_t f = j < n ? regex::fold_ascii(static_cast<char32_t>(s[j])) : 128;
        for (uint32_t ti : line_by_head_[f < 128 ? f : 128]) {
            const Trigger& t = triggers_[ti];
            if (!t.heads.empty() || !t.head_punct.empty()) {
                if (j >= n || !line_head_matches(s, n, j, t)) continue;
            }
            if (runs[t.pattern].done || !gate_open(ti, i)) continue;
            try_candidate(t.pattern, i);
        }
    };
    auto on_punct = [&](size_t i, uint32_t c) {
        if (c >= 128) return;
        for (uint32_t ti : punct_by_char_[c]) {
            const Trigger& t = triggers_[ti];
            if (runs[t.pattern].done || !tail_matches(s, n, i, t) ||
                !follow_matches(s, n, i + 1 + t.tail.size(), t))
                continue;
            const size_t at = candidate_start(s, n, i, t);
            if (at != SIZE_MAX && gate_open(ti, at)) try_candidate(t.pattern, at);
        }
        if (c == '\n' && !line_triggers_.empty()) on_line_start(i + 1);
    };
    auto on_word_start = [&](size_t i, uint32_t c) {
        const char32_t first = regex::fold_ascii(c);
        if (first >= 128) return;
        // No trigger opens with this character: nothing more to read.
        const uint32_t row = detail::word_code(first) * detail::kWordCodes;
        if (bucket_start_[row] == bucket_start_[row + detail::kWordCodes]) return;
        // The word's first four characters, folded, one byte each (0 past the end or for
        // characters that fold to nothing in ASCII).
        uint32_t head = first;
        for (size_t j = 1; j < 4 && i + j < n; ++j) {
            const char32_t f = regex::fold_ascii(static_cast<char32_t>(s[i + j]));
            head |= (f < 128 ? f : 0x80u) << (8 * j);
        }
        const uint32_t key = row + detail::word_code((head >> 8) & 0xFF);
        const uint32_t groups_end = bucket_start_[key + 1];
        for (uint32_t g = bucket_start_[key]; g < groups_end; ++g) {
          const Group& group = groups_[g];
          if ((head & group.mask) != group.head) continue;
          for (uint32_t k = group.first; k < group.last; ++k) {
            const uint32_t ti = bucket_ids_[k];
            const Trigger& t = triggers_[ti];
            if (runs[t.pattern].done) continue;
            const size_t len = t.prefix.size();
            if (i + len > n) continue;
            bool same = true;
            for (size_t j = t.fold ? 4 : 0; j < len && same; ++j) {
                const char32_t ch = static_cast<char32_t>(s[i + j]);
                same = (t.fold ? regex::fold_ascii(ch) : ch) == t.prefix[j];
            }
            if (!same || !follow_matches(s, n, i + len, t)) continue;
            const size_t at = t.back == Back::none ? i : candidate_start(s, n, i, t);
            if (at != SIZE_MAX && gate_open(ti, at)) try_candidate(t.pattern, at);
          }
        }
    };
    auto settled = [&] { return open == 0 && !has_count_; };

    // One step of the general walk: classifies s[i] and handles what starts there.
    bool prev_word = false;
    auto step = [&](size_t i) {
        const uint32_t c = static_cast<uint32_t>(s[i]);
        const uint8_t cls = c < 256 ? char_class_[c] : (regex::is_word(c) ? 1 : 0);
        if (cls & 2) on_punct(i, c);
        const bool word = cls & 1;
        if (word && !prev_word) on_word_start(i, c);
        prev_word = word;
    };

    size_t i = 0;
    if (!line_triggers_.empty()) {
        on_line_start(0);
        if (settled()) return;
    }
    // Blocks of 16 ASCII characters: word starts and trigger characters come out of byte
    // compares, so the walk visits only the positions where something can start. Blocks holding
    // a character above 0x7F take the general step.
    simd::Bytes punct_chars[4];
    int n_punct = 0;
    bool few_punct = true;
    for (uint32_t c = 0; c < 128 && few_punct; ++c) {
        if (!(char_class_[c] & 2)) continue;
        if (n_punct == 4)
            few_punct = false;
        else
            punct_chars[n_punct++] = simd::splat(static_cast<uint8_t>(c));
    }
    // With more trigger characters than compares pay for, every character that is neither a
    // word character nor one of a few common quiet ones (white space, the blank that views of a
    // text put in place of what they hide, common punctuation that opens no trigger) is an
    // event, sorted out through the class table.
    simd::Bytes quiet[8];
    int n_quiet = 0;
    for (const char q : {' ', '\x01', '\n', '\t', '\r', ',', '(', ')', '.', ';', '='}) {
        if (n_quiet < 8 && !(char_class_[static_cast<uint8_t>(q)] & 2)) quiet[n_quiet++] = simd::splat(static_cast<uint8_t>(q));
    }
    for (; i + simd::kLanes <= n; i += simd::kLanes) {
        simd::Bytes x;
        if (!simd::load_ascii(s + i, x)) {
            for (size_t k = i; k < i + simd::kLanes; ++k) {
                step(k);
                if (settled()) return;
            }
            continue;
        }
        const uint32_t word_bits = simd::ascii_word_mask(x);
        const uint32_t punct_bits = few_punct ? simd::any_of(x, punct_chars, n_punct)
                                              : ~(word_bits | simd::any_of(x, quiet, n_quiet)) & 0xFFFFu;
        const uint32_t start_bits = word_bits & ~((word_bits << 1) | (prev_word ? 1u : 0u));
        uint32_t events = (start_bits | punct_bits) & 0xFFFFu;
        while (events) {
            const size_t b = simd::first(events);
            const uint32_t c = s[i + b];
            if ((punct_bits >> b & 1) && (char_class_[c] & 2)) on_punct(i + b, c);
            if (start_bits >> b & 1) on_word_start(i + b, c);
            if (settled()) return;
            events &= events - 1;
        }
        prev_word = (word_bits >> 15) & 1;
    }
    for (; i < n; ++i) {
        step(i);
        if (settled()) return;
    }
}

}  // namespace transmute::scan
