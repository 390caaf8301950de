"""The row generator's reading of marker items: code spans, field values and refusals."""

import importlib.util
from pathlib import Path

import pytest

GEN_PATH = Path(__file__).parent.parent / "src" / "agents" / "transmute" / "cuebook" / "gen_rows.py"
spec = importlib.util.spec_from_file_location("gen_rows", GEN_PATH)
gen_rows = importlib.util.module_from_spec(spec)
spec.loader.exec_module(gen_rows)

ITEMS = r"""
Some prose with a list:

1. **Not a row**

1. `alpha.first_row`
     - platforms: [`PLATFORM_MYSQL`]; confidence: "high"; scope: "comment"; corroborating_only: not passed
     - pattern: `\bA\s*\\x`
2. `shared.second_row`
     - platforms: [`PLATFORM_HIVE`, `PLATFORM_ORACLE`]; confidence: "medium"; scope: not passed; corroborating_only: `False`
     - pattern: `` `[^`\n]+` ``
"""


def test_reads_items_and_code_spans():
    rows = gen_rows.parse_rows(ITEMS.splitlines())
    gen_rows.check_rows(rows)
    assert rows == [
        {"number": 1, "id": "alpha.first_row", "platforms": ["PLATFORM_MYSQL"], "confidence": "high",
         "scope": "comment", "corroborating_only": None, "pattern": r"\bA\s*\\x"},
        {"number": 2, "id": "shared.second_row", "platforms": ["PLATFORM_HIVE", "PLATFORM_ORACLE"],
         "confidence": "medium", "scope": None, "corroborating_only": False, "pattern": r"`[^`\n]+`"},
    ]  # fmt: skip
    rendered = gen_rows.render(rows)
    assert r'.pattern = R"~(\bA\s*\\x)~"' in rendered
    assert "Platform::HIVE, Platform::ORACLE}, .platform_count = 2" in rendered


@pytest.mark.parametrize(
    ("old", "new", "complaint"),
    [
        ("2. `shared", "3. `shared", "row numbers"),
        ("shared.second_row", "alpha.first_row", "duplicate ids"),
        ("PLATFORM_ORACLE", "PLATFORM_NOWHERE", "unknown platform"),
        ("`PLATFORM_ORACLE`", "`PLATFORM_HIVE`", "listed twice"),
        ("scope: not passed; corroborating_only: `False`", 'scope: "comment"; corroborating_only: `False`', "both"),
        ("- pattern: `\\bA\\s*\\\\x`", "- pattern: `\\bA)~\"`", "raw string"),
        ("`` `[^`\\n]+` ``", "`` `[^`\\n]+` `", "not closed"),
    ],
)
def test_refuses_bad_items(old, new, complaint):
    assert old in ITEMS
    with pytest.raises(gen_rows.DocumentError, match=complaint):
        gen_rows.check_rows(gen_rows.parse_rows(ITEMS.replace(old, new).splitlines()))
