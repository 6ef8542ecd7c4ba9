// EXPORT: the source rows, in RowIndex order, copied into the destination through the
// export map, then the destination written back to its Range.
//
// Header phase: as many header rows as both tables have, the k-th row of the source to
// the k-th row of the destination. Data phase: position 1, 2, ... of RowIndex to
// Dest.FirstRow, Dest.FirstRow + 1, ... until the rows run out or Dest.LastRow is passed
// (read from the record each time). Every row, header rows included, passes through the
// export map: unnamed source columns are skipped, the first entry of a column counts, and
// TK_EXPORTBRKO columns are handed to the caller (204, with BrkDestRow/BrkDestColumn).
// Continuations: 9 a header row done, 10 a data row done.
//
// Refusals in order: 715 (destination not from a Range), 709 (ExportCmdOk is 0), 707 (no
// selection), 709 (the last SELECT built no export map, whatever ExportCmdOk says); then 718
// when either array is no longer the one SELECT validated, 700 when Dest.FirstRow was moved
// outside the destination array. Every cell is written only after both arrays are checked
// again, so no path writes outside the destination as it is at that moment. No row is
// written outside the destination array, whatever Dest.LastRow says, and a RowIndex entry
// outside the source rows ends EXPORT with 711.
//
// Legal order: CopyStep::Begin(kExport), then StartExport; ResumeExport after each copy step
// that was handed out.
#pragma once

#include <cstdint>

#include "apply/copy_step.h"
#include "input/selection.h"
#include "protocol/step.h"

namespace tk {

// EXPORT's cursors.
struct ExportState {
  std::uint32_t RowCursor = 0;       // position in RowIndex (data phase)
  std::uint32_t DestRowCursor = 0;   // destination row, 1 at the destination's first row
  std::uint32_t HeaderRowsDone = 0;  // header rows handled
  std::uint32_t HeaderRows = 0;      // header rows to export: both tables have them
  std::int32_t DestFirstOffset = 0;  // Dest.FirstRow - the destination's first array row

  void Clear() noexcept;  // zeroes; safe twice
};

// EXPORT's refusals, then the rows from the first header row on.
Step StartExport(Context& ctx, ExportState& exporting, CopyStep& copy,
                 const Selection& selection) noexcept;

// EXPORT after the copy step that `at` (ExportHeaderDone or ExportRowDone) names.
Step ResumeExport(Context& ctx, ExportState& exporting, CopyStep& copy, const Selection& selection,
                  Continuation at) noexcept;

}  // namespace tk
