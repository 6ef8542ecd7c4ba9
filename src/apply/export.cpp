// EXPORT. See export.h.
#include "apply/export.h"

#include <algorithm>

#include "input/slots.h"

namespace tk {
namespace {

enum class ExportStep : std::uint8_t {
  Header,      // the next header row, or the data phase
  HeaderDone,  // continuation 9
  DataStart,   // cursors for the data phase
  Data,        // the next data row, or the end
  RowDone,     // continuation 10
  End,         // write-back
};

// EXPORT from `step` on, until it hands the call out or ends it.
Step RunExport(Context& ctx, ExportState& exporting, CopyStep& copy, const Selection& selection,
               ExportStep step) noexcept {
  const TKCOMM& c = ctx.comm;
  const ArrayBounds& source = selection.SourceBounds;
  const ArrayBounds& dest = selection.DestBounds;
  const std::int32_t* index = selection.RowIndex.get();
  auto destRow = [&] {
    return dest.FirstArrayRow + static_cast<std::int32_t>(exporting.DestRowCursor) - 1;
  };
  auto copyRow = [&](std::int32_t from, Continuation then) {
    return StartCopy(ctx, copy, selection, CopyRow{Status::ExportBreakOut, from, destRow(), then});
  };

  for (;;) {
    switch (step) {
      case ExportStep::Header:
        if (exporting.HeaderRowsDone >= exporting.HeaderRows) {
          step = ExportStep::DataStart;
          break;
        }
        if (const Step s = copyRow(
                source.FirstArrayRow + static_cast<std::int32_t>(exporting.DestRowCursor) - 1,
                Continuation::ExportHeaderDone);
            !s.decided()) {
          return s;
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
          return Step::Ended(Status::IndexCorrupted);
        }
        if (const Step s = copyRow(row, Continuation::ExportRowDone); !s.decided()) return s;
        [[fallthrough]];
      }
      case ExportStep::RowDone:
        ++exporting.RowCursor;
        ++exporting.DestRowCursor;
        step = ExportStep::Data;
        break;

      case ExportStep::End: return Step::Ended(WriteBack(ctx.comm.Dest, selection.DestFromRange));
    }
  }
}

}  // namespace

void ExportState::Clear() noexcept {
  *this = ExportState{};
}

Step StartExport(Context& ctx, ExportState& exporting, CopyStep& copy,
                 const Selection& selection) noexcept {
  const TKCOMM& c = ctx.comm;
  if (c.Dest.FromRange != 1) return Step::Ended(Status::RangeError);
  if (c.ExportCmdOk == 0) return Step::Ended(Status::BadCommandLine);
  if (selection.IndexValid == 0) return Step::Ended(Status::OutOfOrder);
  // The record's flag is the caller's to clear, not to raise: no map, no export.
  if (!selection.HasExportMap()) return Step::Ended(Status::BadCommandLine);
  if (!selection.SourceUnchanged(c) || !selection.DestUnchanged(c)) {
    return Step::Ended(Status::ArrayError);
  }

  const ArrayBounds& dest = selection.DestBounds;
  if (c.Dest.FirstRow < dest.FirstArrayRow || c.Dest.FirstRow > dest.LastArrayRow) {
    return Step::Ended(Status::BadBounds);
  }
  exporting.Clear();
  // Header rows both tables have; never more than either array holds.
  const std::int64_t headers =
      std::min({std::int64_t{c.Source.HeaderLines}, std::int64_t{c.Dest.HeaderLines},
                std::int64_t{selection.SourceBounds.Rows}, std::int64_t{dest.Rows}});
  exporting.HeaderRows = headers > 0 ? static_cast<std::uint32_t>(headers) : 0u;
  exporting.DestFirstOffset = c.Dest.FirstRow - dest.FirstArrayRow;
  exporting.DestRowCursor = 1;
  return RunExport(ctx, exporting, copy, selection, ExportStep::Header);
}

Step ResumeExport(Context& ctx, ExportState& exporting, CopyStep& copy, const Selection& selection,
                  Continuation at) noexcept {
  if (copy.CurrentOp != kExport) return Step::Ended(Status::StackFailure);
  switch (at) {
    case Continuation::ExportHeaderDone:
      return RunExport(ctx, exporting, copy, selection, ExportStep::HeaderDone);
    case Continuation::ExportRowDone:
      return RunExport(ctx, exporting, copy, selection, ExportStep::RowDone);
    default: return Step::Ended(Status::StackFailure);
  }
}

}  // namespace tk
