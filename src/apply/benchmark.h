// BENCHMARK: the engine's built-in benchmark and self-test on the caller's own table.
//
// The flow: BENCHMARK (a SELECT whose end fills the source with random typed rows, mixes
// them, takes a checksum and writes the Range back; returns 2), BENCHMARK again within one
// second of the last phase (sorts, checks that the checksum still holds, times the sort),
// then MOVE (timed, with the write-back timed too; ends the run). A BENCHMARK that comes
// more than a second after the last phase starts a new run; SORTINDEX, RESET and a failed
// check end the run, and a SELECT during the run fills again instead of sorting.
//
// The fill writes BenchRows rows from the first array row, header rows included; cell
// (i, j), both from 0, is element i + j * BenchRows:
//   column 1  a word of 3 to 14 letters, the first upper case      VT_BSTR
//   column 2  RandomReal(1, now + 14) + RandomReal(0, 1)            VT_DATE
//   column 3  RandomReal(0, 999999.999)                             VT_R8
//   column 4  RandomInt(0, 999), so 0 to 998                        VT_I4
// with the C runtime's rand seeded from the calendar time. Mixing then copies the leading
// cells of random rows onto others, so rows come to share their first keys.
//
// A table that cannot hold the fill (fewer rows than BenchRows, fewer than four columns, a
// negative BenchRows) is refused with 700 before anything is written. A second BENCHMARK
// runs the sort only while a fill has prepared one that has not finished yet; otherwise
// it starts a new run, so it never sorts what no SELECT prepared or re-enters a finished
// sort.
//
// The benchmark owns its run; the engine asks it at three points and it answers from its
// own state: StartsNewRun (BENCHMARK: a new run, carried out as a SELECT that fills, or the
// sort phase), FillsOnSelect (SELECT: fill again within the run's window), TimeMove (MOVE:
// where MOVE goes on, with the clock started in a run). The sort phase ends at
// BenchmarkSorted, MOVE in a run at BenchmarkMoved; Clear ends the run: SORTINDEX, RESET, a
// failed check, the timed MOVE, and a fill that did not happen (refused, or its SELECT part
// failed), so that no later SELECT takes a real table for a benchmark's.
#pragma once

#include <cstdint>

#include "input/selection.h"
#include "protocol/step.h"

namespace tk {

struct BenchmarkState {
  std::int32_t BenchmarkMode = 0;  // 1 while a benchmark run is under way
  double BenchClock = 0.0;         // tick count at which the timed phase started
  double BenchChecksum = 0.0;      // sum of the generated date column after the fill
  double BenchStepEnd = 0.0;       // tick count at the end of the last benchmark phase
  std::uint32_t FillRows = 0;      // rows the fill wrote (BenchRows when it ran)
  bool SortPrepared = false;       // a fill phase succeeded and its sort has not finished

  void Clear() noexcept;  // ends the run: zeroes; safe twice
  // SELECT at tick `now`: true while a run is under way and its last phase ended at most a
  // second ago, so that this SELECT fills again; a run whose window has passed is over, and
  // the SELECT sorts the caller's table like any other.
  bool FillsOnSelect(double now) noexcept;
  // BENCHMARK at tick `now`: true when it starts a new run (then set up afresh), false when
  // it is the sort phase of the run in progress.
  bool StartsNewRun(double now) noexcept;
  // SELECT: a new selection; whatever sort a fill prepared is gone with the old one.
  void SelectionReplaced() noexcept { SortPrepared = false; }
  // MOVE: the continuation once MOVE has its rows in place. In a run: BenchmarkMoved, and the
  // MOVE's clock starts now; else MoveDone.
  Continuation TimeMove() noexcept;
};

// The fill at the end of a benchmark run's SELECT: generated rows, mixed, the checksum, the
// write-back. Ends with 2 and return value 2, or 700, 705, 716, or 718 when the caller's code,
// run by the release of a cell the fill overwrote, replaced or resized the table.
Step FillPhase(Context& ctx, BenchmarkState& bench, const Selection& selection) noexcept;

// BenchmarkSorted: the sort phase is over. Writes SortSeconds; true when the checksum still
// holds. False: the table changed under the sort, and the run is over.
[[nodiscard]] bool SortPhaseHeld(TKCOMM& comm, BenchmarkState& bench,
                                 const Selection& selection) noexcept;

// BenchmarkMoved: MoveSeconds, the timed write-back, WriteSeconds; ends the run. Ends with
// 2, or 716 when the Range refused the rows (the run is then still open).
Step BenchmarkMoved(Context& ctx, BenchmarkState& bench, const Selection& selection) noexcept;

}  // namespace tk
