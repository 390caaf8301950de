"""Differential tests of agents.transmute._engine against the host's re module."""

import itertools
import os
import random
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from agents.transmute import _engine

I, M, S = re.IGNORECASE, re.MULTILINE, re.DOTALL  # noqa: E741 (re's own short names)

SEED = int(os.environ.get("ENGINE_TEST_SEED", random.randrange(1 << 30)))
print(f"test_engine seed: {SEED} (set ENGINE_TEST_SEED to replay)", file=sys.stderr)

# The patterns the complexity and lorepick modules match, with their flags.
PROJECT_PATTERNS = [
    *((p, I) for p in [
        r"\bCURSOR\b", r"\bDECLARE\s+\w+\s+CURSOR\b", r"\bEXEC(?:UTE)?\s*\(", r"\bsp_executesql\b",
        r"\bDYNAMIC\b", r"\bBEGIN\s+TRY\b", r"\bBEGIN\s+CATCH\b", r"\bMERGE\b", r"\bOPENXML\b",
        r"\bhierarchyid\b", r"\bgeography\b", r"\bgeometry\b", r"\bFOR\s+XML\b", r"\bOPENJSON\b",
        r"\bLINKED\s+SERVER\b", r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\(", r"#\w+",
        r"\bCREATE\s+TABLE\b", r"\bWHILE\b", r"\bIF\s+EXISTS\b", r"\bCASE\s+WHEN\b", r"\bOVER\s*\(",
        r"\bPIVOT\b", r"\bUNPIVOT\b", r"\bCREATE\s+(?:OR\s+ALTER\s+)?PROC(?:EDURE)?\b",
        r"^GO\s*$", r"^CREATE\s+(?:OR\s+ALTER\s+)?(?:PROC|PROCEDURE|FUNCTION)\b",
        r"\b(?:DATEDIFF|DATEADD|GETDATE|GETUTCDATE|EOMONTH|DATEPART|DATENAME|DATETRUNC|SYSDATETIME|SYSUTCDATETIME)\b",
        r"\b(?:ROW_NUMBER|RANK|DENSE_RANK|NTILE|LAG|LEAD|CUME_DIST|PERCENT_RANK)\s*\(",
        r"\b(?:ISNULL|COALESCE|NULLIF|IS\s+NULL|IS\s+NOT\s+NULL)\b",
        r"\b(?:LIKE|CHARINDEX|PATINDEX|STUFF|REPLACE|SUBSTRING|LEFT|RIGHT|COLLATE|CONCAT)\b",
        r"\b(?:FOR\s+JSON|OPENJSON|JSON_VALUE|JSON_QUERY|JSON_MODIFY)\b",
        r"\b(?:CAST|CONVERT|TRY_CAST|TRY_CONVERT|DECIMAL|NUMERIC|FLOAT)\b",
        r"\b(?:CREATE\s+(?:OR\s+ALTER\s+)?PROC(?:EDURE)?|EXEC(?:UTE)?)\b", r"#\w+|@\w+\s+TABLE",
        r"\b(?:INNER|LEFT|RIGHT|FULL|CROSS)\s+(?:OUTER\s+)?JOIN\b",
        r"\b(?:GROUP\s+BY|HAVING|SUM|COUNT|AVG|MIN|MAX)\s*\(", r"\bSELECT\b",
    ]),
    (r"#\w+", 0), (r"--.*$", M), (r"/\*.*?\*/", S),
    (r"^\s*GO\s*$", I | M),
    (r"^\s*CREATE\s+(?:OR\s+ALTER\s+)?(?:PROC|PROCEDURE|FUNCTION|VIEW|TRIGGER)\b", I | M),
    (r"^--\s*={3,}", M), (r"^--\s*-{3,}", M), (r"^--\s*Section\s+\d", I | M), (r"(?=^## )", M),
]

# Shapes the platform-marker rows use, and corner cases of anchors, priorities and classes.
TRICKY_PATTERNS = [
    (r"\bBigQuery\b[\s\S]{0,40}?\bdataset\b", I), (r"\bspark\b[\s\S]{0,3000}?\bread\b", I),
    (r"(?<!AS )\bSTRUCT<", I), (r"#(?![A-Za-z_])(?!\s{0,8}(standardSQL|legacySQL)\b)", 0),
    (r"(?![A-Za-z0-9_\s])\S+", 0), (r"(?:^|;)\s*USE\s+\w+", I | M), (r"(?:^|\n)\s*MINUS\s*(?:\n|$)", I),
    (r"`[^`\n]+`", 0), (r"\$([A-Za-z_]\w*)?\$", 0), (r"['\"]", 0), (r"(?<=a)b", 0), (r"(?<!\w)k", I),
    (r"^", 0), (r"^", M), (r"$", 0), (r"$", M), (r"\A|\Z", 0), (r"^$", M), (r"a$", 0), (r"\n$", 0),
    (r"x*", 0), (r"x*?", 0), (r"a*?|b", 0), (r"|a", 0), (r"a|ab", 0), (r"ab|a", 0), (r"(?:a|ab)(?:c|bcd)", 0),
    (r"a.*b", 0), (r"a.*?b", 0), (r"a.*?b", S), (r".+", 0), (r"\b", 0), (r"\B", 0), (r"\b\w+\b", 0),
    (r"[a-z]+", I), (r"[^a-z]+", I), (r"[S-Z]", I), (r"[\w-]+", I), (r"[^\W\d]+", 0), (r"[k\d]", I),
    (r"[\s\S]", 0), (r"[^\s]", I), (r"[\]\\\-]", 0), (r"[\x00-\x7f]+", I), (r"[Ā-ż]", I), (r"[İı]", I),
    (r"s", I), (r"ſ", I), (r"K", I), (r"İ", I), (r"ı", I), (r"µ", I), (r"[^s]", I), (r"[^K]", 0),
    (r"(?:ab){2,3}", 0), (r"(?:ab){2,3}?", 0), (r"a{2}", 0), (r"a{,2}b", 0), (r"a{2,}?", 0), (r"x{", 0),
    (r"(?:a*)?b", 0), (r"(?:a??){1,2}", 0), (r"(?:|x){2}M", 0), (r"(a)(?:b)?", 0), (r"(?P<n>a)b", 0),
    (r"a(?=b)", 0), (r"a(?!b)", 0), (r"(?=a)|b", 0), (r"(?<=\n)\s*", 0), (r"(?<!^)x", M),
    (r"\s+$", M), (r"\d+", 0), (r"\D\W\S", 0), (r"\t\n\r\x41\u00e9", 0), (r"(?#comment)a", 0),
    (r"[\s\S]{0,20}?k", I), (r"k[\s\S]{0,20}", 0), (r"(?:ab|c){0,20}d", 0), (r"\w{3,30}?s", I),
    (r"(?!)", 0), (r"(?=)", 0),
]

SMALL_PATTERNS = [
    r"s", r"k", r"i", r"[si]", r"[^k]", r"[a-k]", r"\w", r"\W", r"\s", r"\d", r"\b", r"\B", r"^", r"$",
    r".", r"\w+", r"\W*", r"a*?", r"a|s", r"\bs\b", r"(?<=\w)\W", r"(?!s)", r"_\d", r"[\w#]+", r"\S+$",
    r"#\w+", r"(?:s|k)+?", r"[(*)]", r"--.*$", r"/\*.*?\*/", r"^\s*$", r"[^\W_]", r"[ſK]", r"[İ]",
]
ALPHABET = ["a", "s", "k", "i", "S", "K", "I", "ſ", "ı", "İ", "K", "_", "5", "٣", "(", ")", "#", "-",
            "/", "*", "\n", "\r", "\x0b", "\x1c", "\u00a0", "\u2028"]


def operations(text, engine, pattern):
    """The engine's answers next to re's, for every operation."""
    m = pattern.search(text)
    got = (engine.search(text), engine.match(text), engine.span(text), engine.count(text),
           engine.spans(text), engine.sub_empty(text))
    want = (m is not None, pattern.match(text) is not None, m.span() if m else None,
            len(pattern.findall(text)), [x.span() for x in pattern.finditer(text)],
            pattern.sub("", text))
    return got, want


def check(text, engine, pattern):
    got, want = operations(text, engine, pattern)
    assert got == want, (pattern.pattern, pattern.flags, text)
    for pos in (1, len(text) // 2, len(text)):
        m = pattern.search(text, pos)
        assert engine.search(text, pos) == (m is not None), (pattern.pattern, text, pos)
        assert engine.span(text, pos) == (m.span() if m else None), (pattern.pattern, text, pos)
        assert engine.match(text, pos) == (pattern.match(text, pos) is not None), (pattern.pattern, text, pos)


def pair(source, flags):
    return _engine.compile(source, flags), re.compile(source, flags)


SQL_WORDS = [
    "SELECT", "select", "FROM", "WITH", "with", "cte", "AS", "as", "(", ")", "MERGE", "merge", "INTO",
    "CURSOR", "DECLARE", "EXEC", "EXECUTE", "sp_executesql", "BEGIN", "TRY", "CATCH", "#tmp", "@t",
    "TABLE", "GO", "go", "CREATE", "OR", "ALTER", "PROC", "PROCEDURE", "FUNCTION", "VIEW", "--", "/*",
    "*/", "=====", "-----", "Section", "3", "##", "ROW_NUMBER", "OVER", "LEFT", "JOIN", "OUTER", "IS",
    "NOT", "NULL", "GROUP", "BY", "COUNT", "DATEADD", "JSON_VALUE", "FOR", "XML", "spark", "read",
    "STRUCT<", "BigQuery", "dataset", "USE", "MINUS", ";", "`x`", "$a$", "'", '"', "ſelect", "İF",
    "merKe", "ab", "abcd", "aab", "k", "x", "y", "\u00e9", "\u00a0", "\u2028", "\U0001d518", "٣",
]
SEPARATORS = [" ", " ", " ", "\n", "\t", "", "\r\n", "  ", ",", "\n\n"]


def sql_text(rng, words=40):
    return "".join(rng.choice(SQL_WORDS) + rng.choice(SEPARATORS) for _ in range(rng.randrange(words)))


def as_kind(text, kind):
    """The same text forced to a PEP 393 width by one extra char at the end."""
    return text + {"ascii": "", "latin1": "\u00ff", "bmp": "\u0100", "astral": "\U00010000"}[kind]


KINDS = ["ascii", "latin1", "bmp", "astral"]


def test_casefix_table_matches_re():
    from re._casefix import _EXTRA_CASES

    assert _engine._extra_cases() == _EXTRA_CASES


@pytest.mark.parametrize("source,flags", PROJECT_PATTERNS + TRICKY_PATTERNS)
def test_patterns_agree_with_re_on_sql_texts(source, flags):
    engine, pattern = pair(source, flags)
    assert (engine.source, engine.flags) == (source, flags)
    rng = random.Random(f"{SEED}:{source}:{flags}")
    for kind in KINDS:
        for _ in range(25):
            check(as_kind(sql_text(rng), kind), engine, pattern)


@pytest.mark.parametrize("flags", [0, I, M, S, I | M | S])
def test_small_patterns_exhaustive_short_strings(flags):
    compiled = [pair(p, flags) for p in SMALL_PATTERNS]
    for length in range(4):
        for chars in itertools.product(ALPHABET, repeat=length):
            text = "".join(chars)
            for engine, pattern in compiled:
                got, want = operations(text, engine, pattern)
                assert got == want, (pattern.pattern, flags, text)


@pytest.mark.parametrize("source", [r"\bs\b", r"[si]+?k", r"(?<!i)s", r"^k|s$", r"\W*"])
def test_length_four_strings(source):
    alphabet = ["s", "S", "ſ", "i", "İ", "ı", "k", "K", "\n", " ", "_"]
    for flags in (0, I | M):
        engine, pattern = pair(source, flags)
        for chars in itertools.product(alphabet, repeat=4):
            text = "".join(chars)
            got, want = operations(text, engine, pattern)
            assert got == want, (source, flags, text)


def test_case_variants_literal_scan():
    # The literal prefilter must accept every case variant re accepts, in every width.
    for source, text in [(r"\bMISS\b", "x miſſ y"), (r"\bKEY\b", "a \u212aEY"), (r"\bIF\b", "\u0130f"),
                         (r"\bIF\b", "\u0131F"), (r"\bMICRO\b", "\u00b5"), (r"\bSS\b", "s\u017f")]:
        engine, pattern = pair(source, I)
        for kind in KINDS:
            t = as_kind(text, kind) if kind != "ascii" else text
            assert engine.search(t) == (pattern.search(t) is not None), (source, t)
            assert engine.count(t) == len(pattern.findall(t)), (source, t)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.sampled_from(PROJECT_PATTERNS + TRICKY_PATTERNS),
    st.lists(st.sampled_from(SQL_WORDS + SEPARATORS + ALPHABET), max_size=30),
)
def test_hypothesis_texts(pattern_flags, pieces):
    engine, pattern = pair(*pattern_flags)
    check("".join(pieces), engine, pattern)


def test_sub_empty_narrows_and_keeps_type():
    engine = _engine.compile(r"\u0100|\U00010000", 0)
    out = engine.sub_empty("ab\U00010000c\u0100")
    assert out == "abc" and out.isascii() and type(out) is str
    assert engine.sub_empty("plain") == "plain"


@pytest.mark.parametrize(
    "source,flags",
    [
        (r"(a)\1", 0), (r"(?i)a", 0), (r"(?i:a)", 0), (r"a*+", 0), (r"(?>a)", 0), (r"(a)?(?(1)b|c)", 0),
        (r"a(?=\s*b)", 0), (r"x(?!\s*(standardSQL|legacySQL)\b)", 0), (r"a", re.VERBOSE), (r"a", re.ASCII),
        (r"[𝔘x]", I), (r"\N{EM DASH}", 0),
    ],
)
def test_unsupported_patterns_are_refused(source, flags):
    re.compile(source, flags)  # valid for re: the engine declines rather than guesses
    with pytest.raises(ValueError):
        _engine.compile(source, flags)


# Repeats of items that can match the empty string, with more than one optional iteration: re
# ends such a repeat after an empty iteration, so the engine leaves them to re.
EMPTY_ITERATION_REPEATS = [
    (r"(?:a??)*", "a"), (r"(?:x*|M)+", "xxM"), (r"(?:|a)+b?", "aab"), (r"(?:a?)*b", "aab"),
    (r"(?:a*)*", "aa"), (r"(?:a|)+?b", "aab"), (r"(?:x*){1,3}M", "xxM"), (r"(?:\b|x)+?$", "x x"),
    (r"(?:(?=a))*a", "a"), (r"(?:a*|b){0,2}", "ab"), (r"(?:\s*,?)*", ", ,"),
]


@pytest.mark.parametrize("source,text", EMPTY_ITERATION_REPEATS)
def test_repeats_of_empty_matches_go_to_re(source, text):
    re.compile(source)
    with pytest.raises(ValueError) as info:
        _engine.compile(source, 0)
    assert str(info.value) == "repeat of an item that can match the empty string"


def test_generated_repeats_are_refused_or_agree_with_re(seeded_random):
    from reference import patterngen

    compiled = refused = 0
    for _ in range(3000):
        source = patterngen.random_pattern(seeded_random)
        flags = seeded_random.choice([0, I, M, S, I | M])
        try:
            pattern = re.compile(source, flags)
        except re.error:
            continue
        try:
            engine = _engine.compile(source, flags)
        except ValueError:
            refused += 1
            continue
        compiled += 1
        for _ in range(6):
            text = patterngen.random_text(seeded_random)
            got, want = operations(text, engine, pattern)
            assert got == want, (source, flags, text)
    assert compiled > 500 and refused > 50


@pytest.mark.parametrize("source", ["(", ")", "[a", "a**", "*", r"\q", "[b-a]", r"(?<=a+)b", "a{3,2}", r"\x4"])
def test_invalid_patterns_are_refused(source):
    with pytest.raises(re.error):
        re.compile(source)
    with pytest.raises(ValueError):
        _engine.compile(source, 0)


# A representative pattern for each reason the engine declines a pattern for.
REFUSED = [
    ("(a))", 0, "unbalanced_parenthesis"), ("(a", 0, "unterminated_subpattern"), ("(?#x", 0, "unterminated_comment"),
    ("[a", 0, "unterminated_set"), ("(?P<n", 0, "unterminated_name"), ("(?P<>a)", 0, "missing_group_name"),
    ("(?P<n>a)(?P<n>b)", 0, "group_name_redefined"), ("(?", 0, "unexpected_end"), ("*a", 0, "nothing_to_repeat"),
    ("a**", 0, "multiple_repeat"), ("a{3,2}", 0, "min_above_max"), ("a{4294967296}", 0, "repeat_too_large"),
    (r"\q", 0, "bad_escape"), ("a\\", 0, "bad_escape_at_end"), (r"\U00110000", 0, "bad_escape_u"),
    (r"\x4", 0, "incomplete_escape"), (r"[\777]", 0, "octal_out_of_range"), ("[b-a]", 0, "bad_range"),
    (r"(?<=a+)b", 0, "look_behind_not_fixed"), ("a", re.VERBOSE, "unsupported_flags"),
    ("(" * 250 + ")" * 250, 0, "nested_too_deeply"), ("a*+", 0, "possessive_repeat"),
    ("(?:a?)*", 0, "empty_iteration_repeat"), ("(?P<n>a)(?P=n)", 0, "named_reference"),
    ("(?P<\u00e9>a)", 0, "group_name_not_ascii"), ("(?<n>a)", 0, "angle_group"), ("(?>a)", 0, "atomic_group"),
    ("(a)?(?(1)b|c)", 0, "conditional_group"), ("(?i)a", 0, "inline_flags"), (r"(a)\1", 0, "backreference"),
    (r"\N{EM DASH}", 0, "named_character"), (r"(?<=a{1001})b", 0, "look_behind_too_wide"),
    ("[\U0001d518x]", I, "wide_ignorecase_class"), ("(?:abcd){70000}", 0, "too_large"),
    (r"a(?=\s*b)", 0, "wide_lookahead"),
]


@pytest.mark.parametrize("source,flags,reason", REFUSED, ids=[reason for _, _, reason in REFUSED])
def test_refusals_by_reason(source, flags, reason):
    # The engine names its reason and says the table's text for it; a reason that marks patterns
    # invalid is one re rejects them for as well.
    table = _engine._refusals()
    with pytest.raises(ValueError) as info:
        _engine.compile(source, flags)
    assert info.value.reason == reason
    text, invalid = table[reason]
    assert str(info.value) == text
    try:
        re.compile(source, flags)
        accepted = True
    except (re.error, OverflowError):
        accepted = False
    assert not (invalid and accepted), (source, reason)
    # Each reason reads differently, so the text alone tells callers why.
    assert len({t for t, _ in table.values()}) == len(table)


def test_compile_from_reads_pattern_and_flags():
    engine = _engine.compile_from(re.compile(r"\bMERGE\b", re.I))
    assert engine.source == r"\bMERGE\b" and engine.flags == re.I | re.U
    assert engine.search("a merge b") and not engine.search("emerged")
    with pytest.raises(ValueError):
        _engine.compile_from(re.compile(rb"x"))


def test_megabyte_adversarial_inputs_complete():
    # Each would take the backtracking matcher far longer; here they must finish promptly.
    cases = [
        (r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\(", I, "WITH x" + " " * 1_000_000),
        (r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\(", I, "WITH x (" + "a," * 500_000),
        (r"a[\s\S]{0,3000}?b", 0, "a" * 1_000_000),
        (r"(?:x+x+)+y", 0, "x" * 1_000_000),
        (r"/\*.*?\*/", S, "/* " * 333_333),
    ]
    for source, flags, text in cases:
        engine = _engine.compile(source, flags)
        assert engine.search(text) is False
        assert engine.count(text) == 0
        assert engine.sub_empty(text) == text


def test_megabyte_counts_agree_with_re():
    rng = random.Random(SEED)
    text = "".join(sql_text(rng) for _ in range(3000))
    for source, flags in PROJECT_PATTERNS:
        engine, pattern = pair(source, flags)
        assert engine.count(text) == len(pattern.findall(text)), source
        assert engine.search(text) == (pattern.search(text) is not None), source


def test_platform_markers_agree_with_re():
    from agents.transmute import cuebook
    sources = [marker.pattern for marker in cuebook.PLATFORM_MARKERS]
    assert len(sources) == 133
    rng = random.Random(SEED)
    texts = [sql_text(rng, 80) for _ in range(30)] + [as_kind(sql_text(rng, 80), k) for k in KINDS]
    accepted = 0
    for source in sources:
        for flags in (I | M, 0):
            try:
                pattern = re.compile(source, flags)
            except re.error:
                continue
            try:
                engine = _engine.compile(source, flags)
            except ValueError:
                continue
            accepted += 1
            for text in texts + [source]:
                check(text, engine, pattern)
    assert accepted


def test_shared_program_across_threads():
    # Long texts are matched without the GIL; one compiled program serves every thread.
    import threading

    rng = random.Random(SEED)
    text = ""
    while len(text) <= _engine.NOGIL_THRESHOLD:
        text += sql_text(rng)
    engine, pattern = pair(r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\(", I)
    want = (len(pattern.findall(text)), pattern.search(text) is not None)
    results = []

    def work():
        for _ in range(5):
            results.append((engine.count(text), engine.search(text)))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [want] * 20


@pytest.mark.parametrize("source,flags", PROJECT_PATTERNS + TRICKY_PATTERNS)
def test_anchored_runs_agree_with_match(source, flags):
    # The backtracking runs the scans use, at every position of random texts of every width.
    engine, pattern = pair(source, flags)
    rng = random.Random(f"anchored:{SEED}:{source}:{flags}")
    for kind in KINDS:
        for _ in range(6):
            text = as_kind(sql_text(rng) + " " * rng.choice([0, 70, 200]) + sql_text(rng, 10), kind)
            want = [found.end() if (found := pattern.match(text, pos)) else None for pos in range(len(text) + 1)]
            assert [engine.anchored_end(text, pos) for pos in range(len(text) + 1)] == want, text
            # One matcher for many runs, as the scans use it: positions in order, then shuffled
            # with repeats (runs that start inside an earlier match or before an earlier run).
            assert engine.anchored_ends(text, range(len(text) + 1)) == want, text
            order = [rng.randrange(len(text) + 1) for _ in range(len(text) + 1)]
            assert engine.anchored_ends(text, order) == [want[pos] for pos in order], (text, order)


# Patterns whose matches may outgrow the short-run window, beside texts where some runs explore
# far (an unclosed "(", a long word) and the runs after them are short: the short runs may lean
# on what the long ones found to fail, and must still answer as re does.
LONG_RUN_PATTERNS = [
    (r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\(", I),
    (r"\w+\s*\(", 0),
    (r"\([^)]*\)|\(\w", 0),
    (r'"[^"]*"|"a', 0),
    (r"a[^;]*?b|a", 0),
    (r"(?:a|ab)[^)]*\)", I),
    (r"--.*$", M),
    # Loops whose continuation cannot open with a char of the loop (only the last exit can
    # lead on), and one whose continuation can; runs of 70 cross the 64-position marks.
    (r"\s+\w+\s*;", 0),
    (r"(?:[a-z]+|\()[^;]*;", I),
    (r"[wq ]+[^wq ]", 0),
    (r"\w+b", 0),
]
LONG_RUN_PIECES = ["WITH ", "fooAS(", "foo AS(", "x (", ")", "(", '"', '"a', "a", "b", "ab", ";", " ",
                   "\n", "--", "w" * 70, " " * 70, "(" + "q" * 80, "a" + "z" * 90]


@pytest.mark.parametrize("source,flags", LONG_RUN_PATTERNS)
def test_short_runs_after_long_explorations_agree_with_re(source, flags):
    engine, pattern = pair(source, flags)
    rng = random.Random(f"long-runs:{SEED}:{source}")
    for kind in KINDS:
        for _ in range(25):
            text = as_kind("".join(rng.choice(LONG_RUN_PIECES) for _ in range(rng.randrange(1, 60))), kind)
            assert engine.count(text) == len(pattern.findall(text)), (SEED, text)
            assert engine.spans(text) == [m.span() for m in pattern.finditer(text)], (SEED, text)
            want = [found.end() if (found := pattern.match(text, pos)) else None for pos in range(len(text) + 1)]
            assert engine.anchored_ends(text, range(len(text) + 1)) == want, (SEED, text)


# Programs run without backtracking: at every split the next char picks the one way on. Texts
# are short runs of the pattern's own words and of chars that pick a way: wide white space, wide
# word chars and case variants.
ONE_PASS_PATTERNS = [
    (r"#\w+", 0, ["#", "t"]), (r"#\w+|@\w+\s+TABLE", I, ["#", "@", "t", "TABLE", "tabLE"]),
    (r"\bEXEC(?:UTE)?\s*\(", I, ["EXEC", "exec", "UTE", "ute", "("]),
    (r"\bDECLARE\s+\w+\s+CURSOR\b", I, ["DECLARE", "CURSOR", "c"]), (r"\bCREATE\s+TABLE\b", I, ["CREATE", "TABLE"]),
    (r"[a-z]+1", 0, ["a", "1"]), (r"k(?:s|\s)+?i", 0, ["k", "s", "i"]), (r"\w+\s+k", 0, ["k", "a"]),
]
ONE_PASS_PIECES = ["k", "\u212a", "s", "\u017f", "i", "\u0130", "\u0131", "_", "\u00e9", "\u4e2d", "\U0001d518",
                   " ", "\t", "\n", "\u2028", "\u3000", "\x85", "\x1c", "\u00a0", "-"]


@pytest.mark.parametrize("source,flags,words", ONE_PASS_PATTERNS)
def test_one_pass_programs_agree_with_re(source, flags, words):
    engine, pattern = pair(source, flags)
    assert engine.matcher == "one_pass"
    rng = random.Random(f"one-pass:{SEED}:{source}")
    for kind in KINDS:
        for _ in range(300):
            pieces = [rng.choice(words) if rng.random() < 0.5 else rng.choice(ONE_PASS_PIECES)
                      for _ in range(rng.randrange(1, 10))]
            text = as_kind("".join(pieces), kind)
            want = [found.end() if (found := pattern.match(text, pos)) else None for pos in range(len(text) + 1)]
            assert engine.anchored_ends(text, range(len(text) + 1)) == want, (SEED, text)
            assert engine.spans(text) == [m.span() for m in pattern.finditer(text)], (SEED, text)


@pytest.mark.parametrize("source,flags", [
    (r"a|ab", 0),                                       # both ways open with "a"
    (r"\bPROC(?:EDURE)?\b", I),                        # one way may match without a char
    (r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\(", I),  # "AS" may continue the name's run
    (r"\w+\w", 0), (r"x*", 0), (r"(?=a)\w+", 0),
])
def test_programs_that_may_need_to_go_back_are_not_one_pass(source, flags):
    engine, pattern = pair(source, flags)
    assert engine.matcher != "one_pass"
    text = "PROCEDURE aab ab WITH fooAS( xx a1"
    assert engine.spans(text) == [m.span() for m in pattern.finditer(text)]


def test_one_pass_runs_that_walk_the_same_run_stay_exact():
    # Runs at every position of a long run of the loop's chars each walk to its end; past a
    # budget the matcher changes, and every answer stays re's.
    engine, pattern = pair(r"[a-z]+1", 0)
    for text in ("a" * 5000 + "-1", "a" * 3000 + "1" + "b" * 3000 + "-"):
        want = [found.end() if (found := pattern.match(text, pos)) else None for pos in range(len(text) + 1)]
        assert engine.anchored_ends(text, range(len(text) + 1)) == want
        assert engine.count(text) == len(pattern.findall(text))


@pytest.mark.parametrize("source,flags", [
    (r"\w", 0), (r"\W", 0), (r"\s", 0), (r"\d", 0), (r"[\s\d]", 0), (r"[k-s]", I), (r"\w", I),
    (r"[^\W\d_]", I), (r"[^\s]+", 0), (r"\b\w", 0),
])
def test_every_code_point_of_the_basic_plane_is_classed_as_re_does(source, flags):
    # Characters above 0xFF are classed through tables read off the interpreter 64 at a time;
    # every one of them, in order and in a scrambled order (blocks first met in any order).
    chars = [chr(c) for c in range(0x100, 0x10000)]
    engine, pattern = pair(source, flags)
    for text in ("".join(chars), "".join(random.Random(SEED).sample(chars, len(chars)))):
        assert engine.spans(text) == [m.span() for m in pattern.finditer(text)], (SEED, source)


def test_case_insensitive_literals_found_at_every_offset_of_a_block():
    # A letter's two cases are looked for 32 bytes at a time with the case bit set; bytes that
    # differ from them in that bit only ('Q' ^ 0x20 is 'q', '[' ^ 0x20 is '{') must not pass.
    for source in (r"zq\w", r"\bqz", r"x[@`]q"):
        engine, pattern = pair(source, I)
        for offset in range(0, 70):
            for filler in ("Z[{:;", "q" + "\x11" * 4, "a" * 5):
                for word in ("zqa", "ZQa", "Zqa", "qz", "QZ", "x@q", "X`Q", "z{a", "Z[a"):
                    text = (filler * 20)[:offset] + word + "." * 40
                    assert engine.count(text) == len(pattern.findall(text)), (source, text)
                    assert engine.span(text) == (m.span() if (m := pattern.search(text)) else None), (source, text)
