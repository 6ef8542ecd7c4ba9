// The copy step shared by MOVE and EXPORT. See copy_step.h.
#include "apply/copy_step.h"

#include "platform/platform.h"

namespace tk {
namespace {

// The first entry of `map` naming `column`, or nullptr.
const KeyEntry* FindColumn(const KeyTable& map, std::int32_t column) noexcept {
  for (std::size_t i = 0; i < map.size(); ++i) {
    if (map[i].Column == column) return &map[i];
  }
  return nullptr;
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
  for (; copy.ColumnCursor < copy.CopyColumns; ++copy.ColumnCursor) {
    const std::int32_t column =
        selection.SourceBounds.FirstColumn + static_cast<std::int32_t>(copy.ColumnCursor);
    const KeyEntry* entry = FindColumn(map, column);
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
      const auto offset =
          static_cast<std::uint32_t>(entry->DestColumn - selection.DestBounds.FirstColumn);
      if (FAILED(platform::CopyCell(copy.DestCell + offset * copy.DestStride, source))) {
        return Step::Ended(Status::NoMemory);
      }
    } else if (copy.BreakStatus == Status::MoveRowBreakOut) {
      VARIANT* dest = copy.DestCell + copy.ColumnCursor * copy.DestStride;
      const VARIANT held = *dest;
      *dest = *source;
      *source = held;
    }
  }
  ctx.GoOnAt(copy.AfterCopyState);
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
  copy.AfterCopyState = row.after;
  copy.ColumnCursor = 0;
  return RunColumnLoop(ctx, copy, selection);
}

Step ResumeCopy(Context& ctx, CopyStep& copy, const Selection& selection) noexcept {
  ++copy.ColumnCursor;
  return RunColumnLoop(ctx, copy, selection);
}

}  // namespace tk
