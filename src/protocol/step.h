// How a step of an operation ended, and what every step is handed.
//
// An operation (SELECT's sort, MOVE, EXPORT, the benchmark's phases) is a series of steps.
// Each step receives the call's Context, the caller's record and ResumeState, rather than
// reaching for them itself, and returns a Step that says how it ended:
//   Decided    the step is done inside the engine and the call goes on at the continuation
//              ResumeState names; Compared and Completed are the same with a value for the
//              step that goes on: a comparison's result, an operation's status;
//   HandedOut  a break-out: the record names the rows and column, ResumeState the step that
//              waits; the call returns 1 with the break-out status in the code;
//   Ended      the operation is over, with a status and the value the call returns.
// The caller's code is not the engine's: the run loop (entry/engine.cpp) reads it once when a
// call comes in and writes it once when the call ends (Finish), from the Step it ends with.
//
// HandOut is the one way to give a step to the caller, for comparisons and copies alike.
#pragma once

#include <cstdint>

#include "protocol/codes.h"
#include "protocol/continuation.h"
#include "protocol/record.h"
#include "protocol/status.h"

namespace tk {

// The call in progress. Both are borrowed for the call only.
struct Context {
  TKCOMM& comm;          // the caller's record
  Continuation& resume;  // ResumeState: the continuation the call goes on at

  void GoOnAt(Continuation at) noexcept { resume = at; }
};

class [[nodiscard]] Step {
 public:
  static constexpr Step Decided() noexcept { return Step(Way::Decided, 0, kReturnEnded); }
  // Decided, with the order of two rows for the sort step that asked: -1 row A first, 0 not
  // told apart, 1 row A after, anything else a comparison that failed.
  static constexpr Step Compared(std::int32_t result) noexcept {
    return Step(Way::Decided, result, kReturnEnded);
  }
  // Decided: an operation is complete with `status`, for the continuation its starter chose.
  static constexpr Step Completed(Status status) noexcept {
    return Step(Way::Decided, ToCode(status), kReturnEnded);
  }
  // A break-out: `breakOut` (3, 201-204) is what the caller's code says.
  static constexpr Step HandedOut(Status breakOut) noexcept {
    return Step(Way::HandedOut, ToCode(breakOut), kReturnBreakOut);
  }
  static constexpr Step Ended(Status status, CallReturn returned = kReturnEnded) noexcept {
    return Step(Way::Ended, ToCode(status), returned);
  }

  constexpr bool decided() const noexcept { return way_ == Way::Decided; }
  constexpr bool handedOut() const noexcept { return way_ == Way::HandedOut; }
  constexpr bool ended() const noexcept { return way_ == Way::Ended; }
  // Compared: the result.
  constexpr std::int32_t result() const noexcept { return value_; }
  // Completed, HandedOut, Ended: the status.
  constexpr Status status() const noexcept { return static_cast<Status>(value_); }
  // The value the call returns when it ends with this step.
  constexpr CallReturn returned() const noexcept { return static_cast<CallReturn>(returned_); }

 private:
  enum class Way : std::uint8_t { Decided, HandedOut, Ended };
  constexpr Step(Way way, std::int32_t value, CallReturn returned) noexcept
      : value_(value), way_(way), returned_(static_cast<std::uint8_t>(returned)) {}

  std::int32_t value_;  // a comparison's result, or a status
  Way way_;
  std::uint8_t returned_;
};

// Hands one step to the caller: `rowA`, `rowB` and `column` into BrkRowA, BrkRowB and
// BrkColumn, and `waiting` (CompareBreakOut or CopyBreakOut) into ResumeState, so that the
// caller's answer comes back to that step; `breakOut` (3, 201-204) goes into the code as
// the call ends.
inline Step HandOut(Context& ctx, Status breakOut, Continuation waiting, std::int32_t rowA,
                    std::int32_t rowB, std::int32_t column) noexcept {
  ctx.comm.BrkRowA = rowA;
  ctx.comm.BrkRowB = rowB;
  ctx.comm.BrkColumn = column;
  ctx.GoOnAt(waiting);
  return Step::HandedOut(breakOut);
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
