// Model features of the platform detector: short ASCII strings ("w:select", "b:stored as",
// "q:$$", "c:#") that the lexer and the tokenizer report with the offset where each was first
// seen. Two sinks take them: one collects the strings for training, one looks each up in the
// shipped vocabulary by its 64-bit FNV-1a hash for scoring. Tested in tests/test_detect_lexer.py.
#pragma once

#include "pyref.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace transmute::detect {

inline uint64_t feature_hash(std::string_view s) {
    uint64_t h = 1469598103934665603ull;
    for (char c : s) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

// Open-addressing map from feature hash to feature index; built once, read by many threads.
class Vocabulary {
public:
    void build(const std::vector<std::string>& features) {
        size_t cap = 16;
        while (cap < features.size() * 2 + 2) cap <<= 1;
        keys_.assign(cap, 0);
        values_.assign(cap, -1);
        mask_ = cap - 1;
        for (size_t i = 0; i < features.size(); ++i) {
            const uint64_t h = feature_hash(features[i]);
            size_t slot = h & mask_;
            while (values_[slot] >= 0 && keys_[slot] != h) slot = (slot + 1) & mask_;
            if (values_[slot] < 0) {
                keys_[slot] = h;
                values_[slot] = static_cast<int32_t>(i);
            }
        }
        size_ = features.size();
    }

    int32_t find(uint64_t h) const {
        if (size_ == 0) return -1;
        size_t slot = h & mask_;
        while (values_[slot] >= 0) {
            if (keys_[slot] == h) return values_[slot];
            slot = (slot + 1) & mask_;
        }
        return -1;
    }

    size_t size() const { return size_; }

private:
    std::vector<uint64_t> keys_;
    std::vector<int32_t> values_;
    size_t mask_ = 0;
    size_t size_ = 0;
};

// Training: every distinct feature with the offset of its first sighting.
struct CollectSink {
    std::unordered_map<std::string, size_t> first;
    void add(std::string_view feature, size_t pos) { first.try_emplace(std::string(feature), pos); }
};

// Scoring: the vocabulary features present, each once, with the offset of its first sighting.
struct ScoreSink {
    const Vocabulary& vocab;
    std::vector<uint32_t>& mark;  // per feature: the epoch that last saw it
    uint32_t epoch;
    std::vector<std::pair<uint32_t, size_t>> seen;

    void add(std::string_view feature, size_t pos) {
        const int32_t idx = vocab.find(feature_hash(feature));
        if (idx < 0 || mark[static_cast<size_t>(idx)] == epoch) return;
        mark[static_cast<size_t>(idx)] = epoch;
        seen.emplace_back(static_cast<uint32_t>(idx), pos);
    }
};

}  // namespace transmute::detect
