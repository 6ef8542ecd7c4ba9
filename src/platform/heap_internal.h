// Inside src/platform only: the counters behind Counters() and the fault-injection hook, which
// every family that allocates (the heap, strings, arrays) consults before it allocates and
// counts what it made.
#pragma once

#include <atomic>
#include <cstdint>

namespace tk::platform {

// Atomic: a call refused because another thread is inside still writes its status text.
struct AtomicCounters {
  std::atomic<std::int64_t> allocations{0};
  std::atomic<std::int64_t> frees{0};
  std::atomic<std::int64_t> arraysCreated{0};
  std::atomic<std::int64_t> arraysDestroyed{0};
  std::atomic<std::int64_t> strings{0};
};
extern AtomicCounters g_counters;

#ifdef TK_FAULT_INJECTION
// True when the test hook says this allocation is the one to fail.
bool InjectedFailure() noexcept;
#else
constexpr bool InjectedFailure() noexcept {
  return false;
}
#endif

}  // namespace tk::platform
