// Native programs from host pattern objects. Tested through the modules' differential tests.
#include "from_patterns.hpp"

namespace transmute::scan {

bool pattern_facts(PyObject* pattern, std::u32string& source, int& flags) {
    Ref text = Ref::steal(PyObject_GetAttrString(pattern, "pattern"));
    Ref flag_value = Ref::steal(PyObject_GetAttrString(pattern, "flags"));
    if (!text || !flag_value) return false;
    if (!PyUnicode_Check(text.get())) {
        PyErr_SetString(PyExc_TypeError, "pattern source must be str");
        return false;
    }
    flags = static_cast<int>(PyLong_AsLong(flag_value.get())) & ~regex::kUnicode;  // implied
    if (PyErr_Occurred()) return false;
    source.clear();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    for (Py_ssize_t i = 0; i < n; ++i) source += static_cast<char32_t>(PyUnicode_READ_CHAR(text.get(), i));
    return true;
}

std::u32string widen(const char* ascii) {
    std::u32string out;
    for (; *ascii; ++ascii) out += static_cast<char32_t>(static_cast<unsigned char>(*ascii));
    return out;
}

regex::ProgramPtr compile_or_note(const std::u32string& source, int flags, std::string& failures) {
    regex::Refusal why = regex::Refusal::none;
    regex::ProgramPtr program = regex::compile(source, flags, why);
    if (!program) {
        failures += "\n  ";
        for (char32_t c : source) failures += c < 128 ? static_cast<char>(c) : '?';
        failures += ": ";
        failures += regex::refusal_text(why);
    }
    return program;
}

std::unique_ptr<TriggerScan> build_scan(const std::vector<ScanPattern>& patterns, std::string& failures) {
    std::vector<regex::ProgramPtr> programs;
    std::vector<Mode> modes;
    std::vector<std::pair<std::u32string, int>> facts;
    bool refused = false;
    for (const ScanPattern& entry : patterns) {
        std::u32string source;
        int flag = entry.flags;
        if (entry.pattern != nullptr) {
            if (!pattern_facts(entry.pattern, source, flag)) return nullptr;
        } else {
            source = widen(entry.source);
        }
        programs.push_back(compile_or_note(source, flag, failures));
        refused = refused || !programs.back();
        modes.push_back(entry.mode);
        facts.emplace_back(std::move(source), flag);
    }
    if (refused) return nullptr;
    // A presence pattern with the same source and flags as a counted one is answered by its count.
    std::vector<std::pair<uint32_t, uint32_t>> twins;
    for (uint32_t p = 0; p < patterns.size(); ++p) {
        if (modes[p] != Mode::presence) continue;
        for (uint32_t q = 0; q < patterns.size(); ++q) {
            if (modes[q] == Mode::count && facts[q] == facts[p]) {
                twins.emplace_back(p, q);
                break;
            }
        }
    }
    return TriggerScan::build(std::move(programs), std::move(modes), true, std::move(twins));
}

bool warn_refused(const char* module_name, const std::string& failures) {
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%s: native engine refused, using re:%s", module_name,
                            failures.c_str()) == 0;
}

}  // namespace transmute::scan
