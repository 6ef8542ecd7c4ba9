// The communication record: the byte layout shared with the macro's user-defined type.
//
// The macro language lays its types out differently in the two Office builds, and the
// record follows it on each:
//   32-bit: 4-byte packing. A Double may start at a multiple of 4 only (RowCount,
//           BenchShuffle), a Variant takes 16 bytes, a dynamic array member is a 4-byte
//           SAFEARRAY pointer. 324 bytes.
//   64-bit: natural alignment. Every member starts at a multiple of its own alignment
//           (Long 4, Double 8, Variant 24 bytes aligned on 8, the array member an 8-byte
//           pointer) and the whole is padded to a multiple of 8. 440 bytes. This is the
//           compiler's default layout on x64, so no packing pragma applies there.
// Every offset below is part of the interface; the static_asserts pin each one for both
// builds, so a field moved by mistake fails the build instead of corrupting a workbook.
//
// The caller owns the record and everything its VARIANTs and array pointer refer to. The
// engine reads and writes it in place during a call and keeps no pointer to it afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ole.h"

namespace tk {

#ifndef _WIN64
#pragma pack(push, 4)
#endif

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

#ifndef _WIN64
#pragma pack(pop)
#endif

// Record offsets and sizes: the interface with the macro's declaration. Each row holds the
// 32-bit offset, then the 64-bit one.
#ifdef _WIN64
#define TK_AT(at32, at64) (at64)
#else
#define TK_AT(at32, at64) (at32)
#endif

constexpr std::size_t kCellSize = TK_AT(16, 24);
constexpr std::size_t kRangeSlotSize = TK_AT(60, 88);
constexpr std::size_t kRecordSize = TK_AT(324, 440);
constexpr std::size_t kSourceOffset = TK_AT(40, 56);
constexpr std::size_t kDestOffset = TK_AT(104, 152);

static_assert(sizeof(VARIANT) == kCellSize, "a cell is one VARIANT");
static_assert(sizeof(void*) == TK_AT(4, 8));
static_assert(sizeof(RangeSlot) == kRangeSlotSize);
static_assert(offsetof(RangeSlot, FromRange) == 0);
static_assert(offsetof(RangeSlot, RangeObj) == TK_AT(4, 8));
static_assert(offsetof(RangeSlot, Valid) == TK_AT(20, 32));
static_assert(offsetof(RangeSlot, Data) == TK_AT(24, 40));
static_assert(offsetof(RangeSlot, HeaderLines) == TK_AT(40, 64));
static_assert(offsetof(RangeSlot, FirstRow) == TK_AT(44, 68));
static_assert(offsetof(RangeSlot, LastRow) == TK_AT(48, 72));
static_assert(offsetof(RangeSlot, RowCount) == TK_AT(52, 80));

static_assert(sizeof(TKCOMM) == kRecordSize);
static_assert(offsetof(TKCOMM, Banner) == 0);
static_assert(offsetof(TKCOMM, Version) == TK_AT(16, 24));
static_assert(offsetof(TKCOMM, Reserved1) == TK_AT(24, 32));
static_assert(offsetof(TKCOMM, Source) == kSourceOffset);
static_assert(offsetof(TKCOMM, IgnoreEmpty) == TK_AT(100, 144));
static_assert(offsetof(TKCOMM, Dest) == kDestOffset);
static_assert(offsetof(TKCOMM, SortCmd) == TK_AT(164, 240));
static_assert(offsetof(TKCOMM, SortKeyCount) == TK_AT(180, 264));
static_assert(offsetof(TKCOMM, SortCmdOk) == TK_AT(184, 268));
static_assert(offsetof(TKCOMM, MoveCmd) == TK_AT(188, 272));
static_assert(offsetof(TKCOMM, MoveMapCount) == TK_AT(204, 296));
static_assert(offsetof(TKCOMM, MoveCmdOk) == TK_AT(208, 300));
static_assert(offsetof(TKCOMM, ExportCmd) == TK_AT(212, 304));
static_assert(offsetof(TKCOMM, ExportMapCount) == TK_AT(228, 328));
static_assert(offsetof(TKCOMM, ExportCmdOk) == TK_AT(232, 332));
static_assert(offsetof(TKCOMM, BrkRowA) == TK_AT(236, 336));
static_assert(offsetof(TKCOMM, BrkRowB) == TK_AT(240, 340));
static_assert(offsetof(TKCOMM, BrkColumn) == TK_AT(244, 344));
static_assert(offsetof(TKCOMM, BrkDestRow) == TK_AT(248, 348));
static_assert(offsetof(TKCOMM, BrkDestColumn) == TK_AT(252, 352));
static_assert(offsetof(TKCOMM, SortIndex) == TK_AT(256, 360));
static_assert(offsetof(TKCOMM, SortIndexValid) == TK_AT(260, 368));
static_assert(offsetof(TKCOMM, LastError) == TK_AT(264, 372));
static_assert(offsetof(TKCOMM, Status) == TK_AT(268, 376));
static_assert(offsetof(TKCOMM, BenchRows) == TK_AT(284, 400));
static_assert(offsetof(TKCOMM, Reserved2) == TK_AT(288, 404));
static_assert(offsetof(TKCOMM, BenchShuffle) == TK_AT(292, 408));
static_assert(offsetof(TKCOMM, SortSeconds) == TK_AT(300, 416));
static_assert(offsetof(TKCOMM, MoveSeconds) == TK_AT(308, 424));
static_assert(offsetof(TKCOMM, WriteSeconds) == TK_AT(316, 432));

#undef TK_AT

}  // namespace tk
