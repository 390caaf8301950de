"""extract_sections: where sections begin, titles, matching both ways with str.lower, argument
errors, and the cut through a replaced `re`."""

import inspect
import re

import pytest

from agents.transmute import lorepick as lp

extract = lp.extract_sections
DOC = "## A\nx\n\n## B\ny\n"


@pytest.mark.parametrize("doc, headers, expected", [
    (DOC, set(), ""),
    ("", {""}, ""),
    (DOC, {"b"}, "## B\ny"),
    (DOC, {"B", "A", "zzz"}, "## A\nx\n\n## B\ny"),
    # Only "## " in the first column after a line feed starts a section.
    ("## A\nx\n# B\n### B\n##\tB\n##B\n  ## B\ny", {"b"}, ""),
    ("## A\rx\r## B\u2028## C\n## D", {"d"}, "## D"),
    ("## A\rx\r## B\u2028## C\n## D", {"a\rx\r## b\u2028## c"}, "## A\rx\r## B\u2028## C"),
    ("## Joins\n```\n## Not a title\n```\n", {"Joins"}, "## Joins\n```"),
    ("## Joins\nx\n### Anti joins\ny\n## Other\nz", {"Joins"}, "## Joins\nx\n### Anti joins\ny"),
    # Windows line endings: the title loses its carriage return, the body keeps them.
    ("## Joins\r\nx\r\ny\r\n## Other\r\n", {"joins"}, "## Joins\r\nx\r\ny"),
    ("## Joins\r\nx\r\n", {"s\r"}, ""),
    # Containment both ways.
    ("## Joins and Set Operations\na\n## Join\nb\n## Other", {"Joins"},
     "## Joins and Set Operations\na\n\n## Join\nb"),
    ("## Date\nc", {"Date Functions"}, "## Date\nc"),
    # The empty title is in every wanted title; the empty wanted title is in every title.
    ("## A\nx\n##   \ny\n", {"zzz"}, "##   \ny"),
    ("intro\n\n## A\nx\n## \n\n## B", {""}, "intro\n\n## A\nx\n\n##\n\n## B"),
    ("## ##\nx", {"##"}, "## ##\nx"),
    ("# Date Functions\nintro\n## Joins\nj", {"Date Functions"}, "# Date Functions\nintro"),
    # The host's str.lower: full mappings and final sigma, no case folding.
    ("## İstanbul", {"i̇stanbul"}, "## İstanbul"),
    ("## \u212a", {"k"}, "## \u212a"),
    ("## ΟΔΟΣ", {"\u03bf\u03b4\u03bf\u03c3"}, ""),
    ("## ΟΔΟΣ", {"\u03bf\u03b4\u03bf\u03c2"}, "## ΟΔΟΣ"),
    ("## STRASSE", {"straße"}, ""),
    ("## 𐐀", {"𐐨"}, "## 𐐀"),
    # Containment where a partial match must fall back to a shorter one.
    ("## aab\nx\n## abac\ny\n## abab\n## abb", {"xaaab", "ababac"}, "## aab\nx\n\n## abac\ny\n\n## abab"),
    # An ASCII title inside a wanted title that lowers to more characters.
    ("## i\nx\n## j", {"İ"}, "## i\nx"),
    ("## I\nx\n## j", {"xİy"}, "## I\nx"),
    # What is kept is as narrow as its own characters, whatever else the document holds.
    ("## A\nx\n## B\n\u4e2d\U0001f600", {"a"}, "## A\nx"),
    ("## A\n\xe9\n## B\n\u4e2d", {"a", "b"}, "## A\n\xe9\n\n## B\n\u4e2d"),
    ("## " + "A" * 64 + "\nx\n## " + "A" * 65 + "\ny", {"a" * 65}, "## " + "A" * 64 + "\nx\n\n## " + "A" * 65 + "\ny"),
])
def test_sections(doc, headers, expected):
    got = extract(doc, headers)
    assert got == expected
    assert got.isascii() == expected.isascii()  # a str as narrow as its characters


def test_non_str_titles_follow_the_host():
    class Title:
        calls = 0

        def lower(self):
            Title.calls += 1
            return 3 if Title.calls > 4 else "zzz"

    assert extract("## a\nx\n## b", {Title()}) == ""
    assert Title.calls == 4  # two lower-casings per piece
    with pytest.raises(TypeError, match="'in <string>' requires string as left operand, not int"):
        extract("## a", {Title()})


@pytest.mark.parametrize("text, headers, message", [
    (None, None, "Argument 'full_text' has incorrect type (expected str, got NoneType)"),
    ("x", frozenset(), "Argument 'headers' has incorrect type (expected set, got frozenset)"),
    ("x", type("S", (set,), {})(), "Argument 'headers' has incorrect type (expected set, got S)"),
])
def test_exact_types_in_order(text, headers, message):
    with pytest.raises(TypeError) as info:
        extract(text, headers)
    assert str(info.value) == message


def test_calls_and_introspection():
    assert extract(full_text=DOC, headers={"a"}) == "## A\nx"
    with pytest.raises(TypeError):
        extract("x")
    assert str(inspect.signature(extract)) == "(full_text: 'str', headers: 'set[str]') -> 'str'"


class TestReplacedRe:
    def test_replaced_split_is_used(self, monkeypatch):
        calls = []

        class Re:
            MULTILINE = re.MULTILINE

            @staticmethod
            def split(pattern, text, flags=0):
                calls.append((pattern, flags))
                return ["## A\nx", "  ", "  ## B  \ny\n"]

        monkeypatch.setattr(lp, "re", Re)
        assert extract("ignored", {"b"}) == "## B  \ny"
        assert calls == [(r"(?=^## )", re.MULTILINE)]
        monkeypatch.setattr(lp, "re", re)
        monkeypatch.setattr(re, "split", lambda *a, **k: ["## Q"])
        assert extract("## A", {"q"}) == "## Q"

    def test_non_str_pieces_use_their_methods(self, monkeypatch):
        class Piece(str):
            def strip(self):
                return Piece(super().strip() + "!")

        monkeypatch.setattr(lp, "re", type("Re", (), {
            "MULTILINE": re.MULTILINE,
            "split": staticmethod(lambda *a, **k: [Piece(" ## A \nx"), Piece("")])}))
        assert extract("x", {"a"}) == "## A \nx!"
        assert extract("x", {"a", "!"}) == "## A \nx!\n\n!"

    def test_missing_re(self, monkeypatch):
        monkeypatch.delattr(lp, "re")
        with pytest.raises(NameError, match="name 're' is not defined"):
            extract("## a", {"a"})
        assert extract("", {"a"}) == ""
