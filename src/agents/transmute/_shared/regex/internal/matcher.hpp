// The one place that decides which matcher answers a program's runs: the windowed backtracker,
// the memoised backtracker or the Pike VM, one per program and text, from the program's
// properties. Tested in tests/test_engine.py (every operation against re, anchored runs at every
// position) and through the scans.
#pragma once

#include "program.hpp"
#include "window_backtrack.hpp"

#include <cstdint>

namespace transmute::regex {

enum class MatcherKind : uint8_t {
    one_pass,  // at most one way on at every split: no backtracking, nothing kept between runs
    window,    // matches no longer than the window: backtracking, bounded work per run
    memo,      // longer matches: backtracking that remembers failed branch points for the text
    pike,      // lookarounds, or too many branch points to remember: the Pike VM
};

// Branch points the memoised backtracker remembers per position at the most; its memory costs
// one bit for each, for every position its runs reach.
inline constexpr uint32_t kMemoSplits = 128;

// The matcher for a program whose one-pass runs have walked too far: runs that start close
// together may each walk the same long run of chars, so past a budget of chars per text the
// runs go to a matcher whose total work is linear.
inline MatcherKind choose_bounded_matcher(const Program& prog) {
    if (!prog.looks.empty()) return MatcherKind::pike;  // only the Pike VM runs lookarounds
    if (prog.max_width <= WindowSpace::kWindow) return MatcherKind::window;
    if (prog.spans_splits <= kMemoSplits) return MatcherKind::memo;
    return MatcherKind::pike;
}

inline MatcherKind choose_matcher(const Program& prog) {
    return prog.one_pass ? MatcherKind::one_pass : choose_bounded_matcher(prog);
}

// Chars the one-pass runs over a text of n chars may reach in all before the runs change
// matcher.
inline size_t one_pass_budget(size_t n) { return 4 * n + 4096; }

}  // namespace transmute::regex
