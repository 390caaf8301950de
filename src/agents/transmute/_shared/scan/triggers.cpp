// Assembly of the multi-pattern scan from its patterns' triggers (derive.cpp), and the split of
// a pattern source at its top-level alternatives. Tested in tests/test_scan.py.
#include "triggers.hpp"

#include "../simd.hpp"

#include <algorithm>
#include <array>
#include <tuple>

namespace transmute::scan {

// Splits `s` on '|' at nesting depth 0, honouring escapes and character classes.
bool split_alternatives(const std::u32string& s, std::vector<std::u32string>& out) {
    int depth = 0;
    bool in_class = false;
    std::u32string current;
    for (size_t i = 0; i < s.size(); ++i) {
        const char32_t c = s[i];
        if (c == '\\') {
            if (i + 1 >= s.size()) return false;
            current += c;
            current += s[++i];
            continue;
        }
        if (in_class) {
            if (c == ']') in_class = false;
        } else if (c == '[') {
            // A leading '^' negates, and a ']' right after the opening (or the '^') is literal.
            in_class = true;
            current += c;
            if (i + 1 < s.size() && s[i + 1] == '^') current += s[++i];
            if (i + 1 < s.size() && s[i + 1] == ']') current += s[++i];
            continue;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth < 0) return false;
        } else if (c == '|' && depth == 0) {
            out.push_back(current);
            current.clear();
            continue;
        }
        current += c;
    }
    if (depth != 0 || in_class) return false;
    out.push_back(current);
    return true;
}

std::vector<std::pair<uint32_t, uint32_t>> pack_heads(const std::vector<std::u32string>& heads) {
    std::vector<std::pair<uint32_t, uint32_t>> packed;
    packed.reserve(heads.size());
    for (const std::u32string& head : heads) {
        uint32_t bytes = 0, mask = 0;
        for (size_t j = 0; j < 4 && j < head.size(); ++j) {
            if (head[j] >= 128) continue;
            bytes |= static_cast<uint32_t>(head[j]) << (8 * j);
            mask |= 0xFFu << (8 * j);
        }
        packed.emplace_back(bytes, mask);
    }
    return packed;
}

std::unique_ptr<TriggerScan> TriggerScan::build(std::vector<regex::ProgramPtr> programs,
                                                std::vector<Mode> modes, bool gates,
                                                std::vector<std::pair<uint32_t, uint32_t>> twins) {
    auto scan = std::unique_ptr<TriggerScan>(new TriggerScan());
    scan->programs_ = std::move(programs);
    scan->modes_ = std::move(modes);
    scan->has_twin_.assign(scan->programs_.size(), false);
    for (const auto& [presence, counted] : twins) {
        if (scan->modes_[presence] != Mode::presence || scan->modes_[counted] != Mode::count) continue;
        scan->has_twin_[presence] = true;
        scan->twins_.emplace_back(presence, counted);
    }
    for (uint32_t p = 0; p < scan->programs_.size(); ++p) {
        if (scan->modes_[p] == Mode::count) scan->has_count_ = true;
        if (scan->has_twin_[p]) continue;
        if (!derive_triggers(*scan->programs_[p], p, scan->triggers_)) scan->untriggered_.push_back(p);
    }
    for (Trigger& t : scan->triggers_) {
        t.follow_packed = pack_heads(t.follow_heads);
        t.heads_packed = pack_heads(t.heads);
    }
    for (uint32_t c = 0; c < 256; ++c) scan->char_class_[c] = regex::is_word(c) ? 1 : 0;
    const uint32_t codes = detail::kWordCodes;
    std::vector<std::vector<uint32_t>> by_key(codes * codes);
    for (uint32_t ti = 0; ti < scan->triggers_.size(); ++ti) {
        const Trigger& t = scan->triggers_[ti];
        if (t.at_word_start) {
            // Keys fold both characters; the trigger's own test tells the letter case apart.
            const uint32_t c0 = detail::word_code(regex::fold_ascii(t.prefix[0]));
            if (t.prefix.size() > 1) {
                by_key[c0 * codes + detail::word_code(regex::fold_ascii(t.prefix[1]))].push_back(ti);
            } else {
                for (uint32_t c1 = 0; c1 < codes; ++c1) by_key[c0 * codes + c1].push_back(ti);
            }
        } else if (t.at_line_start) {
            scan->line_triggers_.push_back(ti);
            scan->char_class_[static_cast<uint32_t>('\n')] |= 2;
            if (t.heads.empty() && t.head_punct.empty()) {
                for (auto& list : scan->line_by_head_) list.push_back(ti);
                continue;
            }
            // Lists of the characters a head can open with (folded, as the walk folds them).
            std::array<bool, 129> in{};
            for (const std::u32string& head : t.heads) {
                const char32_t f = regex::fold_ascii(head[0]);
                in[f < 128 ? f : 128] = true;
            }
            for (char32_t p : t.head_punct) in[p < 128 ? p : 128] = true;
            for (size_t c = 0; c < in.size(); ++c)
                if (in[c]) scan->line_by_head_[c].push_back(ti);
        } else {
            scan->punct_triggers_.push_back(ti);
            scan->char_class_[t.punct] |= 2;
            scan->punct_by_char_[t.punct].push_back(ti);
        }
    }
    scan->bucket_start_.assign(codes * codes + 1, 0);
    auto group_of = [&](uint32_t ti) {
        const Trigger& t = scan->triggers_[ti];
        return t.fold ? std::make_pair(t.head_mask, t.head) : std::make_pair(0u, 0u);
    };
    for (size_t k = 0; k < by_key.size(); ++k) {
        scan->bucket_start_[k] = static_cast<uint32_t>(scan->groups_.size());
        std::vector<uint32_t>& list = by_key[k];
        // Grouped by head, each group in the order of its triggers.
        std::stable_sort(list.begin(), list.end(), [&](uint32_t a, uint32_t b) { return group_of(a) < group_of(b); });
        for (size_t j = 0; j < list.size();) {
            Group group;
            std::tie(group.mask, group.head) = group_of(list[j]);
            group.first = static_cast<uint32_t>(scan->bucket_ids_.size());
            for (; j < list.size() && group_of(list[j]) == std::make_pair(group.mask, group.head); ++j)
                scan->bucket_ids_.push_back(list[j]);
            group.last = static_cast<uint32_t>(scan->bucket_ids_.size());
            scan->add_dispatch(group);
            scan->groups_.push_back(group);
        }
    }
    scan->bucket_start_[by_key.size()] = static_cast<uint32_t>(scan->groups_.size());
    scan->word_pairs_.assign(128 * 256 / 64, 0);
    for (uint32_t a = 0; a < 128; ++a) {
        for (uint32_t b = 0; b < 256; ++b) {
            const uint32_t key =
                detail::word_code(regex::fold_ascii(a)) * codes + detail::word_code(regex::fold_ascii(b));
            const uint32_t bit = a * 256 + b;
            if (scan->bucket_start_[key] != scan->bucket_start_[key + 1])
                scan->word_pairs_[bit >> 6] |= uint64_t{1} << (bit & 63);
        }
    }
    // Gates: the literals every match of a trigger's alternative contains, and the pairs of
    // characters it starts with, from the alternative compiled on its own.
    scan->gate_of_.assign(scan->triggers_.size(), -1);
    std::vector<std::pair<const regex::Node*, int>> compiled;  // (alternative, gate or -1)
    for (uint32_t ti = 0; gates && ti < scan->triggers_.size(); ++ti) {
        const Trigger& t = scan->triggers_[ti];
        auto known = std::find_if(compiled.begin(), compiled.end(), [&](const auto& c) { return c.first == t.branch; });
        if (known == compiled.end()) {
            known = compiled.insert(compiled.end(), {t.branch, scan->add_gate(scan->programs_[t.pattern], *t.branch)});
        }
        scan->gate_of_[ti] = known->second;
    }
    scan->gate_literal_slots_ = {};
    // A candidate one character back comes before the candidates at the character itself.
    for (auto& list : scan->punct_by_char_)
        std::stable_partition(list.begin(), list.end(),
                              [&](uint32_t ti) { return scan->triggers_[ti].back == Back::word_char; });
    scan->punct_next_of_.fill(-1);
    for (uint32_t c = 0; c < 128; ++c)
        if (!scan->punct_by_char_[c].empty()) scan->add_punct_next(c);
    scan->build_prefilter();
    return scan;
}

void TriggerScan::build_prefilter() {
    constexpr size_t kMaxHeads = 48;  // past this the buckets let most words through
    Prefilter pf;
    if (!line_triggers_.empty() || !simd::has_wide()) return;
    uint8_t punct[2] = {0x80, 0x80};
    int n_punct = 0;
    for (uint32_t c = 0; c < 128; ++c) {
        if (!(char_class_[c] & 2)) continue;
        if (n_punct == 2) return;
        punct[n_punct++] = static_cast<uint8_t>(c);
    }
    pf.width = 2;
    for (const Trigger& t : triggers_)
        if (t.at_word_start) pf.width = std::min(pf.width, t.prefix.size());
    if (pf.width == 0) return;
    auto head_of = [&](const Trigger& t) {
        std::array<uint8_t, 2> head{};
        for (size_t j = 0; j < pf.width; ++j) head[j] = static_cast<uint8_t>(t.prefix[j] | 0x20);
        return head;
    };
    for (const Trigger& t : triggers_) {
        if (!t.at_word_start) continue;
        for (size_t j = 0; j < pf.width; ++j)
            if (t.prefix[j] >= 128) return;
        pf.heads.push_back(head_of(t));
    }
    std::sort(pf.heads.begin(), pf.heads.end());
    pf.heads.erase(std::unique(pf.heads.begin(), pf.heads.end()), pf.heads.end());
    if (pf.heads.size() > kMaxHeads) return;
    for (const Trigger& t : triggers_) {
        int8_t head = -1, place = -1;
        if (t.at_word_start) {
            head = static_cast<int8_t>(std::lower_bound(pf.heads.begin(), pf.heads.end(), head_of(t)) -
                                       pf.heads.begin());
        } else {
            place = static_cast<int8_t>(t.punct == punct[0] ? 0 : 1);
        }
        pf.head_of.push_back(head);
        pf.punct_of.push_back(place);
    }
    const uint64_t every_head = pf.heads.size() == 64 ? ~uint64_t{0} : (uint64_t{1} << pf.heads.size()) - 1;
    std::copy(punct, punct + 2, pf.chars);
    pf.fill(every_head, (1u << n_punct) - 1, pf.all);
    pf.enabled = true;
    prefilter_ = std::move(pf);
}

void TriggerScan::Prefilter::fill(uint64_t open_heads, uint32_t open_punct, FilterTables& out) const {
    constexpr size_t kBuckets = 8;
    out = FilterTables{};
    // Neighbours in sorted order share their first character, so a bucket's mixtures stay few.
    for (size_t h = 0; h < heads.size(); ++h) {
        if (!((open_heads >> h) & 1)) continue;
        const uint8_t bit = static_cast<uint8_t>(1u << (h * kBuckets / heads.size()));
        for (size_t j = 0; j < width; ++j) {
            out.lo[j][heads[h][j] & 0x0F] |= bit;
            out.hi[j][heads[h][j] >> 4] |= bit;
        }
    }
    for (size_t k = 0; k < 2; ++k)
        if ((open_punct >> k) & 1) out.punct[k] = chars[k];
}

void TriggerScan::add_dispatch(Group& group) {
    constexpr uint32_t kMinTriggers = 6;  // below this, trying each trigger costs less
    constexpr size_t kMaxSlots = 4;
    const uint32_t size = group.last - group.first;
    if (size < kMinTriggers || size > 64) return;
    Dispatch d;
    for (uint32_t k = 0; k < size; ++k) {
        const Trigger& t = triggers_[bucket_ids_[group.first + k]];
        const uint64_t bit = uint64_t{1} << k;
        if (!t.has_next && !t.has_follow) {
            d.always |= bit;
            continue;
        }
        // The character tested: right after the literal (next), or after the follow's white space.
        const uint32_t len = static_cast<uint32_t>(t.prefix.size());
        const Space space = t.has_next ? Space::none : t.follow_space;
        auto slot = std::find_if(d.slots.begin(), d.slots.end(),
                                 [&](const Dispatch::Slot& x) { return x.len == len && x.space == space; });
        if (slot == d.slots.end()) {
            if (d.slots.size() == kMaxSlots) {
                d.always |= bit;
                continue;
            }
            slot = d.slots.insert(d.slots.end(), Dispatch::Slot{});
            slot->len = len;
            slot->space = space;
        }
        slot->members |= bit;
        for (uint32_t c = 0; c < 128; ++c) {
            bool allowed;
            if (t.has_next) {
                const uint32_t f = t.fold ? regex::fold_ascii(c) : c;
                allowed = (t.next_ascii[f >> 6] >> (f & 63)) & 1;
            } else {
                const uint32_t f = regex::fold_ascii(c);
                allowed = f < 128 && ((t.follow_first[f >> 6] >> (f & 63)) & 1);
            }
            if (allowed) slot->by_char[c] |= bit;
        }
    }
    group.dispatch = static_cast<int32_t>(dispatches_.size());
    dispatches_.push_back(std::move(d));
}

namespace {

constexpr uint32_t kWideNext = 0x80;      // any char above 0x7F right after the punctuation
constexpr uint32_t kEndNext = 0x110000;   // the end of the text right after it

// Whether punctuation trigger t may hold with `c` right after its punctuation (an ASCII char,
// kWideNext or kEndNext). Any doubt says yes; the trigger's own tests decide.
bool may_follow_punct(const Trigger& t, uint32_t c) {
    if (!t.tail.empty()) {
        if (c == kEndNext) return false;
        // Under fold the text's char folds before the trigger compares it, and some wide chars
        // fold to ASCII letters.
        if (c == kWideNext) return t.fold;
        return (t.fold ? regex::fold_ascii(c) : c) == t.tail[0];
    }
    if (t.has_next) {
        if (c == kEndNext) return false;
        if (c == kWideNext) return t.next_wide || t.fold;
        const uint32_t f = t.fold ? regex::fold_ascii(c) : c;
        return (t.next_ascii[f >> 6] >> (f & 63)) & 1;
    }
    if (t.has_follow) {
        if (c == kEndNext) return false;
        if (c == kWideNext) return true;  // wide white space, or a char that folds to ASCII
        if (t.follow_space != Space::none && regex::is_space_char(c)) return true;
        if (t.follow_space == Space::some) return false;
        const uint32_t f = regex::fold_ascii(c);
        return f < 128 && ((t.follow_first[f >> 6] >> (f & 63)) & 1);
    }
    return true;
}

}  // namespace

void TriggerScan::add_punct_next(uint32_t c) {
    const std::vector<uint32_t>& list = punct_by_char_[c];
    PunctNext next;
    next.all = list.size() > 64;
    for (size_t k = 0; k < list.size(); ++k) {
        const Trigger& t = triggers_[list[k]];
        const uint64_t bit = next.all ? ~uint64_t{0} : uint64_t{1} << k;
        for (uint32_t a = 0; a < 128; ++a)
            if (may_follow_punct(t, a)) next.ascii[a] |= bit;
        if (may_follow_punct(t, kWideNext)) next.wide |= bit;
        if (may_follow_punct(t, kEndNext)) next.end |= bit;
        const int g = gate_of_[list[k]];
        const Gate* gate = !next.all && t.back == Back::none && g >= 0 ? &gates_[static_cast<size_t>(g)] : nullptr;
        if (gate != nullptr && !gate->pairs.empty()) {
            for (uint32_t a = 0; a < 128; ++a) {
                const uint32_t pair = c * 256 + a;
                if (!((gate->pairs[pair >> 6] >> (pair & 63)) & 1)) next.ascii[a] &= ~bit;
            }
        }
        if (gate != nullptr && gate->has_third) {
            for (uint32_t a = 0; a < 128; ++a)
                if ((gate->third[a >> 6] >> (a & 63)) & 1) next.third_ascii[a] |= bit;
            next.third_wide |= bit;  // chars above 0x7F are left to the gate
        } else {
            for (uint64_t& bits : next.third_ascii) bits |= bit;
            next.third_wide |= bit;
            next.third_end |= bit;
        }
    }
    punct_next_of_[c] = static_cast<int16_t>(punct_next_.size());
    punct_next_.push_back(next);
}

int TriggerScan::add_gate(const regex::ProgramPtr& whole, const regex::Node& alternative) {
    // A pattern that is one alternative is its own gate program.
    regex::ProgramPtr program = &alternative == &regex::syntax(*whole) ? whole : regex::compile_part(*whole, alternative);
    if (!program) return -1;
    std::vector<uint64_t> pairs;
    regex::pair_bits(*program, pairs);
    const size_t literals = regex::required_literals(*program);
    Gate g;
    g.has_third = regex::third_bits(*program, g.third);
    if (literals == 0 && pairs.empty() && !g.has_third) return -1;
    g.pairs = std::move(pairs);
    // Literals of several gates ("TABLE", "(") are looked for once.
    for (size_t lit = 0; lit < literals; ++lit) {
        std::vector<uint32_t>& alike = gate_literal_slots_[regex::required_literal_hash(*program, lit)];
        auto same = std::find_if(alike.begin(), alike.end(), [&](uint32_t slot) {
            return regex::same_required_literal(*gate_literals_[slot].first, gate_literals_[slot].second, *program, lit);
        });
        uint32_t slot = same != alike.end() ? *same : static_cast<uint32_t>(gate_literals_.size());
        if (slot == gate_literals_.size()) {
            gate_literals_.emplace_back(program.get(), lit);
            alike.push_back(slot);
        }
        if (std::find(g.literals.begin(), g.literals.end(), slot) == g.literals.end()) g.literals.push_back(slot);
    }
    g.program = std::move(program);
    gates_.push_back(std::move(g));
    return static_cast<int>(gates_.size() - 1);
}

}  // namespace transmute::scan
