// Platform facade for Win32 + OLE Automation. See platform.h for the contract.
#include "platform/platform.h"

#include <cstdlib>
#include <limits>

namespace tk::platform {
namespace {

std::int64_t g_allocations = 0;
std::int64_t g_frees = 0;
std::int64_t g_failCountdown = 0;  // > 0: allocations left until the one that fails
const TestClock* g_testClock = nullptr;

// True when the test hook says this allocation is the one to fail.
bool InjectedFailure() noexcept {
  if (g_failCountdown <= 0) return false;
  return --g_failCountdown == 0;
}

}  // namespace

void* Alloc(std::size_t bytes) noexcept {
  if (InjectedFailure()) return nullptr;
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block != nullptr) ++g_allocations;
  return block;
}

void* AllocZeroed(std::size_t count, std::size_t size) noexcept {
  if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return nullptr;
  if (InjectedFailure()) return nullptr;
  void* block = std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
  if (block != nullptr) ++g_allocations;
  return block;
}

void Free(void* block) noexcept {
  if (block == nullptr) return;
  ++g_frees;
  std::free(block);
}

HeapCounters Counters() noexcept { return HeapCounters{g_allocations, g_frees}; }

void FailAllocationAt(std::int64_t nth) noexcept { g_failCountdown = nth > 0 ? nth : 0; }

bool ReplaceText(VARIANT& field, const wchar_t* text) noexcept {
  if (field.vt == VT_BSTR && field.bstrVal != nullptr) {
    // Reuse the caller's buffer; on failure SysReAllocString leaves it untouched.
    return SysReAllocString(&field.bstrVal, text) != FALSE;
  }
  if (field.vt != VT_BSTR && field.vt != VT_EMPTY) {
    // A number, an object, an array...: release it properly instead of taking its value
    // bits for a string pointer. A clear that fails (a locked array) leaves the caller's
    // block alone; the field is reused all the same.
    VariantClear(&field);
  }
  BSTR fresh = SysAllocString(text);
  if (fresh == nullptr) {
    if (field.vt != VT_BSTR) field.vt = VT_EMPTY;
    return false;
  }
  field.vt = VT_BSTR;
  field.bstrVal = fresh;
  return true;
}

double LocalNowOleDate() noexcept {
  if (g_testClock != nullptr) return g_testClock->oleNow;
  SYSTEMTIME now;
  GetLocalTime(&now);
  double date = 0.0;
  if (!SystemTimeToVariantTime(&now, &date)) return 0.0;
  return date;
}

int OleDateYear(double oleDate) noexcept {
  SYSTEMTIME st;
  if (!VariantTimeToSystemTime(oleDate, &st)) return -1;
  return st.wYear;
}

std::uint32_t TickCount() noexcept {
  if (g_testClock != nullptr) return g_testClock->ticks;
  return GetTickCount();
}

void SetTestClock(const TestClock* clock) noexcept { g_testClock = clock; }

}  // namespace tk::platform
