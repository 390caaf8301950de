"""plan_reading_strategy and format_reading_instructions: thresholds, boundaries, thinning,
fallback, sections, hints, merging, line endings, texts, errors, the event, and a differential
run against the plain-Python reading."""

import dataclasses
import pathlib

import pytest

from agents.transmute import complexity as cx
from reference import complexity_reference as ref

TAIL = "Use the Read tool with offset and limit parameters. Do NOT try to read the entire file in one Read call."


def write(tmp_path, lines, name="f.sql", sep="\n"):
    path = tmp_path / name
    path.write_bytes(sep.join(lines).encode("utf-8"))
    return path


def filler(n, prefix="SELECT"):
    return [f"{prefix} {i};" for i in range(1, n + 1)]


def plan_of(path):
    s = cx.plan_reading_strategy(path)
    return (s.should_chunk, s.total_lines, s.first_read_lines, s.section_boundaries)


def with_lines(n, **at):
    lines = filler(n)
    for number, text in at.items():
        lines[int(number[1:]) - 1] = text
    return lines


class TestThresholds:
    def test_500_is_whole_501_is_chunked(self, tmp_path):
        assert plan_of(write(tmp_path, filler(500))) == (False, 500, 500, ())
        assert plan_of(write(tmp_path, filler(501))) == (
            True, 501, 150, ((151, 250, "SELECT 151;"), (250, 501, "SELECT 250;")))

    def test_empty_file_and_final_newline(self, tmp_path):
        assert plan_of(write(tmp_path, [])) == (False, 0, 0, ())
        assert plan_of(write(tmp_path, filler(3) + [""])) == (False, 3, 3, ())

    @pytest.mark.parametrize("n, sections", [(501, 2), (899, 2), (900, 3), (1200, 4), (1500, 5), (9000, 5)])
    def test_target_sections(self, tmp_path, n, sections):
        assert len(plan_of(write(tmp_path, filler(n)))[3]) == sections

    def test_worked_example_1000_lines(self, tmp_path):
        lines = filler(1000)
        lines[332] = ""
        assert plan_of(write(tmp_path, lines))[3] == (
            (151, 333, "SELECT 151;"), (333, 666, "SQL block (334 lines)"), (666, 1000, "SELECT 666;"))


class TestBoundaries:
    @pytest.mark.parametrize("line, counts", [
        ("GO", True), ("  go  ", True), ("\tGo\u3000", True), ("GO 5", False), ("GO;", False),
        ("GO -- end", False), ("create or alter procedure dbo.p", True), ("CREATE\tFUNCTION f()", True),
        ("CREATE PROC p", True), ("CREATE  OR  ALTER  PROC p", True), ("CREATE PROCEDURES", False),
        ("CREATE VIEW v", False), ("CREATE TRIGGER t", False), ("ALTER PROCEDURE p", False),
        ("SELECT 1; CREATE PROC p", False), ("CREATE PROCp", False), ("ᏟREATE PROC p", False),
        ("CREATE PROC_x", False), ("CREATE OR PROC p", False), ("cReAtE pRoCeDuRe[x]", True),
    ])
    def test_line_tests(self, tmp_path, line, counts):
        lines = with_lines(1000, l400=line, l700="GO")
        starts = [s for s, _, _ in plan_of(write(tmp_path, lines))[3]]
        assert (400 in starts) is counts

    def test_single_boundary_is_discarded(self, tmp_path):
        plan = plan_of(write(tmp_path, with_lines(1000, l400="GO")))
        assert [(s, e) for s, e, _ in plan[3]] == [(151, 333), (333, 666), (666, 1000)]

    def test_thinning_keeps_every_step_th(self, tmp_path):
        gos = [100 + 150 * k for k in range(12)]
        lines = filler(2000)
        for number in gos:
            lines[number - 1] = "GO"
        plan = plan_of(write(tmp_path, lines))
        kept = [gos[i] for i in (0, 2, 4, 6, 8)]  # step 2
        assert [s for s, _, _ in plan[3]] == [151] + kept[1:]
        assert plan[3][-1][1] == 2000

    def test_boundary_at_150_and_149(self, tmp_path):
        at150 = plan_of(write(tmp_path, with_lines(600, l150="GO", l400="GO")))[3]
        at149 = plan_of(write(tmp_path, with_lines(600, l149="GO", l400="GO")))[3]
        assert at150[0][:2] == (150, 400) and at150[0][2] == "GO"
        assert at149[0][:2] == (151, 400)

    def test_short_spans_are_dropped(self, tmp_path):
        plan = plan_of(write(tmp_path, with_lines(900, l300="GO", l315="GO", l890="GO")))[3]
        assert [(s, e) for s, e, _ in plan] == [(151, 300), (315, 890)]


class TestHints:
    @pytest.mark.parametrize("line, hint", [
        ("", "SQL block (250 lines)"), ("   ", "SQL block (250 lines)"),
        ("  -- header", "SQL block (250 lines)"), ("x" * 80, "x" * 50),
        ("  Ünïcödé ✓ 𝔘 " + "é" * 60, ("Ünïcödé ✓ 𝔘 " + "é" * 60)[:50]),
    ])
    def test_hint_text(self, tmp_path, line, hint):
        plan = plan_of(write(tmp_path, with_lines(501, l250=line)))[3]
        assert plan[1] == (250, 501, hint.replace("250 lines", "252 lines"))

    def test_merging_keeps_first_hint_and_tie_rule(self, tmp_path):
        # Boundaries at 151..: target 2 for 700 lines, three sections -> merge the smallest pair.
        lines = with_lines(700, l200="", l300="GO", l500="go")
        plan = plan_of(write(tmp_path, lines))
        assert plan == ref.plan("\n".join(lines))
        assert len(plan[3]) == 2


class TestLineEndings:
    @pytest.mark.parametrize("sep", ["\r\n", "\r", "\x0c", "\u2028", "\x85"])
    def test_separators(self, tmp_path, sep):
        lines = with_lines(900, l400="GO", l600="CREATE PROC p")
        path = write(tmp_path, lines, sep=sep)
        assert plan_of(path) == ref.plan(path.read_text(encoding="utf-8"))
        assert plan_of(path)[1] == 900


# Entries whose unpacking fails in the different ways the interpreter reports.
class OwnIterError:
    def __iter__(self):
        raise TypeError("entry refuses iteration")


class NonIterator:
    def __iter__(self):
        return 5


class NotIterable:
    __iter__ = None


class GetItemError:
    def __getitem__(self, index):
        raise TypeError("no items")


class TestInstructions:
    def test_whole_file_text(self):
        s = cx.FileReadingStrategy(False, 10, 10, ((1, 2, "x"),))
        assert s.format_reading_instructions("a/b.sql") == "Read the complete SQL file at `a/b.sql` using the Read tool."
        assert s.format_reading_instructions(sql_path="") == "Read the complete SQL file at `` using the Read tool."

    def test_chunked_text(self):
        s = cx.FileReadingStrategy(True, 1000, 150, ((151, 333, "a: b-c"), (333, 1000, "SQL block (668 lines)")))
        assert s.format_reading_instructions("ignored") == "\n".join([
            "This is a 1000-line SQL file. Read it strategically:",
            "1. Read lines 1-150 to understand structure (SET statements, parameters, procedure signature).",
            "2. Then read each logical section:",
            "   - Lines 151-333: a: b-c",
            "   - Lines 333-1000: SQL block (668 lines)",
            "", TAIL])
        empty = cx.FileReadingStrategy(1, 600, 150, ()).format_reading_instructions("x")
        assert empty.split("\n")[3:] == ["", TAIL] and not empty.endswith("\n")

    @pytest.mark.parametrize("chunk", [False, True])
    def test_path_type_checked_first(self, chunk):
        s = cx.FileReadingStrategy(chunk, 600, 150, None)
        for bad, name in [(pathlib.Path("a"), "PosixPath"), (None, "NoneType"), (b"a", "bytes")]:
            with pytest.raises(TypeError) as info:
                s.format_reading_instructions(bad)
            assert str(info.value) == f"Argument 'sql_path' has incorrect type (expected str, got {name})"

    @pytest.mark.parametrize("boundaries, error, text", [
        (5, TypeError, "'int' object is not iterable"),
        ((5,), TypeError, "cannot unpack non-iterable int object"),
        (((1, 2),), ValueError, "not enough values to unpack (expected 3, got 2)"),
        (((1, 2, "a", "b"),), ValueError, "too many values to unpack (expected 3)"),
    ])
    def test_malformed_boundaries(self, boundaries, error, text):
        s = cx.FileReadingStrategy(True, 600, 150, boundaries)
        with pytest.raises(error) as info:
            s.format_reading_instructions("p")
        assert str(info.value) == text

    @pytest.mark.parametrize("entry", [OwnIterError(), NonIterator(), NotIterable(), GetItemError(), 5, "ab"],
                             ids=lambda entry: type(entry).__name__)
    def test_entry_unpacking_fails_as_the_interpreter_does(self, entry):
        try:
            start, end, hint = entry
        except (TypeError, ValueError) as error:
            expected = (type(error), str(error))
        s = cx.FileReadingStrategy(True, 600, 150, (entry,))
        with pytest.raises((TypeError, ValueError)) as info:
            s.format_reading_instructions("p")
        assert (type(info.value), str(info.value)) == expected

    def test_missing_attribute_only_when_needed(self):
        class Plain:
            should_chunk = False
        assert cx.FileReadingStrategy.format_reading_instructions(Plain(), "p").endswith("Read tool.")
        Plain.should_chunk = True
        with pytest.raises(AttributeError):
            cx.FileReadingStrategy.format_reading_instructions(Plain(), "p")


class TestRecordAndEvent:
    def test_record_shape(self):
        fields = dataclasses.fields(cx.FileReadingStrategy)
        assert [(f.name, f.type) for f in fields] == [
            ("should_chunk", "bool"), ("total_lines", "int"), ("first_read_lines", "int"),
            ("section_boundaries", "tuple[tuple[int, int, str], ...]")]
        with pytest.raises(dataclasses.FrozenInstanceError):
            cx.FileReadingStrategy(False, 1, 1, ()).total_lines = 2

    def test_event_only_for_chunked_plans(self, tmp_path, recording_logger):
        logger = recording_logger(cx)
        cx.plan_reading_strategy(write(tmp_path, filler(500)))
        assert logger.calls == []
        plan = cx.plan_reading_strategy(write(tmp_path, filler(1500)))
        assert logger.calls == [(("reading_strategy",), [
            ("total_lines", 1500), ("sections", len(plan.section_boundaries)), ("first_read", 150)])]

    def test_read_errors_and_bad_calls(self, tmp_path):
        bad = tmp_path / "bad.sql"
        bad.write_bytes(b"\xff")
        with pytest.raises(UnicodeDecodeError):
            cx.plan_reading_strategy(bad)
        with pytest.raises(AttributeError):
            cx.plan_reading_strategy("x.sql")
        with pytest.raises(TypeError):
            cx.plan_reading_strategy()
        with pytest.raises(TypeError):
            cx.plan_reading_strategy(bad, bad)

    def test_replaced_re_takes_host_path(self, tmp_path, monkeypatch):
        import re
        seen = []

        class SpyRe:
            IGNORECASE = re.IGNORECASE

            def match(self, pattern, text, flags=0):
                seen.append(text)
                return re.match(pattern, text, flags)
        path = write(tmp_path, with_lines(900, l400="GO", l600="GO"))
        expected = plan_of(path)
        monkeypatch.setattr(cx, "re", SpyRe())
        assert plan_of(path) == expected and len(seen) >= 900


class FakePath:
    def __init__(self, text):
        self.text = text

    def read_text(self, *, encoding):
        assert encoding == "utf-8"
        return self.text


def random_file(rng):
    n = rng.choice([0, 10, 499, 500, 501, 650, 899, 900, 1199, 1200, 1499, 1500, 3000, 7000])
    pool = ["GO", " go ", "CREATE PROC p", "create or alter function f()", "CREATE VIEW v", "",
            "-- comment", "  SELECT ſ ı İ \u212a", "x" * 90, "é" * 70, "GO 2", "𝔘 astral", "\u3000",
            "CREATE\u00a0PROCEDURE q", "CREATE PROCEDURE_X", "ÿ\u2027\u0085x" * 7]
    weights = [rng.random() for _ in pool]
    seps = rng.choice([["\n"], ["\n", "\r\n"], ["\n", "\r", "\x0c", "\u2028", "\x1e"],
                       ["\x0b", "\x1c", "\x1d", "\x85", "\u2029", "\r\n"]])
    out = []
    for _ in range(n):
        line = rng.choices(pool, weights)[0] if rng.random() < 0.2 else f"SELECT {rng.randrange(99)}"
        out.append(line + rng.choice(seps))
    return "".join(out)


def test_differential_plans_and_texts(seeded_random):
    for _ in range(150):
        text = random_file(seeded_random)
        expected = ref.plan(text)
        got = cx.plan_reading_strategy(FakePath(text))
        assert (got.should_chunk, got.total_lines, got.first_read_lines, got.section_boundaries) == expected
        assert got.format_reading_instructions("dir/x.sql") == ref.instructions(expected, "dir/x.sql")


def test_line_tests_agree_with_re_on_every_code_point():
    # Every character that could fold onto a letter of the two line patterns, in every position.
    import re
    candidates = [chr(c) for c in range(0x30000) if chr(c).lower() != chr(c) or chr(c).upper() != chr(c)
                  or chr(c).isspace()]
    for word in ("GO", "CREATE PROC x"):
        for pos in range(len(word)):
            lines = [word[:pos] + ch + word[pos + 1:] for ch in candidates]
            expected = [bool(re.match(ref.GO_LINE, line.strip(), re.I) or
                             re.match(ref.DEFINITION_LINE, line.strip(), re.I))
                        for line in lines]
            text = "\n".join(["SELECT 1"] * 501 + lines)
            plan_lines = cx.plan_reading_strategy(FakePath(text))
            assert plan_lines == cx.FileReadingStrategy(*ref.plan(text))
            assert sum(expected) >= 1


def test_str_subclass_from_read_text_takes_host_path(seeded_random):
    class Text(str):
        pass
    for _ in range(20):
        text = random_file(seeded_random)
        got = cx.plan_reading_strategy(FakePath(Text(text)))
        assert got == cx.FileReadingStrategy(*ref.plan(text))
