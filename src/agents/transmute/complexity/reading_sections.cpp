// The section arithmetic of a reading plan: how many sections a file gets, which boundary lines
// open them, which spans survive the first read and the minimum length, and how the smallest
// neighbours merge until the plan is short enough. Tested in tests/test_reading.py.
#include "reading_plan.hpp"

#include <algorithm>
#include <limits>

namespace complexity {
namespace {

constexpr Py_ssize_t kFirstRead = 150;
constexpr Py_ssize_t kMinSectionSpan = 20;
constexpr Py_ssize_t kLinesPerSection = 300;
constexpr Py_ssize_t kMinSections = 2;
constexpr Py_ssize_t kMaxSections = 5;

// Keeps every step-th boundary when there are more than the target, and falls back to equal
// chunks when fewer than two remain.
void choose_boundaries(Py_ssize_t total_lines, Py_ssize_t target, std::vector<Py_ssize_t>& major) {
    if (static_cast<Py_ssize_t>(major.size()) > target) {
        const Py_ssize_t step = static_cast<Py_ssize_t>(major.size()) / target;
        std::vector<Py_ssize_t> thinned;
        for (Py_ssize_t k = 0; k < target; ++k) thinned.push_back(major[k * step]);
        major.swap(thinned);
    }
    if (major.size() < 2) {
        const Py_ssize_t chunk_size = total_lines / target;
        major.clear();
        for (Py_ssize_t k = 1; k < target; ++k) major.push_back(chunk_size * k);
    }
}

// Merges the adjacent pair with the smallest combined span (the earliest on a tie) until no
// more than `target` sections remain; a merged section keeps its first part's hint.
void merge_smallest(std::vector<SectionPlan::Section>& sections, Py_ssize_t target) {
    while (static_cast<Py_ssize_t>(sections.size()) > target) {
        double min_size = std::numeric_limits<double>::infinity();
        size_t min_index = 0;
        for (size_t i = 0; i + 1 < sections.size(); ++i) {
            const double combined = static_cast<double>(sections[i + 1].span.end - sections[i].span.start);
            if (combined < min_size) {
                min_size = combined;
                min_index = i;
            }
        }
        sections[min_index].span.end = sections[min_index + 1].span.end;
        sections.erase(sections.begin() + static_cast<std::ptrdiff_t>(min_index) + 1);
    }
}

}  // namespace

SectionPlan plan_sections(Py_ssize_t total_lines, std::vector<Py_ssize_t> boundaries) {
    SectionPlan plan;
    plan.target_sections = std::min(std::max(total_lines / kLinesPerSection, kMinSections), kMaxSections);
    choose_boundaries(total_lines, plan.target_sections, boundaries);

    std::vector<Py_ssize_t> all = std::move(boundaries);
    all.push_back(1);
    all.push_back(total_lines);
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());

    plan.first_read = std::min(kFirstRead, total_lines);
    for (size_t k = 0; k + 1 < all.size(); ++k) {
        Py_ssize_t start = all[k];
        const Py_ssize_t end = all[k + 1];
        if (end <= plan.first_read) continue;
        if (start < plan.first_read) start = plan.first_read + 1;
        if (end - start < kMinSectionSpan) continue;
        plan.sections.push_back({{start, end}, plan.candidates.size()});
        plan.candidates.push_back({start, end});
    }
    merge_smallest(plan.sections, plan.target_sections);
    return plan;
}

}  // namespace complexity
