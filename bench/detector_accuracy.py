"""Prints the platform detector's precision and coverage on the labelled scripts of
tests/detector_corpus, with the confusions.

Usage: python bench/detector_accuracy.py [seed]
"""

import collections
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from detector_corpus.generate import scripts  # noqa: E402

from agents.transmute.originscan import detect_platform  # noqa: E402


def measure(labelled):
    named = right = total = 0
    wrong_on_generic = 0
    confusions = collections.Counter()
    for label, text in labelled:
        verdict = detect_platform(text)
        guess = None if verdict.platform is None else str(verdict.platform)
        if label is not None:
            total += 1
        if guess is None:
            continue
        named += 1
        if guess == label:
            right += 1
        else:
            confusions[(label, guess)] += 1
            wrong_on_generic += label is None
    return {
        "precision": right / max(named, 1),
        "coverage": right / max(total, 1),
        "named": named,
        "right": right,
        "labelled": total,
        "confusions": confusions,
    }


def main():
    seed = int(sys.argv[1]) if len(sys.argv) > 1 else 11
    m = measure(scripts(seed))
    print(f"labelled scripts {m['labelled']}, named {m['named']}, right {m['right']}")
    print(f"precision {m['precision']:.3f}   coverage {m['coverage']:.3f}")
    for (label, guess), n in m["confusions"].most_common():
        print(f"  {label or 'generic'} named {guess}: {n}")


if __name__ == "__main__":
    main()
