// The resumable quicksort. See quicksort.h.
#include "sort/quicksort.h"

#include <cassert>

namespace tk {
namespace {

enum class SortStep : std::uint8_t {
  StartFrame,       // set up the partition of the current frame (or its insertion pass)
  Partition,        // loop head: scans while Left < Right
  LeftScan,         // compare the row at Left with the pivot row
  LeftDecide,       // continuation 1
  RightScan,        // compare the row at Right with the pivot row
  RightDecide,      // continuation 2
  Exchange,         // swap the two rows the scans stopped at
  Split,            // push the two parts in the order the pivot's position chooses
  AfterFirstLeft,   // the left part (pushed first) is done: the right part next
  AfterFirstRight,  // the right part (pushed first) is done: the left part next
  Pop,              // the frame is done: continue its parent
  InsertOuter,      // insertion pass: the next row to place
  InsertInner,      // compare the row left of the gap with the row being placed
  InsertDecide,     // continuation 3
  InsertPlace,      // put the row into the gap
  Complete,         // check the sentinels; go on where the sort's starter said
};

// How far ahead of a partition's scans the rows they will compare are asked for.
constexpr std::uint32_t kScanAhead = 8;

// ReturnCode of a child frame: where its parent goes on.
constexpr std::int8_t kLeftPushedFirst = 1;
constexpr std::int8_t kRightPushedSecond = 2;
constexpr std::int8_t kRightPushedFirst = 3;
constexpr std::int8_t kLeftPushedSecond = 4;

// The sort from `step` on, until it hands the call out, ends it, or completes. `answer`: the
// result of the comparison a Decide step goes on from.
Step RunSort(Context& ctx, SortState& sort, CompareState& compare, Selection& selection,
             SortStep step, std::int32_t answer) noexcept {
  SortFrame* const stack = sort.SortStack.get();
  std::int32_t* const index = selection.RowIndex.get();
  if (stack == nullptr || index == nullptr) return Step::Ended(Status::StackFailure);

  // Pushes [low, high] as the child of the current frame, or ends the call with 714.
  auto push = [&](std::uint32_t low, std::uint32_t high, std::int8_t returnCode) {
    if (static_cast<std::uint32_t>(sort.StackDepth) + 1 >= kSortStackFrames) return false;
    SortFrame& child = stack[sort.StackDepth + 1];
    child.Low = low;
    child.High = high;
    ++sort.StackDepth;
    child.ReturnCode = returnCode;
    return true;
  };

  for (;;) {
    assert(sort.StackDepth >= 0 && static_cast<std::uint32_t>(sort.StackDepth) < kSortStackFrames);
    SortFrame& f = stack[sort.StackDepth];
    switch (step) {
      case SortStep::StartFrame:
        if (f.High - f.Low <= sort.SmallRangeLimit) {
          f.Right = f.Low + 1;
          step = SortStep::InsertOuter;
          break;
        }
        f.Left = f.Low;
        f.Right = f.High;
        sort.PivotIndex = ((f.High - f.Low) >> 1) + f.Low;
        f.PivotRow = index[sort.PivotIndex];
        step = SortStep::Partition;
        break;

      case SortStep::Partition:
        step = f.Left >= f.Right ? SortStep::Split : SortStep::LeftScan;
        break;

      case SortStep::LeftScan:
        if (f.Left == sort.PivotIndex) {
          step = SortStep::RightScan;
          break;
        }
        if (f.Left < f.Low || f.Left > f.High) return Step::Ended(Status::IndexCorrupted);
        if (f.High - f.Left > kScanAhead)
          PrefetchRow(compare, selection, index[f.Left + kScanAhead]);
        ctx.GoOnAt(Continuation::LeftScan);
        if (const Step asked = CompareRows(ctx, compare, selection, index[f.Left], f.PivotRow);
            asked.decided()) {
          answer = asked.result();
        } else {
          return asked;
        }
        [[fallthrough]];
      case SortStep::LeftDecide: {
        if (answer == -1 || (answer == 0 && f.Left <= sort.PivotIndex)) {
          ++f.Left;
          step = SortStep::LeftScan;
        } else {
          step = SortStep::RightScan;
        }
        break;
      }

      case SortStep::RightScan:
        if (f.Right == sort.PivotIndex) {
          step = SortStep::Exchange;
          break;
        }
        if (f.Right < f.Low || f.Right > f.High) return Step::Ended(Status::IndexCorrupted);
        if (f.Right - f.Low > kScanAhead) {
          PrefetchRow(compare, selection, index[f.Right - kScanAhead]);
        }
        ctx.GoOnAt(Continuation::RightScan);
        if (const Step asked = CompareRows(ctx, compare, selection, index[f.Right], f.PivotRow);
            asked.decided()) {
          answer = asked.result();
        } else {
          return asked;
        }
        [[fallthrough]];
      case SortStep::RightDecide: {
        if (answer == 1 || (answer == 0 && f.Right >= sort.PivotIndex)) {
          --f.Right;
          step = SortStep::RightScan;
        } else {
          step = SortStep::Exchange;
        }
        break;
      }

      case SortStep::Exchange:
        if (f.Left <= f.Right) {
          const std::int32_t row = index[f.Left];
          index[f.Left] = index[f.Right];
          index[f.Right] = row;
          ++f.Left;
          --f.Right;
        }
        step = SortStep::Partition;
        break;

      case SortStep::Split:
        // Parts of at least two positions are pushed: [Low, Right] and [Left, High].
        if (f.Right < sort.PivotIndex) {
          if (f.Low < f.Right) {
            if (!push(f.Low, f.Right, kLeftPushedFirst)) return Step::Ended(Status::StackOverflow);
            step = SortStep::StartFrame;
          } else {
            step = SortStep::AfterFirstLeft;
          }
        } else {
          if (f.Left < f.High) {
            if (!push(f.Left, f.High, kRightPushedFirst)) return Step::Ended(Status::StackOverflow);
            step = SortStep::StartFrame;
          } else {
            step = SortStep::AfterFirstRight;
          }
        }
        break;

      case SortStep::AfterFirstLeft:
        if (f.Left < f.High) {
          if (!push(f.Left, f.High, kRightPushedSecond)) return Step::Ended(Status::StackOverflow);
          step = SortStep::StartFrame;
        } else {
          step = SortStep::Pop;
        }
        break;

      case SortStep::AfterFirstRight:
        if (f.Low < f.Right) {
          if (!push(f.Low, f.Right, kLeftPushedSecond)) return Step::Ended(Status::StackOverflow);
          step = SortStep::StartFrame;
        } else {
          step = SortStep::Pop;
        }
        break;

      case SortStep::Pop: {
        if (sort.StackDepth <= 0) {
          step = SortStep::Complete;
          break;
        }
        const std::int8_t finished = f.ReturnCode;
        --sort.StackDepth;
        assert(finished >= kLeftPushedFirst && finished <= kLeftPushedSecond);
        step = finished == kLeftPushedFirst    ? SortStep::AfterFirstLeft
               : finished == kRightPushedFirst ? SortStep::AfterFirstRight
                                               : SortStep::Pop;
        break;
      }

      case SortStep::InsertOuter:
        if (f.Right <= f.High) {
          sort.InsertRow = index[f.Right];
          f.Left = f.Right;
          step = SortStep::InsertInner;
        } else {
          step = SortStep::Pop;
        }
        break;

      case SortStep::InsertInner:
        if (f.Left < f.Low + 1) {
          step = SortStep::InsertPlace;
          break;
        }
        ctx.GoOnAt(Continuation::InsertPass);
        if (const Step asked =
                CompareRows(ctx, compare, selection, index[f.Left - 1], sort.InsertRow);
            asked.decided()) {
          answer = asked.result();
        } else {
          return asked;
        }
        [[fallthrough]];
      case SortStep::InsertDecide:
        if (answer > 0) {
          index[f.Left] = index[f.Left - 1];
          --f.Left;
          step = SortStep::InsertInner;
        } else {
          step = SortStep::InsertPlace;
        }
        break;

      case SortStep::InsertPlace:
        index[f.Left] = sort.InsertRow;
        ++f.Right;
        step = SortStep::InsertOuter;
        break;

      case SortStep::Complete: {
        const bool intact = index[0] == selection.LeftSentinel &&
                            index[selection.RowIndexLength - 1] == selection.RightSentinel;
        ctx.GoOnAt(sort.Then);
        return Step::Completed(intact ? Status::Success : Status::IndexCorrupted);
      }
    }
  }
}

}  // namespace

void SortState::Clear() noexcept {
  SortStack.Release();
  StackDepth = 0;
  PivotIndex = 0;
  SmallRangeLimit = 0;
  InsertRow = 0;
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
  // Keys for the text cells, when nothing can change them before the sort ends.
  compare.Text.Build(selection);
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
