// The resumable quicksort over the selection's row index.
//
// Sorts positions 1..n of RowIndex (array row numbers) so that the rows they name are in
// ascending order under CompareRows; cells never move. Middle pivot (the lower middle of
// two); an equal row counts as less left of the pivot position and as greater right of it,
// so already sorted, reversed and all-equal input split evenly. The recursion runs on
// SortStack: a parent stays on the stack while both children run, so the depth is the
// recursion depth, and a push that would need frame kSortStackFrames ends the sort with 714.
//
// Legal order: PrepareSort (SELECT, once the slots and key tables are set up), then
// StartSort; each comparison may hand the call out (a compare break-out) or end it (710),
// and the caller's answer later comes back through ResumeSort at the step that asked:
// ResumeState 1 left scan, 2 right scan, 3 insertion pass. A completed sort goes on at the
// continuation StartSort was given (SELECT's ending, or the benchmark's) with its status in
// Step::Completed: 2, or 711 when the sentinels moved.
//
// The sort is a state machine over SortState only: a flat loop over its steps, none calling
// the next, so a sort of any length runs in constant machine stack. Inconsistent answers
// from a caller (always -1, random values) cannot drive a scan out of its frame: a scan that
// would compare outside Low..High ends the sort with 711 instead. With a consistent order no
// scan ever gets there, so the guard never changes a result.
//
// A sort that runs within the call (its first key carried: no key hands comparisons out, no
// caller code can run) sorts the second part of its first partition on a second thread while
// this one sorts the first, when both are large: the parts share no position, so each is
// sorted as one thread would sort it. The second part works on copies of its positions and
// takes its place only when the first is done, so a sort that ends early (714, 710) leaves the
// row index, and the call, as one thread would have left them.
#pragma once

#include <cstdint>

#include "input/selection.h"
#include "platform/heap_block.h"
#include "protocol/step.h"
#include "sort/compare.h"

namespace tk {

// One level of the explicit recursion.
struct SortFrame {
  std::int32_t PivotRow;   // the row at PivotIndex when the frame's partition started
  std::uint32_t Right;     // right scan position; outer position of the insertion pass
  std::uint32_t Left;      // left scan position; inner position of the insertion pass
  std::uint32_t High;      // last RowIndex position of the frame's range
  std::uint32_t Low;       // first RowIndex position of the frame's range
  std::int8_t ReturnCode;  // 1-4: where the parent goes on once this frame is done
};

// Frames on the sort stack. The depth equals the recursion depth: near log2(n) when each
// range's middle row is near the middle of its order too (random, sorted, reversed or equal
// rows: 8 for 1,000 rows, about 20 for a million), but growing with n when the middle row is
// again and again near one end of it. Distinct keys do not prevent that: two sorted runs one
// after the other (1,033 rows) need more frames than these, and so do patterned keys with
// few values. A push that would need frame 516 ends the sort with 714 instead of growing
// without bound; a caller that hands the rows over in random order, with the original
// position as the last key, stays near 2 log2(n) on any layout.
constexpr std::uint32_t kSortStackFrames = 516;

// From how many positions in each part of the first partition the second is sorted on a second
// thread: a thread costs a fraction of a millisecond to start, about what sorting a few
// thousand rows takes.
constexpr std::uint32_t kSortBesideFrom = 65536;

// The quicksort's working state.
struct SortState {
  HeapArray<SortFrame> SortStack;          // kSortStackFrames frames while a sort may run
  std::int32_t StackDepth = 0;             // index of the current frame
  std::uint32_t PivotIndex = 0;            // RowIndex position of the current partition's pivot
  std::int32_t InsertRow = 0;              // the row the insertion pass is placing
  std::uint64_t PivotKey = 0;              // the pivot row's carried first key, when carried
  std::uint64_t InsertKey = 0;             // InsertRow's carried first key, likewise
  Continuation Then = Continuation::Idle;  // where the call goes on once the order is complete
  std::uint32_t FrameLimit = kSortStackFrames;  // a push that needs this frame ends with 714
  bool Part = false;  // the part sorted on a second thread: done when its frames are
  // A setting, not state (Clear keeps it): the positions each part of the first partition
  // needs for the second to be sorted beside the first (tests make it small).
  std::uint32_t BesideFrom = kSortBesideFrom;

  void Clear() noexcept;  // frees the stack, then zeroes; safe twice
};

// A fresh stack whose first frame covers positions 1..n. False when memory is short (the
// state is then clear).
[[nodiscard]] bool PrepareSort(SortState& sort, std::uint32_t n) noexcept;

// Sorts from the first frame; once the order is complete the call goes on at `then`.
Step StartSort(Context& ctx, SortState& sort, CompareState& compare, Selection& selection,
               Continuation then) noexcept;

// The sort after the comparison that `at` (LeftScan, RightScan or InsertPass) names, with
// its result `answer`.
Step ResumeSort(Context& ctx, SortState& sort, CompareState& compare, Selection& selection,
                Continuation at, std::int32_t answer) noexcept;

}  // namespace tk
