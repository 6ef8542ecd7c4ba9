// Entry and dispatch: the commands, SELECT's set-up, RESET, ABOUT, the run loop with its
// continuations, and the common ending. See engine.h for the call protocol.
#include "entry/engine.h"

#include "apply/sort_index.h"
#include "platform/platform.h"

namespace tk {

std::int32_t RefuseCall(std::int32_t* code, TKCOMM* comm) noexcept {
  if (code == nullptr) return kReturnEnded;  // nowhere to write a status
  *code = ToCode(Status::FlowError);
  if (comm != nullptr) (void)WriteStatus(*comm, *code);
  return kReturnEnded;
}

std::int32_t Engine::Call(std::int32_t* code, TKCOMM* comm) noexcept {
  if (code == nullptr) return kReturnEnded;  // nowhere to read a command or write a status
  if (inCall_) {
    // Called again from inside a call: a Range's Value get or put, or the release of an
    // object in a cell, ran the caller's code, and that code called us. Everything the outer
    // call works with (its record, its code, every state group) stays untouched; the nested
    // caller hears 712 in its own code, and in its own record unless that is the outer
    // call's, and the outer call goes on as before.
    return RefuseCall(code, comm == inside_ ? nullptr : comm);
  }
  const std::int32_t received = *code;
  if (comm == nullptr) {
    // No record to hold a text, so no Finish: the refusal is the code alone. SELECT also
    // drops a suspended operation; every other code is refused without touching anything,
    // so a stray call cannot lose the caller's place.
    if (received == kSelect) ResumeState = Continuation::Idle;
    *code = ToCode(Status::NullRecord);
    return kReturnEnded;
  }
  Context ctx{*comm, ResumeState};
  inCall_ = true;
  inside_ = comm;
  const std::int32_t returned = Run(ctx, Dispatch(ctx, received), *code);
  // Text keys and the carried first key serve one sort within one call: no call may find
  // them, for the caller can change the cells in between.
  compare.EndCall();
  inCall_ = false;
  inside_ = nullptr;
  return returned;
}

void Engine::Abandon() noexcept {
  // A sort still holds its stack until its order is complete: that order is no order.
  if (sort.SortStack) selection.DropIndex();
  bench.Clear();
  sort.Clear();
  compare.Clear();
  copy.Clear();
  move.Clear();
  exporting.Clear();
  ResumeState = Continuation::Idle;
  inCall_ = false;
  inside_ = nullptr;
}

Step Engine::Dispatch(Context& ctx, std::int32_t received) noexcept {
  // A command abandons whatever waits for the caller; a MOVE's buffer goes with it.
  if (IsCommand(received)) move.Clear();
  switch (received) {
    case kSelect:
      if (bench.FillsOnSelect(static_cast<double>(platform::TickCount()))) {
        return SelectAndFill(ctx);
      }
      return Select(ctx, AfterSetUp::Sort);
    case kBenchmark: return Benchmark(ctx);
    case kExport: return Export(ctx);
    case kMove: return Move(ctx);
    case kSortIndex:
      bench.Clear();  // SORTINDEX ends a benchmark run
      return SortIndex(ctx, selection);
    case kAbout: WriteBannerAndVersion(ctx.comm); return Step::Ended(Status::About, kReturnOutput);
    case kReset: return Reset(ctx);
    default:
      // The caller's answer to the last break-out; the step waiting for it takes it: a
      // comparison's result after a compare break-out, nothing after a copy.
      return IsResumePoint(ResumeState) ? Step::Compared(received)
                                        : Step::Ended(Status::StackFailure);
  }
}

std::int32_t Engine::Run(Context& ctx, Step step, std::int32_t& code) noexcept {
  while (step.decided()) step = Continue(ctx, step);
  return Finish(ctx, step, code);
}

std::int32_t Engine::Finish(Context& ctx, Step last, std::int32_t& code) noexcept {
  code = ToCode(last.status());
  if (last.handedOut()) return kReturnBreakOut;  // the waiting step stays in ResumeState
  ResumeState = Continuation::Idle;
  (void)WriteStatus(ctx.comm, code);  // a text that cannot be stored leaves the old one
  return last.returned();
}

Step Engine::Select(Context& ctx, AfterSetUp then) noexcept {
  TKCOMM& c = ctx.comm;
  WriteBannerAndVersion(c);
  selection.Invalidate();
  bench.SelectionReplaced();
  c.SortIndexValid = 0;
  // Zero rows make the validation give the source its default rows: all below the header.
  c.Source.FirstRow = 0;
  c.Source.LastRow = 0;

  const Status ready = SetUpSelection(selection, c);
  if (ready != Status::Success) return Step::Ended(ready);
  if (!PrepareSort(sort, selection.SourceBounds.DataRows)) return Step::Ended(Status::NoMemory);
  const Status indexed = BuildRowIndex(selection, c);
  if (indexed != Status::Success) {
    sort.Clear();
    return Step::Ended(indexed);
  }
  if (then == AfterSetUp::Fill) return FillPhase(ctx, bench, selection);
  return StartSort(ctx, sort, compare, selection, Continuation::SelectSorted);
}

Step Engine::SelectAndFill(Context& ctx) noexcept {
  const Step filled = Select(ctx, AfterSetUp::Fill);
  if (filled.status() != Status::Success) {
    // Nothing prepared a sort: the run is over, and the selection with the table it did not
    // fill (a MOVE now answers 707, a SELECT sorts).
    bench.Clear();
    selection.Invalidate();
  }
  return filled;
}

Step Engine::Benchmark(Context& ctx) noexcept {
  WriteBannerAndVersion(ctx.comm);
  if (bench.StartsNewRun(static_cast<double>(platform::TickCount()))) return SelectAndFill(ctx);
  // The sort phase: the sort the fill's SELECT prepared, from its first frame.
  if (!selection.SourceUnchanged(ctx.comm)) return Step::Ended(Status::ArrayError);
  return StartSort(ctx, sort, compare, selection, Continuation::BenchmarkSorted);
}

Step Engine::Export(Context& ctx) noexcept {
  WriteBannerAndVersion(ctx.comm);
  copy.Begin(kExport);
  return StartExport(ctx, exporting, copy, selection);
}

Step Engine::Move(Context& ctx) noexcept {
  copy.Begin(kMove);
  const Status ready = MoveReady(selection, ctx.comm);
  if (ready != Status::Success) return Step::Ended(ready);
  return StartMove(ctx, move, copy, selection, bench.TimeMove());
}

Step Engine::Reset(Context& ctx) noexcept {
  TKCOMM& c = ctx.comm;
  WriteBannerAndVersion(c);
  c.SortIndexValid = 0;
  c.IgnoreEmpty = 0;
  c.Source.FirstRow = 0;
  c.Source.LastRow = 0;
  c.SortKeyCount = 0;
  c.MoveMapCount = 0;
  c.ExportMapCount = 0;
  ClearBreakOut(c);
  // Every operation's working state goes, and the selection with it; the move and export
  // maps and the bounds stay until the next SELECT (Selection::Clear).
  bench.Clear();
  selection.Clear();
  sort.Clear();
  compare.Clear();
  copy.Clear();
  move.Clear();
  exporting.Clear();
  return Step::Ended(Status::Success, kReturnReset);
}

bool Engine::HeldArraysUnchanged(const TKCOMM& comm, Continuation at) const noexcept {
  const HeldArrays held = ArraysHeldAt(at);
  if (held == HeldArrays::None) return true;
  const bool dest = held == HeldArrays::SourceAndDest ||
                    (held == HeldArrays::SourceAndCopyDest && copy.CurrentOp == kExport);
  return selection.SourceUnchanged(comm) && (!dest || selection.DestUnchanged(comm));
}

Step Engine::Continue(Context& ctx, Step decided) noexcept {
  const Continuation at = ResumeState;
  // The sort, the comparison and the copy step keep pointers into the caller's arrays: one
  // the caller replaced or resized while a break-out waited would have us read freed cells.
  if (!HeldArraysUnchanged(ctx.comm, at)) return Step::Ended(Status::ArrayError);
  switch (at) {
    case Continuation::LeftScan:
    case Continuation::RightScan:
    case Continuation::InsertPass:
      return ResumeSort(ctx, sort, compare, selection, at, decided.result());
    case Continuation::CompareBreakOut:
      return ResumeCompare(ctx, compare, selection, decided.result());
    case Continuation::MoveCycleStarted:
    case Continuation::MoveRowCopied:
    case Continuation::MoveCycleClosed: return ResumeMove(ctx, move, copy, selection, at);
    case Continuation::CopyBreakOut:
      if (copy.CurrentOp == kMove && !move.VisitedFlags) return Step::Ended(Status::StackFailure);
      return ResumeCopy(ctx, copy, selection);
    case Continuation::ExportHeaderDone:
    case Continuation::ExportRowDone: return ResumeExport(ctx, exporting, copy, selection, at);

    case Continuation::SelectSorted:
      // The order is complete: nothing is left for the caller to do.
      sort.Clear();
      ClearBreakOut(ctx.comm);
      return Step::Ended(decided.status());
    case Continuation::BenchmarkSorted:
      if (SortPhaseHeld(ctx.comm, bench, selection)) return Step::Ended(decided.status());
      // The table changed under the sort: the order belongs to no table any more.
      selection.DropIndex();
      ctx.comm.SortIndexValid = 0;
      return Step::Ended(Status::ArrayError);
    case Continuation::MoveDone: return WriteMovedRows(ctx, selection);
    case Continuation::BenchmarkMoved: return BenchmarkMoved(ctx, bench, selection);

    case Continuation::Idle:
    default: return Step::Ended(Status::StackFailure);
  }
}

}  // namespace tk
