// The resumable quicksort over RowIndex.
//
// Sorts positions 1..n of RowIndex (array row numbers) so that the rows they name are in
// ascending order under CompareRows; cells never move. Middle pivot (the lower middle of
// two); an equal row counts as less left of the pivot position and as greater right of it,
// so already sorted, reversed and all-equal input split evenly. The recursion runs on
// SortStack, 516 frames: a parent stays on the stack while both children run, so the
// depth is the recursion depth, and a push that would need frame 516 ends with 714.
//
// The sort is a state machine over engine variables only. Each comparison may end the
// call (a compare break-out, 710); the caller's answer later re-enters at the step after
// that comparison: ResumeState 1 left scan, 2 right scan, 3 insertion pass. RunSort is a
// flat loop over SortStep; no step calls the next, so a sort of any length runs in
// constant machine stack.
//
// Inconsistent answers from a caller (always -1, random values) cannot drive a scan out
// of its frame: a scan that would compare outside Low..High ends the sort with 711 instead.
// With a consistent order no scan ever gets there, so the guard never changes a result.
#include <cassert>

#include "entry/engine.h"

namespace tk {

enum class Engine::SortStep : std::uint8_t {
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
  Complete,         // check the sentinels and end the call
};

namespace {

// ReturnCode of a child frame: where its parent goes on.
constexpr std::int8_t kLeftPushedFirst = 1;
constexpr std::int8_t kRightPushedSecond = 2;
constexpr std::int8_t kRightPushedFirst = 3;
constexpr std::int8_t kLeftPushedSecond = 4;

}  // namespace

std::int32_t Engine::EnterSort() noexcept {
  return RunSort(SortStep::StartFrame);
}

std::int32_t Engine::ResumeSort(Continuation at) noexcept {
  switch (at) {
    case Continuation::LeftScan: return RunSort(SortStep::LeftDecide);
    case Continuation::RightScan: return RunSort(SortStep::RightDecide);
    case Continuation::InsertPass: return RunSort(SortStep::InsertDecide);
    default: return Finish(Status::StackFailure);
  }
}

std::int32_t Engine::RunSort(SortStep step) noexcept {
  SortFrame* const stack = sort.SortStack.get();
  std::int32_t* const index = selection.RowIndex.get();
  if (stack == nullptr || index == nullptr) return Finish(Status::StackFailure);

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
        if (f.Left < f.Low || f.Left > f.High) return Finish(Status::IndexCorrupted);
        compare.StepRowA = index[f.Left];
        compare.StepRowB = f.PivotRow;
        ResumeState = ToCode(Continuation::LeftScan);
        if (!CompareRows()) return pendingReturn_;
        [[fallthrough]];
      case SortStep::LeftDecide: {
        const std::int32_t r = *code_;
        if (r == -1 || (r == 0 && f.Left <= sort.PivotIndex)) {
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
        if (f.Right < f.Low || f.Right > f.High) return Finish(Status::IndexCorrupted);
        compare.StepRowA = index[f.Right];
        compare.StepRowB = f.PivotRow;
        ResumeState = ToCode(Continuation::RightScan);
        if (!CompareRows()) return pendingReturn_;
        [[fallthrough]];
      case SortStep::RightDecide: {
        const std::int32_t r = *code_;
        if (r == 1 || (r == 0 && f.Right >= sort.PivotIndex)) {
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
            if (!push(f.Low, f.Right, kLeftPushedFirst)) return Finish(Status::StackOverflow);
            step = SortStep::StartFrame;
          } else {
            step = SortStep::AfterFirstLeft;
          }
        } else {
          if (f.Left < f.High) {
            if (!push(f.Left, f.High, kRightPushedFirst)) return Finish(Status::StackOverflow);
            step = SortStep::StartFrame;
          } else {
            step = SortStep::AfterFirstRight;
          }
        }
        break;

      case SortStep::AfterFirstLeft:
        if (f.Left < f.High) {
          if (!push(f.Left, f.High, kRightPushedSecond)) return Finish(Status::StackOverflow);
          step = SortStep::StartFrame;
        } else {
          step = SortStep::Pop;
        }
        break;

      case SortStep::AfterFirstRight:
        if (f.Low < f.Right) {
          if (!push(f.Low, f.Right, kLeftPushedSecond)) return Finish(Status::StackOverflow);
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
        compare.StepRowA = index[f.Left - 1];
        compare.StepRowB = sort.InsertRow;
        ResumeState = ToCode(Continuation::InsertPass);
        if (!CompareRows()) return pendingReturn_;
        [[fallthrough]];
      case SortStep::InsertDecide:
        if (*code_ > 0) {
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
        const Status status = intact ? Status::Success : Status::IndexCorrupted;
        *code_ = ToCode(status);
        if (bench.BenchmarkMode == 1) return BenchmarkSortEnded(status);
        sort.SortStack.Release();
        TKCOMM& c = *comm_;
        c.BrkRowA = 0;
        c.BrkRowB = 0;
        c.BrkColumn = 0;
        c.BrkDestRow = 0;
        c.BrkDestColumn = 0;
        return Finish(status);
      }
    }
  }
}

}  // namespace tk
