"""Writing of the headers the build generates (gen_flags.py, gen_casefix.py)."""

import pathlib


def write_header(target: str, text: str) -> None:
    """Writes `text` to `target`, only when it changes, so that a rebuild recompiles nothing."""
    path = pathlib.Path(target)
    path.parent.mkdir(parents=True, exist_ok=True)
    if not path.exists() or path.read_text(encoding="ascii") != text:
        path.write_text(text, encoding="ascii")
