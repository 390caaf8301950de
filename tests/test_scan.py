"""The native scans behind classify_sql and detect_construct_categories: comment removal, the
case folding their keyword triggers assume, and linear time on inputs that make anchored runs
look far ahead. Whole results are compared with the plain-Python readings."""

import dataclasses
import itertools
import re
import time

import pytest

from agents.transmute import complexity as cx
from agents.transmute import lorepick as lp
from reference import complexity_reference as cref
from reference import lorepick_reference as lref


def classified(text):
    r = cx.classify_sql(text)
    return (r.complexity, r.effective_lines, r.stored_proc_count, r.complex_construct_count,
            r.moderate_construct_count, r.temp_table_count, r.cte_count)


def test_triggers_fold_exactly_the_host_case_variants():
    # The keyword triggers treat these four non-ASCII characters as ASCII letters, and no other.
    letters = re.compile("[a-z]", re.IGNORECASE)
    variants = {c for c in range(128, 0x110000) if letters.fullmatch(chr(c))}
    assert variants == {0x130, 0x131, 0x17F, 0x212A}


def test_comment_removal_exhaustive_over_small_alphabet():
    # Every short arrangement of comment delimiters, line breaks and a keyword.
    alphabet = ["-", "/", "*", "\n", "\r", " ", "MERGE", "x"]
    for length in range(1, 6):
        for parts in itertools.product(alphabet, repeat=length):
            text = "".join(parts)
            assert classified(text) == dataclasses.astuple(cref.classify(text)), repr(text)
            assert lp.detect_construct_categories(text) == lref.detect(text), repr(text)


def test_comment_removal_random_long(seeded_random):
    pieces = ["--", "/*", "*/", "*", "/", "-", "\n", "\r\n", "MERGE ", "#t ", "WITH a AS (", "x", " ",
              "CREATE PROC p ", "é", "中", "😀"]
    for _ in range(300):
        text = "".join(seeded_random.choice(pieces) for _ in range(seeded_random.randrange(200)))
        assert classified(text) == dataclasses.astuple(cref.classify(text)), repr(text)
        assert lp.detect_construct_categories(text) == lref.detect(text), repr(text)


@pytest.mark.parametrize("unit", ["WITH x (", "WITH fooAS(", "WITH x " + " " * 50, "DECLARE c ",
                                  "#", "CREATE OR ", "/*", "-", "WITH a AS (", "LEFT "])
def test_anchored_runs_stay_linear(unit):
    # Small inputs agree with the plain reading; large ones finish in linear time (a generous
    # bound: quadratic behaviour would take minutes).
    small = unit * 300
    assert classified(small) == dataclasses.astuple(cref.classify(small))
    assert lp.detect_construct_categories(small) == lref.detect(small)
    large = unit * (2_000_000 // len(unit))
    start = time.perf_counter()
    cx.classify_sql(large)
    lp.detect_construct_categories(large)
    assert time.perf_counter() - start < 20


def test_keyword_at_every_offset_of_wide_blocks():
    # Word starts are found per block of the text; a keyword must be seen at every offset,
    # next to non-ASCII characters that send a block down the general path.
    for kind_char in ["", "é", "中", "😀"]:
        for offset in range(40):
            text = "a" * offset + " " + kind_char + " MERGE #t" + " b" * 10
            assert classified(text) == dataclasses.astuple(cref.classify(text)), (kind_char, offset)


@pytest.mark.parametrize("offset", range(-12, 13, 3))
def test_detection_across_the_first_part_of_long_texts(offset):
    # Detection looks at the opening part of a long script first; what it finds there must hold
    # for the whole text: keywords cut by that part's end, comments that close after it, and
    # categories that appear only later.
    every = ("SELECT DATEADD(d, 1, x), ROW_NUMBER() OVER (ORDER BY a), ISNULL(a, b), LEFT JOIN t ON 1=1, "
             "CAST(a AS INT), MERGE t, EXEC p, #t, COUNT(*) FROM a CROSS JOIN b; DECLARE c CURSOR FOR "
             "SELECT 1; WITH c AS (SELECT 1) SELECT 1 FOR JSON PATH")
    for boundary in (1 << 15, 1 << 16):
        for tail in ["OPENJSON(x)", "/* OPENJSON */", "-- OPENJSON\nSELECT 1", "/* x */ OPENJSON(y)"]:
            head = "SELECT 1;\n" * ((boundary + offset) // 10)
            text = head + tail + "\n" + every.replace("FOR JSON PATH", "") + "\n" + " x" * 40000
            assert lp.detect_construct_categories(text) == lref.detect(text), (boundary, offset, tail)
        opened = "SELECT 1 /* " + "y " * ((1 << 15) // 2 + offset) + " */ " + every + " z" * 40000
        assert lp.detect_construct_categories(opened) == lref.detect(opened)
        unclosed = every + " /* " + "q" * (1 << 16) + " MERGE"
        assert lp.detect_construct_categories(unclosed) == lref.detect(unclosed)


def test_opening_part_answers_only_what_it_can_see_whole():
    every = ("SELECT DATEADD(d, 1, x), ROW_NUMBER() OVER (ORDER BY a), ISNULL(a, b), LEFT JOIN t ON 1=1, "
             "CAST(a AS INT), MERGE t, EXEC p, #t, COUNT(*) FROM a CROSS JOIN b; DECLARE c CURSOR FOR "
             "SELECT 1; WITH c AS (SELECT 1) SELECT 1 ")
    limit = 1 << 15
    for word in ["OPENJSON", "OPENJSONX", "OPENJSON_"]:
        for cut in range(-3, 10):
            # The word ends right around the end of the opening part.
            pad = limit - len(every) - len("OPENJSON") + cut
            text = every + "z " * (pad // 2) + " " * (pad % 2) + word + " " + "w " * 50000
            assert lp.detect_construct_categories(text) == lref.detect(text), (word, cut)
    whole = every + "FOR JSON PATH " + "w " * 50000
    assert lp.detect_construct_categories(whole) == lref.detect(whole) == set(lp._CATEGORY_PATTERNS)


def test_wide_characters_whose_low_byte_looks_like_syntax(seeded_random):
    # Wide text is compared sixteen characters at a time after narrowing; characters whose low
    # byte is "-", "/", "*", "#", a letter or a line break must not pass for them.
    lookalikes = ["\u012d", "\u022f", "\u012a", "\u0123", "\u014d", "\u0a0a", "\U0001002d",
                  "\U0001002f", "\U00010041", "\u2d2d", "\uff2f"]
    pieces = ["--", "/*", "*/", "\n", " ", "MERGE ", "#t ", "WITH a AS (", "x"] + lookalikes
    for _ in range(300):
        text = "".join(seeded_random.choice(pieces) for _ in range(seeded_random.randrange(120)))
        assert classified(text) == dataclasses.astuple(cref.classify(text)), repr(text)
        assert lp.detect_construct_categories(text) == lref.detect(text), repr(text)
