// The continuation numbers of the resume path.
//
// ResumeState names where a suspended or handed-over operation goes on. It is the engine's
// own state: no field of the record carries it, and a caller sees only the break-out status
// in its code. The values 0 to 10 are the points a caller's answer resumes; each is pinned
// below so that tests and documents can name them by number.
//
// The values from 11 on never outlive a call: they name where the run loop goes once an
// operation is complete, chosen by whoever started it (the sort ends a SELECT or a benchmark
// run, MOVE writes back plainly or timed), the way a copy step goes on at the continuation
// its operation gave it. No resume reaches them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tk {

enum class Continuation : std::int32_t {
  Idle = 0,              // nothing suspended: a resume ends with 713
  LeftScan = 1,          // sort: after a comparison of the left scan
  RightScan = 2,         // sort: after a comparison of the right scan
  InsertPass = 3,        // sort: after a comparison of the insertion pass
  CompareBreakOut = 4,   // a comparison waits for the caller's answer
  MoveCycleStarted = 5,  // MOVE: the cycle's first row is set aside
  MoveRowCopied = 6,     // MOVE: a row-to-row copy has finished
  MoveCycleClosed = 7,   // MOVE: the set-aside row is back in the cycle's last row
  CopyBreakOut = 8,      // a copy step waits for the caller to copy one cell
  ExportHeaderDone = 9,  // EXPORT: a header row has been copied
  ExportRowDone = 10,    // EXPORT: a data row has been copied

  SelectSorted = 11,     // SELECT's sort is complete (its status in the code)
  BenchmarkSorted = 12,  // the benchmark's sort is complete (its status in the code)
  MoveDone = 13,         // MOVE has every row in place: the write-back
  BenchmarkMoved = 14,   // the same in a benchmark run: the timed write-back
};

constexpr std::int32_t ToCode(Continuation c) {
  return static_cast<std::int32_t>(c);
}

// True for the continuations a caller's answer may resume: 1 to 10. Idle and the values
// that never outlive a call end the resume with 713.
constexpr bool IsResumePoint(Continuation state) {
  return state >= Continuation::LeftScan && state <= Continuation::ExportRowDone;
}

// The caller's arrays a continuation holds pointers into. Between two calls the caller may
// replace or resize any of them; before a continuation reads a cell again, the run loop
// checks that each array it names is still the one SELECT validated (same data block, same
// bounds), and a changed one ends the operation with 718 instead of a read of freed memory.
enum class HeldArrays : std::uint8_t {
  None,               // idle, or an operation's ending: no cell is read through a pointer
  Source,             // the sort, its comparison, MOVE: Source.Data
  SourceAndDest,      // EXPORT: Source.Data and Dest.Data
  SourceAndCopyDest,  // a copy step: Source.Data, and Dest.Data when the step is EXPORT's
};

// What each continuation points into, by its number; a value past the table holds nothing.
constexpr HeldArrays kHeldArrays[] = {
    HeldArrays::None,               // Idle
    HeldArrays::Source,             // LeftScan
    HeldArrays::Source,             // RightScan
    HeldArrays::Source,             // InsertPass
    HeldArrays::Source,             // CompareBreakOut
    HeldArrays::Source,             // MoveCycleStarted
    HeldArrays::Source,             // MoveRowCopied
    HeldArrays::Source,             // MoveCycleClosed
    HeldArrays::SourceAndCopyDest,  // CopyBreakOut
    HeldArrays::SourceAndDest,      // ExportHeaderDone
    HeldArrays::SourceAndDest,      // ExportRowDone
    HeldArrays::None,               // SelectSorted: the sort is over and reads no cell
    HeldArrays::None,               // BenchmarkSorted: SortPhaseHeld checks the table itself
    HeldArrays::None,               // MoveDone: the write-back reads the record as it is
    HeldArrays::None,               // BenchmarkMoved: likewise
};
static_assert(sizeof kHeldArrays / sizeof kHeldArrays[0] ==
              static_cast<std::size_t>(Continuation::BenchmarkMoved) + 1);

constexpr HeldArrays ArraysHeldAt(Continuation at) {
  const auto n = static_cast<std::uint32_t>(at);
  return n < sizeof kHeldArrays / sizeof kHeldArrays[0] ? kHeldArrays[n] : HeldArrays::None;
}

static_assert(static_cast<int>(Continuation::Idle) == 0);
static_assert(static_cast<int>(Continuation::LeftScan) == 1);
static_assert(static_cast<int>(Continuation::RightScan) == 2);
static_assert(static_cast<int>(Continuation::InsertPass) == 3);
static_assert(static_cast<int>(Continuation::CompareBreakOut) == 4);
static_assert(static_cast<int>(Continuation::MoveCycleStarted) == 5);
static_assert(static_cast<int>(Continuation::MoveRowCopied) == 6);
static_assert(static_cast<int>(Continuation::MoveCycleClosed) == 7);
static_assert(static_cast<int>(Continuation::CopyBreakOut) == 8);
static_assert(static_cast<int>(Continuation::ExportHeaderDone) == 9);
static_assert(static_cast<int>(Continuation::ExportRowDone) == 10);

}  // namespace tk
