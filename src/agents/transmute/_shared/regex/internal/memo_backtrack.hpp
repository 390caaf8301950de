// The memoised backtracker: the leftmost-first match that starts at one position, for programs
// whose matches can be long, across every run of one program over one text. A branch point (a
// split) reached at a position from which an earlier run found no match can be skipped: what
// follows a state depends only on the state and the position. Runs start at increasing
// positions, each at or after the end of the previous match, so the memory of failed branch
// points stays true, except at the very position where a match ended, which is forgotten (a
// run that starts before an earlier start or inside an earlier match forgets everything). Every (split, position) is
// therefore explored at most once per text, which keeps all runs together linear in the text.
// The memory covers the positions from the latest start on, in chunks that are reused once runs
// start past them. Tested in tests/test_engine.py (anchored runs) and tests/test_scan.py.
#pragma once

#include "assertions.hpp"
#include "program.hpp"
#include "window_backtrack.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace transmute::regex {

template <class C>
class MemoBacktracker {
public:
    // Runs `prog.spans` over s[0..n) from now on. The program must have no lookarounds.
    void bind(const Program& prog, const C* s, size_t n) {
        prog_ = &prog;
        s_ = s;
        n_ = n;
        const Code& code = prog.spans;
        split_index_.assign(code.insts.size(), kNone);
        splits_ = 0;
        for (uint32_t pc = 0; pc < code.insts.size(); ++pc)
            if (code.insts[pc].op == Op::kSplit) split_index_[pc] = splits_++;
        // A chunk covers the whole of a short text (positions 0..n), so that a call on a small
        // script clears a few words per branch point, not a long text's chunk.
        chunk_bits_ = std::clamp<size_t>(static_cast<size_t>(std::bit_width(n)), kMinChunkBits, kMaxChunkBits);
        chunk_ = size_t{1} << chunk_bits_;
        const size_t words = (static_cast<size_t>(splits_) * chunk_ + 63) / 64;
        release_all();
        if (words != chunk_words_) free_.clear();
        // Keep a few spare chunks for the next text, not a long run's worth.
        if (free_.size() > kSpareChunks) free_.resize(kSpareChunks);
        chunk_words_ = words;
        last_start_ = 0;
        last_end_ = 0;
    }

    // The leftmost-first match starting at `pos`; with must_advance an empty match does not count.
    AnchoredRun run(size_t pos, bool must_advance) {
        const Code& code = prog_->spans;
        if (pos < last_start_ || pos < last_end_) release_all();
        last_start_ = pos;
        recycle_below(pos >> chunk_bits_);
        AnchoredRun out;
        out.reached = pos;
        depth_ = 0;
        push({code.start, pos, 1});
        while (depth_ > 0) {
            Frame& top = stack_[depth_ - 1];
            uint32_t pc = top.pc;
            size_t p = top.pos + top.count - 1;
            if (--top.count == 0) --depth_;
            // A way back in whose first char the text rules out fails at once.
            const int32_t filter = prog_->open_filter_of[pc];
            if (filter >= 0 && (p >= n_ || !prog_->open_filters[filter].test(static_cast<uint32_t>(s_[p])))) continue;
            while (true) {
                out.reached = std::max(out.reached, p);
                const Inst& in = code.insts[pc];
                const Step step = plain_step(*prog_, in, s_, n_, p, *words_);
                if (step == Step::fail) break;
                if (step == Step::consume) ++p;
                if (step != Step::branch) {
                    pc = in.x;
                    continue;
                }
                if (in.op == Op::kMatch) {
                    if (must_advance && p == pos) break;
                    forget_column(p);
                    last_end_ = p;
                    out.matched = true;
                    out.end = p;
                    return out;
                }
                const uint32_t split = split_index_[pc];
                if (seen(split, p)) break;
                const Inst& body = code.insts[in.x];
                if (body.op != Op::kChar || body.x != pc) {
                    push({in.y, p, 1});
                    pc = in.x;
                    continue;
                }
                // A greedy loop over one set: walk the run of the set, marking each step, up to
                // its end or to a step an earlier run explored; leave the exits, longest first,
                // as one frame.
                size_t q = p;
                const bool stopped_at_seen = walk_loop(split, prog_->sets[body.arg], q);
                const size_t last = q + 1;  // this run owns the steps [p, last)
                out.reached = std::max(out.reached, q);
                // The exits inside the run of the set sit on chars of the set; when the
                // continuation cannot open with any of them, they all fail at once.
                const bool inner_exits = prog_->last_exit_only[pc] == 0;
                if (stopped_at_seen) {
                    if (inner_exits) push({in.y, p, last - p});
                    break;
                }
                if (inner_exits && last - 1 > p) push({in.y, p, last - 1 - p});
                p = q;
                pc = in.y;
            }
        }
        return out;
    }

private:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    static constexpr size_t kMinChunkBits = 6;
    static constexpr size_t kMaxChunkBits = 7;
    static constexpr size_t kSpareChunks = 8;
    static constexpr size_t kNoChunk = static_cast<size_t>(-1);

    // Resume at `pc` at pos + count - 1, then count - 2, ... down to pos.
    struct Frame {
        uint32_t pc;
        size_t pos;
        size_t count;
    };

    void push(const Frame& frame) {
        if (depth_ == stack_.size()) stack_.resize(depth_ * 2 + 16);
        stack_[depth_++] = frame;
    }

    // The bits of the chunk holding position p (p is at or after the latest start).
    uint64_t* chunk_for(size_t p) {
        if ((p >> chunk_bits_) == cached_chunk_) return cached_bits_;
        const size_t k = (p >> chunk_bits_) - base_ + head_;
        if (k >= live_.size()) live_.resize(k + 1);
        std::unique_ptr<uint64_t[]>& chunk = live_[k];
        if (!chunk) {
            if (free_.empty()) {
                chunk.reset(new uint64_t[chunk_words_]());
            } else {
                chunk = std::move(free_.back());
                free_.pop_back();
                std::memset(chunk.get(), 0, chunk_words_ * sizeof(uint64_t));
            }
        }
        cached_chunk_ = p >> chunk_bits_;
        cached_bits_ = chunk.get();
        return cached_bits_;
    }

    // Marks (split, p) as explored; true when it already was.
    bool seen(uint32_t split, size_t p) {
        uint64_t* bits = chunk_for(p);
        const size_t bit = static_cast<size_t>(split) * chunk_ + (p & (chunk_ - 1));
        const uint64_t mask = uint64_t{1} << (bit & 63);
        if (bits[bit >> 6] & mask) return true;
        bits[bit >> 6] |= mask;
        return false;
    }

    // Walks a greedy loop over `set` from q: steps while the text's char is in the set, marking
    // (split, q + 1) for each step, and stops where the set fails (false) or before a step an
    // earlier run marked (true). The steps are taken and marked a word of marks at a time: a
    // chunk's marks of one split for 64 aligned positions are one word.
    bool walk_loop(uint32_t split, const CharSet& set, size_t& q) {
        while (true) {
            const size_t first = q + 1;                      // the first mark of this word
            const size_t limit = std::min(n_, first | 63);   // steps q' < limit mark within it
            size_t e = q;
            while (e < limit && set.test(static_cast<uint32_t>(s_[e]))) ++e;
            if (e > q) {
                uint64_t* bits = chunk_for(first);
                const size_t bit = static_cast<size_t>(split) * chunk_ + (first & (chunk_ - 1));
                uint64_t& word = bits[bit >> 6];
                const unsigned lo = static_cast<unsigned>(bit & 63);
                const unsigned count = static_cast<unsigned>(e - q);  // marks first .. e
                const uint64_t mask = (count >= 64 ? ~uint64_t{0} : ((uint64_t{1} << count) - 1)) << lo;
                if (const uint64_t hit = word & mask) {
                    const unsigned at = static_cast<unsigned>(std::countr_zero(hit));
                    word |= mask & ((uint64_t{1} << at) - 1);
                    q = first + (at - lo) - 1;
                    return true;
                }
                word |= mask;
                q = e;
            }
            if (e < limit || e >= n_) return false;
        }
    }

    // A match ended at p: the branch points on its path at p did not fail.
    void forget_column(size_t p) {
        const size_t k = (p >> chunk_bits_) - base_ + head_;
        if (k >= live_.size() || !live_[k]) return;
        uint64_t* bits = live_[k].get();
        for (uint32_t split = 0; split < splits_; ++split) {
            const size_t bit = static_cast<size_t>(split) * chunk_ + (p & (chunk_ - 1));
            bits[bit >> 6] &= ~(uint64_t{1} << (bit & 63));
        }
    }

    // Runs start at chunk `first` or later from now on: earlier chunks go back to the spares.
    // The live chunks move up by an index; the vector is compacted only once most of it is
    // behind, so that each chunk is moved a bounded number of times however far runs reach.
    void recycle_below(size_t first) {
        if (first <= base_) return;
        cached_chunk_ = kNoChunk;
        const size_t drop = std::min(first - base_, live_.size() - head_);
        for (size_t k = head_; k < head_ + drop; ++k)
            if (live_[k]) free_.push_back(std::move(live_[k]));
        head_ += drop;
        base_ = first;
        if (head_ == live_.size()) {
            live_.clear();
            head_ = 0;
        } else if (head_ >= 64 && 2 * head_ >= live_.size()) {
            live_.erase(live_.begin(), live_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }

    void release_all() {
        cached_chunk_ = kNoChunk;
        for (size_t k = head_; k < live_.size(); ++k)
            if (live_[k]) free_.push_back(std::move(live_[k]));
        live_.clear();
        head_ = 0;
        base_ = 0;
    }

    const Program* prog_ = nullptr;
    const C* s_ = nullptr;
    size_t n_ = 0;
    const WordTable* words_ = &word_table();
    std::vector<uint32_t> split_index_;
    uint32_t splits_ = 0;
    size_t chunk_bits_ = kMaxChunkBits;  // positions per chunk: 1 << chunk_bits_
    size_t chunk_ = size_t{1} << kMaxChunkBits;
    size_t chunk_words_ = 0;
    size_t base_ = 0;        // chunk index of live_[head_]
    size_t head_ = 0;        // live_[0, head_) are behind the latest start, already released
    size_t last_start_ = 0;  // where the latest run started
    size_t last_end_ = 0;    // where the latest match ended
    std::vector<std::unique_ptr<uint64_t[]>> live_;
    std::vector<std::unique_ptr<uint64_t[]>> free_;
    size_t cached_chunk_ = kNoChunk;  // the chunk chunk_for() found last, and its bits
    uint64_t* cached_bits_ = nullptr;
    std::vector<Frame> stack_;  // frames [0, depth_) are live
    size_t depth_ = 0;
};

}  // namespace transmute::regex
