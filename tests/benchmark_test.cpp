// BENCHMARK: the fill with its exact draws, the phases and their window, the timings, and
// the refusals. The clock and the random seed come from a test clock, so nothing sleeps
// and the draws can be replayed here with the same C runtime rand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "entry/engine.h"
#include "platform/platform.h"
#include "support/caller.h"
#include "support/fake_range.h"
#include "support/table.h"

namespace {

using tk::Engine;
using tkt::Cell;
using tkt::Dots;
using tkt::FakeRange;
using tkt::Record;
using tkt::Rows;

constexpr double kNow = 46000.25;  // an OLE date in 2025
constexpr std::int64_t kSeed = 1765000000;

// The draws the benchmark makes, replayed from the same seed.
struct Draws {
  explicit Draws(std::int64_t seed) { std::srand(static_cast<unsigned>(seed)); }
  int Int(int low, int high) {
    return static_cast<int>(low + double(high - low) * std::rand() / 32768.0);
  }
  double Real(double low, double high) { return low + (high - low) * std::rand() / 32768.0; }
  std::wstring Word() {
    const int length = Int(3, 15);
    std::wstring word;
    for (int i = 0; i < length; ++i) {
      const wchar_t letter = static_cast<wchar_t>(Int(97, 123));
      word += i == 0 ? static_cast<wchar_t>(letter - 32) : letter;
    }
    return word;
  }
};

// A cell as kind + exact value, for comparing tables without rounding.
struct Value {
  VARTYPE vt;
  std::wstring text;
  double number;
  bool operator==(const Value& o) const {
    return vt == o.vt && text == o.text && number == o.number;
  }
};

Value Of(const VARIANT& v) {
  switch (v.vt) {
    case VT_BSTR: return {v.vt, v.bstrVal, 0};
    case VT_DATE: return {v.vt, L"", v.date};
    case VT_R8: return {v.vt, L"", v.dblVal};
    case VT_I4: return {v.vt, L"", static_cast<double>(v.lVal)};
    default: return {v.vt, tkt::Text(v), 0};
  }
}

using Table = std::vector<std::vector<Value>>;  // [row][column]

Table Snapshot(SAFEARRAY* array) {
  const tkt::Shape s = tkt::ShapeOf(array);
  Table out(static_cast<std::size_t>(s.rows));
  for (int r = 0; r < s.rows; ++r) {
    for (int c = 0; c < s.columns; ++c) out[r].push_back(Of(tkt::CellAt(array, r + 1, c + 1)));
  }
  return out;
}

// What the fill and mixing make of `start`, by the rules, with `rows` filled rows.
Table Expected(Table table, int rows, double shuffle, std::int64_t seed) {
  Draws d(seed);
  for (int i = 0; i < rows; ++i) {
    table[i][0] = {VT_BSTR, d.Word(), 0};
    const double day = d.Real(1.0, kNow + 14.0);
    const double time = d.Real(0.0, 1.0);
    table[i][1] = {VT_DATE, L"", day + time};
    table[i][2] = {VT_R8, L"", d.Real(0.0, 999999.999)};
    table[i][3] = {VT_I4, L"", static_cast<double>(d.Int(0, 999))};
  }
  const double t = std::trunc(rows * shuffle);
  const int columns = static_cast<int>(table[0].size());
  for (double step = 0; t >= 0 && step <= t; ++step) {
    const int a = d.Int(0, rows - 1);
    const int b = d.Int(0, rows - 1);
    const int m = d.Int(1, columns);
    for (int k = 0; a != b && k < m; ++k) table[a][k] = table[b][k];
  }
  return table;
}

// A source Range, the record and the engine, with a test clock that tests move on.
struct Bench {
  FakeRange range;
  Engine engine;
  Record r;
  tkt::Caller caller{engine};
  tk::platform::TestClock clock{kNow, 100000, kSeed};

  Bench(int rows, int columns, std::int32_t benchRows, double shuffle, const wchar_t* sortCmd)
      : range(Dots(rows, columns)) {
    tkt::PutRange(r.comm.Source, range);
    tkt::PutText(r.comm.SortCmd, sortCmd);
    r.comm.BenchRows = benchRows;
    r.comm.BenchShuffle = shuffle;
    tk::platform::SetTestClock(&clock);
  }
  ~Bench() { tk::platform::SetTestClock(nullptr); }
  std::int32_t Run(std::int32_t command) { return caller.Run(command, r.comm); }
  void Later(std::uint32_t ms) { clock.ticks += ms; }
};

TEST(BenchmarkFill, CellsFollowTheDrawsExactly) {
  struct Case {
    const char* what;
    int rows, columns;
    double shuffle;
  } const cases[] = {
      {"shuffle 0.3 on five columns", 50, 5, 0.3},
      {"shuffle 0: one mixing step", 40, 6, 0.0},
      {"four columns: the fourth is never copied", 60, 4, 2.0},
      {"one row: every step draws the same row", 1, 4, 5.0},
      {"negative shuffle: no mixing", 30, 5, -1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bench b(c.rows, c.columns, c.rows, c.shuffle, L"2,TK_COMPASCAUTO");
    const Table start = Snapshot(b.range.cells());
    EXPECT_EQ(b.Run(tk::kBenchmark), 2);
    EXPECT_EQ(b.caller.lastReturn, 2);
    EXPECT_EQ(b.engine.bench.BenchmarkMode, 1);
    EXPECT_EQ(b.range.valuePuts, 1);
    const Table filled = Snapshot(b.range.cells());
    EXPECT_TRUE(filled == Expected(start, c.rows, c.shuffle, kSeed));
    for (const auto& row : filled) {
      ASSERT_EQ(row[0].vt, VT_BSTR);
      EXPECT_GE(row[0].text.size(), 3u);
      EXPECT_LE(row[0].text.size(), 14u);
      EXPECT_TRUE(row[0].text[0] >= L'A' && row[0].text[0] <= L'Z');
      EXPECT_EQ(row[1].vt, VT_DATE);
      EXPECT_GE(row[1].number, 1.0);
      EXPECT_LT(row[1].number, kNow + 15.0);
      EXPECT_EQ(row[2].vt, VT_R8);
      EXPECT_LT(row[2].number, 999999.999);
      EXPECT_EQ(row[3].vt, VT_I4);
      EXPECT_LE(row[3].number, 998);
    }
  }
}

// Mixing is observable: with this seed the single step of BenchShuffle 0 copies a row.
TEST(BenchmarkFill, ShuffleZeroStillMixesOnce) {
  Bench b(40, 6, 40, 0.0, L"2,TK_COMPASCAUTO");
  const Table start = Snapshot(b.range.cells());
  const Table mixed = Expected(start, 40, 0.0, kSeed);
  const Table unmixed = Expected(start, 40, -1.0, kSeed);
  ASSERT_FALSE(mixed == unmixed) << "pick another seed: its one step copies nothing";
  ASSERT_EQ(b.Run(tk::kBenchmark), 2);
  EXPECT_TRUE(Snapshot(b.range.cells()) == mixed);
}

TEST(BenchmarkFlow, FillSortMoveWithTimings) {
  Bench b(200, 4, 200, 0.5, L"4,TK_COMPASCAUTO 2,TK_COMPDESAUTO");
  ASSERT_EQ(b.Run(tk::kBenchmark), 2);
  b.Later(400);
  EXPECT_EQ(b.Run(tk::kBenchmark), 2);  // the sort phase
  EXPECT_EQ(b.caller.lastReturn, 0);
  EXPECT_DOUBLE_EQ(b.r.comm.SortSeconds, 0.4);
  EXPECT_EQ(b.engine.bench.BenchmarkMode, 1);
  SAFEARRAY* cells = b.r.comm.Source.Data.parray;
  for (std::uint32_t j = 2; j + 1 < b.engine.selection.RowIndexLength; ++j) {
    const VARIANT& before = tkt::CellAt(cells, b.engine.selection.RowIndex[j - 1], 4);
    const VARIANT& after = tkt::CellAt(cells, b.engine.selection.RowIndex[j], 4);
    EXPECT_LE(before.lVal, after.lVal);
  }
  b.Later(250);
  EXPECT_EQ(b.Run(tk::kMove), 2);
  EXPECT_EQ(b.r.comm.MoveSeconds, 0.0);  // the test clock stands still within a call
  EXPECT_EQ(b.r.comm.WriteSeconds, 0.0);
  EXPECT_EQ(b.engine.bench.BenchmarkMode, 0);
  EXPECT_EQ(b.range.valuePuts, 2);
  for (std::int32_t row = 2; row <= 200; ++row) {
    EXPECT_LE(tkt::CellAt(b.range.cells(), row - 1, 4).lVal,
              tkt::CellAt(b.range.cells(), row, 4).lVal);
  }
}

TEST(BenchmarkFlow, TheWindowAndWhatEndsARun) {
  Bench late(20, 4, 20, 0.1, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(late.Run(tk::kBenchmark), 2);
  late.Later(1500);
  EXPECT_EQ(late.Run(tk::kBenchmark), 2);
  EXPECT_EQ(late.caller.lastReturn, 2);  // filled again, not sorted
  EXPECT_EQ(late.range.valuePuts, 2);

  Bench index(20, 4, 20, 0.1, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(index.Run(tk::kBenchmark), 2);
  EXPECT_EQ(index.Run(tk::kSortIndex), 2);  // SORTINDEX ends the run
  EXPECT_EQ(index.engine.bench.BenchmarkMode, 0);
  EXPECT_EQ(index.Run(tk::kBenchmark), 2);
  EXPECT_EQ(index.caller.lastReturn, 2);  // a new fill

  Bench select(20, 4, 20, 0.1, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(select.Run(tk::kBenchmark), 2);
  EXPECT_EQ(select.Run(tk::kSelect), 2);  // SELECT during a run fills again
  EXPECT_EQ(select.caller.lastReturn, 2);
  EXPECT_EQ(select.range.valuePuts, 2);

  Bench reset(20, 4, 20, 0.1, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(reset.Run(tk::kBenchmark), 2);
  reset.Run(tk::kReset);
  EXPECT_EQ(reset.engine.bench.BenchmarkMode, 0);

  // A run left open (no MOVE came) is over once its window has passed: a SELECT then sorts
  // the caller's table and writes nothing into it.
  Bench open(20, 4, 20, 0.1, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(open.Run(tk::kBenchmark), 2);
  ASSERT_EQ(open.Run(tk::kBenchmark), 2);
  open.Later(1001);
  EXPECT_EQ(open.Run(tk::kSelect), 2);
  EXPECT_EQ(open.caller.lastReturn, 0);  // sorted, not filled
  EXPECT_EQ(open.range.valuePuts, 1);    // the first fill's only
  EXPECT_EQ(open.engine.bench.BenchmarkMode, 0);
}

TEST(BenchmarkFlow, ChangedDatesFailTheCheck) {
  Bench b(30, 4, 30, 0.2, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(b.Run(tk::kBenchmark), 2);
  tkt::CellAt(b.r.comm.Source.Data.parray, 7, 2).date += 1.0;
  b.r.comm.SortIndexValid = 1;
  EXPECT_EQ(b.Run(tk::kBenchmark), 718);
  EXPECT_EQ(b.engine.selection.IndexValid, 0);
  EXPECT_EQ(b.r.comm.SortIndexValid, 0);
  EXPECT_EQ(b.engine.bench.BenchmarkMode, 0);
  EXPECT_EQ(b.Run(tk::kMove), 707);
}

TEST(BenchmarkFlow, BreakOutKeysInTheSortPhase) {
  Bench b(25, 4, 25, 0.2, L"1,TK_COMPBRKO");
  ASSERT_EQ(b.Run(tk::kBenchmark), 2);
  b.caller.seen.clear();
  EXPECT_EQ(b.Run(tk::kBenchmark), 2);
  EXPECT_FALSE(b.caller.seen.empty());
  EXPECT_EQ(b.caller.seen.front().code, 3);
}

// Tables the fill cannot use are refused before a cell is written.
TEST(BenchmarkGuards, TablesTooSmallAreRefusedUnwritten) {
  struct Case {
    const char* what;
    int rows, columns;
    std::int32_t benchRows;
  } const cases[] = {
      {"fewer rows than BenchRows", 10, 4, 11},
      {"three columns", 10, 3, 10},
      {"negative BenchRows", 10, 4, -5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bench b(c.rows, c.columns, c.benchRows, 0.5, L"1,TK_COMPASCAUTO");
    const Table start = Snapshot(b.range.cells());
    EXPECT_EQ(b.Run(tk::kBenchmark), 700);
    EXPECT_TRUE(Snapshot(b.r.comm.Source.Data.parray) == start);
    EXPECT_EQ(b.range.valuePuts, 0);
    // The refusal ends the run: nothing is left for a MOVE, and a SELECT sorts the table
    // instead of filling it.
    EXPECT_EQ(b.engine.bench.BenchmarkMode, 0);
    EXPECT_EQ(b.Run(tk::kMove), 707);
    EXPECT_EQ(b.Run(tk::kSelect), 2);
    EXPECT_EQ(b.caller.lastReturn, 0);
    EXPECT_EQ(b.range.valuePuts, 0);
  }
}

// The second call sorts only what a fill prepared: after a failed first call (which ends the
// run), and after a finished sort phase, it starts a new run instead.
TEST(BenchmarkGuards, NoSortWithoutAPreparedFill) {
  Bench failed(10, 4, 10, 0.5, L"1,TK_NOSUCHKEY");
  EXPECT_EQ(failed.Run(tk::kBenchmark), 709);
  EXPECT_EQ(failed.engine.bench.BenchmarkMode, 0);
  failed.Later(10);
  EXPECT_EQ(failed.Run(tk::kBenchmark), 709);  // carried out as a SELECT again, not as a sort
  tkt::PutText(failed.r.comm.SortCmd, L"1,TK_COMPASCAUTO");
  EXPECT_EQ(failed.Run(tk::kBenchmark), 2);
  EXPECT_EQ(failed.caller.lastReturn, 2);

  Bench twice(10, 4, 10, 0.5, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(twice.Run(tk::kBenchmark), 2);
  ASSERT_EQ(twice.Run(tk::kBenchmark), 2);
  ASSERT_EQ(twice.caller.lastReturn, 0);
  EXPECT_EQ(twice.Run(tk::kBenchmark), 2);  // a new fill, not a second pass over a finished sort
  EXPECT_EQ(twice.caller.lastReturn, 2);
  EXPECT_EQ(twice.range.valuePuts, 2);
}

}  // namespace
