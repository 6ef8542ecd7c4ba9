// Key tables and SELECT's set-up as a whole: sort keys, move map, export map, row index.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "entry/engine.h"
#include "support/caller.h"
#include "support/fake_range.h"
#include "support/table.h"

namespace {

using tk::Engine;
using tkt::Cell;
using tkt::FakeRange;
using tkt::Record;
using tkt::Rows;

using tkt::kSelected;

// A caller-built entry array: the values as VT_I4 elements, lower bound 0.
SAFEARRAY* Entries(std::initializer_list<std::int32_t> values) {
  std::vector<Cell> cells;
  for (std::int32_t v : values) cells.emplace_back(static_cast<int>(v));
  return tkt::MakeColumn(cells, 0);
}

// The source of 10 rows x 3 columns read from a Range, no header lines.
struct TableTest : ::testing::Test {
  FakeRange range{tkt::NumberGrid(10, 3)};
  std::unique_ptr<FakeRange> destRange;  // outlives the record, which holds a reference
  Engine engine;
  Record r;
  FakeRange& Dest(const Rows& rows) {
    destRange = std::make_unique<FakeRange>(rows);
    tkt::PutRange(r.comm.Dest, *destRange);
    return *destRange;
  }
  void SetUp() override { tkt::PutRange(r.comm.Source, range); }
  std::int32_t Select() { return tkt::Select(engine, r.comm); }
  const tk::KeyTables& keys() const { return engine.selection.keys; }
  std::uintptr_t Block() const {
    return reinterpret_cast<std::uintptr_t>(r.comm.Source.Data.parray->pvData);
  }
};

TEST_F(TableTest, SortKeysInCommandOrderWithColumnBases) {
  tkt::PutText(r.comm.SortCmd, L"3,TK_COMPASCAUTO 1,TK_COMPDESAUTO");
  ASSERT_EQ(Select(), kSelected);
  EXPECT_EQ(r.comm.SortKeyCount, 2);
  EXPECT_EQ(r.comm.SortCmdOk, 1);
  ASSERT_EQ(keys().SortKeys.size(), 2u);
  const tk::KeyEntry& first = keys().SortKeys[0];
  const tk::KeyEntry& second = keys().SortKeys[1];
  EXPECT_EQ(first.Column, 3);
  EXPECT_EQ(first.Mode, 1);
  EXPECT_EQ(first.DestColumn, 0);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first.Cells),
            Block() + (2 * 10 - 1) * sizeof(VARIANT));
  EXPECT_EQ(second.Column, 1);
  EXPECT_EQ(second.Mode, 2);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(second.Cells), Block() - sizeof(VARIANT));
  // Row r of the column is r cells past the base: row 4, column 3 holds 3 * 10 + 2.
  EXPECT_EQ(tk::ColumnCell(first.Cells, 4)->lVal, 32);
}

TEST_F(TableTest, ColumnBasesFollowTheLowerBounds) {
  // A caller's array numbered from 0 in both directions.
  Engine fresh;
  Record rec;
  tkt::PutArray(rec.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(5, 3), 0, 0));
  tkt::PutText(rec.comm.SortCmd, L"2,TK_COMPASCAUTO");
  std::int32_t code = tk::kSelect;
  fresh.Call(&code, &rec.comm);
  ASSERT_EQ(code, kSelected);
  const tk::KeyEntry& key = fresh.selection.keys.SortKeys[0];
  const auto block = reinterpret_cast<std::uintptr_t>(rec.comm.Source.Data.parray->pvData);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(key.Cells), block + 2 * 5 * sizeof(VARIANT));
  EXPECT_EQ(tk::ColumnCell(key.Cells, 0)->lVal, 2);   // row 0, column 2
  EXPECT_EQ(tk::ColumnCell(key.Cells, 4)->lVal, 42);  // row 4, column 2
}

TEST_F(TableTest, BadSortEntriesLeaveNoTable) {
  struct Case {
    const char* what;
    const wchar_t* text;
    std::int32_t count;
  } const cases[] = {
      {"column past the last", L"4,TK_COMPASCAUTO", 1},
      {"column 0", L"0,TK_COMPASCAUTO", 1},
      {"second entry bad", L"1,TK_COMPASCAUTO -1,TK_COMPDESAUTO", 2},
      {"blank text: no entries", L"   ", 0},
      {"empty text: no entries", L"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    r.comm.SortCmdOk = 1;
    tkt::PutText(r.comm.SortCmd, c.text);
    EXPECT_EQ(Select(), 709);
    EXPECT_EQ(r.comm.SortCmdOk, 0);
    EXPECT_EQ(keys().SortKeys.size(), 0u);
    EXPECT_EQ(r.comm.SortKeyCount, c.count);
    EXPECT_EQ(engine.selection.IndexValid, 0);
  }
}

TEST_F(TableTest, CallerBuiltSortArrayIsCheckedLikeText) {
  tkt::PutArray(r.comm.SortCmd, Entries({2, 1, 1, 500}));
  EXPECT_EQ(Select(), 709);  // a move mode in a sort line
  EXPECT_EQ(r.comm.SortKeyCount, 2);

  tkt::PutArray(r.comm.SortCmd, Entries({2, 2, 65537, 3}));  // columns use their low 16 bits
  ASSERT_EQ(Select(), kSelected);
  ASSERT_EQ(keys().SortKeys.size(), 2u);
  EXPECT_EQ(keys().SortKeys[1].Column, 1);
  EXPECT_EQ(keys().SortKeys[1].Mode, 3);

  // The sort modes run from 1 to 9; 0 and 10 are no keywords.
  tkt::PutArray(r.comm.SortCmd, Entries({2, 4, 1, 9}));
  ASSERT_EQ(Select(), kSelected);
  EXPECT_EQ(keys().SortKeys[0].Mode, 4);
  EXPECT_EQ(keys().SortKeys[1].Mode, 9);
  for (const std::int32_t mode : {0, 10}) {
    tkt::PutArray(r.comm.SortCmd, Entries({2, 1, 1, mode}));
    EXPECT_EQ(Select(), 709) << mode;
    EXPECT_EQ(keys().SortKeys.size(), 0u);
  }
}

TEST_F(TableTest, NoSortCommandIs704AndLeavesTheOldTable) {
  tkt::PutText(r.comm.SortCmd, L"2,TK_COMPASCAUTO");
  ASSERT_EQ(Select(), kSelected);
  VariantClear(&r.comm.SortCmd);
  EXPECT_EQ(Select(), 704);
  EXPECT_EQ(r.comm.SortCmdOk, 1);
  EXPECT_EQ(keys().SortKeys.size(), 1u);
  EXPECT_EQ(engine.selection.IndexValid, 0);
}

TEST_F(TableTest, MoveMapDerivedFromTheSortKeys) {
  tkt::PutText(r.comm.SortCmd, L"3,TK_COMPASCAUTO 1,TK_COMPBRKO");
  r.comm.MoveMapCount = 42;
  ASSERT_EQ(Select(), kSelected);
  ASSERT_EQ(keys().MoveMap.size(), 2u);
  EXPECT_EQ(keys().MoveMap[0].Column, 3);
  EXPECT_EQ(keys().MoveMap[0].Mode, 500);
  EXPECT_EQ(keys().MoveMap[1].Column, 1);
  EXPECT_EQ(keys().MoveMap[1].Mode, 501);
  EXPECT_EQ(keys().MoveMap[0].DestColumn, 0);
  EXPECT_EQ(keys().MoveMap[1].Cells, nullptr);
  EXPECT_EQ(r.comm.MoveCmdOk, 1);
  EXPECT_EQ(r.comm.MoveMapCount, 42);  // a derived map does not write the count
}

TEST_F(TableTest, ExplicitMoveCommand) {
  tkt::PutText(r.comm.SortCmd, L"3,TK_COMPASCAUTO 1,TK_COMPBRKO");
  tkt::PutText(r.comm.MoveCmd, L"2,TK_MOVEBRKO");
  ASSERT_EQ(Select(), kSelected);
  ASSERT_EQ(keys().MoveMap.size(), 1u);
  EXPECT_EQ(keys().MoveMap[0].Column, 2);
  EXPECT_EQ(keys().MoveMap[0].Mode, 501);
  EXPECT_EQ(r.comm.MoveMapCount, 1);
  EXPECT_EQ(r.comm.MoveCmdOk, 1);

  tkt::PutText(r.comm.MoveCmd, L"2,TK_COMPBRKO");  // a sort keyword in the move line
  EXPECT_EQ(Select(), 709);
  tkt::PutText(r.comm.MoveCmd, L"5,TK_MOVEAUTO");
  EXPECT_EQ(Select(), 709);
  EXPECT_EQ(r.comm.MoveCmdOk, 0);
}

TEST_F(TableTest, ExportMapOnlyForADestinationRange) {
  Dest(tkt::NumberGrid(6, 4));
  tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutText(r.comm.ExportCmd, L"1,4,TK_EXPORTAUTO 3,2,TK_EXPORTBRKO");
  ASSERT_EQ(Select(), kSelected);
  EXPECT_EQ(r.comm.ExportCmdOk, 1);
  EXPECT_EQ(r.comm.ExportMapCount, 2);
  ASSERT_EQ(keys().ExportMap.size(), 2u);
  EXPECT_EQ(keys().ExportMap[0].Column, 1);
  EXPECT_EQ(keys().ExportMap[0].DestColumn, 4);
  EXPECT_EQ(keys().ExportMap[0].Mode, 600);
  EXPECT_EQ(keys().ExportMap[1].Column, 3);
  EXPECT_EQ(keys().ExportMap[1].DestColumn, 2);
  EXPECT_EQ(keys().ExportMap[1].Mode, 601);

  tkt::PutText(r.comm.ExportCmd, L"1,5,TK_EXPORTAUTO");  // destination has 4 columns
  EXPECT_EQ(Select(), 709);
  EXPECT_EQ(r.comm.ExportCmdOk, 0);

  // A later SELECT without an export command leaves EXPORT nothing to use.
  tkt::PutText(r.comm.ExportCmd, L"1,1,TK_EXPORTAUTO");
  ASSERT_EQ(Select(), kSelected);
  EXPECT_EQ(r.comm.ExportCmdOk, 1);
  VariantClear(&r.comm.ExportCmd);
  ASSERT_EQ(Select(), kSelected);
  EXPECT_EQ(r.comm.ExportCmdOk, 0);
}

TEST_F(TableTest, ExportCommandWithoutDestinationRangeIsNotParsed) {
  tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutText(r.comm.ExportCmd, L"this is not parsed");
  r.comm.ExportCmdOk = 1;
  r.comm.ExportMapCount = 7;
  tkt::PutArray(r.comm.Dest.Data, tkt::MakeTable(tkt::NumberGrid(4, 2)));  // an array, no Range
  ASSERT_EQ(Select(), kSelected);
  EXPECT_EQ(r.comm.Dest.Valid, 1);
  EXPECT_EQ(r.comm.ExportCmdOk, 0);
  EXPECT_EQ(r.comm.ExportMapCount, 7);
}

// A destination Range that answers a single value is read (FromRange 1) but not valid:
// an export table for it would let EXPORT write cells into something that is no array.
TEST_F(TableTest, ExportNeedsAValidatedDestination) {
  Dest(Rows{{"one cell"}});
  tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutText(r.comm.ExportCmd, L"1,1,TK_EXPORTAUTO");
  r.comm.ExportCmdOk = 1;
  ASSERT_EQ(Select(), kSelected);
  EXPECT_EQ(r.comm.Dest.FromRange, 1);
  EXPECT_EQ(r.comm.Dest.Valid, 0);
  EXPECT_EQ(r.comm.ExportCmdOk, 0);

  std::int32_t code = tk::kExport;
  engine.Call(&code, &r.comm);
  EXPECT_EQ(code, 709);
}

// A break-out key stops SELECT at the sort's first comparison: the set-up is all done.
TEST_F(TableTest, RowIndexAndSentinelsWhereTheSortStarts) {
  r.comm.Source.HeaderLines = 2;
  tkt::PutText(r.comm.SortCmd, L"1,TK_COMPBRKO");
  ASSERT_EQ(Select(), 3);
  const tk::Selection& s = engine.selection;
  EXPECT_EQ(s.IndexValid, 1);
  ASSERT_EQ(s.RowIndexLength, 10u);
  ASSERT_TRUE(s.RowIndex);
  for (std::uint32_t j = 1; j <= 8; ++j) EXPECT_EQ(s.RowIndex[j], static_cast<std::int32_t>(j + 2));
  EXPECT_EQ(s.RowIndex[0], 3);
  EXPECT_EQ(s.RowIndex[9], 10);
  EXPECT_EQ(s.LeftSentinel, 3);
  EXPECT_EQ(s.RightSentinel, 10);
  EXPECT_EQ(s.SelFirstRow, 3);
  EXPECT_EQ(s.SelLastRow, 10);
  ASSERT_TRUE(engine.sort.SortStack);
  EXPECT_EQ(engine.sort.StackDepth, 0);
  EXPECT_EQ(engine.sort.SortStack[0].Low, 1u);
  EXPECT_EQ(engine.sort.SortStack[0].High, 8u);
  EXPECT_EQ(r.comm.BrkRowA, 3);  // the first row, against the pivot at position 4
  EXPECT_EQ(r.comm.BrkRowB, 6);
}

TEST(SingleRow, RowIndexHoldsThreeEqualEntries) {
  Engine engine;
  Record r;
  tkt::PutArray(r.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(2, 1), 5, 1));
  r.comm.Source.HeaderLines = 1;
  tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  std::int32_t code = tk::kSelect;
  engine.Call(&code, &r.comm);
  ASSERT_EQ(code, kSelected);
  ASSERT_EQ(engine.selection.RowIndexLength, 3u);
  for (std::uint32_t j = 0; j < 3; ++j) EXPECT_EQ(engine.selection.RowIndex[j], 6);
}

TEST_F(TableTest, EveryAllocationThatFailsEndsSelectCleanly) {
  tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  auto allocations = [] {
    const tk::platform::HeapCounters c = tk::platform::Counters();
    return c.allocations + c.arraysCreated + c.strings;
  };
  const auto before = allocations();
  ASSERT_EQ(Select(), kSelected);
  const auto perSelect = allocations() - before;
  ASSERT_GE(perSelect, 4);

  // Fail each of them in turn. A failed banner or status text leaves that text and lets the
  // call go on (2); the Range read's own call answers 715; every other failure ends SELECT
  // with 705 and leaves no selection.
  int outOfMemory = 0;
  for (std::int64_t nth = 1; nth <= perSelect; ++nth) {
    SCOPED_TRACE(nth);
    tk::platform::FailAllocationAt(nth);
    const std::int32_t code = Select();
    tk::platform::FailAllocationAt(0);
    EXPECT_TRUE(code == 705 || code == 715 || code == kSelected) << code;
    EXPECT_EQ(engine.selection.IndexValid, code == kSelected ? 1 : 0);
    outOfMemory += code == 705 ? 1 : 0;
  }
  EXPECT_GE(outOfMemory, 4);  // command text copies, key table, stack, row index
  EXPECT_EQ(Select(), kSelected);
}

TEST_F(TableTest, ResetFreesTheSortKeysOnly) {
  Dest(tkt::NumberGrid(6, 4));
  tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutText(r.comm.ExportCmd, L"1,1,TK_EXPORTAUTO");
  ASSERT_EQ(Select(), kSelected);
  std::int32_t code = tk::kReset;
  engine.Call(&code, &r.comm);
  EXPECT_EQ(keys().SortKeys.size(), 0u);
  EXPECT_EQ(keys().MoveMap.size(), 1u);
  EXPECT_EQ(keys().ExportMap.size(), 1u);
  EXPECT_EQ(r.comm.SortCmdOk, 1);
  EXPECT_EQ(r.comm.ExportCmdOk, 1);
}

}  // namespace
