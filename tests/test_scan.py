"""The native scans behind classify_sql and detect_construct_categories: comment removal, the
case folding their keyword triggers assume, and linear time on inputs that make anchored runs
look far ahead. Whole results are compared with the plain-Python readings."""

import dataclasses
import itertools
import re
import time

import pytest

from agents.transmute import _engine
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


def test_keyword_whose_second_character_is_wide_at_every_offset():
    # The walk sorts out word starts by their first two characters, sixteen at a time; a wide
    # second character that matches an ASCII letter under IGNORECASE ("ı" for "i", "ſ" for "s")
    # may sit just past a block of ASCII.
    for offset in range(40):
        for word in ["h\u0131erarchyid", "L\u0131NKED SERVER", "I\u017fNULL(a, b)", "L\u0131KE 'x'", "I\u017f NULL"]:
            text = "a" * offset + " " + word + " b" * 20
            assert classified(text) == dataclasses.astuple(cref.classify(text)), (word, offset)
            assert lp.detect_construct_categories(text) == lref.detect(text), (word, offset)


# Pieces that make a text long enough (over half a million characters) for detection to look at
# its opening part first.
LONG = 270_000


@pytest.mark.parametrize("offset", range(-12, 13, 3))
def test_detection_across_the_first_part_of_long_texts(offset):
    # Detection looks at the opening part of a very long script first; what it finds there must
    # hold for the whole text: keywords cut by that part's end, comments that close after it,
    # and categories that appear only later.
    every = ("SELECT DATEADD(d, 1, x), ROW_NUMBER() OVER (ORDER BY a), ISNULL(a, b), LEFT JOIN t ON 1=1, "
             "CAST(a AS INT), MERGE t, EXEC p, #t, COUNT(*) FROM a CROSS JOIN b; DECLARE c CURSOR FOR "
             "SELECT 1; WITH c AS (SELECT 1) SELECT 1 FOR JSON PATH")
    for boundary in (1 << 15, 1 << 16):
        for tail in ["OPENJSON(x)", "/* OPENJSON */", "-- OPENJSON\nSELECT 1", "/* x */ OPENJSON(y)",
                     "-/-/-OPENJSON(x)", "/-/-/ OPENJSON(x)"]:
            head = "SELECT 1;\n" * ((boundary + offset) // 10)
            text = head + tail + "\n" + every.replace("FOR JSON PATH", "") + "\n" + " x" * LONG
            assert lp.detect_construct_categories(text) == lref.detect(text), (boundary, offset, tail)
        opened = "SELECT 1 /* " + "y " * ((1 << 15) // 2 + offset) + " */ " + every + " z" * LONG
        assert lp.detect_construct_categories(opened) == lref.detect(opened)
        unclosed = every + " /* " + "q" * (2 * LONG) + " MERGE"
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
            text = every + "z " * (pad // 2) + " " * (pad % 2) + word + " " + "w " * LONG
            assert lp.detect_construct_categories(text) == lref.detect(text), (word, cut)
    whole = every + "FOR JSON PATH " + "w " * LONG
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


# The engine's multi-pattern scan on its own, against re: every shape of pattern a trigger stands
# for (what must follow a trigger's literal, classes, optional groups, candidates that start
# before the trigger, look-behinds and lookaheads in front), in presence and in counting mode.
I, M = re.IGNORECASE, re.MULTILINE  # noqa: E741 (the re flag letters)
TRIGGER_SHAPES = [
    (r"\bMERGE\b", I), (r"\bKey\b", 0), (r"\bEXEC(?:UTE)?\s*\(", I), (r"\b(SHALLOW|DEEP)\s+CLONE\b", I),
    (r"\b(?:TINY|SMALL|BIG)?INT(?:EGER)?\s*\(\s*\d+", I), (r"\bN?VARCHAR2\b", I), (r"\b[rRbB]['\"]", 0),
    (r"\b(UNIQUE\s+|NO\s+)?PRIMARY\s+INDEX\b", I), (r"\b(int4|ts|tstz)range\b", I), (r"\bSEQ[1248]\s*\(", I),
    (r"\bAI_[A-Z_]+\s*\(", I), (r"\bDECLARE\s+\w+\s+CURSOR\b", I), (r"\b\w+\s+SUPER\s*[,\)]", I),
    (r"^\s*GO\s*$", I | M), (r"(?:^|;)\s*SEL\s+", I | M), (r"(?:^|\n)\s*MINUS\s*(?:\n|$)", I | M),
    (r"#\w+", 0), (r"#\w+", I), (r"@~|@%\w+", 0), (r"\w@v\d+\b", I), (r"\w%(ROW)?TYPE\b", I),
    (r"SELECT\s+\*\s+EXCEPT\s*\(", I), (r"(?<!AS )\bENUM\s*\(", I), (r"::[A-Za-z_]", 0), (r"[,(]\s*\w+\s+YEAR\b", I),
    (r"(?=^## )", M), (r"#(?![A-Za-z_])", 0), (r"\$([A-Za-z_]\w*)?\$", 0), (r"`[^`\n]+`", 0), (r"/\*!\d+", 0),
    (r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\(", I),
    # Words at a line start: found as words, their candidate the first line start before them.
    (r"^\s*(SET\s+(ECHO|TIMING)|PROMPT)\b", I | M), (r"^SEL\b", M), (r"^\s+SEL\b", I | M),
    (r"^[ \t]*SEL\b", M), (r"(?:^|;)\s*(?:SEL|DEL)\s+\w", I | M), (r"^\s*SEL\b|\bGO\b", M),
]
SHAPE_WORDS = [
    "MERGE", "merge", "Key", "KEY", "\u212aey", "EXEC", "EXECUTE", "(", ")", "SHALLOW", "DEEP", "CLONE", "TINYINT",
    "INTEGER", "INT", "5", "NVARCHAR2", "VARCHAR2", "r'", "B\"", "UNIQUE", "NO", "PRIMARY", "INDEX", "int4range",
    "tsrange", "SEQ4", "AI_X", "AI_", "DECLARE", "c", "CURSOR", "SUPER", ",", "GO", "\n", ";", "SEL", "MINUS", "#",
    "#t", "#1", "@~", "@%", "@%x", "t@v12", "@v", "x%ROWTYPE", "%TYPE", "SELECT", "*", "EXCEPT", "AS", "ENUM", "::",
    "::a", "::1", "YEAR", "## ", "##", "$", "$a$", "$$", "`", "`x`", "`\n`", "/*!", "/*!40", "WITH", "\u017fel",
    "\u0130nt", "\u00e9", "\u4e2d", "SET", "ECHO", "TIMING", "PROMPT", "DEL", "SELECT", "\n\n", " \n ", "\r\n",
    "\u3000", "\x0b",
]
SHAPE_SEPARATORS = [" ", " ", "", "\n", "\t", "  "]


def shape_text(rng, words=30):
    return "".join(rng.choice(SHAPE_WORDS) + rng.choice(SHAPE_SEPARATORS) for _ in range(rng.randrange(words)))


def scanned_like_re(programs, patterns, texts, counted, gates):
    for text in texts:
        results, _ = _engine.scan(programs, text, counted=counted, gates=gates)
        for k, pattern in enumerate(patterns):
            if k in counted:
                want = [m.span() for m in pattern.finditer(text)]
            else:
                m = pattern.search(text)
                want = m.start() if m else None
            assert results[k] == want, (pattern.pattern, pattern.flags, k in counted, gates, text)


def test_every_trigger_shape_has_triggers_and_scans_like_re(seeded_random):
    programs = [_engine.compile(source, flags) for source, flags in TRIGGER_SHAPES]
    patterns = [re.compile(source, flags) for source, flags in TRIGGER_SHAPES]
    assert _engine.scan(programs, "")[1] == []
    texts = [shape_text(seeded_random) + extra for _ in range(60) for extra in ("", "\u00ff", "\u0100", "\U00010000")]
    everything = set(range(len(programs)))
    for counted, gates in [(set(), False), (everything, False), (set(), True), (everything, True)]:
        scanned_like_re(programs, patterns, texts, counted, gates)


def test_presence_answered_by_a_counted_twin_scans_like_re(seeded_random):
    # A pattern looked for and the same pattern counted: the count answers the first when the
    # scan is not asked where the first match starts; when it is, the engine searches it.
    shapes = TRIGGER_SHAPES[:12]
    programs = [_engine.compile(source, flags) for source, flags in shapes] * 2
    patterns = [re.compile(source, flags) for source, flags in shapes]
    twins = [(k, k + len(shapes)) for k in range(len(shapes))]
    counted = {k + len(shapes) for k in range(len(shapes))}
    for _ in range(100):
        text = shape_text(seeded_random) + seeded_random.choice(["", "\u00ff", "\u0100"])
        for first in (True, False):
            results, _ = _engine.scan(programs, text, counted=counted, gates=True, twins=twins, first=first)
            for k, pattern in enumerate(patterns):
                match = pattern.search(text)
                assert results[k] == ((match.start() if match else None) if first else match is not None), (
                    pattern.pattern, first, text)
                assert results[k + len(shapes)] == [m.span() for m in pattern.finditer(text)]


# Pieces of generated patterns: literals, classes, white space, optional and alternative groups,
# anchors and lookarounds, so that triggers of every kind (and patterns without one) come up.
PIECES = [r"\b", "^", "#", "@", "::", "ab", "a", "(?:a|#)", r"\w", r"\s*", r"\s+", "[#@]", "x?", "(?:ab)?", r"\d+",
          "(?<!a)", "(?=#)", "(?:^|;)", r"\bab", "[aA]", "b+", ";", "b{2}", "#{1,2}", "(?:a|b)+", r"[^#\s]", "$"]


def test_generated_patterns_scan_like_re(seeded_random):
    rng = seeded_random
    for _ in range(40):
        sources = ["".join(rng.choice(PIECES) for _ in range(rng.randrange(1, 5))) for _ in range(8)]
        flags = rng.choice([0, I, M, I | M])
        pairs = []
        for source in sources:
            try:
                pairs.append((_engine.compile(source, flags), re.compile(source, flags)))
            except ValueError:
                continue
        programs = [p for p, _ in pairs]
        patterns = [p for _, p in pairs]
        letters = ["a", "b", "A", "x", "#", "@", ":", ";", "1", " ", "\n", "ab", "#a", "@@"]
        texts = ["".join(rng.choice(letters) for _ in range(rng.randrange(40))) for _ in range(30)]
        counted = {k for k in range(len(programs)) if rng.random() < 0.5}
        scanned_like_re(programs, patterns, texts, counted, rng.random() < 0.5)


# Many triggers on one word: the scan sorts them out by the character after their literal (right
# after it, or after white space), so every kind of test must let through what re matches.
CREATE_SHAPES = [
    (r"\bCREATE\s+TABLE\b", I), (r"\bCREATE\s+(?:OR\s+REPLACE\s+)?VIEW\b", I), (r"\bCREATE\s*\(", I),
    (r"\bCREATE\b", I), (r"\bCREATED\b", I), (r"\bCREATE\s+[#@]\w+", I), (r"\bCreate\s+Kind\b", 0),
    (r"\bcreate\s+table", 0), (r"\bCREATE\s*;", I), (r"\bCREATEDBY\s+\w", I), (r"\bCREATE[a-z]", 0),
    (r"\bCREATE\s+TEMP(?:ORARY)?\s+TABLE\b", I), (r"\bCREATE\s+\w+\s+AS\b", I), (r"\bCREATES\b\s*=", I),
    (r"\bCREATE_\w+", I), (r"\bCREATE\s{2,}X", I), (r"\bCREATE\d", I), (r"@\s*Kind\b", 0),
    # Words to follow with characters beyond ASCII among their first four, and short ones.
    (r"\bCREATE\s+(?:T\u00e9mp|\u00e9t[e\u00e9]|TA)\b", I), (r"\bCreate\s+(?:\u00e9T|Tab)", 0),
]
CREATE_WORDS = ["CREATE", "create", "Create", "CREATED", "CREATEDBY", "CREATES", "CREATE_X", "CREATEa", "CREATE1",
                "TABLE", "table", "\u212aind", "Kind", "VIEW", "OR", "REPLACE", "TEMP", "TEMPORARY", "(", ";", "=",
                "#t", "@v", "X", "AS", "\u017f", "\u0130", "\u00e9", "\u4e2d", "x", "T\u00e9mp", "T\u00c9MP",
                "\u00e9te", "\u00c9T\u00c9", "\u00e9T", "TA", "Tab", "T"]


def test_many_triggers_on_one_word_scan_like_re(seeded_random):
    programs = [_engine.compile(source, flags) for source, flags in CREATE_SHAPES]
    patterns = [re.compile(source, flags) for source, flags in CREATE_SHAPES]
    separators = ["", " ", "  ", "\n", "\t "]
    texts = ["".join(seeded_random.choice(CREATE_WORDS) + seeded_random.choice(separators)
                     for _ in range(seeded_random.randrange(12)))
             for _ in range(400)]
    # Case-exact words after the trigger's literal, with and without white space between.
    texts += ["CREATE", "CREATE ", "create  ", "CREATE\u212a", "CREATE \u212aind", "Create\nKind", "x Create  Kind;",
              "@Kind", "@ Kind", "@kind"]
    everything = set(range(len(programs)))
    for counted, gates in [(set(), False), (everything, True)]:
        scanned_like_re(programs, patterns, texts, counted, gates)


# White space after a trigger's literal that a pattern asks for by name: the follow checks pass
# over white space before they look, so a line break or a tab the pattern needs must not be
# what they look for.
SPACE_SHAPES = [
    (r"(?:^|;)[ \t]*\n[ \t]*@\w+", M), (r";[ \t]*\n", 0), (r"x[ \t]*[\n\r]y", I), (r"@\s*\t", 0),
    (r"\bGO[ \t]*\n", I | M), (r"#[ ]*\n\s*x", 0),
]


def test_white_space_after_a_trigger_scans_like_re(seeded_random):
    programs = [_engine.compile(source, flags) for source, flags in SPACE_SHAPES]
    patterns = [re.compile(source, flags) for source, flags in SPACE_SHAPES]
    pieces = [";", "\n", " ", "\t", "\r", "@v", "x", "y", "GO", "#", "a"]
    texts = ["".join(seeded_random.choice(pieces) for _ in range(seeded_random.randrange(14))) for _ in range(400)]
    texts += [";\n@x\n", "a;\n@v", "x \ny", "@ \t", "GO\n", "# \n x"]
    everything = set(range(len(programs)))
    for counted, gates in [(set(), False), (everything, True)]:
        scanned_like_re(programs, patterns, texts, counted, gates)


# Many triggers on one punctuation character: the scan tries only those that the character
# after it lets through (a tail, a next-character set, white space and what follows, the end of
# the text), and past 64 triggers on one character tries them all wherever one may hold.
AT_SHAPES = [
    (r"@k\w*", I), (r"@K", 0), (r"@\s*kind\b", I), (r"@\s+x", 0), (r"@(?=\s)", 0), (r"@$", 0), (r"@[0-9]", 0),
    (r"@@\w", 0), (r"@\s*\(", 0), (r"\w@", 0), (r"@\u00e9", 0),
]


def test_many_triggers_on_one_punctuation_character_scan_like_re(seeded_random):
    pieces = ["@", "k", "K", "\u212a", "kind", "x", " ", "\n", "@@", "z", "1", "4", "(", "\u00e9", "\u4e2d"]
    texts = ["".join(seeded_random.choice(pieces) for _ in range(seeded_random.randrange(14))) for _ in range(400)]
    texts += ["@", "x@", "@\u212aind", "@ kind", "@  (", "@z41", "@z4"]
    crowded = AT_SHAPES + [(rf"@z{k}\b", 0) for k in range(60)]
    for shapes in (AT_SHAPES, crowded):
        programs = [_engine.compile(source, flags) for source, flags in shapes]
        patterns = [re.compile(source, flags) for source, flags in shapes]
        everything = set(range(len(programs)))
        for counted, gates in [(set(), False), (everything, True)]:
            scanned_like_re(programs, patterns, texts, counted, gates)


# Triggers on one character whose gates share a literal: some look for it after the character,
# others start their candidate before it (a literal, a word or a word character in front), so a
# candidate that reaches back can come after another trigger's search from the character.
REACH_BACK_SHAPES = [
    (r"\(.*FOO", I), (r"FOO\s*\(", I), (r"\(\s*AS\b", I), (r"\bAS\s+\(", I), (r"\b\w+\s+\(FOO", 0),
    (r"FOO\w*\s+\(", 0), (r"\(\s*FOO\s+\(", I), (r"\w\(FOO", I), (r"\bAS\s+FOO", 0),
]


def test_gate_literals_hold_for_candidates_that_reach_back(seeded_random):
    programs = [_engine.compile(source, flags) for source, flags in REACH_BACK_SHAPES]
    patterns = [re.compile(source, flags) for source, flags in REACH_BACK_SHAPES]
    pieces = ["(", "FOO", "foo", "AS", "as", " ", "  ", "\n", "x", "FOOx", "y("]
    texts = ["".join(seeded_random.choice(pieces) for _ in range(seeded_random.randrange(12))) for _ in range(600)]
    texts += ["FOO(y", "x AS (y", "x as (as", "FOO (FOO", "a (FOO"]
    everything = set(range(len(programs)))
    for counted, gates in [(set(), True), (everything, True), (set(), False)]:
        scanned_like_re(programs, patterns, texts, counted, gates)


# Gates that look at a candidate's third character, and gates closed for the rest of a text once
# a literal every match holds has no occurrence left: matches of exactly two and three
# characters, third characters that only some ways of matching allow, wide characters, the
# text's end, and literals that occur before a trigger and not after it.
THIRD_SHAPES = [
    (r"`[^`\n]+`", 0), (r"`\w+`\s+x", I), (r"ab|abc", 0), (r"a\s*bc", 0), (r"a(?=b)\w\w", 0), (r"[`'][a-z]\w", I),
    (r"`[\w.-]+\*`", 0), (r"`\w+\.\w+`", 0), (r"x\s*`\w", 0), (r"\w`\.", 0), (r"\b\w+\s+`\w", 0),
    (r"a\b\W\w", 0), (r"a[^\n]\u00e9", 0), (r"`a(?:\n|b)", 0), (r"(?<=x)`\w\w", 0), (r"``?\w", 0),
]


def test_third_character_and_closed_gates_scan_like_re(seeded_random):
    programs = [_engine.compile(source, flags) for source, flags in THIRD_SHAPES]
    patterns = [re.compile(source, flags) for source, flags in THIRD_SHAPES]
    pieces = ["`", "a", "b", "c", "x", "X", ".", "*", "-", "'", " ", "\n", "`a\n", "\u00e9", "\u4e2d", "\U00010000"]
    texts = ["".join(seeded_random.choice(pieces) for _ in range(seeded_random.randrange(16))) for _ in range(600)]
    texts += ["`a\n" * 20 + "`a`", "`a.b`" + "`a\n" * 20, "ab", "abc", "a bc", "`ab` x", "x`ab", "a\u00e9\u00e9",
              "`a\u4e2d`", "`a\n`a.b`", "x`ab", "y`ab"]
    everything = set(range(len(programs)))
    for counted, gates in [(set(), True), (everything, True), (set(), False)]:
        scanned_like_re(programs, patterns, texts, counted, gates)


# Gate literals in long texts, where a literal is looked for a stretch ahead of the candidate
# first: dense and rare literals, literals only near the start or only near the end, none left
# past some point, and candidates that reach back before their trigger.
LONG_GATE_SHAPES = [
    (r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\(", I), (r"\bFROM\s+\w+[^;]{0,60}\bMONEY\b", I),
    (r"\bFOO\s*\(", I), (r"\w+\s+MONEY\s*\(", I), (r"#\w+;", 0),
]


def test_gate_literals_looked_for_far_ahead_scan_like_re(seeded_random):
    programs = [_engine.compile(source, flags) for source, flags in LONG_GATE_SHAPES]
    patterns = [re.compile(source, flags) for source, flags in LONG_GATE_SHAPES]
    common = ["WITH ", "fooAS(", "x AS (", "FROM t ", "foo (", ";", " ", "\n", "a", "#t", "(", ")"]
    rare = ["MONEY", "money (", "#x;", "FOO("]
    texts = []
    for _ in range(12):
        body = [seeded_random.choice(common) for _ in range(seeded_random.randrange(2000, 9000))]
        for _ in range(seeded_random.randrange(4)):
            body.insert(seeded_random.randrange(len(body) + 1), seeded_random.choice(rare))
        texts.append("".join(body))
    filler = "".join(seeded_random.choice(common) for _ in range(3000))
    texts += ["MONEY (FOO(#x;" + filler, filler + "FROM t MONEY FOO (#x;", filler + "MONEY" + filler]
    everything = set(range(len(programs)))
    for counted, gates in [(set(), True), (everything, True)]:
        scanned_like_re(programs, patterns, texts, counted, gates)


def test_words_at_a_line_start_report_the_first_line_start_before_them():
    # A word that "^\s*" leads to is found as a word; re's match starts at the first line start
    # of the white space before it, blank lines included, and nowhere when none lies between.
    shapes = [(r"^\s*SEL\b", M), (r"^\s+SEL\b", I | M), (r"^SEL\b", M), (r"(?:^|;)\s*(?:SEL|DEL)\s+\w", I | M),
              (r"^\s*(SET\s+(ECHO|TIMING)|PROMPT)\b", I | M), (r"(?:^|;)\s*SEL\s+", I | M),
              # Empty at a line start, then longer from that same line start.
              (r"^\s*(?:^|;)x?", I | M)]
    texts = ["x\n\nSEL", "x\n \n SEL y", "\n\nSEL", "SEL", " SEL", "x SEL", "x;\n\n del a", "x; SEL b SEL c",
             "a\r\n\r\n  set  echo\nprompt", "\u3000\nSEL", "x\u3000SEL", "x\n\x0b\nSEL\n\nSEL a\nDEL  b",
             # A counted match that ends inside the white space before the next word: the next
             # match starts at the first line start from its end, not before it.
             "SEL\t\n\n\u017fel\n", "SEL \n \nSEL x", "SEL\n\n\n SEL\t\nSEL",
             # After an empty match re goes on at the same place, where only a longer match counts.
             "\n;", "a\n;;x", "\n#x@A;;\n1 @@\n;; #a"]
    programs = [_engine.compile(source, flags) for source, flags in shapes]
    patterns = [re.compile(source, flags) for source, flags in shapes]
    everything = set(range(len(programs)))
    for counted, gates in [(set(), False), (everything, False), (set(), True), (everything, True)]:
        scanned_like_re(programs, patterns, texts, counted, gates)
