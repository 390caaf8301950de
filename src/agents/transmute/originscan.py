"""Which database platform a SQL script was written for: the platforms, the marker record and
the detector that weighs the marker table's matches into a verdict.

`agents.transmute.cuebook` imports `Marker` and the ten `PLATFORM_*` constants from here and
builds its `PLATFORM_MARKERS` table from them; `detect_platform` matches that table against a
script. Tested in tests/test_originscan.py and tests/test_detector*.py.
"""

import bisect
import functools
import re
from dataclasses import dataclass
from enum import StrEnum

__all__ = [
    "Platform",
    "Marker",
    "PLATFORM_DATABRICKS",
    "PLATFORM_SNOWFLAKE",
    "PLATFORM_POSTGRESQL",
    "PLATFORM_MYSQL",
    "PLATFORM_SQLSERVER",
    "PLATFORM_ORACLE",
    "PLATFORM_REDSHIFT",
    "PLATFORM_BIGQUERY",
    "PLATFORM_TERADATA",
    "PLATFORM_HIVE",
    "Evidence",
    "Verdict",
    "Detector",
    "detect_platform",
    "default_detector",
]


class Platform(StrEnum):
    DATABRICKS = "databricks"
    SNOWFLAKE = "snowflake"
    POSTGRESQL = "postgresql"
    MYSQL = "mysql"
    SQLSERVER = "sqlserver"
    ORACLE = "oracle"
    REDSHIFT = "redshift"
    BIGQUERY = "bigquery"
    TERADATA = "teradata"
    HIVE = "hive"


PLATFORM_DATABRICKS = Platform.DATABRICKS
PLATFORM_SNOWFLAKE = Platform.SNOWFLAKE
PLATFORM_POSTGRESQL = Platform.POSTGRESQL
PLATFORM_MYSQL = Platform.MYSQL
PLATFORM_SQLSERVER = Platform.SQLSERVER
PLATFORM_ORACLE = Platform.ORACLE
PLATFORM_REDSHIFT = Platform.REDSHIFT
PLATFORM_BIGQUERY = Platform.BIGQUERY
PLATFORM_TERADATA = Platform.TERADATA
PLATFORM_HIVE = Platform.HIVE

CONFIDENCES = ("high", "medium")
SCOPES = (None, "comment")


# Keyword-only: the table passes every field by name, and a positional call would silently
# depend on declaration order. Equality is field-wise. Hashing is left as the frozen dataclass
# makes it, so hash() raises on the `platforms` list: that list is shared with every reader and
# may be mutated, and a hash over a mutable list would go stale. Key markers by `id` instead.
@dataclass(frozen=True, eq=True, kw_only=True)
class Marker:
    """One row of the marker table: a pattern and the platforms whose dialect it betrays.

    `scope` "comment" says the pattern is meant for comment text; `corroborating_only` says a
    match may support a verdict but not make one on its own.
    """

    id: str
    platforms: list
    confidence: str
    pattern: str
    scope: str | None = None
    corroborating_only: bool = False

    def __post_init__(self):
        if type(self.id) is not str:
            raise TypeError(f"Marker id must be a str, got {type(self.id).__name__}")
        if not self.id:
            raise ValueError("Marker id must not be empty")
        if type(self.platforms) is not list:
            raise TypeError(f"Marker {self.id}: platforms must be a list, got {type(self.platforms).__name__}")
        if not self.platforms:
            raise ValueError(f"Marker {self.id}: platforms must not be empty")
        for platform in self.platforms:
            if not isinstance(platform, Platform):
                raise TypeError(f"Marker {self.id}: {platform!r} is not a Platform")
        if len(set(self.platforms)) != len(self.platforms):
            raise ValueError(f"Marker {self.id}: a platform is listed twice in {self.platforms!r}")
        if self.confidence not in CONFIDENCES:
            raise ValueError(f"Marker {self.id}: confidence must be one of {CONFIDENCES}, got {self.confidence!r}")
        if type(self.pattern) is not str:
            raise TypeError(f"Marker {self.id}: pattern must be a str, got {type(self.pattern).__name__}")
        if not self.pattern:
            raise ValueError(f"Marker {self.id}: pattern must not be empty")
        if self.scope not in SCOPES:
            raise ValueError(f"Marker {self.id}: scope must be one of {SCOPES}, got {self.scope!r}")
        if type(self.corroborating_only) is not bool:
            raise TypeError(
                f"Marker {self.id}: corroborating_only must be a bool, got {type(self.corroborating_only).__name__}"
            )


# ---------------------------------------------------------------------------------------------
# Detection.
#
# Every row is compiled once per detector with FLAGS. SQL keywords are case-insensitive and
# scripts are written in every letter case, so rows match with IGNORECASE; eight rows anchor with
# ^ or $ and mean a line start or end (a GO line, a psql meta-command, a SQL*Plus "/" line), so
# rows match with MULTILINE. The native engine runs every row it can compile; the others run on
# `re` and are listed in `Detector.fallbacks`.
#
# Comments are "--" to the end of the line and "/*" to the nearest "*/", read left to right so
# that an opener inside the other kind of comment is part of it. "#" does not open a comment
# here: rows mysql.hash_comment and bigquery.magic_comment match the "#" comments themselves, and
# "#" also starts SQL Server temporary-table names. String literals are not recognised, the same
# as in the complexity and lorepick modules. A row with scope "comment" counts only where its
# match lies inside one comment; every other row is searched in the text with the comments
# blanked to spaces, line breaks kept, so offsets and line numbers are those of the original.

FLAGS = re.IGNORECASE | re.MULTILINE

# A medium row counts half a high one. A corroborating-only row adds its weight only to a
# platform that already has evidence from a row that is not corroborating-only.
WEIGHTS = {"high": 1.0, "medium": 0.5}
# Below this score (one high row, or two medium rows) the evidence is too thin to name anything.
MIN_SCORE = 1.0
# The runner-up must stay at or below this share of the best score, or the verdict is unknown.
RUNNER_UP_RATIO = 0.6
# Three high rows' worth of lead makes a verdict as confident as it gets.
FULL_CONFIDENCE_SCORE = 3.0

_COMMENT_SOURCE = r"--[^\n]*|/\*[\s\S]*?\*/"
_GAP = re.compile(r"\[\\s\\S\]\{0,(\d+)\}\?")


@dataclass(frozen=True, kw_only=True)
class Evidence:
    """One matched row: where it first matched (1-based line) and whether it counted."""

    marker: str
    line: int
    confidence: str
    platforms: tuple[Platform, ...]
    counted: bool

    def to_dict(self) -> dict:
        return {
            "marker": self.marker,
            "line": self.line,
            "confidence": self.confidence,
            "platforms": [str(p) for p in self.platforms],
            "counted": self.counted,
        }


@dataclass(frozen=True, kw_only=True)
class Verdict:
    """The detector's answer: the platform (None when unknown), how sure it is, every platform's
    score from best to worst, and the rows that matched, in line order."""

    platform: Platform | None
    confidence: float
    scores: dict[Platform, float]
    evidence: tuple[Evidence, ...]
    reason: str

    def to_dict(self) -> dict:
        return {
            "platform": None if self.platform is None else str(self.platform),
            "confidence": self.confidence,
            "reason": self.reason,
            "scores": {str(p): score for p, score in self.scores.items()},
            "evidence": [e.to_dict() for e in self.evidence],
        }


def split_alternatives(source: str) -> list[str]:
    """Splits a pattern at its top-level "|" (outside groups and character classes)."""
    parts, depth, start, i, in_class = [], 0, 0, 0, False
    while i < len(source):
        ch = source[i]
        if ch == "\\":
            i += 2
            continue
        if in_class:
            if ch == "]":
                in_class = False
        elif ch == "[":
            in_class = True
            if source.startswith("^", i + 1):
                i += 1
            if source.startswith("]", i + 1):
                i += 1
        elif ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        elif ch == "|" and depth == 0:
            parts.append(source[start:i])
            start = i + 1
        i += 1
    parts.append(source[start:])
    return parts


def _distribute_leading_group(alternative: str) -> list[str]:
    r"""`(?:a|b)rest` as `arest` and `brest`: an alternation at the head hides the literal that
    follows it from the engine's skip-ahead, as in `(?:^|;)\s*SEL\s+`."""
    if not alternative.startswith("(?:"):
        return [alternative]
    depth, i = 0, 0
    while i < len(alternative):
        ch = alternative[i]
        if ch == "\\":
            i += 2
            continue
        if ch == "[":
            # A class holds no group; skip to its end.
            i = alternative.index("]", i + 2 if alternative.startswith("[]", i) else i + 1)
        elif ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
            if depth == 0:
                break
        i += 1
    inner, rest = alternative[3:i], alternative[i + 1 :]
    if rest[:1] in ("*", "+", "?", "{"):
        return [alternative]
    heads = split_alternatives(inner)
    return [head + rest for head in heads] if len(heads) > 1 else [alternative]


def _split_gaps(alternative: str) -> tuple[list[str], list[int]]:
    r"""Cuts an alternative at its top-level bounded gaps `[\s\S]{0,n}?`."""
    pieces, gaps, start, depth, i = [], [], 0, 0, 0
    while i < len(alternative):
        ch = alternative[i]
        if ch == "\\":
            i += 2
            continue
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        elif ch == "[" and depth == 0:
            gap = _GAP.match(alternative, i)
            if gap:
                pieces.append(alternative[start:i])
                gaps.append(int(gap.group(1)))
                i = start = gap.end()
                continue
        i += 1
    pieces.append(alternative[start:])
    return pieces, gaps


class _Search:
    """One compiled pattern, on the native engine or on `re`."""

    __slots__ = ("program", "native")

    def __init__(self, source: str, flags: int, engine):
        # Compiled programs keep their source; a copy leaves the marker table's own strings
        # owned by their records alone.
        source = source.encode().decode()
        self.native = False
        if engine is not None:
            try:
                self.program = engine.compile(source, flags)
                self.native = True
                return
            except ValueError:
                pass
        self.program = re.compile(source, flags)

    def first(self, text: str) -> tuple[int, int] | None:
        if self.native:
            return self.program.span(text)
        found = self.program.search(text)
        return found.span() if found else None

    def all(self, text: str) -> list[tuple[int, int]]:
        if self.native:
            return self.program.spans(text)
        return [m.span() for m in self.program.finditer(text)]


class _Chain:
    r"""`head[\s\S]{0,n}?tail`, searched as its pieces.

    A bounded gap costs an automaton one state per gap character at every head match, so a
    gap of 3,000 characters after a common head such as CREATE TABLE dominates a whole scan.
    The pieces are keyword patterns instead: search each once, then keep the head matches that
    reach a match of the next piece within the gap. The first start found is the one
    `re.search` gives for the whole alternative.
    """

    __slots__ = ("pieces", "gaps")

    def __init__(self, pieces: list[_Search], gaps: list[int]):
        self.pieces, self.gaps = pieces, gaps

    def first(self, text: str) -> tuple[int, int] | None:
        # reach maps the end of the latest piece matched to the earliest head start behind it.
        reach = {end: start for start, end in self.pieces[0].all(text)}
        for piece, gap in zip(self.pieces[1:], self.gaps):
            if not reach:
                return None
            spans = piece.all(text)
            starts = [start for start, _ in spans]
            extended: dict[int, int] = {}
            for end, origin in reach.items():
                i = bisect.bisect_left(starts, end)
                while i < len(starts) and starts[i] <= end + gap:
                    piece_end = spans[i][1]
                    if extended.get(piece_end, origin) >= origin:
                        extended[piece_end] = origin
                    i += 1
            reach = extended
        if not reach:
            return None
        end, origin = min(reach.items(), key=lambda item: (item[1], item[0]))
        return origin, end

    def all(self, text: str) -> list[tuple[int, int]]:
        found = self.first(text)
        return [found] if found else []


class _Row:
    __slots__ = ("marker", "alternatives", "weight")

    def __init__(self, marker: Marker, flags: int, engine):
        self.marker = marker
        self.weight = WEIGHTS[marker.confidence]
        # Each top-level alternative is searched on its own: the engine finds a literal to skip
        # ahead to in most alternatives, but not in their union, and the first start of a union
        # is the earliest first start of its alternatives.
        alternatives = [marker.pattern]
        if engine is not None:
            alternatives = [
                part for alternative in split_alternatives(marker.pattern)
                for part in _distribute_leading_group(alternative)
            ]  # fmt: skip
        self.alternatives = []
        for alternative in alternatives:
            pieces, gaps = _split_gaps(alternative)
            if gaps and engine is not None:
                searches = [_Search(piece, flags, engine) for piece in pieces]
                if all(search.native for search in searches):
                    self.alternatives.append(_Chain(searches, gaps))
                    continue
            self.alternatives.append(_Search(alternative, flags, engine))

    @property
    def native(self) -> bool:
        return all(
            alt.native if isinstance(alt, _Search) else all(p.native for p in alt.pieces)
            for alt in self.alternatives
        )

    def first(self, text: str) -> tuple[int, int] | None:
        best = None
        for alternative in self.alternatives:
            found = alternative.first(text)
            if found is not None and (best is None or found[0] < best[0]):
                best = found
        return best

    def first_within(self, text: str, comments: list[tuple[int, int]], comment_starts: list[int]):
        """The first match that lies inside one comment."""
        best = None
        for alternative in self.alternatives:
            for start, end in alternative.all(text):
                i = bisect.bisect_right(comment_starts, start) - 1
                if i >= 0 and end <= comments[i][1]:
                    if best is None or start < best[0]:
                        best = (start, end)
                    break
        return best


def _blank(segment: str) -> str:
    if "\n" not in segment:
        return " " * len(segment)
    return "\n".join(" " * len(line) for line in segment.split("\n"))


class Detector:
    """The marker table compiled once; `detect` weighs one script's matches into a `Verdict`.

    `markers` defaults to `agents.transmute.cuebook.PLATFORM_MARKERS`. With `engine=False` every
    row runs on `re`, as a baseline for measurements.
    """

    def __init__(self, markers=None, *, flags: int = FLAGS, engine: bool = True):
        if markers is None:
            # Imported here: cuebook imports this module while it builds the table.
            from agents.transmute.cuebook import PLATFORM_MARKERS as markers
        native = None
        if engine:
            from agents.transmute import _engine as native
        self.flags = flags
        self.rows = [_Row(marker, flags, native) for marker in markers]
        self._comments = _Search(_COMMENT_SOURCE, 0, native)

    @property
    def fallbacks(self) -> list[str]:
        """Ids of the rows that run on `re` because the native engine refused them."""
        return [row.marker.id for row in self.rows if not row.native]

    def comment_spans(self, text: str) -> list[tuple[int, int]]:
        return self._comments.all(text)

    def code_text(self, text: str, comments: list[tuple[int, int]]) -> str:
        """`text` with every comment blanked to spaces, line breaks kept."""
        if not comments:
            return text
        pieces, last = [], 0
        for start, end in comments:
            pieces.append(text[last:start])
            pieces.append(_blank(text[start:end]))
            last = end
        pieces.append(text[last:])
        return "".join(pieces)

    def matches(self, text: str) -> list[tuple[Marker, int]]:
        """Each matching row with the 1-based line of its first match, in table order."""
        if type(text) is not str:
            raise TypeError(f"text must be a str, got {type(text).__name__}")
        comments = self.comment_spans(text)
        comment_starts = [start for start, _ in comments]
        code = self.code_text(text, comments)
        found = []
        for row in self.rows:
            if row.marker.scope == "comment":
                span = row.first_within(text, comments, comment_starts)
            else:
                span = row.first(code)
            if span is None:
                continue
            start, end = span
            matched = code[start:end] if row.marker.scope is None else text[start:end]
            start += len(matched) - len(matched.lstrip())
            found.append((row.marker, text.count("\n", 0, start) + 1))
        return found

    def detect(self, text: str) -> Verdict:
        return weigh(self.matches(text))


def weigh(found: list[tuple[Marker, int]]) -> Verdict:
    """Turns matched rows into a verdict (see WEIGHTS, MIN_SCORE and RUNNER_UP_RATIO)."""
    direct: dict[Platform, float] = {}
    for marker, _ in found:
        if not marker.corroborating_only:
            for platform in marker.platforms:
                direct[platform] = direct.get(platform, 0.0) + WEIGHTS[marker.confidence]
    scores = dict(direct)
    evidence = []
    for marker, line in found:
        weight = WEIGHTS[marker.confidence]
        counted = not marker.corroborating_only
        if marker.corroborating_only:
            for platform in marker.platforms:
                if direct.get(platform, 0.0) > 0:
                    scores[platform] += weight
                    counted = True
        evidence.append(
            Evidence(
                marker=marker.id,
                line=line,
                confidence=marker.confidence,
                platforms=tuple(marker.platforms),
                counted=counted,
            )
        )
    evidence.sort(key=lambda e: (e.line, e.marker))
    order = list(Platform)
    ranked = sorted(scores.items(), key=lambda item: (-item[1], order.index(item[0])))
    ranked_scores = {platform: score for platform, score in ranked}
    best_platform, best = ranked[0] if ranked else (None, 0.0)
    second = ranked[1][1] if len(ranked) > 1 else 0.0
    if best == 0.0:
        platform, reason = None, "no evidence"
    elif best < MIN_SCORE:
        platform, reason = None, f"thin evidence: {best_platform} {best:g} < {MIN_SCORE:g}"
    elif second > RUNNER_UP_RATIO * best:
        platform, reason = None, f"too close: {best_platform} {best:g} vs {ranked[1][0]} {second:g}"
    else:
        platform, reason = best_platform, f"{best_platform} {best:g}, runner-up {second:g}"
    confidence = 0.0
    if platform is not None:
        confidence = round((best - second) / best * min(best, FULL_CONFIDENCE_SCORE) / FULL_CONFIDENCE_SCORE, 2)
    return Verdict(
        platform=platform,
        confidence=confidence,
        scores=ranked_scores,
        evidence=tuple(evidence),
        reason=reason,
    )


@functools.cache
def default_detector() -> Detector:
    """The detector over PLATFORM_MARKERS with FLAGS and the native engine, built on first use."""
    return Detector()


def detect_platform(text: str) -> Verdict:
    """Which platform `text` was written for, by the default detector."""
    return default_detector().detect(text)
