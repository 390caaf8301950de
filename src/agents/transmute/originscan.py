"""The source platforms and the marker record of the platform-marker table.

`agents.transmute.cuebook` imports `Marker` and the ten `PLATFORM_*` constants from here and
builds its `PLATFORM_MARKERS` table from them. The detector that matches the table against a
script is `agents.transmute.detector` (its names are also reachable from here).
Tested in tests/test_originscan.py.
"""

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


# The detector lives in agents.transmute.detector; its names are reachable from here too, loaded
# on first use so that building the marker table never pulls it in.
_DETECTOR_NAMES = ("Evidence", "Verdict", "Detector", "detect_platform", "default_detector")


def __getattr__(name):
    if name in _DETECTOR_NAMES:
        from agents.transmute import detector

        return getattr(detector, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
