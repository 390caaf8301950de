"""Writes the seed corpora under fuzz/corpus/ from the test suite's string literals, the example
scripts and the example knowledge documents.

    python fuzz/make_corpus.py

Each seed is two selector bytes followed by UTF-8 text (see _common.decode).
"""

import ast
import hashlib
import os
import pathlib
import random
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"
MAX_SEED = 4096

sys.path.insert(0, str(ROOT / "tests"))
from reference import patterngen  # noqa: E402


# Seeds for the engine's generated-pattern inputs: spellings whose pattern repeats a group that
# can match the empty string, found with a fixed random sequence, each with texts of letter runs.
def generated_seeds(count=24):
    rng = random.Random(2024)
    seeds = []
    while len(seeds) < count:
        spelling = bytes(rng.randrange(256) for _ in range(rng.randint(6, 24)))
        source = patterngen.pattern_from_bytes(spelling)
        try:
            re.compile(source)
        except re.error:
            continue
        if ")*" in source or ")+" in source or "){" in source:
            seeds.append((spelling, patterngen.random_text(rng)))
    return seeds


def test_strings():
    """String literals of the test suite that look like SQL or Markdown text."""
    found = set()
    for path in sorted((ROOT / "tests").rglob("*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Constant) and isinstance(node.value, str) and 3 <= len(node.value) \
                    and not node.value.isidentifier() and not node.value.startswith("agents."):
                found.add(node.value[:MAX_SEED])
    return sorted(found)


def example_texts():
    out = []
    for path in sorted((ROOT / "examples").rglob("*")):
        if path.suffix in (".sql", ".md"):
            raw = path.read_bytes()
            for bom, codec in ((b"\xff\xfe", "utf-16-le"), (b"\xfe\xff", "utf-16-be")):
                if raw.startswith(bom):
                    raw = raw[2:].decode(codec).encode("utf-8")
            out.append(raw.decode("utf-8", "surrogateescape")[:MAX_SEED])
    return out


def write(target, selector, text):
    try:
        encoded = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # surrogates that are not escaped bytes (test_hostile's texts)
        encoded = text.encode("utf-8", "surrogatepass")
    data = bytes(selector) + encoded
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


def main():
    texts = test_strings() + example_texts()
    for i, text in enumerate(texts):
        write("complexity", (i % 256, 0), text)
        write("lorepick", (i * 37 % 256, i * 11 % 256), text)
        # The engine seeds cycle through the patterns.
        write("engine", (i % 256, i * 7 % 256), text)
    # Generated patterns (byte 0 from 0xE0, byte 2 the token count, then the tokens).
    for n, (spelling, text) in enumerate(generated_seeds()):
        write("engine", (0xE0 + n % 8, n % 5, len(spelling) - 1, *spelling), text)
    for target in ("complexity", "lorepick", "engine"):
        print(target, len(os.listdir(CORPUS / target)))


if __name__ == "__main__":
    main()
