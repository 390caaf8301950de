// The one way native code runs without the GIL: long texts are scanned with it released, so
// other threads run meanwhile. Work that runs out of memory while the GIL is released must not
// leave the thread without it, nor let a C++ exception cross the interpreter's C frames: the
// runner catches the exception, takes the GIL back and raises the host's MemoryError.
// Tested in tests/test_threads.py and tests/test_out_of_memory.py.
#pragma once

#include "pyref.hpp"
#include "text.hpp"

#include <new>
#include <stdexcept>

namespace transmute {

// Texts of at least this many characters are scanned with the GIL released; shorter ones cost
// less to scan than the release and re-acquisition.
inline constexpr size_t kReleaseGilAt = 65536;

// Runs work() without the GIL when `release` is true, with it otherwise. True when work()
// returned; false with MemoryError set when it threw std::bad_alloc (or std::length_error, a
// container asked for more than can be had), and with SystemError set for any other exception.
template <class F>
bool run_released(bool release, F&& work) {
    PyThreadState* saved = release ? PyEval_SaveThread() : nullptr;
    enum { done, out_of_memory, other } outcome = done;
    try {
        work();
    } catch (const std::bad_alloc&) {
        outcome = out_of_memory;
    } catch (const std::length_error&) {
        outcome = out_of_memory;
    } catch (...) {
        outcome = other;
    }
    if (saved) PyEval_RestoreThread(saved);
    if (outcome == out_of_memory) PyErr_NoMemory();
    if (outcome == other) PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a native scan");
    return outcome == done;
}

// Calls scan(data, length) on a str in its own width (see visit_text), with the GIL released
// when the text has at least `release_at` characters; failures as for run_released.
template <class F>
bool scan_text_released(PyObject* text, size_t release_at, F&& scan) {
    const bool release = static_cast<size_t>(PyUnicode_GET_LENGTH(text)) >= release_at;
    return run_released(release, [&] {
        visit_text(text, [&](const auto* s, Py_ssize_t n) { scan(s, static_cast<size_t>(n)); });
    });
}

}  // namespace transmute
