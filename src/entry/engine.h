// The engine: the state that lives between calls of TKselect, and the call itself.
//
// TKselect forwards every call to Engine::Call on one process-wide instance; tests build
// their own Engine objects, so each starts from the just-loaded state (all zero, idle).
//
// A call reads the code once and tests it in a fixed order: 100 SELECT, 832 BENCHMARK,
// 103 EXPORT, 102 MOVE, 101 SORTINDEX, 107 ABOUT, 104 RESET. Any other value is the
// caller's answer to the last break-out and resumes the step that ResumeState names. Every
// step returns how it ended (protocol/step.h), and the run loop (Run) ends the call through
// Finish, the one place that writes the code, in one of two ways:
//   ended      the common ending: ResumeState 0, the status in the code, LastError and the
//              Status text written; return 0 (2 for SORTINDEX, ABOUT and the first
//              benchmark phase, 3 for RESET);
//   handed out a break-out: code 3 or 201-204, ResumeState 4 or 8, return 1, no text.
// A decided step is no ending: the loop goes on at the continuation ResumeState names, and
// hands it the value the step carries (a comparison's result, a complete sort's status).
// A call without a record is refused before any of this (703): nothing can be written. A
// call made while a call is inside (the caller's code, run by a Range or an object, calling
// back) is refused with 712 and touches nothing but its own code and record, and never the
// record of the call inside (docs/protocol.md says what a refusal leaves where).
//
// No continuation calls the next one: a step that has finished sets ResumeState and
// returns to the run loop, which switches on it (Continue). A sort of a million rows runs
// in a flat loop, whatever the number of comparisons.
//
// The Engine composes the state groups and owns nothing else but ResumeState, the run
// loop's own. Each group lives with the module that writes it and has a Clear that its
// start and RESET use; where one operation's end concerns another group (the sort ending a
// SELECT, a benchmark check failing), the continuation handlers here make the call.
#pragma once

#include <cstdint>

#include "apply/benchmark.h"
#include "apply/copy_step.h"
#include "apply/export.h"
#include "apply/move.h"
#include "input/selection.h"
#include "protocol/codes.h"
#include "protocol/continuation.h"
#include "protocol/record.h"
#include "protocol/status.h"
#include "protocol/step.h"
#include "sort/compare.h"
#include "sort/quicksort.h"

namespace tk {

class Engine {
 public:
  // One call of TKselect. [in/out] code: command or break-out answer, then the status.
  // [in/out] comm: the caller's record, borrowed for this call only.
  std::int32_t Call(std::int32_t* code, TKCOMM* comm) noexcept;

  // The call inside was left without ending: a structured exception raised in the caller's
  // code (a Range method, a release) unwound it to a handler of the host's. Nothing of it
  // is finished: the operation it ran or resumed is dropped as a command drops a suspended
  // one, an unfinished sort's order with it (MOVE, EXPORT and SORTINDEX then answer 707),
  // and the next call is served as usual. The record is not touched: the host has the
  // exception to tell what happened.
  void Abandon() noexcept;

  // Public so that tests can look at what a caller cannot see.
  Continuation ResumeState = Continuation::Idle;  // where the next resume goes on
  Selection selection;                            // input/selection.h
  SortState sort;                                 // sort/quicksort.h
  CompareState compare;                           // sort/compare.h
  CopyStep copy;                                  // apply/copy_step.h
  MoveState move;                                 // apply/move.h
  ExportState exporting;                          // apply/export.h
  BenchmarkState bench;                           // apply/benchmark.h

 private:
  // What SELECT does once the selection is built.
  enum class AfterSetUp { Sort, Fill };

  // `received`: the caller's code as the call brought it.
  Step Dispatch(Context& ctx, std::int32_t received) noexcept;
  Step Select(Context& ctx, AfterSetUp then) noexcept;
  // SELECT ending in the benchmark's fill; a fill that does not happen ends the run.
  Step SelectAndFill(Context& ctx) noexcept;
  Step Benchmark(Context& ctx) noexcept;
  Step Export(Context& ctx) noexcept;
  Step Move(Context& ctx) noexcept;
  Step Reset(Context& ctx) noexcept;

  // The run loop: goes on while steps are decided, then ends the call (Finish). [out] code:
  // the caller's code.
  std::int32_t Run(Context& ctx, Step step, std::int32_t& code) noexcept;
  // One step at the continuation ResumeState names, given the decided step before it. The
  // arrays that continuation points into (kHeldArrays) are checked first, once.
  Step Continue(Context& ctx, Step decided) noexcept;
  // True when every array the continuation `at` points into is still the one SELECT
  // validated.
  bool HeldArraysUnchanged(const TKCOMM& comm, Continuation at) const noexcept;
  // The call's ending and the one write of the caller's code: a break-out's status, or the
  // common ending (ResumeState 0, the status, LastError and Status). Returns the call's value.
  std::int32_t Finish(Context& ctx, Step last, std::int32_t& code) noexcept;

  bool inCall_ = false;       // a call is inside: another one now comes from within it (712)
  TKCOMM* inside_ = nullptr;  // the record of the call inside, which no refusal writes into
};

// The answer to a call that may not come in now (712), written into its code and into `comm`
// when given: a call from within a call, or one from another thread while a call is inside.
// The refusing side passes no record where the call inside works on it. Returns kReturnEnded.
std::int32_t RefuseCall(std::int32_t* code, TKCOMM* comm) noexcept;

}  // namespace tk
