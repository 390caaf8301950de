"""Decoding a script's bytes as the command does, against Path.read_text and the codecs."""

import codecs

import pytest

from agents.transmute.assess import NotAssessed, decode

TEXT = "SELECT 'Ünïcode 東京 😀' AS s\r\nFROM t\rWHERE x = 1\n"
READ_TEXT = TEXT.replace("\r\n", "\n").replace("\r", "\n")


@pytest.mark.parametrize(
    ("mark", "codec", "name"),
    [
        (codecs.BOM_UTF8, "utf-8", "utf-8"),
        (codecs.BOM_UTF16_LE, "utf-16-le", "utf-16-le"),
        (codecs.BOM_UTF16_BE, "utf-16-be", "utf-16-be"),
        (codecs.BOM_UTF32_LE, "utf-32-le", "utf-32-le"),
        (codecs.BOM_UTF32_BE, "utf-32-be", "utf-32-be"),
    ],
)
def test_byte_order_marks(mark, codec, name):
    # A UTF-8 mark stays as U+FEFF, as read_text keeps it; the others are not text.
    expected = ("\ufeff" if name == "utf-8" else "") + READ_TEXT
    assert decode(mark + TEXT.encode(codec)) == (expected, name, True)


def test_plain_utf8_translates_newlines_like_read_text(tmp_path):
    path = tmp_path / "x.sql"
    path.write_bytes(TEXT.encode())
    assert decode(path.read_bytes()) == (path.read_text(encoding="utf-8"), "utf-8", False)


def test_utf8_bom_text_equals_read_text(tmp_path):
    from agents.transmute.complexity import classify_sql, classify_sql_file
    path = tmp_path / "x.sql"
    path.write_bytes(codecs.BOM_UTF8 + b"\r\n")
    text = decode(path.read_bytes())[0]
    assert text == path.read_text(encoding="utf-8")
    assert classify_sql(text) == classify_sql_file(path)
    assert classify_sql(text).effective_lines == 1


def test_strict_utf8_and_truncated_utf16():
    with pytest.raises(UnicodeDecodeError):
        decode("café".encode("latin-1"))
    with pytest.raises(UnicodeDecodeError):
        decode(codecs.BOM_UTF16_LE + b"S\x00E")


def test_utf16_without_mark_and_binary():
    assert decode("SELECT 1;\n".encode("utf-16-le")) == ("SELECT 1;\n", "utf-16-le", False)
    assert decode("SELECT 1;\n".encode("utf-16-be")) == ("SELECT 1;\n", "utf-16-be", False)
    with pytest.raises(NotAssessed, match="NUL"):
        decode(b"\x7fELF\x00\x01\x02binary\x00")
