"""Plain-Python reading of where the platform detector's rows and rules match, written with the
real `re`: each pattern searched in the view of the lexer its context names, reported at the line
where its first match begins (after any white space or blanked text it opens with).

The verdict too: which platforms have evidence of their own, the probabilities, the rule scores,
the evidence in line order and the platform named, from what the native scan found
(`Scanner.scan`), and the probe of a long script's first lines.

The differential tests and the detector's fuzz target compare the native pass with this.
"""

import math
import re

from agents.transmute.detector import (
    CODE,
    COMMENT,
    FLAGS,
    HASH_COMMENT,
    NO_EVIDENCE,
    OTHER_PLATFORM_ODDS,
    TEXT,
    TOP_TOKENS,
    Evidence,
    Verdict,
)
from agents.transmute.originscan import Platform

_PLATFORM_RANK = {platform: n for n, platform in enumerate(Platform)}


def first_lines(patterns, text, code, comments):
    """{pattern index: line of its first match} for `patterns`, a list of (source or compiled
    pattern, context). Hash-comment rows come from the lexer, not from a search: left out."""
    found = {}
    for index, (pattern, context) in enumerate(patterns):
        if context == HASH_COMMENT:
            continue
        view = {CODE: code, TEXT: text, COMMENT: comments}[context]
        if view is None:
            continue
        m = re.search(pattern, view, FLAGS) if isinstance(pattern, str) else pattern.search(view)
        if m:
            start = m.start()
            while start < len(view) and view[start] in " \t\r\n\x01":
                start += 1
            found[index] = view.count("\n", 0, start) + 1
    return found


def verdict(detector, fired, logits, top, seen) -> Verdict:
    """The verdict `detector` gives on what its scan found."""
    classes = detector.classes
    facts = detector._facts
    specific = detector._specific
    if sum(1 for i, _ in fired if i in detector._named_in_comment) > 1:
        # Comments that name several platforms compare them ("for Oracle use ..., for SQL
        # Server ..."): they say nothing of the script's own.
        specific = specific - detector._named_in_comment
    names = detector._names
    own = {platform for i, _ in fired if i in specific for platform in names[i]}
    # Of those, the platforms that the most rows and rules name: SYSDATE names Redshift too,
    # but beside CONNECT BY and FROM DUAL it is Oracle's; a platform whose every row and rule
    # also names one with a row of its own is explained by that one.
    if len(own) > 1:
        counts = dict.fromkeys(own, 0)
        for i, _ in fired:
            if i in specific:
                for platform in names[i]:
                    if platform in counts:
                        counts[platform] += 1
        most = max(counts.values())
        own = {platform for platform, count in counts.items() if count == most}
    peak = max(logits)
    exps = [math.exp(v - peak) for v in logits]
    if own:
        exps = [e if c in own else e * OTHER_PLATFORM_ODDS for c, e in zip(classes, exps)]
    total = sum(exps)
    probs = [e / total for e in exps]
    order = sorted(range(len(classes)), key=lambda c: (-probs[c], c))
    best, second = order[0], order[1] if len(order) > 1 else order[0]

    # Rule scores: what the rows and rules say on their own, shown beside the model.
    direct: dict[Platform, float] = {}
    for i, _ in fired:
        _, _, platforms, _, corroborating, score, _, _ = facts[i]
        if not corroborating:
            for platform in platforms:
                direct[platform] = direct.get(platform, 0.0) + score
    scores = dict(direct)
    # Evidence in line order; at one line rows before rules before tokens, then by name.
    items = []
    # A feature's weight in the logits, as the native pass counted them (unit length).
    known = seen + sum(1 for i, _ in fired if facts[i][7] is not None)
    scale = 1.0 / math.sqrt(known) if known else 0.0
    for i, line in fired:
        marker, confidence, platforms, kind, corroborating, score, rank, row = facts[i]
        counted = not corroborating
        if corroborating:
            for platform in platforms:
                if direct.get(platform, 0.0) > 0:
                    scores[platform] = scores.get(platform, 0.0) + score
                    counted = True
        weight = round((row[best] - row[second]) * scale, 3) if row is not None else 0.0
        items.append((line, rank, marker, confidence, platforms, counted, kind, weight))
    named_best = (classes[best],)
    words = detector.feature_names
    for index, line, gain in top[:TOP_TOKENS]:
        items.append((line, 2, words[index], "model", named_best, True, "token", round(gain, 3)))
    items.sort(key=lambda item: item[:3])
    evidence = tuple(
        Evidence(marker=marker, line=line, confidence=confidence, platforms=platforms, counted=counted, kind=kind,
                 weight=weight)
        for line, _, marker, confidence, platforms, counted, kind, weight in items
    )
    ranked_scores = dict(sorted(scores.items(), key=lambda item: (-item[1], _PLATFORM_RANK[item[0]])))
    probabilities = {classes[c]: round(probs[c], 4) for c in order}

    best_p, second_p = probs[best], probs[second]
    best_platform = classes[best]
    widths = [len(names[i]) for i, _ in fired if i in specific and best_platform in names[i]]
    threshold = detector.shared_thresholds[best] if widths and min(widths) > 1 else detector.thresholds[best]
    # A platform is named only on evidence of its own: a row or rule of that platform fired
    # (corroborating rows and those that many dialects share aside). The model then only
    # decides among platforms with evidence, and a script of plain SQL is not pulled toward
    # whichever dialect is most common.
    if best_p >= threshold and classes[best] in own:
        platform = classes[best]
        reason = f"{platform} {best_p:.2f}, runner-up {classes[second]} {second_p:.2f}"
        confidence = round(best_p, 2)
    elif (decided := _decided(detector, fired)) is not None:
        platform, marker = decided
        p = probs[detector._class_index[platform]]
        reason = f"{platform} by {marker}, model {p:.2f}"
        confidence = round(p, 2)
    else:
        platform, confidence = None, 0.0
        # Without a row or rule, the model only leans on common words: that is no evidence.
        if not fired:
            reason = NO_EVIDENCE
        elif classes[best] not in own and best_p >= threshold:
            reason = f"{NO_EVIDENCE} for {classes[best]} {best_p:.2f}"
        else:
            reason = f"too close: {classes[best]} {best_p:.2f} vs {classes[second]} {second_p:.2f}"
    return Verdict(
        platform=platform,
        confidence=confidence,
        scores=ranked_scores,
        evidence=evidence,
        reason=reason,
        probabilities=probabilities,
    )


def _decided(detector, fired):
    """The one platform the decisive rows and rules that fired name, with the one that fired on
    the earliest line; None when none fired or they name different platforms."""
    named = sorted((line, i) for i, line in fired if i in detector._decisive)
    platforms = {detector.patterns[i].platforms[0] for _, i in named}
    if len(platforms) != 1:
        return None
    first = detector.patterns[named[0][1]]
    return first.platforms[0], first.id


def detect(detector, text):
    """The verdict `detector` gives on `text`, with the probes of a long script's first lines: a
    quarter of the probe's length first, then all of it."""
    for probe, settled in ((detector.probe_chars // 4, detector.first_settled), (detector.probe_chars, detector.settled)):
        if probe and len(text) > probe * 3 // 2 and (cut := text.rfind("\n", 0, probe) + 1):
            probed = verdict(detector, *detector._scanner.scan(text[:cut]))
            if probed.platform is not None and probed.probabilities[probed.platform] >= settled:
                return probed
    return verdict(detector, *detector._scanner.scan(text))
