// The engine: all state that lives between calls of TKselect, and the call itself.
//
// TKselect forwards every call to Engine::Call on one process-wide instance; tests build
// their own Engine objects, so each starts from the just-loaded state (all zero, idle).
//
// A call reads the code and tests it in a fixed order: 100 SELECT, 832 BENCHMARK,
// 103 EXPORT, 102 MOVE, 101 SORTINDEX, 107 ABOUT, 104 RESET. Any other value is the
// caller's answer to the last break-out and resumes the operation that ResumeState names.
// A call ends in exactly one of three ways:
//   completed or failed   through Finish: ResumeState 0, status in the code, LastError and
//                         the Status text written; return 0 (2 for SORTINDEX, ABOUT and the
//                         first benchmark phase, 3 for RESET);
//   handed out            a break-out: code 3 or 201-204, ResumeState 4 or 8, return 1,
//                         no status text;
//   refused               no record (703): nothing in the record can be written.
//
// Resumable operations never call their continuation: a step that has finished sets
// ResumeState and returns to the run loop (Run), which switches on it. A sort of a million
// rows therefore runs in a flat loop, whatever the number of comparisons.
//
// State groups, each owned by one module; the working state of an operation has a Clear
// (frees, then zeroes; safe twice) that RESET calls:
//   Selection       the row index, key tables and geometry of the last SELECT
//   SortState       the quicksort's frame stack and cursors
//   CompareState    the row pair and key of a pending comparison
//   CopyStep        MOVE's and EXPORT's copy step
//   MoveState       MOVE's cycle cursors and visited flags
//   ExportState     EXPORT's cursors
//   BenchmarkState  the benchmark's mode, clock and checksum
#pragma once

#include <cstdint>

#include "input/bounds.h"
#include "input/key_tables.h"
#include "platform/heap_block.h"
#include "protocol/codes.h"
#include "protocol/continuation.h"
#include "protocol/record.h"
#include "protocol/status.h"
#include "sort/frame.h"

namespace tk {

// The selection: what SELECT builds and MOVE, EXPORT and SORTINDEX use.
struct Selection {
  std::int32_t IndexValid = 0;       // 1 once SELECT has built RowIndex
  std::int32_t SelFirstRow = 0;      // Source.FirstRow as SELECT fixed it
  std::int32_t SelLastRow = 0;       // Source.LastRow as SELECT fixed it
  ArrayBounds SourceBounds;          // geometry of Source.Data
  ArrayBounds DestBounds;            // geometry of Dest.Data
  HeapArray<std::int32_t> RowIndex;  // n + 2 array row numbers; 0 and n + 1 are sentinels
  std::uint32_t RowIndexLength = 0;  // n + 2
  std::int32_t LeftSentinel = 0;     // RowIndex[0] as built
  std::int32_t RightSentinel = 0;    // RowIndex[n + 1] as built
  KeyTables keys;                    // SortKeys, MoveMap, ExportMap
  VARIANT* SourceBlock = nullptr;    // Source.Data's cells when SELECT built the tables
  VARIANT* DestBlock = nullptr;      // Dest.Data's cells when SELECT validated it
};

// The quicksort's working state.
struct SortState {
  HeapArray<SortFrame> SortStack;     // kSortStackFrames frames while a sort may run
  std::int32_t StackDepth = 0;        // index of the current frame
  std::uint32_t PivotIndex = 0;       // RowIndex position of the current partition's pivot
  std::uint32_t SmallRangeLimit = 0;  // ranges up to this span go to the insertion pass
  std::int32_t InsertRow = 0;         // the row the insertion pass is placing

  void Clear() noexcept;
};

// The row comparison's state, kept while a compare break-out waits for its answer.
struct CompareState {
  std::int32_t StepRowA = 0;            // row being scanned or shifted (copy step: source row)
  std::int32_t StepRowB = 0;            // pivot or inserted row (copy step: destination row)
  std::int32_t CompareReturnState = 0;  // the sort continuation that asked: 1, 2 or 3
  std::int32_t CompareKeyIndex = 0;     // 0-based index of the key being compared

  void Clear() noexcept;
};

// The copy step shared by MOVE and EXPORT: one row, column by column, each column either
// done by the engine or handed to the caller as a copy break-out.
struct CopyStep {
  VARIANT* DestCell = nullptr;      // destination row's cell at column offset 0
  VARIANT* SourceCell = nullptr;    // source row's cell at column offset 0
  std::uint32_t DestStride = 0;     // cells between neighbours of the destination row
  std::uint32_t SourceStride = 0;   // cells between neighbours of the source row
  std::uint32_t CopyColumns = 0;    // columns the loop visits: the source's column count
  std::int32_t BreakStatus = 0;     // 201, 202, 203 or 204: this step's break-out code
  std::uint32_t ColumnCursor = 0;   // 0-based column offset of the loop
  std::int32_t AfterCopyState = 0;  // the continuation once every column is done

  void Clear() noexcept;
};

// MOVE's cycle following.
struct MoveState {
  HeapArray<std::uint8_t> VisitedFlags;  // n + 2 bytes: 1 where a position is final
  std::uint32_t RowCursor = 0;           // outer scan position; the open cycle's start
  std::uint32_t CycleCursor = 0;         // the position being filled in the open cycle

  void Clear() noexcept;
};

// EXPORT's cursors.
struct ExportState {
  std::uint32_t RowCursor = 0;       // position in RowIndex (data phase)
  std::uint32_t DestRowCursor = 0;   // destination row, 1 at the destination's first row
  std::uint32_t HeaderRowsDone = 0;  // header rows handled
  std::uint32_t HeaderRows = 0;      // header rows to export: both tables have them
  std::int32_t DestFirstOffset = 0;  // Dest.FirstRow - the destination's first array row

  void Clear() noexcept;
};

// The built-in benchmark.
struct BenchmarkState {
  std::int32_t BenchmarkMode = 0;  // 1 while a benchmark run is under way
  double BenchClock = 0.0;         // tick count at which the timed phase started
  double BenchChecksum = 0.0;      // sum of the generated date column after the fill
  double BenchStepEnd = 0.0;       // tick count at the end of the last benchmark phase
  std::uint32_t FillRows = 0;      // rows the fill wrote (BenchRows when it ran)
  bool SortPrepared = false;       // a fill phase succeeded and its sort has not finished
};

class Engine {
 public:
  // One call of TKselect. [in/out] code: command or break-out answer, then the status.
  // [in/out] comm: the caller's record, borrowed for this call only.
  std::int32_t Call(std::int32_t* code, TKCOMM* comm) noexcept;

  // Engine variables. Public so that tests can look at what a caller cannot see.
  std::int32_t ResumeState = 0;  // a Continuation value
  std::int32_t CurrentOp = 0;    // 102 MOVE or 103 EXPORT: whose copy step is running
  Selection selection;
  SortState sort;
  CompareState compare;
  CopyStep copy;
  MoveState move;
  ExportState exporting;
  BenchmarkState bench;

 private:
  enum class SortStep : std::uint8_t;    // the quicksort's steps (quicksort.cpp)
  enum class MoveStep : std::uint8_t;    // MOVE's steps (move.cpp)
  enum class ExportStep : std::uint8_t;  // EXPORT's steps (export.cpp)

  std::int32_t Dispatch() noexcept;
  std::int32_t Select() noexcept;
  std::int32_t Benchmark() noexcept;
  std::int32_t Export() noexcept;
  std::int32_t Move() noexcept;
  std::int32_t SortIndex() noexcept;
  std::int32_t About() noexcept;
  std::int32_t Reset() noexcept;
  std::int32_t Run() noexcept;

  // SELECT's set-up: the slots, then the three key tables.
  Status SetUpInputs() noexcept;
  // SELECT's second half: the sort stack, the row index and its sentinels.
  std::int32_t BuildRowIndex() noexcept;
  std::int32_t EnterSort() noexcept;

  // The quicksort after the comparison that `at` (1, 2 or 3) names.
  std::int32_t ResumeSort(Continuation at) noexcept;
  // The quicksort from `step` on, until the call must return (its value is returned).
  std::int32_t RunSort(SortStep step) noexcept;
  // Compares StepRowA with StepRowB for the sort step in ResumeState. True: decided, the
  // result is in the code. False: the call ends with pendingReturn_ (break-out or 710).
  bool CompareRows() noexcept;
  // The key loop from CompareKeyIndex on, with the result so far.
  bool CompareKeys(std::int32_t result) noexcept;
  // The caller answered a compare break-out: take the answer, go on with the next key.
  bool ResumeCompare() noexcept;
  // False when the caller replaced or emptied Source.Data since SELECT built the tables.
  bool SourceUnchanged() const noexcept;
  // The same for Dest.Data.
  bool DestUnchanged() const noexcept;

  // MOVE from `step` on / after the copy step that `at` (5, 6 or 7) names.
  std::int32_t RunMove(MoveStep step) noexcept;
  std::int32_t ResumeMove(Continuation at) noexcept;
  // EXPORT from `step` on / after the copy step that `at` (9 or 10) names.
  std::int32_t RunExport(ExportStep step) noexcept;
  std::int32_t ResumeExport(Continuation at) noexcept;
  // Sets up one copy step of the running MOVE or EXPORT and runs its column loop.
  bool StartCopy(std::int32_t breakStatus, std::int32_t sourceRow, std::int32_t destRow,
                 Continuation after) noexcept;
  // The column loop from ColumnCursor on. True: every column done, ResumeState is
  // AfterCopyState. False: the call ends with pendingReturn_ (break-out or failure).
  bool RunColumnLoop() noexcept;
  // The caller made its copy: the next column.
  bool ResumeCopy() noexcept;
  // Ends MOVE or EXPORT: write the slot back to its Range when it came from one.
  bool WriteBack(RangeSlot& slot) noexcept;

  // BENCHMARK's phases: the fill at the end of SELECT, and the end of the sort phase.
  std::int32_t FillPhase() noexcept;
  std::int32_t BenchmarkSortEnded(Status indexCheck) noexcept;

  // Banner and Version, as SELECT, BENCHMARK, EXPORT, ABOUT and RESET write them.
  void WriteBannerAndVersion() noexcept;

  // The common ending: ResumeState 0, the status into the code, LastError and Status.
  std::int32_t Finish(Status status, std::int32_t returnValue = kReturnEnded) noexcept;

  std::int32_t pendingReturn_ = 0;  // return value of a step that ended the call
  std::int32_t* code_ = nullptr;    // the call's code argument, valid during a call only
  TKCOMM* comm_ = nullptr;          // the call's record, valid during a call only
};

}  // namespace tk
