// Two pieces of work at once (see threads.h).
#include "platform/threads.h"

#include "platform/ole.h"

namespace tk::platform {
namespace {

struct Work {
  void (*run)(void*);
  void* argument;
};

DWORD WINAPI RunWork(LPVOID parameter) {
  const Work* work = static_cast<const Work*>(parameter);
  work->run(work->argument);
  return 0;
}

}  // namespace

void RunBoth(void (*first)(void*), void* firstArgument, void (*second)(void*),
             void* secondArgument) noexcept {
  Work work{first, firstArgument};
  // The default stack of the process: the work sorts with std::sort, whose recursion is
  // bounded by 2 log2(n) frames.
  const HANDLE thread = CreateThread(nullptr, 0, RunWork, &work, 0, nullptr);
  if (thread == nullptr) {
    first(firstArgument);
    second(secondArgument);
    return;
  }
  second(secondArgument);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

}  // namespace tk::platform
