// Trigger derivation from pattern sources and assembly of the multi-pattern scan.
// Tested in tests/test_scan.py.
#include "triggers.hpp"

namespace transmute::scan {
namespace {

constexpr int kIgnoreCase = 2;

bool is_literal_word_char(char32_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_quantifier(char32_t c) { return c == '*' || c == '+' || c == '?' || c == '{'; }

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

// Literal word characters at the start of `s`, dropping one that a quantifier makes optional.
std::u32string literal_prefix(const std::u32string& s) {
    size_t i = 0;
    while (i < s.size() && is_literal_word_char(s[i])) ++i;
    if (i < s.size() && is_quantifier(s[i]) && i > 0) --i;
    return s.substr(0, i);
}

// Prefixes of one alternative that follows "\b": a literal run, or a non-capturing or
// capturing group of alternatives that each open with one.
bool word_prefixes(const std::u32string& rest, std::vector<std::u32string>& out) {
    size_t body = 0;
    if (rest.rfind(U"(?:", 0) == 0) {
        body = 3;
    } else if (!rest.empty() && rest[0] == '(' && (rest.size() < 2 || rest[1] != '?')) {
        body = 1;
    }
    if (body == 0) {
        std::u32string prefix = literal_prefix(rest);
        if (prefix.empty()) return false;
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

}  // namespace

bool derive_triggers(const std::u32string& source, int flags, uint32_t pattern, std::vector<Trigger>& out) {
    std::vector<std::u32string> alternatives;
    if (!split_alternatives(source, alternatives)) return false;
    std::vector<Trigger> found;
    const bool fold = (flags & kIgnoreCase) != 0;
    for (const std::u32string& alternative : alternatives) {
        if (alternative.rfind(U"\\b", 0) == 0) {
            std::vector<std::u32string> prefixes;
            if (!word_prefixes(alternative.substr(2), prefixes)) return false;
            for (std::u32string& prefix : prefixes) {
                Trigger t;
                t.at_word_start = true;
                t.fold = fold;
                t.pattern = pattern;
                if (fold)
                    for (char32_t& c : prefix) c = fold_to_ascii(c);
                t.prefix = prefix;
                for (size_t j = 0; j < 4 && j < prefix.size(); ++j) {
                    t.head |= static_cast<uint32_t>(prefix[j]) << (8 * j);
                    t.head_mask |= 0xFFu << (8 * j);
                }
                found.push_back(t);
            }
        } else if (!alternative.empty() && is_plain_punct(alternative[0]) &&
                   !(alternative.size() > 1 && is_quantifier(alternative[1]))) {
            Trigger t;
            t.at_word_start = false;
            t.punct = alternative[0];
            t.pattern = pattern;
            found.push_back(t);
        } else {
            return false;
        }
    }
    out.insert(out.end(), found.begin(), found.end());
    return true;
}

std::unique_ptr<TriggerScan> TriggerScan::build(std::vector<regex::ProgramPtr> programs,
                                                const std::vector<std::u32string>& sources,
                                                const std::vector<int>& flags, std::vector<Mode> modes) {
    auto scan = std::unique_ptr<TriggerScan>(new TriggerScan());
    scan->programs_ = std::move(programs);
    scan->modes_ = std::move(modes);
    for (uint32_t p = 0; p < scan->programs_.size(); ++p) {
        if (scan->modes_[p] == Mode::count) scan->has_count_ = true;
        if (!derive_triggers(sources[p], flags[p], p, scan->triggers_)) scan->untriggered_.push_back(p);
    }
    for (uint32_t c = 0; c < 256; ++c) scan->char_class_[c] = detail::is_word_char(c) ? 1 : 0;
    std::array<std::vector<uint32_t>, 128> by_first;
    for (uint32_t ti = 0; ti < scan->triggers_.size(); ++ti) {
        const Trigger& t = scan->triggers_[ti];
        if (t.at_word_start) {
            by_first[fold_to_ascii(t.prefix[0])].push_back(ti);
        } else {
            scan->punct_triggers_.push_back(ti);
            scan->char_class_[t.punct] |= 2;
        }
    }
    for (size_t c = 0; c < 128; ++c) {
        scan->bucket_start_[c] = static_cast<uint32_t>(scan->bucket_ids_.size());
        scan->bucket_ids_.insert(scan->bucket_ids_.end(), by_first[c].begin(), by_first[c].end());
    }
    scan->bucket_start_[128] = static_cast<uint32_t>(scan->bucket_ids_.size());
    return scan;
}

}  // namespace transmute::scan
