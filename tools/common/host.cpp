// What the host does around a call. See host.h.
//
// A frame of its own on the system's exception chain, written out because the compiler
// offers no __try: CatchFrame(body, context) calls body(context) and returns 0, or 1 when
// the handler caught kHostException. The handler first has the system unwind every frame
// below it (their unwind handlers run), then resumes CatchFrame at its landing point.
#include "common/host.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace tkr {

// The exceptions the host catches here: its own, and a stack that ran out in the caller's code.
bool CaughtByHost(DWORD code) {
  return code == kHostException || code == EXCEPTION_STACK_OVERFLOW;
}

namespace {

using Body = void (*)(void* context);

void RunFunction(void* context) {
  (*static_cast<const std::function<void()>*>(context))();
}

}  // namespace
}  // namespace tkr

extern "C" {
int tkr_catch_frame(tkr::Body body, void* context);
}

#if defined(__x86_64__)
extern "C" void tkr_catch_landing();

extern "C" EXCEPTION_DISPOSITION tkr_catch_handler(EXCEPTION_RECORD* record, void* frame,
                                                   CONTEXT* context, DISPATCHER_CONTEXT* dispatch) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      !tkr::CaughtByHost(record->ExceptionCode)) {
    return ExceptionContinueSearch;
  }
  // Unwinds to this frame and resumes at the landing point with 1 in eax; does not return.
  RtlUnwindEx(frame, reinterpret_cast<void*>(&tkr_catch_landing), record,
              reinterpret_cast<void*>(1), context, dispatch->HistoryTable);
  return ExceptionContinueSearch;
}

// rcx body, rdx context. The handler is an exception handler (@except): asked in the search.
asm(R"(
  .text
  .globl tkr_catch_frame
  .globl tkr_catch_landing
  .def tkr_catch_frame; .scl 2; .type 32; .endef
  .seh_proc tkr_catch_frame
tkr_catch_frame:
  pushq %rbp
  .seh_pushreg %rbp
  movq %rsp, %rbp
  .seh_setframe %rbp, 0
  subq $32, %rsp
  .seh_stackalloc 32
  .seh_endprologue
  .seh_handler tkr_catch_handler, @except
  movq %rcx, %rax
  movq %rdx, %rcx
  call *%rax
  xorl %eax, %eax
  jmp 1f
tkr_catch_landing:
  movl $1, %eax
1:
  movq %rbp, %rsp
  popq %rbp
  ret
  .seh_endproc
)");
#elif defined(__i386__)
// The record on the chain, followed by where to resume: the stack and frame pointer and the
// landing address, saved by tkr_catch_frame.
struct CatchRecord {
  CatchRecord* next;
  void* handler;
  DWORD esp;
  DWORD ebp;
  DWORD landing;
};

extern "C" EXCEPTION_DISPOSITION __cdecl tkr_catch_handler(EXCEPTION_RECORD* record, void* frame,
                                                           CONTEXT* context, void*) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      !tkr::CaughtByHost(record->ExceptionCode)) {
    return ExceptionContinueSearch;
  }
  // Every record below this one is unwound (their handlers run) and taken off the chain.
  RtlUnwind(frame, nullptr, record, nullptr);
  const auto* saved = static_cast<const CatchRecord*>(frame);
  context->Esp = saved->esp;
  context->Ebp = saved->ebp;
  context->Eip = saved->landing;
  context->Eax = 1;
  return ExceptionContinueExecution;
}

asm(R"(
  .text
  .globl _tkr_catch_frame
_tkr_catch_frame:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  subl $20, %esp
  movl %fs:0, %eax
  movl %eax, 0(%esp)
  movl $_tkr_catch_handler, 4(%esp)
  movl %esp, 8(%esp)
  movl %ebp, 12(%esp)
  movl $2f, 16(%esp)
  movl %esp, %fs:0
  pushl 12(%ebp)
  call *8(%ebp)
  addl $4, %esp
  xorl %eax, %eax
2:
  movl 0(%esp), %ecx
  movl %ecx, %fs:0
  addl $20, %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");
#endif

namespace tkr {

void RaiseHostException() {
  RaiseException(kHostException, 0, 0, nullptr);
}

bool CatchHostException(const std::function<void()>& body) {
  return tkr_catch_frame(RunFunction, const_cast<std::function<void()>*>(&body)) != 0;
}

OtherCall CallOnAnotherThread(TKselectFn tkselect, std::int32_t command, DWORD waitMs,
                              const std::function<void(tk::TKCOMM&)>& prepare) {
  // Shared with the thread, which may outlive this call when it does not answer in time.
  struct Shared {
    tk::TKCOMM comm{};
    std::atomic<bool> done{false};
    OtherCall call;
  };
  auto shared = std::make_shared<Shared>();
  if (prepare) prepare(shared->comm);
  std::thread other([shared, tkselect, command] {
    std::int32_t code = command;
    shared->call.returned = tkselect(&code, &shared->comm);
    shared->call.code = code;
    const VARIANT& status = shared->comm.Status;
    if (status.vt == VT_BSTR && status.bstrVal != nullptr) shared->call.status = status.bstrVal;
    ReleaseRecord(shared->comm);
    shared->done = true;
  });
  for (DWORD waited = 0; waited < waitMs && !shared->done; waited += 2) Sleep(2);
  if (!shared->done) {
    other.detach();  // it gets in once the call inside returns
    return OtherCall{};
  }
  other.join();
  shared->call.answered = true;
  return shared->call;
}

}  // namespace tkr
