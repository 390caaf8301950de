# Types of agents.transmute.originscan: platforms, the marker record and the platform detector.
# Checked against the runtime by tests/test_stubs.py.
from dataclasses import dataclass
from enum import StrEnum
from typing import Final

from agents.transmute.detector import (
    Detector as Detector,
    Evidence as Evidence,
    Verdict as Verdict,
    default_detector as default_detector,
    detect_platform as detect_platform,
)

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
@dataclass(frozen=True, kw_only=True)
class Marker:
    id: str
    platforms: list[Platform]
    confidence: str
    pattern: str
    scope: str | None = None
    corroborating_only: bool = False
    def __post_init__(self) -> None: ...

def __getattr__(name: str) -> object: ...
