// Builds character predicates following sre's compiler (_compile / _optimize_charset).
// Tested in tests/test_engine.py.
#include "charset.hpp"

#include <algorithm>
#include <array>
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

const CharSet::Ranges& CharSet::ranges() const {
    static const Ranges none;
    return ranges_ ? *ranges_ : none;
}

bool CharSet::slow_in_ranges(uint32_t x) const {
    const Ranges& ranges = this->ranges();
    if (ranges.empty() || x < ranges.front().first || x > ranges.back().second) return false;
    // Binary search over the sorted ranges.
    auto it = std::upper_bound(ranges.begin(), ranges.end(), std::make_pair(x, UINT32_MAX));
    return it != ranges.begin() && std::prev(it)->second >= x;
}

bool CharSet::slow(uint32_t c) const {
    const uint32_t x = lower_first_ ? to_lower_fast(c) : c;
    bool hit = slow_in_ranges(x);
    if (!hit && categories_ != 0) hit = category_hit(categories_, x);
    return hit != negate_;
}

// The lowercase of each char below 256, asked of the interpreter once, and its inverse: for
// each x below 256, the chars below 256 whose lowercase is x.
struct LowerBelow256 {
    std::array<uint32_t, 256> lower{};
    std::array<std::array<uint64_t, 4>, 256> lowering_to{};
    uint64_t lowering_wide[4] = {0, 0, 0, 0};  // chars whose lowercase is 256 or more
};

const LowerBelow256& lower_below_256() {
    static const LowerBelow256 table = [] {
        LowerBelow256 t;
        for (uint32_t c = 0; c < 256; ++c) {
            const uint32_t x = to_lower(c);
            t.lower[c] = x;
            uint64_t* bits = x < 256 ? t.lowering_to[x].data() : t.lowering_wide;
            bits[c >> 6] |= uint64_t{1} << (c & 63);
        }
        return t;
    }();
    return table;
}

// For each category (\d \D \s \S \w \W) the chars below 256 it holds, and those whose
// lowercase it holds: a set's categories are OR-ed in from these, not asked of the interpreter
// char by char for every set of every pattern.
constexpr int kCategories = 6;

struct CategoryBits {
    std::array<std::array<uint64_t, 4>, kCategories> plain{};
    std::array<std::array<uint64_t, 4>, kCategories> lowered{};
};

const CategoryBits& category_bits() {
    static const CategoryBits table = [] {
        CategoryBits t;
        const LowerBelow256& lower = lower_below_256();
        for (int cat = 0; cat < kCategories; ++cat) {
            const auto one = static_cast<uint8_t>(1u << cat);
            for (uint32_t c = 0; c < 256; ++c) {
                const uint64_t bit = uint64_t{1} << (c & 63);
                if (category_hit(one, c)) t.plain[static_cast<size_t>(cat)][c >> 6] |= bit;
                if (category_hit(one, lower.lower[c])) t.lowered[static_cast<size_t>(cat)][c >> 6] |= bit;
            }
        }
        return t;
    }();
    return table;
}

void CharSet::finish(Ranges ranges) {
    normalise(ranges);
    ranges_ = std::make_shared<const Ranges>(std::move(ranges));
    const Ranges& kept = *ranges_;
    // The chars below 256 that the ranges hold, read off the ranges: a set's bits are worked out
    // for every char of every pattern, thousands of times for a table of patterns.
    uint64_t in_ranges[4] = {0, 0, 0, 0};
    for (const auto& [first, last] : kept) {
        if (first >= 256) break;
        for (uint32_t x = first; x <= std::min<uint32_t>(last, 255); ++x) in_ranges[x >> 6] |= uint64_t{1} << (x & 63);
    }
    uint64_t hits[4] = {0, 0, 0, 0};
    if (!lower_first_) {
        std::copy(in_ranges, in_ranges + 4, hits);
    } else {
        // The chars whose lowercase the ranges hold.
        const LowerBelow256& t = lower_below_256();
        for (int w = 0; w < 4; ++w) {
            for (uint64_t bits = in_ranges[w]; bits; bits &= bits - 1) {
                const auto& from = t.lowering_to[static_cast<size_t>(w * 64 + std::countr_zero(bits))];
                for (int v = 0; v < 4; ++v) hits[v] |= from[static_cast<size_t>(v)];
            }
            for (uint64_t bits = t.lowering_wide[w]; bits; bits &= bits - 1) {
                const uint32_t c = static_cast<uint32_t>(w * 64 + std::countr_zero(bits));
                if (slow_in_ranges(t.lower[c])) hits[w] |= uint64_t{1} << (c & 63);
            }
        }
    }
    if (categories_ != 0) {
        const CategoryBits& bits = category_bits();
        for (int cat = 0; cat < kCategories; ++cat) {
            if (!(categories_ & (1u << cat))) continue;
            const auto& row = lower_first_ ? bits.lowered[cat] : bits.plain[cat];
            for (int w = 0; w < 4; ++w) hits[w] |= row[static_cast<size_t>(w)];
        }
    }
    for (int w = 0; w < 4; ++w) low_[w] = negate_ ? ~hits[w] : hits[w];
    // A set accepts nothing >= 256 when it is not negated, has no categories and its ranges
    // (after lowering, which never maps a char >= 256 below 256 except for chars that are
    // themselves accepted through their own lowercase) stay below 256.
    narrow_only_ = false;
    if (!negate_ && categories_ == 0) {
        bool wide = !kept.empty() && kept.back().second >= 256;
        if (!wide && lower_first_) {
            // Some chars >= 256 lowercase into the byte range (U+0130 -> 'i', U+212A -> 'k',
            // U+212B -> U+00E5, ...): keep the general rule for them.
            wide = true;
        }
        narrow_only_ = !wide;
    }
}

// Whether every char whose lowercase is a word char is one itself, and likewise for white
// space: then a set that lowers first accepts only word chars (white space) when its ranges and
// categories hold only those. Asked of the interpreter's tables once, over every code point.
bool lowering_keeps_classes() {
    static const bool keeps = [] {
        for (uint32_t c = 0; c <= 0x10FFFF; ++c) {
            const uint32_t lower = to_lower(c);
            if (lower == c) continue;
            if ((is_word(lower) && !is_word(c)) || (is_space_char(lower) && !is_space_char(c))) return false;
        }
        return true;
    }();
    return keeps;
}

void CharSet::only_classes(bool lowered, bool& only_space, bool& only_word) const {
    only_space = only_word = false;
    if (negate_) return;
    uint64_t members = 0;
    for (const auto& r : ranges()) members += r.second - r.first + 1;
    // The chars a set accepts beyond its categories are its ranges, or with lower_first_ the
    // chars whose lowercase is in them: those are told apart only with `lowered`, and only
    // while lowering keeps the two classes.
    if (members > 4096 || (lower_first_ && !(lowered && lowering_keeps_classes()))) return;
    bool spaces = (categories_ & ~kCatSpace) == 0;
    bool words = (categories_ & ~(kCatWord | kCatDigit)) == 0;
    for (const auto& r : ranges()) {
        for (uint32_t c = r.first; c <= r.second; ++c) {
            spaces = spaces && is_space_char(c);
            words = words && is_word(c);
        }
    }
    only_space = spaces && (categories_ != 0 || members > 0);
    only_word = words && (categories_ != 0 || members > 0);
}

CharFacts CharSet::facts() const {
    const Ranges& ranges = this->ranges();
    CharFacts f;
    f.ascii[0] = low_[0];
    f.ascii[1] = low_[1];
    f.wide = low_[2] != 0 || low_[3] != 0 || !narrow_only_;
    // The category of white space, taken whole (white space has no other case to lower to).
    f.all_space = !negate_ && (categories_ & kCatSpace) != 0;
    if (negate_) return f;
    uint64_t members = 0;
    for (const auto& r : ranges) members += r.second - r.first + 1;
    only_classes(false, f.only_space, f.only_word);
    if (categories_ != 0 || members == 0 || members > 16) return f;
    // A char whose lowercase is c folds as c does (fold_ascii lowercases first).
    uint32_t folds[4];
    int nfolds = 0;
    for (const auto& r : ranges) {
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
    if (f.exact) f.only = ranges[0].first;
    return f;
}

int CharSet::byte_count() const {
    int n = 0;
    for (uint64_t w : low_) n += std::popcount(w);
    return n;
}

CharSet CharSet::literal(uint32_t c, bool negate, bool ignorecase) {
    // Patterns are mostly ASCII letters, each its own set: those are built once.
    if (c < 128) {
        static const std::array<CharSet, 512> ascii = [] {
            std::array<CharSet, 512> sets;
            for (uint32_t x = 0; x < 128; ++x)
                for (int form = 0; form < 4; ++form)
                    sets[x * 4 + static_cast<uint32_t>(form)] = build_literal(x, form & 1, (form & 2) != 0);
            return sets;
        }();
        return ascii[c * 4 + (negate ? 1 : 0) + (ignorecase ? 2 : 0)];
    }
    return build_literal(c, negate, ignorecase);
}

CharSet CharSet::build_literal(uint32_t c, bool negate, bool ignorecase) {
    CharSet s;
    s.negate_ = negate;
    Ranges ranges;
    if (!ignorecase || !is_cased(c)) {
        ranges.push_back({c, c});
        s.single_ = !negate;
    } else {
        s.lower_first_ = true;
        add_variants(ranges, c);
    }
    s.finish(std::move(ranges));
    return s;
}

CharSet CharSet::any(bool dotall) {
    CharSet s;
    s.negate_ = true;
    s.finish(dotall ? Ranges{} : Ranges{{'\n', '\n'}});
    return s;
}

bool CharSet::from_class(const std::vector<ClassItem>& items, bool negate, bool ignorecase,
                         CharSet& out, Refusal& why) {
    CharSet s;
    s.negate_ = negate;
    Ranges ranges;
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
            ranges.push_back({item.lo, item.hi});
            continue;
        }
        // Case-folded charmap: the lowercase of every member plus its extra variants.
        for (uint32_t c = item.lo; c <= item.hi; ++c) add_variants(ranges, c);
    }
    // With cased members sre tests the lowercased subject char against the whole set,
    // categories included (IN_UNI_IGNORE).
    s.lower_first_ = hascased;
    s.finish(std::move(ranges));
    out = std::move(s);
    return true;
}

}  // namespace transmute::regex
