// The category patterns and the knowledge selection tables, as the module binds them at import.
// Tested in tests/test_lorepick_detect.py and tests/test_lorepick_select.py.
#pragma once

namespace lorepick {

struct CategoryPattern {
    const char* category;
    const char* source;  // compiled with re.IGNORECASE and nothing else
};

inline constexpr CategoryPattern kCategoryPatterns[] = {
    {"date_function",
     R"(\b(?:DATEDIFF|DATEADD|GETDATE|GETUTCDATE|EOMONTH|DATEPART|DATENAME|DATETRUNC|SYSDATETIME|SYSUTCDATETIME)\b)"},
    {"window_function", R"(\b(?:ROW_NUMBER|RANK|DENSE_RANK|NTILE|LAG|LEAD|CUME_DIST|PERCENT_RANK)\s*\()"},
    {"null_handling", R"(\b(?:ISNULL|COALESCE|NULLIF|IS\s+NULL|IS\s+NOT\s+NULL)\b)"},
    {"string_ops", R"(\b(?:LIKE|CHARINDEX|PATINDEX|STUFF|REPLACE|SUBSTRING|LEFT|RIGHT|COLLATE|CONCAT)\b)"},
    {"cursor", R"(\bCURSOR\b)"},
    {"cte", R"(\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\()"},
    {"json_ops", R"(\b(?:FOR\s+JSON|OPENJSON|JSON_VALUE|JSON_QUERY|JSON_MODIFY)\b)"},
    {"type_cast", R"(\b(?:CAST|CONVERT|TRY_CAST|TRY_CONVERT|DECIMAL|NUMERIC|FLOAT)\b)"},
    {"stored_proc", R"(\b(?:CREATE\s+(?:OR\s+ALTER\s+)?PROC(?:EDURE)?|EXEC(?:UTE)?)\b)"},
    {"merge", R"(\bMERGE\b)"},
    {"temp_table", R"(#\w+|@\w+\s+TABLE)"},
    {"join", R"(\b(?:INNER|LEFT|RIGHT|FULL|CROSS)\s+(?:OUTER\s+)?JOIN\b)"},
    {"aggregation", R"(\b(?:GROUP\s+BY|HAVING|SUM|COUNT|AVG|MIN|MAX)\s*\()"},
    {"query", R"(\bSELECT\b)"},
};

// Comment removal, handed to re.sub as text on each call: line comments first, then blocks.
inline constexpr const char* kLineCommentPattern = R"(--.*$)";
inline constexpr const char* kBlockCommentPattern = R"(/\*.*?\*/)";
// A zero-width cut before every line that starts with "## " (with re.MULTILINE).
inline constexpr const char* kSectionSplitPattern = R"((?=^## ))";

// Wanted section titles per category; each list ends with nullptr.
struct SectionTitles {
    const char* category;
    const char* titles[4];
};

inline constexpr SectionTitles kMappingSections[] = {
    {"date_function", {"Date Functions", nullptr}},
    {"window_function", {"Window Functions", nullptr}},
    {"null_handling", {"NULL Semantics (CRITICAL)", "NULL Handling", nullptr}},
    {"string_ops", {"String Functions", "String Collation", nullptr}},
    {"cursor", {"Cursor Patterns", nullptr}},
    {"cte", {"CTE / Subqueries", nullptr}},
    {"json_ops", {"JSON Operations", nullptr}},
    {"type_cast", {"Data Type Mapping with Gotchas", "Type Casting", nullptr}},
    {"stored_proc", {"Stored Procedures & Functions", nullptr}},
    {"merge", {"Control Flow", nullptr}},
    {"temp_table", {"Data Structures", nullptr}},
    {"join", {"Joins", nullptr}},
    {"aggregation", {"Aggregations", nullptr}},
    {"query", {"Queries & Filters", nullptr}},
};

inline constexpr SectionTitles kGotchaSections[] = {
    {"date_function",
     {"1. DATEDIFF Argument Order Reversed", "6. months_between Returns DOUBLE Not INT",
      "7. date_sub with Negative Goes FORWARD", nullptr}},
    {"window_function", {"4. Window Frame RANGE Includes Duplicates", nullptr}},
    {"null_handling",
     {"3. NULL Ordering in ORDER BY", "10. BIT Column NULL Handling",
      "9. COUNT(*) vs COUNT(col) with NULLs", nullptr}},
    {"string_ops", {"2. Case-Sensitive String Comparison", nullptr}},
    {"cursor", {"8. Python UDF 50-100x Slower Than Native F.xxx", nullptr}},
    {"type_cast", {"5. Decimal Arithmetic Precision Loss", nullptr}},
};

inline constexpr const char* kAlwaysIncludeMapping[] = {"Data Type Mapping with Gotchas",
                                                         "NULL Semantics (CRITICAL)", nullptr};
inline constexpr const char* kAlwaysIncludeGotchas[] = {nullptr};

}  // namespace lorepick
