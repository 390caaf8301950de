// The verdict's arithmetic and decisions; see verdict.hpp. Every float is computed in the order
// and the way the host computes it (compensated sums, correctly rounded decimals), so that the
// verdict is the one a plain reading of the same rules gives.
#include "verdict.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace transmute::detect {

namespace {

// The host's sum() of floats: Neumaier's compensated sum, left to right.
double compensated_sum(const std::vector<double>& values) {
    double total = 0.0, compensation = 0.0;
    for (double x : values) {
        const double t = total + x;
        if (std::fabs(total) >= std::fabs(x))
            compensation += (total - t) + x;
        else
            compensation += (x - t) + total;
        total = t;
    }
    if (compensation != 0.0 && std::isfinite(compensation)) total += compensation;
    return total;
}

constexpr double kPowers[] = {1.0, 10.0, 100.0, 1000.0, 10000.0};

// x * 10^digits rounded to the nearest integer, ties to even, as the exact product rounds: the
// product in doubles is off by half a unit in its last place at most, so its rounding is the
// exact one unless it lies next to a tie. False where it does, or where the product is too large
// for that error to stay small.
bool scaled_integer(double x, int digits, double& out) {
    if (digits < 0 || digits > 4 || !std::isfinite(x)) return false;
    const double y = x * kPowers[digits];
    if (std::fabs(y) >= 1e9) return false;
    const double floor = std::floor(y);
    if (std::fabs((y - floor) - 0.5) < 1e-6) return false;
    out = std::nearbyint(y);
    return true;
}

// "A p" as the reasons write p (two decimals, as format(p, ".2f") gives them).
std::string said(const std::string& platform, double p) {
    double scaled;
    if (!std::signbit(p) && scaled_integer(p, 2, scaled)) {
        const auto hundredths = static_cast<long long>(scaled);
        std::string out = platform + " " + std::to_string(hundredths / 100) + ".";
        out += static_cast<char>('0' + hundredths % 100 / 10);
        out += static_cast<char>('0' + hundredths % 10);
        return out;
    }
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, " %.2f", p);
    return platform + buffer;
}

}  // namespace

double round_to(double x, int digits) {
    if (!std::isfinite(x) || std::fabs(x) >= 1e17) return x;  // no decimals left to round
    double scaled;
    // The integer and the power of ten are exact, and a division rounds correctly: the double
    // nearest the decimal, as the host's round() gives it. Next to a tie, the decimal digits of
    // the exact value decide.
    if (scaled_integer(x, digits, scaled)) return std::copysign(scaled / kPowers[digits], x);
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, x);
    return std::strtod(buffer, nullptr);
}

Decision decide(const VerdictRules& rules, const ScanOutcome& outcome) {
    const size_t k = rules.class_platform.size();
    const auto& facts = rules.patterns;
    Decision d;

    // Comments that name several platforms compare them: they say nothing of the script's own.
    size_t in_comment = 0;
    for (const auto& [i, line] : outcome.fired)
        if (facts[i].named_in_comment) ++in_comment;
    auto specific = [&](size_t i) { return facts[i].specific && !(in_comment > 1 && facts[i].named_in_comment); };

    // The platforms with evidence of their own: of those the rows and rules name, the ones the
    // most of them name.
    std::vector<int> counts(rules.platforms, 0);
    for (const auto& [i, line] : outcome.fired)
        if (specific(i))
            for (uint8_t p : facts[i].names) ++counts[p];
    const int most = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
    std::vector<bool> own(rules.platforms, false);
    bool any_own = false;
    for (size_t p = 0; p < rules.platforms; ++p) {
        own[p] = most > 0 && counts[p] == most;
        any_own = any_own || own[p];
    }
    auto owns = [&](size_t c) { return own[static_cast<size_t>(rules.class_platform[c])]; };

    // Probabilities: the model's, every platform without evidence of its own weighed down.
    std::vector<double> probs(k, 0.0);
    if (k > 0) {
        const double peak = *std::max_element(outcome.logits.begin(), outcome.logits.end());
        for (size_t c = 0; c < k; ++c) {
            probs[c] = std::exp(outcome.logits[c] - peak);
            if (any_own && !owns(c)) probs[c] *= rules.other_odds;
        }
        const double total = compensated_sum(probs);
        for (double& p : probs) p /= total;
    }
    std::vector<size_t> order(k);
    for (size_t c = 0; c < k; ++c) order[c] = c;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return probs[a] > probs[b]; });
    const size_t best = k > 0 ? order[0] : 0;
    const size_t second = k > 1 ? order[1] : best;
    d.best = best;

    // Rule scores: what the rows and rules say on their own; a corroborating one adds only to a
    // platform that already has a score.
    std::vector<double> direct(rules.platforms, 0.0);
    for (const auto& [i, line] : outcome.fired)
        if (!facts[i].corroborating)
            for (uint8_t p : facts[i].platforms) direct[p] += facts[i].score;
    std::vector<double> scores = direct;

    size_t known = outcome.seen;
    for (const auto& [i, line] : outcome.fired)
        if (!facts[i].row.empty()) ++known;
    const double scale = known ? 1.0 / std::sqrt(static_cast<double>(known)) : 0.0;
    for (const auto& [i, line] : outcome.fired) {
        const PatternFacts& f = facts[i];
        bool counted = !f.corroborating;
        if (f.corroborating) {
            for (uint8_t p : f.platforms) {
                if (direct[p] > 0) {
                    scores[p] += f.score;
                    counted = true;
                }
            }
        }
        const double weight = f.row.empty() ? 0.0 : round_to((f.row[best] - f.row[second]) * scale, 3);
        d.evidence.push_back({line, f.rank, &f.id, static_cast<long>(i), counted, weight});
    }
    const size_t tokens = std::min(outcome.top.size(), rules.top_tokens);
    for (size_t t = 0; t < tokens; ++t) {
        const ScanOutcome::Top& top = outcome.top[t];
        d.evidence.push_back({top.line, 2, &rules.words[top.feature], -1 - static_cast<long>(top.feature), true,
                              round_to(static_cast<double>(top.gain), 3)});
    }
    std::stable_sort(d.evidence.begin(), d.evidence.end(), [](const EvidenceItem& a, const EvidenceItem& b) {
        if (a.line != b.line) return a.line < b.line;
        if (a.rank != b.rank) return a.rank < b.rank;
        return *a.marker < *b.marker;
    });

    for (size_t p = 0; p < rules.platforms; ++p)
        if (direct[p] > 0) d.scores.emplace_back(static_cast<int>(p), scores[p]);
    std::stable_sort(d.scores.begin(), d.scores.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (size_t c : order) d.probabilities.emplace_back(c, round_to(probs[c], 4));

    if (k == 0) {
        d.reason = rules.no_evidence;
        return d;
    }
    const double best_p = probs[best], second_p = probs[second];
    const int best_platform = rules.class_platform[best];
    // Where every row and rule that gives the best platform evidence also names others, the
    // shared threshold holds.
    size_t narrowest = SIZE_MAX;
    for (const auto& [i, line] : outcome.fired) {
        if (!specific(i)) continue;
        const auto& names = facts[i].names;
        if (std::find(names.begin(), names.end(), best_platform) != names.end())
            narrowest = std::min(narrowest, names.size());
    }
    const double threshold = narrowest != SIZE_MAX && narrowest > 1 ? rules.shared_thresholds[best] : rules.thresholds[best];

    // The decisive rows and rules that fired: the platform they name when they all name one,
    // with the one that fired on the earliest line (the first of them, at one line).
    int decided = -1;
    bool agree = true;
    size_t first_decisive = 0, first_line = SIZE_MAX;
    for (const auto& [i, line] : outcome.fired) {
        if (!facts[i].decisive) continue;
        const int platform = facts[i].platforms[0];
        if (decided >= 0 && platform != decided) agree = false;
        decided = platform;
        if (line < first_line) {
            first_line = line;
            first_decisive = i;
        }
    }

    if (best_p >= threshold && owns(best)) {
        d.platform = static_cast<int>(best);
        d.reason = said(rules.class_text[best], best_p) + ", runner-up " + said(rules.class_text[second], second_p);
        d.confidence = round_to(best_p, 2);
    } else if (decided >= 0 && agree && rules.platform_class[static_cast<size_t>(decided)] >= 0) {
        const size_t c = static_cast<size_t>(rules.platform_class[static_cast<size_t>(decided)]);
        d.platform = static_cast<int>(c);
        d.reason = rules.class_text[c] + " by " + facts[first_decisive].id + "," + said(" model", probs[c]);
        d.confidence = round_to(probs[c], 2);
    } else if (outcome.fired.empty()) {
        d.reason = rules.no_evidence;
    } else if (!owns(best) && best_p >= threshold) {
        d.reason = rules.no_evidence + " for " + said(rules.class_text[best], best_p);
    } else {
        d.reason = "too close: " + said(rules.class_text[best], best_p) + " vs " + said(rules.class_text[second], second_p);
    }
    if (d.platform >= 0) d.named_probability = round_to(probs[static_cast<size_t>(d.platform)], 4);
    return d;
}

}  // namespace transmute::detect
