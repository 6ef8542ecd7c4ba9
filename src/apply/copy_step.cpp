// The copy step shared by MOVE and EXPORT.
//
// One copy step handles one row: its columns in ascending order, each either done by the
// engine or handed to the caller as a copy break-out (201, 202, 203 for MOVE, 204 for
// EXPORT) with BrkRowA/BrkRowB/BrkColumn. The caller's next call (any code that is not a
// command) goes on with the next column (ResumeCopy). When every column is done,
// ResumeState becomes AfterCopyState and the operation continues where it set up the step.
//
// What the engine does for its own columns:
//   EXPORT (204)  VariantCopy from the source cell into the mapped destination cell. A copy
//                 that fails ends EXPORT with 705 rather than leave a cell unexported while
//                 reporting success; the source is never changed.
//   MOVE   (201)  exchanges the two rows' cells (the VARIANTs' bits, ownership included).
//                 Following a cycle by exchanges leaves the row that started it in the
//                 last row filled, so the 202 and 203 steps, which go through the
//                 caller's set-aside value, have nothing to do here. No cell is ever
//                 copied: nothing is allocated, nothing can fail, and at every break-out
//                 the engine's columns hold each original cell exactly once.
#include "entry/engine.h"
#include "input/slots.h"
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

}  // namespace

void CopyStep::Clear() noexcept {
  *this = CopyStep{};
}

bool Engine::StartCopy(std::int32_t breakStatus, std::int32_t sourceRow, std::int32_t destRow,
                       Continuation after) noexcept {
  const ArrayBounds& source = selection.SourceBounds;
  compare.StepRowA = sourceRow;
  compare.StepRowB = destRow;
  copy.BreakStatus = breakStatus;
  copy.CopyColumns = source.Columns;
  copy.SourceCell = RowStart(selection.SourceBlock, source, sourceRow);
  copy.SourceStride = source.Rows;
  if (CurrentOp == kExport) {
    copy.DestCell = RowStart(selection.DestBlock, selection.DestBounds, destRow);
    copy.DestStride = selection.DestBounds.Rows;
  } else {
    copy.DestCell = RowStart(selection.SourceBlock, source, destRow);
    copy.DestStride = source.Rows;
  }
  ResumeState = ToCode(after);
  copy.AfterCopyState = ResumeState;
  copy.ColumnCursor = 0;
  return RunColumnLoop();
}

bool Engine::RunColumnLoop() noexcept {
  TKCOMM& c = *comm_;
  const bool toDest = CurrentOp == kExport;
  const KeyTable& map = toDest ? selection.keys.ExportMap : selection.keys.MoveMap;
  for (; copy.ColumnCursor < copy.CopyColumns; ++copy.ColumnCursor) {
    const std::int32_t column =
        selection.SourceBounds.FirstColumn + static_cast<std::int32_t>(copy.ColumnCursor);
    const KeyEntry* entry = FindColumn(map, column);
    if (toDest) {
      if (entry == nullptr) continue;  // not exported
      c.BrkDestRow = compare.StepRowB;
      c.BrkDestColumn = entry->DestColumn;
    }
    if (entry != nullptr && (entry->Mode == kMoveBreakOut || entry->Mode == kExportBreakOut)) {
      c.BrkRowA = compare.StepRowA;
      c.BrkRowB = compare.StepRowB;
      c.BrkColumn = column;
      *code_ = copy.BreakStatus;
      ResumeState = ToCode(Continuation::CopyBreakOut);
      pendingReturn_ = kReturnBreakOut;
      return false;
    }
    VARIANT* source = copy.SourceCell + copy.ColumnCursor * copy.SourceStride;
    if (toDest) {
      const auto offset =
          static_cast<std::uint32_t>(entry->DestColumn - selection.DestBounds.FirstColumn);
      if (FAILED(platform::CopyCell(copy.DestCell + offset * copy.DestStride, source))) {
        pendingReturn_ = Finish(Status::NoMemory);
        return false;
      }
    } else if (copy.BreakStatus == ToCode(Status::MoveRowBreakOut)) {
      VARIANT* dest = copy.DestCell + copy.ColumnCursor * copy.DestStride;
      const VARIANT held = *dest;
      *dest = *source;
      *source = held;
    }
  }
  ResumeState = copy.AfterCopyState;
  return true;
}

bool Engine::ResumeCopy() noexcept {
  ++copy.ColumnCursor;
  return RunColumnLoop();
}

bool Engine::WriteBack(RangeSlot& slot) noexcept {
  return slot.FromRange == 0 || WriteRange(slot) == Status::Success;
}

}  // namespace tk
