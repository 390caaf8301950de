// Trigger derivation from pattern sources and assembly of the multi-pattern scan.
// Tested in tests/test_scan.py.
#include "triggers.hpp"

#include <algorithm>
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

namespace {

bool is_literal_word_char(char32_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_quantifier(char32_t c) { return c == '*' || c == '+' || c == '?' || c == '{'; }


// Literal word characters at the start of `s`, dropping one that a quantifier makes optional.
std::u32string literal_prefix(const std::u32string& s) {
    size_t i = 0;
    while (i < s.size() && is_literal_word_char(s[i])) ++i;
    if (i < s.size() && is_quantifier(s[i]) && i > 0) --i;
    return s.substr(0, i);
}

// Prefixes of one alternative that follows "\b": a literal run, or a non-capturing or
// capturing group of alternatives that each open with one. `afters` gets, for each prefix, the
// source text that follows it in the pattern.
bool word_prefixes(const std::u32string& rest, std::vector<std::u32string>& out, std::vector<std::u32string>& afters) {
    size_t body = 0;
    if (rest.rfind(U"(?:", 0) == 0) {
        body = 3;
    } else if (!rest.empty() && rest[0] == '(' && (rest.size() < 2 || rest[1] != '?')) {
        body = 1;
    }
    if (body == 0) {
        std::u32string prefix = literal_prefix(rest);
        if (prefix.empty()) return false;
        afters.push_back(rest.substr(prefix.size()));
        out.push_back(prefix);
        return true;
    }
    // Find the group's closing parenthesis; the group must not be quantified.
    int depth = 0;
    bool in_class = false;
    size_t close = std::u32string::npos;
    for (size_t i = 0; i < rest.size(); ++i) {
        const char32_t c = rest[i];
        if (c == '\\') { ++i; continue; }
        if (in_class) { if (c == ']') in_class = false; continue; }
        if (c == '[') { in_class = true; continue; }
        if (c == '(') ++depth;
        if (c == ')' && --depth == 0) { close = i; break; }
    }
    if (close == std::u32string::npos) return false;
    if (close + 1 < rest.size() && is_quantifier(rest[close + 1])) return false;
    std::vector<std::u32string> alternatives;
    if (!split_alternatives(rest.substr(body, close - body), alternatives)) return false;
    for (const std::u32string& alternative : alternatives) {
        std::u32string prefix = literal_prefix(alternative);
        if (prefix.empty()) return false;
        afters.push_back(alternative.substr(prefix.size()) + rest.substr(close + 1));
        out.push_back(prefix);
    }
    return true;
}

bool is_plain_punct(char32_t c) {
    if (c >= 128 || is_literal_word_char(c)) return false;
    switch (c) {
        case '\\': case '.': case '^': case '$': case '*': case '+': case '?': case '{':
        case '}': case '[': case ']': case '(': case ')': case '|':
            return false;
        default:
            return c > ' ';
    }
}

// An escape that stands for one punctuation character: "\(", "\$", "\\".
bool escaped_punct(const std::u32string& s, size_t at, char32_t& out) {
    if (at + 1 >= s.size() || s[at] != '\\') return false;
    const char32_t c = s[at + 1];
    if (c >= 128 || is_literal_word_char(c) || c <= ' ') return false;
    out = c;
    return true;
}

// End of the group opened at `open` (the index of its ')'), or npos.
size_t group_end(const std::u32string& s, size_t open) {
    int depth = 0;
    bool in_class = false;
    for (size_t i = open; i < s.size(); ++i) {
        const char32_t c = s[i];
        if (c == '\\') { ++i; continue; }
        if (in_class) { if (c == ']') in_class = false; continue; }
        if (c == '[') { in_class = true; continue; }
        if (c == '(') ++depth;
        if (c == ')' && --depth == 0) return i;
    }
    return std::u32string::npos;
}

// The punctuation characters a class of plain or escaped punctuation ("[,(]", "[\\[\\(]") holds;
// false for ranges, negation, letters and class escapes.
bool punct_class(const std::u32string& s, size_t at, std::vector<char32_t>& out, size_t& end) {
    if (at >= s.size() || s[at] != '[') return false;
    size_t i = at + 1;
    if (i < s.size() && (s[i] == '^' || s[i] == ']')) return false;
    for (; i < s.size() && s[i] != ']'; ++i) {
        char32_t c = s[i];
        if (c == '\\') {
            if (!escaped_punct(s, i, c)) return false;
            ++i;
        } else if (c == '-' && i > at + 1 && i + 1 < s.size() && s[i + 1] != ']') {
            return false;  // a range
        } else if (c >= 128 || is_literal_word_char(c) || c <= ' ') {
            return false;
        }
        out.push_back(c);
    }
    if (i >= s.size() || out.empty()) return false;
    end = i + 1;
    return true;
}

bool optional_after(const std::u32string& s, size_t end) {
    return end < s.size() && (s[end] == '?' || s[end] == '*' || (s[end] == '{' && end + 1 < s.size() && s[end + 1] == '0'));
}

Trigger punct_trigger(char32_t c, uint32_t pattern) {
    Trigger t;
    t.at_word_start = false;
    t.punct = c;
    t.pattern = pattern;
    return t;
}

Trigger line_trigger(uint32_t pattern) {
    Trigger t;
    t.at_word_start = false;
    t.at_line_start = true;
    t.pattern = pattern;
    return t;
}

// Word prefixes after "\b" that `word_prefixes` does not take: an optional group or character
// before the literal ("(UNIQUE\s+|NO\s+)?PRIMARY", "N?VARCHAR2"), or a class of letters ("[rRbB]'").
bool optional_word_prefixes(const std::u32string& rest, std::vector<std::u32string>& out) {
    if (!rest.empty() && rest[0] == '(') {
        const size_t close = group_end(rest, 0);
        if (close == std::u32string::npos || close + 1 >= rest.size() || rest[close + 1] != '?') return false;
        const size_t body = rest.rfind(U"(?:", 0) == 0 ? 3 : (rest.size() > 1 && rest[1] == '?' ? 0 : 1);
        if (body == 0) return false;
        std::vector<std::u32string> alternatives;
        if (!split_alternatives(rest.substr(body, close - body), alternatives)) return false;
        for (const std::u32string& alternative : alternatives) {
            std::u32string prefix = literal_prefix(alternative);
            if (prefix.empty()) return false;
            out.push_back(prefix);
        }
        std::u32string after = rest.substr(close + 2);
        std::u32string prefix = literal_prefix(after);
        if (prefix.empty()) return false;
        out.push_back(prefix);
        return true;
    }
    if (rest.size() >= 3 && is_literal_word_char(rest[0]) && rest[1] == '?') {
        std::u32string prefix = literal_prefix(rest.substr(2));
        if (prefix.empty()) return false;
        out.push_back(std::u32string(1, rest[0]) + prefix);
        out.push_back(prefix);
        return true;
    }
    if (!rest.empty() && rest[0] == '[') {
        size_t i = 1;
        std::vector<char32_t> letters;
        for (; i < rest.size() && rest[i] != ']'; ++i) {
            if (!is_literal_word_char(rest[i])) return false;
            letters.push_back(rest[i]);
        }
        if (i >= rest.size() || letters.empty() || optional_after(rest, i + 1)) return false;
        for (char32_t c : letters) out.push_back(std::u32string(1, c));
        return true;
    }
    return false;
}

// What the text after a line start's white space must open, for `^\s*REST`: the word prefixes
// and punctuation REST can begin with; false when that cannot be told from the source.
bool line_heads(std::u32string rest, std::vector<std::u32string>& heads, std::u32string& punct) {
    for (const char32_t* lead : {U"\\s*", U"\\s+", U"[ \\t]*", U"[ \\t]+"}) {
        const std::u32string l(lead);
        if (rest.rfind(l, 0) == 0) {
            rest = rest.substr(l.size());
            break;
        }
    }
    if (rest.empty()) return false;
    char32_t c;
    if (escaped_punct(rest, 0, c)) {
        if (rest.size() > 2 && is_quantifier(rest[2])) return false;  // "\\(?" may be absent
        punct += c;
        return true;
    }
    if (is_plain_punct(rest[0])) {
        if (rest.size() > 1 && is_quantifier(rest[1])) return false;
        punct += rest[0];
        return true;
    }
    std::vector<char32_t> chars;
    size_t class_end = 0;
    if (punct_class(rest, 0, chars, class_end)) {
        if (class_end < rest.size() && is_quantifier(rest[class_end])) return false;
        punct.append(chars.begin(), chars.end());
        return true;
    }
    if (rest[0] == '(') {
        const size_t close = group_end(rest, 0);
        if (close == std::u32string::npos) return false;
        const size_t body = rest.rfind(U"(?:", 0) == 0 ? 3 : (rest.size() > 1 && rest[1] == '?' ? 0 : 1);
        if (body == 0) return false;
        std::vector<std::u32string> alternatives;
        if (!split_alternatives(rest.substr(body, close - body), alternatives)) return false;
        for (const std::u32string& alternative : alternatives)
            if (!line_heads(alternative, heads, punct)) return false;
        if (close + 1 < rest.size() && rest[close + 1] == '?') return line_heads(rest.substr(close + 2), heads, punct);
        if (close + 1 < rest.size() && is_quantifier(rest[close + 1])) return false;
        return true;
    }
    std::u32string prefix = literal_prefix(rest);
    if (prefix.empty()) return false;
    heads.push_back(prefix);
    return true;
}

Trigger headed_line_trigger(const std::u32string& rest, bool fold, uint32_t pattern) {
    Trigger t = line_trigger(pattern);
    t.fold = fold;
    if (!line_heads(rest, t.heads, t.head_punct)) {
        t.heads.clear();
        t.head_punct.clear();
    }
    if (fold)
        for (std::u32string& head : t.heads)
            for (char32_t& ch : head) ch = regex::fold_ascii(ch);
    return t;
}

// White space at the start of `s` ("\\s+", "[ \\t]+": some; "\\s*", "[ \\t]*": any), its length in `len`.
Space leading_space(const std::u32string& s, size_t& len) {
    for (const char32_t* lead : {U"\\s+", U"[ \\t]+", U"\\s*", U"[ \\t]*"}) {
        const std::u32string l(lead);
        if (s.rfind(l, 0) == 0) {
            len = l.size();
            return l.back() == '+' ? Space::some : Space::any;
        }
    }
    len = 0;
    return Space::none;
}

// One literal punctuation character at s[at] (plain or escaped) that no quantifier makes
// optional; `len` is its length in the source.
bool punct_atom(const std::u32string& s, size_t at, char32_t& c, size_t& len) {
    if (at >= s.size()) return false;
    if (is_plain_punct(s[at])) {
        c = s[at];
        len = 1;
    } else if (escaped_punct(s, at, c)) {
        len = 2;
    } else {
        return false;
    }
    return !(at + len < s.size() && is_quantifier(s[at + len]));
}

// The literal characters (word characters and punctuation) that open s[at..], up to the first
// that a quantifier makes optional or anything else; lower-case when fold.
std::u32string literal_run(const std::u32string& s, size_t at, bool fold, size_t* end = nullptr) {
    std::u32string out;
    while (at < s.size()) {
        char32_t c;
        size_t len;
        if (is_literal_word_char(s[at])) {
            c = fold ? regex::fold_ascii(s[at]) : s[at];
            len = 1;
        } else if (is_plain_punct(s[at])) {
            c = s[at];
            len = 1;
        } else if (escaped_punct(s, at, c)) {
            len = 2;
        } else {
            break;
        }
        if (at + len < s.size() && is_quantifier(s[at + len])) break;
        out += c;
        at += len;
    }
    if (end) *end = at;
    return out;
}

// What must follow a word literal, from the source text `after` it: white space, then a word
// prefix or a punctuation character. Leaves the trigger without a requirement when the source
// says nothing so simple.
void set_follow(Trigger& t, const std::u32string& after, bool fold) {
    size_t len = 0;
    const Space space = leading_space(after, len);
    std::vector<std::u32string> heads;
    std::u32string punct;
    if (!line_heads(after.substr(len), heads, punct)) return;
    // The heads may lie behind white space that `line_heads` skipped inside optional groups:
    // the check skips white space always, and needs some only where the source does.
    if (fold)
        for (std::u32string& head : heads)
            for (char32_t& ch : head) ch = regex::fold_ascii(ch);
    t.has_follow = true;
    t.follow_space = space == Space::some ? Space::some : Space::any;
    t.follow_heads = std::move(heads);
    t.follow_punct = std::move(punct);
    // The walk folds the text's character before this quick test, whatever the trigger's case.
    for (const std::u32string& head : t.follow_heads) {
        const char32_t f = regex::fold_ascii(head[0]);
        t.follow_first[f >> 6] |= uint64_t{1} << (f & 63);
    }
    for (char32_t c : t.follow_punct) t.follow_first[c >> 6] |= uint64_t{1} << (c & 63);
}

Trigger word_trigger(std::u32string prefix, bool fold, uint32_t pattern) {
    Trigger t;
    t.at_word_start = true;
    t.fold = fold;
    t.pattern = pattern;
    if (fold)
        for (char32_t& c : prefix) c = regex::fold_ascii(c);
    t.prefix = std::move(prefix);
    for (size_t j = 0; j < 4 && j < t.prefix.size(); ++j) {
        t.head |= static_cast<uint32_t>(t.prefix[j]) << (8 * j);
        t.head_mask |= 0xFFu << (8 * j);
    }
    return t;
}

// The literal tail of a punctuation trigger whose character ends at alternative[at], and what
// must follow that tail.
void set_tail(Trigger& t, const std::u32string& alternative, size_t at, bool fold) {
    size_t end = at;
    t.tail = literal_run(alternative, at, fold, &end);
    set_follow(t, alternative.substr(end), fold);
}

// Triggers of one alternative that is not a "\b" word: a line start ("^", or a leading group
// of "^", "\n" and punctuation), or a leading punctuation character, escaped punctuation or
// class of punctuation.
bool other_triggers(const std::u32string& alternative, bool multiline, bool fold, uint32_t pattern,
                    std::vector<Trigger>& found) {
    if (alternative.empty()) return false;
    if (alternative[0] == '^') {
        if (!multiline) return false;
        found.push_back(headed_line_trigger(alternative.substr(1), fold, pattern));
        return true;
    }
    if (alternative.rfind(U"(?:", 0) == 0) {
        const size_t close = group_end(alternative, 0);
        if (close == std::u32string::npos || optional_after(alternative, close + 1) ||
            (close + 1 < alternative.size() && alternative[close + 1] == '+'))
            return false;
        std::vector<std::u32string> heads;
        if (!split_alternatives(alternative.substr(3, close - 3), heads)) return false;
        std::vector<Trigger> group;
        for (const std::u32string& head : heads) {
            char32_t c;
            if (head == U"^" && multiline) {
                group.push_back(headed_line_trigger(alternative.substr(close + 1), fold, pattern));
            } else if (head == U"\\n") {
                group.push_back(punct_trigger('\n', pattern));
            } else if (head.size() == 1 && is_plain_punct(head[0])) {
                group.push_back(punct_trigger(head[0], pattern));
                set_tail(group.back(), alternative, close + 1, fold);
            } else if (head.size() == 2 && escaped_punct(head, 0, c)) {
                group.push_back(punct_trigger(c, pattern));
                set_tail(group.back(), alternative, close + 1, fold);
            } else {
                return false;
            }
        }
        found.insert(found.end(), group.begin(), group.end());
        return true;
    }
    char32_t c;
    if (is_plain_punct(alternative[0])) {
        if (alternative.size() > 1 && is_quantifier(alternative[1])) return false;
        found.push_back(punct_trigger(alternative[0], pattern));
        set_tail(found.back(), alternative, 1, fold);
        return true;
    }
    if (escaped_punct(alternative, 0, c)) {
        if (alternative.size() > 2 && is_quantifier(alternative[2])) return false;
        found.push_back(punct_trigger(c, pattern));
        set_tail(found.back(), alternative, 2, fold);
        return true;
    }
    std::vector<char32_t> chars;
    size_t end = 0;
    if (punct_class(alternative, 0, chars, end)) {
        if (optional_after(alternative, end)) return false;
        for (char32_t ch : chars) {
            found.push_back(punct_trigger(ch, pattern));
            set_tail(found.back(), alternative, end, fold);
        }
        return true;
    }
    return false;
}

}  // namespace

bool derive_triggers(const std::u32string& source, int flags, uint32_t pattern, std::vector<Trigger>& out) {
    std::vector<std::u32string> alternatives;
    if (!split_alternatives(source, alternatives)) return false;
    std::vector<Trigger> found;
    const bool fold = (flags & regex::kIgnoreCase) != 0;
    const bool multiline = (flags & regex::kMultiline) != 0;
    // Triggers whose candidate starts an unbounded way back come out of order with other
    // triggers' candidates, so a pattern may have them only alone.
    bool far_back = false;
    for (std::u32string alternative : alternatives) {
        const size_t before = found.size();
        // A leading look-behind is zero-width: the match starts where what follows it does.
        if (alternative.rfind(U"(?<=", 0) == 0 || alternative.rfind(U"(?<!", 0) == 0) {
            const size_t close = group_end(alternative, 0);
            if (close == std::u32string::npos || (close + 1 < alternative.size() && is_quantifier(alternative[close + 1])))
                return false;
            alternative = alternative.substr(close + 1);
        }
        char32_t c;
        size_t len = 0;
        if (alternative.rfind(U"\\b\\w+\\s+", 0) == 0) {
            // "\b\w+\s+LIT": found at LIT, the candidate is the word before it.
            const std::u32string rest = alternative.substr(8);
            std::u32string prefix = literal_prefix(rest);
            if (prefix.empty()) return false;
            Trigger t = word_trigger(prefix, fold, pattern);
            t.back = Back::word;
            set_follow(t, rest.substr(prefix.size()), fold);
            found.push_back(std::move(t));
            far_back = true;
        } else if (alternative.rfind(U"\\b", 0) == 0) {
            std::vector<std::u32string> prefixes, afters;
            const std::u32string rest = alternative.substr(2);
            if (!word_prefixes(rest, prefixes, afters)) {
                prefixes.clear();
                afters.clear();
                if (!optional_word_prefixes(rest, prefixes)) return false;
            }
            for (size_t k = 0; k < prefixes.size(); ++k) {
                Trigger t = word_trigger(prefixes[k], fold, pattern);
                if (k < afters.size()) set_follow(t, afters[k], fold);
                found.push_back(std::move(t));
            }
        } else if (alternative.rfind(U"\\w", 0) == 0 && alternative.size() > 2 && !is_quantifier(alternative[2]) &&
                   punct_atom(alternative, 2, c, len)) {
            // "\wP": found at P, the candidate is the word character before it.
            Trigger t = punct_trigger(c, pattern);
            t.back = Back::word_char;
            set_tail(t, alternative, 2 + len, fold);
            found.push_back(std::move(t));
        } else if (!alternative.empty() && is_literal_word_char(alternative[0])) {
            // "LIT\s+P" (LIT not at a word start): found at P, the candidate is LIT before it.
            const std::u32string prefix = literal_prefix(alternative);
            size_t space_len = 0;
            const Space space = leading_space(alternative.substr(prefix.size()), space_len);
            const size_t at = prefix.size() + space_len;
            if (prefix.empty() || !punct_atom(alternative, at, c, len)) return false;
            Trigger t = punct_trigger(c, pattern);
            t.fold = fold;
            t.back = Back::literal;
            t.back_space = space;
            t.back_literal = prefix;
            if (fold)
                for (char32_t& ch : t.back_literal) ch = regex::fold_ascii(ch);
            set_tail(t, alternative, at + len, fold);
            found.push_back(std::move(t));
            far_back = true;
        } else if (!other_triggers(alternative, multiline, fold, pattern, found)) {
            return false;
        }
        for (size_t k = before; k < found.size(); ++k) found[k].alternative = alternative;
    }
    if (far_back && found.size() > 1) return false;
    for (Trigger& t : found) t.fold = fold;
    out.insert(out.end(), found.begin(), found.end());
    return true;
}

std::unique_ptr<TriggerScan> TriggerScan::build(std::vector<regex::ProgramPtr> programs,
                                                const std::vector<std::u32string>& sources,
                                                const std::vector<int>& flags, std::vector<Mode> modes,
                                                bool gates) {
    auto scan = std::unique_ptr<TriggerScan>(new TriggerScan());
    scan->programs_ = std::move(programs);
    scan->modes_ = std::move(modes);
    for (uint32_t p = 0; p < scan->programs_.size(); ++p) {
        if (scan->modes_[p] == Mode::count) scan->has_count_ = true;
        if (!derive_triggers(sources[p], flags[p], p, scan->triggers_)) scan->untriggered_.push_back(p);
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
            scan->groups_.push_back(group);
        }
    }
    scan->bucket_start_[by_key.size()] = static_cast<uint32_t>(scan->groups_.size());
    // Gates: the literal every match of a trigger's alternative contains, when there is one.
    scan->gate_of_.assign(scan->triggers_.size(), -1);
    std::vector<std::pair<std::u32string, int>> compiled;  // (alternative, gate or -1)
    for (uint32_t ti = 0; gates && ti < scan->triggers_.size(); ++ti) {
        const Trigger& t = scan->triggers_[ti];
        const int flag = flags[t.pattern];
        int gate = -2;
        for (const auto& [alt, g] : compiled)
            if (alt == t.alternative) gate = g;
        if (gate == -2) {
            regex::Refusal why = regex::Refusal::none;
            regex::ProgramPtr program = regex::compile(t.alternative, flag, why);
            gate = -1;
            std::vector<uint64_t> pairs;
            if (program) regex::pair_bits(*program, pairs);
            const size_t literals = program ? regex::required_literals(*program) : 0;
            if (program && (literals > 0 || !pairs.empty())) {
                gate = static_cast<int>(scan->gates_.size());
                Gate g;
                g.pairs = std::move(pairs);
                // Literals of several gates ("TABLE", "(") are looked for once.
                for (size_t lit = 0; lit < literals; ++lit) {
                    uint32_t slot = 0;
                    auto& known = scan->gate_literals_;
                    while (slot < known.size() &&
                           !regex::same_required_literal(*known[slot].first, known[slot].second, *program, lit))
                        ++slot;
                    if (slot == known.size()) known.emplace_back(program.get(), lit);
                    if (std::find(g.literals.begin(), g.literals.end(), slot) == g.literals.end())
                        g.literals.push_back(slot);
                }
                g.program = std::move(program);
                scan->gates_.push_back(std::move(g));
            }
            compiled.emplace_back(t.alternative, gate);
        }
        scan->gate_of_[ti] = gate;
    }
    // A candidate one character back comes before the candidates at the character itself.
    for (auto& list : scan->punct_by_char_)
        std::stable_partition(list.begin(), list.end(),
                              [&](uint32_t ti) { return scan->triggers_[ti].back == Back::word_char; });
    return scan;
}

}  // namespace transmute::scan
