// Table slots: validation, defaults, Range reads and writes, seen through SELECT.
#include "input/slots.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

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

std::int32_t Select(Engine& engine, Record& r) {
  return tkt::Select(engine, r.comm);
}

struct SlotTest : ::testing::Test {
  Engine engine;
  Record r;
  void SetUp() override { tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO"); }
};

TEST_F(SlotTest, OneDimensionalArrayIsOneColumn) {
  tkt::PutArray(r.comm.Source.Data, tkt::MakeColumn({3, 1, 2, 5}, 1));
  EXPECT_EQ(Select(engine, r), kSelected);
  const tk::ArrayBounds& b = engine.selection.SourceBounds;
  EXPECT_EQ(b.FirstArrayRow, 1);
  EXPECT_EQ(b.LastArrayRow, 4);
  EXPECT_EQ(b.Rows, 4u);
  EXPECT_EQ(b.FirstColumn, 1);
  EXPECT_EQ(b.LastColumn, 1);
  EXPECT_EQ(b.Columns, 1u);
  EXPECT_EQ(b.DataRows, 4u);
  EXPECT_EQ(r.comm.Source.FirstRow, 1);
  EXPECT_EQ(r.comm.Source.LastRow, 4);
  EXPECT_EQ(r.comm.Source.Valid, 1);
  EXPECT_EQ(r.comm.Source.FromRange, 0);
}

TEST_F(SlotTest, TwoDimensionsWithHeaderLineGetDefaultRows) {
  tkt::PutArray(r.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(10, 3), 1, 1));
  r.comm.Source.HeaderLines = 1;
  r.comm.Source.FirstRow = 5;  // SELECT always gives the source its default rows
  r.comm.Source.LastRow = 6;
  EXPECT_EQ(Select(engine, r), kSelected);
  const tk::ArrayBounds& b = engine.selection.SourceBounds;
  EXPECT_EQ(r.comm.Source.FirstRow, 2);
  EXPECT_EQ(r.comm.Source.LastRow, 10);
  EXPECT_EQ(b.DataRows, 9u);
  EXPECT_EQ(r.comm.Source.RowCount, 9.0);
  EXPECT_EQ(b.RowOffset, 0);
  EXPECT_EQ(b.FirstColumn, 1);
  EXPECT_EQ(b.LastColumn, 3);
}

TEST_F(SlotTest, RowsFromZeroAndOtherLowerBounds) {
  tkt::PutArray(r.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(10, 2), 0, -3));
  tkt::PutText(r.comm.SortCmd, L"-2,TK_COMPASCAUTO");
  EXPECT_EQ(Select(engine, r), kSelected);
  const tk::ArrayBounds& b = engine.selection.SourceBounds;
  EXPECT_EQ(b.RowOffset, 1);
  EXPECT_EQ(b.LastArrayRow, 9);
  EXPECT_EQ(b.FirstColumn, -3);
  EXPECT_EQ(b.LastColumn, -2);
  EXPECT_EQ(r.comm.Source.FirstRow, 0);
}

struct BoundsCase {
  const char* what;
  std::int32_t headerLines;
  std::int32_t code;
};

TEST_F(SlotTest, HeaderLineErrorsInTheirOrder) {
  const BoundsCase cases[] = {
      {"all rows are header rows", 10, 700},  // default first row lies past the last
      {"negative header count", -1, 700},     // default first row lies above the array
      {"one data row left", 9, kSelected},
  };
  for (const BoundsCase& c : cases) {
    SCOPED_TRACE(c.what);
    Engine fresh;
    Record rec;
    tkt::PutText(rec.comm.SortCmd, L"1,TK_COMPASCAUTO");
    tkt::PutArray(rec.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(10, 3)));
    rec.comm.Source.HeaderLines = c.headerLines;
    EXPECT_EQ(Select(fresh, rec), c.code);
  }
}

// The destination keeps the rows the caller set, so explicit rows reach the later checks.
TEST_F(SlotTest, DestinationRowsAreCheckedAsGiven) {
  struct DestCase {
    const char* what;
    std::int32_t headerLines, firstRow, lastRow, code;
  } const cases[] = {
      {"negative header count, explicit rows", -1, 2, 5, 702},
      {"header count above the rows", 11, 0, 0, 700},
      {"first row inside the header rows", 2, 2, 8, 700},
      {"first row set, last row left at 0", 0, 5, 0, 700},
      {"last row below the array", 0, 1, 11, 700},
      {"first row after last row", 0, 6, 5, 700},
      {"explicit rows inside the array", 1, 3, 7, kSelected},
  };
  for (const DestCase& c : cases) {
    SCOPED_TRACE(c.what);
    Engine fresh;
    Record rec;
    tkt::PutText(rec.comm.SortCmd, L"1,TK_COMPASCAUTO");
    tkt::PutArray(rec.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(4, 2)));
    tkt::PutArray(rec.comm.Dest.Data, tkt::MakeTable(tkt::NumberGrid(10, 2)));
    rec.comm.Dest.HeaderLines = c.headerLines;
    rec.comm.Dest.FirstRow = c.firstRow;
    rec.comm.Dest.LastRow = c.lastRow;
    EXPECT_EQ(Select(fresh, rec), c.code);
  }
}

TEST_F(SlotTest, DefaultRowsStayInTheSlotWhenALaterCheckFails) {
  tkt::PutArray(r.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(4, 2)));
  tkt::PutArray(r.comm.Dest.Data, tkt::MakeTable(tkt::NumberGrid(5, 2)));
  r.comm.Dest.HeaderLines = -2;
  EXPECT_EQ(Select(engine, r), 700);
  EXPECT_EQ(r.comm.Dest.FirstRow, -1);  // 1 + (-2), written before the checks
  EXPECT_EQ(r.comm.Dest.LastRow, 5);
  EXPECT_EQ(r.comm.Dest.Valid, 0);
}

TEST_F(SlotTest, NoDestinationIsAccepted) {
  tkt::PutArray(r.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(4, 2)));
  r.comm.Dest.Valid = 1;  // whatever the caller left there
  EXPECT_EQ(Select(engine, r), kSelected);
  EXPECT_EQ(r.comm.Dest.Valid, 0);
  EXPECT_EQ(r.comm.Dest.FromRange, 0);
}

TEST_F(SlotTest, SourceWithoutUsableArray) {
  struct Case {
    const char* what;
    VARTYPE vt;
    std::int32_t code;
  } const cases[] = {
      {"empty", VT_EMPTY, 718},
      {"a number", VT_I4, 718},
      {"array type with null pointer", VT_ARRAY | VT_VARIANT, 718},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Engine fresh;
    Record rec;
    tkt::PutText(rec.comm.SortCmd, L"1,TK_COMPASCAUTO");
    rec.comm.Source.Data.vt = c.vt;
    EXPECT_EQ(Select(fresh, rec), c.code);
    EXPECT_EQ(rec.comm.Source.Valid, 0);
  }
}

TEST_F(SlotTest, ThreeDimensionsAre708) {
  SAFEARRAYBOUND bounds[3] = {{2, 1}, {2, 1}, {2, 1}};
  tkt::PutArray(r.comm.Source.Data, SafeArrayCreate(VT_VARIANT, 3, bounds));
  EXPECT_EQ(Select(engine, r), 708);
}

// Arrays whose elements are not VARIANTs would be read past their end as cells.
TEST_F(SlotTest, ArraysOfOtherElementTypesAreRefused) {
  for (VARTYPE type : {VT_I4, VT_BSTR, VT_R8, VT_I2}) {
    SCOPED_TRACE(type);
    Engine fresh;
    Record rec;
    tkt::PutText(rec.comm.SortCmd, L"1,TK_COMPASCAUTO");
    SAFEARRAYBOUND bounds[2] = {{50, 1}, {3, 1}};
    SAFEARRAY* longs = SafeArrayCreate(type, 2, bounds);
    VariantClear(&rec.comm.Source.Data);
    rec.comm.Source.Data.vt = static_cast<VARTYPE>(VT_ARRAY | type);
    rec.comm.Source.Data.parray = longs;
    EXPECT_EQ(Select(fresh, rec), 718);

    // As a destination it is no destination at all.
    Engine other;
    Record dest;
    tkt::PutText(dest.comm.SortCmd, L"1,TK_COMPASCAUTO");
    tkt::PutArray(dest.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(3, 2)));
    dest.comm.Dest.Data.vt = static_cast<VARTYPE>(VT_ARRAY | type);
    dest.comm.Dest.Data.parray = SafeArrayCreate(type, 2, bounds);
    EXPECT_EQ(Select(other, dest), kSelected);
    EXPECT_EQ(dest.comm.Dest.Valid, 0);
  }
}

TEST_F(SlotTest, ArrayHeldByReferenceIsNotTakenForADescriptor) {
  SAFEARRAY* table = tkt::MakeTable(tkt::NumberGrid(3, 2));
  r.comm.Source.Data.vt = VT_ARRAY | VT_VARIANT | VT_BYREF;
  r.comm.Source.Data.pparray = &table;
  EXPECT_EQ(Select(engine, r), 718);
  r.comm.Source.Data.vt = VT_EMPTY;
  SafeArrayDestroy(table);
}

TEST_F(SlotTest, DestinationSharingTheSourceCellsIs717) {
  tkt::PutArray(r.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(4, 2)));
  VariantCopy(&r.comm.Dest.Data, &r.comm.Source.Data);  // a copy: other cells
  EXPECT_EQ(Select(engine, r), kSelected);
  EXPECT_EQ(r.comm.Dest.Valid, 1);

  // The same descriptor in both slots.
  Engine same;
  Record rec;
  tkt::PutText(rec.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutArray(rec.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(4, 2)));
  rec.comm.Dest.Data = rec.comm.Source.Data;
  rec.comm.Dest.FromRange = 1;
  EXPECT_EQ(Select(same, rec), 717);
  EXPECT_EQ(rec.comm.Dest.Valid, 0);
  EXPECT_EQ(rec.comm.Dest.FromRange, 0);
  rec.comm.Dest.Data.vt = VT_EMPTY;  // the record frees the array once
}

TEST_F(SlotTest, TwoDescriptorsOverOneBlockAre717) {
  SAFEARRAY* source = tkt::MakeTable(tkt::NumberGrid(4, 2));
  tkt::PutArray(r.comm.Source.Data, source);
  SAFEARRAY* alias = nullptr;
  ASSERT_EQ(SafeArrayAllocDescriptorEx(VT_VARIANT, 2, &alias), S_OK);
  alias->rgsabound[0] = source->rgsabound[0];
  alias->rgsabound[1] = source->rgsabound[1];
  alias->pvData = source->pvData;
  r.comm.Dest.Data.vt = VT_ARRAY | VT_VARIANT;
  r.comm.Dest.Data.parray = alias;
  EXPECT_EQ(Select(engine, r), 717);
  r.comm.Dest.Data.vt = VT_EMPTY;
  alias->pvData = nullptr;
  SafeArrayDestroyDescriptor(alias);
}

TEST(RangeRead, OneCountAndOneValuePerRead) {
  FakeRange range(tkt::NumberGrid(5, 3));
  Engine engine;
  Record r;
  tkt::PutText(r.comm.SortCmd, L"2,TK_COMPASCAUTO");
  tkt::PutRange(r.comm.Source, range);
  r.comm.Source.HeaderLines = 1;
  EXPECT_EQ(Select(engine, r), kSelected);
  EXPECT_EQ(range.countGets, 1);
  EXPECT_EQ(range.valueGets, 1);
  EXPECT_EQ(range.valuePuts, 0);
  EXPECT_EQ(range.nameLookups, 2);
  EXPECT_EQ(r.comm.Source.FromRange, 1);
  EXPECT_EQ(r.comm.Source.Valid, 1);
  EXPECT_EQ(tkt::Dump(r.comm.Source.Data.parray), tkt::Dump(range.cells()));
  EXPECT_EQ(r.comm.Source.FirstRow, 2);
  EXPECT_EQ(r.comm.Source.LastRow, 5);

  // A second SELECT replaces the array it read the first time.
  EXPECT_EQ(Select(engine, r), kSelected);
  EXPECT_EQ(range.countGets, 2);
  EXPECT_EQ(range.valueGets, 2);
}

TEST(RangeRead, FailuresAre715) {
  struct Case {
    const char* what;
    void (*arrange)(FakeRange&, tk::RangeSlot&);
  } const cases[] = {
      {"lookup fails", [](FakeRange& f, tk::RangeSlot&) { f.lookupFailure = DISP_E_UNKNOWNNAME; }},
      {"Count fails", [](FakeRange& f, tk::RangeSlot&) { f.countFailure = E_FAIL; }},
      {"Count is 0",
       [](FakeRange& f, tk::RangeSlot&) {
         f.overrideCount = true;
         f.countAnswer = 0;
       }},
      {"Count is negative",
       [](FakeRange& f, tk::RangeSlot&) {
         f.overrideCount = true;
         f.countAnswer = -4;
       }},
      {"Value fails", [](FakeRange& f, tk::RangeSlot&) { f.valueGetFailure = E_FAIL; }},
      {"object pointer null",
       [](FakeRange& f, tk::RangeSlot& s) {
         s.RangeObj.pdispVal = nullptr;
         f.Release();
       }},
      {"not an object",
       [](FakeRange& f, tk::RangeSlot& s) {
         s.RangeObj.vt = VT_I4;
         s.RangeObj.lVal = 1;
         f.Release();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeRange range(tkt::NumberGrid(3, 2));
    Engine engine;
    Record r;
    tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
    tkt::PutRange(r.comm.Source, range);
    c.arrange(range, r.comm.Source);
    EXPECT_EQ(Select(engine, r), 715);
    EXPECT_EQ(r.comm.Source.FromRange, 0);
    EXPECT_EQ(r.comm.Source.Valid, 0);
  }
}

TEST(RangeRead, ScalarValueIs718) {
  FakeRange range(Rows{{42}});
  Engine engine;
  Record r;
  tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutRange(r.comm.Source, range);
  EXPECT_EQ(Select(engine, r), 718);
  EXPECT_EQ(r.comm.Source.FromRange, 1);  // the read itself succeeded
  EXPECT_EQ(r.comm.Source.Data.vt, VT_I4);
}

// An old array that is locked, or that its owner declared fixed, is never destroyed to make
// room for the Range's values: SELECT answers 718 and leaves Data, cells included, as it was.
TEST(RangeRead, LockedOrFixedOldArrayIsKeptAnd718) {
  const struct {
    const char* what;
    USHORT flag;  // 0: locked instead
  } rows[] = {{"locked", 0},
              {"fixed size", FADF_FIXEDSIZE},
              {"static", FADF_STATIC},
              {"embedded", FADF_EMBEDDED}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    FakeRange range(tkt::NumberGrid(3, 2));
    Engine engine;
    Record r;
    tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
    tkt::PutRange(r.comm.Source, range);
    SAFEARRAY* old = tkt::MakeTable(tkt::NumberGrid(2, 2));
    tkt::PutArray(r.comm.Source.Data, old);
    if (row.flag == 0) {
      SafeArrayLock(old);
    } else {
      old->fFeatures |= row.flag;
    }
    const auto cells = tkt::Dump(old);
    EXPECT_EQ(Select(engine, r), 718);
    EXPECT_EQ(r.comm.Source.Data.parray, old);
    EXPECT_EQ(tkt::Dump(old), cells);
    EXPECT_EQ(range.valueGets, 0);
    if (row.flag == 0) {
      SafeArrayUnlock(old);
    } else {
      old->fFeatures &= static_cast<USHORT>(~row.flag);
    }
  }
}

TEST(RangeWrite, PutsTheWholeArray) {
  FakeRange range(tkt::NumberGrid(3, 2));
  Record r;
  tkt::PutRange(r.comm.Source, range);
  tk::RangeSlot& slot = r.comm.Source;
  EXPECT_EQ(tk::WriteRange(slot), tk::Status::NullPointer);
  tkt::PutArray(slot.Data, tkt::MakeTable({{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}}));
  EXPECT_EQ(tk::WriteRange(slot), tk::Status::Success);
  EXPECT_EQ(range.valuePuts, 1);
  EXPECT_EQ(tkt::Dump(range.cells()), tkt::Dump(slot.Data.parray));
  range.valuePutFailure = E_FAIL;
  EXPECT_EQ(tk::WriteRange(slot), tk::Status::RangeError);
}

// The caller's code runs inside a call wherever the engine calls a Range (Count, Value) or
// releases something of the caller's (an object in a slot, in a cell, in Banner or Status,
// in the SortIndex array), and it may change the record there. A table changed under the
// call is refused with 718 and none of its cells is written; a table the caller's code put
// in a slot is the caller's and stays; and no release finds the record still holding what
// is being released (with a real object, its code would release it a second time).
struct Scene {
  FakeRange source{Rows{{"b", 2}, {"c", 3}, {"a", 1}}};
  FakeRange dest{tkt::Dots(3, 2)};
  FakeRange object{Rows{{1}}};  // an object in a field or a cell, nothing more
  Engine engine;
  Record r;
  bool releaseSawItself = false;

  // Stores the object, with a reference of its own, into `target`.
  void PutObject(VARIANT& target) {
    VariantClear(&target);
    target.vt = VT_DISPATCH;
    target.pdispVal = &object;
    object.AddRef();
  }
  // A table of one row with the object in its cell.
  SAFEARRAY* ObjectTable() {
    SAFEARRAY* table = tkt::MakeTable(Rows{{0}});
    PutObject(tkt::CellAt(table, 1, 1));
    return table;
  }
  // The object's releases check `stillHolds` while they run.
  void WatchReleases(std::function<bool()> stillHolds) {
    object.onRelease = [this, stillHolds] {
      if (stillHolds()) releaseSawItself = true;
    };
  }
  bool Holds(const VARIANT& field) const {
    return field.vt == VT_DISPATCH && field.pdispVal == &object;
  }
};

TEST(CallerCode, ChangesInsideTheCallAreRefusedOrSeenThrough) {
  const Rows oneRow = {{"z", 9}};
  const struct {
    const char* what;
    std::function<void(Scene&)> arrange;
    std::int32_t code;  // SELECT's answer
    Rows source;        // Source.Data afterwards (empty: not checked)
  } rows[] = {
      {"the destination's Value get puts a one-row table in Source",
       [&](Scene& s) {
         tkt::PutRange(s.r.comm.Dest, s.dest);
         s.dest.onValue = [&s, &oneRow] {
           tkt::PutArray(s.r.comm.Source.Data, tkt::MakeTable(oneRow));
         };
       },
       718, oneRow},
      {"the destination's Count get puts a one-row table in Source",
       [&](Scene& s) {
         tkt::PutRange(s.r.comm.Dest, s.dest);
         s.dest.onCount = [&s, &oneRow] {
           tkt::PutArray(s.r.comm.Source.Data, tkt::MakeTable(oneRow));
         };
       },
       718, oneRow},
      {"the destination's Value get resizes the source",
       [](Scene& s) {
         tkt::PutRange(s.r.comm.Dest, s.dest);
         s.dest.onValue = [&s] {
           // SafeArrayRedim resizes the last dimension, the columns, listed first.
           SAFEARRAYBOUND columns = s.r.comm.Source.Data.parray->rgsabound[0];
           columns.cElements = 1;
           SafeArrayRedim(s.r.comm.Source.Data.parray, &columns);
         };
       },
       718,
       {}},
      {"the destination's Value get changes the source's header lines",
       [](Scene& s) {
         tkt::PutRange(s.r.comm.Dest, s.dest);
         s.dest.onValue = [&s] { s.r.comm.Source.HeaderLines = 2; };
       },
       718,
       {{"b", 2}, {"c", 3}, {"a", 1}}},
      {"the source's Value get puts a table of its own in Source",
       [&](Scene& s) {
         VariantClear(&s.r.comm.Source.Data);
         tkt::PutRange(s.r.comm.Source, s.source);
         s.source.onValue = [&s, &oneRow] {
           tkt::PutArray(s.r.comm.Source.Data, tkt::MakeTable(oneRow));
         };
       },
       718, oneRow},
      {"an object in Source.Data, released for the Range's values",
       [](Scene& s) {
         tkt::PutRange(s.r.comm.Source, s.source);
         s.PutObject(s.r.comm.Source.Data);
         s.WatchReleases([&s] { return s.Holds(s.r.comm.Source.Data); });
       },
       2,
       {{"b", 2}, {"c", 3}, {"a", 1}}},
      {"a table of objects in Source.Data, destroyed for the Range's values",
       [](Scene& s) {
         tkt::PutRange(s.r.comm.Source, s.source);
         SAFEARRAY* old = s.ObjectTable();
         tkt::PutArray(s.r.comm.Source.Data, old);
         s.WatchReleases([&s, old] { return s.r.comm.Source.Data.parray == old; });
       },
       2,
       {{"b", 2}, {"c", 3}, {"a", 1}}},
      {"an object in Banner, replaced by the banner",
       [](Scene& s) {
         s.PutObject(s.r.comm.Banner);
         s.WatchReleases([&s] { return s.Holds(s.r.comm.Banner); });
       },
       2,
       {}},
      {"an object in Status, replaced by the status text",
       [](Scene& s) {
         s.PutObject(s.r.comm.Status);
         s.WatchReleases([&s] { return s.Holds(s.r.comm.Status); });
       },
       2,
       {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Scene s;
    tkt::PutText(s.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
    tkt::PutArray(s.r.comm.Source.Data, tkt::MakeTable(Rows{{"b", 2}, {"c", 3}, {"a", 1}}));
    row.arrange(s);
    EXPECT_EQ(Select(s.engine, s.r), row.code);
    EXPECT_EQ(s.r.comm.LastError, row.code == kSelected ? 0 : row.code);
    if (!row.source.empty()) {
      EXPECT_EQ(tkt::Dump(s.r.comm.Source.Data.parray), tkt::Dump(tkt::MakeTable(row.source)));
    }
    EXPECT_FALSE(s.releaseSawItself);
    EXPECT_EQ(s.dest.valuePuts + s.source.valuePuts, 0);  // nothing written back
    s.source.onValue = s.source.onCount = s.dest.onValue = s.dest.onCount = nullptr;
    s.object.onRelease = nullptr;
  }
}

// SORTINDEX replaces the caller's SortIndex array: one of objects is detached from the record
// before it is destroyed.
TEST(CallerCode, SortIndexArrayIsDetachedBeforeItIsDestroyed) {
  Scene s;
  tkt::PutText(s.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  tkt::PutArray(s.r.comm.Source.Data, tkt::MakeTable(Rows{{"b", 2}, {"c", 3}, {"a", 1}}));
  ASSERT_EQ(Select(s.engine, s.r), kSelected);
  SAFEARRAYBOUND one = {1, 1};
  SAFEARRAY* old = SafeArrayCreate(VT_VARIANT, 1, &one);
  s.PutObject(static_cast<VARIANT*>(old->pvData)[0]);
  s.r.comm.SortIndex = old;
  s.WatchReleases([&s, old] { return s.r.comm.SortIndex == old; });
  std::int32_t code = tk::kSortIndex;
  s.engine.Call(&code, &s.r.comm);
  EXPECT_EQ(code, kSelected);
  EXPECT_FALSE(s.releaseSawItself);
  s.object.onRelease = nullptr;
}

}  // namespace
