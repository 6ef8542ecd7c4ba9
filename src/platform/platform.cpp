// Platform facade for Win32 + OLE Automation. See platform.h for the contract.
#include "platform/platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

namespace tk::platform {
namespace {

// Atomic: a call refused because another thread is inside still writes its status text.
struct AtomicCounters {
  std::atomic<std::int64_t> allocations{0};
  std::atomic<std::int64_t> frees{0};
  std::atomic<std::int64_t> arraysCreated{0};
  std::atomic<std::int64_t> arraysDestroyed{0};
  std::atomic<std::int64_t> strings{0};
};
AtomicCounters g_counters;

// The thread inside the library, 0 for none, and the record its call works on. Plain atomics
// need no set-up, so they work from the first call whatever the order of static
// initialisation. All of the gate's atomics are sequentially consistent: a call that gets in
// publishes its record and then looks at the refusals' records, a refusal publishes its record
// and then looks at the call's; of two that cross, at least one sees the other.
std::atomic<DWORD> g_callOwner{0};
std::atomic<const void*> g_callRecord{nullptr};

// The records refused calls are writing their 712 into. Refusals that find every slot taken
// write their code alone: four are more than threads that call at once in practice.
constexpr int kRefusalSlots = 4;
std::atomic<const void*> g_refusalWrites[kRefusalSlots] = {};

// What the call inside holds (HoldReference, the argument block of InvokeByName). A call holds
// at most two at once (a Range's reference, and the block of the call on it: nested calls are
// refused), so eight leave room; one that does not fit is simply not noted.
struct HeldItem {
  IDispatch* reference;  // a reference to release, or nullptr
  void* block;           // a block to free, or nullptr
};
constexpr int kHeldCapacity = 8;
HeldItem g_held[kHeldCapacity] = {};
int g_heldCount = 0;

void Note(IDispatch* reference, void* block) noexcept {
  if (g_heldCount < kHeldCapacity) g_held[g_heldCount++] = HeldItem{reference, block};
}

// Crosses off the last note of `reference` or `block`.
void CrossOff(const void* item) noexcept {
  for (int i = g_heldCount - 1; i >= 0; --i) {
    if (g_held[i].reference == item || g_held[i].block == item) {
      for (int j = i; j + 1 < g_heldCount; ++j) g_held[j] = g_held[j + 1];
      --g_heldCount;
      return;
    }
  }
}
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
  return HeapCounters{g_counters.allocations.load(), g_counters.frees.load(),
                      g_counters.arraysCreated.load(), g_counters.arraysDestroyed.load(),
                      g_counters.strings.load()};
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
  // A number, an object, an array...: released properly instead of its value bits being
  // taken for a string pointer, and only once the field no longer holds it. A clear that
  // fails (a locked array) leaves the caller's block alone; the field is reused all the same.
  // (An empty field's value bits, or a null string, release nothing.)
  BSTR fresh = AllocString(text);
  if (fresh == nullptr) {
    if (field.vt != VT_BSTR) ReleaseField(field);
    return false;
  }
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = fresh;
  PutCell(&field, value);
  return true;
}

void ReleaseField(VARIANT& field) noexcept {
  VARIANT old = field;
  VariantInit(&field);
  VariantClear(&old);
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

namespace {

// The system locale's name for the functions that take one (the name of the default system
// locale itself is refused by some systems), read once; empty when there is none, and then
// the functions that take a locale number are used with the system locale's.
struct SystemLocale {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  SystemLocale() noexcept {
    if (LCIDToLocaleName(GetSystemDefaultLCID(), name, LOCALE_NAME_MAX_LENGTH, 0) <= 0) {
      name[0] = L'\0';
    }
  }
};

const wchar_t* SystemLocaleName() noexcept {
  static const SystemLocale locale;
  return locale.name[0] != L'\0' ? locale.name : nullptr;
}

int MapString(DWORD flags, const wchar_t* text, int count, LPWSTR out, int capacity) noexcept {
  const wchar_t* name = SystemLocaleName();
  if (name != nullptr) {
    return LCMapStringEx(name, flags, text, count, out, capacity, nullptr, nullptr, 0);
  }
  return LCMapStringW(LOCALE_SYSTEM_DEFAULT, flags, text, count, out, capacity);
}

}  // namespace

std::uint32_t TextSortKey(const wchar_t* text, std::uint32_t length, std::uint32_t flags,
                          unsigned char* key, std::uint32_t capacity,
                          std::uint32_t& needed) noexcept {
  needed = 0;
  if (length == 0 || length > 0x7FFFFFFFu) return 0;
  const DWORD mapFlags = LCMAP_SORTKEY | flags;
  const int count = static_cast<int>(length);
  const int cap = capacity > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(capacity);
  // With LCMAP_SORTKEY the destination is a byte buffer passed as a wide pointer, and the
  // sizes are in bytes.
  if (cap > 0) {
    const int written = MapString(mapFlags, text, count, reinterpret_cast<LPWSTR>(key), cap);
    if (written > 0) return needed = static_cast<std::uint32_t>(written);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return 0;
  }
  const int size = MapString(mapFlags, text, count, nullptr, 0);
  needed = size > 0 ? static_cast<std::uint32_t>(size) : 0u;
  return 0;
}

HRESULT CompareTexts(BSTR a, BSTR b, std::uint32_t flags) noexcept {
  const UINT lengthA = a != nullptr ? SysStringLen(a) : 0u;
  const UINT lengthB = b != nullptr ? SysStringLen(b) : 0u;
  const bool blankA = lengthA == 0 || a[0] == L'\0';
  const bool blankB = lengthB == 0 || b[0] == L'\0';
  if (blankA != blankB) return blankA ? VARCMP_LT : VARCMP_GT;
  if (lengthA == 0 || lengthB == 0) {
    return lengthA == lengthB ? VARCMP_EQ : (lengthA < lengthB ? VARCMP_LT : VARCMP_GT);
  }
  if (lengthA > 0x7FFFFFFFu || lengthB > 0x7FFFFFFFu) return E_INVALIDARG;
  const int countA = static_cast<int>(lengthA);
  const int countB = static_cast<int>(lengthB);
  const wchar_t* name = SystemLocaleName();
  const int order = name != nullptr
                        ? CompareStringEx(name, flags, a, countA, b, countB, nullptr, nullptr, 0)
                        : CompareStringW(LOCALE_SYSTEM_DEFAULT, flags, a, countA, b, countB);
  if (order == 0) {
    // A failure must never read as an order: VARCMP_LT is 0.
    const DWORD error = GetLastError();
    return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
  }
  return static_cast<HRESULT>(order - CSTR_LESS_THAN);
}

bool TextAsNumber(BSTR text, double& value) noexcept {
  return text != nullptr && SUCCEEDED(VarR8FromStr(text, LOCALE_SYSTEM_DEFAULT, 0, &value));
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

char* ToAnsiText(const wchar_t* text, std::size_t length) noexcept {
  if (text == nullptr) return nullptr;
  const std::size_t characters = wcsnlen(text, length);
  if (characters > 0x7FFFFFFEu) return nullptr;
  const int count = static_cast<int>(characters);
  const int bytes =
      count == 0 ? 0 : WideCharToMultiByte(CP_ACP, 0, text, count, nullptr, 0, nullptr, nullptr);
  if (bytes < 0 || (count > 0 && bytes == 0)) return nullptr;
  auto* narrow = static_cast<char*>(Alloc(static_cast<std::size_t>(bytes) + 1));
  if (narrow == nullptr) return nullptr;
  if (count > 0 &&
      WideCharToMultiByte(CP_ACP, 0, text, count, narrow, bytes, nullptr, nullptr) != bytes) {
    Free(narrow);
    return nullptr;
  }
  narrow[bytes] = '\0';
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
  Note(nullptr, reversed);  // Invoke runs the caller's code, which may never come back
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
  CrossOff(reversed);
  Free(reversed);  // shallow copies: the caller's VARIANTs stay the caller's
  return hr;
}

namespace {

// True when the thread `id` has ended (or no longer exists). A thread that cannot be looked
// at for another reason counts as alive: taking a live call's place would be far worse than
// refusing.
bool ThreadGone(DWORD id) noexcept {
  const HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
  if (thread == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  const bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return ended;
}

}  // namespace

bool EnterCall(const void* record, void (*dropGoneCall)()) noexcept {
  const DWORD self = GetCurrentThreadId();
  DWORD owner = 0;
  if (!g_callOwner.compare_exchange_strong(owner, self)) {
    // The owner's thread may have ended inside its call: then nothing will ever give the
    // library back but the one who notices. Of several that notice, one takes it over.
    if (owner == self || !ThreadGone(owner) || !g_callOwner.compare_exchange_strong(owner, self)) {
      return false;
    }
    g_callRecord.store(nullptr);
    dropGoneCall();
  }
  g_callRecord.store(record);
  if (record != nullptr) {
    for (const auto& slot : g_refusalWrites) {
      if (slot.load() == record) {
        // A refused call is writing into this very record: it is not this call's yet.
        g_callRecord.store(nullptr);
        g_callOwner.store(0);
        return false;
      }
    }
  }
  return true;
}

void LeaveCall() noexcept {
  if (!OwnsCall()) return;
  g_callRecord.store(nullptr);
  g_callOwner.store(0);
}

bool OwnsCall() noexcept {
  return g_callOwner.load() == GetCurrentThreadId();
}

bool BeginRefusalWrite(const void* record, int& slot) noexcept {
  slot = -1;
  if (record == nullptr) return false;
  for (int i = 0; i < kRefusalSlots && slot < 0; ++i) {
    const void* none = nullptr;
    if (g_refusalWrites[i].compare_exchange_strong(none, record)) slot = i;
  }
  if (slot < 0) return false;
  // A call that enters with `record` after this look sees the claim and backs off (EnterCall).
  bool free = g_callRecord.load() != record;
  for (int i = 0; i < kRefusalSlots && free; ++i) {
    free = i == slot || g_refusalWrites[i].load() != record;
  }
  if (!free) {
    EndRefusalWrite(slot);
    slot = -1;
  }
  return free;
}

void EndRefusalWrite(int slot) noexcept {
  if (slot >= 0 && slot < kRefusalSlots) g_refusalWrites[slot].store(nullptr);
}

void HoldReference(IDispatch* object) noexcept {
  object->AddRef();
  Note(object, nullptr);
}

void DropReference(IDispatch* object) noexcept {
  CrossOff(object);
  object->Release();
}

void GiveBackHeld() noexcept {
  // Crossed off before it is given back: a release that runs the caller's code, and an
  // exception raised there, must not find it again.
  while (g_heldCount > 0) {
    const HeldItem item = g_held[--g_heldCount];
    if (item.reference != nullptr) item.reference->Release();
    Free(item.block);
  }
}

// RunGuarded: a frame of our own on the system's exception chain, whose handler runs
// onUnwind when an unwind passes it and otherwise lets every exception go on its way.
#if defined(__x86_64__)
// 64-bit unwinding is table-based: the frame is a small function whose unwind data names
// the handler, with @unwind only, so the system calls it while unwinding and never asks it
// to handle anything. The frame keeps onUnwind and its context below its saved frame
// pointer, which is what the system hands the handler as the establisher frame.
extern "C" EXCEPTION_DISPOSITION tk_platform_unwind_handler(EXCEPTION_RECORD* record, void* frame,
                                                            CONTEXT*, void*) noexcept {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
    auto* base = static_cast<char*>(frame);
    UnwindHandler onUnwind = nullptr;
    void* context = nullptr;
    std::memcpy(&onUnwind, base - 16, sizeof onUnwind);
    std::memcpy(&context, base - 8, sizeof context);
    onUnwind(context);
  }
  return ExceptionContinueSearch;
}

extern "C" std::int32_t tk_platform_guarded_call(GuardedBody body, void* context,
                                                 UnwindHandler onUnwind) noexcept;
// rcx body, rdx context, r8 onUnwind; 48 bytes below the saved rbp: the two words above
// and the 32-byte home area of the call, keeping the stack 16-byte aligned.
asm(R"(
  .text
  .def tk_platform_guarded_call; .scl 3; .type 32; .endef
  .seh_proc tk_platform_guarded_call
tk_platform_guarded_call:
  pushq %rbp
  .seh_pushreg %rbp
  movq %rsp, %rbp
  .seh_setframe %rbp, 0
  subq $48, %rsp
  .seh_stackalloc 48
  .seh_endprologue
  .seh_handler tk_platform_unwind_handler, @unwind
  movq %rdx, -8(%rbp)
  movq %r8, -16(%rbp)
  movq %rcx, %rax
  movq %rdx, %rcx
  call *%rax
  nop
  movq %rbp, %rsp
  popq %rbp
  ret
  .seh_endproc
)");

std::int32_t RunGuarded(GuardedBody body, UnwindHandler onUnwind, void* context) noexcept {
  return tk_platform_guarded_call(body, context, onUnwind);
}
#elif defined(__i386__)
// 32-bit exceptions go down a chain of records on the stack that starts at fs:[0]. The record
// is ours for the length of the body; the system calls its handler for every exception
// that passes (nothing to do) and once more when it unwinds the stack past it.
struct GuardRecord {
  GuardRecord* next;  // the chain's layout: the next record, then the handler
  void* handler;
  UnwindHandler onUnwind;
  void* context;
};

extern "C" EXCEPTION_DISPOSITION __cdecl tk_platform_unwind_handler(EXCEPTION_RECORD* record,
                                                                    void* frame, CONTEXT*,
                                                                    void*) noexcept {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
    const auto* guard = static_cast<const GuardRecord*>(frame);
    guard->onUnwind(guard->context);
  }
  return ExceptionContinueSearch;
}

std::int32_t RunGuarded(GuardedBody body, UnwindHandler onUnwind, void* context) noexcept {
  volatile GuardRecord guard;
  GuardRecord* next = nullptr;
  asm volatile("movl %%fs:0, %0" : "=r"(next) : : "memory");
  guard.next = next;
  guard.handler = reinterpret_cast<void*>(&tk_platform_unwind_handler);
  guard.onUnwind = onUnwind;
  guard.context = context;
  asm volatile("movl %0, %%fs:0" : : "r"(&guard) : "memory");
  const std::int32_t returned = body(context);
  asm volatile("movl %0, %%fs:0" : : "r"(next) : "memory");
  return returned;
}
#else
#error "RunGuarded needs the exception frame of this architecture"
#endif

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
