// The counted C heap and the fault-injection hook (see heap.h).
#include "platform/heap.h"

#include <atomic>
#include <cstdlib>
#include <limits>

#include "platform/heap_internal.h"

namespace tk::platform {

AtomicCounters g_counters;

#ifdef TK_FAULT_INJECTION
namespace {

// > 0: allocations left until the one that fails. Atomic, as a column's sort keys may be made on
// two threads: exactly one allocation fails, on whichever thread takes the last count.
std::atomic<std::int64_t> g_failCountdown{0};

}  // namespace

// True when the test hook says this allocation is the one to fail.
bool InjectedFailure() noexcept {
  if (g_failCountdown.load() <= 0) return false;
  return g_failCountdown.fetch_sub(1) == 1;
}
#endif

void* Alloc(std::size_t bytes) noexcept {
  if (InjectedFailure()) return nullptr;
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block != nullptr) ++g_counters.allocations;
  return block;
}

void* AllocZeroed(std::size_t count, std::size_t size) noexcept {
  if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return nullptr;
  if (InjectedFailure()) return nullptr;
  void* block = std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
  if (block != nullptr) ++g_counters.allocations;
  return block;
}

void Free(void* block) noexcept {
  if (block == nullptr) return;
  ++g_counters.frees;
  std::free(block);
}

HeapCounters Counters() noexcept {
  return HeapCounters{g_counters.allocations.load(), g_counters.frees.load(),
                      g_counters.arraysCreated.load(), g_counters.arraysDestroyed.load(),
                      g_counters.strings.load()};
}

#ifdef TK_FAULT_INJECTION
void FailAllocationAt(std::int64_t nth) noexcept {
  g_failCountdown = nth > 0 ? nth : 0;
}
#endif

}  // namespace tk::platform
