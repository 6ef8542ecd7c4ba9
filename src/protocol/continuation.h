// The continuation numbers of the resume path.
//
// ResumeState names where a suspended or handed-over operation goes on. The values are
// the external contract of the resume path (a macro that inspects nothing still depends
// on them staying stable across versions), so each is pinned below.
#pragma once

#include <cstdint>

namespace tk {

enum class Continuation : std::int32_t {
  Idle = 0,              // nothing suspended: a resume ends with 713
  LeftScan = 1,          // sort: after a comparison of the left scan
  RightScan = 2,         // sort: after a comparison of the right scan
  InsertPass = 3,        // sort: after a comparison of the insertion pass
  CompareBreakOut = 4,   // a comparison waits for the caller's answer
  MoveCycleStarted = 5,  // MOVE: the cycle's first row is in the temporary row
  MoveRowCopied = 6,     // MOVE: a row-to-row copy has finished
  MoveCycleClosed = 7,   // MOVE: the temporary row has been copied back
  CopyBreakOut = 8,      // a copy step waits for the caller to copy one cell
  ExportHeaderDone = 9,  // EXPORT: a header row has been copied
  ExportRowDone = 10,    // EXPORT: a data row has been copied
};

constexpr std::int32_t ToCode(Continuation c) {
  return static_cast<std::int32_t>(c);
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
