// Model features of the platform detector: short ASCII strings ("w:select", "b:stored as",
// "q:$$", "c:#") that the lexer and the tokenizer report with the offset where each was first
// seen. Two sinks take them: one collects the strings for training, one looks each up in the
// shipped vocabulary by its 64-bit hash for scoring. Tested in tests/test_detector.py.
#pragma once

#include "pyref.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace transmute::detect {

// Feature hashes. A feature is a two-character tag ("w:", "b:", ...) and a body; a pair's body
// is two words with one space between. Words are hashed eight bytes at a time, and a feature's
// hash combines its tag with its words' hashes, so the tokenizer hashes each word once and
// derives its word, line and pair features from that. The vocabulary is hashed from the same
// strings by the same rule.
inline uint64_t mix_hash(uint64_t x) {
    x ^= x >> 32;
    x *= 0xd6e8feb86659fd93ull;
    x ^= x >> 32;
    x *= 0xd6e8feb86659fd93ull;
    x ^= x >> 32;
    return x;
}

// A word's hash starts from its length and takes it eight bytes at a time, the last chunk
// padded with zero bytes.
inline uint64_t word_hash_start(size_t len) { return 0x9e3779b97f4a7c15ull * (len + 1); }

inline uint64_t word_hash_step(uint64_t h, uint64_t chunk) {
    h = (h ^ chunk) * 0xbf58476d1ce4e5b9ull;
    return h ^ (h >> 29);
}

inline uint64_t word_hash(const char* p, size_t len) {
    uint64_t h = word_hash_start(len);
    for (size_t i = 0; i < len; i += 8) {
        uint64_t chunk = 0;
        std::memcpy(&chunk, p + i, len - i < 8 ? len - i : 8);
        h = word_hash_step(h, chunk);
    }
    return h;
}

inline uint64_t tag_hash(char a, char b) {
    return mix_hash((static_cast<uint64_t>(static_cast<unsigned char>(a)) << 8 | static_cast<unsigned char>(b)) + 1);
}

inline uint64_t combine_hash(uint64_t seed, uint64_t word) { return mix_hash(seed ^ (word + 0x9e3779b97f4a7c15ull + (seed << 6))); }

inline uint64_t feature_hash(std::string_view s) {
    if (s.size() < 2) return word_hash(s.data(), s.size());
    const uint64_t tag = tag_hash(s[0], s[1]);
    const std::string_view body = s.substr(2);
    if (s[0] == 'b' && s[1] == ':') {
        const size_t space = body.find(' ');
        if (space != std::string_view::npos) {
            const uint64_t first = word_hash(body.data(), space);
            const uint64_t second = word_hash(body.data() + space + 1, body.size() - space - 1);
            return combine_hash(combine_hash(tag, first), second);
        }
    }
    return combine_hash(tag, word_hash(body.data(), body.size()));
}

// The hash of the sigil feature of `sigil` ("s:@", or "s:@@" when doubled), from a table worked
// out once: sigils stand before many words of some scripts (T-SQL variables, temporary tables).
inline uint64_t sigil_feature_hash(char sigil, bool doubled) {
    static const std::vector<uint64_t> table = [] {
        std::vector<uint64_t> t(512);
        for (int c = 0; c < 256; ++c) {
            const char s[4] = {'s', ':', static_cast<char>(c), static_cast<char>(c)};
            t[static_cast<size_t>(c) * 2] = feature_hash(std::string_view(s, 3));
            t[static_cast<size_t>(c) * 2 + 1] = feature_hash(std::string_view(s, 4));
        }
        return t;
    }();
    return table[static_cast<size_t>(static_cast<unsigned char>(sigil)) * 2 + (doubled ? 1 : 0)];
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

    void add(std::string_view feature, size_t pos) { add_hash(feature_hash(feature), pos); }

    void add_hash(uint64_t hash, size_t pos) {
        const int32_t idx = vocab.find(hash);
        if (idx < 0 || mark[static_cast<size_t>(idx)] == epoch) return;
        mark[static_cast<size_t>(idx)] = epoch;
        seen.emplace_back(static_cast<uint32_t>(idx), pos);
    }
};

}  // namespace transmute::detect
