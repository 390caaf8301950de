// Multi-pattern scan: one walk over the words of a text finds, for every pattern, the positions
// where a match could start, and the engine confirms (or counts) matches there. Tested in
// tests/test_scan.py and through the modules' differential tests.
//
// Triggers are derived from each pattern's syntax tree (derive.cpp): an alternative that opens
// with "\b" and literal word characters can only match at the start of a word whose first
// characters equal those literals (case-folded under IGNORECASE); an alternative that opens with
// a literal punctuation character can only match where that character stands. A pattern with any
// other alternative has no trigger and is searched (or counted) by the engine on its own.
// Triggers only choose where to look; every answer comes from the engine, so a trigger that is
// too permissive costs time, never correctness.
//
// Time: the matchers of the engine answer anchored runs in time linear in the text together,
// except for the Pike VM, whose runs may each look far ahead. The scan keeps count of how far
// its anchored runs have looked for each pattern; past a budget proportional to the text it hands
// that pattern to the engine's own search from the current candidate, which is exact because no
// earlier candidate matched (or, when counting, every earlier match has been counted), and
// which settles patterns with dense candidates faster than one run per candidate.
#pragma once

#include "../regex/regex.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace transmute::scan {

// Where a candidate starts, relative to the position that raised it.
enum class Back : uint8_t {
    none,       // at the trigger itself
    word_char,  // "\wP": one word character before the punctuation
    word,       // "\b\w+\s+LIT": the start of the word before the white space in front of LIT
    literal,    // "LIT\s+P": the start of `back_literal` before the white space in front of P
    line,       // "^\s*WORD" (MULTILINE): the first line start in the white space before WORD
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
    // Back::literal: the white space between it and the trigger; Back::line: the white space
    // (any char of \s) between the line start and the word.
    Space back_space = Space::none;
    // Line triggers: what the first character after the line's leading white space must open,
    // as word prefixes (`heads`) or punctuation (`head_punct`); no requirement when both are empty.
    std::vector<std::u32string> heads;
    std::u32string head_punct;
    // Punctuation and word triggers without a word or punctuation to follow: the set the
    // character right after the trigger's literal must be in (ASCII bits; `next_wide`: any char
    // above 0x7F may do). No requirement when `has_next` is false.
    bool has_next = false;
    bool next_wide = false;
    uint64_t next_ascii[2] = {0, 0};
    bool fold = false;      // compare letters case-insensitively
    uint32_t pattern = 0;   // index of the pattern it serves
    const regex::Node* branch = nullptr;  // the top-level alternative it stands for
    // The first (up to) four characters of a folded prefix, one byte each, for a quick test.
    uint32_t head = 0;
    uint32_t head_mask = 0;
    // `follow_heads` and `heads` the same way, one {bytes, mask} pair per word (ASCII characters
    // only: a wider one is left to the full compare), so that most words are turned away by one
    // compare (see pack_heads).
    std::vector<std::pair<uint32_t, uint32_t>> follow_packed;
    std::vector<std::pair<uint32_t, uint32_t>> heads_packed;
};

// The quick-test form of word prefixes: up to four ASCII characters, one byte each.
std::vector<std::pair<uint32_t, uint32_t>> pack_heads(const std::vector<std::u32string>& heads);

// Derives the triggers of a compiled pattern from its syntax tree (derive.cpp); false when some
// alternative has none.
bool derive_triggers(const regex::Program& prog, uint32_t pattern, std::vector<Trigger>& out);

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
    // `programs[i]` is the compiled pattern i, searched in `modes[i]`; its triggers come from its
    // syntax tree. With `gates`, each trigger also gets a gate (below), which costs a forward
    // search per literal and call and spares the anchored runs at candidates whose alternative's
    // literals are missing further on. `twins` pairs a presence pattern with a counted pattern
    // of the same source and flags: the count answers it (a match exists when one is counted).
    static std::unique_ptr<TriggerScan> build(std::vector<regex::ProgramPtr> programs,
                                              std::vector<Mode> modes, bool gates = true,
                                              std::vector<std::pair<uint32_t, uint32_t>> twins = {});

    size_t size() const { return programs_.size(); }
    // Patterns without triggers, which the engine searches on their own over the whole text.
    const std::vector<uint32_t>& untriggered() const { return untriggered_; }

    // Scans s[0..n). When `n` is only a prefix of the text (`partial`), a match counts only if
    // finding it never looked at the prefix's end, so what is found holds for the whole text;
    // count patterns are not supported then. Patterns already marked found are not looked for.
    // Instantiated for the three PEP 393 widths (scan_call.cpp).
    template <class C>
    void run(const C* s, size_t n, ScanResult& result, bool partial = false) const;

    ~TriggerScan();

private:
    TriggerScan();
    template <class C>
    friend class ScanCall;
    // What one call needs beyond the tables (matchers, gate positions), kept between calls.
    struct Workspaces;
    std::unique_ptr<Workspaces> workspaces_;

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
        int32_t dispatch = -1;         // index into dispatches_, or -1
    };
    std::vector<Group> groups_;
    // A large group's triggers sorted out by the character after their literal: most triggers of
    // a common word ("create") ask for a particular word after it, so at one occurrence only the
    // few whose follow can open with the character there are tried. Bit k stands for the group's
    // k-th trigger; a set bit only means the trigger is tried, so any doubt sets it.
    struct Dispatch {
        uint64_t always = 0;  // triggers with no test on the next character
        struct Slot {         // triggers with one prefix length and one kind of test
            uint32_t len = 0;
            Space space = Space::none;  // white space skipped before the character tested
            uint64_t members = 0;
            std::array<uint64_t, 128> by_char{};  // per raw ASCII char there: triggers it allows
        };
        std::vector<Slot> slots;
    };
    std::vector<Dispatch> dispatches_;
    // Builds the dispatch of `group` (its triggers already in bucket_ids_) when it is large
    // enough to pay.
    void add_dispatch(Group& group);
    // Line triggers by the folded first character after the line's white space (ASCII; 128:
    // anything else). Triggers without a head requirement stand in every list.
    std::array<std::vector<uint32_t>, 129> line_by_head_;
    std::vector<uint32_t> punct_triggers_;
    std::array<std::vector<uint32_t>, 128> punct_by_char_;  // punctuation triggers by character
    // Per punctuation character: which of its triggers (bit k: the k-th of punct_by_char_) the
    // character right after it lets through (its tail, the set of its next character, or white
    // space and what its follow opens with), by that character: ASCII, any char above 0x7F, or
    // the end of the text. Most occurrences are passed over with one test and the others try only
    // the triggers that may hold; any doubt sets the bit. A character with more than 64 triggers
    // tries them all wherever one may hold.
    // For triggers whose candidate is the punctuation itself, the bits also say what their gates
    // allow: the pair of characters a match starts with, and (`third_*`) the character after
    // next. Other triggers have every third bit set.
    struct PunctNext {
        std::array<uint64_t, 128> ascii{};
        uint64_t wide = 0;
        uint64_t end = 0;
        std::array<uint64_t, 128> third_ascii{};
        uint64_t third_wide = 0;
        uint64_t third_end = 0;
        bool all = false;
    };
    std::vector<PunctNext> punct_next_;
    std::array<int16_t, 128> punct_next_of_;  // index into punct_next_; -1: no triggers there
    // Builds punct_next_ for character c from its triggers in punct_by_char_ (in their order).
    void add_punct_next(uint32_t c);
    std::vector<uint32_t> line_triggers_;
    std::vector<uint32_t> untriggered_;  // patterns the engine handles on its own
    // Presence patterns answered by a counted twin (presence, count), and per pattern whether it
    // is one of them. A call that wants where a match starts, or that sees only a prefix, has
    // the engine search them instead.
    std::vector<std::pair<uint32_t, uint32_t>> twins_;
    std::vector<bool> has_twin_;
    // The walk's literal prefilter: with few word triggers, two trigger characters or fewer and
    // no line triggers, the walk visits only the word starts whose first `width` characters may
    // open a word trigger's prefix (and the trigger characters), sorted out 32 at a time by
    // nibble lookups. Each distinct head (the first `width` characters of a prefix, with bit
    // 0x20 set as the text's characters get it, so that letter case does not count) goes to one
    // of eight buckets; lo[j] and hi[j] give per low and high nibble the buckets whose heads
    // may have that character at place j. A head of a bucket with several heads lets through
    // the mixtures of their nibbles too: the prefilter only narrows, and every word start it
    // lets through is tested as before. A call leaves out the heads and characters of patterns
    // it has settled.
    struct FilterTables {
        uint8_t lo[2][16] = {};
        uint8_t hi[2][16] = {};
        uint8_t punct[2] = {0x80, 0x80};  // the trigger characters (0x80, which ASCII lacks: none)
    };
    struct Prefilter {
        bool enabled = false;
        size_t width = 0;  // 1 or 2
        FilterTables all;  // every head and trigger character
        uint8_t chars[2] = {0x80, 0x80};  // the trigger characters
        std::vector<std::array<uint8_t, 2>> heads;  // distinct, sorted
        std::vector<int8_t> head_of;   // per trigger: its head, or -1
        std::vector<int8_t> punct_of;  // per trigger: its place in punct, or -1
        // The tables of the heads and trigger characters whose bits are set.
        void fill(uint64_t open_heads, uint32_t open_punct, FilterTables& out) const;
    };
    Prefilter prefilter_;
    void build_prefilter();
    // A trigger's gate: its alternative alone, compiled for what every match of it holds: the
    // literals it contains (past the last occurrence of one, the trigger can raise no match)
    // and the characters it can start with (a pair, then a third).
    struct Gate {
        regex::ProgramPtr program;
        std::vector<uint64_t> pairs;  // bit a*256+b: a match can start with bytes a, b; empty: any
        bool has_third = false;       // every match is three chars long or more, and
        uint64_t third[4] = {};       // its third char, when below 256, is one of these bytes
        std::vector<uint32_t> literals;  // indices into gate_literals_
    };
    std::vector<Gate> gates_;
    // Compiles the gate of one alternative of `whole`; its index in gates_, or -1 when it has none.
    int add_gate(const regex::ProgramPtr& whole, const regex::Node& alternative);
    std::vector<int> gate_of_;  // per trigger: index into gates_, or -1
    // Distinct gate literals: a gate program and the index of one of its required literals.
    std::vector<std::pair<const regex::Program*, size_t>> gate_literals_;
    // While building: the slots of gate_literals_ by the hash of their literal.
    std::unordered_map<uint64_t, std::vector<uint32_t>> gate_literal_slots_;
    uint8_t char_class_[256] = {};       // bit 0: word character, bit 1: punctuation trigger
    // Whether a word trigger may open with the chars a, b (a below 128): bit a * 256 + b for b
    // below 256 (the words' buckets, as a table on the raw chars); wider chars b always may.
    std::vector<uint64_t> word_pairs_;
    bool may_open_word(uint32_t a, uint32_t b) const {
        if (b >= 256) return true;
        const uint32_t bit = a * 256 + b;
        return (word_pairs_[bit >> 6] >> (bit & 63)) & 1;
    }
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

}  // namespace detail

}  // namespace transmute::scan
