// Builds native programs from the host's compiled pattern objects (their .pattern and .flags),
// so the native tables can never drift from the module's own. Tested through the modules'
// differential tests.
#pragma once

#include "../pyref.hpp"
#include "../regex/regex.hpp"
#include "triggers.hpp"

#include <memory>
#include <string>
#include <vector>

namespace transmute::scan {

// Source text and re flag bits (without re.UNICODE) of a compiled host pattern.
bool pattern_facts(PyObject* pattern, std::u32string& source, int& flags);

std::u32string widen(const char* ascii);

// Compiles one program; on refusal appends "\n  <source>: <reason>" to `failures`.
regex::ProgramPtr compile_or_note(const std::u32string& source, int flags, std::string& failures);

// One pattern of a scan: a host pattern object, or a source text with its flags.
struct ScanPattern {
    PyObject* pattern = nullptr;  // borrowed
    const char* source = nullptr;
    int flags = 0;
    Mode mode = Mode::presence;
};

// A scan over the given patterns, or null with `failures` filled (or with a Python error set
// when a pattern object could not be read).
std::unique_ptr<TriggerScan> build_scan(const std::vector<ScanPattern>& patterns, std::string& failures);

// Says which patterns the engine refused: the module then answers through the host's re.
bool warn_refused(const char* module_name, const std::string& failures);

}  // namespace transmute::scan
