// Anchored matching by memoised backtracking over a small window: the leftmost-first match that
// starts at one position, found by trying alternatives in priority order exactly as re does,
// with every (instruction, position) state visited at most once, so the work is bounded by
// program size times window. Runs that would look past the window report so, and the caller
// uses the Pike VM instead. Tested in tests/test_engine.py and through the modules' scans.
#pragma once

#include "matcher.hpp"
#include "program.hpp"

#include <cstdint>
#include <vector>

namespace transmute::regex {

// Shared scratch space for the anchored runs of one call, across programs.
struct BacktrackSpace {
    static constexpr size_t kWindow = 64;
    std::vector<uint16_t> visited;
    uint16_t gen = 0;
    // Resume at `pc` at offset + count - 1, then count - 2, ... down to offset: the exits
    // of a greedy loop, taken from the longest run of the loop down.
    struct Frame {
        uint32_t pc;
        uint32_t offset;
        uint32_t count;
    };
    std::vector<Frame> stack;

    // Starts a run over a program of `insts` instructions.
    void begin(size_t insts) {
        const size_t cells = insts * (kWindow + 1);
        if (visited.size() < cells) visited.assign(cells, 0), gen = 0;
        if (++gen == 0) {
            std::fill(visited.begin(), visited.end(), 0);
            gen = 1;
        }
        stack.clear();
    }
};

enum class Anchored { no_match, match, too_far };

// The leftmost-first match of `code` starting exactly at `pos`. On a match, `end` is where it
// ends; `reached` is the furthest position examined.
template <class C>
Anchored backtrack_at(const Program& prog, const Code& code, const C* s, size_t n, size_t pos,
                      BacktrackSpace& space, size_t& end, size_t& reached) {
    if (!prog.looks.empty()) return Anchored::too_far;
    const detail::WordTable& words = detail::word_table();
    constexpr size_t W = BacktrackSpace::kWindow;
    space.begin(code.insts.size());
    reached = pos;
    space.stack.push_back({code.start, 0, 1});
    while (!space.stack.empty()) {
        BacktrackSpace::Frame& top = space.stack.back();
        uint32_t pc = top.pc;
        uint32_t off = top.offset + top.count - 1;
        if (--top.count == 0) space.stack.pop_back();
        while (true) {
            if (off > W) return Anchored::too_far;
            uint16_t& mark = space.visited[pc * (W + 1) + off];
            if (mark == space.gen) break;
            mark = space.gen;
            const size_t p = pos + off;
            if (p > reached) reached = p;
            const Inst& in = code.insts[pc];
            bool go_on = false;
            switch (in.op) {
                case Op::kChar:
                    if (p < n && prog.sets[in.arg].test(static_cast<uint32_t>(s[p]))) {
                        pc = in.x;
                        ++off;
                        go_on = true;
                    }
                    break;
                case Op::kSplit: {
                    const Inst& body = code.insts[in.x];
                    if (body.op == Op::kChar && body.x == pc) {
                        // A greedy loop over one character set: take the whole run at once and
                        // leave its exits, shortest last, as one frame.
                        const CharSet& set = prog.sets[body.arg];
                        uint32_t run = 0;
                        while (pos + off + run < n && off + run <= W &&
                               set.test(static_cast<uint32_t>(s[pos + off + run])))
                            ++run;
                        if (off + run > W) return Anchored::too_far;
                        if (pos + off + run > reached) reached = pos + off + run;
                        if (run > 0) space.stack.push_back({in.y, off, run});
                        off += run;
                        pc = in.y;
                        go_on = true;
                        break;
                    }
                    space.stack.push_back({in.y, off, 1});
                    pc = in.x;
                    go_on = true;
                    break;
                }
                case Op::kJump:
                    pc = in.x;
                    go_on = true;
                    break;
                case Op::kAssert:
                    if (assert_at(static_cast<AssertKind>(in.arg), s, n, p, words)) {
                        pc = in.x;
                        go_on = true;
                    }
                    break;
                case Op::kMatch:
                    end = p;
                    return Anchored::match;
                case Op::kGap:
                case Op::kLook:
                    return Anchored::too_far;
                case Op::kFail:
                    break;
            }
            if (!go_on) break;
        }
    }
    return Anchored::no_match;
}

}  // namespace transmute::regex

namespace transmute::regex {

// Anchored matching for runs that look far ahead, across every run of one program over one text.
// A branch point (a split) reached at a position from which an earlier run found no match can
// be skipped: what follows a state depends only on the state and the position. Runs start at
// increasing positions, each at or after the end of the previous match, so the memory of failed
// branch points stays true, except at the very position where a match ended, which is forgotten.
// Every (split, position) is therefore explored at most once per text, which keeps all runs
// together linear in the text. Tested in tests/test_scan.py.
template <class C>
class MemoBacktracker {
public:
    MemoBacktracker(const Program& prog, const Code& code, const C* s, size_t n)
        : prog_(prog), code_(code), s_(s), n_(n), words_(detail::word_table()) {
        split_index_.assign(code.insts.size(), kNone);
        for (uint32_t pc = 0; pc < code.insts.size(); ++pc)
            if (code.insts[pc].op == Op::kSplit) split_index_[pc] = splits_++;
        chunks_.resize((n >> kChunkBits) + 1);
    }

    // Usable only for programs without lookarounds or counted gaps.
    static bool suits(const Program& prog, const Code& code) {
        if (!prog.looks.empty()) return false;
        for (const Inst& in : code.insts)
            if (in.op == Op::kGap || in.op == Op::kLook) return false;
        return true;
    }

    // The leftmost-first match starting at `pos`; `reached` is the furthest position examined.
    bool run(size_t pos, size_t& end, size_t& reached) {
        stack_.clear();
        stack_.push_back({code_.start, pos, 1});
        reached = pos;
        while (!stack_.empty()) {
            Frame& top = stack_.back();
            uint32_t pc = top.pc;
            size_t p = top.pos + top.count - 1;
            if (--top.count == 0) stack_.pop_back();
            while (true) {
                if (p > reached) reached = p;
                const Inst& in = code_.insts[pc];
                bool go_on = false;
                switch (in.op) {
                    case Op::kChar:
                        if (p < n_ && prog_.sets[in.arg].test(static_cast<uint32_t>(s_[p]))) {
                            pc = in.x;
                            ++p;
                            go_on = true;
                        }
                        break;
                    case Op::kSplit: {
                        const uint32_t split = split_index_[pc];
                        if (seen(split, p)) break;
                        const Inst& body = code_.insts[in.x];
                        if (body.op == Op::kChar && body.x == pc) {
                            // A greedy loop over one set: walk the run of the set, marking each
                            // step, up to its end or to a step an earlier run explored; leave the
                            // exits, longest first, as one frame.
                            const CharSet& set = prog_.sets[body.arg];
                            size_t q = p;
                            bool stopped_at_seen = false;
                            while (q < n_ && set.test(static_cast<uint32_t>(s_[q]))) {
                                if (seen(split, q + 1)) {
                                    stopped_at_seen = true;
                                    break;
                                }
                                ++q;
                            }
                            const size_t last = q + 1;  // this run owns the steps [p, last)
                            if (q > reached) reached = q;
                            if (stopped_at_seen) {
                                stack_.push_back({in.y, p, last - p});
                                break;
                            }
                            if (last - 1 > p) stack_.push_back({in.y, p, last - 1 - p});
                            p = q;
                            pc = in.y;
                            go_on = true;
                            break;
                        }
                        stack_.push_back({in.y, p, 1});
                        pc = in.x;
                        go_on = true;
                        break;
                    }
                    case Op::kJump:
                        pc = in.x;
                        go_on = true;
                        break;
                    case Op::kAssert:
                        if (assert_at(static_cast<AssertKind>(in.arg), s_, n_, p, words_)) {
                            pc = in.x;
                            go_on = true;
                        }
                        break;
                    case Op::kMatch:
                        end = p;
                        forget_column(p);
                        return true;
                    default:
                        break;
                }
                if (!go_on) break;
            }
        }
        return false;
    }

private:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    static constexpr size_t kChunkBits = 12;
    static constexpr size_t kChunk = size_t{1} << kChunkBits;

    // Resume at `pc` at pos + count - 1, then count - 2, ... down to pos.
    struct Frame {
        uint32_t pc;
        size_t pos;
        size_t count;
    };

    uint64_t* chunk_for(size_t p) {
        std::unique_ptr<uint64_t[]>& chunk = chunks_[p >> kChunkBits];
        if (!chunk) chunk.reset(new uint64_t[(splits_ * kChunk + 63) / 64]());
        return chunk.get();
    }

    // Marks (split, p) as explored; true when it already was.
    bool seen(uint32_t split, size_t p) {
        uint64_t* bits = chunk_for(p);
        const size_t bit = static_cast<size_t>(split) * kChunk + (p & (kChunk - 1));
        const uint64_t mask = uint64_t{1} << (bit & 63);
        if (bits[bit >> 6] & mask) return true;
        bits[bit >> 6] |= mask;
        return false;
    }

    // A match ended at p: the branch points on its path at p did not fail.
    void forget_column(size_t p) {
        std::unique_ptr<uint64_t[]>& chunk = chunks_[p >> kChunkBits];
        if (!chunk) return;
        for (uint32_t split = 0; split < splits_; ++split) {
            const size_t bit = static_cast<size_t>(split) * kChunk + (p & (kChunk - 1));
            chunk[bit >> 6] &= ~(uint64_t{1} << (bit & 63));
        }
    }

    const Program& prog_;
    const Code& code_;
    const C* s_;
    size_t n_;
    const detail::WordTable& words_;
    std::vector<uint32_t> split_index_;
    uint32_t splits_ = 0;
    std::vector<std::unique_ptr<uint64_t[]>> chunks_;
    std::vector<Frame> stack_;
};

}  // namespace transmute::regex
