// The DLL boundary: the one exported function and the library's entry point.
#include "entry/engine.h"
#include "platform/platform.h"

namespace {
// The process-wide engine: zero at load, alive until unload. Nothing is released at unload;
// the process is going away with everything the engine could hold.
tk::Engine g_engine;

struct Arguments {
  std::int32_t* code;
  tk::TKCOMM* comm;
};

std::int32_t CallEngine(void* context) noexcept {
  const auto* call = static_cast<const Arguments*>(context);
  return g_engine.Call(call->code, call->comm);
}

// The caller's code raised an exception inside the call and the host caught it: the call
// never reaches its end, so the engine drops what it was doing, what the call held is given
// back, and the library is free again.
void DropCall() noexcept {
  g_engine.Abandon();
  tk::platform::GiveBackHeld();
}

void CallAbandoned(void*) noexcept {
  DropCall();
  tk::platform::LeaveCall();
}

// A refused call: 712 in its code, and in its record unless a call works on that record.
std::int32_t Refuse(std::int32_t* code, tk::TKCOMM* comm) noexcept {
  int slot = -1;
  if (!tk::platform::BeginRefusalWrite(comm, slot)) return tk::RefuseCall(code, nullptr);
  const std::int32_t returned = tk::RefuseCall(code, comm);
  tk::platform::EndRefusalWrite(slot);
  return returned;
}
}  // namespace

// code: [in/out] command or break-out answer, then the status. comm: [in/out] the caller's
// record, borrowed for the call. Exported undecorated, ordinal 1, through tkselect.def.
extern "C" std::int32_t __stdcall TKselect(std::int32_t* code, tk::TKCOMM* comm) noexcept {
  // A call while one is inside is refused at once, the engine untouched: from the same
  // thread it is the caller's code, run by a Range or a release, calling back; from another
  // thread, waiting for the call inside could be waiting forever (it may be running the
  // caller's code that waits for this thread). A call inside whose thread has ended is
  // dropped (DropCall) by the call that finds it so.
  if (!tk::platform::EnterCall(comm, DropCall)) return Refuse(code, comm);
  Arguments call{code, comm};
  const std::int32_t returned = tk::platform::RunGuarded(CallEngine, CallAbandoned, &call);
  tk::platform::LeaveCall();
  return returned;
}

// A thread that ends while its call is inside (ExitThread in the caller's code) passes here on
// its way out: its call is dropped as after an exception, and the library is free again. A
// thread terminated from outside passes nowhere; the next call notices it (EnterCall).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_THREAD_DETACH && tk::platform::OwnsCall()) CallAbandoned(nullptr);
  return TRUE;
}
