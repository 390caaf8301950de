"""Platform-detector accuracy on real scripts, with every repository held out in turn.

    python bench/detector_accuracy.py [--corpus /work/corpus] [--folds N] [--speed-only]

For each repository of the corpus (bench/platform_corpus/), a model is trained on all the other
repositories and tested on it; the thresholds are the shipped model's. Prints precision where a
platform is named, coverage, coverage and precision per platform, accuracy by held-out
repository, the confusion matrix, and the detector's speed beside classify_sql on real T-SQL.
With --folds N, repositories are held out N groups at a time (quicker, and stricter). Needs the
`train` extra (scikit-learn).
"""

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

import platform_model as pm


def print_report(samples, probabilities, threshold, decisive=None, shared=None, shared_threshold=None) -> None:
    s = pm.summarise(samples, probabilities, threshold, decisive, shared, shared_threshold)
    shown = threshold if not isinstance(threshold, dict) else ", ".join(f"{k} {v:.2f}" for k, v in threshold.items())
    print(f"files {s['files']}, repositories {len({x.repo for x in samples})}, thresholds {shown}")
    print(f"precision {s['precision']:.3f}  coverage {s['coverage']:.3f}  "
          f"(named {s['named']}, right {s['right']})")
    print("\nper platform        files  coverage  precision")
    for platform in pm.CLASSES:
        files, named, right = s["per_platform"].get(platform, [0, 0, 0])
        prec = right / named if named else float("nan")
        print(f"  {platform:<16} {files:>6}  {named / files if files else 0:>8.3f}  {prec:>9.3f}")
    print("\nheld-out repository (platform)                         files  coverage  accuracy")
    by_repo = {x.repo: x.platform for x in samples}
    for repo, (files, named, right) in sorted(s["per_repo"].items(), key=lambda kv: (by_repo[kv[0]], kv[0])):
        label = f"{repo} ({by_repo[repo]})"
        print(f"  {label[:52]:<52} {files:>6}  {named / files:>8.3f}  {right / files:>8.3f}")
    print("\nconfusion (rows: truth, columns: verdict)")
    columns = pm.CLASSES + ["unknown"]
    print(" " * 12 + "".join(f"{c[:6]:>7}" for c in columns))
    for truth in pm.CLASSES:
        print(f"  {truth[:10]:<10}" + "".join(f"{s['confusion'].get((truth, c), 0):>7}" for c in columns))


def speed(corpus: Path) -> None:
    """detect_platform beside classify_sql on the corpus's T-SQL, in one run."""
    import structlog

    from agents.transmute.complexity import classify_sql
    from agents.transmute.detector import detect_platform

    # classify_sql logs each call at debug level: filtered out, as a deployment would, so that
    # the comparison is of the work and not of printing.
    structlog.configure(wrapper_class=structlog.make_filtering_bound_logger(30), cache_logger_on_first_use=True)

    texts = [pm.read_text(p.read_bytes()) for p in sorted((corpus / "sqlserver").rglob("*")) if p.is_file()]
    chars = sum(map(len, texts))
    rates = {}
    for name, fn in (("classify_sql", classify_sql), ("detect_platform", detect_platform)):
        best = float("inf")
        for _ in range(3):
            started = time.perf_counter()
            for text in texts:
                fn(text)
            best = min(best, time.perf_counter() - started)
        rates[name] = chars / best / 1e6
    print(f"\nspeed on {len(texts)} real T-SQL scripts ({chars / 1e6:.1f} Mchar): "
          f"classify_sql {rates['classify_sql']:.0f} Mchar/s, detect_platform {rates['detect_platform']:.0f} Mchar/s, "
          f"ratio {rates['detect_platform'] / rates['classify_sql']:.2f}")
    # The whole command with one worker, start-up included, over the same tree.
    tree = corpus / "sqlserver"
    size = sum(p.stat().st_size for p in tree.rglob("*") if p.is_file())
    command = [sys.executable, "-m", "agents.transmute.assess", str(tree), "--format", "jsonl", "-o", os.devnull,
               "-q", "-j", "1"]  # fmt: skip
    best = float("inf")
    for _ in range(3):
        started = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        best = min(best, time.perf_counter() - started)
    print(f"sql-assess -j 1 on that tree ({size / 1e6:.1f} MB): {best:.2f} s, {size / 1e6 / best:.1f} MB/s")


HOSTILE = {
    "white space": " \t\n" * 350_000,
    "quotes": "'" * 1_000_000,
    "doubled quotes": "''''x" * 200_000,
    "dollars": "$" * 1_000_000,
    "dollar tags": "$a$ $b$ " * 125_000,
    "routine bodies": "AS $$ $$ " * 110_000,
    "hashes": "# x\n#" * 200_000,
    "hash words": "#t\n;#u t\n" * 100_000,
    "unclosed string": "SELECT '" + "a b " * 250_000,
    "unclosed comment": "/*" + "-- x\n" * 200_000,
    "templates": "{{ {% {# " * 110_000,
    "backticks": "`a\n" * 250_000,
    "create table gaps": "CREATE TABLE t (" * 60_000,
    "line starts": "\n SEL" * 200_000,
}


def hostile() -> None:
    """ms per MB on hostile inputs at 1x and 4x their size: linear time keeps the two equal."""
    from agents.transmute.detector import detect_platform

    detect_platform("")  # the detector is built on first use: not part of any figure
    print("\nhostile input (ms per MB at 1x and 4x, best of 3)")
    for name, text in HOSTILE.items():
        figures = []
        for factor in (1, 4):
            big = text * factor
            best = float("inf")
            for _ in range(3):
                started = time.perf_counter()
                detect_platform(big)
                best = min(best, time.perf_counter() - started)
            figures.append(best * 1e3 / (len(big) / 1e6))
        print(f"  {name:<20} {figures[0]:8.1f} {figures[1]:8.1f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=Path("/work/corpus"))
    parser.add_argument("--folds", type=int, default=None)
    parser.add_argument("--speed-only", action="store_true", help="speed and hostile inputs only")
    args = parser.parse_args()
    if not args.speed_only:
        from agents.transmute.detector import load_model

        samples = pm.load_corpus(args.corpus)
        probabilities = pm.gated(samples, pm.held_out_predictions(samples, args.folds))
        model = load_model()
        print_report(samples, probabilities, model.get("thresholds", model["threshold"]),
                     pm.held_out_decisive(samples, args.folds), pm.shared_only(samples, probabilities),
                     model.get("shared_thresholds") or None)
    speed(args.corpus)
    hostile()
    return 0


if __name__ == "__main__":
    sys.exit(main())
