// Work on a second thread, for the work of one call that splits into independent halves:
// making the sort keys of a large column's texts (RunBoth), sorting the second part of a large
// sort while the calling thread sorts the first (WorkBeside). On a machine of two cores each
// takes about half the time. The work never calls the caller's code and writes nothing the
// calling thread reads until it is done; both only read the caller's cells, which nothing
// changes while the call runs within the engine.
#pragma once

namespace tk::platform {

// One piece of work on a thread of its own: Start, then Join, which waits for it (so does the
// destructor, so that no work outlives what it reads).
class WorkBeside {
 public:
  WorkBeside() = default;
  WorkBeside(const WorkBeside&) = delete;
  WorkBeside& operator=(const WorkBeside&) = delete;
  ~WorkBeside() { Join(); }

  // Starts run(argument) on a new thread; false when no thread can be had (the system is
  // short of them, or of memory), and then nothing runs.
  bool Start(void (*run)(void*), void* argument) noexcept;
  // Waits for the work to end, if it was started; safe twice.
  void Join() noexcept;
  bool Started() const noexcept { return thread_ != nullptr; }

  // What the thread runs (for its start routine).
  struct Work {
    void (*run)(void*);
    void* argument;
  };

 private:
  void* thread_ = nullptr;  // the thread's handle while started
  Work work_{};
};

// Runs first(firstArgument) on a thread of its own and second(secondArgument) on the calling
// thread, and returns once both are done. When no thread can be started, both run here, one
// after the other: the results are the same, only later.
void RunBoth(void (*first)(void*), void* firstArgument, void (*second)(void*),
             void* secondArgument) noexcept;

}  // namespace tk::platform
