// BENCHMARK. See benchmark.h.
#include "apply/benchmark.h"

#include <cmath>
#include <cstring>
#include <cwchar>
#include <limits>

#include "input/slots.h"
#include "platform/platform.h"

namespace tk {
namespace {

// A benchmark phase that comes more than this long after the previous one starts over.
constexpr double kBenchmarkWindowMs = 1000.0;
// rand() yields 0 to 32767: draws are scaled by 32768 so that the upper bound never comes.
constexpr double kRandRange = 32768.0;
// The fill's word: 3 to 14 letters in a buffer of 15 characters with its terminator.
constexpr std::int32_t kWordCapacity = 15;
constexpr std::int32_t kWordMinLength = 3;
constexpr std::int32_t kWordMaxLength = 15;
// Columns the fill writes.
constexpr std::uint32_t kFillColumns = 4;

std::int32_t RandomInt(std::int32_t low, std::int32_t high) noexcept {
  return static_cast<std::int32_t>(low + static_cast<double>(high - low) * platform::Random() /
                                             kRandRange);
}

double RandomReal(double low, double high) noexcept {
  return low + (high - low) * platform::Random() / kRandRange;
}

// Appends a word to `text` (room for `capacity` characters with the terminator): its length
// drawn first, then each letter; `trailing` appended after it when not 0; the first letter
// upper case when `capitalize` is not 0. Returns the word's length.
std::int32_t RandomWord(wchar_t* text, wchar_t trailing, bool capitalize, std::int32_t capacity,
                        std::int32_t minLength, std::int32_t maxLength) noexcept {
  const std::int32_t length =
      trailing != 0 ? RandomInt(minLength, maxLength - 1) : RandomInt(minLength, maxLength);
  std::size_t end = std::wcslen(text);
  const std::size_t room = static_cast<std::size_t>(capacity) - 1;
  for (std::int32_t i = 0; i < length; ++i) {
    const wchar_t letter = static_cast<wchar_t>(RandomInt(97, 123));
    if (end < room) {
      text[end++] = (capitalize && i == 0) ? static_cast<wchar_t>(letter - L'a' + L'A') : letter;
    }
  }
  if (trailing != 0 && end < room) text[end++] = trailing;
  text[end] = L'\0';
  return length;
}

// Sum of column 2 over the filled rows, in row order.
double DateChecksum(const VARIANT* cells, std::uint32_t rows) noexcept {
  double sum = 0.0;
  for (std::uint32_t i = 0; i < rows; ++i) sum += cells[rows + i].date;
  return sum;
}

// The caller's table as the fill writes it: every write goes into the array as SELECT
// validated it. What a cell held is released after the write, and may run the caller's code
// (an object's last reference), so the array is checked again before each write; once it has
// changed, nothing more is written and `unchanged` stays false.
struct FillTarget {
  const Selection& selection;
  const TKCOMM& comm;
  VARIANT* cells;  // the validated source block, column by column
  bool unchanged = true;

  // Stores `value` (the fill's own) as element `element`, or releases it once the table changed.
  void Put(std::uint32_t element, VARIANT value) noexcept {
    unchanged = unchanged && selection.SourceUnchanged(comm);
    if (unchanged) {
      platform::PutCell(&cells[element], value);
    } else {
      platform::ClearCell(&value);
    }
  }
};

// Writes `rows` generated rows (a capitalised word, a date up to two weeks after `now`, a real,
// an integer), drawing in that order row by row, until they are done or the table changed.
// False when a word's string could not be made.
[[nodiscard]] bool WriteRandomRows(FillTarget& table, std::uint32_t rows, double now) noexcept {
  VARIANT value;
  VariantInit(&value);
  for (std::uint32_t i = 0; i < rows && table.unchanged; ++i) {
    wchar_t word[kWordCapacity] = {};
    RandomWord(word, 0, true, kWordCapacity, kWordMinLength, kWordMaxLength);
    value.vt = VT_BSTR;
    value.bstrVal = platform::AllocString(word);
    if (value.bstrVal == nullptr) return false;
    table.Put(i, value);

    const double day = RandomReal(1.0, now + 14.0);
    const double time = RandomReal(0.0, 1.0);
    value.vt = VT_DATE;
    value.date = day + time;
    table.Put(rows + i, value);

    value.vt = VT_R8;
    value.dblVal = RandomReal(0.0, 999999.999);
    table.Put(2 * rows + i, value);

    value.vt = VT_I4;
    value.lVal = RandomInt(0, 999);
    table.Put(3 * rows + i, value);
  }
  return true;
}

// Mixing, so that rows come to share their first keys: T + 1 steps, T = trunc(rows * shuffle)
// (none for a negative or NaN product, never more than a 32-bit count holds), each copying
// the leading cells (1 to `columns` of them) of one random row onto another, until done or
// the table changed. False when a copy failed for memory.
[[nodiscard]] bool MixRows(FillTarget& table, std::uint32_t rows, std::uint32_t columns,
                           double shuffle) noexcept {
  const double product = std::trunc(static_cast<double>(rows) * shuffle);
  const double steps = product >= 0.0 ? std::fmin(product, 2147483646.0) + 1.0 : 0.0;
  const auto lastRow = static_cast<std::int32_t>(rows) - 1;
  for (double step = 0.0; step < steps && table.unchanged; step += 1.0) {
    const std::int32_t a = RandomInt(0, lastRow);
    const std::int32_t b = RandomInt(0, lastRow);
    const std::int32_t m = RandomInt(1, static_cast<std::int32_t>(columns));
    if (a == b) continue;
    for (std::int32_t k = 0; k < m && table.unchanged; ++k) {
      const std::uint32_t offset = static_cast<std::uint32_t>(k) * rows;
      table.unchanged = table.selection.SourceUnchanged(table.comm);
      if (table.unchanged &&
          FAILED(platform::ReplaceCell(&table.cells[offset + static_cast<std::uint32_t>(a)],
                                       &table.cells[offset + static_cast<std::uint32_t>(b)]))) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

void BenchmarkState::Clear() noexcept {
  *this = BenchmarkState{};
}

bool BenchmarkState::StartsNewRun(double now) noexcept {
  if (BenchStepEnd + kBenchmarkWindowMs < now) Clear();
  if (BenchmarkMode == 1 && SortPrepared) return false;
  // A new run: carried out as a SELECT whose end fills the table instead of sorting.
  Clear();
  BenchmarkMode = 1;
  return true;
}

bool BenchmarkState::FillsOnSelect(double now) noexcept {
  if (BenchmarkMode != 1) return false;
  if (BenchStepEnd + kBenchmarkWindowMs >= now) return true;
  Clear();
  return false;
}

Continuation BenchmarkState::TimeMove() noexcept {
  if (BenchmarkMode != 1) return Continuation::MoveDone;
  BenchClock = platform::TickCount();
  return Continuation::BenchmarkMoved;
}

Step FillPhase(Context& ctx, BenchmarkState& bench, const Selection& selection) noexcept {
  const TKCOMM& c = ctx.comm;
  const ArrayBounds& bounds = selection.SourceBounds;
  // The fill addresses BenchRows rows of four columns: refuse a table that lacks them.
  if (c.BenchRows < 0 || static_cast<std::uint32_t>(c.BenchRows) > bounds.Rows ||
      bounds.Columns < kFillColumns) {
    return Step::Ended(Status::BadBounds);
  }
  const auto rows = static_cast<std::uint32_t>(c.BenchRows);
  const double now = platform::LocalNowOleDate();
  platform::SeedRandom();

  FillTarget table{selection, c, selection.SourceBlock};
  if (!WriteRandomRows(table, rows, now) || !MixRows(table, rows, bounds.Columns, c.BenchShuffle)) {
    return Step::Ended(Status::NoMemory);
  }
  if (!table.unchanged) return Step::Ended(Status::ArrayError);

  bench.BenchChecksum = DateChecksum(table.cells, rows);
  bench.FillRows = rows;
  const Status written = WriteBack(ctx.comm.Source, selection.SourceFromRange);
  if (written != Status::Success) return Step::Ended(written);
  bench.BenchClock = bench.BenchStepEnd = platform::TickCount();
  bench.SortPrepared = true;
  return Step::Ended(Status::Success, kReturnOutput);
}

bool SortPhaseHeld(TKCOMM& comm, BenchmarkState& bench, const Selection& selection) noexcept {
  bench.SortPrepared = false;
  bench.BenchStepEnd = platform::TickCount();
  comm.SortSeconds = (bench.BenchStepEnd - bench.BenchClock) / 1000.0;
  if (DateChecksum(selection.SourceBlock, bench.FillRows) == bench.BenchChecksum) return true;
  bench.Clear();
  return false;
}

Step BenchmarkMoved(Context& ctx, BenchmarkState& bench, const Selection& selection) noexcept {
  TKCOMM& c = ctx.comm;
  const std::uint32_t now = platform::TickCount();
  c.MoveSeconds = (static_cast<double>(now) - bench.BenchClock) / 1000.0;
  bench.BenchClock = platform::TickCount();
  const Status written = WriteBack(c.Source, selection.SourceFromRange);
  if (written != Status::Success) return Step::Ended(written);
  c.WriteSeconds = 2.0 * (static_cast<double>(platform::TickCount()) - bench.BenchClock) / 1000.0;
  bench.Clear();
  return Step::Ended(Status::Success);
}

}  // namespace tk
