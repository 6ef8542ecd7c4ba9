// The continuation numbers of the resume path.
//
// ResumeState names where a suspended or handed-over operation goes on. The values 0 to 10
// are the external contract of the resume path (a macro that inspects nothing still depends
// on them staying stable across versions), so each is pinned below.
//
// The values from 11 on never outlive a call: they name where the run loop goes once an
// operation is complete, chosen by whoever started it (the sort ends a SELECT or a benchmark
// run, MOVE writes back plainly or timed), the way a copy step goes on at the continuation
// its operation gave it. No resume reaches them.
#pragma once

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
constexpr bool IsResumePoint(std::int32_t state) {
  return state >= ToCode(Continuation::LeftScan) && state <= ToCode(Continuation::ExportRowDone);
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
