// Why the engine declines a pattern, and the one table of texts callers see for each reason.
// Tested in tests/test_engine.py (refusals by reason).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace transmute::regex {

enum class Refusal : uint8_t {
    none,
    // Patterns re rejects as well.
    unbalanced_parenthesis,
    unterminated_subpattern,
    unterminated_comment,
    unterminated_set,
    unterminated_name,
    missing_group_name,
    group_name_redefined,
    unexpected_end,
    nothing_to_repeat,
    multiple_repeat,
    min_above_max,
    repeat_too_large,
    bad_escape,
    bad_escape_at_end,
    bad_escape_u,
    incomplete_escape,
    octal_out_of_range,
    bad_range,
    look_behind_not_fixed,
    // Patterns re may accept, left to re because the engine could not match them exactly.
    unsupported_flags,
    not_a_str,
    nested_too_deeply,
    possessive_repeat,
    empty_iteration_repeat,
    named_reference,
    group_name_not_ascii,
    angle_group,
    atomic_group,
    conditional_group,
    inline_flags,
    backreference,
    named_character,
    look_behind_too_wide,
    wide_ignorecase_class,
    too_large,
    wide_lookahead,
    unsupported_pattern,
};

struct RefusalEntry {
    Refusal reason;
    const char* name;  // the reason's identifier, as the host sees it
    const char* text;  // what callers are told
    bool invalid;      // re rejects every pattern refused for this reason
};

inline constexpr RefusalEntry kRefusals[] = {
    {Refusal::none, "none", "", false},
    {Refusal::unbalanced_parenthesis, "unbalanced_parenthesis", "unbalanced parenthesis", true},
    {Refusal::unterminated_subpattern, "unterminated_subpattern", "missing ), unterminated subpattern", true},
    {Refusal::unterminated_comment, "unterminated_comment", "missing ), unterminated comment", true},
    {Refusal::unterminated_set, "unterminated_set", "unterminated character set", true},
    {Refusal::unterminated_name, "unterminated_name", "missing >, unterminated name", true},
    {Refusal::missing_group_name, "missing_group_name", "missing group name", true},
    {Refusal::group_name_redefined, "group_name_redefined", "redefinition of group name", true},
    {Refusal::unexpected_end, "unexpected_end", "unexpected end of pattern", true},
    {Refusal::nothing_to_repeat, "nothing_to_repeat", "nothing to repeat", true},
    {Refusal::multiple_repeat, "multiple_repeat", "multiple repeat", true},
    {Refusal::min_above_max, "min_above_max", "min repeat greater than max repeat", true},
    {Refusal::repeat_too_large, "repeat_too_large", "the repetition number is too large", true},
    {Refusal::bad_escape, "bad_escape", "bad escape", true},
    {Refusal::bad_escape_at_end, "bad_escape_at_end", "bad escape (end of pattern)", true},
    {Refusal::bad_escape_u, "bad_escape_u", "bad escape \\U", true},
    {Refusal::incomplete_escape, "incomplete_escape", "incomplete escape", true},
    {Refusal::octal_out_of_range, "octal_out_of_range", "octal escape value outside of range 0-0o377", true},
    {Refusal::bad_range, "bad_range", "bad character range", true},
    {Refusal::look_behind_not_fixed, "look_behind_not_fixed", "look-behind requires fixed-width pattern", true},
    {Refusal::unsupported_flags, "unsupported_flags", "unsupported flags", false},
    {Refusal::not_a_str, "not_a_str", "pattern is not a str", false},
    {Refusal::nested_too_deeply, "nested_too_deeply", "pattern nested too deeply", false},
    {Refusal::possessive_repeat, "possessive_repeat", "possessive repeat is not supported", false},
    {Refusal::empty_iteration_repeat, "empty_iteration_repeat", "repeat of an item that can match the empty string",
     false},
    {Refusal::named_reference, "named_reference", "named backreference or unknown ?P extension", false},
    {Refusal::group_name_not_ascii, "group_name_not_ascii", "group name outside the ASCII identifier subset", false},
    {Refusal::angle_group, "angle_group", "unsupported group extension ?<", false},
    {Refusal::atomic_group, "atomic_group", "atomic groups are not supported", false},
    {Refusal::conditional_group, "conditional_group", "conditional groups are not supported", false},
    {Refusal::inline_flags, "inline_flags", "inline flags and other group extensions are not supported", false},
    {Refusal::backreference, "backreference", "backreferences are not supported", false},
    {Refusal::named_character, "named_character", "named character escapes are not supported", false},
    {Refusal::look_behind_too_wide, "look_behind_too_wide", "look-behind too wide", false},
    {Refusal::wide_ignorecase_class, "wide_ignorecase_class", "IGNORECASE class with characters outside the BMP",
     false},
    {Refusal::too_large, "too_large", "pattern too large once repeats are expanded", false},
    {Refusal::wide_lookahead, "wide_lookahead", "lookahead without a small bounded width", false},
    {Refusal::unsupported_pattern, "unsupported_pattern", "unsupported pattern", false},
};

// The table is indexed by reason.
constexpr bool refusals_in_order() {
    for (size_t k = 0; k < std::size(kRefusals); ++k)
        if (static_cast<size_t>(kRefusals[k].reason) != k) return false;
    return true;
}
static_assert(refusals_in_order() && std::size(kRefusals) == static_cast<size_t>(Refusal::unsupported_pattern) + 1,
              "kRefusals must list every reason in declaration order");

inline const RefusalEntry& refusal_entry(Refusal why) { return kRefusals[static_cast<size_t>(why)]; }
inline const char* refusal_text(Refusal why) { return refusal_entry(why).text; }

}  // namespace transmute::regex
