// The selection. See selection.h.
#include "input/selection.h"

#include "input/slots.h"

namespace tk {
namespace {

// The destination slot. One without a usable array (ValidateSlot's 718, whatever the reason)
// is no destination, which SELECT goes on without: 2 with Dest.Valid 0, as ValidateSlot left
// it. Any other refusal is SELECT's.
Status ValidateDestination(ArrayBounds& bounds, RangeSlot& slot) noexcept {
  const Status status = ValidateSlot(bounds, slot);
  return status == Status::ArrayError ? Status::Success : status;
}

}  // namespace

void Selection::DropIndex() noexcept {
  RowIndex.Release();
  IndexValid = 0;
}

void Selection::Clear() noexcept {
  DropIndex();
  keys.SortKeys.Release();
  MoveColumns.Release();
  ExportColumns.Release();
  SelFirstRow = 0;
  SelLastRow = 0;
}

bool Selection::SourceUnchanged(const TKCOMM& comm) const noexcept {
  return SlotStillHolds(comm.Source, SourceBounds, SourceBlock);
}

bool Selection::DestUnchanged(const TKCOMM& comm) const noexcept {
  return SlotStillHolds(comm.Dest, DestBounds, DestBlock);
}

Status SetUpSelection(Selection& selection, TKCOMM& comm) noexcept {
  Status status = ValidateSlot(selection.SourceBounds, comm.Source);
  if (status != Status::Success) return status;
  VARIANT* sourceBlock = DataBlock(comm.Source);
  // The rows and header lines as validated, and whether they came from a Range.
  const std::int32_t firstRow = comm.Source.FirstRow;
  const std::int32_t lastRow = comm.Source.LastRow;
  const std::int32_t headerLines = comm.Source.HeaderLines;
  const bool sourceFromRange = comm.Source.FromRange != 0;
  status = ValidateDestination(selection.DestBounds, comm.Dest);
  if (status != Status::Success) return status;
  // Reading the destination's Range, or releasing what its slot held, runs the caller's
  // code, which may have replaced or resized the source table or changed its rows since it
  // was validated. Everything below points into the validated cells: a changed table is
  // refused before anything is built on it.
  if (!SlotStillHolds(comm.Source, selection.SourceBounds, sourceBlock) ||
      comm.Source.FirstRow != firstRow || comm.Source.LastRow != lastRow ||
      comm.Source.HeaderLines != headerLines) {
    return Status::ArrayError;
  }

  // The same cells through two slots (even through two descriptors) would be exported onto
  // themselves while being read.
  if (comm.Dest.Valid != 0 && sourceBlock != nullptr && DataBlock(comm.Dest) == sourceBlock) {
    comm.Dest.Valid = 0;
    comm.Dest.FromRange = 0;
    return Status::SameSourceAndDest;
  }

  KeyTables& keys = selection.keys;
  const TableContext context{selection.SourceBounds, selection.DestBounds, sourceBlock};
  const TableLoad sortKeys = LoadSortKeys(comm, keys, context);
  if (sortKeys.absent()) return Status::NullPointer;  // a sort command is required
  if (sortKeys.refused()) return sortKeys.refusal;

  const TableLoad moveMap = LoadMoveMap(comm, keys, context);
  if (moveMap.refused()) return moveMap.refusal;
  if (moveMap.absent() && DeriveMoveMap(comm, keys) != Status::Success) return Status::NoMemory;

  if (BuildColumnIndex(selection.MoveColumns, keys.MoveMap, selection.SourceBounds) !=
      Status::Success) {
    return Status::NoMemory;
  }

  // No export command or no destination Range: SELECT goes on without an export map, and
  // EXPORT will refuse.
  selection.ExportColumns.Release();
  const TableLoad exportMap = LoadExportMap(comm, keys, context);
  if (exportMap.refused()) return exportMap.refusal;
  if (!exportMap.absent()) {
    status = BuildColumnIndex(selection.ExportColumns, keys.ExportMap, selection.SourceBounds);
    if (status != Status::Success) return status;
  }
  selection.SourceBlock = sourceBlock;
  selection.SourceFromRange = sourceFromRange;
  selection.DestFromRange = comm.Dest.FromRange != 0 && comm.Dest.Valid != 0;
  selection.DestBlock = comm.Dest.Valid != 0 ? DataBlock(comm.Dest) : nullptr;
  return Status::Success;
}

Status BuildRowIndex(Selection& selection, const TKCOMM& comm) noexcept {
  selection.SelFirstRow = comm.Source.FirstRow;
  selection.SelLastRow = comm.Source.LastRow;
  selection.RowIndex.Release();  // the previous selection's, before the new one is taken

  // n + 2 entries must fit in 32 bits: 0xFFFFFFFE rows or more cannot be indexed.
  const std::uint32_t n = selection.SourceBounds.DataRows;
  if (n == 0 || n >= 0xFFFFFFFEu) return Status::BadBounds;
  selection.RowIndexLength = n + 2;
  if (!selection.RowIndex.Allocate(selection.RowIndexLength)) return Status::NoMemory;

  // Position j holds the j-th data row; the sentinels copy the first and last entry, so
  // that a sort which wrote outside positions 1..n is caught at completion (711).
  std::int32_t* index = selection.RowIndex.get();
  const std::int32_t firstDataRow = selection.SourceBounds.FirstArrayRow + comm.Source.HeaderLines;
  for (std::uint32_t j = 1; j <= n; ++j) {
    index[j] = firstDataRow + static_cast<std::int32_t>(j - 1);
  }
  index[0] = index[1];
  index[n + 1] = index[n];
  selection.LeftSentinel = index[0];
  selection.RightSentinel = index[n + 1];
  selection.IndexValid = 1;
  return Status::Success;
}

}  // namespace tk
