// MOVE. See move.h.
#include "apply/move.h"

#include "input/slots.h"

namespace tk {
namespace {

enum class MoveStep : std::uint8_t {
  OuterScan,     // find the next position that is not final
  CycleStarted,  // continuation 5
  CycleStep,     // fill the cycle's current position, or close the cycle
  RowCopied,     // continuation 6
  CycleClosed,   // continuation 7
  End,           // every row in place: the flags go, the starter's continuation follows
};

// MOVE from `step` on, until it hands the call out, ends it, or every row is in place.
Step RunMove(Context& ctx, MoveState& move, CopyStep& copy, const Selection& selection,
             MoveStep step) noexcept {
  const std::uint32_t n = selection.SourceBounds.DataRows;
  const std::int32_t first = selection.SelFirstRow;
  const std::int32_t* index = selection.RowIndex.get();
  std::uint8_t* visited = move.VisitedFlags.get();
  auto rowAt = [first](std::uint32_t position) {
    return first + static_cast<std::int32_t>(position) - 1;
  };
  auto copyRow = [&](Status breakOut, std::int32_t from, std::int32_t to, Continuation then) {
    return StartCopy(ctx, copy, selection, CopyRow{breakOut, from, to, then});
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
        if (const Step s = copyRow(Status::MoveStartBreakOut, rowAt(move.RowCursor),
                                   rowAt(move.RowCursor), Continuation::MoveCycleStarted);
            !s.decided()) {
          return s;
        }
        [[fallthrough]];
      case MoveStep::CycleStarted: move.CycleCursor = move.RowCursor; [[fallthrough]];
      case MoveStep::CycleStep: {
        const std::int32_t filled = rowAt(move.CycleCursor);
        if (index[move.CycleCursor] == rowAt(move.RowCursor)) {
          // The row that belongs here is the one that started the cycle.
          if (const Step s =
                  copyRow(Status::MoveCloseBreakOut, filled, filled, Continuation::MoveCycleClosed);
              !s.decided()) {
            return s;
          }
          step = MoveStep::CycleClosed;
        } else {
          if (const Step s = copyRow(Status::MoveRowBreakOut, index[move.CycleCursor], filled,
                                     Continuation::MoveRowCopied);
              !s.decided()) {
            return s;
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
        const Continuation then = move.Then;
        move.Clear();
        ctx.GoOnAt(then);
        return Step::Decided();
      }
    }
  }
}

}  // namespace

void MoveState::Clear() noexcept {
  VisitedFlags.Release();
  RowCursor = 0;
  CycleCursor = 0;
  Then = Continuation::Idle;
}

Status MoveReady(const Selection& selection, const TKCOMM& comm) noexcept {
  if (selection.IndexValid == 0) return Status::OutOfOrder;
  if (!selection.SourceUnchanged(comm)) return Status::ArrayError;
  return Status::Success;
}

Step StartMove(Context& ctx, MoveState& move, CopyStep& copy, const Selection& selection,
               Continuation then) noexcept {
  move.Clear();
  const std::uint32_t n = selection.SourceBounds.DataRows;
  if (!move.VisitedFlags.AllocateZeroed(std::size_t{n} + 2)) return Step::Ended(Status::NoMemory);

  // Each data row exactly once, or the cycles would not close.
  const std::int32_t first = selection.SelFirstRow;
  std::uint8_t* seen = move.VisitedFlags.get();
  for (std::uint32_t p = 1; p <= n; ++p) {
    const std::int64_t position = std::int64_t{selection.RowIndex[p]} - first + 1;
    if (position < 1 || position > n || seen[position] != 0) {
      move.Clear();
      return Step::Ended(Status::IndexCorrupted);
    }
    seen[position] = 1;
  }
  for (std::uint32_t p = 0; p <= n + 1; ++p) seen[p] = 0;

  move.RowCursor = 1;
  move.Then = then;
  return RunMove(ctx, move, copy, selection, MoveStep::OuterScan);
}

Step ResumeMove(Context& ctx, MoveState& move, CopyStep& copy, const Selection& selection,
                Continuation at) noexcept {
  if (copy.CurrentOp != kMove || !move.VisitedFlags) return Step::Ended(Status::StackFailure);
  switch (at) {
    case Continuation::MoveCycleStarted:
      return RunMove(ctx, move, copy, selection, MoveStep::CycleStarted);
    case Continuation::MoveRowCopied:
      return RunMove(ctx, move, copy, selection, MoveStep::RowCopied);
    case Continuation::MoveCycleClosed:
      return RunMove(ctx, move, copy, selection, MoveStep::CycleClosed);
    default: return Step::Ended(Status::StackFailure);
  }
}

Step WriteMovedRows(Context& ctx, const Selection& selection) noexcept {
  return Step::Ended(WriteBack(ctx.comm.Source, selection.SourceFromRange));
}

}  // namespace tk
