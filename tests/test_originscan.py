"""The scanner's platforms and marker record, as the marker table uses them."""

import dataclasses

import pytest

import agents.transmute.originscan as originscan
from agents.transmute.originscan import Marker, Platform

VALID = dict(id="mysql.auto_increment", platforms=[Platform.MYSQL], confidence="high", pattern=r"\bAUTO_INCREMENT\b")


def test_platforms():
    assert [p.value for p in Platform] == [
        "databricks", "snowflake", "postgresql", "mysql", "sqlserver",
        "oracle", "redshift", "bigquery", "teradata", "hive",
    ]  # fmt: skip
    for platform in Platform:
        assert platform.name == platform.value.upper()
        assert getattr(originscan, f"PLATFORM_{platform.name}") is platform
    assert Platform.SQLSERVER == "sqlserver" and isinstance(Platform.HIVE, str)


class TestMarker:
    def test_defaults_and_fields(self):
        marker = Marker(**VALID)
        assert (marker.scope, marker.corroborating_only) == (None, False)
        assert [f.name for f in dataclasses.fields(Marker)] == [
            "id", "platforms", "confidence", "pattern", "scope", "corroborating_only",
        ]  # fmt: skip

    def test_keyword_only_frozen_and_field_wise_equal(self):
        with pytest.raises(TypeError):
            Marker(*VALID.values())
        marker = Marker(**VALID, scope="comment")
        with pytest.raises(dataclasses.FrozenInstanceError):
            marker.pattern = "x"
        assert marker == Marker(**{**VALID, "platforms": [Platform.MYSQL]}, scope="comment")
        assert marker != Marker(**VALID)

    def test_unhashable_because_platforms_is_a_list(self):
        with pytest.raises(TypeError, match="unhashable"):
            hash(Marker(**VALID))

    @pytest.mark.parametrize(
        ("changes", "error"),
        [
            ({"id": None}, TypeError),
            ({"id": ""}, ValueError),
            ({"platforms": (Platform.MYSQL,)}, TypeError),
            ({"platforms": []}, ValueError),
            ({"platforms": ["mysql"]}, TypeError),
            ({"platforms": [Platform.MYSQL, Platform.MYSQL]}, ValueError),
            ({"confidence": "low"}, ValueError),
            ({"confidence": "HIGH"}, ValueError),
            ({"pattern": b"x"}, TypeError),
            ({"pattern": ""}, ValueError),
            ({"scope": "line"}, ValueError),
            ({"corroborating_only": 1}, TypeError),
        ],
    )
    def test_refuses_bad_values(self, changes, error):
        with pytest.raises(error):
            Marker(**{**VALID, **changes})

    def test_accepts_every_documented_form(self):
        Marker(**VALID, scope="comment")
        Marker(**{**VALID, "confidence": "medium", "platforms": [Platform.HIVE, Platform.MYSQL]}, corroborating_only=True)
