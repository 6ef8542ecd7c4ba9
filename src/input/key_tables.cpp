// Sort-key and column-map tables. See key_tables.h.
#include "input/key_tables.h"

namespace tk {
namespace {

bool InRange(std::int32_t value, std::int32_t low, std::int32_t high) noexcept {
  return low <= value && value <= high;
}

// Parses one line and builds its table; a command that is not there at all (the parser's
// 704) is Absent. The entry array goes away with `entries`.
TableLoad ParseAndBuild(const VARIANT& line, const LineRules& rules, std::int32_t& count,
                        std::int32_t& ok, KeyTable& table, const TableContext& context) noexcept {
  EntryArray entries;
  const Status parsed = ParseCommand(rules.keywords, line, rules.fields, entries, count);
  if (parsed == Status::NullPointer) return TableLoad::Absent();
  if (parsed != Status::Success) return TableLoad::Refused(parsed);
  const Status built = BuildKeyTable(table, entries, count, rules, context, ok);
  return built == Status::Success ? TableLoad::Built() : TableLoad::Refused(built);
}

}  // namespace

TableLoad LoadSortKeys(TKCOMM& comm, KeyTables& tables, const TableContext& context) noexcept {
  return ParseAndBuild(comm.SortCmd,
                       {kSortKeywords, kPairFields, kCompareAscending, kCompareDescendingNumText},
                       comm.SortKeyCount, comm.SortCmdOk, tables.SortKeys, context);
}

TableLoad LoadMoveMap(TKCOMM& comm, KeyTables& tables, const TableContext& context) noexcept {
  return ParseAndBuild(comm.MoveCmd, {kMoveKeywords, kPairFields, kMoveAuto, kMoveBreakOut},
                       comm.MoveMapCount, comm.MoveCmdOk, tables.MoveMap, context);
}

TableLoad LoadExportMap(TKCOMM& comm, KeyTables& tables, const TableContext& context) noexcept {
  // Only a destination read from a Range and validated by this SELECT gets an export table:
  // EXPORT writes into its cells and back into the Range.
  TableLoad load = TableLoad::Absent();
  if (comm.Dest.FromRange != 0 && comm.Dest.Valid != 0) {
    load = ParseAndBuild(comm.ExportCmd,
                         {kExportKeywords, kExportFields, kExportAuto, kExportBreakOut},
                         comm.ExportMapCount, comm.ExportCmdOk, tables.ExportMap, context);
  }
  // No table from this SELECT: EXPORT must refuse rather than use an older one.
  if (load.absent()) comm.ExportCmdOk = 0;
  return load;
}

Status BuildKeyTable(KeyTable& table, const EntryArray& entries, std::int32_t count,
                     const LineRules& rules, const TableContext& context,
                     std::int32_t& ok) noexcept {
  ok = 0;
  table.Release();
  const std::uint32_t entryCount = count > 0 ? static_cast<std::uint32_t>(count) : 0u;
  if (!table.AllocateZeroed(entryCount)) return Status::NoMemory;

  bool valid = entryCount > 0;
  const auto width = static_cast<std::uint32_t>(rules.fields);
  for (std::uint32_t i = 0; valid && i < entryCount; ++i) {
    KeyEntry& entry = table[i];
    // Values are read in place: the low 16 bits for a column, 32 bits for the mode.
    entry.Column = entries.Element(i * width).iVal;
    valid = InRange(entry.Column, context.source.FirstColumn, context.source.LastColumn);
    if (valid && rules.fields == kExportFields) {
      entry.DestColumn = entries.Element(i * width + 1).iVal;
      valid = InRange(entry.DestColumn, context.dest.FirstColumn, context.dest.LastColumn);
    }
    entry.Mode = entries.Element(i * width + width - 1).lVal;
    valid = valid && InRange(entry.Mode, rules.lowestMode, rules.highestMode);
    if (!valid) break;
    // The column's first cell, moved back by the first row number, so that the cell of
    // array row r is ColumnCell(Cells, r).
    const auto columnOffset = static_cast<std::uint32_t>(entry.Column - context.source.FirstColumn);
    entry.Cells = ColumnCell(context.sourceBlock + columnOffset * context.source.Rows,
                             -context.source.FirstArrayRow);
  }
  if (!valid) {
    table.Release();
    return Status::BadCommandLine;
  }
  ok = 1;
  return Status::Success;
}

Status BuildColumnIndex(ColumnIndex& index, const KeyTable& map,
                        const ArrayBounds& source) noexcept {
  if (!index.Allocate(source.Columns)) return Status::NoMemory;
  for (std::uint32_t c = 0; c < source.Columns; ++c) index[c] = -1;
  // From the last entry to the first, so that the first entry of a column is the one kept.
  for (std::size_t i = map.size(); i-- > 0;) {
    const std::int64_t offset = std::int64_t{map[i].Column} - source.FirstColumn;
    if (offset >= 0 && offset < std::int64_t{source.Columns}) {
      index[static_cast<std::size_t>(offset)] = static_cast<std::int32_t>(i);
    }
  }
  return Status::Success;
}

Status DeriveMoveMap(TKCOMM& comm, KeyTables& tables) noexcept {
  tables.MoveMap.Release();
  const std::size_t keys = tables.SortKeys.size();
  if (!tables.MoveMap.AllocateZeroed(keys)) return Status::NoMemory;
  for (std::size_t i = 0; i < keys; ++i) {
    tables.MoveMap[i].Column = tables.SortKeys[i].Column;
    tables.MoveMap[i].DestColumn = tables.SortKeys[i].DestColumn;
    tables.MoveMap[i].Mode =
        tables.SortKeys[i].Mode == kCompareBreakOut ? kMoveBreakOut : kMoveAuto;
  }
  comm.MoveCmdOk = comm.SortCmdOk;
  return Status::Success;
}

}  // namespace tk
