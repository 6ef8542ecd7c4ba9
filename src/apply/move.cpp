// MOVE: the source rows rearranged in place into the order of RowIndex.
//
// Position p (1..n) is array row F + p - 1, F the first data row; RowIndex[p] names the
// row that belongs there. MOVE follows the permutation's cycles: a position already final
// (visited, or holding its own row) is passed; otherwise a cycle starts at s: the start
// row is set aside (202), each position of the cycle is filled from the row that belongs
// there (201, as many as the cycle has rows less one), and the last one gets the row set
// aside (203). Each step is a copy step over all columns (copy_step.cpp): the columns the
// move map marks TK_MOVEBRKO are copied by the caller, the others by the engine.
//
// Continuations: 5 the cycle's first row is set aside, 6 a row has been filled, 7 the
// cycle is closed. At the end the array is written back to its Range (716 on failure).
//
// RowIndex must be a permutation of the data rows for the cycles to close: MOVE checks
// that first and refuses anything else with 711 ("Index corrupted"), so no cycle can run
// outside the rows or forever. It also refuses (718) when Source.Data is no longer the
// array SELECT validated.
#include "entry/engine.h"
#include "platform/platform.h"

namespace tk {

enum class Engine::MoveStep : std::uint8_t {
  OuterScan,     // find the next position that is not final
  CycleStarted,  // continuation 5
  CycleStep,     // fill the cycle's current position, or close the cycle
  RowCopied,     // continuation 6
  CycleClosed,   // continuation 7
  End,           // buffers, timings, write-back
};

void MoveState::Clear() noexcept {
  VisitedFlags.Release();
  RowCursor = 0;
  CycleCursor = 0;
}

std::int32_t Engine::Move() noexcept {
  CurrentOp = kMove;
  if (selection.IndexValid == 0) return Finish(Status::OutOfOrder);
  if (!SourceUnchanged()) return Finish(Status::ArrayError);
  if (bench.BenchmarkMode == 1) bench.BenchClock = platform::TickCount();

  const std::uint32_t n = selection.SourceBounds.DataRows;
  if (!move.VisitedFlags.AllocateZeroed(std::size_t{n} + 2)) return Finish(Status::NoMemory);

  // Each data row exactly once, or the cycles would not close.
  const std::int32_t first = selection.SelFirstRow;
  std::uint8_t* seen = move.VisitedFlags.get();
  for (std::uint32_t p = 1; p <= n; ++p) {
    const std::int64_t position = std::int64_t{selection.RowIndex[p]} - first + 1;
    if (position < 1 || position > n || seen[position] != 0) {
      move.VisitedFlags.Release();
      return Finish(Status::IndexCorrupted);
    }
    seen[position] = 1;
  }
  for (std::uint32_t p = 0; p <= n + 1; ++p) seen[p] = 0;

  move.RowCursor = 1;
  return RunMove(MoveStep::OuterScan);
}

std::int32_t Engine::ResumeMove(Continuation at) noexcept {
  if (CurrentOp != kMove || !move.VisitedFlags) return Finish(Status::StackFailure);
  switch (at) {
    case Continuation::MoveCycleStarted: return RunMove(MoveStep::CycleStarted);
    case Continuation::MoveRowCopied: return RunMove(MoveStep::RowCopied);
    case Continuation::MoveCycleClosed: return RunMove(MoveStep::CycleClosed);
    default: return Finish(Status::StackFailure);
  }
}

std::int32_t Engine::RunMove(MoveStep step) noexcept {
  const std::uint32_t n = selection.SourceBounds.DataRows;
  const std::int32_t first = selection.SelFirstRow;
  const std::int32_t* index = selection.RowIndex.get();
  std::uint8_t* visited = move.VisitedFlags.get();
  auto rowAt = [first](std::uint32_t position) {
    return first + static_cast<std::int32_t>(position) - 1;
  };

  for (;;) {
    switch (step) {
      case MoveStep::OuterScan:
        while (move.RowCursor <= n &&
               (visited[move.RowCursor] != 0 || index[move.RowCursor] == rowAt(move.RowCursor))) {
          visited[move.RowCursor] = 1;
          ++move.RowCursor;
        }
        if (move.RowCursor > n) {
          step = MoveStep::End;
          break;
        }
        if (!StartCopy(ToCode(Status::MoveStartBreakOut), rowAt(move.RowCursor),
                       rowAt(move.RowCursor), Continuation::MoveCycleStarted)) {
          return pendingReturn_;
        }
        [[fallthrough]];
      case MoveStep::CycleStarted: move.CycleCursor = move.RowCursor; [[fallthrough]];
      case MoveStep::CycleStep: {
        const std::int32_t filled = rowAt(move.CycleCursor);
        if (index[move.CycleCursor] == rowAt(move.RowCursor)) {
          // The row that belongs here is the one that started the cycle.
          if (!StartCopy(ToCode(Status::MoveCloseBreakOut), filled, filled,
                         Continuation::MoveCycleClosed)) {
            return pendingReturn_;
          }
          step = MoveStep::CycleClosed;
        } else {
          if (!StartCopy(ToCode(Status::MoveRowBreakOut), index[move.CycleCursor], filled,
                         Continuation::MoveRowCopied)) {
            return pendingReturn_;
          }
          step = MoveStep::RowCopied;
        }
        break;
      }
      case MoveStep::RowCopied:
        visited[move.CycleCursor] = 1;
        move.CycleCursor = static_cast<std::uint32_t>(index[move.CycleCursor] - first + 1);
        step = MoveStep::CycleStep;
        break;
      case MoveStep::CycleClosed:
        visited[move.CycleCursor] = 1;
        ++move.RowCursor;
        step = MoveStep::OuterScan;
        break;
      case MoveStep::End: {
        move.VisitedFlags.Release();
        const bool timed = bench.BenchmarkMode == 1;
        if (timed) {
          const std::uint32_t now = platform::TickCount();
          comm_->MoveSeconds = (static_cast<double>(now) - bench.BenchClock) / 1000.0;
          bench.BenchClock = platform::TickCount();
        }
        if (!WriteBack(comm_->Source)) return Finish(Status::RangeWriteError);
        if (timed) {
          const double now = static_cast<double>(platform::TickCount());
          comm_->WriteSeconds = 2.0 * (now - bench.BenchClock) / 1000.0;
          bench.BenchClock = 0.0;
          bench.BenchmarkMode = 0;
        }
        return Finish(Status::Success);
      }
    }
  }
}

}  // namespace tk
