"""Small regular expressions for differential runs of the native engine against re: nested
groups, alternation, anchors, lookarounds and every kind of repeat, among them repeats of items
that can match the empty string (where re stops after an empty iteration).

A pattern is spelled from a byte string, so the fuzzer drives it with input bytes and the tests
with a seeded random.Random. Not every spelling is valid for re ("nothing to repeat"); callers
skip those.
"""

ATOMS = ["a", "x", "M", "b", "", "[ax]", ".", r"\b", "(?=a)", "(?!x)", "^", "$", "a", "x"]
QUANTIFIERS = ["", "", "", "?", "??", "*", "*?", "+", "+?", "{2}", "{0,2}", "{1,2}", "{1,3}",
               "{2,}", "{,3}?"]
# Texts over the letters the atoms use, in runs.
LETTERS = "axMb \n"


def pattern_from_bytes(data):
    pos = 0

    def take():
        nonlocal pos
        byte = data[pos] if pos < len(data) else 0
        pos += 1
        return byte

    def sequence(depth):
        return "".join(item(depth) for _ in range(1 + take() % 3))

    def item(depth):
        choice = take()
        if depth < 3 and choice % 3 == 0:
            branches = [sequence(depth + 1) if take() % 4 else "" for _ in range(1 + take() % 3)]
            body = "(?:" + "|".join(branches) + ")"
        else:
            body = ATOMS[choice // 3 % len(ATOMS)]
        return body + QUANTIFIERS[take() % len(QUANTIFIERS)]

    return sequence(0)


def random_pattern(rng, size=12):
    return pattern_from_bytes(bytes(rng.randrange(256) for _ in range(size)))


def random_text(rng, runs=4):
    return "".join(rng.choice(LETTERS) * rng.randint(1, 3) for _ in range(rng.randint(0, runs)))
