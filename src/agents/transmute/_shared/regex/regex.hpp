// Public entry points of the native regular-expression engine: compile a pattern (source text
// plus re flag bits) into an immutable shared Program, then search / match / span / count /
// findall spans / sub("") over str data of any PEP 393 width, with the results re gives.
// Matching calls no Python API, so callers may release the GIL around them.
// Tested in tests/test_engine.py.
#pragma once

#include "internal/program.hpp"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace transmute::regex {

using ProgramPtr = std::shared_ptr<const Program>;

struct Span {
    size_t start;
    size_t end;
};

// Compiles `source` (code points) with re flag bits (IGNORECASE=2, MULTILINE=8, DOTALL=16;
// UNICODE=32 is implied). Returns null with `error` set when the engine does not support the
// pattern exactly; the caller then uses the host's re.
ProgramPtr compile(const std::u32string& source, int flags, std::string& error);
// Same for a Python str (GIL held).
ProgramPtr compile(PyObject* source, int flags, std::string& error);

// pattern.search(text, pos) is not None.
template <class C>
bool search(const Program& prog, const C* s, size_t n, size_t pos = 0);
// pattern.match(text, pos) is not None.
template <class C>
bool match_at(const Program& prog, const C* s, size_t n, size_t pos);
// pattern.search(text, pos).span(); false when there is no match.
template <class C>
bool find(const Program& prog, const C* s, size_t n, size_t pos, Span& out);
// len(pattern.findall(text)).
template <class C>
size_t count(const Program& prog, const C* s, size_t n);
// The spans of pattern.finditer(text), appended to `out`.
template <class C>
void find_all(const Program& prog, const C* s, size_t n, std::vector<Span>& out);

// Quick pre-check: false only when the text (from pos) cannot hold a match because a required
// literal is absent. Cheap (memchr-speed on 1-byte text); search() already applies it.
template <class C>
bool may_match(const Program& prog, const C* s, size_t n, size_t pos = 0);

// pattern.sub("", text) for a str (GIL held): a new str, as narrow as its content allows.
// Releases the GIL while matching when the text is at least `nogil_threshold` chars long.
PyObject* sub_empty(const Program& prog, PyObject* text, size_t nogil_threshold = 65536);

// The extra case table the engine folds with (re._casefix._EXTRA_CASES): each lowercase code
// point with the other lowercase code points sharing its uppercase form, in code point order.
std::vector<std::pair<uint32_t, std::vector<uint32_t>>> extra_case_table();

}  // namespace transmute::regex

// Anchored runs and literal scans, for the multi-pattern scan.
#include "internal/backtrack.hpp"
