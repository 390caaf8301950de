"""The three functions and the logged event against the plain-Python reading, over seeded random
SQL scripts and Markdown documents of all four string kinds, and over Hypothesis text."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from agents.transmute import lorepick as lp
from reference import lorepick_reference as ref
from reference.textgen import EXTRA, KINDS, sql_text

TITLE_WORDS = ["Date", "Functions", "NULL", "Semantics", "(CRITICAL)", "Joins", "Join",
               "Type", "Casting", "1.", "DATEDIFF", "COUNT(*)", "&", "/", "CTE", "data",
               "İstanbul", "ſtring", "\u212aelvin", "ΟΔΟΣ", "Straße", "#", "##", ""]
PREFIXES = ["## ", "## ", "## ", "# ", "### ", "##\t", " ## ", "##", "", "", "```"]
ENDINGS = ["\n", "\n", "\n", "\r\n", "\r", "\u2028", "\n\n"]
ALL_TITLES = sorted({t for ts in [*ref.MAPPING_SECTIONS.values(), *ref.GOTCHA_SECTIONS.values(),
                                  ref.ALWAYS_MAPPING] for t in ts})


def words(rng, pool, n):
    return " ".join(rng.choice(pool) for _ in range(n))


def markdown(rng, kind):
    pool = TITLE_WORDS + [w for k in KINDS[: KINDS.index(kind) + 1] for w in EXTRA[k]]
    if kind == "ascii":
        pool = [w for w in pool if w.isascii()]
    lines = []
    for _ in range(rng.randrange(0, 25)):
        roll = rng.random()
        if roll < 0.15:
            lines.append(rng.choice(PREFIXES) + rng.choice(ALL_TITLES))
        elif roll < 0.45:
            lines.append(rng.choice(PREFIXES) + words(rng, pool, rng.randrange(0, 4)))
        else:
            lines.append(words(rng, pool, rng.randrange(0, 8)))
        lines.append(rng.choice(ENDINGS))
    text = "".join(lines)
    if kind != "ascii" and text.isascii():
        text += rng.choice(EXTRA[kind])
    return text


def wanted_titles(rng, kind):
    pool = ALL_TITLES + TITLE_WORDS + ([] if kind == "ascii" else EXTRA[kind])
    chosen = set()
    for _ in range(rng.randrange(0, 5)):
        title = rng.choice(pool)
        chosen.add(rng.choice([title, title.lower(), title.upper(), title[:4]]))
    return chosen


def check_select(categories, mapping, gotchas, limitations, recording_logger):
    log = recording_logger(lp)
    try:
        expected, fields = ref.select(categories, mapping, gotchas, limitations)
    except TypeError as error:
        with pytest.raises(TypeError) as info:
            lp.select_knowledge(categories, full_mapping=mapping, full_gotchas=gotchas,
                                full_limitations=limitations)
        assert str(info.value) == str(error)
        return
    got = lp.select_knowledge(categories, full_mapping=mapping, full_gotchas=gotchas,
                              full_limitations=limitations)
    assert got == expected and list(got) == list(expected)
    assert log.calls == [(("knowledge_selected",), fields)]


@pytest.mark.parametrize("kind", KINDS)
def test_detect_against_plain_reading(kind, seeded_random):
    for _ in range(300):
        text = sql_text(seeded_random, kind)
        assert lp.detect_construct_categories(text) == ref.detect(text), repr(text)


@pytest.mark.parametrize("kind", KINDS)
def test_extract_against_plain_reading(kind, seeded_random, monkeypatch):
    cases = [(markdown(seeded_random, kind), wanted_titles(seeded_random, kind)) for _ in range(300)]
    for doc, headers in cases:
        got, want = lp.extract_sections(doc, headers), ref.extract(doc, headers)
        assert got == want and got.isascii() == want.isascii(), (doc, headers)
    # The same cut through a stand-in `re`, which takes the host path.
    monkeypatch.setattr(lp, "re", type("Re", (), {"MULTILINE": re.MULTILINE, "split": staticmethod(re.split)}))
    for doc, headers in cases[:50]:
        assert lp.extract_sections(doc, headers) == ref.extract(doc, headers), (doc, headers)


@pytest.mark.parametrize("kind", KINDS)
def test_select_against_plain_reading(kind, seeded_random, recording_logger):
    keys = list(ref.CATEGORY_PATTERNS) + ["unknown"]
    for _ in range(150):
        categories = set(seeded_random.sample(keys, seeded_random.randrange(0, 5)))
        if seeded_random.random() < 0.05:
            categories.add(7)
        check_select(categories, markdown(seeded_random, kind), markdown(seeded_random, kind),
                     sql_text(seeded_random, kind, 5), recording_logger)


markdownish = st.lists(st.sampled_from(
    ["#", "## ", "\n", "\r", " ", "\t", "a", "A", "İ", "ı", "ſ", "\u212a", "Σ", "\u2028",
     "\x1c", "\u00a0", "😀", "Joins", "--", "/*", "*/", "SELECT", "left join", "#t"])).map("".join)


@settings(max_examples=300, deadline=None)
@given(text=st.text() | markdownish, headers=st.sets(st.text(max_size=4) | markdownish, max_size=4))
def test_hypothesis_detect_and_extract(text, headers):
    assert lp.detect_construct_categories(text) == ref.detect(text)
    assert lp.extract_sections(text, headers) == ref.extract(text, headers)


@settings(max_examples=150, deadline=None)
@given(categories=st.sets(st.sampled_from(list(ref.CATEGORY_PATTERNS)) | st.text(max_size=3)),
       mapping=st.text() | markdownish, gotchas=st.text() | markdownish)
def test_hypothesis_select(categories, mapping, gotchas):
    class Recorder:
        def __init__(self):
            self.calls = []

        def debug(self, *args, **kwargs):
            self.calls.append((args, list(kwargs.items())))

    original, lp.logger = lp.logger, Recorder()
    try:
        got = lp.select_knowledge(categories, full_mapping=mapping, full_gotchas=gotchas)
        expected, fields = ref.select(categories, mapping, gotchas)
        assert got == expected
        assert lp.logger.calls == [(("knowledge_selected",), fields)]
    finally:
        lp.logger = original
