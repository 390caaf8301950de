// Recursive-descent parser mirroring re._parser for the supported subset.
// Tested in tests/test_engine.py (differential against re, and the refusal cases).
#include "parse.hpp"

#include <algorithm>

namespace transmute::regex {

namespace {

constexpr uint64_t kMaxRepeat = 4294967295ull;  // sre's MAXREPEAT

bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_hex(char32_t c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_ascii_letter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
uint32_t hex_value(char32_t c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

std::unique_ptr<Node> make(Node::Kind kind) {
    auto n = std::make_unique<Node>();
    n->kind = kind;
    return n;
}

class Parser {
public:
    Parser(const std::u32string& src, int flags, Ast& ast, Refusal& why)
        : s_(src), flags_(flags), ast_(ast), why_(why) {}

    bool run() {
        auto root = alternation(0);
        if (!root) return false;
        if (i_ < s_.size()) {
            // Only an unbalanced ')' stops the top level early.
            return fail(Refusal::unbalanced_parenthesis);
        }
        ast_.root = std::move(root);
        return true;
    }

private:
    bool fail(Refusal why) {
        if (why_ == Refusal::none) why_ = why;
        return false;
    }
    bool at_end() const { return i_ >= s_.size(); }
    char32_t peek() const { return s_[i_]; }
    bool eat(char32_t c) {
        if (!at_end() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool ignorecase() const { return flags_ & kIgnoreCase; }

    std::unique_ptr<Node> char_node(CharSet set) {
        auto n = make(Node::kChar);
        n->set = static_cast<uint32_t>(ast_.sets.size());
        ast_.sets.push_back(std::move(set));
        return n;
    }
    std::unique_ptr<Node> literal_node(uint32_t c, bool negate = false) {
        return char_node(CharSet::literal(c, negate, ignorecase()));
    }
    std::unique_ptr<Node> assert_node(AssertKind k) {
        auto n = make(Node::kAssert);
        n->assertion = k;
        return n;
    }

    std::unique_ptr<Node> alternation(int depth) {
        if (depth > 200) {
            fail(Refusal::nested_too_deeply);
            return nullptr;
        }
        std::vector<std::unique_ptr<Node>> branches;
        while (true) {
            auto branch = sequence(depth);
            if (!branch) return nullptr;
            branches.push_back(std::move(branch));
            if (!eat('|')) break;
        }
        if (branches.size() == 1) return std::move(branches[0]);
        auto alt = make(Node::kAlt);
        alt->kids = std::move(branches);
        return alt;
    }

    // Items of one branch; stops before '|' or ')' or the end.
    std::unique_ptr<Node> sequence(int depth) {
        auto cat = make(Node::kConcat);
        // Tracks what the last item was, for sre's "nothing to repeat" / "multiple repeat".
        enum { kNone, kAt, kRepeated, kOther } last = kNone;
        while (!at_end() && peek() != '|' && peek() != ')') {
            const char32_t c = peek();
            if (c == '*' || c == '+' || c == '?' || c == '{') {
                const size_t here = i_;
                ++i_;
                uint64_t lo = 0, hi = kMaxRepeat;
                if (c == '?') {
                    hi = 1;
                } else if (c == '+') {
                    lo = 1;
                } else if (c == '{') {
                    if (!at_end() && peek() == '}') {
                        cat->kids.push_back(literal_node('{'));
                        last = kOther;
                        continue;
                    }
                    std::u32string a, b;
                    while (!at_end() && is_digit(peek())) a += s_[i_++];
                    if (eat(',')) {
                        while (!at_end() && is_digit(peek())) b += s_[i_++];
                    } else {
                        b = a;
                    }
                    if (!eat('}')) {
                        i_ = here + 1;
                        cat->kids.push_back(literal_node('{'));
                        last = kOther;
                        continue;
                    }
                    auto number = [&](const std::u32string& digits, uint64_t& v) {
                        v = 0;
                        for (char32_t d : digits) {
                            v = v * 10 + (d - '0');
                            if (v >= kMaxRepeat) return fail(Refusal::repeat_too_large);
                        }
                        return true;
                    };
                    if (!a.empty() && !number(a, lo)) return nullptr;
                    if (!b.empty() && !number(b, hi)) return nullptr;
                    if (!b.empty() && hi < lo) {
                        fail(Refusal::min_above_max);
                        return nullptr;
                    }
                }
                if (last == kNone || last == kAt) {
                    fail(Refusal::nothing_to_repeat);
                    return nullptr;
                }
                if (last == kRepeated) {
                    fail(Refusal::multiple_repeat);
                    return nullptr;
                }
                bool greedy = true;
                if (eat('?')) {
                    greedy = false;
                } else if (!at_end() && peek() == '+') {
                    fail(Refusal::possessive_repeat);
                    return nullptr;
                }
                auto rep = make(Node::kRepeat);
                rep->min = static_cast<uint32_t>(lo);
                rep->max = hi == kMaxRepeat ? kUnbounded : static_cast<uint32_t>(hi);
                rep->greedy = greedy;
                rep->kids.push_back(std::move(cat->kids.back()));
                // sre stops repeating once an optional iteration has matched the empty string
                // (and a lazy repeat will not start one where the last one ended), a rule the
                // program's loops do not follow. Such a repeat is left to re whenever one
                // optional iteration could follow another.
                if (rep->max == kUnbounded || rep->max - rep->min >= 2) {
                    uint64_t body_lo = 0, body_hi = 0;
                    node_width(*rep->kids[0], body_lo, body_hi);
                    if (body_lo == 0) {
                        fail(Refusal::empty_iteration_repeat);
                        return nullptr;
                    }
                }
                cat->kids.back() = std::move(rep);
                last = kRepeated;
                continue;
            }
            std::unique_ptr<Node> item;
            bool is_at = false;
            bool skip = false;  // comment groups add nothing
            if (!atom(depth, item, is_at, skip)) return nullptr;
            if (skip) continue;
            cat->kids.push_back(std::move(item));
            last = is_at ? kAt : kOther;
        }
        // Flatten nested concatenations and drop empties.
        auto flat = make(Node::kConcat);
        for (auto& k : cat->kids) {
            if (k->kind == Node::kConcat) {
                for (auto& g : k->kids) flat->kids.push_back(std::move(g));
            } else if (k->kind != Node::kEmpty) {
                flat->kids.push_back(std::move(k));
            }
        }
        if (flat->kids.empty()) return make(Node::kEmpty);
        if (flat->kids.size() == 1) return std::move(flat->kids[0]);
        return flat;
    }

    bool atom(int depth, std::unique_ptr<Node>& out, bool& is_at, bool& skip) {
        const char32_t c = s_[i_++];
        switch (c) {
            case '.':
                out = char_node(CharSet::any(flags_ & kDotAll));
                return true;
            case '^':
                out = assert_node((flags_ & kMultiline) ? AssertKind::kBeginLine
                                                            : AssertKind::kBeginText);
                is_at = true;
                return true;
            case '$':
                out = assert_node((flags_ & kMultiline) ? AssertKind::kEndLine
                                                            : AssertKind::kEndTextOrNl);
                is_at = true;
                return true;
            case '[':
                return char_class(out);
            case '(':
                return group(depth, out, skip);
            case '\\':
                return escape(out, is_at);
            default:
                out = literal_node(c);
                return true;
        }
    }

    bool group(int depth, std::unique_ptr<Node>& out, bool& skip) {
        bool look = false, behind = false, negate = false;
        if (eat('?')) {
            if (at_end()) return fail(Refusal::unexpected_end);
            const char32_t k = s_[i_++];
            if (k == ':') {
            } else if (k == 'P') {
                if (!eat('<')) return fail(Refusal::named_reference);
                // Named group: the name must be an identifier; captures do not matter here.
                const size_t start = i_;
                while (!at_end() && peek() != '>') ++i_;
                if (at_end()) return fail(Refusal::unterminated_name);
                std::u32string name = s_.substr(start, i_ - start);
                ++i_;
                if (name.empty()) return fail(Refusal::missing_group_name);
                for (size_t j = 0; j < name.size(); ++j) {
                    const char32_t ch = name[j];
                    const bool ok = ch == '_' || is_ascii_letter(ch) || (j > 0 && is_digit(ch));
                    if (!ok) return fail(Refusal::group_name_not_ascii);
                }
                if (!names_.insert_unique(name)) return fail(Refusal::group_name_redefined);
            } else if (k == '#') {
                while (true) {
                    if (at_end()) return fail(Refusal::unterminated_comment);
                    if (s_[i_++] == ')') break;
                }
                skip = true;
                return true;
            } else if (k == '=' || k == '!') {
                look = true;
                negate = k == '!';
            } else if (k == '<') {
                if (at_end()) return fail(Refusal::unexpected_end);
                const char32_t d = s_[i_++];
                if (d == '=' || d == '!') {
                    look = true;
                    behind = true;
                    negate = d == '!';
                } else {
                    // (?<name>...) is accepted by 3.13 only in newer releases; leave it to re.
                    return fail(Refusal::angle_group);
                }
            } else if (k == '>') {
                return fail(Refusal::atomic_group);
            } else if (k == '(') {
                return fail(Refusal::conditional_group);
            } else {
                return fail(Refusal::inline_flags);
            }
        }
        auto body = alternation(depth + 1);
        if (!body) return false;
        if (!eat(')')) return fail(Refusal::unterminated_subpattern);
        if (!look) {
            out = std::move(body);
            return true;
        }
        if (negate && body->kind == Node::kEmpty) {
            out = make(Node::kFail);  // (?!) never matches
            return true;
        }
        if (behind) {
            uint64_t lo = 0, hi = 0;
            node_width(*body, lo, hi);
            if (lo != hi) return fail(Refusal::look_behind_not_fixed);
            if (lo > 1000) return fail(Refusal::look_behind_too_wide);
        }
        auto n = make(Node::kLook);
        n->behind = behind;
        n->negate = negate;
        n->kids.push_back(std::move(body));
        out = std::move(n);
        return true;
    }

    // Numeric escapes shared by both contexts (\x \u \U \0 octal); false when `e` is not one.
    bool numeric_escape(char32_t e, uint32_t& value, bool in_class, bool& handled) {
        handled = true;
        auto hex = [&](int count) {
            uint32_t v = 0;
            for (int k = 0; k < count; ++k) {
                if (at_end() || !is_hex(peek())) return fail(Refusal::incomplete_escape);
                v = v * 16 + hex_value(s_[i_++]);
            }
            value = v;
            return true;
        };
        if (e == 'x') return hex(2);
        if (e == 'u') return hex(4);
        if (e == 'U') {
            if (!hex(8)) return false;
            if (value > 0x10FFFF) return fail(Refusal::bad_escape_u);
            return true;
        }
        if (e >= '0' && e <= '7' && (in_class || e == '0')) {
            uint32_t v = e - '0';
            for (int k = 0; k < 2 && !at_end() && peek() >= '0' && peek() <= '7'; ++k) {
                v = v * 8 + (s_[i_++] - '0');
            }
            if (v > 0377 && in_class) return fail(Refusal::octal_out_of_range);
            value = v;
            return true;
        }
        if (!in_class && e >= '1' && e <= '9') {
            // Three octal digits make an octal escape; anything else is a group reference.
            if (e <= '7' && i_ + 1 < s_.size() && s_[i_] >= '0' && s_[i_] <= '7' &&
                s_[i_ + 1] >= '0' && s_[i_ + 1] <= '7') {
                const uint32_t v = (e - '0') * 64 + (s_[i_] - '0') * 8 + (s_[i_ + 1] - '0');
                if (v > 0377) return fail(Refusal::octal_out_of_range);
                i_ += 2;
                value = v;
                return true;
            }
            return fail(Refusal::backreference);
        }
        if (in_class && is_digit(e)) return fail(Refusal::bad_escape);
        handled = false;
        return true;
    }

    static bool simple_escape(char32_t e, uint32_t& value) {
        switch (e) {
            case 'a': value = 7; return true;
            case 'f': value = 12; return true;
            case 'n': value = 10; return true;
            case 'r': value = 13; return true;
            case 't': value = 9; return true;
            case 'v': value = 11; return true;
            case '\\': value = '\\'; return true;
            default: return false;
        }
    }

    static uint8_t category_of(char32_t e) {
        switch (e) {
            case 'd': return kCatDigit;
            case 'D': return kCatNotDigit;
            case 's': return kCatSpace;
            case 'S': return kCatNotSpace;
            case 'w': return kCatWord;
            case 'W': return kCatNotWord;
            default: return 0;
        }
    }

    bool escape(std::unique_ptr<Node>& out, bool& is_at) {
        if (at_end()) return fail(Refusal::bad_escape_at_end);
        const char32_t e = s_[i_++];
        if (const uint8_t cat = category_of(e)) {
            CharSet set;
            Refusal why = Refusal::none;  // a lone category is always supported
            CharSet::from_class({ClassItem{ClassItem::kCategory, cat, 0}}, false, ignorecase(), set,
                                why);
            out = char_node(std::move(set));
            return true;
        }
        switch (e) {
            case 'A': out = assert_node(AssertKind::kBeginText); is_at = true; return true;
            case 'Z': out = assert_node(AssertKind::kEndText); is_at = true; return true;
            case 'b': out = assert_node(AssertKind::kWordBoundary); is_at = true; return true;
            case 'B': out = assert_node(AssertKind::kNotWordBoundary); is_at = true; return true;
            default: break;
        }
        uint32_t value = 0;
        if (simple_escape(e, value)) {
            out = literal_node(value);
            return true;
        }
        bool handled = false;
        if (!numeric_escape(e, value, false, handled)) return false;
        if (handled) {
            out = literal_node(value);
            return true;
        }
        if (e == 'N') return fail(Refusal::named_character);
        if (is_ascii_letter(e) || is_digit(e)) return fail(Refusal::bad_escape);
        out = literal_node(e);
        return true;
    }

    // One class member: a literal (kind kLiteral) or a category.
    bool class_escape(ClassItem& item) {
        if (at_end()) return fail(Refusal::unterminated_set);
        const char32_t e = s_[i_++];
        if (const uint8_t cat = category_of(e)) {
            item = {ClassItem::kCategory, cat, 0};
            return true;
        }
        uint32_t value = 0;
        if (e == 'b') {
            value = 8;
        } else if (!simple_escape(e, value)) {
            bool handled = false;
            if (!numeric_escape(e, value, true, handled)) return false;
            if (!handled) {
                if (e == 'N') return fail(Refusal::named_character);
                if (is_ascii_letter(e)) return fail(Refusal::bad_escape);
                value = e;
            }
        }
        item = {ClassItem::kLiteral, value, value};
        return true;
    }

    bool char_class(std::unique_ptr<Node>& out) {
        std::vector<ClassItem> items;
        const bool negate = eat('^');
        while (true) {
            if (at_end()) return fail(Refusal::unterminated_set);
            const char32_t c = s_[i_++];
            ClassItem first{};
            if (c == ']' && !items.empty()) break;
            if (c == '\\') {
                if (!class_escape(first)) return false;
            } else {
                first = {ClassItem::kLiteral, c, c};
            }
            if (eat('-')) {
                if (at_end()) return fail(Refusal::unterminated_set);
                const char32_t d = s_[i_++];
                if (d == ']') {
                    items.push_back(first);
                    items.push_back({ClassItem::kLiteral, '-', '-'});
                    break;
                }
                ClassItem second{};
                if (d == '\\') {
                    if (!class_escape(second)) return false;
                } else {
                    second = {ClassItem::kLiteral, d, d};
                }
                if (first.kind != ClassItem::kLiteral || second.kind != ClassItem::kLiteral ||
                    second.lo < first.lo) {
                    return fail(Refusal::bad_range);
                }
                items.push_back({ClassItem::kRange, first.lo, second.lo});
            } else {
                items.push_back(first);
            }
        }
        // sre turns a one-literal class into a plain (or negated) literal.
        std::vector<ClassItem> unique;
        for (const ClassItem& it : items) {
            bool seen = false;
            for (const ClassItem& u : unique) {
                seen |= u.kind == it.kind && u.lo == it.lo && u.hi == it.hi;
            }
            if (!seen) unique.push_back(it);
        }
        if (unique.size() == 1 && unique[0].kind == ClassItem::kLiteral) {
            out = literal_node(unique[0].lo, negate);
            return true;
        }
        CharSet set;
        if (!CharSet::from_class(unique, negate, ignorecase(), set, why_)) return false;
        out = char_node(std::move(set));
        return true;
    }

    struct Names {
        std::vector<std::u32string> seen;
        bool insert_unique(const std::u32string& n) {
            if (std::find(seen.begin(), seen.end(), n) != seen.end()) return false;
            seen.push_back(n);
            return true;
        }
    };

    const std::u32string& s_;
    size_t i_ = 0;
    int flags_;
    Ast& ast_;
    Refusal& why_;
    Names names_;
};

}  // namespace

void node_width(const Node& n, uint64_t& lo, uint64_t& hi) {
    constexpr uint64_t kInf = kUnbounded;
    switch (n.kind) {
        case Node::kChar:
            lo = hi = 1;
            return;
        case Node::kConcat: {
            lo = hi = 0;
            for (const auto& k : n.kids) {
                uint64_t a, b;
                node_width(*k, a, b);
                lo = std::min(lo + a, kInf);
                hi = (hi == kInf || b == kInf) ? kInf : std::min(hi + b, kInf);
            }
            return;
        }
        case Node::kAlt: {
            lo = kInf;
            hi = 0;
            for (const auto& k : n.kids) {
                uint64_t a, b;
                node_width(*k, a, b);
                lo = std::min(lo, a);
                hi = std::max(hi, b);
            }
            return;
        }
        case Node::kRepeat: {
            uint64_t a, b;
            node_width(*n.kids[0], a, b);
            lo = std::min(a * n.min, kInf);
            if (b == 0) {
                hi = 0;
            } else if (n.max == kUnbounded || b == kInf) {
                hi = kInf;
            } else {
                hi = std::min(b * n.max, kInf);
            }
            return;
        }
        default:
            lo = hi = 0;
            return;
    }
}

bool parse(const std::u32string& source, int flags, Ast& out, Refusal& why) {
    const int known = kIgnoreCase | kMultiline | kDotAll | kUnicode;
    if (flags & ~known) {
        why = Refusal::unsupported_flags;
        return false;
    }
    out.flags = flags;
    Parser p(source, flags, out, why);
    if (!p.run()) {
        if (why == Refusal::none) why = Refusal::unsupported_pattern;
        return false;
    }
    return true;
}

}  // namespace transmute::regex

