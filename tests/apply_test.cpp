// MOVE, EXPORT and SORTINDEX through the protocol.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "entry/engine.h"
#include "support/caller.h"
#include "support/fake_range.h"
#include "support/table.h"

namespace {

using tk::Engine;
using tkt::BreakOut;
using tkt::Caller;
using tkt::Cell;
using tkt::Dots;
using tkt::Dump;
using tkt::FakeRange;
using tkt::Grid;
using tkt::Order;
using tkt::Record;
using tkt::Rows;

// The rows of `before` rearranged as MOVE must leave them: array row F + p - 1 receives the
// row RowIndex[p] held before; header rows stay. Rows are 1-based here (arrays from 1).
Grid Moved(const Grid& before, const std::vector<std::int32_t>& order, std::int32_t first) {
  Grid after = before;
  for (std::size_t p = 0; p < order.size(); ++p) {
    after[static_cast<std::size_t>(first - 1) + p] = before[static_cast<std::size_t>(order[p] - 1)];
  }
  return after;
}

struct Session {
  Engine engine;
  Record r;
  Caller caller{engine};
  std::int32_t Run(std::int32_t command) { return caller.Run(command, r.comm); }
};

// ---- MOVE ---------------------------------------------------------------------------------

TEST(Move, WorkedExampleWithItsBreakOuts) {
  Session s;
  tkt::PutArray(s.r.comm.Source.Data,
                tkt::MakeTable({{"key", "name"}, {3, "c"}, {1, "a"}, {2, "b"}}));
  s.r.comm.Source.HeaderLines = 1;
  tkt::PutText(s.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutText(s.r.comm.MoveCmd, L"2,TK_MOVEBRKO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  ASSERT_EQ(Order(s.engine), (std::vector<std::int32_t>{3, 4, 2}));
  s.caller.seen.clear();
  EXPECT_EQ(s.Run(tk::kMove), 2);
  const std::vector<BreakOut> expected = {
      {202, 2, 2, 2, 0, 0}, {201, 3, 2, 2, 0, 0}, {201, 4, 3, 2, 0, 0}, {203, 4, 4, 2, 0, 0}};
  EXPECT_EQ(s.caller.seen, expected);
  EXPECT_EQ(Dump(s.r.comm.Source.Data.parray),
            (Grid{{L"key", L"name"}, {L"1", L"a"}, {L"2", L"b"}, {L"3", L"c"}}));
  EXPECT_EQ(s.r.comm.LastError, 0);
  EXPECT_EQ(tkt::FieldText(s.r.comm.Status), L"[002]Completed without errors");
}

TEST(Move, TwoCycleAndKCycleBreakOutSequences) {
  // Two rows that change places: x = 1 (upper), y = 2.
  Session two;
  tkt::PutArray(two.r.comm.Source.Data, tkt::MakeTable({{2, "x"}, {1, "y"}}));
  tkt::PutText(two.r.comm.SortCmd, L"1,TK_COMPASCAUTO 2,TK_COMPBRKO");
  ASSERT_EQ(two.Run(tk::kSelect), 2);
  two.caller.seen.clear();
  ASSERT_EQ(two.Run(tk::kMove), 2);
  EXPECT_EQ(
      two.caller.seen,
      (std::vector<BreakOut>{{202, 1, 1, 2, 0, 0}, {201, 2, 1, 2, 0, 0}, {203, 2, 2, 2, 0, 0}}));

  // One cycle through five rows, two break-out columns (1 and 3) of three.
  Session k;
  tkt::PutArray(
      k.r.comm.Source.Data,
      tkt::MakeTable({{"e", 5, "E"}, {"a", 1, "A"}, {"b", 2, "B"}, {"c", 3, "C"}, {"d", 4, "D"}}));
  tkt::PutText(k.r.comm.SortCmd, L"2,TK_COMPASCAUTO");
  tkt::PutText(k.r.comm.MoveCmd, L"3,TK_MOVEBRKO 1,TK_MOVEBRKO");
  ASSERT_EQ(k.Run(tk::kSelect), 2);
  k.caller.seen.clear();
  ASSERT_EQ(k.Run(tk::kMove), 2);
  std::map<std::int32_t, int> perCode;
  for (std::size_t i = 0; i < k.caller.seen.size(); ++i) {
    ++perCode[k.caller.seen[i].code];
    if (i % 2 == 0) {  // within one copy step: column 1, then column 3
      EXPECT_EQ(k.caller.seen[i].column, 1);
      EXPECT_EQ(k.caller.seen[i + 1].column, 3);
      EXPECT_EQ(k.caller.seen[i + 1].code, k.caller.seen[i].code);
    }
  }
  EXPECT_EQ(perCode[202], 2);
  EXPECT_EQ(perCode[201], 2 * 4);
  EXPECT_EQ(perCode[203], 2);
  EXPECT_EQ(Dump(k.r.comm.Source.Data.parray), (Grid{{L"a", L"1", L"A"},
                                                     {L"b", L"2", L"B"},
                                                     {L"c", L"3", L"C"},
                                                     {L"d", L"4", L"D"},
                                                     {L"e", L"5", L"E"}}));
}

TEST(Move, RowsInPlaceAreNotTouchedButTheRangeIsWritten) {
  FakeRange range(Rows{{"h"}, {1}, {2}, {3}});
  Session s;
  tkt::PutRange(s.r.comm.Source, range);
  s.r.comm.Source.HeaderLines = 1;
  tkt::PutText(s.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutText(s.r.comm.MoveCmd, L"1,TK_MOVEBRKO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  s.caller.seen.clear();
  EXPECT_EQ(s.Run(tk::kMove), 2);
  EXPECT_TRUE(s.caller.seen.empty());
  EXPECT_EQ(range.valuePuts, 1);
}

TEST(Move, SecondMoveAppliesThePermutationAgain) {
  Session s;
  tkt::PutArray(s.r.comm.Source.Data, tkt::MakeColumn({3, 1, 2}));
  tkt::PutText(s.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  const Grid start = Dump(s.r.comm.Source.Data.parray);
  ASSERT_EQ(s.Run(tk::kMove), 2);
  const Grid once = Dump(s.r.comm.Source.Data.parray);
  EXPECT_EQ(once, Moved(start, Order(s.engine), 1));
  ASSERT_EQ(s.Run(tk::kMove), 2);
  EXPECT_EQ(Dump(s.r.comm.Source.Data.parray), Moved(once, Order(s.engine), 1));
}

TEST(Move, PartlySortedIndexAfterAnAbandonedSort) {
  Session s;
  tkt::PutArray(s.r.comm.Source.Data,
                tkt::MakeTable({{5, "e"}, {3, "c"}, {4, "d"}, {1, "a"}, {2, "b"}}));
  tkt::PutText(s.r.comm.SortCmd, L"1,TK_COMPBRKO");
  const Grid start = Dump(s.r.comm.Source.Data.parray);
  std::int32_t code = tk::kSelect;
  for (int answered = 0; answered < 3; ++answered) {
    s.caller.Send(code, s.r.comm);
    ASSERT_EQ(s.caller.lastReturn, 1);
    code = tkt::CompareCellsAscending(BreakOut{3, s.r.comm.BrkRowA, s.r.comm.BrkRowB, 1, 0, 0},
                                      s.r.comm);
  }
  // MOVE instead of the next answer; the break-out key's column is moved by the caller.
  EXPECT_EQ(s.Run(tk::kMove), 2);
  EXPECT_EQ(s.caller.seen.front().code, 202);
  EXPECT_EQ(Dump(s.r.comm.Source.Data.parray), Moved(start, Order(s.engine), 1));
}

TEST(Move, Refusals) {
  Session none;
  EXPECT_EQ(none.Run(tk::kMove), 707);

  Session replaced;
  tkt::PutArray(replaced.r.comm.Source.Data, tkt::MakeColumn({2, 1}));
  tkt::PutText(replaced.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(replaced.Run(tk::kSelect), 2);
  tkt::PutArray(replaced.r.comm.Source.Data, tkt::MakeColumn({2, 1, 0}));
  EXPECT_EQ(replaced.Run(tk::kMove), 718);

  Session corrupt;
  tkt::PutArray(corrupt.r.comm.Source.Data, tkt::MakeColumn({2, 1, 3}));
  tkt::PutText(corrupt.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(corrupt.Run(tk::kSelect), 2);
  corrupt.engine.selection.RowIndex[2] = corrupt.engine.selection.RowIndex[1];  // a duplicate
  const Grid before = Dump(corrupt.r.comm.Source.Data.parray);
  EXPECT_EQ(corrupt.Run(tk::kMove), 711);
  EXPECT_EQ(Dump(corrupt.r.comm.Source.Data.parray), before);
  corrupt.engine.selection.RowIndex[2] = 99;  // outside the rows
  EXPECT_EQ(corrupt.Run(tk::kMove), 711);

  Session memory;
  tkt::PutArray(memory.r.comm.Source.Data, tkt::MakeColumn({2, 1}));
  tkt::PutText(memory.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(memory.Run(tk::kSelect), 2);
  tk::platform::FailAllocationAt(1);
  EXPECT_EQ(memory.Run(tk::kMove), 705);
  tk::platform::FailAllocationAt(0);
  EXPECT_EQ(Dump(memory.r.comm.Source.Data.parray), (Grid{{L"2"}, {L"1"}}));
}

TEST(Move, WriteBackFailureIs716WithTheRowsMoved) {
  FakeRange range(Rows{{2}, {1}});
  Session s;
  tkt::PutRange(s.r.comm.Source, range);
  tkt::PutText(s.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  range.valuePutFailure = E_FAIL;
  EXPECT_EQ(s.Run(tk::kMove), 716);
  EXPECT_EQ(Dump(s.r.comm.Source.Data.parray), (Grid{{L"1"}, {L"2"}}));
}

// The record's FromRange can keep a write-back from happening, never start one: an array
// given alone stays an array whatever the caller wrote there since.
TEST(Move, FromRangeInTheRecordOnlyNarrowsTheWriteBack) {
  Session array;
  tkt::PutArray(array.r.comm.Source.Data, tkt::MakeColumn({2, 1}));
  tkt::PutText(array.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(array.Run(tk::kSelect), 2);
  array.r.comm.Source.FromRange = 1;
  EXPECT_EQ(array.Run(tk::kMove), 2);
  EXPECT_EQ(Dump(array.r.comm.Source.Data.parray), (Grid{{L"1"}, {L"2"}}));

  FakeRange range(Rows{{2}, {1}});
  Session cleared;
  tkt::PutRange(cleared.r.comm.Source, range);
  tkt::PutText(cleared.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(cleared.Run(tk::kSelect), 2);
  cleared.r.comm.Source.FromRange = 0;
  EXPECT_EQ(cleared.Run(tk::kMove), 2);
  EXPECT_EQ(range.valuePuts, 0);
}

// A cell that VariantCopy cannot copy (an unknown type) would be lost by a copying MOVE:
// the engine's exchanges move it like any other.
TEST(Move, CellsThatCannotBeCopiedAreMovedIntact) {
  Session s;
  SAFEARRAY* table = tkt::MakeTable({{3, "c"}, {1, "a"}, {2, "b"}});
  VARIANT& odd = tkt::CellAt(table, 1, 2);
  VariantClear(&odd);
  odd.vt = 0x7F;  // no such type
  odd.lVal = 1234;
  tkt::PutArray(s.r.comm.Source.Data, table);
  tkt::PutText(s.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  ASSERT_EQ(s.Run(tk::kMove), 2);
  const VARIANT& moved = tkt::CellAt(table, 3, 2);  // row 1 (key 3) went last
  EXPECT_EQ(moved.vt, 0x7F);
  EXPECT_EQ(moved.lVal, 1234);
  EXPECT_EQ(tkt::Text(tkt::CellAt(table, 1, 2)), L"a");
  EXPECT_EQ(tkt::Text(tkt::CellAt(table, 2, 2)), L"b");
  odd.vt = VT_EMPTY;
  tkt::CellAt(table, 3, 2).vt = VT_EMPTY;  // nothing for the record to free there
}

// A MOVE abandoned in the middle of a cycle leaves the engine's columns holding every
// original cell once: no string is shared by two cells, none is lost.
TEST(Move, AbandonedMoveLosesNothing) {
  Session s;
  tkt::PutArray(s.r.comm.Source.Data,
                tkt::MakeTable({{5, "e"}, {1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}}));
  tkt::PutText(s.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutText(s.r.comm.MoveCmd, L"1,TK_MOVEBRKO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  std::int32_t code = tk::kMove;
  for (int i = 0; i < 3; ++i) {  // 202 and two 201s performed, then abandoned
    s.caller.Send(code, s.r.comm);
    ASSERT_EQ(s.caller.lastReturn, 1);
    code = 0;
  }
  code = tk::kAbout;
  s.caller.Send(code, s.r.comm);
  EXPECT_EQ(code, 200);
  SAFEARRAY* table = s.r.comm.Source.Data.parray;
  std::vector<std::wstring> names;
  std::vector<BSTR> pointers;
  for (std::int32_t row = 1; row <= 5; ++row) {
    names.push_back(tkt::Text(tkt::CellAt(table, row, 2)));
    pointers.push_back(tkt::CellAt(table, row, 2).bstrVal);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"a", L"b", L"c", L"d", L"e"}));
  std::sort(pointers.begin(), pointers.end());
  EXPECT_EQ(std::adjacent_find(pointers.begin(), pointers.end()), pointers.end());
  code = 0;
  s.caller.Send(code, s.r.comm);
  EXPECT_EQ(code, 713);  // nothing left to resume
}

// ---- EXPORT -------------------------------------------------------------------------------

// The destination Range comes first, so that it outlives the record holding a reference.
struct DestRange {
  FakeRange dest;
};

struct ExportSession : DestRange, Session {
  explicit ExportSession(const Rows& destRows, const Rows& source, std::int32_t sourceHeaders,
                         std::int32_t destHeaders, const wchar_t* exportCmd)
      : DestRange{FakeRange(destRows)} {
    tkt::PutArray(r.comm.Source.Data, tkt::MakeTable(source));
    r.comm.Source.HeaderLines = sourceHeaders;
    tkt::PutRange(r.comm.Dest, dest);
    r.comm.Dest.HeaderLines = destHeaders;
    tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
    tkt::PutText(r.comm.ExportCmd, exportCmd);
  }
};

const Rows kSource = {{"key", "name", "qty"}, {3, "c", 30}, {1, "a", 10}, {2, "b", 20}};

TEST(Export, HeaderRowsAsManyAsBothHave) {
  struct Case {
    std::int32_t sourceHeaders, destHeaders;
    Grid expected;
  } const cases[] = {
      {1, 1, {{L"key", L"qty"}, {L"1", L"10"}, {L"2", L"20"}, {L"3", L"30"}, {L".", L"."}}},
      {1, 0, {{L"1", L"10"}, {L"2", L"20"}, {L"3", L"30"}, {L".", L"."}, {L".", L"."}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.destHeaders);
    ExportSession s(Dots(5, 2), kSource, c.sourceHeaders, c.destHeaders,
                    L"1,1,TK_EXPORTAUTO 3,2,TK_EXPORTAUTO");
    ASSERT_EQ(s.Run(tk::kSelect), 2);
    EXPECT_EQ(s.Run(tk::kExport), 2);
    EXPECT_EQ(Dump(s.dest.cells()), c.expected);
    EXPECT_EQ(s.dest.valuePuts, 1);
  }
  // A source without header rows exports none into a destination that has one.
  ExportSession none(Dots(4, 2), {{3, "c"}, {1, "a"}}, 0, 1, L"1,1,TK_EXPORTAUTO");
  ASSERT_EQ(none.Run(tk::kSelect), 2);
  EXPECT_EQ(none.Run(tk::kExport), 2);
  EXPECT_EQ(Dump(none.dest.cells()),
            (Grid{{L".", L"."}, {L"1", L"."}, {L"3", L"."}, {L".", L"."}}));
}

TEST(Export, ShorterDestinationStopsAtItsLastRow) {
  ExportSession s(Dots(2, 1), kSource, 1, 0, L"2,1,TK_EXPORTAUTO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  EXPECT_EQ(s.Run(tk::kExport), 2);
  EXPECT_EQ(Dump(s.dest.cells()), (Grid{{L"a"}, {L"b"}}));
}

TEST(Export, ColumnMapRules) {
  // Column 2 unnamed; column 1 named twice (the first entry counts); columns 1 and 3 both
  // go to destination column 3 (the higher source column is copied last and stays).
  ExportSession s(Dots(3, 3), kSource, 1, 0,
                  L"1,2,TK_EXPORTAUTO 1,1,TK_EXPORTAUTO 1,3,TK_EXPORTAUTO 3,3,TK_EXPORTAUTO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  EXPECT_EQ(s.Run(tk::kExport), 2);
  EXPECT_EQ(Dump(s.dest.cells()),
            (Grid{{L".", L"1", L"10"}, {L".", L"2", L"20"}, {L".", L"3", L"30"}}));
  EXPECT_EQ(s.r.comm.BrkDestRow, 3);     // the last row handled
  EXPECT_EQ(s.r.comm.BrkDestColumn, 3);  // its last named column
}

TEST(Export, BreakOutsOnHeaderAndDataRows) {
  ExportSession s(Dots(4, 2), kSource, 1, 1, L"2,2,TK_EXPORTBRKO 1,1,TK_EXPORTAUTO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  s.caller.seen.clear();
  // The caller copies into Dest.Data; the engine writes that array back at the end.
  EXPECT_EQ(s.Run(tk::kExport), 2);
  EXPECT_EQ(
      s.caller.seen,
      (std::vector<BreakOut>{
          {204, 1, 1, 2, 1, 2}, {204, 3, 2, 2, 2, 2}, {204, 4, 3, 2, 3, 2}, {204, 2, 4, 2, 4, 2}}));
  EXPECT_EQ(Dump(s.dest.cells()),
            (Grid{{L"key", L"name"}, {L"1", L"a"}, {L"2", L"b"}, {L"3", L"c"}}));
}

TEST(Export, SourceColumnsNumberedFromZero) {
  FakeRange dest(Dots(3, 2));
  Session s;
  tkt::PutArray(s.r.comm.Source.Data, tkt::MakeTable({{2, "b"}, {1, "a"}, {3, "c"}}, 1, 0));
  tkt::PutRange(s.r.comm.Dest, dest);
  tkt::PutText(s.r.comm.SortCmd, L"0,TK_COMPASCAUTO");
  tkt::PutText(s.r.comm.ExportCmd, L"1,1,TK_EXPORTAUTO 0,2,TK_EXPORTAUTO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  EXPECT_EQ(s.Run(tk::kExport), 2);
  EXPECT_EQ(Dump(dest.cells()), (Grid{{L"a", L"1"}, {L"b", L"2"}, {L"c", L"3"}}));
}

TEST(Export, AfterMoveTheIndexNamesTheOldRows) {
  ExportSession s(Dots(3, 1), kSource, 1, 0, L"2,1,TK_EXPORTAUTO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  ASSERT_EQ(s.Run(tk::kMove), 2);  // rows now a, b, c; RowIndex still 3, 4, 2
  EXPECT_EQ(s.Run(tk::kExport), 2);
  EXPECT_EQ(Dump(s.dest.cells()), (Grid{{L"b"}, {L"c"}, {L"a"}}));
}

TEST(Export, Refusals) {
  Session arrayDest;
  tkt::PutArray(arrayDest.r.comm.Source.Data, tkt::MakeColumn({2, 1}));
  tkt::PutArray(arrayDest.r.comm.Dest.Data, tkt::MakeColumn({0, 0}));
  tkt::PutText(arrayDest.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutText(arrayDest.r.comm.ExportCmd, L"1,1,TK_EXPORTAUTO");
  ASSERT_EQ(arrayDest.Run(tk::kSelect), 2);
  EXPECT_EQ(arrayDest.Run(tk::kExport), 715);

  ExportSession noMap(Dots(3, 1), kSource, 1, 0, L"2,1,TK_EXPORTAUTO");
  VariantClear(&noMap.r.comm.ExportCmd);
  ASSERT_EQ(noMap.Run(tk::kSelect), 2);
  EXPECT_EQ(noMap.Run(tk::kExport), 709);

  ExportSession failing(Dots(3, 1), kSource, 1, 0, L"2,1,TK_EXPORTAUTO");
  ASSERT_EQ(failing.Run(tk::kSelect), 2);
  failing.dest.valuePutFailure = E_FAIL;
  EXPECT_EQ(failing.Run(tk::kExport), 716);
  EXPECT_EQ(Dump(failing.r.comm.Dest.Data.parray), (Grid{{L"a"}, {L"b"}, {L"c"}}));

  ExportSession moved(Dots(3, 1), kSource, 1, 0, L"2,1,TK_EXPORTAUTO");
  ASSERT_EQ(moved.Run(tk::kSelect), 2);
  moved.r.comm.Dest.FirstRow = 0;  // above the destination array
  EXPECT_EQ(moved.Run(tk::kExport), 700);
  moved.r.comm.Dest.FirstRow = 2;
  moved.r.comm.Dest.LastRow = 1000;  // far below it: the array's end stops the export
  EXPECT_EQ(moved.Run(tk::kExport), 2);
  EXPECT_EQ(Dump(moved.dest.cells()), (Grid{{L"."}, {L"a"}, {L"b"}}));
}

// After a SELECT that built no export map, a caller that sets ExportCmdOk back to 1 (by
// copying an older record, say) gets 709, not the previous SELECT's map applied to a
// destination it does not fit.
TEST(Export, ExportCmdOkSetByTheCallerBringsNoOldMap) {
  FakeRange wide(Dots(4, 3));
  FakeRange narrow(Dots(4, 1));
  Session s;
  tkt::PutArray(s.r.comm.Source.Data, tkt::MakeTable(kSource));
  s.r.comm.Source.HeaderLines = 1;
  tkt::PutText(s.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutRange(s.r.comm.Dest, wide);
  tkt::PutText(s.r.comm.ExportCmd, L"2,3,TK_EXPORTAUTO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  tkt::PutRange(s.r.comm.Dest, narrow);
  VariantClear(&s.r.comm.Dest.Data);
  VariantClear(&s.r.comm.ExportCmd);
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  ASSERT_EQ(s.r.comm.ExportCmdOk, 0);
  s.r.comm.ExportCmdOk = 1;
  EXPECT_EQ(s.Run(tk::kExport), 709);
  EXPECT_EQ(Dump(s.r.comm.Dest.Data.parray), Dump(narrow.cells()));
  EXPECT_EQ(narrow.valuePuts, 0);
}

// Dest.FirstRow and Dest.LastRow are read again at every data row: a caller that narrows the
// rows while EXPORT waits for its copy stops the export there.
TEST(Export, DestinationRowsAreReadAgainAtEveryRow) {
  const struct {
    const char* what;
    void (*narrow)(tk::TKCOMM&);
  } rows[] = {
      {"LastRow lowered", [](tk::TKCOMM& c) { c.Dest.LastRow = 2; }},
      {"FirstRow raised", [](tk::TKCOMM& c) { c.Dest.FirstRow = 2; }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ExportSession s(Dots(3, 2), kSource, 1, 0, L"2,1,TK_EXPORTBRKO 3,2,TK_EXPORTAUTO");
    ASSERT_EQ(s.Run(tk::kSelect), 2);
    ASSERT_EQ(s.r.comm.Dest.LastRow, 3);
    s.caller.beforeAnswer = [&](const BreakOut&, tk::TKCOMM& c) { row.narrow(c); };
    EXPECT_EQ(s.Run(tk::kExport), 2);
    EXPECT_EQ(Dump(s.dest.cells()), (Grid{{L"a", L"10"}, {L"b", L"20"}, {L".", L"."}}));
  }
}

TEST(Export, ACellThatCannotBeCopiedEndsWith705) {
  ExportSession s(Dots(3, 2), kSource, 1, 0, L"2,1,TK_EXPORTAUTO 3,2,TK_EXPORTAUTO");
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  VARIANT& odd = tkt::CellAt(s.r.comm.Source.Data.parray, 4, 3);  // qty of row "b"
  VariantClear(&odd);
  odd.vt = 0x7F;
  EXPECT_EQ(s.Run(tk::kExport), 705);
  EXPECT_EQ(s.dest.valuePuts, 0);  // nothing half-exported reaches the Range
  odd.vt = VT_EMPTY;
}

// ---- SORTINDEX ----------------------------------------------------------------------------

SAFEARRAY* LongArray(LONG low, ULONG count) {
  SAFEARRAYBOUND bound = {count, low};
  return SafeArrayCreate(VT_I4, 1, &bound);
}

std::vector<std::int32_t> Indexed(SAFEARRAY* array) {
  EXPECT_EQ(array->cDims, 1);
  EXPECT_EQ(array->rgsabound[0].lLbound, 1);
  VARTYPE type = VT_EMPTY;
  SafeArrayGetVartype(array, &type);
  EXPECT_EQ(type, VT_I4);
  const auto* values = static_cast<std::int32_t*>(array->pvData);
  return std::vector<std::int32_t>(values, values + array->rgsabound[0].cElements);
}

struct IndexSession : Session {
  explicit IndexSession(int rows) {
    std::vector<Cell> keys;
    for (int i = 0; i < rows; ++i) keys.emplace_back((i * 37) % rows);
    tkt::PutArray(r.comm.Source.Data, tkt::MakeColumn(keys));
    tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  }
};

TEST(SortIndex, CountCutToTheDestination) {
  IndexSession cut(100);
  tkt::PutArray(cut.r.comm.Dest.Data, tkt::MakeColumn(std::vector<Cell>(5, Cell(0))));
  ASSERT_EQ(cut.Run(tk::kSelect), 2);
  EXPECT_EQ(cut.Run(tk::kSortIndex), 2);
  EXPECT_EQ(cut.caller.lastReturn, 2);
  EXPECT_EQ(cut.r.comm.SortIndexValid, 1);
  const std::vector<std::int32_t> order = Order(cut.engine);
  EXPECT_EQ(Indexed(cut.r.comm.SortIndex),
            std::vector<std::int32_t>(order.begin(), order.begin() + 5));

  IndexSession longer(10);
  tkt::PutArray(longer.r.comm.Dest.Data, tkt::MakeColumn(std::vector<Cell>(50, Cell(0))));
  ASSERT_EQ(longer.Run(tk::kSelect), 2);
  ASSERT_EQ(longer.Run(tk::kSortIndex), 2);
  EXPECT_EQ(Indexed(longer.r.comm.SortIndex), Order(longer.engine));

  IndexSession none(10);
  ASSERT_EQ(none.Run(tk::kSelect), 2);
  ASSERT_EQ(none.Run(tk::kSortIndex), 2);
  EXPECT_EQ(Indexed(none.r.comm.SortIndex), Order(none.engine));
}

TEST(SortIndex, CallersArrayReplacedWhateverItWas) {
  IndexSession s(6);
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  SAFEARRAYBOUND bounds[2] = {{3, 0}, {2, -4}};
  s.r.comm.SortIndex = SafeArrayCreate(VT_BSTR, 2, bounds);
  ASSERT_EQ(s.Run(tk::kSortIndex), 2);
  EXPECT_EQ(Indexed(s.r.comm.SortIndex), Order(s.engine));
  ASSERT_EQ(s.Run(tk::kMove), 2);  // MOVE changes the rows, not the order
  const std::vector<std::int32_t> before = Indexed(s.r.comm.SortIndex);
  ASSERT_EQ(s.Run(tk::kSortIndex), 2);
  EXPECT_EQ(Indexed(s.r.comm.SortIndex), before);
}

TEST(SortIndex, FixedLockedAndMissingSelection) {
  IndexSession s(4);
  EXPECT_EQ(s.Run(tk::kSortIndex), 707);
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  // Arrays declared fixed are left alone, whatever SafeArrayDestroy would make of them.
  for (const int flag : {FADF_FIXEDSIZE, FADF_STATIC, FADF_EMBEDDED}) {
    SCOPED_TRACE(flag);
    SAFEARRAY* fixed = LongArray(1, 3);
    fixed->fFeatures |= static_cast<USHORT>(flag);
    s.r.comm.SortIndex = fixed;
    EXPECT_EQ(s.Run(tk::kSortIndex), 706);
    EXPECT_EQ(s.r.comm.SortIndex, fixed);
    EXPECT_EQ(s.r.comm.SortIndexValid, 0);
    fixed->fFeatures &= static_cast<USHORT>(~flag);
    SafeArrayDestroy(fixed);
  }
  SAFEARRAY* locked = LongArray(1, 3);
  s.r.comm.SortIndex = locked;
  SafeArrayLock(locked);
  EXPECT_EQ(s.Run(tk::kSortIndex), 700);
  EXPECT_EQ(s.r.comm.SortIndex, locked);
  SafeArrayUnlock(locked);
  EXPECT_EQ(s.Run(tk::kSortIndex), 2);
  EXPECT_EQ(s.r.comm.SortIndexValid, 1);
}

TEST(SortIndex, DestinationRowsTurnedAroundAreRefusedBeforeTheArrayGoes) {
  IndexSession s(5);
  tkt::PutArray(s.r.comm.Dest.Data, tkt::MakeColumn(std::vector<Cell>(5, Cell(0))));
  ASSERT_EQ(s.Run(tk::kSelect), 2);
  SAFEARRAY* kept = LongArray(1, 2);
  s.r.comm.SortIndex = kept;
  s.r.comm.Dest.LastRow = s.r.comm.Dest.FirstRow - 3;
  EXPECT_EQ(s.Run(tk::kSortIndex), 700);
  EXPECT_EQ(s.r.comm.SortIndex, kept);
}

// ---- randomised ---------------------------------------------------------------------------

// After SELECT, MOVE leaves every row where the index says, with the engine's copies and
// with the caller's; EXPORT writes exactly the mapped cells and nothing else.
TEST(ApplyRandom, MoveAndExportAgreeWithTheIndex) {
  std::mt19937 gen(7);
  auto pick = [&](int n) { return static_cast<int>(gen() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 120; ++round) {
    SCOPED_TRACE(round);
    const int headers = pick(3);
    const int n = 1 + pick(60);
    const int columns = 1 + pick(5);
    Rows rows;
    for (int i = 0; i < headers + n; ++i) {
      std::vector<Cell> row;
      for (int c = 0; c < columns; ++c) {
        if (i < headers) {
          row.emplace_back((L"h" + std::to_wstring(i) + L"_" + std::to_wstring(c)).c_str());
        } else if (pick(4) == 0) {
          row.emplace_back(pick(5));
        } else {
          row.emplace_back((L"r" + std::to_wstring(i) + L"c" + std::to_wstring(c)).c_str());
        }
      }
      rows.push_back(row);
    }
    FakeRange source(rows);
    const int destRows = 1 + pick(80);
    const int destColumns = 1 + pick(4);
    const int destHeaders = pick(std::min(destRows, 3));
    FakeRange dest(Dots(destRows, destColumns));

    Session s;
    tkt::PutRange(s.r.comm.Source, source);
    s.r.comm.Source.HeaderLines = headers;
    tkt::PutRange(s.r.comm.Dest, dest);
    s.r.comm.Dest.HeaderLines = destHeaders;
    std::wstring sortCmd = std::to_wstring(1 + pick(columns)) + L",TK_COMPASCAUTO";
    std::wstring moveCmd, exportCmd;
    std::vector<std::pair<int, int>> exportMap;  // source column -> destination column
    for (int c = 1; c <= columns; ++c) {
      if (pick(2) == 0) moveCmd += std::to_wstring(c) + L",TK_MOVEBRKO ";
      if (pick(2) == 0) {
        const int d = 1 + pick(destColumns);
        exportMap.emplace_back(c, d);
        exportCmd += std::to_wstring(c) + L"," + std::to_wstring(d) +
                     (pick(2) == 0 ? L",TK_EXPORTAUTO " : L",TK_EXPORTBRKO ");
      }
    }
    tkt::PutText(s.r.comm.SortCmd, sortCmd.c_str());
    if (!moveCmd.empty()) tkt::PutText(s.r.comm.MoveCmd, moveCmd.c_str());
    if (!exportCmd.empty()) tkt::PutText(s.r.comm.ExportCmd, exportCmd.c_str());
    ASSERT_EQ(s.Run(tk::kSelect), 2);
    const std::vector<std::int32_t> order = Order(s.engine);

    // EXPORT first, while the index still names the rows in their sorted order.
    const Grid sourceBefore = Dump(s.r.comm.Source.Data.parray);
    Grid expected = Dump(dest.cells());
    const int headerRows = std::min(headers, destHeaders);
    auto put = [&](int destRow, int sourceRow) {  // both 1-based array rows
      for (int c = 1; c <= columns; ++c) {
        for (const auto& [from, to] : exportMap) {
          if (from == c) {
            expected[static_cast<std::size_t>(destRow - 1)][static_cast<std::size_t>(to - 1)] =
                sourceBefore[static_cast<std::size_t>(sourceRow - 1)]
                            [static_cast<std::size_t>(c - 1)];
            break;
          }
        }
      }
    };
    if (!exportMap.empty()) {
      for (int h = 1; h <= headerRows; ++h) put(h, h);
      for (int p = 0; p < n && destHeaders + 1 + p <= destRows; ++p)
        put(destHeaders + 1 + p, order[static_cast<std::size_t>(p)]);
      EXPECT_EQ(s.Run(tk::kExport), 2);
      EXPECT_EQ(Dump(dest.cells()), expected);
    } else {
      EXPECT_EQ(s.Run(tk::kExport), 709);
    }
    EXPECT_EQ(Dump(s.r.comm.Source.Data.parray), sourceBefore);  // EXPORT leaves the source

    EXPECT_EQ(s.Run(tk::kMove), 2);
    const Grid movedRows = Moved(sourceBefore, order, headers + 1);
    EXPECT_EQ(Dump(s.r.comm.Source.Data.parray), movedRows);
    EXPECT_EQ(Dump(source.cells()), movedRows);  // written back to the Range
  }
}

}  // namespace
