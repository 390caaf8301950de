// Candidate scans that skip text no match can start in or contain: required case-folded
// literals (memchr, or sixteen chars at a time over the anchor byte's case variants) and
// first-char sets. Tested in tests/test_engine.py.
#pragma once

#include "../../simd.hpp"
#include "../regex.hpp"
#include "program.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace transmute::regex {

template <class C>
inline bool literal_at(const Program& prog, const Literal& lit, const C* s, size_t n, size_t at) {
    const size_t len = lit.sets.size();
    if (at + len > n) return false;
    for (size_t j = 0; j < len; ++j) {
        if (!prog.sets[lit.sets[j]].test(static_cast<uint32_t>(s[at + j]))) return false;
    }
    return true;
}

namespace detail {

// Next index >= from (and < end) holding one of the anchor bytes, or kNoPos.
inline size_t scan_bytes(const Py_UCS1* s, size_t from, size_t end, const uint8_t* b, int nb) {
    if (from >= end) return kNoPos;
    if (nb == 1) {
        const void* hit = std::memchr(s + from, b[0], end - from);
        return hit ? static_cast<size_t>(static_cast<const Py_UCS1*>(hit) - s) : kNoPos;
    }
    size_t i = from;
    const uint8_t lower = b[0] | 0x20;
    if (nb == 2 && (b[0] ^ b[1]) == 0x20) {
        // Two bytes that differ in the case bit alone (a letter's two cases, the usual anchor of
        // a case-insensitive literal): x | 0x20 equals `lower` for those two bytes and no other,
        // so one compare does, 32 bytes at a time.
        const simd::Bytes bit = simd::splat(0x20), want = simd::splat(lower);
        for (; i + 2 * simd::kLanes <= end; i += 2 * simd::kLanes) {
            const uint32_t lo = simd::mask((simd::load(s + i) | bit) == want);
            const uint32_t hi = simd::mask((simd::load(s + i + simd::kLanes) | bit) == want);
            if (lo | hi) return i + simd::first(lo | (hi << simd::kLanes));
        }
        for (; i < end; ++i)
            if ((s[i] | 0x20) == lower) return i;
        return kNoPos;
    }
    const simd::Bytes want[3] = {simd::splat(b[0]), simd::splat(b[1]), simd::splat(nb > 2 ? b[2] : b[1])};
    for (; i + simd::kLanes <= end; i += simd::kLanes) {
        const uint32_t hits = simd::any_of(simd::load(s + i), want, 3);
        if (hits) return i + simd::first(hits);
    }
    for (; i < end; ++i) {
        const uint8_t c = s[i];
        if (c == b[0] || c == b[1] || (nb > 2 && c == b[2])) return i;
    }
    return kNoPos;
}

}  // namespace detail

// Start of the first occurrence of `lit` at or after `from`, or kNoPos.
template <class C>
size_t find_literal(const Program& prog, const Literal& lit, const C* s, size_t n, size_t from) {
    const size_t len = lit.sets.size();
    if (len == 0) return from <= n ? from : kNoPos;
    if (from > n || n - from < len) return kNoPos;
    const size_t k = lit.anchor;
    const size_t last = n - len;  // last possible start
    if (simd::has_wide() && lit.partner_nbytes > 0) {
        // Two places at a time. In a wider string a char above 0xFF reads as 0xFF, which stands
        // for every such char a place accepts (its set is then not narrow_only).
        uint8_t a_bytes[4], z_bytes[4];
        int a_count = lit.anchor_nbytes, z_count = lit.partner_nbytes;
        std::copy(lit.anchor_bytes, lit.anchor_bytes + 4, a_bytes);
        std::copy(lit.partner_bytes, lit.partner_bytes + 4, z_bytes);
        if constexpr (sizeof(C) > 1) {
            if (!prog.sets[lit.sets[k]].narrow_only()) a_bytes[a_count++] = 0xFF;
            if (!prog.sets[lit.sets[lit.partner]].narrow_only()) z_bytes[z_count++] = 0xFF;
        }
        for (size_t at = from; (at = simd::find_two_places(s, at, last + 1, k, a_bytes, a_count, lit.partner,
                                                           z_bytes, z_count)) <= last;
             ++at) {
            if (literal_at(prog, lit, s, n, at)) return at;
        }
        return kNoPos;
    }
    if constexpr (sizeof(C) == 1) {
        size_t i = from + k;
        while (true) {
            i = detail::scan_bytes(s, i, last + k + 1, lit.anchor_bytes, lit.anchor_nbytes);
            if (i == kNoPos) return kNoPos;
            if (literal_at(prog, lit, s, n, i - k)) return i - k;
            ++i;
        }
    } else {
        const CharSet& anchor = prog.sets[lit.sets[k]];
        size_t i = from + k;
        // Sixteen chars at a time: lanes equal to an anchor byte, or above 0xFF (clamped to 0xFF)
        // when the anchor may accept such chars (through case folding), are tested one by one.
        const uint8_t* b = lit.anchor_bytes;
        const int nb = lit.anchor_nbytes;
        // An anchor that accepts no wide char leaves them out (0xFF itself is then an anchor byte
        // or no match).
        const uint8_t wide = anchor.narrow_only() ? b[0] : 0xFF;
        if (simd::has_wide()) {
            const uint8_t bytes[4] = {b[0], nb > 1 ? b[1] : b[0], nb > 2 ? b[2] : b[0], wide};
            const size_t end = last + k + 1;
            for (size_t at = simd::find_clamped(s, i, end, bytes); at < end;
                 at = simd::find_clamped(s, at + 1, end, bytes)) {
                if (anchor.test(static_cast<uint32_t>(s[at])) && literal_at(prog, lit, s, n, at - k))
                    return at - k;
            }
            return kNoPos;
        }
        const simd::Bytes want[4] = {simd::splat(b[0]), simd::splat(nb > 1 ? b[1] : b[0]),
                                     simd::splat(nb > 2 ? b[2] : b[0]), simd::splat(wide)};
        for (; i + simd::kLanes <= last + k + 1; i += simd::kLanes) {
            uint32_t hits = simd::any_of(simd::load_clamped(s + i), want, 4);
            while (hits) {
                const size_t at = i + simd::first(hits);
                if (anchor.test(static_cast<uint32_t>(s[at])) && literal_at(prog, lit, s, n, at - k)) return at - k;
                hits &= hits - 1;
            }
        }
        for (; i <= last + k; ++i) {
            if (anchor.test(static_cast<uint32_t>(s[i])) && literal_at(prog, lit, s, n, i - k)) {
                return i - k;
            }
        }
        return kNoPos;
    }
}

template <class C>
inline bool first_char_ok(const Program& prog, C ch) {
    const uint32_t c = static_cast<uint32_t>(ch);
    if (c < 256) return (prog.first_low[c >> 6] >> (c & 63)) & 1;
    for (uint32_t idx : prog.first_sets) {
        if (prog.sets[idx].test(c)) return true;
    }
    return false;
}

// Smallest position >= from where a match may start, or kNoPos. Never skips a real start.
template <class C>
size_t next_candidate(const Program& prog, const C* s, size_t n, size_t from) {
    if (prog.anchored_start) return from == 0 ? 0 : kNoPos;
    if (!prog.prefix.empty()) return find_literal(prog, prog.prefix, s, n, from);
    if (prog.has_pairs()) {
        // Every match has two chars or more: test (s[i], s[i+1]) against the pair table,
        // falling back to the first-char sets when either char is wide.
        for (size_t i = from; i + 1 < n; ++i) {
            const uint32_t a = static_cast<uint32_t>(s[i]);
            const uint32_t b = static_cast<uint32_t>(s[i + 1]);
            if constexpr (sizeof(C) == 1) {
                if (prog.pair_ok(a, b)) return i;
            } else {
                if ((a | b) < 256 ? prog.pair_ok(a, b) : first_char_ok(prog, s[i])) return i;
            }
        }
        return kNoPos;
    }
    if (prog.has_first) {
        for (size_t i = from; i < n; ++i) {
            if (first_char_ok(prog, s[i])) return i;
        }
        return kNoPos;
    }
    return from;
}

}  // namespace transmute::regex
