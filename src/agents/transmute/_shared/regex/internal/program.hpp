// Compiles a syntax tree into Pike-VM instruction lists (one ordered by match priority for
// spans, one with counted gaps for existence) plus the literal prefilter facts.
// Tested in tests/test_engine.py.
#pragma once

#include "../regex.hpp"
#include "parse.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace transmute::regex {

enum class Op : uint8_t {
    kChar,    // consume one char in sets[arg]; continue at x
    kSplit,   // try x first, then y
    kJump,    // continue at x
    kAssert,  // zero-width test AssertKind(arg); continue at x
    kLook,    // lookaround looks[arg] must hold; continue at x
    kGap,     // up to `count` chars of sets[arg] (counted, existence programs only); exit at x
    kMatch,
    kFail,
};

struct Inst {
    Op op;
    uint32_t arg = 0;
    uint32_t x = 0;
    uint32_t y = 0;
    uint32_t count = 0;
};

struct Code {
    std::vector<Inst> insts;
    uint32_t start = 0;
};

struct Look {
    bool behind = false;
    bool negate = false;
    uint32_t width = 0;  // look-behind: fixed width
    Code code;           // anchored body program (existence form)
};

// Required literal, as one char set per position (case variants folded in).
struct Literal {
    std::vector<uint32_t> sets;  // indices into Program::sets
    uint32_t anchor = 0;         // position scanned for first (rarest byte set)
    uint8_t anchor_bytes[4] = {0, 0, 0, 0};
    int anchor_nbytes = 0;       // 1..3 byte values the anchor accepts, 0 when unusable for bytes
    // A second position tested beside the anchor (the next rarest), so that a scan stops only
    // where both agree; partner_nbytes 0: none.
    uint32_t partner = 0;
    uint8_t partner_bytes[4] = {0, 0, 0, 0};
    int partner_nbytes = 0;
    bool empty() const { return sets.empty(); }
};

// The chars a continuation can open with, for the backtrackers to pass over the ways back into
// it (a loop's exits) that the text rules out at once.
struct OpenFilter {
    uint64_t low[4] = {0, 0, 0, 0};  // chars below 256
    bool wide = false;               // some char from 256 up may open it
    // Of the sets that accept chars from 256 up: whether each accepts only white space, and
    // whether each accepts only word chars (no char is both).
    bool wide_space = true;
    bool wide_word = true;
    void add(const CharSet& set);
    // Whether no char opens both.
    bool disjoint(const OpenFilter& other) const;
    bool test(uint32_t c) const { return c < 256 ? (low[c >> 6] >> (c & 63)) & 1 : wide; }
};

// How a split of a one-pass program is taken.
struct OnePassSplit {
    enum Kind : uint8_t {
        none,    // not a split
        walk,    // a greedy loop over one set: walk its run to the end, then go on to y
        choose,  // x when the char opens x, y when it opens y (the two share no char)
    };
    Kind kind = none;
    // choose: the chars below 256 each way opens with, and the sets (indices into
    // Program::sets) that decide a wider char.
    uint64_t x_low[4] = {0, 0, 0, 0};
    uint64_t y_low[4] = {0, 0, 0, 0};
    std::vector<uint32_t> x_sets;
    std::vector<uint32_t> y_sets;
    // Which way char c opens: 0 for x, 1 for y, -1 for neither.
    int way(uint32_t c, const std::vector<CharSet>& sets) const {
        if (c < 256) {
            if ((x_low[c >> 6] >> (c & 63)) & 1) return 0;
            return (y_low[c >> 6] >> (c & 63)) & 1 ? 1 : -1;
        }
        for (uint32_t k : x_sets)
            if (sets[k].test(c)) return 0;
        for (uint32_t k : y_sets)
            if (sets[k].test(c)) return 1;
        return -1;
    }
};

struct Program {
    std::vector<CharSet> sets;
    std::unique_ptr<Node> tree;  // the syntax tree the program was compiled from
    int flags = 0;
    Code spans;       // priority-ordered, counted repeats unrolled
    Code exists;      // may use kGap; same as spans when there is nothing to count
    std::vector<Look> looks;
    // Prefilter facts.
    Literal prefix;     // every match starts with it (after zero-width items)
    Literal required;   // every match contains it (the rarest such literal)
    std::vector<Literal> also_required;  // further literals every match contains
    bool has_gaps = false;  // `exists` counts gaps that `spans` unrolls
    bool can_be_empty = true;
    uint64_t max_width = kUnbounded;  // the longest match, or kUnbounded
    uint32_t spans_splits = 0;        // branch points of `spans`
    // Per instruction of `spans` that a split goes on to second: what it opens with, or -1
    // (index into open_filters) when it may match the empty string.
    std::vector<int32_t> open_filter_of;
    std::vector<OpenFilter> open_filters;
    // Per split that is a greedy loop over one set: 1 when what follows the loop cannot open
    // with any char of the set, so of the loop's exits only the last one (where the run of the
    // set ends) can lead to a match.
    std::vector<uint8_t> last_exit_only;
    // One-pass programs: at every split the text allows at most one way on (see one_pass_run),
    // so a run needs neither a stack nor a memory of failures.
    bool one_pass = false;
    std::vector<OnePassSplit> one_pass_splits;  // per instruction of `spans`
    bool has_first = false;         // the first char of every match is in `first`
    uint64_t first_low[4] = {0, 0, 0, 0};
    std::vector<uint32_t> first_sets;  // for chars >= 256
    bool anchored_start = false;    // every match starts at the beginning of the text (\A, ^)
    // Pairs of bytes (first char, second char) a match can start with; bit a*256+b. Used when
    // every match is at least two chars long and the table is sparse.
    std::vector<uint64_t> pairs;
    bool has_pairs() const { return !pairs.empty(); }
    bool pair_ok(uint32_t a, uint32_t b) const {
        const uint32_t k = a * 256 + b;
        return (pairs[k >> 6] >> (k & 63)) & 1;
    }
};

// Builds a program; false with `why` set for unsupported input.
bool build_program(Ast& ast, Program& out, Refusal& why);

}  // namespace transmute::regex
