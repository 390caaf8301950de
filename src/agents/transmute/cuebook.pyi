# Types of the native module agents.transmute.cuebook: the platform marker table. Checked
# against the runtime by tests/test_stubs.py.
from agents.transmute.originscan import (
    PLATFORM_BIGQUERY as PLATFORM_BIGQUERY,
    PLATFORM_DATABRICKS as PLATFORM_DATABRICKS,
    PLATFORM_HIVE as PLATFORM_HIVE,
    PLATFORM_MYSQL as PLATFORM_MYSQL,
    PLATFORM_ORACLE as PLATFORM_ORACLE,
    PLATFORM_POSTGRESQL as PLATFORM_POSTGRESQL,
    PLATFORM_REDSHIFT as PLATFORM_REDSHIFT,
    PLATFORM_SNOWFLAKE as PLATFORM_SNOWFLAKE,
    PLATFORM_SQLSERVER as PLATFORM_SQLSERVER,
    PLATFORM_TERADATA as PLATFORM_TERADATA,
    Marker as Marker,
)

PLATFORM_MARKERS: list[Marker]
