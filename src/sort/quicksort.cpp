// The resumable quicksort. See quicksort.h.
#include "sort/quicksort.h"

#include <cassert>

#include "platform/platform.h"

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
  if (static_cast<std::uint32_t>(sort.StackDepth) + 1 >= sort.FrameLimit) {
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

struct SortBeside;
void StartBeside(SortBeside& beside, Context& ctx, const SortState& sort,
                 const CompareState& compare, const Selection& selection, const SortFrame& f,
                 const std::int32_t* index, const std::uint64_t* keys) noexcept;
Step FinishBeside(SortBeside& beside, std::int32_t* index, std::uint64_t* keys) noexcept;
bool BesideStarted(const SortBeside* beside) noexcept;
bool BesideStartedAt(const SortBeside* beside, std::int32_t depth) noexcept;

// The sort from `step` on, until it hands the call out, ends it, or completes. `answer`: the
// result of the comparison a Decide step goes on from. `index` and `keys` are the row index
// and the carried first key that move with it (none when the sort compares every pair with
// CompareRows); `cursor` is where a comparison stands, `compare` what it compares with.
// `beside`: where a frame's second part may be sorted on a second thread (null: never).
Step RunSort(Context& ctx, SortState& sort, CompareCursor& cursor, const CompareState& compare,
             const Selection& selection, std::int32_t* const index, std::uint64_t* const keys,
             SortStep step, std::int32_t answer, SortBeside* beside) noexcept {
  SortFrame* const stack = sort.SortStack.get();
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
      case SortStep::Split:
        if (beside != nullptr && !BesideStarted(beside)) {
          StartBeside(*beside, ctx, sort, compare, selection, f, index, keys);
        }
        step = SplitFrame(sort, stack, f);
        break;
      case SortStep::AfterFirstLeft:
      case SortStep::AfterFirstRight:
        if (BesideStartedAt(beside, sort.StackDepth)) {
          // The second part was sorted beside this thread: it takes its place now, as
          // far as it went, and ends the sort as it ended.
          const Step part = FinishBeside(*beside, index, keys);
          if (!part.decided()) return part;
          step = SortStep::Pop;
        } else if (step == SortStep::AfterFirstLeft) {
          step = PushPart(sort, stack, f.Left, f.High, kRightPushedSecond, SortStep::Pop);
        } else {
          step = PushPart(sort, stack, f.Low, f.Right, kLeftPushedSecond, SortStep::Pop);
        }
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
        const Step asked = CompareRowsWith(ctx, cursor, compare.Text, selection, q.asking, q.rowA,
                                           q.rowB, q.carried == FirstKeys::kTie ? 1 : 0);
        if (!asked.decided()) return asked;
        answer = asked.result();
        step = q.decide;
        break;
      }
      case SortStep::Complete:
        if (sort.Part) return Step::Completed(Status::Success);  // the thread beside is done
        ctx.GoOnAt(sort.Then);
        return Step::Completed(SentinelsHeld(selection, index) ? Status::Success
                                                               : Status::IndexCorrupted);
      case SortStep::OutOfFrame: return Step::Ended(Status::IndexCorrupted);
      case SortStep::Overflow: return Step::Ended(Status::StackOverflow);
    }
  }
}

// The second part of a frame of a large sort that runs within the call, sorted on a second
// thread while this one sorts the first part. It works on copies of the part's positions of
// the row index and of the carried keys, which reach the row index only once this thread is
// done with the first part: the order, and how a sort that ends early leaves the row index
// (714, 710), are those of one thread sorting the first part, then the second. The part's
// positions are renumbered from 1; a frame's pivot and the side an equal row goes to follow
// from positions within the frame, so they are the same. Its frames stand below the frame it
// came from: its stack holds as many frames fewer.
//
// A part's thread hands parts on likewise, `levels` generations deep, and each thread has
// at most one part beside it at a time: a few threads at most, and since a pivot may split
// its frame far from the middle, the threads that are left with work share both cores.
struct SortBeside {
  Context* ctx = nullptr;  // the call's, whose record the comparisons only read
  const CompareState* compare = nullptr;
  const Selection* selection = nullptr;
  std::int32_t depth = 0;         // the depth of the frame the part came from
  int levels = 0;                 // generations of parts the part's thread may hand on
  std::uint32_t low = 0;          // the part's first position in its owner's row index
  std::uint32_t high = 0;         // and its last
  HeapArray<std::int32_t> index;  // the part's row index entries at 1..m, m = high - low + 1
  HeapArray<std::uint64_t> keys;  // their carried keys, likewise
  SortState sort;                 // the part's own stack
  CompareCursor cursor;           // the part's own comparison
  Continuation resume = Continuation::Idle;
  Step result = Step::Ended(Status::StackFailure);
  platform::WorkBeside thread;  // last: joined before anything it reads goes

  void Release() noexcept {
    index.Release();
    keys.Release();
    sort.Clear();
  }
};

// Generations of parts beside the calling thread's: at most four threads at once.
constexpr int kBesideLevels = 3;

void SortPart(void* argument) noexcept {
  SortBeside& b = *static_cast<SortBeside*>(argument);
  Context ctx{b.ctx->comm, b.resume};
  SortBeside next;
  next.levels = b.levels - 1;
  b.result = RunSort(ctx, b.sort, b.cursor, *b.compare, *b.selection, b.index.get(), b.keys.get(),
                     SortStep::StartFrame, 0, b.levels > 0 ? &next : nullptr);
}

bool BesideStarted(const SortBeside* beside) noexcept {
  return beside != nullptr && beside->thread.Started();
}

// True when the part beside came from the frame at `depth`, the one whose first part is done.
bool BesideStartedAt(const SortBeside* beside, std::int32_t depth) noexcept {
  return BesideStarted(beside) && beside->depth == depth;
}

// Starts the second part of frame `f` (the one SplitFrame pushes second) beside this thread
// when the sort carries its first key (so that it runs within the call), the parts share no
// position, both hold sort.BesideFrom positions or more, both can be pushed (no 714 between),
// and memory and a thread can be had. Else nothing: this thread sorts both parts in turn.
void StartBeside(SortBeside& b, Context& ctx, const SortState& sort, const CompareState& compare,
                 const Selection& selection, const SortFrame& f, const std::int32_t* index,
                 const std::uint64_t* keys) noexcept {
  // Scans that stopped on one position leave it in both parts: the second then sorts the row
  // the first left there, so it cannot start before the first ends.
  if (keys == nullptr || f.Left <= f.Right || f.Right < f.Low || f.Left > f.High) return;
  if (f.Right - f.Low + 1 < sort.BesideFrom || f.High - f.Left + 1 < sort.BesideFrom) return;
  const auto below = static_cast<std::uint32_t>(sort.StackDepth) + 1;  // the parts' depth
  if (below >= sort.FrameLimit) return;
  const bool leftFirst = f.Right < sort.PivotIndex;  // as SplitFrame chooses
  b.low = leftFirst ? f.Left : f.Low;
  b.high = leftFirst ? f.High : f.Right;
  const std::uint32_t m = b.high - b.low + 1;
  if (!b.index.Allocate(std::size_t{m} + 2) || !b.keys.Allocate(std::size_t{m} + 2) ||
      !PrepareSort(b.sort, m)) {
    return b.Release();
  }
  b.index[0] = b.index[m + 1] = 0;
  b.keys[0] = b.keys[m + 1] = 0;
  for (std::uint32_t i = 0; i < m; ++i) {
    b.index[i + 1] = index[b.low + i];
    b.keys[i + 1] = keys[b.low + i];
  }
  b.sort.FrameLimit = sort.FrameLimit - below;
  b.sort.Part = true;
  b.sort.BesideFrom = sort.BesideFrom;
  b.depth = sort.StackDepth;
  b.ctx = &ctx;
  b.compare = &compare;
  b.selection = &selection;
  if (!b.thread.Start(SortPart, &b)) b.Release();
}

// Waits for the part, puts its positions back as far as its sort went, and gives its ending.
Step FinishBeside(SortBeside& b, std::int32_t* index, std::uint64_t* keys) noexcept {
  b.thread.Join();
  const std::uint32_t m = b.high - b.low + 1;
  for (std::uint32_t i = 0; i < m; ++i) {
    index[b.low + i] = b.index[i + 1];
    keys[b.low + i] = b.keys[i + 1];
  }
  const Step ended = b.result;
  b.Release();
  // A part that runs within the call hands nothing out; were it ever to, the call could not
  // take it back.
  return ended.handedOut() ? Step::Ended(Status::StackFailure) : ended;
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
  FrameLimit = kSortStackFrames;
  Part = false;
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
  // With the first key carried the sort runs to its end here: a part beside it ends with it.
  SortBeside beside;
  beside.levels = kBesideLevels - 1;
  return RunSort(ctx, sort, compare, compare, selection, selection.RowIndex.get(),
                 compare.Carried.Values(), SortStep::StartFrame, 0, &beside);
}

Step ResumeSort(Context& ctx, SortState& sort, CompareState& compare, Selection& selection,
                Continuation at, std::int32_t answer) noexcept {
  SortStep step = SortStep::LeftDecide;
  switch (at) {
    case Continuation::LeftScan: step = SortStep::LeftDecide; break;
    case Continuation::RightScan: step = SortStep::RightDecide; break;
    case Continuation::InsertPass: step = SortStep::InsertDecide; break;
    default: return Step::Ended(Status::StackFailure);
  }
  return RunSort(ctx, sort, compare, compare, selection, selection.RowIndex.get(),
                 compare.Carried.Values(), step, answer, nullptr);
}

}  // namespace tk
