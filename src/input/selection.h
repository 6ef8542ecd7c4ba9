// The selection: what SELECT builds and MOVE, EXPORT and SORTINDEX use.
//
// SELECT opens a selection in two parts. SetUpSelection validates the source and the
// destination slot, refuses one table reached through both (717) and builds the three key
// tables; once the sort has its stack, BuildRowIndex numbers the data rows between two
// sentinels and marks the selection valid (IndexValid), before the sort starts. The
// selection lasts until the next SELECT or RESET (Clear).
//
// A new SELECT closes the old selection at once (Invalidate) but replaces it piece by piece:
// a key table goes only when its new line has been read, so a SELECT refused for its sort
// line leaves the old sort keys and SortCmdOk as they were.
//
// Fields the engine writes into the record (SortCmdOk, ExportCmdOk, the counts, FromRange,
// Valid) are answers to the caller, never instructions: where an operation reads one back,
// the selection's own state must allow the same (HasExportMap, SourceFromRange, ...).
//
// It keeps pointers into Source.Data (the key tables, SourceBlock) and Dest.Data
// (DestBlock) from one call to the next. Whatever touches cells again in a later call
// first asks SourceUnchanged / DestUnchanged: a caller that replaced, emptied or resized an
// array in between gets 718, never a read of freed cells.
#pragma once

#include <cstdint>

#include "input/bounds.h"
#include "input/key_tables.h"
#include "platform/heap_block.h"
#include "protocol/record.h"
#include "protocol/status.h"

namespace tk {

struct Selection {
  std::int32_t IndexValid = 0;       // 1 once SELECT has built RowIndex
  std::int32_t SelFirstRow = 0;      // Source.FirstRow as SELECT fixed it
  std::int32_t SelLastRow = 0;       // Source.LastRow as SELECT fixed it
  ArrayBounds SourceBounds;          // geometry of Source.Data
  ArrayBounds DestBounds;            // geometry of Dest.Data
  HeapArray<std::int32_t> RowIndex;  // n + 2 array row numbers; 0 and n + 1 are sentinels
  std::uint32_t RowIndexLength = 0;  // n + 2
  std::int32_t LeftSentinel = 0;     // RowIndex[0] as built
  std::int32_t RightSentinel = 0;    // RowIndex[n + 1] as built
  KeyTables keys;                    // SortKeys, MoveMap, ExportMap
  ColumnIndex MoveColumns;           // MoveMap's entry for each source column
  ColumnIndex ExportColumns;         // ExportMap's, only when this SELECT built the map
  VARIANT* SourceBlock = nullptr;    // Source.Data's cells when SELECT built the tables
  VARIANT* DestBlock = nullptr;      // Dest.Data's cells when SELECT validated it
  bool SourceFromRange = false;      // SELECT read Source.Data from Source.RangeObj
  bool DestFromRange = false;        // SELECT read Dest.Data from Dest.RangeObj

  // SELECT's start: the selection is closed (MOVE, EXPORT and SORTINDEX answer 707) until
  // BuildRowIndex opens the new one.
  void Invalidate() noexcept { IndexValid = 0; }
  // Closed, and the order goes with it: the row index is freed.
  void DropIndex() noexcept;
  // RESET: closed, the row index, the sort keys and the column indexes freed, the selected
  // rows 0. The move and export maps, the bounds and the blocks stay until the next SELECT
  // replaces them. Safe twice.
  void Clear() noexcept;

  // True when the last SELECT built an export map for the destination it validated. The
  // record's ExportCmdOk can only narrow this: a caller that sets it back to 1 gets no map.
  bool HasExportMap() const noexcept { return static_cast<bool>(ExportColumns); }

  // False when the caller replaced, emptied or resized Source.Data (Dest.Data) since SELECT.
  bool SourceUnchanged(const TKCOMM& comm) const noexcept;
  bool DestUnchanged(const TKCOMM& comm) const noexcept;
};

// SELECT's set-up: both slots (a destination without an array is no destination), the check
// that they hold different cells, the sort keys, the move map (derived from the sort keys
// when no move line is given) and the export map (none without a destination Range or an
// export line). [in/out] comm: the slots and the three lines' outputs are written.
// Returns 2, or the first refusal: 700, 702, 704, 705, 708, 709, 715, 717, 718.
Status SetUpSelection(Selection& selection, TKCOMM& comm) noexcept;

// The row index of a set-up selection: positions 1..n hold the data rows in array order,
// positions 0 and n + 1 copy the first and the last as sentinels; IndexValid becomes 1.
// Returns 2, 700 (no data rows, or too many to index) or 705.
Status BuildRowIndex(Selection& selection, const TKCOMM& comm) noexcept;

}  // namespace tk
