// The syntax tree of a pattern, as the parser builds it and the compiler reads it; callers of
// the engine may read a program's tree (regex::syntax) to derive facts of their own, such as the
// scan's triggers. Tested in tests/test_engine.py and tests/test_scan.py.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace transmute::regex {

inline constexpr uint32_t kUnbounded = UINT32_MAX;

enum class AssertKind : uint8_t {
    kBeginLine,    // ^ with MULTILINE
    kBeginText,    // ^ without MULTILINE, \A
    kEndLine,      // $ with MULTILINE
    kEndTextOrNl,  // $ without MULTILINE: at the end or before a final "\n"
    kEndText,      // \Z
    kWordBoundary,
    kNotWordBoundary,
};

struct Node {
    enum Kind : uint8_t { kEmpty, kChar, kConcat, kAlt, kRepeat, kAssert, kLook, kFail } kind;
    uint32_t set = 0;                         // kChar: index into the program's char sets
    uint32_t min = 0, max = 0;                // kRepeat (max kUnbounded: no bound)
    bool greedy = true;                       // kRepeat
    AssertKind assertion{};                   // kAssert
    bool behind = false, negate = false;      // kLook
    std::vector<std::unique_ptr<Node>> kids;  // kConcat, kAlt, kRepeat (one), kLook (one)
};

// What a char set accepts, in the terms callers reason about text with.
struct CharFacts {
    uint64_t ascii[2] = {0, 0};  // the ASCII chars it accepts
    bool wide = false;           // it accepts some char above 0x7F
    bool only_space = false;     // every char it accepts is white space (\s)
    bool all_space = false;      // it accepts every white space char (\s, and perhaps more)
    bool only_word = false;      // every char it accepts is a word char (\w)
    // When every char it accepts folds (fold_ascii) to an ASCII char: those chars, distinct, up
    // to four; nfolds is 0 otherwise.
    uint32_t folds[4] = {0, 0, 0, 0};
    int nfolds = 0;
    bool exact = false;  // it accepts one char alone, `only` (below 128)
    uint32_t only = 0;
};

}  // namespace transmute::regex
