"""Plain-Python reading of the knowledge-selection module, written with the real `re`.

The differential tests compare the native module's three functions and its logged event with
these, over the same inputs.
"""

import re

CATEGORY_PATTERNS = {
    "date_function": r"\b(?:DATEDIFF|DATEADD|GETDATE|GETUTCDATE|EOMONTH|DATEPART|DATENAME|DATETRUNC|SYSDATETIME|SYSUTCDATETIME)\b",
    "window_function": r"\b(?:ROW_NUMBER|RANK|DENSE_RANK|NTILE|LAG|LEAD|CUME_DIST|PERCENT_RANK)\s*\(",
    "null_handling": r"\b(?:ISNULL|COALESCE|NULLIF|IS\s+NULL|IS\s+NOT\s+NULL)\b",
    "string_ops": r"\b(?:LIKE|CHARINDEX|PATINDEX|STUFF|REPLACE|SUBSTRING|LEFT|RIGHT|COLLATE|CONCAT)\b",
    "cursor": r"\bCURSOR\b",
    "cte": r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\(",
    "json_ops": r"\b(?:FOR\s+JSON|OPENJSON|JSON_VALUE|JSON_QUERY|JSON_MODIFY)\b",
    "type_cast": r"\b(?:CAST|CONVERT|TRY_CAST|TRY_CONVERT|DECIMAL|NUMERIC|FLOAT)\b",
    "stored_proc": r"\b(?:CREATE\s+(?:OR\s+ALTER\s+)?PROC(?:EDURE)?|EXEC(?:UTE)?)\b",
    "merge": r"\bMERGE\b",
    "temp_table": r"#\w+|@\w+\s+TABLE",
    "join": r"\b(?:INNER|LEFT|RIGHT|FULL|CROSS)\s+(?:OUTER\s+)?JOIN\b",
    "aggregation": r"\b(?:GROUP\s+BY|HAVING|SUM|COUNT|AVG|MIN|MAX)\s*\(",
    "query": r"\bSELECT\b",
}
COMPILED = {key: re.compile(p, re.IGNORECASE) for key, p in CATEGORY_PATTERNS.items()}

MAPPING_SECTIONS = {
    "date_function": ["Date Functions"],
    "window_function": ["Window Functions"],
    "null_handling": ["NULL Semantics (CRITICAL)", "NULL Handling"],
    "string_ops": ["String Functions", "String Collation"],
    "cursor": ["Cursor Patterns"],
    "cte": ["CTE / Subqueries"],
    "json_ops": ["JSON Operations"],
    "type_cast": ["Data Type Mapping with Gotchas", "Type Casting"],
    "stored_proc": ["Stored Procedures & Functions"],
    "merge": ["Control Flow"],
    "temp_table": ["Data Structures"],
    "join": ["Joins"],
    "aggregation": ["Aggregations"],
    "query": ["Queries & Filters"],
}
GOTCHA_SECTIONS = {
    "date_function": ["1. DATEDIFF Argument Order Reversed",
                      "6. months_between Returns DOUBLE Not INT",
                      "7. date_sub with Negative Goes FORWARD"],
    "window_function": ["4. Window Frame RANGE Includes Duplicates"],
    "null_handling": ["3. NULL Ordering in ORDER BY", "10. BIT Column NULL Handling",
                      "9. COUNT(*) vs COUNT(col) with NULLs"],
    "string_ops": ["2. Case-Sensitive String Comparison"],
    "cursor": ["8. Python UDF 50-100x Slower Than Native F.xxx"],
    "type_cast": ["5. Decimal Arithmetic Precision Loss"],
}
ALWAYS_MAPPING = ["Data Type Mapping with Gotchas", "NULL Semantics (CRITICAL)"]
ALWAYS_GOTCHAS = []


def detect(sql):
    stripped = re.sub(r"--.*$", "", sql, flags=re.MULTILINE)
    stripped = re.sub(r"/\*.*?\*/", "", stripped, flags=re.DOTALL)
    return {key for key, pattern in COMPILED.items() if pattern.search(stripped)}


def extract(full_text, headers):
    if not headers or not full_text:
        return ""
    kept = []
    for piece in re.split(r"(?=^## )", full_text, flags=re.MULTILINE):
        section = piece.strip()
        if not section:
            continue
        title = section.split("\n")[0].lstrip("#").strip()
        for h in headers:
            if h.lower() in title.lower() or title.lower() in h.lower():
                kept.append(section)
                break
    return "\n\n".join(kept)


def select(categories, full_mapping, full_gotchas, full_limitations=""):
    """Returns (result dict, event fields as a list of pairs)."""
    mapping_headers = set(ALWAYS_MAPPING)
    gotcha_headers = set(ALWAYS_GOTCHAS)
    for category in categories:
        mapping_headers.update(MAPPING_SECTIONS.get(category, []))
        gotcha_headers.update(GOTCHA_SECTIONS.get(category, []))
    mapping = extract(full_mapping, mapping_headers)
    gotchas = extract(full_gotchas, gotcha_headers)
    token_estimate = len(mapping.split()) + len(gotchas.split())
    full_estimate = len(full_mapping.split()) + len(full_gotchas.split())
    reduction = round((1 - token_estimate / max(full_estimate, 1)) * 100)
    event = [("categories", sorted(categories)), ("mapping_sections", len(mapping_headers)),
             ("gotcha_sections", len(gotcha_headers)), ("token_estimate", token_estimate),
             ("full_tokens", full_estimate), ("reduction_pct", reduction)]
    return {"mapping": mapping, "gotchas": gotchas, "limitations": full_limitations}, event
