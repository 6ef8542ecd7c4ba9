// Work on a second thread (see threads.h).
#include "platform/threads.h"

#include "platform/ole.h"

namespace tk::platform {
namespace {

DWORD WINAPI RunWork(LPVOID parameter) {
  const auto* work = static_cast<const WorkBeside::Work*>(parameter);
  work->run(work->argument);
  return 0;
}

}  // namespace

bool WorkBeside::Start(void (*run)(void*), void* argument) noexcept {
  Join();
  work_ = Work{run, argument};
  // The process's default stack: the work sorts, with recursion bounded by about 2 log2(n)
  // frames (std::sort) or none (the engine's sort keeps its own stack).
  thread_ = CreateThread(nullptr, 0, RunWork, &work_, 0, nullptr);
  return thread_ != nullptr;
}

void WorkBeside::Join() noexcept {
  if (thread_ == nullptr) return;
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  thread_ = nullptr;
}

void RunBoth(void (*first)(void*), void* firstArgument, void (*second)(void*),
             void* secondArgument) noexcept {
  WorkBeside beside;
  if (!beside.Start(first, firstArgument)) first(firstArgument);
  second(secondArgument);
  beside.Join();
}

}  // namespace tk::platform
