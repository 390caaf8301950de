// Character predicates with the host re's Unicode rules (categories, IGNORECASE folding and
// extra case variants). Tested in tests/test_engine.py (exhaustive alphabet and class cases).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "chars.hpp"
#include "refusal.hpp"
#include "syntax.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace transmute::regex {

enum Category : uint8_t {
    kCatDigit = 1,
    kCatNotDigit = 2,
    kCatSpace = 4,
    kCatNotSpace = 8,
    kCatWord = 16,
    kCatNotWord = 32,
};

// One element of a parsed class: a literal, a range or a category (\d \s \w and negations).
struct ClassItem {
    enum Kind : uint8_t { kLiteral, kRange, kCategory } kind;
    uint32_t lo;
    uint32_t hi;  // kRange: inclusive; kCategory: unused
};

// A compiled single-character test. Chars below 256 hit a bitmap holding the final answer;
// wider chars run the general rule: optionally lowercase the char (sre's *_UNI_IGNORE opcodes),
// test the sorted ranges and the categories, then apply negation.
class CharSet {
public:
    bool test(uint32_t c) const {
        if (c < 256) return (low_[c >> 6] >> (c & 63)) & 1;
        return slow(c);
    }
    bool slow(uint32_t c) const;

    // Byte values (< 256) the set accepts, and how many.
    int byte_count() const;
    const uint64_t* low_bits() const { return low_; }
    // True when no char >= 256 is accepted (lets wide scans use the bitmap alone).
    bool narrow_only() const { return narrow_only_; }
    // Single-char set accepting exactly `c` (no folding).
    bool is_single() const { return single_; }
    uint32_t single() const { return ranges().empty() ? 0 : ranges()[0].first; }

    // Whether every char the set accepts is white space (only_space), and whether every one is
    // a word char (only_word). Sets that lower the char first (IGNORECASE) are told apart too
    // with `lowered`; CharFacts leaves them out.
    void only_classes(bool lowered, bool& only_space, bool& only_word) const;
    // What the set accepts, for callers that reason about text (see CharFacts).
    CharFacts facts() const;

    // Whether `other` accepts exactly the same chars by the same rule.
    bool same_as(const CharSet& other) const {
        return categories_ == other.categories_ && negate_ == other.negate_ && lower_first_ == other.lower_first_ &&
               (ranges_ == other.ranges_ || ranges() == other.ranges());
    }

    // Builders. All return false with `why` set when the case is not supported.
    static CharSet literal(uint32_t c, bool negate, bool ignorecase);
    static CharSet any(bool dotall);
    static bool from_class(const std::vector<ClassItem>& items, bool negate, bool ignorecase,
                           CharSet& out, Refusal& why);

private:
    using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;

    static CharSet build_literal(uint32_t c, bool negate, bool ignorecase);
    // Sorts and merges `ranges`, keeps them, and works out the bitmap and the flags.
    void finish(Ranges ranges);
    // Whether the sorted ranges hold x (the char, lowered first when the set says so).
    bool slow_in_ranges(uint32_t x) const;
    const Ranges& ranges() const;

    // Sorted, merged, inclusive; shared once finished, so that copying a set (every part of a
    // pattern compiled on its own copies all of the pattern's sets) allocates nothing.
    std::shared_ptr<const Ranges> ranges_;
    uint8_t categories_ = 0;
    bool negate_ = false;
    bool lower_first_ = false;
    bool single_ = false;
    bool narrow_only_ = false;
    uint64_t low_[4] = {0, 0, 0, 0};
};

}  // namespace transmute::regex
