# Types of the native module agents.transmute.complexity: complexity classification, turn
# budgets and chunked reading plans. Checked against the runtime by tests/test_stubs.py.
import re as re
from dataclasses import dataclass as dataclass
from enum import StrEnum as StrEnum
from pathlib import Path as Path
from typing import Any, Protocol, type_check_only

import structlog as structlog

@type_check_only
class _ReadsText(Protocol):
    def read_text(self, *, encoding: str) -> str: ...

logger: Any
_COMPLEX_PATTERNS: list[re.Pattern[str]]
_MODERATE_PATTERNS: list[re.Pattern[str]]
_STORED_PROC_PATTERN: re.Pattern[str]
_COMMENT_PATTERNS: list[re.Pattern[str]]
_SECTION_DELIMITERS: list[re.Pattern[str]]

class SQLComplexity(StrEnum):
    SIMPLE = "simple"
    MODERATE = "moderate"
    COMPLEX = "complex"

@dataclass(frozen=True)
class ComplexityResult:
    complexity: SQLComplexity
    effective_lines: int
    stored_proc_count: int
    complex_construct_count: int
    moderate_construct_count: int
    temp_table_count: int
    cte_count: int
    @property
    def recommended_analysis_turns(self) -> int: ...
    @property
    def recommended_conversion_turns(self) -> int: ...
    @property
    def recommended_audit_turns(self) -> int: ...

@dataclass(frozen=True)
class FileReadingStrategy:
    should_chunk: bool
    total_lines: int
    first_read_lines: int
    section_boundaries: tuple[tuple[int, int, str], ...]
    def format_reading_instructions(self, sql_path: str) -> str: ...

def classify_sql(sql_content: str) -> ComplexityResult: ...
def classify_sql_file(sql_path: Path | _ReadsText) -> ComplexityResult: ...
def plan_reading_strategy(sql_path: Path | _ReadsText) -> FileReadingStrategy: ...
