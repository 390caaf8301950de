// Builds character predicates following sre's compiler (_compile / _optimize_charset).
// Tested in tests/test_engine.py.
#include "charset.hpp"

#include <algorithm>
#include <bit>

namespace transmute::regex {

namespace {

void normalise(std::vector<std::pair<uint32_t, uint32_t>>& ranges) {
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<uint32_t, uint32_t>> merged;
    for (const auto& r : ranges) {
        if (!merged.empty() && r.first <= merged.back().second + 1) {
            merged.back().second = std::max(merged.back().second, r.second);
        } else {
            merged.push_back(r);
        }
    }
    ranges.swap(merged);
}

// The chars an IGNORECASE literal `c` matches, as one-char ranges tested after lowering.
void add_variants(std::vector<std::pair<uint32_t, uint32_t>>& ranges, uint32_t c) {
    std::vector<uint32_t> variants;
    case_variants(c, variants);
    for (uint32_t v : variants) ranges.push_back({v, v});
}

bool category_hit(uint8_t cats, uint32_t c) {
    if (cats == 0) return false;
    if (cats & (kCatDigit | kCatNotDigit)) {
        const bool d = is_digit_char(c);
        if ((cats & kCatDigit) && d) return true;
        if ((cats & kCatNotDigit) && !d) return true;
    }
    if (cats & (kCatSpace | kCatNotSpace)) {
        const bool s = is_space_char(c);
        if ((cats & kCatSpace) && s) return true;
        if ((cats & kCatNotSpace) && !s) return true;
    }
    if (cats & (kCatWord | kCatNotWord)) {
        const bool w = is_word(c);
        if ((cats & kCatWord) && w) return true;
        if ((cats & kCatNotWord) && !w) return true;
    }
    return false;
}

}  // namespace

bool CharSet::slow(uint32_t c) const {
    const uint32_t x = lower_first_ ? to_lower_fast(c) : c;
    bool hit = false;
    if (!ranges_.empty() && x >= ranges_.front().first && x <= ranges_.back().second) {
        // Binary search over the sorted ranges.
        auto it = std::upper_bound(ranges_.begin(), ranges_.end(), std::make_pair(x, UINT32_MAX));
        hit = it != ranges_.begin() && std::prev(it)->second >= x;
    }
    if (!hit && categories_ != 0) hit = category_hit(categories_, x);
    return hit != negate_;
}

void CharSet::finish() {
    normalise(ranges_);
    for (uint32_t c = 0; c < 256; ++c) {
        if (slow(c)) low_[c >> 6] |= uint64_t{1} << (c & 63);
    }
    // A set accepts nothing >= 256 when it is not negated, has no categories and its ranges
    // (after lowering, which never maps a char >= 256 below 256 except for chars that are
    // themselves accepted through their own lowercase) stay below 256.
    narrow_only_ = false;
    if (!negate_ && categories_ == 0) {
        bool wide = !ranges_.empty() && ranges_.back().second >= 256;
        if (!wide && lower_first_) {
            // Some chars >= 256 lowercase into the byte range (U+0130 -> 'i', U+212A -> 'k',
            // U+212B -> U+00E5, ...): keep the general rule for them.
            wide = true;
        }
        narrow_only_ = !wide;
    }
}

CharFacts CharSet::facts() const {
    CharFacts f;
    f.ascii[0] = low_[0];
    f.ascii[1] = low_[1];
    f.wide = low_[2] != 0 || low_[3] != 0 || !narrow_only_;
    // The category of white space, taken whole (white space has no other case to lower to).
    f.all_space = !negate_ && (categories_ & kCatSpace) != 0;
    if (negate_) return f;
    uint64_t members = 0;
    for (const auto& r : ranges_) members += r.second - r.first + 1;
    // The chars a set accepts beyond its categories are its ranges, or with lower_first_ the
    // chars whose lowercase is in them: only the plain case is told apart here.
    if (!lower_first_ && members <= 4096) {
        bool spaces = (categories_ & ~kCatSpace) == 0;
        bool words = (categories_ & ~(kCatWord | kCatDigit)) == 0;
        for (const auto& r : ranges_) {
            for (uint32_t c = r.first; c <= r.second; ++c) {
                spaces = spaces && is_space_char(c);
                words = words && is_word(c);
            }
        }
        f.only_space = spaces && (categories_ != 0 || members > 0);
        f.only_word = words && (categories_ != 0 || members > 0);
    }
    if (categories_ != 0 || members == 0 || members > 16) return f;
    // A char whose lowercase is c folds as c does (fold_ascii lowercases first).
    uint32_t folds[4];
    int nfolds = 0;
    for (const auto& r : ranges_) {
        for (uint32_t c = r.first; c <= r.second; ++c) {
            if (!lower_first_ && c >= 128) return f;
            const uint32_t folded = fold_ascii(c);
            if (folded >= 128) return f;
            if (std::find(folds, folds + nfolds, folded) != folds + nfolds) continue;
            if (nfolds == 4) return f;
            folds[nfolds++] = folded;
        }
    }
    std::copy(folds, folds + nfolds, f.folds);
    f.nfolds = nfolds;
    f.exact = !lower_first_ && members == 1;
    if (f.exact) f.only = ranges_[0].first;
    return f;
}

int CharSet::byte_count() const {
    int n = 0;
    for (uint64_t w : low_) n += std::popcount(w);
    return n;
}

CharSet CharSet::literal(uint32_t c, bool negate, bool ignorecase) {
    CharSet s;
    s.negate_ = negate;
    if (!ignorecase || !is_cased(c)) {
        s.ranges_.push_back({c, c});
        s.single_ = !negate;
    } else {
        s.lower_first_ = true;
        add_variants(s.ranges_, c);
    }
    s.finish();
    return s;
}

CharSet CharSet::any(bool dotall) {
    CharSet s;
    s.ranges_.push_back({'\n', '\n'});
    s.negate_ = true;
    if (dotall) s.ranges_.clear();
    s.finish();
    return s;
}

bool CharSet::from_class(const std::vector<ClassItem>& items, bool negate, bool ignorecase,
                         CharSet& out, Refusal& why) {
    CharSet s;
    s.negate_ = negate;
    bool hascased = false;
    if (ignorecase) {
        for (const ClassItem& item : items) {
            if (item.kind == ClassItem::kCategory) continue;
            if (item.hi >= 0x10000 || item.lo >= 0x10000) {
                why = Refusal::wide_ignorecase_class;
                return false;
            }
            for (uint32_t c = item.lo; c <= item.hi; ++c) {
                if (is_cased(c)) {
                    hascased = true;
                    break;
                }
            }
        }
    }
    for (const ClassItem& item : items) {
        if (item.kind == ClassItem::kCategory) {
            s.categories_ |= static_cast<uint8_t>(item.lo);
            continue;
        }
        if (!hascased) {
            s.ranges_.push_back({item.lo, item.hi});
            continue;
        }
        // Case-folded charmap: the lowercase of every member plus its extra variants.
        for (uint32_t c = item.lo; c <= item.hi; ++c) add_variants(s.ranges_, c);
    }
    // With cased members sre tests the lowercased subject char against the whole set,
    // categories included (IN_UNI_IGNORE).
    s.lower_first_ = hascased;
    s.finish();
    out = std::move(s);
    return true;
}

}  // namespace transmute::regex
