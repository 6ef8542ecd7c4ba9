// The resumable quicksort. See quicksort.h.
#include "sort/quicksort.h"

#include <cassert>

namespace tk {
namespace {

enum class SortStep : std::uint8_t {
  StartFrame,       // set up the partition of the current frame (or its insertion pass)
  Partition,        // loop head: scans while Left < Right
  LeftScan,         // ask how the row at Left compares with the pivot row
  LeftDecide,       // continuation 1
  RightScan,        // ask how the row at Right compares with the pivot row
  RightDecide,      // continuation 2
  Exchange,         // swap the two rows the scans stopped at
  Split,            // push the two parts in the order the pivot's position chooses
  AfterFirstLeft,   // the left part (pushed first) is done: the right part next
  AfterFirstRight,  // the right part (pushed first) is done: the left part next
  Pop,              // the frame is done: continue its parent
  InsertOuter,      // insertion pass: the next row to place
  InsertInner,      // ask how the row left of the gap compares with the row being placed
  InsertDecide,     // continuation 3
  InsertPlace,      // put the row into the gap
  Compare,          // the comparison a scan or the insertion pass asked for
  Complete,         // check the sentinels; go on where the sort's starter said
  OutOfFrame,       // a scan would compare outside its frame: the sort ends with 711
  Overflow,         // a push would need frame kSortStackFrames: the sort ends with 714
};

// The comparison a step asked for: the step that asks (where a caller's answer comes back
// to), the two rows, the step that takes the result, and what the carried first key says of
// the two rows (-1 or 1 decide; FirstKeys::kTie and kUndecided leave it to CompareRows).
struct Question {
  Continuation asking;
  std::int32_t rowA;
  std::int32_t rowB;
  SortStep decide;
  int carried;
};

// The carried first key's order of two rows from their values `a` and `b`, as
// FirstKeys::Order says it, or kUndecided when the sort carries no first key.
int CarriedOrder(const FirstKeys& carried, const std::uint64_t* keys, std::uint64_t a,
                 std::uint64_t b) noexcept {
  return keys != nullptr ? carried.Order(a, b) : FirstKeys::kUndecided;
}

// Asks the processor for what CompareRows will read for the row at `position` a few scans
// ahead. With a carried first key, only for a row whose value equals the pivot's, the one
// kind that the carried key leaves to CompareRows often (many rows of one value); a row it
// decides needs no cell at all.
void PrefetchAhead(const CompareState& compare, const Selection& selection,
                   const std::uint64_t* keys, std::uint64_t pivotKey, std::int32_t row,
                   std::uint32_t position) noexcept {
  if (keys == nullptr) return PrefetchRow(compare, selection, row);
  if (keys[position] != pivotKey) return;
  PrefetchRow(compare, selection, row,
              compare.Carried.Order(pivotKey, pivotKey) == FirstKeys::kTie ? 1 : 0);
}

// How far ahead of a partition's scans the rows they will compare are asked for.
constexpr std::uint32_t kScanAhead = 8;

// The span (High - Low) up to which a range goes to the insertion pass instead of being
// partitioned. 0 gives it single positions only, which it places without a comparison: every
// comparison, and so every break-out a caller answers, the order of rows that tie and the
// depth at which a layout ends with 714, is the partition's, as callers have always seen
// them. The pass is kept whole for a build that sets a wider span: the tests' second build of
// the sort (sort_insertion_test) sets 8 and checks its orders.
#ifndef TK_SMALL_RANGE_SPAN
#define TK_SMALL_RANGE_SPAN 0
#endif
constexpr std::uint32_t kSmallRangeSpan = TK_SMALL_RANGE_SPAN;

// ReturnCode of a child frame: where its parent goes on.
constexpr std::int8_t kLeftPushedFirst = 1;
constexpr std::int8_t kRightPushedSecond = 2;
constexpr std::int8_t kRightPushedFirst = 3;
constexpr std::int8_t kLeftPushedSecond = 4;

// Sets up the current frame: its partition around the middle position (the lower middle of
// two), or, for a range of at most kSmallRangeSpan positions' span, its insertion pass.
// Returns the step that begins it.
SortStep BeginFrame(SortState& sort, SortFrame& f, const std::int32_t* index,
                    const std::uint64_t* keys) noexcept {
  if (f.High - f.Low <= kSmallRangeSpan) {
    f.Right = f.Low + 1;
    return SortStep::InsertOuter;
  }
  f.Left = f.Low;
  f.Right = f.High;
  sort.PivotIndex = ((f.High - f.Low) >> 1) + f.Low;
  f.PivotRow = index[sort.PivotIndex];
  if (keys != nullptr) sort.PivotKey = keys[sort.PivotIndex];
  return SortStep::Partition;
}

// The left scan's next question: the row at Left against the pivot row, unless the scan has
// reached the pivot's position (the right scan's turn) or left its frame. Rows the carried
// first key decides are passed over here, as AfterLeftCompare would with that answer.
SortStep AskLeft(const CompareState& compare, const Selection& selection, const SortState& sort,
                 SortFrame& f, const std::int32_t* index, const std::uint64_t* keys,
                 Question& q) noexcept {
  for (;;) {
    if (f.Left == sort.PivotIndex) return SortStep::RightScan;
    if (f.Left < f.Low || f.Left > f.High) return SortStep::OutOfFrame;
    const int order =
        CarriedOrder(compare.Carried, keys, keys != nullptr ? keys[f.Left] : 0, sort.PivotKey);
    if (order == -1) {
      ++f.Left;
      continue;
    }
    if (order == 1) return SortStep::RightScan;
    if (f.High - f.Left > kScanAhead) {
      PrefetchAhead(compare, selection, keys, sort.PivotKey, index[f.Left + kScanAhead],
                    f.Left + kScanAhead);
    }
    q = Question{Continuation::LeftScan, index[f.Left], f.PivotRow, SortStep::LeftDecide, order};
    return SortStep::Compare;
  }
}

// The right scan's likewise: the row at Right against the pivot row.
SortStep AskRight(const CompareState& compare, const Selection& selection, const SortState& sort,
                  SortFrame& f, const std::int32_t* index, const std::uint64_t* keys,
                  Question& q) noexcept {
  for (;;) {
    if (f.Right == sort.PivotIndex) return SortStep::Exchange;
    if (f.Right < f.Low || f.Right > f.High) return SortStep::OutOfFrame;
    const int order =
        CarriedOrder(compare.Carried, keys, keys != nullptr ? keys[f.Right] : 0, sort.PivotKey);
    if (order == 1) {
      --f.Right;
      continue;
    }
    if (order == -1) return SortStep::Exchange;
    if (f.Right - f.Low > kScanAhead) {
      PrefetchAhead(compare, selection, keys, sort.PivotKey, index[f.Right - kScanAhead],
                    f.Right - kScanAhead);
    }
    q = Question{Continuation::RightScan, index[f.Right], f.PivotRow, SortStep::RightDecide, order};
    return SortStep::Compare;
  }
}

// The insertion pass's: the row left of the gap against the row being placed, unless the gap
// is at the frame's start.
SortStep AskInsert(const CompareState& compare, const SortState& sort, const SortFrame& f,
                   const std::int32_t* index, const std::uint64_t* keys, Question& q) noexcept {
  if (f.Left < f.Low + 1) return SortStep::InsertPlace;
  const int order =
      CarriedOrder(compare.Carried, keys, keys != nullptr ? keys[f.Left - 1] : 0, sort.InsertKey);
  q = Question{Continuation::InsertPass, index[f.Left - 1], sort.InsertRow, SortStep::InsertDecide,
               order};
  return SortStep::Compare;
}

// The left scan after the row at Left was compared with the pivot row as `answer`: a row that
// is less, or equal and not right of the pivot's position, stays, and the scan goes on past
// it; else it is the right scan's turn.
SortStep AfterLeftCompare(SortFrame& f, std::uint32_t pivot, std::int32_t answer) noexcept {
  if (answer == -1 || (answer == 0 && f.Left <= pivot)) {
    ++f.Left;
    return SortStep::LeftScan;
  }
  return SortStep::RightScan;
}

// The right scan likewise: a row greater, or equal and not left of the pivot, stays; else the
// two rows the scans stopped at are exchanged.
SortStep AfterRightCompare(SortFrame& f, std::uint32_t pivot, std::int32_t answer) noexcept {
  if (answer == 1 || (answer == 0 && f.Right >= pivot)) {
    --f.Right;
    return SortStep::RightScan;
  }
  return SortStep::Exchange;
}

// Swaps the two rows the scans stopped at (and their carried keys), unless they have
// crossed, and moves both scans on.
void ExchangeScanned(SortFrame& f, std::int32_t* index, std::uint64_t* keys) noexcept {
  if (f.Left > f.Right) return;
  const std::int32_t row = index[f.Left];
  index[f.Left] = index[f.Right];
  index[f.Right] = row;
  if (keys != nullptr) {
    const std::uint64_t key = keys[f.Left];
    keys[f.Left] = keys[f.Right];
    keys[f.Right] = key;
  }
  ++f.Left;
  --f.Right;
}

// The part [low, high] of the current frame: pushed as its child, which `returnCode` sends
// back to its parent once done, when it holds two positions or more (the next step starts
// it); else nothing is pushed and the next step is `otherwise`. Overflow, with nothing
// pushed, when the child would need frame kSortStackFrames.
SortStep PushPart(SortState& sort, SortFrame* stack, std::uint32_t low, std::uint32_t high,
                  std::int8_t returnCode, SortStep otherwise) noexcept {
  if (low >= high) return otherwise;
  if (static_cast<std::uint32_t>(sort.StackDepth) + 1 >= kSortStackFrames) {
    return SortStep::Overflow;
  }
  SortFrame& child = stack[sort.StackDepth + 1];
  child.Low = low;
  child.High = high;
  ++sort.StackDepth;
  child.ReturnCode = returnCode;
  return SortStep::StartFrame;
}

// The partition is done: parts of at least two positions are pushed, [Low, Right] and
// [Left, High], first the one on the side where the scans met short of the pivot.
SortStep SplitFrame(SortState& sort, SortFrame* stack, const SortFrame& f) noexcept {
  return f.Right < sort.PivotIndex
             ? PushPart(sort, stack, f.Low, f.Right, kLeftPushedFirst, SortStep::AfterFirstLeft)
             : PushPart(sort, stack, f.Left, f.High, kRightPushedFirst, SortStep::AfterFirstRight);
}

// The current frame `f` is done: its parent goes on where f's ReturnCode says, or, for the
// first frame, the sort is complete.
SortStep PopFrame(SortState& sort, const SortFrame& f) noexcept {
  if (sort.StackDepth <= 0) return SortStep::Complete;
  const std::int8_t finished = f.ReturnCode;
  --sort.StackDepth;
  assert(finished >= kLeftPushedFirst && finished <= kLeftPushedSecond);
  return finished == kLeftPushedFirst    ? SortStep::AfterFirstLeft
         : finished == kRightPushedFirst ? SortStep::AfterFirstRight
                                         : SortStep::Pop;
}

// The insertion pass takes up the row at Right, or, past the frame's end, is done.
SortStep NextToInsert(SortState& sort, SortFrame& f, const std::int32_t* index,
                      const std::uint64_t* keys) noexcept {
  if (f.Right > f.High) return SortStep::Pop;
  sort.InsertRow = index[f.Right];
  if (keys != nullptr) sort.InsertKey = keys[f.Right];
  f.Left = f.Right;
  return SortStep::InsertInner;
}

// The insertion pass after the row left of the gap was compared with the row being placed as
// `answer`: a row that comes after it moves into the gap, which moves left; else the gap is
// the place.
SortStep AfterInsertCompare(SortFrame& f, std::int32_t* index, std::uint64_t* keys,
                            std::int32_t answer) noexcept {
  if (answer <= 0) return SortStep::InsertPlace;
  index[f.Left] = index[f.Left - 1];
  if (keys != nullptr) keys[f.Left] = keys[f.Left - 1];
  --f.Left;
  return SortStep::InsertInner;
}

// Puts the row being placed into the gap; the pass goes on with the next row.
SortStep PlaceInserted(const SortState& sort, SortFrame& f, std::int32_t* index,
                       std::uint64_t* keys) noexcept {
  index[f.Left] = sort.InsertRow;
  if (keys != nullptr) keys[f.Left] = sort.InsertKey;
  ++f.Right;
  return SortStep::InsertOuter;
}

// True when the sentinels around positions 1..n are as BuildRowIndex left them: no write of
// the sort went outside its rows.
bool SentinelsHeld(const Selection& selection, const std::int32_t* index) noexcept {
  return index[0] == selection.LeftSentinel &&
         index[selection.RowIndexLength - 1] == selection.RightSentinel;
}

// The sort from `step` on, until it hands the call out, ends it, or completes. `answer`: the
// result of the comparison a Decide step goes on from.
Step RunSort(Context& ctx, SortState& sort, CompareState& compare, Selection& selection,
             SortStep step, std::int32_t answer) noexcept {
  SortFrame* const stack = sort.SortStack.get();
  std::int32_t* const index = selection.RowIndex.get();
  // The carried first key moves with the row index; none when the sort compares every pair
  // with CompareRows.
  std::uint64_t* const keys = compare.Carried.Values();
  if (stack == nullptr || index == nullptr) return Step::Ended(Status::StackFailure);
  Question q{};

  for (;;) {
    assert(sort.StackDepth >= 0 && static_cast<std::uint32_t>(sort.StackDepth) < kSortStackFrames);
    SortFrame& f = stack[sort.StackDepth];
    switch (step) {
      case SortStep::StartFrame: step = BeginFrame(sort, f, index, keys); break;
      case SortStep::Partition:
        step = f.Left >= f.Right ? SortStep::Split : SortStep::LeftScan;
        break;
      case SortStep::LeftScan: step = AskLeft(compare, selection, sort, f, index, keys, q); break;
      case SortStep::LeftDecide: step = AfterLeftCompare(f, sort.PivotIndex, answer); break;
      case SortStep::RightScan: step = AskRight(compare, selection, sort, f, index, keys, q); break;
      case SortStep::RightDecide: step = AfterRightCompare(f, sort.PivotIndex, answer); break;
      case SortStep::Exchange:
        ExchangeScanned(f, index, keys);
        step = SortStep::Partition;
        break;
      case SortStep::Split: step = SplitFrame(sort, stack, f); break;
      case SortStep::AfterFirstLeft:
        step = PushPart(sort, stack, f.Left, f.High, kRightPushedSecond, SortStep::Pop);
        break;
      case SortStep::AfterFirstRight:
        step = PushPart(sort, stack, f.Low, f.Right, kLeftPushedSecond, SortStep::Pop);
        break;
      case SortStep::Pop: step = PopFrame(sort, f); break;
      case SortStep::InsertOuter: step = NextToInsert(sort, f, index, keys); break;
      case SortStep::InsertInner: step = AskInsert(compare, sort, f, index, keys, q); break;
      case SortStep::InsertDecide: step = AfterInsertCompare(f, index, keys, answer); break;
      case SortStep::InsertPlace: step = PlaceInserted(sort, f, index, keys); break;
      case SortStep::Compare: {
        // The carried first key's answer is the one CompareRows would give; else decided at
        // once, the answer goes to the step that takes it; handed out, it comes back through
        // ResumeSort at the step that asked.
        if (q.carried == -1 || q.carried == 1) {
          answer = q.carried;
          step = q.decide;
          break;
        }
        const Step asked = CompareRows(ctx, compare, selection, q.asking, q.rowA, q.rowB,
                                       q.carried == FirstKeys::kTie ? 1 : 0);
        if (!asked.decided()) return asked;
        answer = asked.result();
        step = q.decide;
        break;
      }
      case SortStep::Complete:
        ctx.GoOnAt(sort.Then);
        return Step::Completed(SentinelsHeld(selection, index) ? Status::Success
                                                               : Status::IndexCorrupted);
      case SortStep::OutOfFrame: return Step::Ended(Status::IndexCorrupted);
      case SortStep::Overflow: return Step::Ended(Status::StackOverflow);
    }
  }
}

}  // namespace

void SortState::Clear() noexcept {
  SortStack.Release();
  StackDepth = 0;
  PivotIndex = 0;
  InsertRow = 0;
  PivotKey = 0;
  InsertKey = 0;
  Then = Continuation::Idle;
}

bool PrepareSort(SortState& sort, std::uint32_t n) noexcept {
  sort.Clear();
  if (!sort.SortStack.Allocate(kSortStackFrames)) return false;
  sort.SortStack[0].Low = 1;
  sort.SortStack[0].High = n;
  return true;
}

Step StartSort(Context& ctx, SortState& sort, CompareState& compare, Selection& selection,
               Continuation then) noexcept {
  sort.Then = then;
  sort.StackDepth = 0;
  // Keys for the text cells, and the first key beside the row index, when nothing can change
  // them before the sort ends.
  compare.Text.Build(selection);
  compare.Carried.Clear();
  if (compare.CarryFirstKey) compare.Carried.Build(selection, compare.Text, ctx.comm);
  return RunSort(ctx, sort, compare, selection, SortStep::StartFrame, 0);
}

Step ResumeSort(Context& ctx, SortState& sort, CompareState& compare, Selection& selection,
                Continuation at, std::int32_t answer) noexcept {
  switch (at) {
    case Continuation::LeftScan:
      return RunSort(ctx, sort, compare, selection, SortStep::LeftDecide, answer);
    case Continuation::RightScan:
      return RunSort(ctx, sort, compare, selection, SortStep::RightDecide, answer);
    case Continuation::InsertPass:
      return RunSort(ctx, sort, compare, selection, SortStep::InsertDecide, answer);
    default: return Step::Ended(Status::StackFailure);
  }
}

}  // namespace tk
