// Row comparison and the compare break-out.
//
// CompareRows decides the order of two rows for the sort: key by key in command-line order
// until one key tells them apart. A key of mode TK_COMPASCAUTO or TK_COMPDESAUTO is compared
// here with VarCmp on the two cells in place (system locale, case-insensitive); the text
// orders (with case, natural, text as number) alike, except that two texts go to the locale's
// comparison under the key's own flags, and a text that reads as a number is that number; a
// TK_COMPBRKO key is handed to the caller (HandOut: code 3, BrkRowA/BrkRowB/BrkColumn), and
// the caller's next call brings the key's result in its code, which the run loop hands to
// ResumeCompare.
//
// Legal order: the sort calls CompareRows naming the step that asks (1, 2 or 3). Decided:
// Step::Compared carries the result to the sort, whether it was decided at once or after
// break-outs; after a break-out ResumeCompare sets ResumeState to the asking step, so that
// the run loop takes the sort back to it with the result.
//
// Result: -1 row A first, 0 not told apart, 1 row A after. A VarCmp failure f gives f - 1
// (a value that is neither -1 nor 1 and stops whichever scan asked); a null cell ends the
// operation with 710.
//
// VarCmp on an object asks the object for its value, which runs the caller's code; that code
// may replace or resize Source.Data under the sort. After such a comparison the array is
// checked again, and a changed one ends the sort with 718 before another cell is read.
//
// Empty cells: with IgnoreEmpty 0 they sort after every non-empty cell in ascending and
// descending keys alike (the rule replaces the descending step, so it is never reversed);
// with any other value an empty cell ties and the next key decides.
#pragma once

#include <cstdint>

#include "input/selection.h"
#include "protocol/step.h"
#include "sort/cell_order.h"
#include "sort/first_key.h"

namespace tk {

// Where one comparison stands: its rows, the step that asked, the key being compared.
struct CompareCursor {
  std::int32_t StepRowA = 0;               // the row being scanned or shifted
  std::int32_t StepRowB = 0;               // the pivot row or the row being inserted
  Continuation Then = Continuation::Idle;  // the sort step that asked: 1, 2 or 3
  std::int32_t CompareKeyIndex = 0;        // 0-based index of the key being compared
};

// The comparison in progress, kept while a compare break-out waits for its answer, and what
// a sort that runs within the call compares with.
struct CompareState : CompareCursor {
  TextKeys Text;      // the text keys of a sort that runs within the call; freed when it ends
  FirstKeys Carried;  // the first key beside the row index, likewise; freed when it ends
  // A setting, not state (Clear keeps it): false makes every sort compare every pair with
  // CompareRows, as the tests do to hold the carried first key against it.
  bool CarryFirstKey = true;

  void Clear() noexcept;  // frees the text keys and the carried key, then zeroes; safe twice
  // The call ends: what served one sort within it goes (the cells may change before the next).
  void EndCall() noexcept {
    Text.Clear();
    Carried.Clear();
  }
};

// Compares `rowA` with `rowB` on the selection's sort keys for the sort step `asking`, which
// the result goes back to. Compared with the result, handed out at a break-out key, or ended
// with 710 (or 718, see above). `firstKey` 1: the carried first key found that the rows tie on
// the first key for certain, and the comparison starts at the second.
Step CompareRows(Context& ctx, CompareState& compare, const Selection& selection,
                 Continuation asking, std::int32_t rowA, std::int32_t rowB,
                 std::int32_t firstKey = 0) noexcept;

// CompareRows for a part of a sort that runs on a second thread beside the first: the
// comparison stands in the part's own `cursor`, and the text keys are `text`, which both
// threads only read. Only for a sort that runs within the call (TextKeys::Settled), which
// hands nothing out: its comm is only read.
Step CompareRowsWith(Context& ctx, CompareCursor& cursor, const TextKeys& text,
                     const Selection& selection, Continuation asking, std::int32_t rowA,
                     std::int32_t rowB, std::int32_t firstKey) noexcept;

// Asks the processor for what comparing `row` on sort key `key` (0-based) will read (its cell
// and its rank), a few comparisons ahead: the rows of a large table are compared in an order
// scattered over memory, and a cache miss waited for at every comparison made ten million
// rows cost half again as much per row as one million. Reads nothing itself.
void PrefetchRow(const CompareState& compare, const Selection& selection, std::int32_t row,
                 std::int32_t key = 0) noexcept;

// The caller answered a compare break-out: `answer` (its code) is the key's result, used as
// it stands; the comparison goes on with the next key.
Step ResumeCompare(Context& ctx, CompareState& compare, const Selection& selection,
                   std::int32_t answer) noexcept;

}  // namespace tk
