// Sort-key and column-map tables.
//
// SELECT turns the three command lines into three tables of KeyEntry:
//   SortKeys   (SortCmd,   modes 1-3)     which columns are compared, in precedence order
//   MoveMap    (MoveCmd,   modes 500-501) which columns MOVE hands to the caller; derived
//              from the sort keys when no move command is given (DeriveMoveMap)
//   ExportMap  (ExportCmd, modes 600-601) source column -> destination column, and how
//
// Offered, in the order SELECT calls them (after both slots are validated), each telling
// whether it built its table, found no line to build it from, or refused the line (705, 709):
//   LoadSortKeys    no line: SELECT stops with 704
//   LoadMoveMap     no line: DeriveMoveMap
//   LoadExportMap   no line, or no destination Range to export into: no table, and EXPORT
//                   will refuse
// BuildKeyTable checks every entry against the slots' columns and the table's mode range;
// the first entry that breaks a rule empties the table (709).
//
// A sort key's Cells points at its column in Source.Data such that the cell of array row r
// is Cells + r (see ColumnCell). The tables keep these pointers from one SELECT to the
// next, so the caller must leave Source.Data as SELECT found it in between.
#pragma once

#include <cstdint>

#include "input/bounds.h"
#include "input/parser.h"
#include "platform/heap_block.h"
#include "protocol/codes.h"
#include "protocol/record.h"
#include "protocol/status.h"

namespace tk {

struct KeyEntry {
  std::int16_t Column;      // source array column
  std::int16_t DestColumn;  // destination array column (export map only, else 0)
  std::int32_t Mode;        // the keyword's value
  VARIANT* Cells;           // column base in Source.Data (null in a derived move map)
};

// The cell of array row `row` in the column whose base is `cells`. The base itself may lie
// before the array (it is the first cell minus the first row number), so the address is
// computed in integers, wrapping as the machine's addresses do.
inline VARIANT* ColumnCell(VARIANT* cells, std::int32_t row) noexcept {
  return reinterpret_cast<VARIANT*>(reinterpret_cast<std::uintptr_t>(cells) +
                                    static_cast<std::uintptr_t>(row) * sizeof(VARIANT));
}

using KeyTable = HeapArray<KeyEntry>;

// MOVE and EXPORT ask, for every source column of every row, which entry of their map names
// it. The answer is built once per SELECT: for each column offset from FirstColumn, the index
// of the first entry naming that column, or -1. A lookup is then one load, whatever the
// number of entries.
using ColumnIndex = HeapArray<std::int32_t>;

struct KeyTables {
  KeyTable SortKeys;
  KeyTable MoveMap;
  KeyTable ExportMap;
};

// How loading one command line's table ended. `Absent` is no status: what a missing line
// means is SELECT's to say.
struct TableLoad {
  enum class Outcome : std::uint8_t { Built, Absent, Refused };
  Outcome outcome;
  Status refusal;  // Refused only: 705 or 709

  static constexpr TableLoad Built() noexcept { return {Outcome::Built, Status::Success}; }
  static constexpr TableLoad Absent() noexcept { return {Outcome::Absent, Status::Success}; }
  static constexpr TableLoad Refused(Status status) noexcept { return {Outcome::Refused, status}; }
  constexpr bool absent() const noexcept { return outcome == Outcome::Absent; }
  constexpr bool refused() const noexcept { return outcome == Outcome::Refused; }
};

// What one command line parses into: its keywords, the fields of an entry, the modes it allows.
struct LineRules {
  const KeywordTable& keywords;
  std::int32_t fields;       // kPairFields or kExportFields
  std::int32_t lowestMode;   // the lowest keyword value of the line's table
  std::int32_t highestMode;  // the highest
};

// What the tables are checked against: the validated slots' geometry and the source cells.
struct TableContext {
  const ArrayBounds& source;
  const ArrayBounds& dest;
  VARIANT* sourceBlock;  // first cell of Source.Data
};

// The sort keys from SortCmd; SortKeyCount and SortCmdOk written.
[[nodiscard]] TableLoad LoadSortKeys(TKCOMM& comm, KeyTables& tables,
                                     const TableContext& context) noexcept;
// The move map from MoveCmd; MoveMapCount and MoveCmdOk written.
[[nodiscard]] TableLoad LoadMoveMap(TKCOMM& comm, KeyTables& tables,
                                    const TableContext& context) noexcept;
// The export map from ExportCmd, only for a destination read from a Range and validated by
// this SELECT; ExportMapCount and ExportCmdOk written, ExportCmdOk 0 when Absent.
[[nodiscard]] TableLoad LoadExportMap(TKCOMM& comm, KeyTables& tables,
                                      const TableContext& context) noexcept;

// Builds `table` from `count` entries of `entries` laid out and checked as `rules` says;
// sets `ok` to 1 on success, 0 otherwise. Returns 2, 705 or 709.
Status BuildKeyTable(KeyTable& table, const EntryArray& entries, std::int32_t count,
                     const LineRules& rules, const TableContext& context,
                     std::int32_t& ok) noexcept;

// The column index of `map` over the source's columns. Returns 2 or 705.
Status BuildColumnIndex(ColumnIndex& index, const KeyTable& map,
                        const ArrayBounds& source) noexcept;

// The entry of `map` naming the column at `offset`, or nullptr; `index` is map's column index.
inline const KeyEntry* EntryForColumn(const KeyTable& map, const ColumnIndex& index,
                                      std::uint32_t offset) noexcept {
  const std::int32_t i = offset < index.size() ? index[offset] : -1;
  return i >= 0 ? &map[static_cast<std::size_t>(i)] : nullptr;
}

// The move map when no move command is given: one entry per sort key, moved by the caller
// where the key is compared by the caller. Returns 2 or 705.
Status DeriveMoveMap(TKCOMM& comm, KeyTables& tables) noexcept;

}  // namespace tk
