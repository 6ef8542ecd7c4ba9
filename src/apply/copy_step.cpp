// The copy step shared by MOVE and EXPORT. See copy_step.h.
#include "apply/copy_step.h"

#include "platform/platform.h"

namespace tk {
namespace {

// True when `row` lies in the array `bounds` describes.
bool HoldsRow(const ArrayBounds& bounds, std::int32_t row) noexcept {
  return row >= bounds.FirstArrayRow && row <= bounds.LastArrayRow;
}

// The cell at array row `row`, first column, of a validated table.
VARIANT* RowStart(VARIANT* block, const ArrayBounds& bounds, std::int32_t row) noexcept {
  return block + static_cast<std::uint32_t>(row - bounds.FirstArrayRow);
}

// The column loop from ColumnCursor on.
Step RunColumnLoop(Context& ctx, CopyStep& copy, const Selection& selection) noexcept {
  TKCOMM& c = ctx.comm;
  const bool toDest = copy.CurrentOp == kExport;
  const KeyTable& map = toDest ? selection.keys.ExportMap : selection.keys.MoveMap;
  const ColumnIndex& columns = toDest ? selection.ExportColumns : selection.MoveColumns;
  const ArrayBounds& dest = selection.DestBounds;
  for (; copy.ColumnCursor < copy.CopyColumns; ++copy.ColumnCursor) {
    const std::int32_t column =
        selection.SourceBounds.FirstColumn + static_cast<std::int32_t>(copy.ColumnCursor);
    const KeyEntry* entry = EntryForColumn(map, columns, copy.ColumnCursor);
    if (toDest) {
      if (entry == nullptr) continue;  // not exported
      c.BrkDestRow = copy.DestRow;
      c.BrkDestColumn = entry->DestColumn;
    }
    if (entry != nullptr && (entry->Mode == kMoveBreakOut || entry->Mode == kExportBreakOut)) {
      return HandOut(ctx, copy.BreakStatus, Continuation::CopyBreakOut, copy.SourceRow,
                     copy.DestRow, column);
    }
    VARIANT* source = copy.SourceCell + copy.ColumnCursor * copy.SourceStride;
    if (toDest) {
      // The cell written must lie in the destination as it is now. The release of what the
      // last cell held may have run the caller's code, so the arrays are checked before
      // every write, not once per row.
      const std::int64_t offset = std::int64_t{entry->DestColumn} - dest.FirstColumn;
      if (offset < 0 || offset >= std::int64_t{dest.Columns} || !selection.SourceUnchanged(c) ||
          !selection.DestUnchanged(c)) {
        return Step::Ended(Status::ArrayError);
      }
      VARIANT* target = copy.DestCell + static_cast<std::uint32_t>(offset) * copy.DestStride;
      if (FAILED(platform::ReplaceCell(target, source))) return Step::Ended(Status::NoMemory);
    } else if (copy.BreakStatus == Status::MoveRowBreakOut) {
      VARIANT* target = copy.DestCell + copy.ColumnCursor * copy.DestStride;
      const VARIANT held = *target;
      *target = *source;
      *source = held;
    }
  }
  ctx.GoOnAt(copy.Then);
  return Step::Decided();
}

}  // namespace

void CopyStep::Clear() noexcept {
  *this = CopyStep{};
}

void CopyStep::Begin(Command op) noexcept {
  Clear();
  CurrentOp = op;
}

Step StartCopy(Context& ctx, CopyStep& copy, const Selection& selection,
               const CopyRow& row) noexcept {
  const ArrayBounds& source = selection.SourceBounds;
  const ArrayBounds& dest = copy.CurrentOp == kExport ? selection.DestBounds : source;
  // No row outside the arrays SELECT validated, whatever led to it.
  if (!HoldsRow(source, row.from) || !HoldsRow(dest, row.to)) {
    return Step::Ended(Status::ArrayError);
  }
  copy.SourceRow = row.from;
  copy.DestRow = row.to;
  copy.BreakStatus = row.breakOut;
  copy.CopyColumns = source.Columns;
  copy.SourceCell = RowStart(selection.SourceBlock, source, row.from);
  copy.SourceStride = source.Rows;
  if (copy.CurrentOp == kExport) {
    copy.DestCell = RowStart(selection.DestBlock, selection.DestBounds, row.to);
    copy.DestStride = selection.DestBounds.Rows;
  } else {
    copy.DestCell = RowStart(selection.SourceBlock, source, row.to);
    copy.DestStride = source.Rows;
  }
  copy.Then = row.then;
  copy.ColumnCursor = 0;
  return RunColumnLoop(ctx, copy, selection);
}

Step ResumeCopy(Context& ctx, CopyStep& copy, const Selection& selection) noexcept {
  ++copy.ColumnCursor;
  return RunColumnLoop(ctx, copy, selection);
}

}  // namespace tk
