// The call owner and the guarded call, with its exception frame per architecture (see
// call_guard.h).
#include "platform/call_guard.h"

#include <atomic>
#include <cstring>

#include "platform/ole.h"

namespace tk::platform {
namespace {

// The thread inside the library, 0 for none. A plain atomic needs no set-up, so it works from
// the first call whatever the order of static initialisation.
std::atomic<DWORD> g_callOwner{0};

}  // namespace

bool EnterCall() noexcept {
  DWORD none = 0;
  return g_callOwner.compare_exchange_strong(none, GetCurrentThreadId());
}

void LeaveCall() noexcept {
  DWORD self = GetCurrentThreadId();
  g_callOwner.compare_exchange_strong(self, 0);
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
