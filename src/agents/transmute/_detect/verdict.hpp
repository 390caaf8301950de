// The detector's verdict from what its native pass found: which platforms have evidence of their
// own, the probability per platform (the model's, with the platforms that have evidence of their
// own weighed up), the rule scores, the evidence in line order, and the platform named (or why
// none is) with its reason. Pure C++: the module turns a Decision into the host's Verdict.
// Tested in tests/test_detector.py (against a plain reading of the same rules).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace transmute::detect {

// What the verdict needs of one row or rule.
struct PatternFacts {
    bool corroborating = false;     // scores only for a platform with evidence of its own
    bool specific = false;          // evidence of its own for the platforms it names
    bool named_in_comment = false;  // a comment that names a platform
    bool decisive = false;          // names its platform on its own where the model is unsure
    double score = 0.0;             // its rule score
    int rank = 0;                   // at one line, rows (0) come before rules (1)
    std::vector<uint8_t> platforms;  // the platforms it lists (its rule score goes to these)
    std::vector<uint8_t> names;      // the platforms it is evidence of
    std::vector<double> row;         // its model weights per class; empty when not a model feature
    std::string id;
};

struct VerdictRules {
    size_t platforms = 0;                 // every platform, in the enumeration's order
    std::vector<int> class_platform;      // model class -> platform
    std::vector<int> platform_class;      // platform -> model class, -1 when the model lacks it
    std::vector<std::string> class_text;  // a class as the reasons write it
    std::vector<double> thresholds;       // per class
    std::vector<double> shared_thresholds;
    std::vector<PatternFacts> patterns;
    std::vector<std::string> words;  // the model's token features
    std::string no_evidence;
    double other_odds = 0.05;
    size_t top_tokens = 5;
    size_t probe_chars = 0;  // a longer script is probed on its first lines (0: never)
    double settled = 1.0;    // the probability at which a probe's verdict stands
    double first_settled = 1.0;  // ... that of the shorter first probe
};

// What the native pass found in a script.
struct ScanOutcome {
    struct Top {
        size_t feature;
        size_t line;
        float gain;
    };
    std::vector<std::pair<size_t, size_t>> fired;  // (pattern, line of its first match), by pattern
    std::vector<double> logits;                    // per class
    std::vector<Top> top;                          // the tokens that weighed most
    size_t seen = 0;                               // vocabulary features in the script
};

struct EvidenceItem {
    size_t line;
    int rank;
    const std::string* marker;
    long source;  // a pattern index, or -1 - f for the token feature f
    bool counted;
    double weight;
};

struct Decision {
    int platform = -1;  // the class named; -1 when none is
    double confidence = 0.0;
    std::string reason;
    size_t best = 0;
    std::vector<std::pair<int, double>> scores;            // (platform, score), best first
    std::vector<std::pair<size_t, double>> probabilities;  // (class, probability to 4 places), best first
    std::vector<EvidenceItem> evidence;                    // in line order
    double named_probability = 0.0;                        // of the class named, to 4 places
};

Decision decide(const VerdictRules& rules, const ScanOutcome& outcome);

// x to `digits` decimal places, as the host's round(x, digits) gives it.
double round_to(double x, int digits);

}  // namespace transmute::detect
