// Compiles the syntax tree into Pike-VM code and derives the literal prefilter facts.
// Tested in tests/test_engine.py.
#include "program.hpp"

#include <algorithm>
#include <bit>

namespace transmute::regex {

void OpenFilter::add(const CharSet& set) {
    for (int w = 0; w < 4; ++w) low[w] |= set.low_bits()[w];
    if (set.narrow_only()) return;
    wide = true;
    bool space = false, word = false;
    set.only_classes(true, space, word);
    wide_space = wide_space && space;
    wide_word = wide_word && word;
}

bool OpenFilter::disjoint(const OpenFilter& other) const {
    for (int w = 0; w < 4; ++w)
        if (low[w] & other.low[w]) return false;
    if (!wide || !other.wide) return true;
    return (wide_space && other.wide_word) || (wide_word && other.wide_space);
}

namespace {

constexpr size_t kMaxInsts = 1u << 18;
constexpr uint32_t kGapThreshold = 16;      // counted repeats wider than this become kGap
constexpr uint64_t kMaxLookaheadWork = 1u << 16;  // width x size bound keeping lookahead linear

// Rough byte frequencies in SQL scripts (per mille), used to pick the scan anchor.
int byte_frequency(uint8_t b) {
    if (b == ' ') return 160;
    if (b == '\n' || b == '\r' || b == '\t') return 40;
    switch (fold_ascii(b)) {
        case 'e': return 60;
        case 't': return 45;
        case 'a': return 42;
        case 'o': return 38;
        case 'i': return 37;
        case 'n': return 36;
        case 's': return 34;
        case 'r': return 33;
        case 'l': return 25;
        case 'c': return 24;
        case 'd': return 22;
        case 'u': return 18;
        case 'm': return 15;
        case 'p': return 14;
        case 'h': return 13;
        case 'f': return 12;
        case 'g': return 10;
        case 'b': return 9;
        case 'y': return 8;
        case 'w': return 8;
        case 'v': return 6;
        case 'k': return 4;
        case 'x': return 3;
        case 'q': return 2;
        case 'j': return 2;
        case 'z': return 1;
        case '_': return 15;
        case ',': return 15;
        case '.': return 12;
        case '(': case ')': return 10;
        case '=': return 6;
        case '\'': return 6;
        case '@': return 4;
        case '[': case ']': return 5;
        case '-': return 5;
        default: break;
    }
    if (b >= '0' && b <= '9') return 8;
    return 2;
}

class Compiler {
public:
    Compiler(Program& prog, Refusal& why) : prog_(prog), why_(why) {}

    bool code(const Node& root, Code& out, bool gaps) {
        out.insts.clear();
        code_ = &out;
        gaps_ = gaps;
        const uint32_t match = push({Op::kMatch});
        uint32_t entry = 0;
        if (!emit(root, match, entry)) return false;
        out.start = entry;
        return true;
    }

private:
    Code* code_ = &scratch_;

    uint32_t push(Inst inst) {
        code_->insts.push_back(inst);
        return static_cast<uint32_t>(code_->insts.size() - 1);
    }
    bool too_big() {
        if (code_->insts.size() <= kMaxInsts) return false;
        why_ = Refusal::too_large;
        return true;
    }

    bool emit(const Node& n, uint32_t next, uint32_t& entry) {
        if (too_big()) return false;
        switch (n.kind) {
            case Node::kEmpty:
                entry = next;
                return true;
            case Node::kChar:
                entry = push({Op::kChar, n.set, next});
                return true;
            case Node::kFail:
                entry = push({Op::kFail});
                return true;
            case Node::kAssert:
                entry = push({Op::kAssert, static_cast<uint32_t>(n.assertion), next});
                return true;
            case Node::kConcat: {
                uint32_t cur = next;
                for (size_t k = n.kids.size(); k-- > 0;) {
                    if (!emit(*n.kids[k], cur, cur)) return false;
                }
                entry = cur;
                return true;
            }
            case Node::kAlt: {
                std::vector<uint32_t> entries(n.kids.size());
                for (size_t k = 0; k < n.kids.size(); ++k) {
                    if (!emit(*n.kids[k], next, entries[k])) return false;
                }
                uint32_t cur = entries.back();
                for (size_t k = n.kids.size() - 1; k-- > 0;) {
                    cur = push({Op::kSplit, 0, entries[k], cur});
                }
                entry = cur;
                return true;
            }
            case Node::kRepeat:
                return repeat(n, next, entry);
            case Node::kLook:
                return look(n, next, entry);
        }
        return false;
    }

    bool repeat(const Node& n, uint32_t next, uint32_t& entry) {
        const Node& body = *n.kids[0];
        uint32_t tail = next;
        if (n.max == kUnbounded) {
            const uint32_t loop = push({Op::kSplit});
            uint32_t b = 0;
            if (!emit(body, loop, b)) return false;
            code_->insts[loop].x = n.greedy ? b : next;
            code_->insts[loop].y = n.greedy ? next : b;
            tail = loop;
        } else if (gaps_ && body.kind == Node::kChar && n.max - n.min > kGapThreshold) {
            // Existence does not care about greedy or lazy: one counted instruction suffices.
            tail = push({Op::kGap, body.set, next, 0, n.max - n.min});
        } else {
            // x{0,k} as nested optionals: (x(x(x)?)?)?, each skip leaving the whole repeat.
            for (uint32_t k = 0; k < n.max - n.min; ++k) {
                uint32_t b = 0;
                if (!emit(body, tail, b)) return false;
                tail = n.greedy ? push({Op::kSplit, 0, b, next}) : push({Op::kSplit, 0, next, b});
                if (too_big()) return false;
            }
        }
        for (uint32_t k = 0; k < n.min; ++k) {
            if (!emit(body, tail, tail)) return false;
            if (too_big()) return false;
        }
        entry = tail;
        return true;
    }

    bool look(const Node& n, uint32_t next, uint32_t& entry) {
        const Node& body = *n.kids[0];
        uint64_t lo = 0, hi = 0;
        node_width(body, lo, hi);
        Look lk;
        lk.behind = n.behind;
        lk.negate = n.negate;
        lk.width = static_cast<uint32_t>(lo);
        Compiler sub(prog_, why_);
        if (!sub.code(body, lk.code, true)) return false;
        if (!n.behind) {
            if (hi == kUnbounded || hi * std::max<size_t>(lk.code.insts.size(), 1) > kMaxLookaheadWork) {
                why_ = Refusal::wide_lookahead;
                return false;
            }
        }
        const uint32_t idx = static_cast<uint32_t>(prog_.looks.size());
        prog_.looks.push_back(std::move(lk));
        entry = push({Op::kLook, idx, next});
        return true;
    }

    Program& prog_;
    Refusal& why_;
    Code scratch_;
    bool gaps_ = false;
};

bool small_set(const CharSet& s) {
    const int b = s.byte_count();
    return b >= 1 && b <= 3;
}

// Sets every match starts with, after zero-width items.
void collect_prefix(const Node& n, const std::vector<CharSet>& sets, std::vector<uint32_t>& out,
                    bool& done) {
    if (done) return;
    switch (n.kind) {
        case Node::kChar:
            if (small_set(sets[n.set])) {
                out.push_back(n.set);
            } else {
                done = true;
            }
            return;
        case Node::kConcat:
            for (const auto& k : n.kids) {
                collect_prefix(*k, sets, out, done);
                if (done) return;
            }
            return;
        case Node::kEmpty:
        case Node::kAssert:
        case Node::kLook:
            return;
        case Node::kRepeat:
            if (n.min >= 1) collect_prefix(*n.kids[0], sets, out, done);
            done = true;
            return;
        default:
            done = true;
            return;
    }
}

// Runs of adjacent small sets that every match contains.
void collect_required(const Node& n, const std::vector<CharSet>& sets,
                      std::vector<std::vector<uint32_t>>& out) {
    switch (n.kind) {
        case Node::kChar:
            if (small_set(sets[n.set])) out.push_back({n.set});
            return;
        case Node::kRepeat:
            if (n.min >= 1) collect_required(*n.kids[0], sets, out);
            return;
        case Node::kConcat: {
            std::vector<uint32_t> run;
            auto flush = [&] {
                if (!run.empty()) out.push_back(run);
                run.clear();
            };
            for (const auto& k : n.kids) {
                if (k->kind == Node::kChar && small_set(sets[k->set])) {
                    run.push_back(k->set);
                } else if (k->kind == Node::kAssert || k->kind == Node::kLook ||
                           k->kind == Node::kEmpty) {
                    // zero width: neighbours stay adjacent in the text
                } else {
                    flush();
                    collect_required(*k, sets, out);
                }
            }
            flush();
            return;
        }
        default:
            return;
    }
}

int set_frequency(const CharSet& s, uint8_t* bytes, int& nbytes) {
    nbytes = 0;
    int f = 0;
    for (int w = 0; w < 4; ++w) {
        for (uint64_t bits = s.low_bits()[w]; bits; bits &= bits - 1) {
            const int c = w * 64 + std::countr_zero(bits);
            if (nbytes < 4) bytes[nbytes] = static_cast<uint8_t>(c);
            ++nbytes;
            f += byte_frequency(static_cast<uint8_t>(c));
        }
    }
    return f;
}

// Picks the rarest position of a literal as its scan anchor; returns a score (lower is better).
int finish_literal(Literal& lit, const std::vector<CharSet>& sets) {
    int best = 1 << 30, second = 1 << 30;
    for (uint32_t j = 0; j < lit.sets.size(); ++j) {
        uint8_t bytes[4];
        int nb = 0;
        const int f = set_frequency(sets[lit.sets[j]], bytes, nb);
        if (nb < 1 || nb > 3) continue;
        if (f < best) {
            if (lit.anchor_nbytes > 0) {
                second = best;
                lit.partner = lit.anchor;
                lit.partner_nbytes = lit.anchor_nbytes;
                std::copy(lit.anchor_bytes, lit.anchor_bytes + 4, lit.partner_bytes);
            }
            best = f;
            lit.anchor = j;
            lit.anchor_nbytes = nb;
            std::copy(bytes, bytes + 4, lit.anchor_bytes);
        } else if (f < second) {
            second = f;
            lit.partner = j;
            lit.partner_nbytes = nb;
            std::copy(bytes, bytes + 4, lit.partner_bytes);
        }
    }
    // Longer literals verify better; rarity of the anchor dominates.
    return best * 4 - static_cast<int>(std::min<size_t>(lit.sets.size(), 16));
}

// Char instructions reachable from an instruction without consuming (assertions pass through).
// One walker serves many walks over the same code: its marks are stamped per walk, so a walk
// costs what it visits, not the code's length (open_filters walks once per split).
class Reach {
public:
    explicit Reach(const Code& code) : code_(code), seen_(code.insts.size(), 0) {}

    // Appends to `chars` the char instructions reachable from `pc`; false when a match is
    // reachable too or when the code counts gaps.
    bool chars(uint32_t pc, std::vector<uint32_t>& chars) {
        if (++stamp_ == 0) {
            std::fill(seen_.begin(), seen_.end(), 0);
            stamp_ = 1;
        }
        stack_.assign(1, pc);
        while (!stack_.empty()) {
            const uint32_t at = stack_.back();
            stack_.pop_back();
            if (seen_[at] == stamp_) continue;
            seen_[at] = stamp_;
            const Inst& in = code_.insts[at];
            switch (in.op) {
                case Op::kChar:
                    chars.push_back(at);
                    break;
                case Op::kSplit:
                    stack_.push_back(in.x);
                    stack_.push_back(in.y);
                    break;
                case Op::kJump:
                case Op::kAssert:
                case Op::kLook:
                    stack_.push_back(in.x);
                    break;
                case Op::kFail:
                    break;
                case Op::kMatch:
                case Op::kGap:
                    return false;
            }
        }
        return true;
    }

private:
    const Code& code_;
    std::vector<uint32_t> seen_;
    std::vector<uint32_t> stack_;
    uint32_t stamp_ = 0;
};

// The sets the first char of every match is in, when no match can be empty and the code counts
// no gaps.
void first_sets(Program& prog) {
    std::vector<uint32_t> chars;
    prog.has_first = Reach(prog.spans).chars(prog.spans.start, chars);
    if (!prog.has_first) return;
    for (uint32_t pc : chars) {
        const uint32_t set = prog.spans.insts[pc].arg;
        prog.first_sets.push_back(set);
        for (int w = 0; w < 4; ++w) prog.first_low[w] |= prog.sets[set].low_bits()[w];
    }
}

void pair_table(Program& prog) { pair_bits(prog, prog.pairs); }

// What the second way out of each split opens with, when it cannot match the empty string.
void open_filters(Program& prog) {
    const Code& code = prog.spans;
    prog.open_filter_of.assign(code.insts.size(), -1);
    std::vector<uint32_t> chars;
    Reach reach(code);
    for (const Inst& split : code.insts) {
        if (split.op != Op::kSplit || prog.open_filter_of[split.y] != -1) continue;
        chars.clear();
        if (!reach.chars(split.y, chars)) continue;
        OpenFilter filter;
        for (uint32_t pc : chars) filter.add(prog.sets[code.insts[pc].arg]);
        prog.open_filter_of[split.y] = static_cast<int32_t>(prog.open_filters.size());
        prog.open_filters.push_back(filter);
    }
    // A greedy loop over one set whose continuation opens only with chars outside the set.
    prog.last_exit_only.assign(code.insts.size(), 0);
    for (uint32_t pc = 0; pc < code.insts.size(); ++pc) {
        const Inst& split = code.insts[pc];
        if (split.op != Op::kSplit) continue;
        const Inst& body = code.insts[split.x];
        const int32_t filter = prog.open_filter_of[split.y];
        if (body.op != Op::kChar || body.x != pc || filter < 0) continue;
        OpenFilter loop;
        loop.add(prog.sets[body.arg]);
        prog.last_exit_only[pc] = loop.disjoint(prog.open_filters[static_cast<size_t>(filter)]) ? 1 : 0;
    }
}

// Whether the instructions other than chars form a cycle: a way round a loop that consumes
// nothing.
bool has_empty_cycle(const Code& code) {
    const size_t n = code.insts.size();
    std::vector<uint8_t> color(n, 0);  // 0: unseen, 1: on the path, 2: done
    std::vector<std::pair<uint32_t, int>> path;
    auto next = [&](uint32_t pc, int k) -> int64_t {
        const Inst& in = code.insts[pc];
        switch (in.op) {
            case Op::kJump:
            case Op::kAssert:
            case Op::kLook:
                return k == 0 ? static_cast<int64_t>(in.x) : -1;
            case Op::kSplit:
                return k == 0 ? static_cast<int64_t>(in.x) : k == 1 ? static_cast<int64_t>(in.y) : -1;
            default:
                return -1;
        }
    };
    for (uint32_t root = 0; root < n; ++root) {
        if (color[root]) continue;
        color[root] = 1;
        path.assign(1, {root, 0});
        while (!path.empty()) {
            auto& [pc, k] = path.back();
            const int64_t to = next(pc, k++);
            if (to < 0) {
                color[pc] = 2;
                path.pop_back();
                continue;
            }
            const uint32_t t = static_cast<uint32_t>(to);
            if (color[t] == 1) return true;
            if (color[t] == 0) {
                color[t] = 1;
                path.push_back({t, 0});
            }
        }
    }
    return false;
}

// Decides whether the program is one-pass and how each split is then taken. A split qualifies as
// a greedy loop over one set whose other exits the text rules out at once (last_exit_only) or
// whose continuation is the match itself (the longest run then wins), or as a choice between two
// ways that each consume a char before any match and open with no common char: a failure after
// the char decided the way can never be mended by the other way.
void one_pass_plan(Program& prog) {
    const Code& code = prog.spans;
    if (!prog.looks.empty() || prog.can_be_empty || has_empty_cycle(code)) return;
    std::vector<OnePassSplit> plan(code.insts.size());
    std::vector<uint32_t> chars;
    Reach reach(code);
    auto opens = [&](uint32_t pc, OpenFilter& filter, std::vector<uint32_t>& sets) {
        chars.clear();
        if (!reach.chars(pc, chars)) return false;
        for (uint32_t at : chars) {
            filter.add(prog.sets[code.insts[at].arg]);
            sets.push_back(code.insts[at].arg);
        }
        return true;
    };
    auto goes_to_match = [&](uint32_t pc) {
        for (size_t hops = 0; hops <= code.insts.size(); ++hops) {
            const Inst& in = code.insts[pc];
            if (in.op == Op::kMatch) return true;
            if (in.op != Op::kJump) return false;
            pc = in.x;
        }
        return false;
    };
    for (uint32_t pc = 0; pc < code.insts.size(); ++pc) {
        const Inst& in = code.insts[pc];
        if (in.op == Op::kGap || in.op == Op::kLook) return;
        if (in.op != Op::kSplit) continue;
        const Inst& body = code.insts[in.x];
        if (body.op == Op::kChar && body.x == pc && (prog.last_exit_only[pc] || goes_to_match(in.y))) {
            plan[pc].kind = OnePassSplit::walk;
            continue;
        }
        OpenFilter x, y;
        OnePassSplit& how = plan[pc];
        if (!opens(in.x, x, how.x_sets) || !opens(in.y, y, how.y_sets) || !x.disjoint(y)) return;
        how.kind = OnePassSplit::choose;
        std::copy(x.low, x.low + 4, how.x_low);
        std::copy(y.low, y.low + 4, how.y_low);
    }
    prog.one_pass = true;
    prog.one_pass_splits = std::move(plan);
}

}  // namespace

bool pair_bits(const Program& prog, std::vector<uint64_t>& out) {
    const Code& code = prog.spans;
    std::vector<uint32_t> first;
    Reach reach(code);
    if (!reach.chars(code.start, first)) return false;
    std::vector<uint64_t> table(65536 / 64, 0);
    for (uint32_t pc : first) {
        std::vector<uint32_t> second;
        if (!reach.chars(code.insts[pc].x, second)) return false;
        const uint64_t* a = prog.sets[code.insts[pc].arg].low_bits();
        for (uint32_t q : second) {
            const uint64_t* b = prog.sets[code.insts[q].arg].low_bits();
            for (int v = 0; v < 4; ++v) {
                for (uint64_t bits = a[v]; bits; bits &= bits - 1) {
                    const size_t x = static_cast<size_t>(v * 64 + std::countr_zero(bits));
                    for (int w = 0; w < 4; ++w) table[x * 4 + w] |= b[w];
                }
            }
        }
    }
    size_t bits = 0;
    for (uint64_t w : table) {
        if (w) bits += static_cast<size_t>(std::popcount(w));
    }
    // Worth it only when most byte pairs are ruled out.
    if (bits * 16 > 65536) return false;
    out = std::move(table);
    return true;
}

bool third_bits(const Program& prog, uint64_t out[4]) {
    const Code& code = prog.spans;
    Reach reach(code);
    std::vector<uint32_t> first, second, third;
    if (!reach.chars(code.start, first)) return false;
    for (uint32_t pc : first)
        if (!reach.chars(code.insts[pc].x, second)) return false;
    std::sort(second.begin(), second.end());
    second.erase(std::unique(second.begin(), second.end()), second.end());
    for (uint32_t pc : second)
        if (!reach.chars(code.insts[pc].x, third)) return false;
    uint64_t bits[4] = {0, 0, 0, 0};
    for (uint32_t pc : third) {
        const uint64_t* set = prog.sets[code.insts[pc].arg].low_bits();
        for (int w = 0; w < 4; ++w) bits[w] |= set[w];
    }
    // Worth a test only when some byte is ruled out.
    if ((bits[0] & bits[1] & bits[2] & bits[3]) == ~uint64_t{0}) return false;
    std::copy(bits, bits + 4, out);
    return true;
}

namespace {

bool starts_at_text_begin(const Node& n) {
    if (n.kind == Node::kAssert) return n.assertion == AssertKind::kBeginText;
    if (n.kind == Node::kConcat && !n.kids.empty()) return starts_at_text_begin(*n.kids[0]);
    return false;
}

}  // namespace

bool build_program(Ast& ast, Program& out, Refusal& why) {
    out.sets = std::move(ast.sets);
    Compiler spans(out, why);
    if (!spans.code(*ast.root, out.spans, false)) return false;
    // The existence pass compiles its own copies of any lookarounds (same bodies).
    Compiler exists(out, why);
    if (!exists.code(*ast.root, out.exists, true)) return false;

    uint64_t lo = 0, hi = 0;
    node_width(*ast.root, lo, hi);
    out.can_be_empty = lo == 0;
    out.max_width = hi;
    for (const Inst& in : out.spans.insts) out.spans_splits += in.op == Op::kSplit;
    out.anchored_start = starts_at_text_begin(*ast.root);

    std::vector<uint32_t> prefix;
    bool done = false;
    collect_prefix(*ast.root, out.sets, prefix, done);
    if (!prefix.empty()) {
        out.prefix.sets = prefix;
        finish_literal(out.prefix, out.sets);
        if (out.prefix.anchor_nbytes == 0) out.prefix = Literal{};
    }
    std::vector<std::vector<uint32_t>> runs;
    collect_required(*ast.root, out.sets, runs);
    std::vector<std::pair<int, Literal>> scored;
    for (auto& run : runs) {
        Literal lit;
        lit.sets = run;
        const int score = finish_literal(lit, out.sets);
        if (lit.anchor_nbytes > 0) scored.push_back({score, std::move(lit)});
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t k = 0; k < scored.size() && k < 4; ++k) {
        if (k == 0) {
            out.required = scored[k].second;
        } else {
            out.also_required.push_back(scored[k].second);
        }
    }
    for (const Inst& in : out.exists.insts) out.has_gaps |= in.op == Op::kGap;
    first_sets(out);
    open_filters(out);
    one_pass_plan(out);
    if (out.prefix.empty()) pair_table(out);
    out.tree = std::move(ast.root);
    out.flags = ast.flags;
    return true;
}

}  // namespace transmute::regex
