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
    struct Frame {
        uint32_t pc;
        uint32_t offset;
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
    space.stack.push_back({code.start, 0});
    while (!space.stack.empty()) {
        uint32_t pc = space.stack.back().pc;
        uint32_t off = space.stack.back().offset;
        space.stack.pop_back();
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
                case Op::kSplit:
                    space.stack.push_back({in.y, off});
                    pc = in.x;
                    go_on = true;
                    break;
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
