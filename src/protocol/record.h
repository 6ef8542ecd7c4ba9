// The communication record: the byte layout shared with the macro's user-defined type.
//
// The macro language lays out its types with 4-byte packing: a Double may start at an
// offset that is a multiple of 4 only (RowCount, BenchShuffle), a Variant takes 16 bytes
// and a dynamic array member is a 4-byte SAFEARRAY pointer. Every offset below is part of
// the interface; the static_asserts pin each one, so a field moved by mistake fails the
// build instead of corrupting a workbook.
//
// The caller owns the record and everything its VARIANTs and array pointer refer to. The
// engine reads and writes it in place during a call and keeps no pointer to it afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ole.h"

namespace tk {

#pragma pack(push, 4)

// One table: a Range object, an array of VARIANT cells, or both.
struct RangeSlot {
  std::int32_t FromRange;    // out: 1 when Data was read from RangeObj by the last validation
  VARIANT RangeObj;          // in:  VT_DISPATCH Range, or VT_EMPTY when Data is given alone
  std::int32_t Valid;        // out: 1 after a successful validation by SELECT
  VARIANT Data;              // in/out: VT_ARRAY of VARIANT cells, one or two dimensions
  std::int32_t HeaderLines;  // in:  header rows at the top of the array
  std::int32_t FirstRow;     // in/out: array row of the first data row (0 with LastRow 0: default)
  std::int32_t LastRow;      // in/out: array row of the last data row
  double RowCount;           // out: number of data rows
};

struct TKCOMM {
  VARIANT Banner;               // out: product line, year and version (VT_BSTR)
  double Version;               // out: 2.0
  VARIANT Reserved1;            // never touched
  RangeSlot Source;             // in/out: the table that is sorted, moved, exported
  std::int32_t IgnoreEmpty;     // in:  0 = empty cells sort last; else they tie
  RangeSlot Dest;               // in/out: EXPORT's destination; may stay empty
  VARIANT SortCmd;              // in:  sort command line (text or entry array)
  std::int32_t SortKeyCount;    // out: entries parsed from SortCmd
  std::int32_t SortCmdOk;       // out: 1 when the sort keys were built
  VARIANT MoveCmd;              // in:  move command line; may stay empty
  std::int32_t MoveMapCount;    // out: entries parsed from MoveCmd
  std::int32_t MoveCmdOk;       // out: 1 when the move map was built (or derived)
  VARIANT ExportCmd;            // in:  export command line; may stay empty
  std::int32_t ExportMapCount;  // out: entries parsed from ExportCmd
  std::int32_t ExportCmdOk;     // out: 1 when the export map was built
  std::int32_t BrkRowA;         // out: break-out, first row
  std::int32_t BrkRowB;         // out: break-out, second row
  std::int32_t BrkColumn;       // out: break-out, source column
  std::int32_t BrkDestRow;      // out: export break-out, destination row
  std::int32_t BrkDestColumn;   // out: export break-out, destination column
  SAFEARRAY* SortIndex;         // in/out: the caller's dynamic Long array for the order
  std::int32_t SortIndexValid;  // out: 1 after SORTINDEX filled SortIndex
  std::int32_t LastError;       // out: last status when it lies in 700-799, else 0
  VARIANT Status;               // out: "[ddd]message" (VT_BSTR)
  std::int32_t BenchRows;       // in:  benchmark table rows
  std::int32_t Reserved2;       // never touched
  double BenchShuffle;          // in:  benchmark mixing factor
  double SortSeconds;           // out: benchmark sort time
  double MoveSeconds;           // out: benchmark move time
  double WriteSeconds;          // out: benchmark write-back time
};

#pragma pack(pop)

// Record offsets and sizes: the interface with the macro's declaration.
constexpr std::size_t kRangeSlotSize = 60;
constexpr std::size_t kRecordSize = 324;
constexpr std::size_t kSourceOffset = 40;
constexpr std::size_t kDestOffset = 104;

static_assert(sizeof(VARIANT) == 16, "cells are 16-byte VARIANTs");
static_assert(sizeof(RangeSlot) == kRangeSlotSize);
static_assert(offsetof(RangeSlot, FromRange) == 0);
static_assert(offsetof(RangeSlot, RangeObj) == 4);
static_assert(offsetof(RangeSlot, Valid) == 20);
static_assert(offsetof(RangeSlot, Data) == 24);
static_assert(offsetof(RangeSlot, HeaderLines) == 40);
static_assert(offsetof(RangeSlot, FirstRow) == 44);
static_assert(offsetof(RangeSlot, LastRow) == 48);
static_assert(offsetof(RangeSlot, RowCount) == 52);

static_assert(sizeof(TKCOMM) == kRecordSize);
static_assert(offsetof(TKCOMM, Banner) == 0);
static_assert(offsetof(TKCOMM, Version) == 16);
static_assert(offsetof(TKCOMM, Reserved1) == 24);
static_assert(offsetof(TKCOMM, Source) == kSourceOffset);
static_assert(offsetof(TKCOMM, IgnoreEmpty) == 100);
static_assert(offsetof(TKCOMM, Dest) == kDestOffset);
static_assert(offsetof(TKCOMM, SortCmd) == 164);
static_assert(offsetof(TKCOMM, SortKeyCount) == 180);
static_assert(offsetof(TKCOMM, SortCmdOk) == 184);
static_assert(offsetof(TKCOMM, MoveCmd) == 188);
static_assert(offsetof(TKCOMM, MoveMapCount) == 204);
static_assert(offsetof(TKCOMM, MoveCmdOk) == 208);
static_assert(offsetof(TKCOMM, ExportCmd) == 212);
static_assert(offsetof(TKCOMM, ExportMapCount) == 228);
static_assert(offsetof(TKCOMM, ExportCmdOk) == 232);
static_assert(offsetof(TKCOMM, BrkRowA) == 236);
static_assert(offsetof(TKCOMM, BrkRowB) == 240);
static_assert(offsetof(TKCOMM, BrkColumn) == 244);
static_assert(offsetof(TKCOMM, BrkDestRow) == 248);
static_assert(offsetof(TKCOMM, BrkDestColumn) == 252);
static_assert(offsetof(TKCOMM, SortIndex) == 256);
static_assert(offsetof(TKCOMM, SortIndexValid) == 260);
static_assert(offsetof(TKCOMM, LastError) == 264);
static_assert(offsetof(TKCOMM, Status) == 268);
static_assert(offsetof(TKCOMM, BenchRows) == 284);
static_assert(offsetof(TKCOMM, Reserved2) == 288);
static_assert(offsetof(TKCOMM, BenchShuffle) == 292);
static_assert(offsetof(TKCOMM, SortSeconds) == 300);
static_assert(offsetof(TKCOMM, MoveSeconds) == 308);
static_assert(offsetof(TKCOMM, WriteSeconds) == 316);

}  // namespace tk
