// The one-pass run: the leftmost-first match that starts at one position, for programs where
// the text leaves at most one way on at every split (Program::one_pass). A greedy loop walks
// its run of chars to the end; a choice looks at the next char. A run touches each char it
// reaches once and keeps nothing between runs. Tested in tests/test_engine.py (anchored runs at
// every position) and through the scans.
#pragma once

#include "../regex.hpp"
#include "assertions.hpp"
#include "program.hpp"

#include <algorithm>
#include <cstdint>

namespace transmute::regex {

// No match of a one-pass program is empty, so re's rule after an empty match never applies.
template <class C>
AnchoredRun one_pass_run(const Program& prog, const C* s, size_t n, size_t pos) {
    const Code& code = prog.spans;
    const WordTable& words = word_table();
    AnchoredRun out;
    size_t p = pos;
    uint32_t pc = code.start;
    while (true) {
        out.reached = std::max(out.reached, p);
        const Inst& in = code.insts[pc];
        const Step step = plain_step(prog, in, s, n, p, words);
        if (step == Step::fail) return out;
        if (step == Step::consume) ++p;
        if (step != Step::branch) {
            pc = in.x;
            continue;
        }
        if (in.op == Op::kMatch) {
            out.matched = true;
            out.end = p;
            return out;
        }
        const OnePassSplit& how = prog.one_pass_splits[pc];
        if (how.kind == OnePassSplit::walk) {
            const CharSet& set = prog.sets[code.insts[in.x].arg];
            while (p < n && set.test(static_cast<uint32_t>(s[p]))) ++p;
            pc = in.y;
            continue;
        }
        if (p >= n) return out;
        const int way = how.way(static_cast<uint32_t>(s[p]), prog.sets);
        if (way < 0) return out;
        pc = way == 0 ? in.x : in.y;
    }
}

}  // namespace transmute::regex
