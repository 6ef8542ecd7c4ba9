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
// never reaches its end, so the engine drops what it was doing and the library is free again.
void CallAbandoned(void*) noexcept {
  g_engine.Abandon();
  tk::platform::LeaveCall();
}
}  // namespace

// code: [in/out] command or break-out answer, then the status. comm: [in/out] the caller's
// record, borrowed for the call. Exported undecorated, ordinal 1, through tkselect.def.
extern "C" std::int32_t __stdcall TKselect(std::int32_t* code, tk::TKCOMM* comm) noexcept {
  // A call while one is inside is refused at once, the engine untouched: from the same
  // thread it is the caller's code, run by a Range or a release, calling back; from another
  // thread, waiting for the call inside could be waiting forever (it may be running the
  // caller's code that waits for this thread).
  if (!tk::platform::EnterCall()) return tk::RefuseCall(code, comm);
  Arguments call{code, comm};
  const std::int32_t returned = tk::platform::RunGuarded(CallEngine, CallAbandoned, &call);
  tk::platform::LeaveCall();
  return returned;
}

// Nothing to set up or tear down per process or thread.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
