// Platform facade for Win32 + OLE Automation. See platform.h for the contract.
#include "platform/platform.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace tk::platform {
namespace {

HeapCounters g_counters = {};

// CallLock: a slim lock needs no set-up, so it is usable from the first call whatever the
// order of static initialisation; the owner's thread id lets that thread come back in.
SRWLOCK g_callLock = SRWLOCK_INIT;
std::atomic<DWORD> g_callOwner{0};
const TestClock* g_testClock = nullptr;

#ifdef TK_FAULT_INJECTION
std::int64_t g_failCountdown = 0;  // > 0: allocations left until the one that fails

// True when the test hook says this allocation is the one to fail.
bool InjectedFailure() noexcept {
  if (g_failCountdown <= 0) return false;
  return --g_failCountdown == 0;
}
#else
constexpr bool InjectedFailure() noexcept {
  return false;
}
#endif

}  // namespace

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
  return g_counters;
}

#ifdef TK_FAULT_INJECTION
void FailAllocationAt(std::int64_t nth) noexcept {
  g_failCountdown = nth > 0 ? nth : 0;
}
#endif

BSTR AllocString(const wchar_t* text) noexcept {
  if (InjectedFailure()) return nullptr;
  BSTR fresh = SysAllocString(text);
  if (fresh != nullptr) ++g_counters.strings;
  return fresh;
}

bool ReplaceText(VARIANT& field, const wchar_t* text) noexcept {
  if (field.vt == VT_BSTR && field.bstrVal != nullptr) {
    // Reuse the caller's buffer; on failure SysReAllocString leaves it untouched.
    if (InjectedFailure()) return false;
    return SysReAllocString(&field.bstrVal, text) != FALSE;
  }
  if (field.vt != VT_BSTR && field.vt != VT_EMPTY) {
    // A number, an object, an array...: release it properly instead of taking its value
    // bits for a string pointer. A clear that fails (a locked array) leaves the caller's
    // block alone; the field is reused all the same.
    VariantClear(&field);
  }
  BSTR fresh = AllocString(text);
  if (fresh == nullptr) {
    if (field.vt != VT_BSTR) field.vt = VT_EMPTY;
    return false;
  }
  field.vt = VT_BSTR;
  field.bstrVal = fresh;
  return true;
}

void PutCell(VARIANT* cell, const VARIANT& value) noexcept {
  VARIANT old = *cell;
  *cell = value;
  VariantClear(&old);
}

HRESULT ReplaceCell(VARIANT* dest, const VARIANT* source) noexcept {
  VARIANT copy;
  VariantInit(&copy);
  const HRESULT hr = VariantCopy(&copy, const_cast<VARIANT*>(source));
  if (FAILED(hr)) return hr;
  PutCell(dest, copy);
  return S_OK;
}

bool AsInt32(const VARIANT& cell, std::int32_t& value) noexcept {
  VARIANT converted;
  VariantInit(&converted);
  if (FAILED(VariantChangeType(&converted, const_cast<VARIANT*>(&cell), 0, VT_I4))) return false;
  value = converted.lVal;  // a VT_I4 owns nothing: no clear needed
  return true;
}

std::uint32_t TextSortKey(const wchar_t* text, std::uint32_t length, unsigned char* key,
                          std::uint32_t capacity, std::uint32_t& needed) noexcept {
  needed = 0;
  if (length == 0 || length > 0x7FFFFFFFu) return 0;
  constexpr DWORD kFlags = LCMAP_SORTKEY | NORM_IGNORECASE;
  const int count = static_cast<int>(length);
  const int cap = capacity > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(capacity);
  // With LCMAP_SORTKEY the destination is a byte buffer passed as a wide pointer, and the
  // sizes are in bytes.
  if (cap > 0) {
    const int written = LCMapStringW(LOCALE_SYSTEM_DEFAULT, kFlags, text, count,
                                     reinterpret_cast<LPWSTR>(key), cap);
    if (written > 0) return needed = static_cast<std::uint32_t>(written);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return 0;
  }
  const int size = LCMapStringW(LOCALE_SYSTEM_DEFAULT, kFlags, text, count, nullptr, 0);
  needed = size > 0 ? static_cast<std::uint32_t>(size) : 0u;
  return 0;
}

SAFEARRAY* CreateVariantVector(std::uint32_t count) noexcept {
  SAFEARRAYBOUND bound = {count, 0};
  return CreateArray(VT_VARIANT, 1, &bound);
}

SAFEARRAY* CreateArray(VARTYPE type, UINT dimensions, SAFEARRAYBOUND* bounds) noexcept {
  if (InjectedFailure()) return nullptr;
  SAFEARRAY* array = SafeArrayCreate(type, dimensions, bounds);
  if (array != nullptr) ++g_counters.arraysCreated;
  return array;
}

bool ResizeVector(SAFEARRAY* array, std::uint32_t count) noexcept {
  if (InjectedFailure()) return false;
  SAFEARRAYBOUND bound = {count, 0};
  return SUCCEEDED(SafeArrayRedim(array, &bound));
}

HRESULT DestroyArray(SAFEARRAY* array) noexcept {
  const HRESULT hr = SafeArrayDestroy(array);
  if (SUCCEEDED(hr)) ++g_counters.arraysDestroyed;
  return hr;
}

bool HoldsVariants(const SAFEARRAY& array) noexcept {
  if (array.cbElements != sizeof(VARIANT)) return false;
  if ((array.fFeatures & FADF_VARIANT) != 0) return true;
  VARTYPE type = VT_EMPTY;
  return (array.fFeatures & FADF_HAVEVARTYPE) != 0 &&
         SUCCEEDED(SafeArrayGetVartype(const_cast<SAFEARRAY*>(&array), &type)) &&
         type == VT_VARIANT;
}

char* ToAnsiText(const wchar_t* text) noexcept {
  if (text == nullptr) return nullptr;
  // -1: the text up to and including its first NUL.
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return nullptr;
  auto* narrow = static_cast<char*>(Alloc(static_cast<std::size_t>(bytes)));
  if (narrow == nullptr) return nullptr;
  if (WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, bytes, nullptr, nullptr) != bytes) {
    Free(narrow);
    return nullptr;
  }
  return narrow;
}

HRESULT InvokeByName(VARIANT* result, WORD flags, IDispatch* object, const wchar_t* member,
                     std::uint32_t argCount, const VARIANT* args) noexcept {
  if (object == nullptr) return E_POINTER;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR name = const_cast<LPOLESTR>(member);
  HRESULT hr = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;

  // IDispatch takes the arguments last first. One spare slot keeps the block non-empty.
  auto* reversed = static_cast<VARIANT*>(AllocZeroed(argCount + 1u, sizeof(VARIANT)));
  if (reversed == nullptr) return E_OUTOFMEMORY;
  for (std::uint32_t i = 0; i < argCount; ++i) reversed[argCount - 1 - i] = args[i];

  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params = {};
  params.rgvarg = reversed;
  params.cArgs = argCount;
  if ((flags & DISPATCH_PROPERTYPUT) != 0) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  EXCEPINFO exception = {};
  UINT badArgument = 0;
  hr = object->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &params, result, &exception,
                      &badArgument);
  // The exception's texts are ours to free, whether or not anyone reads them.
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  Free(reversed);  // shallow copies: the caller's VARIANTs stay the caller's
  return hr;
}

CallLock::CallLock() noexcept {
  const DWORD self = GetCurrentThreadId();
  // Only this thread can have stored its own id, so the comparison needs no lock.
  if (g_callOwner.load() == self) return;
  AcquireSRWLockExclusive(&g_callLock);
  g_callOwner.store(self);
  held_ = true;
}

CallLock::~CallLock() {
  if (!held_) return;
  g_callOwner.store(0);
  ReleaseSRWLockExclusive(&g_callLock);
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

void SeedRandom() noexcept {
  const std::int64_t seconds =
      g_testClock != nullptr ? g_testClock->calendarSeconds : _time64(nullptr);
  std::srand(static_cast<unsigned>(seconds));
}

int Random() noexcept {
  return std::rand();
}

void SetTestClock(const TestClock* clock) noexcept {
  g_testClock = clock;
}

}  // namespace tk::platform
