// Platform facade: what the engine needs from Windows and OLE Automation.
//
// Offered:
//   heap      Alloc / AllocZeroed / Free: the C heap, counted, so that tests can see
//             leaks and make the k-th allocation fail (FailAllocationAt).
//   strings   ReplaceText: store a text in a caller's string VARIANT (Banner, Status),
//             reusing its BSTR where it holds one.
//   time      LocalNowOleDate, OleDateYear, TickCount; a test clock can replace the
//             real one (SetTestClock) so that time windows are tested without sleeping.
//
// Nothing here keeps state besides the counters and the test hooks, which the DLL never
// sets. All functions are noexcept: failure is a return value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ole.h"

namespace tk::platform {

// ---- heap -------------------------------------------------------------------------------

// Uninitialised block, or nullptr (also when a test made this allocation fail).
void* Alloc(std::size_t bytes) noexcept;
// Zero-filled block of count * size bytes, or nullptr (also on overflow of the product).
void* AllocZeroed(std::size_t count, std::size_t size) noexcept;
// Frees a block from Alloc/AllocZeroed; nullptr is ignored.
void Free(void* block) noexcept;

struct HeapCounters {
  std::int64_t allocations;  // successful Alloc/AllocZeroed calls since load
  std::int64_t frees;        // Free calls with a non-null block
};
HeapCounters Counters() noexcept;

// Test hook: the nth allocation from now (1 = the next one) fails; 0 switches it off.
void FailAllocationAt(std::int64_t nth) noexcept;

// ---- strings ------------------------------------------------------------------------------

// Makes `field` a VT_BSTR holding `text`.
// [in/out] field: caller-owned. A VT_BSTR is reallocated in place (its buffer reused);
//   VT_EMPTY gets a new string whatever its value bits hold; any other content is
//   cleared first, so a stray number or object reference is never taken for a string.
// Returns false when memory is short; the field then holds what it held, or, where it
//   held something other than a string, VT_EMPTY.
bool ReplaceText(VARIANT& field, const wchar_t* text) noexcept;

// ---- time ---------------------------------------------------------------------------------

// Current local date and time as an OLE Automation date (days since 1899-12-30).
double LocalNowOleDate() noexcept;
// Calendar year of an OLE Automation date, or -1 when it is not a valid date.
int OleDateYear(double oleDate) noexcept;
// Milliseconds since system start (wraps after 49.7 days, as GetTickCount does).
std::uint32_t TickCount() noexcept;

// Test clock: while set, LocalNowOleDate and TickCount answer from it.
struct TestClock {
  double oleNow;
  std::uint32_t ticks;
};
void SetTestClock(const TestClock* clock) noexcept;  // nullptr returns to the real clock

}  // namespace tk::platform
