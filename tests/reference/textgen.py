"""Seeded generators of SQL-like text over the four string kinds (ASCII, Latin-1, BMP, astral)."""

KEYWORDS = [
    "SELECT", "select", "FROM", "WHERE", "MERGE", "merge", "CURSOR", "DECLARE", "EXEC", "EXECUTE",
    "sp_executesql", "DYNAMIC", "BEGIN", "TRY", "CATCH", "OPENXML", "hierarchyid", "geography",
    "geometry", "FOR", "XML", "OPENJSON", "LINKED", "SERVER", "WITH", "AS", "CREATE", "TABLE",
    "WHILE", "IF", "EXISTS", "NOT", "CASE", "WHEN", "OVER", "PIVOT", "UNPIVOT", "PROC",
    "PROCEDURE", "FUNCTION", "OR", "ALTER", "GO", "go", "JOIN", "LEFT", "GROUP", "BY", "COUNT",
    "ISNULL", "CAST", "DATEDIFF", "ROW_NUMBER", "JSON_VALUE", "#tmp", "##g", "@t", "x", "_a1",
    # case variants the host's IGNORECASE folds onto ASCII letters
    "ſelect", "merſe", "curſor", "CURſOR", "dıstinct", "İF", "exıſts", "\u212aEY", "OPENJſON",
]
PUNCT = ["(", ")", ",", ";", "'", "--", "/*", "*/", "*", "=", "-", "/", "#", "@", ".", "[", "]"]
SPACES = [" ", " ", " ", "\t", "\n", "\n", "\r\n", "\r", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e",
          "\x85", "\u2028", "\u2029", "\u00a0", "\u3000", "  "]
EXTRA = {
    "ascii": ["a", "Z", "0", "_", "~"],
    "latin1": ["é", "ß", "\u00a0", "ÿ", "µ", "\x85"],
    "bmp": ["ı", "İ", "ſ", "\u212a", "٣", "中", "\u2028", "\u3000", "Ω"],
    "astral": ["𝔘", "😀", "𐐀", "𝟘", "\U0001d7d8"],
}
KINDS = list(EXTRA)


def _pools(kind):
    extra = []
    for name in KINDS[: KINDS.index(kind) + 1]:
        extra += EXTRA[name]
    keywords = KEYWORDS if kind != "ascii" else [k for k in KEYWORDS if k.isascii()]
    spaces = SPACES if kind != "ascii" else [s for s in SPACES if s.isascii()]
    return keywords, spaces, extra


def sql_text(rng, kind, tokens=None):
    """A random SQL-like text whose widest character belongs to `kind`."""
    keywords, spaces, extra = _pools(kind)
    n = tokens if tokens is not None else rng.randrange(0, 120)
    parts = []
    for _ in range(n):
        roll = rng.random()
        if roll < 0.45:
            parts.append(rng.choice(keywords))
        elif roll < 0.65:
            parts.append(rng.choice(PUNCT))
        elif roll < 0.9:
            parts.append(rng.choice(spaces))
        else:
            parts.append(rng.choice(extra))
        if rng.random() < 0.6:
            parts.append(rng.choice(spaces[:4]))
    text = "".join(parts)
    if kind != "ascii" and text.isascii():
        text += rng.choice(EXTRA[kind])
    return text
