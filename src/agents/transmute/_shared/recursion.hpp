// Bounds the C stack that re-entry can use: a host object whose method, property or __iter__
// is one of our functions (or calls one) would otherwise recurse in C until the process dies.
// Tested in tests/test_reentry.py.
#pragma once

#include "pyref.hpp"

namespace transmute {

// True when the calling thread has less C stack left than a level of re-entry may need.
bool stack_nearly_exhausted() noexcept;

// Counts one level of the interpreter's recursion depth for as long as it lives. Construction
// fails, with the host's RecursionError "maximum recursion depth exceeded" set as for a host
// function, when that depth reaches its limit or the thread's C stack is nearly used up (the
// interpreter's depth limit alone allows more levels than a thread's stack holds for ours).
class RecursionGuard {
public:
    RecursionGuard() noexcept : entered_(Py_EnterRecursiveCall("") == 0) {
        if (entered_ && stack_nearly_exhausted()) {
            Py_LeaveRecursiveCall();
            entered_ = false;
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        }
    }
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace transmute
