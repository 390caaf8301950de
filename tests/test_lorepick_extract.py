"""extract_sections: where sections begin, titles, matching both ways with str.lower, joining,
argument errors, and the cut through a replaced `re`."""

import inspect
import re

import pytest

from agents.transmute import lorepick as lp

extract = lp.extract_sections

DOC = "## A\nx\n\n## B\ny\n"


class TestSections:
    def test_empty_inputs(self):
        assert extract(DOC, set()) == ""
        assert extract("", {""}) == ""

    def test_retained_piece_loses_surrounding_whitespace(self):
        assert extract(DOC, {"b"}) == "## B\ny"

    def test_document_order_and_blank_line(self):
        for headers in ({"A", "B"}, {"B", "A"}, {"b", "a", "zzz"}):
            assert extract(DOC, headers) == "## A\nx\n\n## B\ny"

    @pytest.mark.parametrize("line", ["# B", "### B", "##\tB", "##B", "  ## B", "\t## B"])
    def test_only_hash_hash_space_in_first_column_starts_a_section(self, line):
        doc = f"## A\nx\n{line}\ny\n"
        assert extract(doc, {"A"}) == f"## A\nx\n{line}\ny"
        assert extract(doc, {"B"}) == ""

    def test_fences_are_not_recognised(self):
        doc = "## Joins\n```\n## Not a title\n```\n"
        assert extract(doc, {"Joins"}) == "## Joins\n```"
        assert extract(doc, {"not a"}) == "## Not a title\n```"

    def test_deeper_headers_travel_with_their_section(self):
        doc = "## Joins\nx\n### Anti joins\ny\n## Other\nz"
        assert extract(doc, {"Joins"}) == "## Joins\nx\n### Anti joins\ny"

    def test_only_line_feed_starts_a_line(self):
        doc = "## A\rx\r## B\u2028## C\n## D"
        first = "## A\rx\r## B\u2028## C"
        assert extract(doc, {"a\rx\r## b\u2028## c"}) == first
        assert extract(doc, {"d"}) == "## D"

    def test_windows_line_endings(self):
        doc = "## Joins\r\nx\r\ny\r\n## Other\r\nz\r\n"
        assert extract(doc, {"joins"}) == "## Joins\r\nx\r\ny"
        # The title is "Joins": its carriage return is gone.
        assert extract(doc, {"s\r"}) == ""


class TestTitles:
    def test_containment_both_ways(self):
        doc = "## Joins and Set Operations\na\n## Join\nb\n## Date\nc\n## Other\nd"
        assert extract(doc, {"Joins"}) == "## Joins and Set Operations\na\n\n## Join\nb"
        assert extract(doc, {"Date Functions"}) == "## Date\nc"

    def test_empty_title_is_in_every_wanted_title(self):
        doc = "## A\nx\n##   \ny\n"
        assert extract(doc, {"zzz"}) == "##   \ny"

    def test_only_leading_number_signs_are_removed(self):
        assert extract("## ##\nx", {"##"}) == "## ##\nx"
        assert extract("## ## \t# x #\ny", {"# x #"}) == "## ## \t# x #\ny"

    def test_empty_wanted_title_keeps_every_piece(self):
        doc = "intro\n\n## A\nx\n## \n\n## B"
        assert extract(doc, {""}) == "intro\n\n## A\nx\n\n##\n\n## B"

    def test_preamble(self):
        doc = "# Date Functions\nintro\n## Joins\nj"
        assert extract(doc, {"Date Functions"}) == "# Date Functions\nintro"
        assert extract("\n\n  plain first line\nmore\n## X", {"plain"}) == "plain first line\nmore"

    @pytest.mark.parametrize("title, wanted, kept", [
        ("STRASSE", "straße", False),          # lower() does not case-fold
        ("İstanbul", "i̇stanbul", True),        # 'İ'.lower() is two characters
        ("İ", "i", True),
        ("\u212a", "k", True),                 # Kelvin sign lowers to k
        ("ΟΔΟΣ", "\u03bf\u03b4\u03bf\u03c3", False),  # final sigma: the lower form ends in ς
        ("ΟΔΟΣ", "\u03bf\u03b4\u03bf\u03c2", True),
        ("ſ", "s", False),                     # long s is already lower case
        ("𐐀", "𐐨", True),                     # astral case pair
    ])
    def test_host_lower(self, title, wanted, kept):
        doc = f"## {title}\nbody"
        assert extract(doc, {wanted}) == (doc if kept else "")

    def test_non_str_titles_follow_the_host(self):
        class Title:
            def __init__(self):
                self.calls = 0

            def lower(self):
                self.calls += 1
                return "zzz"

        t = Title()
        assert extract("## a\nx\n## b", {t}) == ""
        assert t.calls == 4  # both tests, both pieces
        class Number:
            def lower(self):
                return 3

        with pytest.raises(TypeError, match="'in <string>' requires string as left operand, not int"):
            extract("## a", {Number()})
        with pytest.raises(AttributeError):
            extract("## a", {(1, 2)})


class TestInterface:
    def test_arguments_unchanged_and_result_new(self):
        headers = {"A"}
        assert extract(DOC, headers=headers) == "## A\nx"
        assert headers == {"A"}

    @pytest.mark.parametrize("text, headers, message", [
        (None, set(), "Argument 'full_text' has incorrect type (expected str, got NoneType)"),
        (b"x", None, "Argument 'full_text' has incorrect type (expected str, got bytes)"),
        ("x", None, "Argument 'headers' has incorrect type (expected set, got NoneType)"),
        ("x", frozenset(), "Argument 'headers' has incorrect type (expected set, got frozenset)"),
        ("x", ["a"], "Argument 'headers' has incorrect type (expected set, got list)"),
    ])
    def test_exact_types_in_order(self, text, headers, message):
        with pytest.raises(TypeError) as info:
            extract(text, headers)
        assert str(info.value) == message

    def test_subclasses_refused(self):
        class S(set):
            pass
        with pytest.raises(TypeError, match="got S"):
            extract("", S())

    def test_bad_calls(self):
        for args, kwargs in [(("x",), {}), (("x", set(), 1), {}), (("x", set()), {"h": 1})]:
            with pytest.raises(TypeError):
                extract(*args, **kwargs)

    def test_introspection(self):
        assert extract.__annotations__ == {"full_text": "str", "headers": "set[str]",
                                           "return": "str"}
        assert str(inspect.signature(extract)) == (
            "(full_text: 'str', headers: 'set[str]') -> 'str'")


class TestReplacedRe:
    def test_replaced_re_split_is_used(self, monkeypatch):
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
        monkeypatch.undo()
        assert extract("ignored", {"b"}) == ""

    def test_patched_split_of_the_real_re_is_used(self, monkeypatch):
        monkeypatch.setattr(re, "split", lambda *a, **k: ["## Q"])
        assert extract("## A", {"q"}) == "## Q"

    def test_non_str_pieces_go_through_their_methods(self, monkeypatch):
        class Piece(str):
            def strip(self):
                return Piece(super().strip() + "!")

        class Re:
            MULTILINE = re.MULTILINE
            split = staticmethod(lambda *a, **k: [Piece(" ## A \nx"), Piece("")])

        monkeypatch.setattr(lp, "re", Re)
        assert extract("x", {"a"}) == "## A \nx!"
        assert extract("x", {"a", "!"}) == "## A \nx!\n\n!"

    def test_missing_re_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(lp, "re")
        with pytest.raises(NameError, match="name 're' is not defined"):
            extract("## a", {"a"})
        assert extract("", {"a"}) == ""
