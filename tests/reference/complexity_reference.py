"""Plain-Python reading of the complexity module, written with the real `re`.

The differential tests compare the native module with this, field by field.
"""

import re
from dataclasses import dataclass

COMPLEX = [
    r"\bCURSOR\b", r"\bDECLARE\s+\w+\s+CURSOR\b", r"\bEXEC(?:UTE)?\s*\(", r"\bsp_executesql\b",
    r"\bDYNAMIC\b", r"\bBEGIN\s+TRY\b", r"\bBEGIN\s+CATCH\b", r"\bMERGE\b", r"\bOPENXML\b",
    r"\bhierarchyid\b", r"\bgeography\b", r"\bgeometry\b", r"\bFOR\s+XML\b", r"\bOPENJSON\b",
    r"\bLINKED\s+SERVER\b",
]
CTE = r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\("
MODERATE = [
    CTE, r"#\w+", r"\bCREATE\s+TABLE\b", r"\bWHILE\b", r"\bIF\s+EXISTS\b", r"\bCASE\s+WHEN\b",
    r"\bOVER\s*\(", r"\bPIVOT\b", r"\bUNPIVOT\b",
]
STORED_PROC = r"\bCREATE\s+(?:OR\s+ALTER\s+)?PROC(?:EDURE)?\b"

COMPLEX_RE = [re.compile(p, re.IGNORECASE) for p in COMPLEX]
MODERATE_RE = [re.compile(p, re.IGNORECASE) for p in MODERATE]
STORED_PROC_RE = re.compile(STORED_PROC, re.IGNORECASE)
COMMENT_RE = [re.compile(r"--.*$", re.MULTILINE), re.compile(r"/\*.*?\*/", re.DOTALL)]


@dataclass(frozen=True)
class Classified:
    complexity: str
    effective_lines: int
    stored_proc_count: int
    complex_construct_count: int
    moderate_construct_count: int
    temp_table_count: int
    cte_count: int


def classify(sql: str) -> Classified:
    stripped = sql
    for pattern in COMMENT_RE:
        stripped = pattern.sub("", stripped)
    lines = [line.strip() for line in stripped.splitlines()]
    effective = sum(1 for line in lines if line)
    complex_count = sum(1 for p in COMPLEX_RE if p.search(stripped))
    moderate_count = sum(1 for p in MODERATE_RE if p.search(stripped))
    procs = len(STORED_PROC_RE.findall(stripped))
    temps = len(re.findall(r"#\w+", stripped))
    ctes = len(re.findall(CTE, stripped, re.IGNORECASE))
    if complex_count > 0 or effective > 300 or procs > 1:
        level = "complex"
    elif moderate_count > 2 or effective > 50 or procs == 1:
        level = "moderate"
    else:
        level = "simple"
    return Classified(level, effective, procs, complex_count, moderate_count, temps, ctes)


def analysis_turns(effective_lines, complex_count):
    return min(3 + min(effective_lines // 300, 3) + min(complex_count, 2), 8)


def conversion_turns(effective_lines, complex_count, procs):
    total = 5 + (effective_lines // 100) * 2 + complex_count * 2 + (3 if procs > 0 else 0) + 4
    return min(total, 40)


GO_LINE = r"^GO\s*$"
DEFINITION_LINE = r"^CREATE\s+(?:OR\s+ALTER\s+)?(?:PROC|PROCEDURE|FUNCTION)\b"


def plan(text: str):
    """The reading plan as a tuple (should_chunk, total, first_read, sections)."""
    lines = text.splitlines()
    total = len(lines)
    if total <= 500:
        return (False, total, total, ())
    target = min(max(total // 300, 2), 5)
    major = []
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if re.match(GO_LINE, stripped, re.IGNORECASE) or re.match(DEFINITION_LINE, stripped, re.IGNORECASE):
            major.append(number)
    if len(major) > target:
        step = len(major) // target
        major = [major[i * step] for i in range(target)]
    if len(major) < 2:
        chunk = total // target
        major = [chunk * i for i in range(1, target)]
    bounds = sorted({1, *major, total})
    first_read = min(150, total)
    sections = []
    for start, end in zip(bounds, bounds[1:]):
        if end <= first_read:
            continue
        if start < first_read:
            start = first_read + 1
        if end - start < 20:
            continue
        idx = start - 1
        hint_line = lines[idx].strip()[:50] if 0 <= idx < total else ""
        if not hint_line or hint_line.startswith("--"):
            hint = f"SQL block ({end - start + 1} lines)"
        else:
            hint = hint_line
        sections.append((start, end, hint))
    while len(sections) > target:
        min_size, min_idx = float("inf"), 0
        for i in range(len(sections) - 1):
            combined = sections[i + 1][1] - sections[i][0]
            if combined < min_size:
                min_size, min_idx = combined, i
        first, second = sections[min_idx], sections[min_idx + 1]
        sections[min_idx] = (first[0], second[1], first[2])
        del sections[min_idx + 1]
    return (True, total, first_read, tuple(sections))


def instructions(plan_tuple, sql_path: str) -> str:
    should_chunk, total, first_read, sections = plan_tuple
    if not should_chunk:
        return f"Read the complete SQL file at `{sql_path}` using the Read tool."
    lines = [
        f"This is a {total}-line SQL file. Read it strategically:",
        f"1. Read lines 1-{first_read} to understand structure (SET statements, parameters, procedure signature).",
        "2. Then read each logical section:",
    ]
    for start, end, hint in sections:
        lines.append(f"   - Lines {start}-{end}: {hint}")
    lines.append("\nUse the Read tool with offset and limit parameters. Do NOT try to read the entire file in one Read call.")
    return "\n".join(lines)
