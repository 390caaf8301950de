"""Trains the platform detector's model on the real corpus and writes the shipped weights.

    python bench/train_detector.py [--corpus /work/corpus] [--folds N]

The thresholds (one per platform named) come from repository-held-out predictions (leave one repository out, or N
groups of repositories with --folds), chosen for the target precision; the weights, and the rows and rules that name their platform on
their own where the model is unsure, from the whole corpus. The output, src/agents/transmute/platform_model.json, is deterministic for a
given corpus and records the manifest it came from. Needs the `train` extra (scikit-learn).
"""

import argparse
import sys
import time
from pathlib import Path

import platform_model as pm


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=Path("/work/corpus"))
    parser.add_argument("--folds", type=int, default=None, help="groups of repositories (default: one per repository)")
    parser.add_argument("--output", type=Path, default=pm.MODEL_PATH)
    args = parser.parse_args()
    started = time.perf_counter()
    samples = pm.load_corpus(args.corpus)
    print(f"{len(samples)} files from {len({s.repo for s in samples})} repositories", file=sys.stderr)
    probabilities = pm.gated(samples, pm.held_out_predictions(samples, args.folds))
    shared = pm.shared_only(samples, probabilities)
    threshold, shared_threshold = pm.choose_tiered_thresholds(samples, probabilities, shared)
    summary = pm.summarise(samples, probabilities, threshold, pm.held_out_decisive(samples, args.folds),
                           shared, shared_threshold)
    print(f"held out: thresholds {threshold}, shared {shared_threshold}, precision {summary['precision']:.3f}, "
          f"coverage {summary['coverage']:.3f}", file=sys.stderr)
    vocab, model = pm.fit(samples)
    decisive = pm.decisive_features(samples)
    pm.write_model(pm.to_detector_model(vocab, model, threshold, pm.manifest_sha(), decisive, shared_threshold),
                   args.output)
    print(f"wrote {args.output} ({len(vocab)} features considered) in {time.perf_counter() - started:.0f} s",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
