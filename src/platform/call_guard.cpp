// The call owner and the guarded call, with its exception frame per architecture (see
// call_guard.h).
#include "platform/call_guard.h"

#include <atomic>
#include <cstring>

#include "platform/call_internal.h"
#include "platform/heap.h"
#include "platform/ole.h"

namespace tk::platform {
namespace {

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

}  // namespace

// Notes an item the call inside holds (see call_internal.h).
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

}  // namespace tk::platform
