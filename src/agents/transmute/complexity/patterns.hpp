// Pattern texts of the classification tables and of the reading-plan line tests, with the flags
// they are compiled with. The module compiles them with the host's re at import; the native
// scanners compile the very objects the module bound. Tested in tests/test_classify.py.
#pragma once

#include "regex/regex.hpp"

namespace complexity {

struct PatternText {
    const char* source;
    int flags;  // host re flag bits
};

using transmute::regex::kDotAll;
using transmute::regex::kIgnoreCase;
using transmute::regex::kMultiline;

inline constexpr PatternText kComplexPatterns[] = {
    {R"(\bCURSOR\b)", kIgnoreCase},
    {R"(\bDECLARE\s+\w+\s+CURSOR\b)", kIgnoreCase},
    {R"(\bEXEC(?:UTE)?\s*\()", kIgnoreCase},
    {R"(\bsp_executesql\b)", kIgnoreCase},
    {R"(\bDYNAMIC\b)", kIgnoreCase},
    {R"(\bBEGIN\s+TRY\b)", kIgnoreCase},
    {R"(\bBEGIN\s+CATCH\b)", kIgnoreCase},
    {R"(\bMERGE\b)", kIgnoreCase},
    {R"(\bOPENXML\b)", kIgnoreCase},
    {R"(\bhierarchyid\b)", kIgnoreCase},
    {R"(\bgeography\b)", kIgnoreCase},
    {R"(\bgeometry\b)", kIgnoreCase},
    {R"(\bFOR\s+XML\b)", kIgnoreCase},
    {R"(\bOPENJSON\b)", kIgnoreCase},
    {R"(\bLINKED\s+SERVER\b)", kIgnoreCase},
};

inline constexpr const char* kCtePattern = R"(\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\()";
inline constexpr const char* kTempTablePattern = R"(#\w+)";

inline constexpr PatternText kModeratePatterns[] = {
    {kCtePattern, kIgnoreCase},
    {kTempTablePattern, kIgnoreCase},
    {R"(\bCREATE\s+TABLE\b)", kIgnoreCase},
    {R"(\bWHILE\b)", kIgnoreCase},
    {R"(\bIF\s+EXISTS\b)", kIgnoreCase},
    {R"(\bCASE\s+WHEN\b)", kIgnoreCase},
    {R"(\bOVER\s*\()", kIgnoreCase},
    {R"(\bPIVOT\b)", kIgnoreCase},
    {R"(\bUNPIVOT\b)", kIgnoreCase},
};

inline constexpr PatternText kStoredProcPattern = {
    R"(\bCREATE\s+(?:OR\s+ALTER\s+)?PROC(?:EDURE)?\b)", kIgnoreCase};

inline constexpr PatternText kCommentPatterns[] = {
    {R"(--.*$)", kMultiline},
    {R"(/\*.*?\*/)", kDotAll},
};

inline constexpr PatternText kSectionDelimiters[] = {
    {R"(^\s*GO\s*$)", kIgnoreCase | kMultiline},
    {R"(^\s*CREATE\s+(?:OR\s+ALTER\s+)?(?:PROC|PROCEDURE|FUNCTION|VIEW|TRIGGER)\b)", kIgnoreCase | kMultiline},
    {R"(^--\s*={3,})", kMultiline},
    {R"(^--\s*-{3,})", kMultiline},
    {R"(^--\s*Section\s+\d)", kIgnoreCase | kMultiline},
};

// Line tests of the reading plan, matched against each stripped line with re.match.
inline constexpr const char* kGoLinePattern = R"(^GO\s*$)";
inline constexpr const char* kDefinitionLinePattern =
    R"(^CREATE\s+(?:OR\s+ALTER\s+)?(?:PROC|PROCEDURE|FUNCTION)\b)";

}  // namespace complexity
