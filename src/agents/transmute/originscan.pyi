# Types of agents.transmute.originscan: platforms, the marker record and the platform detector.
# Checked against the runtime by tests/test_stubs.py.
from collections.abc import Iterable
from dataclasses import dataclass
from enum import StrEnum
from typing import Final

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

PLATFORM_DATABRICKS: Final[Platform]
PLATFORM_SNOWFLAKE: Final[Platform]
PLATFORM_POSTGRESQL: Final[Platform]
PLATFORM_MYSQL: Final[Platform]
PLATFORM_SQLSERVER: Final[Platform]
PLATFORM_ORACLE: Final[Platform]
PLATFORM_REDSHIFT: Final[Platform]
PLATFORM_BIGQUERY: Final[Platform]
PLATFORM_TERADATA: Final[Platform]
PLATFORM_HIVE: Final[Platform]

CONFIDENCES: tuple[str, ...]
SCOPES: tuple[str | None, ...]
FLAGS: int
WEIGHTS: dict[str, float]
MIN_SCORE: float
RUNNER_UP_RATIO: float
FULL_CONFIDENCE_SCORE: float

@dataclass(frozen=True, kw_only=True)
class Marker:
    id: str
    platforms: list[Platform]
    confidence: str
    pattern: str
    scope: str | None = None
    corroborating_only: bool = False
    def __post_init__(self) -> None: ...

@dataclass(frozen=True, kw_only=True)
class Evidence:
    marker: str
    line: int
    confidence: str
    platforms: tuple[Platform, ...]
    counted: bool
    def to_dict(self) -> dict[str, object]: ...

@dataclass(frozen=True, kw_only=True)
class Verdict:
    platform: Platform | None
    confidence: float
    scores: dict[Platform, float]
    evidence: tuple[Evidence, ...]
    reason: str
    def to_dict(self) -> dict[str, object]: ...

class Detector:
    flags: int
    @property
    def fallbacks(self) -> list[str]: ...
    def __init__(self, markers: Iterable[Marker] | None = None, *, flags: int = ..., engine: bool = True) -> None: ...
    def comment_spans(self, text: str) -> list[tuple[int, int]]: ...
    def code_text(self, text: str, comments: list[tuple[int, int]]) -> str: ...
    def matches(self, text: str) -> list[tuple[Marker, int]]: ...
    def detect(self, text: str) -> Verdict: ...

def split_alternatives(source: str) -> list[str]: ...
def weigh(found: list[tuple[Marker, int]]) -> Verdict: ...
def default_detector() -> Detector: ...
def detect_platform(text: str) -> Verdict: ...
