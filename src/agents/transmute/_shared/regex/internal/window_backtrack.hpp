// The windowed backtracker: the leftmost-first match that starts at one position, found by
// trying alternatives in priority order exactly as re does, with every (instruction, offset)
// state visited at most once per run. The matcher for programs whose matches are at most
// kWindow characters long (see matcher.hpp), so a run never looks further than that and its work
// is bounded by program size times window. Tested in tests/test_engine.py (anchored runs at
// every position) and through the modules' scans.
#pragma once

#include "../regex.hpp"
#include "assertions.hpp"
#include "program.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace transmute::regex {

// Scratch space of the windowed runs, shared by every program a thread runs: each run takes a
// fresh generation.
struct WindowSpace {
    static constexpr size_t kWindow = 64;
    std::vector<uint16_t> visited;  // per (instruction, offset): the generation that visited it
    uint16_t gen = 0;
    // An alternative still to try: resume at `pc`, `offset` characters into the match.
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

    static WindowSpace& for_thread() {
        thread_local WindowSpace space;
        return space;
    }
};

// The leftmost-first match of `prog.spans` starting exactly at `pos`; with must_advance an empty
// match does not count (re's rule after an empty match in findall). The program's matches must
// be at most kWindow long and it must have no lookarounds.
template <class C>
AnchoredRun window_run(const Program& prog, const C* s, size_t n, size_t pos, bool must_advance,
                       WindowSpace& space) {
    const Code& code = prog.spans;
    const WordTable& words = word_table();
    constexpr size_t W = WindowSpace::kWindow;
    space.begin(code.insts.size());
    AnchoredRun out;
    out.reached = pos;
    space.stack.push_back({code.start, 0});
    while (!space.stack.empty()) {
        uint32_t pc = space.stack.back().pc;
        uint32_t off = space.stack.back().offset;
        space.stack.pop_back();
        // The program's matches are at most W long, so `off` stays within the window.
        while (off <= W) {
            uint16_t& mark = space.visited[pc * (W + 1) + off];
            if (mark == space.gen) break;
            mark = space.gen;
            const size_t p = pos + off;
            out.reached = std::max(out.reached, p);
            const Inst& in = code.insts[pc];
            const Step step = plain_step(prog, in, s, n, p, words);
            if (step == Step::fail) break;
            if (step == Step::consume) ++off;
            if (step != Step::branch) {
                pc = in.x;
                continue;
            }
            if (in.op == Op::kMatch) {
                if (must_advance && off == 0) break;
                out.matched = true;
                out.end = p;
                return out;
            }
            space.stack.push_back({in.y, off});
            pc = in.x;
        }
    }
    return out;
}

}  // namespace transmute::regex
