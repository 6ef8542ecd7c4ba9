// What a run says on standard error as it goes. On a console, one progress line (Progress)
// shows a long run at work; everything else the run says goes past that line through Say, so
// the two never mix. When memory runs out, MemoryAdvice names the input's size, about what
// sorting it takes and what to do, from what memoryUse has noted as the run learnt it.
//
// progressLine and memoryUse are the run's one instance of each: Run starts and stops the
// line, the steps name their phase and count their rows, and main's out-of-memory ending reads
// memoryUse wherever the run stopped.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/ole.h"

namespace tkrun {

// `text` in UTF-8, the form every message is written in.
std::string Utf8(const std::wstring& text);

// Seconds from `start` to now.
double Since(std::chrono::steady_clock::time_point start);

// How long the sort takes, for its share done: the library sorts within one call and says
// nothing until it ends, so the share is its time so far against an estimate made from how
// long reading the same rows and filling the engine's table took. On tables of 500,000 rows
// (names, amounts and cities; a text key and a number, a number alone, a text alone) the
// sort took 3.2 to 6.8 times as long as that (docs/performance.md has the larger runs, where
// it is 2 to 3 times as long as reading and writing together); the estimate takes 5 times,
// grown by log2 of the rows against log2 500,000, as the sort's comparisons grow. It shows
// up to 99% until the sort ends.
constexpr double kSortPerRead = 5.0;
constexpr double kSortEstimateRows = 500000.0;

// The progress line's text for a phase: the rows done of `total` (reading), the rows in hand
// (writing), or for the sort the share `phaseSeconds` is of `estimate` (0: none made) and the
// comparisons the --compare rules answered; `seconds` since the run began.
inline std::string ProgressText(const char* what, std::uint64_t total, std::uint64_t done,
                                bool sorting, std::uint64_t breakOuts, double phaseSeconds,
                                double estimate, double seconds) {
  char line[200];
  const auto rows = static_cast<unsigned long long>(total);
  if (sorting) {
    const std::string answered = breakOuts == 0 ? ""
                                                : ", " + std::to_string(breakOuts) +
                                                      " comparisons answered by --compare rules";
    if (estimate > 0) {
      const double share = std::min(99.0, 100.0 * phaseSeconds / estimate);
      std::snprintf(line, sizeof line, "tkrun: %s %llu rows: about %.0f%%%s, %.0f s", what, rows,
                    share, answered.c_str(), seconds);
    } else {
      std::snprintf(line, sizeof line, "tkrun: %s %llu rows%s, %.0f s", what, rows,
                    answered.c_str(), seconds);
    }
  } else if (total != 0 && done != 0) {
    std::snprintf(line, sizeof line, "tkrun: %s row %llu of %llu (%.0f%%), %.0f s", what,
                  static_cast<unsigned long long>(done), rows,
                  100.0 * static_cast<double>(done) / static_cast<double>(total), seconds);
  } else if (total != 0) {
    std::snprintf(line, sizeof line, "tkrun: %s %llu rows, %.0f s", what, rows, seconds);
  } else {
    std::snprintf(line, sizeof line, "tkrun: %s, %.0f s", what, seconds);
  }
  return line;
}

// Long runs say on the console what they are doing: one line, "tkrun: sorting 2500000 rows:
// about 40%, 14 s", rewritten in place four times a second by a thread of its own, from two
// seconds into the run on (a short run shows nothing); rows are counted without the header.
// Only when standard error is a console: redirected to a file or a pipe it would be a stream
// of carriage returns. What the run says meanwhile (Say, Fail) first clears the line, so the
// two never mix.
class Progress {
 public:
  Progress() = default;
  ~Progress() { Stop(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Shows progress from now on if standard error is a console and `wanted`.
  void Start(bool wanted) {
    DWORD mode = 0;
    if (!wanted || GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) == FALSE) return;
    InitializeCriticalSection(&lock_);
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stop_ == nullptr) return;
    thread_ = CreateThread(nullptr, 0, &Progress::Loop, this, 0, nullptr);
    if (thread_ == nullptr) {
      CloseHandle(stop_);
      stop_ = nullptr;
    }
  }
  // What the run does now ("reading", "sorting", ...), of `total` rows (0: no count); with
  // `breakOuts`, the comparisons handed out so far are counted instead of rows done (the
  // engine sorts within one call).
  void Phase(const char* what, std::uint64_t total, bool breakOuts = false, double estimate = 0) {
    done_ = 0;
    total_ = total;
    counted_ = breakOuts;
    estimate_ = estimate;
    phaseStart_ = Since(started_);
    phase_ = what;
  }
  void Done(std::uint64_t done) { done_.store(done, std::memory_order_relaxed); }
  void BreakOut() { breakOuts_.fetch_add(1, std::memory_order_relaxed); }
  // Standard error gets `line` (a whole line, its end included) past the progress line.
  void Say(const std::string& line) {
    if (thread_ == nullptr) {
      std::fputs(line.c_str(), stderr);
      return;
    }
    EnterCriticalSection(&lock_);
    Clear();
    std::fputs(line.c_str(), stderr);
    LeaveCriticalSection(&lock_);
  }
  // No more progress: the thread ends and the line is cleared.
  void Stop() {
    if (thread_ == nullptr) return;
    SetEvent(stop_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(stop_);
    thread_ = stop_ = nullptr;
    Clear();
    DeleteCriticalSection(&lock_);
  }

 private:
  static DWORD WINAPI Loop(void* self) {
    auto* p = static_cast<Progress*>(self);
    while (WaitForSingleObject(p->stop_, 250) == WAIT_TIMEOUT) {
      const double seconds = Since(p->started_);
      if (seconds < 2.0) continue;
      const std::string line =
          ProgressText(p->phase_, p->total_, p->done_, p->counted_, p->breakOuts_.load(),
                       seconds - p->phaseStart_, p->estimate_, seconds);
      EnterCriticalSection(&p->lock_);
      const std::size_t length = line.size();
      std::string shown = "\r" + line;
      if (length < p->shown_) shown += std::string(p->shown_ - length, ' ');
      std::fputs(shown.c_str(), stderr);
      p->shown_ = length;
      LeaveCriticalSection(&p->lock_);
    }
    return 0;
  }
  void Clear() {
    if (shown_ == 0) return;
    std::fputs(("\r" + std::string(shown_, ' ') + "\r").c_str(), stderr);
    shown_ = 0;
  }

  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::atomic<const char*> phase_{"reading"};
  std::atomic<std::uint64_t> done_{0}, total_{0}, breakOuts_{0};
  std::atomic<bool> counted_{false};
  std::atomic<double> estimate_{0}, phaseStart_{0};  // the sort's estimate; when the phase began
  std::size_t shown_ = 0;  // characters of the line on the console, under lock_
  CRITICAL_SECTION lock_{};
  HANDLE thread_ = nullptr, stop_ = nullptr;
};

// The run's progress line: everything said on standard error goes past it.
extern Progress progressLine;

// Standard error gets `line` (a whole line, its end included) past the progress line.
void Say(const std::string& line);

// What a run holds, as far as it got, for the out-of-memory message: the input's size is
// looked up by its name, the rest is noted as it becomes known.
struct MemoryUse {
  std::wstring input;
  std::uint64_t records = 0;     // of the file, once read
  std::uint64_t tableBytes = 0;  // the engine's table, once its size is known
};
extern MemoryUse memoryUse;

// Out of memory: the file's size, about what sorting it takes, and what to do; the text that
// follows "out of memory".
std::string MemoryAdvice();

}  // namespace tkrun
