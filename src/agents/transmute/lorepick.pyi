# Types of the native module agents.transmute.lorepick: construct categories and knowledge
# selection. Checked against the runtime by tests/test_stubs.py.
import re as re
from typing import Any

import structlog as structlog

logger: Any
CONSTRUCT_TO_MAPPING_SECTIONS: dict[str, list[str]]
CONSTRUCT_TO_GOTCHA_SECTIONS: dict[str, list[str]]
ALWAYS_INCLUDE_MAPPING: list[str]
ALWAYS_INCLUDE_GOTCHAS: list[str]
_CATEGORY_PATTERNS: dict[str, re.Pattern[str]]

def detect_construct_categories(sql_content: str) -> set[str]: ...
def select_knowledge(
    categories: set[str], *, full_mapping: str, full_gotchas: str, full_limitations: str = ""
) -> dict[str, str]: ...
def extract_sections(full_text: str, headers: set[str]) -> str: ...
