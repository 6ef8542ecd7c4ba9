// Entry and dispatch: the command codes, SELECT's set-up, RESET, ABOUT, the resume path
// and the common ending. See engine.h for the call protocol.
#include "entry/engine.h"

#include "input/slots.h"
#include "platform/platform.h"

namespace tk {

void SortState::Clear() noexcept {
  SortStack.Release();
  StackDepth = 0;
  PivotIndex = 0;
  SmallRangeLimit = 0;
  InsertRow = 0;
}

std::int32_t Engine::Call(std::int32_t* code, TKCOMM* comm) noexcept {
  if (code == nullptr) return kReturnEnded;  // nowhere to read a command or write a status
  if (comm == nullptr) {
    // No record to hold a text. SELECT also drops a suspended operation; every other code
    // is refused without touching anything, so a stray call cannot lose the caller's place.
    if (*code == kSelect) ResumeState = ToCode(Continuation::Idle);
    *code = ToCode(Status::NullRecord);
    return kReturnEnded;
  }
  code_ = code;
  comm_ = comm;
  const std::int32_t result = Dispatch();
  code_ = nullptr;
  comm_ = nullptr;
  return result;
}

std::int32_t Engine::Dispatch() noexcept {
  // A command abandons whatever waits for the caller; a MOVE's buffer goes with it.
  if (IsCommand(*code_)) move.VisitedFlags.Release();
  switch (*code_) {
    case kSelect: return Select();
    case kBenchmark: return Benchmark();
    case kExport: return Export();
    case kMove: return Move();
    case kSortIndex: return SortIndex();
    case kAbout: return About();
    case kReset: return Reset();
    default: return Run();  // the caller's answer to the last break-out
  }
}

std::int32_t Engine::Finish(Status status, std::int32_t returnValue) noexcept {
  ResumeState = ToCode(Continuation::Idle);
  *code_ = ToCode(status);
  (void)WriteStatus(*comm_, ToCode(status));  // a text that cannot be stored leaves the old one
  return returnValue;
}

void Engine::WriteBannerAndVersion() noexcept {
  (void)WriteBanner(*comm_, ToCode(Status::Banner));  // an empty banner is no reason to stop
  comm_->Version = kEngineVersion;
}

std::int32_t Engine::Select() noexcept {
  WriteBannerAndVersion();
  selection.IndexValid = 0;
  bench.SortPrepared = false;
  comm_->SortIndexValid = 0;
  // Zero rows make the validation give the source its default rows: all below the header.
  comm_->Source.FirstRow = 0;
  comm_->Source.LastRow = 0;

  const Status ready = SetUpInputs();
  if (ready != Status::Success) return Finish(ready);
  return BuildRowIndex();
}

Status Engine::SetUpInputs() noexcept {
  TKCOMM& c = *comm_;
  Status status = ValidateSlot(selection.SourceBounds, c.Source);
  if (status != Status::Success) return status;
  // 718 here means no usable destination array: SELECT goes on without one.
  status = ValidateSlot(selection.DestBounds, c.Dest);
  if (status != Status::Success && status != Status::ArrayError) return status;

  // The same cells through two slots (even through two descriptors) would be exported onto
  // themselves while being read.
  VARIANT* sourceBlock = DataBlock(c.Source);
  if (c.Dest.Valid != 0 && sourceBlock != nullptr && DataBlock(c.Dest) == sourceBlock) {
    c.Dest.Valid = 0;
    c.Dest.FromRange = 0;
    return Status::SameSourceAndDest;
  }

  KeyTables& keys = selection.keys;
  const TableContext context{selection.SourceBounds, selection.DestBounds, sourceBlock};
  status = LoadKeyTable(c, TableKind::Sort, keys, context);
  if (status != Status::Success) return status;  // a sort command is required (704)

  status = LoadKeyTable(c, TableKind::Move, keys, context);
  if (status == Status::NullPointer) {
    if (DeriveMoveMap(c, keys) != Status::Success) return Status::NoMemory;
  } else if (status != Status::Success) {
    return status;
  }

  // No export command (704) or no destination Range (718): SELECT goes on without one.
  status = LoadKeyTable(c, TableKind::Export, keys, context);
  if (status != Status::Success && status != Status::NullPointer && status != Status::ArrayError) {
    return status;
  }
  selection.SourceBlock = sourceBlock;
  selection.DestBlock = c.Dest.Valid != 0 ? DataBlock(c.Dest) : nullptr;
  return Status::Success;
}

std::int32_t Engine::BuildRowIndex() noexcept {
  selection.SelFirstRow = comm_->Source.FirstRow;
  selection.SelLastRow = comm_->Source.LastRow;

  // The previous selection's blocks go before the new ones are taken.
  sort.SortStack.Release();
  selection.RowIndex.Release();
  if (!sort.SortStack.Allocate(kSortStackFrames)) return Finish(Status::NoMemory);

  const std::uint32_t n = selection.SourceBounds.DataRows;
  sort.StackDepth = 0;
  sort.SortStack[0].Low = 1;
  sort.SortStack[0].High = n;

  // n + 2 entries must fit in 32 bits: 0xFFFFFFFE rows or more cannot be indexed.
  if (n == 0 || n >= 0xFFFFFFFEu) {
    sort.SortStack.Release();
    return Finish(Status::BadBounds);
  }
  selection.RowIndexLength = n + 2;
  if (!selection.RowIndex.Allocate(selection.RowIndexLength)) {
    sort.SortStack.Release();
    return Finish(Status::NoMemory);
  }

  // Position j holds the j-th data row; the sentinels copy the first and last entry, so
  // that a sort which wrote outside positions 1..n is caught at completion (711).
  std::int32_t* index = selection.RowIndex.get();
  const std::int32_t firstDataRow =
      selection.SourceBounds.FirstArrayRow + comm_->Source.HeaderLines;
  for (std::uint32_t j = 1; j <= n; ++j) {
    index[j] = firstDataRow + static_cast<std::int32_t>(j - 1);
  }
  index[0] = index[1];
  index[n + 1] = index[n];
  selection.LeftSentinel = index[0];
  selection.RightSentinel = index[n + 1];

  *code_ = ToCode(Status::ContinueIterating);
  selection.IndexValid = 1;
  if (bench.BenchmarkMode == 1) return FillPhase();
  return EnterSort();
}

std::int32_t Engine::About() noexcept {
  *code_ = ToCode(Status::About);
  WriteBannerAndVersion();
  return Finish(Status::About, kReturnOutput);
}

std::int32_t Engine::Reset() noexcept {
  WriteBannerAndVersion();
  bench.BenchmarkMode = 0;
  bench.SortPrepared = false;
  comm_->SortIndexValid = 0;
  comm_->IgnoreEmpty = 0;
  selection.SelFirstRow = 0;
  selection.SelLastRow = 0;
  comm_->Source.FirstRow = 0;
  comm_->Source.LastRow = 0;
  comm_->SortKeyCount = 0;
  comm_->MoveMapCount = 0;
  comm_->ExportMapCount = 0;
  comm_->BrkColumn = 0;
  comm_->BrkDestColumn = 0;
  comm_->BrkRowB = 0;
  comm_->BrkRowA = 0;
  comm_->BrkDestRow = 0;
  // The working state of every operation goes; of the selection, the row index and the
  // sort keys. The move and export maps and the bounds stay until the next SELECT.
  sort.Clear();
  compare.Clear();
  copy.Clear();
  move.Clear();
  exporting.Clear();
  selection.RowIndex.Release();
  selection.keys.SortKeys.Release();
  selection.IndexValid = 0;
  return Finish(Status::Success, kReturnReset);
}

std::int32_t Engine::Run() noexcept {
  // The trampoline: every continuation returns here instead of calling the next step.
  for (;;) {
    const auto state = static_cast<Continuation>(ResumeState);
    switch (state) {
      case Continuation::LeftScan:
      case Continuation::RightScan:
      case Continuation::InsertPass:
      case Continuation::CompareBreakOut:
        // The sort keeps pointers into Source.Data: a caller that replaced or resized it
        // while a comparison was pending would have us read freed cells.
        if (!SourceUnchanged()) return Finish(Status::ArrayError);
        if (state == Continuation::CompareBreakOut) {
          if (!ResumeCompare()) return pendingReturn_;
          continue;  // ResumeState names the sort step that asked
        }
        return ResumeSort(state);
      case Continuation::MoveCycleStarted:
      case Continuation::MoveRowCopied:
      case Continuation::MoveCycleClosed:
        if (!SourceUnchanged()) return Finish(Status::ArrayError);
        return ResumeMove(state);
      case Continuation::CopyBreakOut:
        // The copy step keeps pointers into Source.Data (and Dest.Data for EXPORT).
        if (!SourceUnchanged() || (CurrentOp == kExport && !DestUnchanged())) {
          return Finish(Status::ArrayError);
        }
        if (CurrentOp == kMove && !move.VisitedFlags) return Finish(Status::StackFailure);
        if (!ResumeCopy()) return pendingReturn_;
        continue;  // ResumeState names the MOVE or EXPORT step that set up the copy
      case Continuation::ExportHeaderDone:
      case Continuation::ExportRowDone:
        if (!SourceUnchanged() || !DestUnchanged()) return Finish(Status::ArrayError);
        return ResumeExport(state);
      case Continuation::Idle:
      default: return Finish(Status::StackFailure);
    }
  }
}

}  // namespace tk
