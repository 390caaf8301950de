"""Training and repository-held-out evaluation of the platform detector's model.

Shared by bench/train_detector.py (writes the shipped model) and bench/detector_accuracy.py
(prints held-out figures). Needs scikit-learn and SciPy (`pip install agents-transmute[train]`);
the package itself never imports them.

Features come from the detector's own native pass (`Detector.features`), so training and use
can never disagree on what a token is. The vocabulary keeps only features seen in several
repositories, so table and column names of one project do not become evidence.
"""

from __future__ import annotations

import collections
import functools
import hashlib
import json
import math
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from agents.transmute.detector import NAMED_IN_COMMENT, OTHER_PLATFORM_ODDS, Detector, pack_rows  # noqa: E402
from agents.transmute.originscan import Platform  # noqa: E402

CLASSES = [p.value for p in Platform]
MANIFEST = ROOT / "bench" / "platform_corpus" / "sources.tsv"
MODEL_PATH = ROOT / "src" / "agents" / "transmute" / "platform_model.json"
# A feature enters the vocabulary when this many repositories and files hold it.
MIN_REPOS = 3
MIN_FILES = 4
MIN_PLATFORM_REPOS = 2
# ... and this share of one platform's repositories: dialect words recur across a platform's
# projects, project vocabulary does not.
MIN_PLATFORM_SHARE = 0.3
# Inverse regularisation strength of the logistic regression.
C = 16.0
# Precision wanted where a platform is named, on held-out repositories.
TARGET_PRECISION = 0.97
# A row or rule names its platform on its own, where the model is unsure, when the scripts it
# fired in were of its platform this often, in this many files of this many repositories.
DECISIVE_PRECISION = 0.99
DECISIVE_FILES = 5
DECISIVE_REPOS = 2


@dataclass
class Sample:
    platform: str
    repo: str
    path: str
    features: frozenset


def empty_model() -> dict:
    return {"classes": CLASSES, "bias": [0.0] * len(CLASSES), "threshold": 1.0, "features": [], "weights": []}


def read_text(data: bytes) -> str:
    for bom, codec in ((b"\xef\xbb\xbf", "utf-8-sig"), (b"\xff\xfe", "utf-16"), (b"\xfe\xff", "utf-16")):
        if data.startswith(bom):
            return data.decode(codec, errors="replace")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("cp1252", errors="replace")


def load_corpus(root: Path, detector: Detector | None = None) -> list[Sample]:
    """Every file of the corpus built by platform_corpus/build_corpus.py (laid out as
    ROOT/platform/owner+name/file), with its features, in a fixed order."""
    detector = detector or Detector(model=empty_model())
    samples = []
    for platform_dir in sorted(p for p in root.iterdir() if p.is_dir()):
        if platform_dir.name not in CLASSES:
            continue
        for repo_dir in sorted(p for p in platform_dir.iterdir() if p.is_dir()):
            repo = repo_dir.name.replace("+", "/", 1)
            for path in sorted(p for p in repo_dir.rglob("*") if p.is_file()):
                text = read_text(path.read_bytes()).replace("\r\n", "\n").replace("\r", "\n")
                fired, tokens = detector.features(text)
                features = frozenset(tokens) | frozenset(name for name, _ in fired)
                samples.append(Sample(platform_dir.name, repo, str(path.relative_to(repo_dir)), features))
    return samples


def vocabulary(samples: list[Sample]) -> list[str]:
    """Features held by several repositories, two of them of one platform at least: a word that
    only one project of each platform uses (the tables of a benchmark ported to three platforms)
    says nothing about the dialect."""
    repos: dict[str, set] = collections.defaultdict(set)
    files: collections.Counter = collections.Counter()
    # A repository that holds scripts of three or more platforms is a test suite of a multi-dialect
    # tool: it shows every dialect's rarest keywords once, so it does not vouch for how widely a
    # word is used. Its files still train the model; they only do not count toward the spread.
    platforms_of: dict[str, set] = collections.defaultdict(set)
    for s in samples:
        platforms_of[s.repo].add(s.platform)
    suites = {repo for repo, platforms in platforms_of.items() if len(platforms) >= 3}
    for s in samples:
        if s.repo in suites:
            continue
        for f in s.features:
            repos[f].add((s.platform, s.repo))
            files[f] += 1

    platform_repos = collections.Counter(
        platform for platform, _ in {(s.platform, s.repo) for s in samples if s.repo not in suites})

    def spread(f):
        pairs = repos[f]
        per_platform = collections.Counter(platform for platform, _ in pairs)
        share = max(n / platform_repos[p] for p, n in per_platform.items())
        return (len({repo for _, repo in pairs}) >= MIN_REPOS and max(per_platform.values()) >= MIN_PLATFORM_REPOS
                and share >= MIN_PLATFORM_SHARE)

    keep = [f for f in repos if files[f] >= MIN_FILES and spread(f)]
    # Rows and rules always have a weight, even when the corpus holds them rarely.
    keep += [f for s in samples for f in s.features if f[:2] in ("m:", "r:")]
    return sorted(set(keep))


def matrix(samples: list[Sample], vocab: list[str]):
    from scipy.sparse import csr_matrix

    index = {f: i for i, f in enumerate(vocab)}
    indptr, indices = [0], []
    for s in samples:
        cols = sorted(index[f] for f in s.features if f in index)
        indices.extend(cols)
        indptr.append(len(indices))
    # Each file's vector has unit length: a long script holds many weak features, and their sum
    # must not pass for strong evidence.
    data = []
    for k in range(len(samples)):
        count = indptr[k + 1] - indptr[k]
        data.extend([1.0 / math.sqrt(count)] * count)
    return csr_matrix((data, indices, indptr), shape=(len(samples), len(vocab)))


def sample_weights(samples: list[Sample]) -> list[float]:
    """Each repository weighs as the square root of its file count, and each platform the same
    in all, so that large repositories and platforms do not drown the others."""
    per_repo = collections.Counter(s.repo for s in samples)
    raw = [1.0 / math.sqrt(per_repo[s.repo]) for s in samples]
    per_class: dict[str, float] = collections.defaultdict(float)
    for s, w in zip(samples, raw):
        per_class[s.platform] += w
    return [w * len(samples) / (len(per_class) * per_class[s.platform]) for s, w in zip(samples, raw)]


def fit(samples: list[Sample]):
    from sklearn.linear_model import LogisticRegression

    vocab = vocabulary(samples)
    x = matrix(samples, vocab)
    y = [CLASSES.index(s.platform) for s in samples]
    model = LogisticRegression(C=C, max_iter=400, tol=1e-4)
    model.fit(x, y, sample_weight=sample_weights(samples))
    return vocab, model


def to_detector_model(vocab, model, threshold, manifest_sha: str, decisive=(), shared_threshold=None) -> dict:
    """The model as the package ships it: weights per feature and class, rounded, features sorted.
    Every feature stays, even one whose weights all round to zero: a script's features have unit
    length, and the detector counts the features it knows as training did."""
    classes = [CLASSES[c] for c in model.classes_]
    if classes != CLASSES:
        raise SystemExit(f"training data lacks platforms: {sorted(set(CLASSES) - set(classes))}")
    coef = model.coef_.T  # features x classes
    features, weights = [], []
    for name, row in zip(vocab, coef):
        features.append(name)
        weights.append([round(float(v), 3) for v in row])
    return {
        "format": 2,
        "trained_on": {"manifest": "bench/platform_corpus/sources.tsv", "sha256": manifest_sha},
        "classes": CLASSES,
        "threshold": round(min(threshold.values()), 4) if isinstance(threshold, dict) else round(threshold, 4),
        "thresholds": threshold if isinstance(threshold, dict) else {c: round(threshold, 4) for c in CLASSES},
        "shared_thresholds": shared_threshold or {},
        "decisive": sorted(decisive),
        "bias": [round(float(v), 4) for v in model.intercept_],
        "features": features,
        "weights": weights,
    }


def manifest_sha() -> str:
    return hashlib.sha256(MANIFEST.read_bytes()).hexdigest()


def repository_groups(samples: list[Sample], folds: int | None = None) -> dict[str, int]:
    """Each repository's held-out group: its own, or with `folds` one of N groups, repositories
    dealt round-robin by size, deterministically."""
    repos = sorted({s.repo for s in samples})
    if not folds:
        return {r: i for i, r in enumerate(repos)}
    sizes = collections.Counter(s.repo for s in samples)
    ordered = sorted(repos, key=lambda r: (-sizes[r], r))
    return {r: i % folds for i, r in enumerate(ordered)}


def decisive_features(samples: list[Sample]) -> list[str]:
    """The rows and rules ("m:id", "r:id") of one platform whose scripts were of that platform at
    least DECISIVE_PRECISION of the time, in enough files and repositories."""
    table = own_evidence()
    seen = collections.defaultdict(lambda: [0, 0, set()])  # files, right, repositories
    for s in samples:
        for f in s.features:
            if f in table:
                entry = seen[f]
                entry[0] += 1
                entry[1] += s.platform in table[f]
                entry[2].add(s.repo)
    return sorted(
        f for f, (files, right, repos) in seen.items()
        if len(table[f]) == 1 and files >= DECISIVE_FILES and len(repos) >= DECISIVE_REPOS
        and right / files >= DECISIVE_PRECISION
    )  # fmt: skip


def decisive_platform(features, decisive) -> str | None:
    """The one platform the script's decisive rows and rules name, or None (none fired, or they
    disagree)."""
    table = own_evidence()
    named = {p for f in features if f in decisive for p in table[f]}
    return next(iter(named)) if len(named) == 1 else None


def held_out_decisive(samples: list[Sample], folds: int | None = None) -> list[str | None]:
    """For every sample, the platform its decisive rows and rules name, with the decisive set
    chosen without its repository (or its group of repositories)."""
    group_of = repository_groups(samples, folds)
    out: list[str | None] = [None] * len(samples)
    for g in sorted(set(group_of.values())):
        decisive = set(decisive_features([s for s in samples if group_of[s.repo] != g]))
        for i, s in enumerate(samples):
            if group_of[s.repo] == g:
                out[i] = decisive_platform(s.features, decisive)
    return out


def held_out_predictions(samples: list[Sample], folds: int | None = None, log=print):
    """For every sample, the class probabilities of a model trained without its repository (or,
    with `folds`, without its group of repositories)."""
    group_of = repository_groups(samples, folds)
    groups = sorted(set(group_of.values()))
    probabilities = [None] * len(samples)
    for g in groups:
        train = [s for s in samples if group_of[s.repo] != g]
        test_idx = [i for i, s in enumerate(samples) if group_of[s.repo] == g]
        vocab, model = fit(train)
        x = matrix([samples[i] for i in test_idx], vocab)
        probs = model.predict_proba(x)
        for i, p in zip(test_idx, probs):
            probabilities[i] = [0.0] * len(CLASSES)
            for c, v in zip(model.classes_, p):
                probabilities[i][c] = float(v)
        log(f"  fold {g + 1}/{len(groups)}: {len(test_idx)} files held out", file=sys.stderr)
    return probabilities


def choose_threshold(samples: list[Sample], probabilities, target: float = TARGET_PRECISION) -> float:
    """The lowest threshold whose named verdicts reach the target precision (never below 0.3)."""
    scored = sorted(
        ((max(p), CLASSES[p.index(max(p))] == s.platform) for s, p in zip(samples, probabilities)),
        reverse=True,
    )
    best, right, named = 1.0, 0, 0
    for prob, ok in scored:
        named += 1
        right += ok
        if right / named >= target:
            best = prob
    return max(best, 0.3)


@functools.cache
def own_evidence() -> dict[str, set]:
    """For each row and rule feature ("m:id", "r:id"), the platforms it is evidence of on its own
    (corroborating rows are not, nor rows and rules that name more than a few platforms)."""
    from agents.transmute.cuebook import PLATFORM_MARKERS
    from agents.transmute.detector import OWN_EVIDENCE_PLATFORMS, ROW_ALSO_NAMES, RULES, SHARED_ROWS

    table = {"r:" + r.id: {str(p) for p in r.platforms} for r in RULES}
    table.update({"m:" + m.id: {str(p) for p in (*m.platforms, *ROW_ALSO_NAMES.get(m.id, ()))}
                  for m in PLATFORM_MARKERS if not m.corroborating_only and m.id not in SHARED_ROWS})
    return {f: platforms for f, platforms in table.items() if len(platforms) <= OWN_EVIDENCE_PLATFORMS}


def own_features(features, table: dict[str, set]) -> list[str]:
    """The rows and rules among `features` that are evidence of a platform's own; comments that
    name several platforms compare them and are none (as the detector reads them)."""
    own = [f for f in features if f in table]
    if sum(1 for f in own if f.endswith(NAMED_IN_COMMENT)) > 1:
        own = [f for f in own if not f.endswith(NAMED_IN_COMMENT)]
    return own


def own_platforms(features, table: dict[str, set]) -> set[str]:
    """The platforms with evidence of their own among `features`: of those its rows and rules
    name, the ones that the most of them name (SYSDATE names Redshift too, but beside CONNECT BY
    and FROM DUAL it is Oracle's; a platform whose every row and rule also names one with a row of
    its own is explained by that one)."""
    counts = collections.Counter(platform for f in own_features(features, table) for platform in table[f])
    most = max(counts.values(), default=0)
    return {platform for platform, count in counts.items() if count == most}


def gated(samples: list[Sample], probabilities) -> list:
    """The probabilities as the detector uses them: those of platforms without evidence of their
    own weigh OTHER_PLATFORM_ODDS where some platform has it, and a script names its best platform
    only when a row or rule of that platform fired; otherwise it names nothing (all zero here)."""
    table = own_evidence()
    out = []
    for s, p in zip(samples, probabilities):
        own = own_platforms(s.features, table)
        if own:
            p = [v if c in own else v * OTHER_PLATFORM_ODDS for c, v in zip(CLASSES, p)]
            total = sum(p)
            p = [v / total for v in p]
        best = CLASSES[p.index(max(p))]
        out.append(p if best in own else [0.0] * len(CLASSES))
    return out


def choose_thresholds(samples: list[Sample], probabilities, target: float = TARGET_PRECISION,
                      floor: float = 0.2) -> dict[str, float]:
    """A threshold per platform named: the lowest probability at which the verdicts naming that
    platform still reach the target precision on held-out repositories. Platforms whose verdicts
    are rarely wrong are named more often; the others only when the model is sure."""
    by_class: dict[str, list] = collections.defaultdict(list)
    for s, p in zip(samples, probabilities):
        if not any(p):
            continue  # no evidence of its own: never named
        best = max(range(len(CLASSES)), key=lambda c: p[c])
        by_class[CLASSES[best]].append((p[best], CLASSES[best] == s.platform))
    thresholds = {}
    for platform in CLASSES:
        scored = sorted(by_class.get(platform, []), reverse=True)
        best, right = 1.0, 0
        for named, (prob, ok) in enumerate(scored, 1):
            right += ok
            if right / named >= target:
                best = prob
        thresholds[platform] = round(max(best, floor), 4)
    return thresholds


def shared_only(samples: list[Sample], probabilities) -> list[bool]:
    """For every sample, whether the rows and rules that give its best platform evidence of its own
    all name other platforms too: such a verdict is held to the shared thresholds."""
    table = own_evidence()
    out = []
    for s, p in zip(samples, probabilities):
        if not any(p):
            out.append(False)
            continue
        best = CLASSES[max(range(len(CLASSES)), key=lambda c: p[c])]
        sizes = [len(table[f]) for f in own_features(s.features, table) if best in table[f]]
        out.append(bool(sizes) and min(sizes) > 1)
    return out


def choose_tiered_thresholds(samples: list[Sample], probabilities, shared: list[bool]):
    """Thresholds for verdicts with evidence of the platform's own alone, and for those whose
    evidence other platforms share, each chosen on its own files for the target precision."""
    alone = [i for i, flag in enumerate(shared) if not flag]
    tier = [i for i, flag in enumerate(shared) if flag]
    return (choose_thresholds([samples[i] for i in alone], [probabilities[i] for i in alone]),
            choose_thresholds([samples[i] for i in tier], [probabilities[i] for i in tier]))


def summarise(samples: list[Sample], probabilities, threshold, decisive=None, shared=None,
              shared_threshold=None) -> dict:
    """Counts of the verdicts: the model's where it reaches the threshold (`shared_threshold` for
    the samples flagged in `shared`), else the platform the decisive rows and rules name
    (`decisive`, one entry per sample), else unknown."""
    confusion = collections.Counter()
    per_repo = collections.defaultdict(lambda: [0, 0, 0])  # files, named, right
    per_platform = collections.defaultdict(lambda: [0, 0, 0])
    for i, (s, p) in enumerate(zip(samples, probabilities)):
        best = max(range(len(CLASSES)), key=lambda c: p[c])
        chosen = shared_threshold if shared and shared[i] and shared_threshold is not None else threshold
        limit = chosen[CLASSES[best]] if isinstance(chosen, dict) else chosen
        named = any(p) and p[best] >= limit
        guess = CLASSES[best] if named else "unknown"
        if not named and decisive and decisive[i]:
            named, guess = True, decisive[i]
        confusion[(s.platform, guess)] += 1
        for table, key in ((per_repo, s.repo), (per_platform, s.platform)):
            table[key][0] += 1
            table[key][1] += named
            table[key][2] += named and guess == s.platform
    files = len(samples)
    named = sum(v[1] for v in per_platform.values())
    right = sum(v[2] for v in per_platform.values())
    return {
        "files": files,
        "named": named,
        "right": right,
        "precision": right / named if named else 1.0,
        "coverage": named / files if files else 0.0,
        "per_platform": dict(per_platform),
        "per_repo": dict(per_repo),
        "confusion": confusion,
    }


def write_model(model: dict, path: Path = MODEL_PATH) -> None:
    # The weights are packed (little-endian doubles in base64): the detector reads them at once.
    model = dict(model, weights=pack_rows(model["weights"]))
    text = json.dumps(model, indent=None, separators=(",", ":"), sort_keys=False)
    text = text.replace(',"decisive":', ',\n"decisive":').replace(',"features":', ',\n"features":').replace(',"weights":', ',\n"weights":')
    path.write_text(text + "\n", encoding="utf-8")
