// Parses pattern source text into a small syntax tree, following the host re parser for the
// supported subset and refusing everything else with a reason. Tested in tests/test_engine.py.
#pragma once

#include "charset.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace transmute::regex {

inline constexpr int kFlagIgnoreCase = 2;
inline constexpr int kFlagMultiline = 8;
inline constexpr int kFlagDotAll = 16;
inline constexpr int kFlagUnicode = 32;
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
    uint32_t set = 0;                         // kChar: index into Ast::sets
    uint32_t min = 0, max = 0;                // kRepeat
    bool greedy = true;                       // kRepeat
    AssertKind assertion{};                   // kAssert
    bool behind = false, negate = false;      // kLook
    std::vector<std::unique_ptr<Node>> kids;  // kConcat, kAlt, kRepeat (one), kLook (one)
};

struct Ast {
    std::unique_ptr<Node> root;
    std::vector<CharSet> sets;
    int flags = 0;
};

// Returns false with `error` set for syntax outside the supported subset (or invalid syntax).
bool parse(const std::u32string& source, int flags, Ast& out, std::string& error);

// Width bounds of a subtree, as sre's getwidth computes them (lookarounds count zero).
// max is kUnbounded when unbounded.
void node_width(const Node& n, uint64_t& lo, uint64_t& hi);

}  // namespace transmute::regex
