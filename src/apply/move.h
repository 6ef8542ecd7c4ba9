// MOVE: the source rows rearranged in place into the order of RowIndex.
//
// Position p (1..n) is array row F + p - 1, F the first data row; RowIndex[p] names the
// row that belongs there. MOVE follows the permutation's cycles: a position already final
// (visited, or holding its own row) is passed; otherwise a cycle starts at s: the start
// row is set aside (202), each position of the cycle is filled from the row that belongs
// there (201, as many as the cycle has rows less one), and the last one gets the row set
// aside (203). Each step is a copy step over all columns (copy_step.h): the columns the
// move map marks TK_MOVEBRKO are copied by the caller, the others by the engine.
//
// Legal order: MoveReady (707 without a selection, 718 when Source.Data is no longer the
// array SELECT validated), then StartMove; ResumeMove after each copy step that was handed
// out. Continuations: 5 the cycle's first row is set aside, 6 a row has been filled, 7 the
// cycle is closed. Once every row is in place the call goes on at the continuation
// StartMove was given: the write-back (WriteMovedRows), or the benchmark's timed one.
//
// RowIndex must be a permutation of the data rows for the cycles to close: StartMove checks
// that first and refuses anything else with 711 ("Index corrupted"), so no cycle can run
// outside the rows or forever.
#pragma once

#include <cstdint>

#include "apply/copy_step.h"
#include "input/selection.h"
#include "platform/heap_block.h"
#include "protocol/step.h"

namespace tk {

struct MoveState {
  HeapArray<std::uint8_t> VisitedFlags;    // n + 2 bytes: 1 where a position is final
  std::uint32_t RowCursor = 0;             // outer scan position; the open cycle's start
  std::uint32_t CycleCursor = 0;           // the position being filled in the open cycle
  Continuation Then = Continuation::Idle;  // where the call goes on once every row is in place

  void Clear() noexcept;  // frees the flags, then zeroes; safe twice
};

// MOVE's refusals before anything is allocated: 707, 718; else 2.
Status MoveReady(const Selection& selection, const TKCOMM& comm) noexcept;

// MOVE from the first position; `then`: MoveDone or BenchmarkMoved.
Step StartMove(Context& ctx, MoveState& move, CopyStep& copy, const Selection& selection,
               Continuation then) noexcept;

// MOVE after the copy step that `at` (MoveCycleStarted, MoveRowCopied, MoveCycleClosed) names.
Step ResumeMove(Context& ctx, MoveState& move, CopyStep& copy, const Selection& selection,
                Continuation at) noexcept;

// MoveDone: the rows go back into the Source Range when they came from one. Ends with 2 or 716.
Step WriteMovedRows(Context& ctx, const Selection& selection) noexcept;

}  // namespace tk
