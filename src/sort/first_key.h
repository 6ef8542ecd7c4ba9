// The first sort key carried beside the row index.
//
// A partition compares every row of its range with one pivot row. Comparing reads the two
// rows' cells (and their text ranks), which a large table scatters over memory: at ten million
// rows nearly every comparison waits for a cache miss. FirstKeys holds, for each position of
// the row index, a 64-bit value that orders its row on the first sort key, and the sort moves
// it with the row index entry; the scans then read neighbours in one array, and most
// comparisons are decided there without touching a cell. A pair the values cannot order goes
// to CompareRows, which compares every key as it always has.
//
// A value is a class in its top four bits and, below them, an order-preserving prefix of the
// cell's value within that class. Two values of one class with different prefixes are ordered
// exactly as CompareRows orders their cells on the first key: the classes are the cells whose
// order cell_order.h gives without VarCmp (text ranks, and the numbers CompareNumbers orders
// by value, each with the mixes it allows), and the empty cell. Every other cell is of class
// Unknown, which nothing decides. Equal prefixes tie: where the prefix is the whole value (a
// rank, a boolean, a Single, a number of a column whose numbers fit 60 bits whole or whose
// prefix lost nothing, an empty cell), the first key
// is certain to tie and CompareRows starts at the second key; otherwise it starts at the first.
// Below a rank a value may also carry the highest bits of the row's number in the second key
// (CarrySecondKey), which then orders rows of equal texts as CompareRows does on that key;
// equal values still tie on the first key for certain.
// So the comparison outcomes, and the permutation, depth and 714 that follow from them, are
// those of CompareRows alone.
//
// Legal order: Build once the text keys are built (StartSort), then Order for any two values;
// the sort moves Values() with the row index. Clear when the call ends.
//
// Only for a sort that runs within one call (TextKeys::Settled: no key hands comparisons out
// and no key cell is an object or a reference): no caller code runs between Build and the
// sort's end, so the cells, IgnoreEmpty and SortKeyCount the values were made from cannot
// change under them. Memory: 8 bytes per row index position; without it, no values, and
// CompareRows compares every pair.
#pragma once

#include <cstdint>

#include "input/selection.h"
#include "platform/heap_block.h"
#include "sort/cell_order.h"

namespace tk {

class FirstKeys {
 public:
  // What Order says of two values besides -1 (row A first) and 1 (row A after).
  static constexpr int kTie = 0;        // the first key ties for certain: compare from the second
  static constexpr int kUndecided = 2;  // only CompareRows can tell, from the first key on

  // Values for positions 1..n of the selection's row index on its first sort key, when the
  // sort cannot be interrupted (`text` was built and is settled); none otherwise, or when
  // memory is short. `comm`: IgnoreEmpty and SortKeyCount as the sort will read them.
  void Build(const Selection& selection, const TextKeys& text, const TKCOMM& comm) noexcept;

  // The values by row index position (n + 2 of them; the sentinels' are Unknown), or null.
  std::uint64_t* Values() const noexcept { return values_.get(); }

  // How the rows of values `a` and `b` compare on the first key: -1, 1, kTie or kUndecided.
  int Order(std::uint64_t a, std::uint64_t b) const noexcept {
    if ((a ^ b) < kClassUnit) {
      if (a == b) return ((kExactClasses >> (a >> kClassShift)) & 1u) != 0 ? kTie : kUndecided;
      return (a < b) != descending_ ? -1 : 1;
    }
    return Across(a, b);
  }

  void Clear() noexcept;  // frees the values, then zeroes; safe twice

 private:
  static constexpr unsigned kClassShift = 60;
  static constexpr std::uint64_t kClassUnit = std::uint64_t{1} << kClassShift;
  // The classes whose equal values are equal cells: Empty, Rank, Boolean, Single, Number.
  static constexpr std::uint32_t kExactClasses = 0x3Eu;

  // The value of `cell`, given what the text keys made for it (TextKeys::Made); numbers
  // written whole from `lowestExponent` up, or as prefixes when it is 0 (see first_key.cpp).
  static std::uint64_t ValueOf(const VARIANT& cell, int made, std::uint32_t rank, double number,
                               unsigned lowestExponent) noexcept;
  int Across(std::uint64_t a, std::uint64_t b) const noexcept;
  // The second key's number below each rank, where every text's row has one (first_key.cpp).
  void CarrySecondKey(const Selection& selection, const TextKeys& text,
                      const TKCOMM& comm) noexcept;

  HeapArray<std::uint64_t> values_;
  bool descending_ = false;   // the first key's order is descending
  bool ignoreEmpty_ = false;  // IgnoreEmpty was non-zero: an empty cell ties with any
};

}  // namespace tk
