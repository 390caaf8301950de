// One call of the multi-pattern scan: a ScanCall walks one text with the tables of a TriggerScan,
// checks what each trigger met requires, runs the pattern's matcher at the candidate, and hands
// patterns to the engine's own search where that settles them faster. Its per-pattern state and
// matchers live in a workspace that the TriggerScan keeps for the next call, so that a call
// allocates nothing once the scan has warmed up. Tested in tests/test_scan.py,
// tests/test_detect_scan.py and through the modules' differential tests.
#include "triggers.hpp"

#include "../simd.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace transmute::scan {

// Matching state of one pattern in one call; `call` says which call it belongs to, so that a
// workspace need not reset every pattern's state when a call starts.
template <class C>
struct PatternRun {
    regex::Matcher<C> matcher;  // bound to the text at the pattern's first candidate
    uint32_t call = 0;
    bool bound = false;
    bool done = false;     // presence found, or handed to the engine
    size_t looked = 0;     // characters examined by anchored runs so far
    size_t last_end = 0;   // count mode: end of the last counted match
    bool last_empty = false;  // count mode: that match was empty
};

namespace {

// Whether `word` (folded when `fold`) starts at s[at].
template <class C>
bool word_at(const C* s, size_t n, size_t at, const std::u32string& word, bool fold) {
    if (at + word.size() > n) return false;
    for (size_t j = 0; j < word.size(); ++j) {
        const uint32_t ch = static_cast<uint32_t>(s[at + j]);
        if ((fold ? regex::fold_ascii(ch) : ch) != word[j]) return false;
    }
    return true;
}

// The first four characters at s[at], one byte each as word prefixes are packed for a quick
// test: ASCII as is (folded when `fold`), 0x80 for a character that is no ASCII one (after
// folding), 0 past the end of the text.
template <class C>
uint32_t pack4(const C* s, size_t n, size_t at, bool fold) {
    if (at + 4 <= n) {
        // Four ASCII characters at once: the upper-case letters are the bytes from 'A' on that
        // are not past 'Z' (no byte carries into the next, each being below 0x80).
        uint32_t x = 0x80;  // stays so when a wider character is among the four
        if constexpr (sizeof(C) == 1) {
            std::memcpy(&x, s + at, 4);
        } else {
            const uint32_t a = s[at], b = s[at + 1], c = s[at + 2], d = s[at + 3];
            if ((a | b | c | d) <= 0x7F) x = a | b << 8 | c << 16 | d << 24;
        }
        if ((x & 0x80808080u) == 0) {
            if (!fold) return x;
            const uint32_t upper = (x + 0x3F3F3F3Fu) & ~(x + 0x25252525u) & 0x80808080u;
            return x | upper >> 2;
        }
    }
    uint32_t packed = 0;
    for (size_t j = 0; j < 4 && at + j < n; ++j) {
        const uint32_t ch = static_cast<uint32_t>(s[at + j]);
        const uint32_t f = fold ? regex::fold_ascii(ch) : ch;
        packed |= (f < 128 ? f : 0x80u) << (8 * j);
    }
    return packed;
}

// After a punctuation trigger at `at`: its literal tail.
template <class C>
bool tail_matches(const C* s, size_t n, size_t at, const Trigger& t) {
    return t.tail.empty() || word_at(s, n, at + 1, t.tail, t.fold);
}

// Where the candidate of a trigger met at `at` starts, or SIZE_MAX when there is none.
template <class C>
size_t candidate_start(const C* s, size_t n, size_t at, const Trigger& t) {
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
            if (k < len || !word_at(s, n, k - len, t.back_literal, t.fold)) return SIZE_MAX;
            return k - len;
        }
        case Back::line: {
            // The earliest line start from which only white space leads to the word: "^\s*"
            // matches from there and from no earlier position.
            if (t.back_space == Space::none) return at == 0 || s[at - 1] == '\n' ? at : SIZE_MAX;
            size_t k = at;
            while (k > 0 && regex::is_space_char(s[k - 1])) --k;
            if (k > 0) {
                while (k < at && s[k] != '\n') ++k;
                if (k == at) return SIZE_MAX;  // no line break between the word and the text before it
                ++k;
            }
            if (t.back_space == Space::some && k == at) return SIZE_MAX;
            return k;
        }
    }
    return SIZE_MAX;
}

}  // namespace

// What one call needs beyond the tables, for one text width.
template <class C>
struct Workspace {
    std::vector<PatternRun<C>> runs;  // per pattern, stamped with the call they belong to
    std::vector<size_t> gate_next;    // per gate literal: its next occurrence found
    std::vector<size_t> gate_from;    // per gate literal: where that search started
    std::vector<size_t> gate_none;    // per gate literal: no occurrence starts at or after this
    std::vector<size_t> dead_from;    // per trigger: candidates from here on cannot pass its gate
    // The gate literals and triggers whose entries above the last call changed: the next call
    // puts back only those, not whole tables (a short text would spend more on that than on
    // its scan).
    std::vector<uint32_t> changed_literals;
    std::vector<uint32_t> changed_triggers;
    uint32_t call = 0;
};

// Workspaces not in use, by text width; a call takes one (or makes one) and gives it back.
struct TriggerScan::Workspaces {
    static constexpr size_t kKept = 4;  // per width: about the threads that scan at once
    std::mutex mutex;
    std::vector<std::unique_ptr<Workspace<Py_UCS1>>> ucs1;
    std::vector<std::unique_ptr<Workspace<Py_UCS2>>> ucs2;
    std::vector<std::unique_ptr<Workspace<Py_UCS4>>> ucs4;

    template <class C>
    std::vector<std::unique_ptr<Workspace<C>>>& of() {
        if constexpr (sizeof(C) == 1)
            return ucs1;
        else if constexpr (sizeof(C) == 2)
            return ucs2;
        else
            return ucs4;
    }

    template <class C>
    std::unique_ptr<Workspace<C>> take() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto& kept = of<C>();
            if (!kept.empty()) {
                std::unique_ptr<Workspace<C>> ws = std::move(kept.back());
                kept.pop_back();
                return ws;
            }
        }
        return std::make_unique<Workspace<C>>();
    }

    template <class C>
    void give_back(std::unique_ptr<Workspace<C>> ws) {
        std::lock_guard<std::mutex> lock(mutex);
        auto& kept = of<C>();
        if (kept.size() < kKept) kept.push_back(std::move(ws));
    }
};

TriggerScan::TriggerScan() : workspaces_(std::make_unique<Workspaces>()) {}
TriggerScan::~TriggerScan() = default;

template <class C>
class ScanCall {
public:
    ScanCall(const TriggerScan& scan, Workspace<C>& ws, const C* s, size_t n, ScanResult& result, bool partial)
        : scan_(scan), ws_(ws), s_(s), n_(n), result_(result), partial_(partial), budget_(4 * n + 4096) {}

    void run() {
        if (!start()) return;
        size_t i = 0;
        if (!scan_.line_triggers_.empty()) {
            on_line_start(0);
            if (settled()) return;
        }
        if (!walk_blocks(i)) return;
        for (; i < n_; ++i) {
            step(i);
            if (settled()) return;
        }
    }

private:
    // The pattern's state in this call, fresh at its first use.
    PatternRun<C>& state(uint32_t p) {
        PatternRun<C>& run = ws_.runs[p];
        if (run.call != ws_.call) {
            run.call = ws_.call;
            run.bound = run.done = run.last_empty = false;
            run.looked = run.last_end = 0;
        }
        return run;
    }
    bool done(uint32_t p) const {
        const PatternRun<C>& run = ws_.runs[p];
        return run.call == ws_.call && run.done;
    }
    bool presence(uint32_t p) const { return scan_.modes_[p] == Mode::presence; }
    bool settled() const { return open_ == 0 && !scan_.has_count_; }

    regex::Matcher<C>& matcher(uint32_t p) {
        PatternRun<C>& run = state(p);
        if (!run.bound) {
            run.matcher.bind(*scan_.programs_[p], presence(p) ? regex::Purpose::exists : regex::Purpose::spans, s_, n_);
            run.bound = true;
        }
        return run.matcher;
    }

    // Sizes the result and the workspace, marks what the caller already found, and settles the
    // patterns without triggers; false when nothing is left for the walk.
    bool start() {
        const size_t patterns = scan_.programs_.size();
        result_.found.resize(patterns, false);
        result_.counts.assign(patterns, 0);
        if (result_.want_first) result_.first.resize(patterns, SIZE_MAX);
        if (result_.want_spans) result_.spans.assign(patterns, {});
        if (ws_.runs.size() != patterns) {
            ws_.runs.clear();
            ws_.runs.resize(patterns);
        }
        if (++ws_.call == 0) {
            for (PatternRun<C>& run : ws_.runs) run.call = 0;
            ws_.call = 1;
        }
        reset_gates();
        // Twins are answered by their counts once the walk is over (TriggerScan::run), unless
        // the engine must search them.
        const bool twins_by_count = !result_.want_first && !partial_;
        for (uint32_t p = 0; p < patterns; ++p) {
            if (!presence(p)) continue;
            if (result_.found[p] || (twins_by_count && scan_.has_twin_[p]))
                state(p).done = true;
            else
                ++open_;
        }
        if (partial_ && (scan_.has_count_ || !scan_.untriggered_.empty())) return false;
        for (uint32_t p : scan_.untriggered_) search_untriggered(p);
        if (!twins_by_count)
            for (const auto& twin : scan_.twins_) search_untriggered(twin.first);
        return !settled();
    }

    // Every gate literal unsearched and every trigger's gate open, as at the first call.
    void reset_gates() {
        const size_t literals = scan_.gate_literals_.size(), triggers = scan_.triggers_.size();
        if (ws_.gate_next.size() != literals || ws_.dead_from.size() != triggers) {
            ws_.gate_next.assign(literals, kNotSearched);
            ws_.gate_from.assign(literals, 0);
            ws_.gate_none.assign(literals, SIZE_MAX);
            ws_.dead_from.assign(triggers, SIZE_MAX);
        } else {
            for (uint32_t k : ws_.changed_literals) {
                ws_.gate_next[k] = kNotSearched;
                ws_.gate_from[k] = 0;
                ws_.gate_none[k] = SIZE_MAX;
            }
            for (uint32_t ti : ws_.changed_triggers) ws_.dead_from[ti] = SIZE_MAX;
        }
        ws_.changed_literals.clear();
        ws_.changed_triggers.clear();
    }

    // A pattern without triggers, searched (or counted) by the engine over the whole text.
    void search_untriggered(uint32_t p) {
        if (done(p)) return;
        const regex::Program& prog = *scan_.programs_[p];
        if (presence(p)) {
            result_.found[p] = engine_presence(p, 0);
            --open_;
        } else if (result_.want_spans) {
            regex::find_all(prog, s_, n_, result_.spans[p]);
            result_.counts[p] = result_.spans[p].size();
        } else {
            result_.counts[p] = regex::count(prog, s_, n_);
        }
        state(p).done = true;
    }

    // A presence search by the engine alone; with want_first it also says where the match starts.
    bool engine_presence(uint32_t p, size_t from) {
        const regex::Program& prog = *scan_.programs_[p];
        if (!result_.want_first) return regex::search(prog, s_, n_, from);
        regex::Span span{0, 0};
        if (!regex::find(prog, s_, n_, from, span)) return false;
        result_.first[p] = span.start;
        return true;
    }

    // Hands pattern p to the engine's own search from position `from` onwards.
    void finish_with_engine(uint32_t p, size_t from) {
        PatternRun<C>& run = state(p);
        if (presence(p)) {
            result_.found[p] = engine_presence(p, from);
            --open_;
            settled_since_filter_ = true;
        } else {
            regex::Matcher<C>& m = matcher(p);
            size_t pos = from < run.last_end ? run.last_end : from;
            bool must_advance = run.last_empty && pos == run.last_end;
            regex::Span span{0, 0};
            while (pos <= n_ && m.search(pos, must_advance, span)) {
                ++result_.counts[p];
                if (result_.want_spans) result_.spans[p].push_back(span);
                must_advance = span.end == span.start;
                pos = span.end;
            }
        }
        run.done = true;
    }

    // Runs pattern p's matcher at a candidate and records what it finds.
    void try_candidate(uint32_t p, size_t at) {
        PatternRun<C>& run = state(p);
        if (run.done || (!presence(p) && at < run.last_end)) return;
        // After an empty match, re takes no second empty match at the same place.
        const bool must_advance = !presence(p) && run.last_empty && at == run.last_end;
        const regex::AnchoredRun answer = matcher(p).at(at, must_advance);
        run.looked += answer.reached - at + 1;
        // In a prefix, an answer that depended on the prefix's end says nothing yet.
        if (partial_ && answer.reached >= n_) return;
        if (answer.matched) {
            if (presence(p)) {
                result_.found[p] = true;
                if (result_.want_first) result_.first[p] = at;
                run.done = true;
                --open_;
                settled_since_filter_ = true;
                return;
            }
            count_match(p, at, answer.end);
            if (answer.end == at) {
                // re goes on from an empty match at the same place, taking only a longer match
                // there; a line-start pattern has no later candidate for it.
                const regex::AnchoredRun longer = matcher(p).at(at, true);
                run.looked += longer.reached - at + 1;
                if (longer.matched) count_match(p, at, longer.end);
            }
        }
        if (run.looked <= budget_) return;
        if (!partial_) {
            finish_with_engine(p, at + 1);
        } else {
            run.done = true;  // left to the scan of the whole text
            --open_;
        }
    }

    // Counts a match of the counted pattern p, from `at` to `end`.
    void count_match(uint32_t p, size_t at, size_t end) {
        PatternRun<C>& run = state(p);
        ++result_.counts[p];
        if (result_.want_spans) result_.spans[p].push_back({at, end});
        run.last_end = end;
        run.last_empty = end == at;
    }

    // Whether the gate of trigger `ti` lets a candidate at `at` through: the pair of characters
    // it starts with, and every literal the trigger's matches contain still ahead.
    bool gate_open(uint32_t ti, size_t at) {
        const int g = scan_.gate_of_[ti];
        if (g < 0) return true;
        if (at >= ws_.dead_from[ti]) return false;
        const TriggerScan::Gate& gate = scan_.gates_[static_cast<size_t>(g)];
        const bool counting = !presence(scan_.triggers_[ti].pattern);
        if (!gate.pairs.empty()) {
            if (at + 1 >= n_) return false;  // every match is two characters long or more
            const uint32_t a = static_cast<uint32_t>(s_[at]), b = static_cast<uint32_t>(s_[at + 1]);
            const uint32_t bit = a * 256 + b;
            if ((a | b) < 256 && !((gate.pairs[bit >> 6] >> (bit & 63)) & 1)) return false;
        }
        if (gate.has_third) {
            if (at + 2 >= n_) return false;  // every match is three characters long or more
            const uint32_t c = static_cast<uint32_t>(s_[at + 2]);
            if (c < 256 && !((gate.third[c >> 6] >> (c & 63)) & 1)) return false;
        }
        for (uint32_t k : gate.literals) {
            // Where the literal's next occurrence starts (regex::kNoPos: none left), from where
            // the search started: valid for candidates between the two. Candidates mostly move
            // forward, but one that reaches back before its trigger (a word or literal in front
            // of it) can come after a later one of another trigger on the same character.
            size_t& next = ws_.gate_next[k];
            size_t& from = ws_.gate_from[k];
            const auto& [program, which] = scan_.gate_literals_[k];
            if (next == kNotSearched || at > next || at < from) {
                if (next == kNotSearched) ws_.changed_literals.push_back(k);  // before any change
                // Any occurrence at or after the candidate will do, and one far ahead holds for
                // every candidate up to it: for a pattern that is counted (it sees every
                // candidate), where the literal was found close to where its last search
                // started, it is looked for a stretch ahead first, so that dense candidates and
                // literals cost a search per stretch of text rather than one each. A far search
                // that finds nothing is not repeated.
                const bool dense = counting && next != kNotSearched && next != regex::kNoPos && next - from < kGateDense;
                next = regex::kNoPos;
                size_t& none = ws_.gate_none[k];
                if (dense && at + kGateStretch < n_ && at + kGateStretch < none) {
                    next = regex::find_required_literal(*program, which, s_, n_, at + kGateStretch);
                    if (next == regex::kNoPos) none = at + kGateStretch;
                }
                if (next == regex::kNoPos) next = regex::find_required_literal(*program, which, s_, n_, at);
                from = at;
            }
            if (next == regex::kNoPos) {
                // No candidate of this trigger from `from` on can pass: its later candidates are
                // turned away before any work.
                if (ws_.dead_from[ti] == SIZE_MAX) ws_.changed_triggers.push_back(ti);
                ws_.dead_from[ti] = std::min(ws_.dead_from[ti], from);
                return false;
            }
        }
        return true;
    }

    // A line starts at i: the first non-space character after it decides which line triggers
    // apply (white_end reads a run of blank lines once).
    void on_line_start(size_t i) {
        const size_t j = white_end(i);
        const uint32_t f = j < n_ ? regex::fold_ascii(static_cast<uint32_t>(s_[j])) : 128;
        for (uint32_t ti : scan_.line_by_head_[f < 128 ? f : 128]) {
            const Trigger& t = scan_.triggers_[ti];
            const bool any_head = t.heads.empty() && t.head_punct.empty();
            if (!any_head && !opens_one_of(j, t.heads, t.heads_packed, t.head_punct, t.fold)) continue;
            if (done(t.pattern) || !gate_open(ti, i)) continue;
            try_candidate(t.pattern, i);
        }
    }

    // A punctuation character c at i.
    void on_punct(size_t i, uint32_t c) {
        if (c >= 128) return;
        if (const int16_t d = scan_.punct_next_of_[c]; d >= 0) {
            const TriggerScan::PunctNext& next = scan_.punct_next_[static_cast<size_t>(d)];
            uint64_t bits = next.end;
            if (i + 1 < n_) {
                const uint32_t a = static_cast<uint32_t>(s_[i + 1]);
                bits = a < 128 ? next.ascii[a] : next.wide;
            }
            if (bits != 0 && !next.all) {
                if (i + 2 < n_) {
                    const uint32_t b = static_cast<uint32_t>(s_[i + 2]);
                    bits &= b < 128 ? next.third_ascii[b] : next.third_wide;
                } else {
                    bits &= next.third_end;
                }
            }
            const std::vector<uint32_t>& list = scan_.punct_by_char_[c];
            if (bits != 0 && next.all) {
                for (uint32_t ti : list) on_punct_trigger(ti, i);
            } else {
                // In list order: a candidate one character back comes first.
                for (; bits; bits &= bits - 1) on_punct_trigger(list[std::countr_zero(bits)], i);
            }
        }
        if (c == '\n' && !scan_.line_triggers_.empty()) on_line_start(i + 1);
    }

    // Punctuation trigger ti at i.
    void on_punct_trigger(uint32_t ti, size_t i) {
        const Trigger& t = scan_.triggers_[ti];
        if (done(t.pattern) || (t.back == Back::none && i >= ws_.dead_from[ti])) return;
        if (!tail_matches(s_, n_, i, t) || !follow_matches(i + 1 + t.tail.size(), t)) return;
        const size_t at = candidate_start(s_, n_, i, t);
        if (at != SIZE_MAX && gate_open(ti, at)) try_candidate(t.pattern, at);
    }

    // The end of the run of white space that starts at `at` (`at` itself when there is none).
    // Runs read once are remembered, so that checks at many places of one run (its line breaks)
    // read it once.
    size_t white_end(size_t at) {
        if (at >= run_from_ && at <= run_to_) return run_to_;
        size_t k = at;
        while (k < n_ && regex::is_space_char(s_[k])) ++k;
        run_from_ = at;
        run_to_ = k;
        return k;
    }

    // pack4() at `at`, as is and folded. Several triggers test the same position in turn: it is
    // packed once.
    uint32_t packed_at(size_t at, bool fold) {
        if (at != packed_pos_) {
            packed_pos_ = at;
            packed_[0] = pack4(s_, n_, at, false);
            packed_[1] = pack4(s_, n_, at, true);
        }
        return packed_[fold ? 1 : 0];
    }

    // Whether s[at] opens one of `heads` (word prefixes, folded when `fold`; `packed` their
    // quick-test form) or is one of `punct`: a head whose packed bytes differ from the text's
    // cannot match.
    bool opens_one_of(size_t at, const std::vector<std::u32string>& heads,
                      const std::vector<std::pair<uint32_t, uint32_t>>& packed, const std::u32string& punct,
                      bool fold) {
        if (at >= n_) return false;
        const uint32_t c = static_cast<uint32_t>(s_[at]);
        for (char32_t p : punct)
            if (c == p) return true;
        if (heads.empty()) return false;
        const uint32_t text = packed_at(at, fold);
        for (size_t k = 0; k < heads.size(); ++k)
            if ((text & packed[k].second) == packed[k].first && word_at(s_, n_, at, heads[k], fold)) return true;
        return false;
    }

    // After a trigger's literal ending at `end`: the set the next character is in, or the white
    // space and the word or punctuation that follow.
    bool follow_matches(size_t end, const Trigger& t) {
        if (t.has_next) {
            if (end >= n_) return false;
            const uint32_t c = static_cast<uint32_t>(s_[end]);
            if (c >= 128) return t.next_wide;
            const uint32_t f = t.fold ? regex::fold_ascii(c) : c;
            return (t.next_ascii[f >> 6] >> (f & 63)) & 1;
        }
        if (!t.has_follow) return true;
        size_t k = end;
        if (t.follow_space != Space::none) {
            k = white_end(end);
            if (t.follow_space == Space::some && k == end) return false;
        }
        if (k >= n_) return false;
        const uint32_t f = regex::fold_ascii(static_cast<uint32_t>(s_[k]));
        if (f >= 128 || !((t.follow_first[f >> 6] >> (f & 63)) & 1)) return false;
        return opens_one_of(k, t.follow_heads, t.follow_packed, t.follow_punct, t.fold);
    }

    static constexpr size_t kNotSearched = regex::kNoPos - 1;  // a gate literal not looked for yet
    static constexpr size_t kGateStretch = 4096;  // how far ahead a dense gate literal is looked for first
    static constexpr size_t kGateDense = 256;     // found this close to its search's start: dense

    // A word starts at i: the triggers of its bucket (the key: its first two
    // characters, folded) whose literal's opening characters agree with the word's first four.
    void on_word_start(size_t i) {
        const uint32_t head = pack4(s_, n_, i, true);
        const uint32_t first = head & 0xFF, second = (head >> 8) & 0xFF;
        if (first >= 0x80) return;  // no ASCII letter, even folded
        const uint32_t key = detail::word_code(first) * detail::kWordCodes + detail::word_code(second);
        const uint32_t last = scan_.bucket_start_[key + 1];
        for (uint32_t g = scan_.bucket_start_[key]; g < last; ++g) {
            const TriggerScan::Group& group = scan_.groups_[g];
            if ((head & group.mask) != group.head) continue;
            if (group.dispatch >= 0) {
                on_word_dispatch(i, group);
                continue;
            }
            for (uint32_t k = group.first; k < group.last; ++k) on_word_trigger(scan_.bucket_ids_[k], i);
        }
    }

    // A large group at the word starting at i: only the triggers that the characters after their
    // literal allow are tried, in their order.
    void on_word_dispatch(size_t i, const TriggerScan::Group& group) {
        const TriggerScan::Dispatch& d = scan_.dispatches_[static_cast<size_t>(group.dispatch)];
        uint64_t bits = d.always;
        for (const TriggerScan::Dispatch::Slot& slot : d.slots) {
            size_t k = i + slot.len;
            if (k >= n_) continue;  // no character to test: these triggers cannot hold
            if (slot.space != Space::none) {
                const size_t end = white_end(k);
                if (slot.space == Space::some && end == k) continue;
                k = end;
                if (k >= n_) continue;
            }
            const uint32_t c = static_cast<uint32_t>(s_[k]);
            bits |= c < 128 ? slot.by_char[c] : slot.members;
        }
        while (bits) {
            const uint32_t k = static_cast<uint32_t>(std::countr_zero(bits));
            bits &= bits - 1;
            on_word_trigger(scan_.bucket_ids_[group.first + k], i);
        }
    }

    // Word trigger ti at the word starting at i, whose first four characters already agree
    // when the trigger folds.
    void on_word_trigger(uint32_t ti, size_t i) {
        const Trigger& t = scan_.triggers_[ti];
        if (done(t.pattern) || (t.back == Back::none && i >= ws_.dead_from[ti])) return;
        const size_t len = t.prefix.size();
        if (i + len > n_) return;
        for (size_t j = t.fold ? 4 : 0; j < len; ++j) {
            const uint32_t ch = static_cast<uint32_t>(s_[i + j]);
            if ((t.fold ? regex::fold_ascii(ch) : ch) != t.prefix[j]) return;
        }
        if (!follow_matches(i + len, t)) return;
        size_t at = t.back == Back::none ? i : candidate_start(s_, n_, i, t);
        if (at != SIZE_MAX && t.back == Back::line && !presence(t.pattern)) at = resume_at_line(at, i, t);
        if (at != SIZE_MAX && gate_open(ti, at)) try_candidate(t.pattern, at);
    }

    // A line-start candidate of a counted pattern that lies inside the pattern's last match: the
    // search goes on from that match's end, so the candidate is the first line start from there
    // on in the white space before the word (SIZE_MAX: none is left).
    size_t resume_at_line(size_t at, size_t word, const Trigger& t) {
        const PatternRun<C>& run = state(t.pattern);
        if (at >= run.last_end) return at;
        size_t k = run.last_end;
        while (k < word && s_[k - 1] != '\n') ++k;
        if (k > word || s_[k - 1] != '\n') return SIZE_MAX;
        if (t.back_space == Space::some && k == word) return SIZE_MAX;
        return k;
    }

    // One character of the general walk: what starts at s[i].
    void step(size_t i) {
        const uint32_t c = static_cast<uint32_t>(s_[i]);
        const uint8_t cls = c < 256 ? scan_.char_class_[c] : (regex::is_word(c) ? 1 : 0);
        if (cls & 2) on_punct(i, c);
        const bool word = cls & 1;
        if (word && !prev_word_) on_word_start(i);
        prev_word_ = word;
    }

    // What the general walk of blocks compares with, set up once per call.
    struct BlockSetup {
        simd::Bytes punct_chars[4];
        int n_punct = 0;
        bool few_punct = true;
        simd::Bytes quiet[8];
        int n_quiet = 0;
    };

    BlockSetup block_setup() const {
        BlockSetup b;
        for (uint32_t c = 0; c < 128 && b.few_punct; ++c) {
            if (!(scan_.char_class_[c] & 2)) continue;
            if (b.n_punct == 4)
                b.few_punct = false;
            else
                b.punct_chars[b.n_punct++] = simd::splat(static_cast<uint8_t>(c));
        }
        // With more trigger characters than compares pay for, every character that is neither a
        // word character nor one of a few common quiet ones (white space, the blank that views of
        // a text put in place of what they hide, common punctuation that opens no trigger) is an
        // event, sorted out through the class table.
        for (const char q : {' ', '\x01', '\n', '\t', '\r', ',', '(', ')', '.', ';', '='}) {
            if (b.n_quiet < 8 && !(scan_.char_class_[static_cast<uint8_t>(q)] & 2))
                b.quiet[b.n_quiet++] = simd::splat(static_cast<uint8_t>(q));
        }
        return b;
    }

    // The events of the block at i (16 or 32 characters): trigger characters (`punct`) and word
    // starts (`starts`). False when the scan is settled.
    bool on_events(size_t i, uint32_t starts, uint32_t punct) {
        uint32_t events = starts | punct;
        while (events) {
            const size_t b = simd::first(events);
            const uint32_t c = static_cast<uint32_t>(s_[i + b]);
            if ((punct >> b & 1) && (scan_.char_class_[c] & 2)) on_punct(i + b, c);
            if ((starts >> b & 1) &&
                (c >= 128 ||
                 scan_.may_open_word(c, i + b + 1 < n_ ? static_cast<uint32_t>(s_[i + b + 1]) : 0)))
                on_word_start(i + b);
            if (settled()) return false;
            events &= events - 1;
        }
        return true;
    }

    // One block of 16 characters at i: word starts and trigger characters come out of byte
    // compares, so the walk visits only the positions where something can start. In a block
    // holding characters above 0x7F, those characters are classed one by one (they open no
    // punctuation trigger, and a word starting with one is always tried). False when the scan
    // is settled.
    bool walk_block(size_t i, const BlockSetup& setup) {
        simd::Bytes x;
        uint32_t high = 0;  // lanes holding a character above 0x7F
        if (!simd::load_ascii(s_ + i, x)) {
            x = simd::load_clamped(s_ + i);
            high = simd::mask(x);
        }
        uint32_t word_bits = simd::ascii_word_mask(x);
        for (uint32_t h = high; h; h &= h - 1) {
            const size_t b = simd::first(h);
            const uint32_t c = static_cast<uint32_t>(s_[i + b]);
            if (c < 256 ? (scan_.char_class_[c] & 1) : regex::is_word(c)) word_bits |= 1u << b;
        }
        const uint32_t punct_bits =
            (setup.few_punct ? simd::any_of(x, setup.punct_chars, setup.n_punct)
                             : ~(word_bits | simd::any_of(x, setup.quiet, setup.n_quiet))) &
            ~high & 0xFFFFu;
        const uint32_t start_bits = word_bits & ~((word_bits << 1) | (prev_word_ ? 1u : 0u));
        prev_word_ = (word_bits >> 15) & 1;
        return on_events(i, start_bits, punct_bits);
    }

    // Per block of 32 characters marked by the prefilter: the word starts it lets through, the
    // trigger characters.
    struct Marks {
        uint32_t starts, punct;
    };
    static constexpr size_t kMarkedBlocks = 32;

    // Marks the blocks of 32 characters from i on with the literal prefilter, while a block is
    // ASCII (a wider character may match an ASCII letter) and at most `limit` blocks; how many it
    // marked. `prev_word` says whether the character before i is a word character, and is
    // updated. A word starting at a block's last character is sorted out by its first character
    // alone.
    TRANSMUTE_SIMD_WIDE static size_t mark_blocks(const C* s, size_t n, size_t i,
                                                  const TriggerScan::FilterTables& pf, bool two,
                                                  bool& prev_word, Marks* marks, size_t limit) {
        const simd::Wide lo0 = simd::wide_table(pf.lo[0]), hi0 = simd::wide_table(pf.hi[0]);
        const simd::Wide lo1 = simd::wide_table(pf.lo[1]), hi1 = simd::wide_table(pf.hi[1]);
        const simd::Wide punct0 = simd::wide_splat(pf.punct[0]), punct1 = simd::wide_splat(pf.punct[1]);
        const simd::Wide case_bit = simd::wide_splat(0x20);
        constexpr uint32_t kLast = 1u << (simd::kWideLanes - 1);
        uint32_t prev = prev_word ? 1u : 0u;
        size_t k = 0;
        for (; k < limit && i + simd::kWideLanes <= n; ++k, i += simd::kWideLanes) {
            simd::Wide x;
            if (!simd::load_ascii(s + i, x)) break;
            const uint32_t word_bits = simd::ascii_word_mask(x);
            const uint32_t starts = word_bits & ~((word_bits << 1) | prev);
            prev = word_bits >> (simd::kWideLanes - 1);
            const simd::Wide fx = x | case_bit;
            const simd::Wide hit =
                simd::lookup16(lo0, simd::low_nibbles(fx)) & simd::lookup16(hi0, simd::high_nibbles(fx));
            uint32_t pass = ~simd::zero_mask(hit);
            if (two) {
                const simd::Wide fy = simd::next_lanes(fx);
                const simd::Wide both = hit & simd::lookup16(lo1, simd::low_nibbles(fy)) &
                                        simd::lookup16(hi1, simd::high_nibbles(fy));
                pass = ~simd::zero_mask(both) | (pass & kLast);
            }
            marks[k].starts = starts & pass;
            marks[k].punct = simd::mask((x == punct0) | (x == punct1));
        }
        prev_word = prev != 0;
        return k;
    }

    // The prefilter's tables for the patterns not yet settled.
    void refresh_filter(TriggerScan::FilterTables& tables) const {
        const TriggerScan::Prefilter& pf = scan_.prefilter_;
        uint64_t open_heads = 0;
        uint32_t open_punct = 0;
        for (size_t ti = 0; ti < scan_.triggers_.size(); ++ti) {
            if (done(scan_.triggers_[ti].pattern)) continue;
            if (pf.head_of[ti] >= 0) open_heads |= uint64_t{1} << pf.head_of[ti];
            if (pf.punct_of[ti] >= 0) open_punct |= 1u << pf.punct_of[ti];
        }
        pf.fill(open_heads, open_punct, tables);
    }

    // The walk over blocks of 16 characters; false when the scan is settled. With the literal
    // prefilter, runs of ASCII blocks of 32 are marked first and their events handled after; a
    // block the prefilter cannot take goes the general way.
    bool walk_blocks(size_t& i) {
        const BlockSetup setup = block_setup();
        const TriggerScan::Prefilter& pf = scan_.prefilter_;
        if (pf.enabled) {
            Marks marks[kMarkedBlocks];
            TriggerScan::FilterTables tables = pf.all;
            while (i + simd::kWideLanes <= n_) {
                if (settled_since_filter_) {
                    refresh_filter(tables);
                    settled_since_filter_ = false;
                }
                const size_t marked =
                    mark_blocks(s_, n_, i, tables, pf.width == 2, prev_word_, marks, kMarkedBlocks);
                for (size_t k = 0; k < marked; ++k, i += simd::kWideLanes)
                    if ((marks[k].starts | marks[k].punct) != 0 &&
                        !on_events(i, marks[k].starts, marks[k].punct))
                        return false;
                if (marked == kMarkedBlocks || i + simd::kWideLanes > n_) continue;
                for (size_t half = 0; half < simd::kWideLanes; half += simd::kLanes)
                    if (!walk_block(i + half, setup)) return false;
                i += simd::kWideLanes;
            }
        }
        for (; i + simd::kLanes <= n_; i += simd::kLanes)
            if (!walk_block(i, setup)) return false;
        return true;
    }

    const TriggerScan& scan_;
    Workspace<C>& ws_;
    const C* s_;
    size_t n_;
    ScanResult& result_;
    bool partial_;
    size_t budget_;          // characters the anchored runs of one pattern may look at
    size_t open_ = 0;        // presence patterns still to settle
    bool prev_word_ = false;  // the walk's previous character was a word character
    bool settled_since_filter_ = false;  // a presence pattern settled since the prefilter's tables
    size_t run_from_ = SIZE_MAX, run_to_ = 0;  // the run of white space white_end() read last
    size_t packed_pos_ = SIZE_MAX;             // where packed_at() packed last: as is, folded
    uint32_t packed_[2] = {0, 0};
};

template <class C>
void TriggerScan::run(const C* s, size_t n, ScanResult& result, bool partial) const {
    std::unique_ptr<Workspace<C>> ws = workspaces_->take<C>();
    ScanCall<C>(*this, *ws, s, n, result, partial).run();
    workspaces_->give_back(std::move(ws));
    if (!result.want_first && !partial) {
        for (const auto& [presence, counted] : twins_)
            if (result.counts[counted] > 0) result.found[presence] = true;
    }
}

template void TriggerScan::run<Py_UCS1>(const Py_UCS1*, size_t, ScanResult&, bool) const;
template void TriggerScan::run<Py_UCS2>(const Py_UCS2*, size_t, ScanResult&, bool) const;
template void TriggerScan::run<Py_UCS4>(const Py_UCS4*, size_t, ScanResult&, bool) const;

}  // namespace transmute::scan
