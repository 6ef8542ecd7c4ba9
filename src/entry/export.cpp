// The DLL boundary: the one exported function and the library's entry point.
#include "entry/engine.h"
#include "platform/platform.h"

namespace {
// The process-wide engine: zero at load, alive until unload. Nothing is released at unload;
// the process is going away with everything the engine could hold.
tk::Engine g_engine;
}  // namespace

// code: [in/out] command or break-out answer, then the status. comm: [in/out] the caller's
// record, borrowed for the call. Exported undecorated, ordinal 1, through tkselect.def.
extern "C" std::int32_t __stdcall TKselect(std::int32_t* code, tk::TKCOMM* comm) noexcept {
  // One call at a time in the process; a call from inside a call reaches the engine at once,
  // which refuses it.
  const tk::platform::CallLock lock;
  return g_engine.Call(code, comm);
}

// Nothing to set up or tear down per process or thread.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
