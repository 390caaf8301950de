// Triggers of a compiled pattern, read off its syntax tree. Every top-level alternative is split
// into branches at the alternations and optional items it opens with, and each branch must open
// in one of the shapes a trigger stands for:
//   \b LIT ...            a word starting with the literal word characters LIT
//   \b [abc] ...          a word starting with one of a few characters (one trigger each)
//   \b \w+ \s+ LIT ...    LIT, the candidate being the word before the white space in front of it
//   ^ ...                 (MULTILINE) a line start, with what its first non-blank must open
//   P TAIL ...            the punctuation character P (or one of a class of a few), then TAIL
//   \w P ...              P, the candidate being the word character before it
//   LIT \s* P ...         P, the candidate being LIT before the white space in front of it
// A leading look-behind or negative lookahead is passed over (it only narrows the matches); a
// leading lookahead stands for what its body opens with. What follows a trigger's literal is
// checked too where the tree says simply what it must be: white space and then words or
// punctuation, or else the set the next character is in. A trigger only chooses where the
// engine looks, so a check that is too permissive costs time, never correctness; each one must
// hold for every match of the branch. Tested in tests/test_scan.py and tests/test_detect_scan.py.
#include "triggers.hpp"

#include <algorithm>

namespace transmute::scan {

namespace {

using regex::Node;

// A branch: the items a match of one alternative goes through, in order. A null item stands
// for "anything may follow", where the tree allows more than the branch can say.
using Items = std::vector<const Node*>;

constexpr size_t kMaxBranches = 32;  // per alternative
constexpr size_t kMaxHeads = 24;     // words and punctuation that may follow a trigger
constexpr size_t kMaxRepeatCopies = 8;

bool is_word_char(uint32_t c) { return c < 128 && regex::is_word(c); }
// Punctuation a trigger can stand on: ASCII, neither a word character nor blank ('\n' aside).
bool is_trigger_punct(uint32_t c) { return c < 128 && !regex::is_word(c) && (c > ' ' || c == '\n'); }

class Deriver {
public:
    Deriver(const regex::Program& prog, uint32_t pattern)
        : prog_(prog),
          pattern_(pattern),
          fold_((regex::flags_of(prog) & regex::kIgnoreCase) != 0),
          multiline_((regex::flags_of(prog) & regex::kMultiline) != 0) {}

    bool derive(std::vector<Trigger>& out) {
        lines_as_words_ = true;
        if (!derive_all()) return false;
        // A word's line start lies an unbounded way back, over white space: its candidates stay in
        // order with the other triggers' only where none of them can be met in white space.
        bool line_back = false, in_space = false;
        for (const Trigger& t : found_) {
            line_back = line_back || t.back == Back::line;
            in_space = in_space || t.at_line_start || t.punct == '\n' || t.back == Back::word || t.back == Back::literal;
        }
        if (line_back && in_space) {
            found_.clear();
            lines_as_words_ = false;
            if (!derive_all()) return false;
        }
        out.insert(out.end(), found_.begin(), found_.end());
        return true;
    }

private:
    bool derive_all() {
        const Node& root = regex::syntax(prog_);
        std::vector<const Node*> alternatives;
        if (root.kind == Node::kAlt) {
            for (const auto& kid : root.kids) alternatives.push_back(kid.get());
        } else {
            alternatives.push_back(&root);
        }
        bool far_back = false;
        for (const Node* alternative : alternatives) {
            std::vector<Items> branches;
            if (!split({alternative}, branches)) return false;
            const size_t before = found_.size();
            for (const Items& branch : branches)
                if (!triggers_of(branch)) return false;
            for (size_t k = before; k < found_.size(); ++k) {
                found_[k].branch = alternative;
                far_back = far_back || found_[k].back == Back::word || found_[k].back == Back::literal;
            }
        }
        // Candidates an unbounded way back come out of order with other triggers' candidates,
        // so a pattern may have such triggers only alone.
        return !(far_back && found_.size() > 1);
    }

    const regex::CharFacts& facts(const Node* n) {
        auto it = std::find_if(facts_.begin(), facts_.end(), [&](const auto& f) { return f.first == n->set; });
        if (it == facts_.end()) it = facts_.insert(facts_.end(), {n->set, regex::char_facts(prog_, n->set)});
        return it->second;
    }

    // A char node matching one character the trigger can compare: with fold, the char every
    // accepted char folds to; without, the one char accepted.
    bool literal(const Node* n, uint32_t& c) {
        if (n == nullptr || n->kind != Node::kChar) return false;
        const regex::CharFacts& f = facts(n);
        if (fold_ && f.nfolds == 1) {
            c = f.folds[0];
            return true;
        }
        if (!fold_ && f.exact) {
            c = f.only;
            return true;
        }
        return false;
    }

    // The chars a small class at a branch's start stands for, as the trigger compares them.
    bool choices(const Node* n, std::vector<uint32_t>& out) {
        if (n == nullptr || n->kind != Node::kChar) return false;
        const regex::CharFacts& f = facts(n);
        if (fold_) {
            if (f.nfolds == 0) return false;
            out.assign(f.folds, f.folds + f.nfolds);
            return true;
        }
        if (f.wide) return false;
        out.clear();
        for (uint32_t c = 0; c < 128; ++c)
            if ((f.ascii[c >> 6] >> (c & 63)) & 1) out.push_back(c);
        return !out.empty() && out.size() <= 4;
    }

    // White space of any amount (`\s*`, `[ \t]*`) or some (`\s+`), or none when `n` is not that.
    Space space_of(const Node* n) {
        if (n == nullptr || n->kind != Node::kRepeat || n->max != regex::kUnbounded) return Space::none;
        const Node* body = n->kids[0].get();
        if (body->kind != Node::kChar || !facts(body).only_space) return Space::none;
        return n->min == 0 ? Space::any : Space::some;
    }

    bool is_word_run(const Node* n) {  // \w+
        if (n == nullptr || n->kind != Node::kRepeat || n->min == 0 || n->max != regex::kUnbounded) return false;
        const Node* body = n->kids[0].get();
        return body->kind == Node::kChar && facts(body).only_word;
    }

    // Splits `items` into branches until each one's first item that consumes a char is a char,
    // a repeat of a char, or unknown: alternations, optional items and groups in front open one
    // branch each. Zero-width items stay where they are, look-behinds and negative lookaheads in
    // front are passed over, a lookahead in front stands for its body.
    bool split(Items items, std::vector<Items>& out) {
        for (size_t k = 0; k < items.size(); ++k) {
            const Node* n = items[k];
            if (n == nullptr) break;
            switch (n->kind) {
                case Node::kAssert:
                    continue;
                case Node::kEmpty:
                    items.erase(items.begin() + static_cast<std::ptrdiff_t>(k));
                    return split(std::move(items), out);
                case Node::kFail:
                    return true;  // no match goes this way
                case Node::kLook:
                    if (n->behind || n->negate) {
                        items.erase(items.begin() + static_cast<std::ptrdiff_t>(k));
                    } else {
                        items.resize(k);
                        items.push_back(n->kids[0].get());
                        items.push_back(nullptr);
                    }
                    return split(std::move(items), out);
                case Node::kConcat:
                    return split(splice(items, k, n->kids), out);
                case Node::kAlt:
                    for (const auto& kid : n->kids) {
                        Items branch = items;
                        branch[k] = kid.get();
                        if (!split(std::move(branch), out)) return false;
                    }
                    return true;
                case Node::kRepeat: {
                    // A repeat of a char that must occur, and white space, open a branch as they are.
                    if (space_of(n) != Space::none || (n->min >= 1 && n->kids[0]->kind == Node::kChar)) break;
                    std::vector<Items> parts;
                    unroll(items, k, parts);
                    for (Items& part : parts)
                        if (!split(std::move(part), out)) return false;
                    return true;
                }
                case Node::kChar:
                    break;
            }
            break;
        }
        out.push_back(std::move(items));
        return out.size() <= kMaxBranches;
    }

    // The repeat items[k] as the ways a match can go through it: past it when it may occur no
    // time, and through one pass of its body, followed by the rest when the repeat allows one
    // pass only, by the repeat again when it may occur no time (allowing more passes than it
    // does, which only widens the branch), and by nothing known otherwise.
    static void unroll(const Items& items, size_t k, std::vector<Items>& out) {
        const Node* n = items[k];
        const auto at = items.begin() + static_cast<std::ptrdiff_t>(k);
        if (n->min == 0) {
            Items skipped = items;
            skipped.erase(skipped.begin() + static_cast<std::ptrdiff_t>(k));
            out.push_back(std::move(skipped));
        }
        Items taken(items.begin(), at);
        taken.push_back(n->kids[0].get());
        if (n->max == 1) {
            taken.insert(taken.end(), at + 1, items.end());
        } else if (n->min == 0) {
            taken.insert(taken.end(), at, items.end());
        } else {
            taken.push_back(nullptr);
        }
        out.push_back(std::move(taken));
    }

    static Items splice(const Items& items, size_t k, const std::vector<std::unique_ptr<Node>>& kids) {
        Items out(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(k));
        for (const auto& kid : kids) out.push_back(kid.get());
        out.insert(out.end(), items.begin() + static_cast<std::ptrdiff_t>(k) + 1, items.end());
        return out;
    }

    // The literal chars from items[k] on (word chars only when `words`), up to the first item
    // that is not one; k ends at that item. A repeat of a literal counts its least number of
    // copies; when it may take more, the run ends there and `open` is set: what follows the run
    // is then not known to follow it right away.
    std::u32string literal_run(const Items& items, size_t& k, bool words, bool* open = nullptr) {
        std::u32string out;
        if (open != nullptr) *open = false;
        for (; k < items.size(); ++k) {
            const Node* n = items[k];
            uint32_t c = 0;
            if (n != nullptr && n->kind == Node::kRepeat && n->min >= 1 && literal(n->kids[0].get(), c)) {
                if (c >= 128 || (words && !is_word_char(c))) break;
                out.append(std::min<size_t>(n->min, kMaxRepeatCopies), static_cast<char32_t>(c));
                if (n->max == n->min && n->min <= kMaxRepeatCopies) continue;
                if (open != nullptr) *open = true;
                ++k;
                break;
            }
            if (!literal(n, c) || c >= 128 || (words && !is_word_char(c))) break;
            out += static_cast<char32_t>(c);
        }
        return out;
    }

    // What items[k..] opens with once white space is passed over: words (`heads`) and
    // punctuation (`punct`); false when the tree does not say simply.
    bool heads(Items items, size_t k, std::vector<std::u32string>& words, std::u32string& punct) {
        for (; k < items.size(); ++k) {
            const Node* n = items[k];
            if (n == nullptr) return false;
            if (space_of(n) != Space::none || n->kind == Node::kEmpty || n->kind == Node::kLook) continue;
            // A white space char the tree asks for (`\n`, `[\r\n]`) is passed over like a run.
            if (n->kind == Node::kChar && facts(n).only_space) continue;
            if (n->kind == Node::kAssert) {
                if (n->assertion == regex::AssertKind::kWordBoundary ||
                    n->assertion == regex::AssertKind::kNotWordBoundary)
                    continue;
                return false;
            }
            break;
        }
        if (k >= items.size()) return false;
        const Node* n = items[k];
        switch (n->kind) {
            case Node::kConcat:
                return heads(splice(items, k, n->kids), k, words, punct);
            case Node::kAlt:
                for (const auto& kid : n->kids) {
                    Items branch = items;
                    branch[k] = kid.get();
                    if (!heads(std::move(branch), k, words, punct)) return false;
                }
                return true;
            case Node::kRepeat: {
                if (n->min >= 1 && n->kids[0]->kind == Node::kChar) break;
                std::vector<Items> parts;
                unroll(items, k, parts);
                for (Items& part : parts)
                    if (!heads(std::move(part), k, words, punct)) return false;
                return true;
            }
            case Node::kChar:
                break;
            default:
                return false;
        }
        uint32_t c = 0;
        const Node* first = n->kind == Node::kRepeat ? n->kids[0].get() : n;
        // The checks pass over white space before they look for a head, so a head that may be
        // white space (`[\n@]`) would never be seen: the tree does not say simply then.
        if (literal(first, c) && regex::is_space_char(c)) return false;
        if (literal(first, c) && is_word_char(c)) {
            size_t end = k;
            words.push_back(literal_run(items, end, true));
        } else if (literal(first, c) && is_trigger_punct(c)) {
            punct += static_cast<char32_t>(c);
        } else {
            std::vector<uint32_t> options;
            if (!choices(first, options)) return false;
            for (uint32_t o : options) {
                if (o >= 128 || regex::is_space_char(o)) return false;
                if (is_word_char(o))
                    words.push_back(std::u32string(1, static_cast<char32_t>(o)));
                else
                    punct += static_cast<char32_t>(o);
            }
        }
        return words.size() + punct.size() <= kMaxHeads;
    }

    // What must follow a trigger's literal that ends before items[k]: white space and words or
    // punctuation, or else the set of the next char.
    void set_follow(Trigger& t, const Items& items, size_t k) {
        std::vector<std::u32string> words;
        std::u32string punct;
        if (heads(items, k, words, punct)) {
            // The heads may lie behind white space passed over inside optional groups: the check
            // skips white space always, and needs some only where the tree does.
            t.has_follow = true;
            t.follow_space = k < items.size() && space_of(items[k]) == Space::some ? Space::some : Space::any;
            t.follow_heads = std::move(words);
            t.follow_punct = std::move(punct);
            // The walk folds the char it tests against these bits, also where the trigger
            // compares letter case exactly (its own compare then tells the case apart).
            for (const std::u32string& head : t.follow_heads) {
                const uint32_t f = regex::fold_ascii(head[0]);
                t.follow_first[f >> 6] |= uint64_t{1} << (f & 63);
            }
            for (char32_t c : t.follow_punct) t.follow_first[c >> 6] |= uint64_t{1} << (c & 63);
            return;
        }
        if (k >= items.size() || items[k] == nullptr) return;
        const Node* n = items[k];
        if (n->kind == Node::kRepeat && n->min >= 1) n = n->kids[0].get();
        if (n->kind != Node::kChar) return;
        const regex::CharFacts& f = facts(n);
        t.has_next = true;
        t.next_wide = f.wide;
        t.next_ascii[0] = f.ascii[0];
        t.next_ascii[1] = f.ascii[1];
        if (fold_) {
            // The walk folds the text's char before this test: fold the set's chars alike.
            t.next_ascii[0] = t.next_ascii[1] = 0;
            for (uint32_t c = 0; c < 128; ++c) {
                if (!((f.ascii[c >> 6] >> (c & 63)) & 1)) continue;
                const uint32_t folded = regex::fold_ascii(c);
                t.next_ascii[folded >> 6] |= uint64_t{1} << (folded & 63);
            }
            t.next_wide = true;  // wide chars may fold into the set
        }
    }

    Trigger base() const {
        Trigger t;
        t.fold = fold_;
        t.pattern = pattern_;
        return t;
    }

    Trigger word_trigger(std::u32string prefix) const {
        Trigger t = base();
        t.at_word_start = true;
        t.prefix = std::move(prefix);
        for (size_t j = 0; j < 4 && j < t.prefix.size(); ++j) {
            t.head |= static_cast<uint32_t>(t.prefix[j]) << (8 * j);
            t.head_mask |= 0xFFu << (8 * j);
        }
        return t;
    }

    Trigger punct_trigger(uint32_t c) const {
        Trigger t = base();
        t.at_word_start = false;
        t.punct = static_cast<char32_t>(c);
        return t;
    }

    // The trigger's tail after its punctuation at items[k - 1], and what follows the tail.
    void set_tail(Trigger& t, const Items& items, size_t k) {
        bool open = false;
        t.tail = literal_run(items, k, false, &open);
        if (!open) set_follow(t, items, k);
    }

    // The triggers of one branch; false when it opens in no shape a trigger stands for.
    bool triggers_of(const Items& items) {
        bool word_start = false, line_start = false;
        size_t k = 0;
        for (; k < items.size() && items[k] != nullptr && items[k]->kind == Node::kAssert; ++k) {
            switch (items[k]->assertion) {
                case regex::AssertKind::kWordBoundary:
                    word_start = true;
                    break;
                case regex::AssertKind::kBeginLine:
                    line_start = true;
                    break;
                default:
                    return false;
            }
        }
        if (k >= items.size() || items[k] == nullptr) return false;
        if (line_start) return line_trigger(items, k);
        if (word_start) return word_triggers(items, k);
        return other_triggers(items, k);
    }

    // "^" under MULTILINE: a line start, with the words or punctuation its first non-blank opens.
    bool line_trigger(const Items& items, size_t k) {
        if (!multiline_) return false;
        if (lines_as_words_ && line_words(items, k)) return true;
        Trigger t = base();
        t.at_word_start = false;
        t.at_line_start = true;
        if (!heads(items, k, t.heads, t.head_punct)) {
            t.heads.clear();
            t.head_punct.clear();
        }
        found_.push_back(std::move(t));
        return true;
    }

    // "^\s*WORD ..." (or "^\s+" or "^" alone before the word): the words, as word triggers whose
    // candidate is the line start before them. A word is met far less often than a line start
    // whose first non-blank only opens like it ("SELECT" for "SEL\s+"), and its trigger checks
    // what must follow the word. False, with nothing found, when a branch opens otherwise.
    bool line_words(const Items& items, size_t k) {
        Space space = Space::none;
        if (k < items.size() && space_of(items[k]) != Space::none) {
            if (!every_space(items[k]->kids[0].get())) return false;
            space = space_of(items[k]);
            ++k;
        }
        if (k >= items.size() || items[k] == nullptr) return false;
        std::vector<Items> branches;
        if (!split(Items(items.begin() + static_cast<std::ptrdiff_t>(k), items.end()), branches)) return false;
        const size_t before = found_.size();
        for (const Items& branch : branches) {
            size_t j = 0;
            // A word boundary holds at a word that white space or a line start comes before.
            while (j < branch.size() && branch[j] != nullptr && branch[j]->kind == Node::kAssert &&
                   branch[j]->assertion == regex::AssertKind::kWordBoundary)
                ++j;
            if (j >= branch.size() || branch[j] == nullptr || is_word_run(branch[j]) ||
                branch[j]->kind == Node::kAssert || !word_triggers(branch, j)) {
                found_.resize(before);
                return false;
            }
        }
        for (size_t j = before; j < found_.size(); ++j) {
            found_[j].back = Back::line;
            found_[j].back_space = space;
        }
        return true;
    }

    // Whether a char node accepts white space and nothing else, every white space char (\s), as
    // "^\s*" must to pass over blank lines.
    bool every_space(const Node* n) {
        if (n->kind != Node::kChar) return false;
        const regex::CharFacts& f = facts(n);
        return f.only_space && f.all_space;
    }

    // After "\b": literal word chars, a class of a few, or "\w+\s+LIT".
    bool word_triggers(const Items& items, size_t k) {
        if (is_word_run(items[k]) && k + 1 < items.size() && space_of(items[k + 1]) == Space::some) {
            size_t end = k + 2;
            bool open = false;
            std::u32string lit = literal_run(items, end, true, &open);
            if (lit.empty()) return false;
            Trigger t = word_trigger(std::move(lit));
            t.back = Back::word;
            if (!open) set_follow(t, items, end);
            found_.push_back(std::move(t));
            return true;
        }
        size_t end = k;
        bool open = false;
        std::u32string prefix = literal_run(items, end, true, &open);
        if (!prefix.empty()) {
            Trigger t = word_trigger(std::move(prefix));
            if (!open) set_follow(t, items, end);
            found_.push_back(std::move(t));
            return true;
        }
        std::vector<uint32_t> options;
        if (!choices(items[k], options)) return false;
        for (uint32_t c : options)
            if (!is_word_char(c)) return false;
        for (uint32_t c : options) {
            end = k + 1;
            std::u32string word(1, static_cast<char32_t>(c));
            word += literal_run(items, end, true, &open);
            Trigger t = word_trigger(std::move(word));
            if (!open) set_follow(t, items, end);
            found_.push_back(std::move(t));
        }
        return true;
    }

    // Without "\b" or "^": punctuation (or a class of it), "\w P", or "LIT \s* P".
    bool other_triggers(const Items& items, size_t k) {
        const Node* n = items[k];
        uint32_t c = 0;
        if (literal(n, c) && is_trigger_punct(c)) {
            Trigger t = punct_trigger(c);
            set_tail(t, items, k + 1);
            found_.push_back(std::move(t));
            return true;
        }
        if (n->kind == Node::kChar && facts(n).only_word) {
            // "\w P": found at P, the candidate is the word char before it.
            if (!literal(k + 1 < items.size() ? items[k + 1] : nullptr, c) || !is_trigger_punct(c)) return false;
            Trigger t = punct_trigger(c);
            t.back = Back::word_char;
            set_tail(t, items, k + 2);
            found_.push_back(std::move(t));
            return true;
        }
        if (literal(n, c) && is_word_char(c)) {
            // "LIT \s* P" (LIT not at a word start): found at P, the candidate is LIT before it.
            size_t end = k;
            bool open = false;
            std::u32string lit = literal_run(items, end, true, &open);
            if (open) return false;  // the literal's end must be known to stand before P
            const Space space = end < items.size() ? space_of(items[end]) : Space::none;
            if (space != Space::none) ++end;
            uint32_t p = 0;
            if (!literal(end < items.size() ? items[end] : nullptr, p) || !is_trigger_punct(p)) return false;
            Trigger t = punct_trigger(p);
            t.back = Back::literal;
            t.back_space = space;
            t.back_literal = std::move(lit);
            set_tail(t, items, end + 1);
            found_.push_back(std::move(t));
            return true;
        }
        std::vector<uint32_t> options;
        if (!choices(n, options)) return false;
        for (uint32_t o : options)
            if (!is_trigger_punct(o)) return false;
        for (uint32_t o : options) {
            Trigger t = punct_trigger(o);
            set_tail(t, items, k + 1);
            found_.push_back(std::move(t));
        }
        return true;
    }

    const regex::Program& prog_;
    uint32_t pattern_;
    bool fold_;
    bool multiline_;
    std::vector<std::pair<uint32_t, regex::CharFacts>> facts_;
    std::vector<Trigger> found_;
    bool lines_as_words_ = true;  // "^\s*WORD" as word triggers (line_words)
};

}  // namespace

bool derive_triggers(const regex::Program& prog, uint32_t pattern, std::vector<Trigger>& out) {
    return Deriver(prog, pattern).derive(out);
}

}  // namespace transmute::scan
