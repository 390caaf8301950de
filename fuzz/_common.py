"""Shared pieces of the fuzz targets: input decoding, the pattern list, the plain readings.

An input is a few selector bytes followed by UTF-8 text; bytes that are not valid UTF-8 become
lone surrogates (surrogateescape), so every input decodes and mutations stay mostly textual.
"""

import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

# Characters the mutator rarely reaches by itself: case variants re folds, line breaks of
# str.splitlines, and one character of each wider string kind.
SPECIALS = ["ſ", "K", "İ", "ı", "µ", "\u00a0", "\x85", "\u2028", "\x1c", "\x0b", "\r", "\r\n",
            "\x00", "\xff", "\u0100", "\uffff", "\U00010000", "\U0010ffff", "٣", "_", "#", "--",
            "/*", "*/", "\n## ", "GO\n", "CREATE PROC ", "WITH c AS ("]


def decode(data: bytes, skip: int) -> str:
    """The text after `skip` selector bytes; byte 0x01 followed by n picks SPECIALS[n]."""
    raw = data[skip:]
    text = raw.decode("utf-8", "surrogateescape")
    if "\x01" not in text:
        return text
    out = []
    pieces = text.split("\x01")
    out.append(pieces[0])
    for piece in pieces[1:]:
        if piece:
            out.append(SPECIALS[ord(piece[0]) % len(SPECIALS)] + piece[1:])
    return "".join(out)


def project_patterns():
    """(name, re.Pattern) for every pattern the modules compile, read from the modules."""
    from agents.transmute import complexity, cuebook, lorepick

    out = []
    for i, p in enumerate(complexity._COMPLEX_PATTERNS):
        out.append((f"complex[{i}]", p))
    for i, p in enumerate(complexity._MODERATE_PATTERNS):
        out.append((f"moderate[{i}]", p))
    out.append(("stored_proc", complexity._STORED_PROC_PATTERN))
    for i, p in enumerate(complexity._COMMENT_PATTERNS):
        out.append((f"comment[{i}]", p))
    for i, p in enumerate(complexity._SECTION_DELIMITERS):
        out.append((f"delimiter[{i}]", p))
    for key, p in lorepick._CATEGORY_PATTERNS.items():
        out.append((f"category[{key}]", p))
    # Patterns the functions pass to re as text on each call.
    out.append(("temp_table", re.compile(r"#\w+")))
    out.append(("go_line", re.compile(r"^GO\s*$", re.I)))
    out.append(("definition_line", re.compile(r"^CREATE\s+(?:OR\s+ALTER\s+)?(?:PROC|PROCEDURE|FUNCTION)\b", re.I)))
    out.append(("section_split", re.compile(r"(?=^## )", re.M)))
    for marker in cuebook.PLATFORM_MARKERS:
        out.append((f"marker[{marker.id}]", re.compile(marker.pattern, re.I | re.M)))
    return out
