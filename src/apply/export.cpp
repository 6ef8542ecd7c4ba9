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
// Refusals in order: 715 (destination not from a Range), 709 (no export map from the last
// SELECT), 707 (no selection); then 718 when either array is no longer the one SELECT
// validated, 700 when Dest.FirstRow was moved outside the destination array. No row is
// written outside the destination array, whatever Dest.LastRow says, and a RowIndex entry
// outside the source rows ends EXPORT with 711.
#include <algorithm>

#include "entry/engine.h"

namespace tk {

enum class Engine::ExportStep : std::uint8_t {
  Header,      // the next header row, or the data phase
  HeaderDone,  // continuation 9
  DataStart,   // cursors for the data phase
  Data,        // the next data row, or the end
  RowDone,     // continuation 10
  End,         // write-back
};

void ExportState::Clear() noexcept {
  *this = ExportState{};
}

std::int32_t Engine::Export() noexcept {
  WriteBannerAndVersion();
  CurrentOp = kExport;
  TKCOMM& c = *comm_;
  if (c.Dest.FromRange != 1) return Finish(Status::RangeError);
  if (c.ExportCmdOk == 0) return Finish(Status::BadCommandLine);
  if (selection.IndexValid == 0) return Finish(Status::OutOfOrder);
  if (!SourceUnchanged() || !DestUnchanged()) return Finish(Status::ArrayError);

  const ArrayBounds& dest = selection.DestBounds;
  if (c.Dest.FirstRow < dest.FirstArrayRow || c.Dest.FirstRow > dest.LastArrayRow) {
    return Finish(Status::BadBounds);
  }
  // Header rows both tables have; never more than either array holds.
  const std::int64_t headers =
      std::min({std::int64_t{c.Source.HeaderLines}, std::int64_t{c.Dest.HeaderLines},
                std::int64_t{selection.SourceBounds.Rows}, std::int64_t{dest.Rows}});
  exporting.HeaderRows = headers > 0 ? static_cast<std::uint32_t>(headers) : 0u;
  exporting.DestFirstOffset = c.Dest.FirstRow - dest.FirstArrayRow;
  exporting.DestRowCursor = 1;
  exporting.HeaderRowsDone = 0;
  return RunExport(ExportStep::Header);
}

std::int32_t Engine::ResumeExport(Continuation at) noexcept {
  if (CurrentOp != kExport) return Finish(Status::StackFailure);
  switch (at) {
    case Continuation::ExportHeaderDone: return RunExport(ExportStep::HeaderDone);
    case Continuation::ExportRowDone: return RunExport(ExportStep::RowDone);
    default: return Finish(Status::StackFailure);
  }
}

std::int32_t Engine::RunExport(ExportStep step) noexcept {
  const TKCOMM& c = *comm_;
  const ArrayBounds& source = selection.SourceBounds;
  const ArrayBounds& dest = selection.DestBounds;
  const std::int32_t* index = selection.RowIndex.get();
  auto destRow = [&] {
    return dest.FirstArrayRow + static_cast<std::int32_t>(exporting.DestRowCursor) - 1;
  };

  for (;;) {
    switch (step) {
      case ExportStep::Header:
        if (exporting.HeaderRowsDone >= exporting.HeaderRows) {
          step = ExportStep::DataStart;
          break;
        }
        if (!StartCopy(
                ToCode(Status::ExportBreakOut),
                source.FirstArrayRow + static_cast<std::int32_t>(exporting.DestRowCursor) - 1,
                destRow(), Continuation::ExportHeaderDone)) {
          return pendingReturn_;
        }
        [[fallthrough]];
      case ExportStep::HeaderDone:
        ++exporting.HeaderRowsDone;
        ++exporting.DestRowCursor;
        step = ExportStep::Header;
        break;

      case ExportStep::DataStart:
        exporting.RowCursor = 1;
        exporting.DestRowCursor = static_cast<std::uint32_t>(exporting.DestFirstOffset) + 1;
        [[fallthrough]];
      case ExportStep::Data: {
        // The last destination row the caller allows, as the record says now, and never
        // past the destination array.
        const std::int64_t allowed =
            std::int64_t{c.Dest.LastRow} - c.Dest.FirstRow + 1 + exporting.DestFirstOffset;
        if (exporting.RowCursor > source.DataRows || exporting.DestRowCursor > allowed ||
            exporting.DestRowCursor > dest.Rows) {
          step = ExportStep::End;
          break;
        }
        const std::int32_t row = index[exporting.RowCursor];
        if (row < source.FirstArrayRow || row > source.LastArrayRow) {
          return Finish(Status::IndexCorrupted);
        }
        if (!StartCopy(ToCode(Status::ExportBreakOut), row, destRow(),
                       Continuation::ExportRowDone)) {
          return pendingReturn_;
        }
        [[fallthrough]];
      }
      case ExportStep::RowDone:
        ++exporting.RowCursor;
        ++exporting.DestRowCursor;
        step = ExportStep::Data;
        break;

      case ExportStep::End:
        if (!WriteBack(comm_->Dest)) return Finish(Status::RangeWriteError);
        return Finish(Status::Success);
    }
  }
}

}  // namespace tk
