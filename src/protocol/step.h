// How a step of an operation ended, and what every step is handed.
//
// An operation (SELECT's sort, MOVE, EXPORT, the benchmark's phases) is a series of steps.
// Each step receives the call's Context, the caller's record, the code argument and
// ResumeState, rather than reaching for them itself, and returns a Step that says how it
// ended:
//   Decided    the step is done inside the engine and the call goes on at the continuation
//              ResumeState names (a comparison leaves its result in the code);
//   HandedOut  a break-out: the record names the rows and column, the code holds the
//              break-out status, ResumeState the step that waits; the call returns 1;
//   Ended      the operation is over, with a status and the value the call returns.
// The run loop (entry/engine.cpp) is the only place that turns Ended into the common ending.
//
// HandOut is the one way to give a step to the caller, for comparisons and copies alike.
#pragma once

#include <cstdint>

#include "protocol/codes.h"
#include "protocol/continuation.h"
#include "protocol/record.h"
#include "protocol/status.h"

namespace tk {

// The call in progress. All three are borrowed for the call only.
struct Context {
  TKCOMM& comm;          // the caller's record
  std::int32_t& code;    // in: command or answer; out: status, break-out or comparison result
  std::int32_t& resume;  // ResumeState: the continuation the call goes on at

  void GoOnAt(Continuation at) noexcept { resume = ToCode(at); }
};

class [[nodiscard]] Step {
 public:
  static constexpr Step Decided() noexcept { return Step(Way::Decided, Status::Success, {}); }
  static constexpr Step HandedOut() noexcept {
    return Step(Way::HandedOut, Status::Success, kReturnBreakOut);
  }
  static constexpr Step Ended(Status status, CallReturn returned = kReturnEnded) noexcept {
    return Step(Way::Ended, status, returned);
  }

  constexpr bool decided() const noexcept { return way_ == Way::Decided; }
  constexpr bool handedOut() const noexcept { return way_ == Way::HandedOut; }
  constexpr bool ended() const noexcept { return way_ == Way::Ended; }
  // Ended only: the status and the value the call returns.
  constexpr Status status() const noexcept { return status_; }
  constexpr CallReturn returned() const noexcept { return static_cast<CallReturn>(returned_); }

 private:
  enum class Way : std::uint8_t { Decided, HandedOut, Ended };
  constexpr Step(Way way, Status status, CallReturn returned) noexcept
      : status_(status), way_(way), returned_(static_cast<std::uint8_t>(returned)) {}

  Status status_;
  Way way_;
  std::uint8_t returned_;
};

// Hands one step to the caller: `rowA`, `rowB` and `column` into BrkRowA, BrkRowB and
// BrkColumn, `breakOut` (3, 201-204) into the code, and `waiting` (CompareBreakOut or
// CopyBreakOut) into ResumeState, so that the caller's answer comes back to that step.
inline Step HandOut(Context& ctx, Status breakOut, Continuation waiting, std::int32_t rowA,
                    std::int32_t rowB, std::int32_t column) noexcept {
  ctx.comm.BrkRowA = rowA;
  ctx.comm.BrkRowB = rowB;
  ctx.comm.BrkColumn = column;
  ctx.code = ToCode(breakOut);
  ctx.GoOnAt(waiting);
  return Step::HandedOut();
}

// Zeroes the five break-out fields: nothing is left for the caller to do.
inline void ClearBreakOut(TKCOMM& comm) noexcept {
  comm.BrkRowA = 0;
  comm.BrkRowB = 0;
  comm.BrkColumn = 0;
  comm.BrkDestRow = 0;
  comm.BrkDestColumn = 0;
}

}  // namespace tk
