// The entry point: dispatch, the common ending, ABOUT, RESET, the resume path and the
// null record, seen through Engine::Call as a caller sees TKselect.
#include <gtest/gtest.h>

#include "entry/engine.h"
#include "support/fake_range.h"
#include "support/table.h"

namespace {

using tk::Engine;
using tkt::FieldText;
using tkt::Record;

struct Answer {
  std::int32_t code;
  std::int32_t returned;
};

Answer Send(Engine& engine, Record& r, std::int32_t code) {
  const std::int32_t returned = engine.Call(&code, &r.comm);
  return Answer{code, returned};
}

constexpr const wchar_t* kDone = L"[002]Completed without errors";

TEST(NullRecord, SelectAnswers703AndDropsASuspendedOperation) {
  Engine engine;
  engine.ResumeState = tk::Continuation{4};
  std::int32_t code = tk::kSelect;
  EXPECT_EQ(engine.Call(&code, nullptr), 0);
  EXPECT_EQ(code, 703);
  EXPECT_EQ(tk::ToCode(engine.ResumeState), 0);
}

TEST(NullRecord, OtherCodesAnswer703AndTouchNothing) {
  for (std::int32_t sent :
       std::initializer_list<std::int32_t>{tk::kBenchmark, tk::kExport, tk::kMove, tk::kSortIndex,
                                           tk::kAbout, tk::kReset, 0, -1, 3}) {
    SCOPED_TRACE(sent);
    Engine engine;
    engine.ResumeState = tk::Continuation{8};
    engine.bench.BenchmarkMode = 1;
    std::int32_t code = sent;
    EXPECT_EQ(engine.Call(&code, nullptr), 0);
    EXPECT_EQ(code, 703);
    EXPECT_EQ(tk::ToCode(engine.ResumeState), 8);
    EXPECT_EQ(engine.bench.BenchmarkMode, 1);
  }
}

TEST(NullRecord, NullCodeIsIgnored) {
  Engine engine;
  Record r;
  EXPECT_EQ(engine.Call(nullptr, &r.comm), 0);
  EXPECT_EQ(r.comm.Status.vt, VT_EMPTY);
}

TEST(About, AnswersWithBannerVersionAndText) {
  Engine engine;
  Record r;
  r.comm.LastError = 713;
  const Answer a = Send(engine, r, tk::kAbout);
  EXPECT_EQ(a.code, 200);
  EXPECT_EQ(a.returned, 2);
  EXPECT_EQ(r.comm.LastError, 0);
  EXPECT_EQ(FieldText(r.comm.Status), L"[200]Completed without errors");
  EXPECT_EQ(r.comm.Version, 2.0);
  EXPECT_EQ(FieldText(r.comm.Banner), tk::StatusMessage(800));
}

TEST(About, AbandonsASuspendedOperationAndKeepsTheSelection) {
  Engine engine;
  Record r;
  engine.ResumeState = tk::Continuation{4};
  engine.selection.IndexValid = 1;
  engine.bench.BenchmarkMode = 1;
  Send(engine, r, tk::kAbout);
  EXPECT_EQ(tk::ToCode(engine.ResumeState), 0);
  EXPECT_EQ(engine.selection.IndexValid, 1);
  EXPECT_EQ(engine.bench.BenchmarkMode, 1);
}

// RESET clears exactly its list and leaves everything else as it was.
TEST(Reset, ClearsItsFieldsAndLeavesTheRest) {
  Engine engine;
  Record r;
  tk::TKCOMM& c = r.comm;
  c.SortIndexValid = 1;
  c.IgnoreEmpty = 1;
  c.Source.FirstRow = 3;
  c.Source.LastRow = 9;
  c.Source.HeaderLines = 2;
  c.SortKeyCount = 2;
  c.MoveMapCount = 3;
  c.ExportMapCount = 4;
  c.SortCmdOk = 1;
  c.MoveCmdOk = 1;
  c.ExportCmdOk = 1;
  c.BrkRowA = 5;
  c.BrkRowB = 6;
  c.BrkColumn = 7;
  c.BrkDestRow = 8;
  c.BrkDestColumn = 9;
  c.Dest.FromRange = 1;
  c.Dest.Valid = 1;
  c.Dest.HeaderLines = 1;
  c.Dest.FirstRow = 2;
  c.Dest.LastRow = 20;
  c.Dest.RowCount = 19.0;
  c.Reserved1.vt = VT_I4;
  c.Reserved1.lVal = 77;
  c.Reserved2 = 88;
  c.BenchRows = 1000;
  c.BenchShuffle = 0.5;
  c.LastError = 709;
  engine.selection.IndexValid = 1;
  engine.selection.SelFirstRow = 2;
  engine.selection.SelLastRow = 9;
  engine.selection.SourceBounds.Rows = 10;
  engine.bench.BenchmarkMode = 1;
  engine.ResumeState = tk::Continuation{8};
  ASSERT_TRUE(engine.sort.SortStack.Allocate(tk::kSortStackFrames));
  ASSERT_TRUE(engine.selection.RowIndex.Allocate(10));

  const Answer a = Send(engine, r, tk::kReset);
  EXPECT_EQ(a.code, 2);
  EXPECT_EQ(a.returned, 3);
  EXPECT_EQ(FieldText(c.Status), kDone);
  EXPECT_EQ(c.LastError, 0);
  EXPECT_EQ(c.Version, 2.0);
  EXPECT_EQ(FieldText(c.Banner), tk::StatusMessage(800));

  // Cleared.
  for (std::int32_t v : {c.SortIndexValid, c.IgnoreEmpty, c.Source.FirstRow, c.Source.LastRow,
                         c.SortKeyCount, c.MoveMapCount, c.ExportMapCount, c.BrkRowA, c.BrkRowB,
                         c.BrkColumn, c.BrkDestRow, c.BrkDestColumn}) {
    EXPECT_EQ(v, 0);
  }
  EXPECT_EQ(engine.selection.IndexValid, 0);
  EXPECT_EQ(engine.selection.SelFirstRow, 0);
  EXPECT_EQ(engine.selection.SelLastRow, 0);
  EXPECT_EQ(engine.bench.BenchmarkMode, 0);
  EXPECT_EQ(tk::ToCode(engine.ResumeState), 0);
  EXPECT_FALSE(engine.sort.SortStack);
  EXPECT_FALSE(engine.selection.RowIndex);

  // Left alone.
  EXPECT_EQ(c.SortCmdOk, 1);
  EXPECT_EQ(c.MoveCmdOk, 1);
  EXPECT_EQ(c.ExportCmdOk, 1);
  EXPECT_EQ(c.Source.HeaderLines, 2);
  EXPECT_EQ(c.Dest.FromRange, 1);
  EXPECT_EQ(c.Dest.Valid, 1);
  EXPECT_EQ(c.Dest.HeaderLines, 1);
  EXPECT_EQ(c.Dest.FirstRow, 2);
  EXPECT_EQ(c.Dest.LastRow, 20);
  EXPECT_EQ(c.Dest.RowCount, 19.0);
  EXPECT_EQ(c.Reserved1.vt, VT_I4);
  EXPECT_EQ(c.Reserved1.lVal, 77);
  EXPECT_EQ(c.Reserved2, 88);
  EXPECT_EQ(c.BenchRows, 1000);
  EXPECT_EQ(c.BenchShuffle, 0.5);
  EXPECT_EQ(engine.selection.SourceBounds.Rows, 10u);
}

TEST(Resume, WhileIdleAnswers713) {
  for (std::int32_t answer : {0, -1, 1, 2, 3, 105, 200, 0x7fffffff}) {
    SCOPED_TRACE(answer);
    Engine engine;
    Record r;
    const Answer a = Send(engine, r, answer);
    EXPECT_EQ(a.code, 713);
    EXPECT_EQ(a.returned, 0);
    EXPECT_EQ(r.comm.LastError, 713);
    EXPECT_EQ(FieldText(r.comm.Status), L"[713]Stack-Failure");
    EXPECT_EQ(r.comm.Version, 0.0);  // a resume writes neither Version nor Banner
    EXPECT_EQ(r.comm.Banner.vt, VT_EMPTY);
  }
}

TEST(Resume, StateOutsideTheContinuationsAnswers713) {
  for (std::int32_t state : {11, 12, -1, 1000}) {
    SCOPED_TRACE(state);
    Engine engine;
    Record r;
    engine.ResumeState = tk::Continuation{state};
    const Answer a = Send(engine, r, 0);
    EXPECT_EQ(a.code, 713);
    EXPECT_EQ(tk::ToCode(engine.ResumeState), 0);
  }
}

// Every continuation keeps pointers into the source array SELECT recorded: without one
// there are no cells to go on with.
TEST(Resume, ContinuationsWithoutASelectionAnswer718) {
  for (std::int32_t state = 1; state <= 10; ++state) {
    SCOPED_TRACE(state);
    Engine engine;
    Record r;
    engine.ResumeState = tk::Continuation{state};
    const Answer a = Send(engine, r, -1);
    EXPECT_EQ(a.code, 718);
    EXPECT_EQ(a.returned, 0);
    EXPECT_EQ(tk::ToCode(engine.ResumeState), 0);
  }
}

// The caller's code that a Range runs while a call is inside (reading or writing its Value)
// calls again, with its own record or with the outer call's: every command is refused with
// 712, only the nested caller's code, LastError and Status are written (its code alone when
// its record is the outer call's, which a refusal never writes into), and the outer call ends
// as if nothing had happened.
TEST(Nesting, ACallFromInsideACallIs712AndChangesNothingElse) {
  for (const bool sameRecord : {false, true}) {
    SCOPED_TRACE(sameRecord ? "the outer call's record" : "a record of its own");
    tkt::FakeRange range(tkt::Rows{{"b", 2}, {"c", 3}, {"a", 1}});
    Engine engine;
    Record r;
    Record own;
    tkt::PutRange(r.comm.Source, range);
    tkt::PutText(r.comm.SortCmd, L"1,TK_COMPASCAUTO");
    std::vector<std::int32_t> nested;
    range.onValue = [&] {
      tk::TKCOMM& record = sameRecord ? r.comm : own.comm;
      for (std::int32_t sent :
           std::initializer_list<std::int32_t>{tk::kSelect, tk::kBenchmark, tk::kExport, tk::kMove,
                                               tk::kSortIndex, tk::kAbout, tk::kReset, 0, -1}) {
        std::int32_t code = sent;
        const std::int32_t lastError = record.LastError;
        const BSTR status = record.Status.bstrVal;
        EXPECT_EQ(engine.Call(&code, &record), 0);
        nested.push_back(code);
        if (sameRecord) {
          EXPECT_EQ(record.LastError, lastError);
          EXPECT_EQ(record.Status.bstrVal, status);
          EXPECT_NE(FieldText(record.Status), L"[712]Flow Error");
        } else {
          EXPECT_EQ(record.LastError, 712);
          EXPECT_EQ(FieldText(record.Status), L"[712]Flow Error");
        }
      }
      std::int32_t code = tk::kSelect;
      EXPECT_EQ(engine.Call(&code, nullptr), 0);  // no record: the code only
      nested.push_back(code);
    };
    EXPECT_EQ(Send(engine, r, tk::kSelect).code, 2);  // the Value get
    EXPECT_EQ(Send(engine, r, tk::kMove).code, 2);    // the Value put
    EXPECT_EQ(nested, std::vector<std::int32_t>(20, 712));
    EXPECT_EQ(tkt::Dump(range.cells()),
              (std::vector<std::vector<std::wstring>>{{L"a", L"1"}, {L"b", L"2"}, {L"c", L"3"}}));
    EXPECT_EQ(FieldText(r.comm.Status), kDone);
    EXPECT_EQ(own.comm.Version, 0.0);  // no banner either
    range.onValue = nullptr;
  }
}

// A call that an exception unwound (Abandon, run by the DLL's guard) leaves nothing behind: a
// sort it interrupted leaves no order, nothing waits for an answer, and the engine takes the
// next call as usual. A finished SELECT's order stays.
TEST(Abandon, DropsTheCallsWorkAndAnUnfinishedOrder) {
  for (const bool sorted : {false, true}) {
    SCOPED_TRACE(sorted ? "after a finished SELECT" : "while the sort waits for an answer");
    Engine engine;
    Record r;
    tkt::PutArray(r.comm.Source.Data, tkt::MakeTable(tkt::NumberGrid(40, 2)));
    tkt::PutText(r.comm.SortCmd, sorted ? L"1,TK_COMPDESAUTO" : L"1,TK_COMPBRKO");
    EXPECT_EQ(Send(engine, r, tk::kSelect).code, sorted ? 2 : 3);
    engine.Abandon();
    EXPECT_EQ(tk::ToCode(engine.ResumeState), 0);
    EXPECT_EQ(Send(engine, r, 0).code, 713);  // no answer is awaited
    EXPECT_EQ(Send(engine, r, tk::kSortIndex).code, sorted ? 2 : 707);
    EXPECT_EQ(Send(engine, r, tk::kAbout).code, 200);  // not 712: the call is no longer inside
  }
}

TEST(OutOfOrder, MoveAndSortIndexNeedASelection) {
  for (std::int32_t command : {tk::kMove, tk::kSortIndex}) {
    SCOPED_TRACE(command);
    Engine engine;
    Record r;
    r.comm.Version = 7.5;
    const Answer a = Send(engine, r, command);
    EXPECT_EQ(a.code, 707);
    EXPECT_EQ(a.returned, 0);
    EXPECT_EQ(r.comm.LastError, 707);
    EXPECT_EQ(FieldText(r.comm.Status),
              L"[707]Operation request out of order (SELECT comes first, then MOVE, etc.)");
    EXPECT_EQ(r.comm.Version, 7.5);  // MOVE and SORTINDEX write no banner or version
    EXPECT_EQ(r.comm.Banner.vt, VT_EMPTY);
  }
}

TEST(OutOfOrder, AfterResetMoveIs707) {
  Engine engine;
  Record r;
  engine.selection.IndexValid = 1;
  Send(engine, r, tk::kReset);
  EXPECT_EQ(Send(engine, r, tk::kMove).code, 707);
  EXPECT_EQ(engine.copy.CurrentOp, tk::kMove);
}

TEST(OutOfOrder, ExportChecksRangeThenCommandThenSelection) {
  Engine engine;
  Record r;
  const Answer noRange = Send(engine, r, tk::kExport);
  EXPECT_EQ(noRange.code, 715);
  EXPECT_EQ(noRange.returned, 0);
  EXPECT_EQ(engine.copy.CurrentOp, tk::kExport);
  EXPECT_EQ(r.comm.Version, 2.0);  // EXPORT writes banner and version first
  EXPECT_EQ(FieldText(r.comm.Banner), tk::StatusMessage(800));

  r.comm.Dest.FromRange = 1;
  EXPECT_EQ(Send(engine, r, tk::kExport).code, 709);
  r.comm.ExportCmdOk = 1;
  EXPECT_EQ(Send(engine, r, tk::kExport).code, 707);
}

TEST(SortIndex, EndsABenchmarkRunEvenWithoutASelection) {
  Engine engine;
  Record r;
  engine.bench.BenchmarkMode = 1;
  EXPECT_EQ(Send(engine, r, tk::kSortIndex).code, 707);
  EXPECT_EQ(engine.bench.BenchmarkMode, 0);
}

TEST(Select, ResetsTheSelectionOutputsBeforeReadingTheSlots) {
  Engine engine;
  Record r;
  engine.selection.IndexValid = 1;
  r.comm.SortIndexValid = 1;
  r.comm.Source.FirstRow = 4;
  r.comm.Source.LastRow = 8;
  const Answer a = Send(engine, r, tk::kSelect);
  EXPECT_EQ(r.comm.Version, 2.0);
  EXPECT_EQ(FieldText(r.comm.Banner), tk::StatusMessage(800));
  EXPECT_EQ(engine.selection.IndexValid, 0);
  EXPECT_EQ(r.comm.SortIndexValid, 0);
  // No array in the source slot.
  EXPECT_EQ(a.code, 718);
  EXPECT_EQ(a.returned, 0);
}

TEST(Benchmark, ANewRunIsCarriedOutAsSelect) {
  Engine engine;
  Record r;
  const Answer a = Send(engine, r, tk::kBenchmark);
  EXPECT_EQ(engine.bench.BenchmarkMode, 0);  // a run whose SELECT part failed is over
  EXPECT_EQ(a.code, 718);
  EXPECT_EQ(r.comm.Version, 2.0);
}

}  // namespace
