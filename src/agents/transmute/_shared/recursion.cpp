// Stack headroom of the calling thread, for RecursionGuard. Tested in tests/test_reentry.py.
#include "recursion.hpp"

#include <algorithm>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace transmute {
namespace {

// Stack kept free below the deepest guarded level: a quarter of the thread's stack, at most
// 1 MiB, which leaves room to raise and unwind the RecursionError and for the host code a
// level calls between two guards.
constexpr uintptr_t kMaxMargin = uintptr_t{1} << 20;

// Lowest stack address a guarded level may start at; 0 when it cannot be known.
uintptr_t find_stack_floor() noexcept {
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* low = nullptr;
    size_t size = 0;
    const int failed = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (failed || low == nullptr || size == 0) return 0;
    return reinterpret_cast<uintptr_t>(low) + std::min<uintptr_t>(size / 4, kMaxMargin);
#else
    return 0;
#endif
}

}  // namespace

bool stack_nearly_exhausted() noexcept {
    thread_local uintptr_t floor = find_stack_floor();
    // The frame address, not a local's: AddressSanitizer may keep locals in a heap-allocated
    // fake stack. Stacks grow downwards on every platform the package builds for.
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < floor;
}

}  // namespace transmute
