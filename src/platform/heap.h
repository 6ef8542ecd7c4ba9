// The engine's C heap: every block it owns comes from Alloc/AllocZeroed and goes back through
// Free, and every block, array and new string the platform makes is counted (Counters), so that
// tests see leaks. Test builds (TK_FAULT_INJECTION) can make the k-th allocation of any kind
// fail (FailAllocationAt), the arrays and strings of automation.h included.
//
// The counters are atomic: a call refused because another thread is inside still writes its
// status text. Blocks are freed where they were made, on every path (HeapArray, heap_block.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tk::platform {

// ---- heap -------------------------------------------------------------------------------

// Uninitialised block, or nullptr (also when a test made this allocation fail).
void* Alloc(std::size_t bytes) noexcept;
// Zero-filled block of count * size bytes, or nullptr (also on overflow of the product).
void* AllocZeroed(std::size_t count, std::size_t size) noexcept;
// Frees a block from Alloc/AllocZeroed; nullptr is ignored.
void Free(void* block) noexcept;

struct HeapCounters {
  std::int64_t allocations;      // successful Alloc/AllocZeroed calls since load
  std::int64_t frees;            // Free calls with a non-null block
  std::int64_t arraysCreated;    // SAFEARRAYs created through CreateVariantVector/CreateArray
  std::int64_t arraysDestroyed;  // SAFEARRAYs destroyed through DestroyArray
  std::int64_t strings;          // BSTRs allocated for the caller (texts, generated words)
};
HeapCounters Counters() noexcept;

#ifdef TK_FAULT_INJECTION
// Test hook: the nth allocation of any kind from now (1 = the next one) fails; 0 switches
// it off. Only test builds have it: the DLL cannot be made to fail on purpose.
void FailAllocationAt(std::int64_t nth) noexcept;
#endif

}  // namespace tk::platform
