// The order of two cells without VarCmp, wherever it is certain to be VarCmp's.
//
// VarCmp is nearly all the cost of an automatic comparison, and for text most of that is the
// locale's string comparison. The comparison (compare.cpp) asks here first and calls VarCmp
// only for what is not covered; the result is the same either way, so orders, comparison
// counts and break-outs are those VarCmp alone gives.
//
//   numbers  CompareNumbers: two cells of one of the macro language's numeric types (Byte,
//            Integer, Long, LongLong, Single, Double, Currency, Date, Boolean) compared by
//            value, and the mixes whose common type holds both values exactly. Where a value has
//            more than one reading (NaN, a negative date with a time of day, a boolean other than 0
//            or -1), VarCmp decides.
//   text     TextKeys: for a sort that runs within one call (no break-out key, no object
//            in a key column, so no caller code runs until it ends), every text cell of the
//            key columns gets its rank among the column's texts under the key's order, made
//            once from the system locale's sort keys: two keys compare byte by byte as the
//            locale's string comparison with the same flags orders the texts, so two ranks
//            compare as that comparison does. For text as number, a text the locale reads as
//            a number is read once and keeps that number. Texts that VarCmp's string path
//            treats on its own (a null or empty string, a NUL anywhere in it) get no rank.
//
// Memory: 4 bytes per data row for each key column and order (8 more for text as number),
// kept until the call ends. The ranks are made from the sort keys in shares that fit
// kTextKeyBudget: each share is sorted, and shares are merged from the first 14 bytes of each
// key, kept while the merge runs (16 bytes a text), with the keys made once more only where
// those tie: long texts with long common beginnings (paths, addresses) cost at most about
// twice the keys of texts that differ early, however many rows there are. A column of many
// rows has each half's texts found and their keys made and sorted on a thread of its own,
// within half the budget each (in shares of it when they do not fit one), then merged (the
// merge of its shares' runs on two threads too, split at a key); making the keys is most of a
// text column's cost. A column whose ranks cannot be made (memory) is compared by the
// platform functions: the fast path never makes a sort fail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/selection.h"
#include "platform/heap_block.h"
#include "platform/ole.h"

namespace tk {

// How a sort key orders two texts, from its keyword: the flags of the system locale's string
// comparison, and whether a text that the locale reads as a number takes part as that number.
// Every other pair of cells is ordered by VarCmp's rule whatever the keyword.
struct TextRule {
  std::uint32_t Flags;
  bool ReadsNumbers;
};
TextRule TextRuleOf(std::int32_t mode) noexcept;

// VarCmp's result (VARCMP_LT, VARCMP_EQ or VARCMP_GT) for `a` and `b`, when both are
// numbers whose order follows from their values alone. False: only VarCmp can tell.
bool CompareNumbers(const VARIANT& a, const VARIANT& b, HRESULT& v) noexcept;

// True for a cell whose comparison runs no caller code and never finds a null: empty, a
// number, a string, a decimal, an error value. Against an empty cell such a cell needs no
// VarCmp at all: the empty-cell rule decides whatever VarCmp would say.
bool IsPlainCell(const VARIANT& cell) noexcept;

// The most the sort keys of one share of a column's texts may take, with their entries,
// while the ranks are made: 128 MiB in a 32-bit process, whose few gigabytes of address space
// the caller's workbook shares; 512 MiB in a 64-bit one. Not more: the shares' runs are merged
// from the heads of their keys, which costs less than sorting shares far beyond the processor's
// caches (ten million words: 1 GiB took 4.7 to 5.0 s, 512 MiB 3.9 s); and not less, so that a
// million long texts that begin alike, whose heads tie, still fit one share a half.
constexpr std::size_t kTextKeyBudget =
    sizeof(void*) >= 8 ? std::size_t{512} << 20 : std::size_t{128} << 20;

// From how many data rows on a column's keys are made on two threads at once, each half of its
// rows within half the budget: below it, starting a thread costs more than it saves.
constexpr std::uint32_t kTextKeysInTwoFrom = 32768;

class TextKeys {
 public:
  // Makes the ranks for the selection's data rows in the columns of its sort keys (each
  // column once per order), when the sort cannot be interrupted: no key of the table hands
  // comparisons out and no key column holds an object or a reference. Otherwise none; where
  // memory is short, fewer. Replaces what was there. `budget` bounds each share of keys
  // (tests make it small, so that every column is merged from many shares); `inTwoFrom` is
  // the number of data rows from which a column's keys are made on two threads (tests make it
  // small too); `keepHeads` false has the merge of shares make every key again, as it does
  // when there is no memory for the heads of the keys (tests). The ranks are the same either
  // way.
  void Build(const Selection& selection, std::size_t budget = kTextKeyBudget,
             std::uint32_t inTwoFrom = kTextKeysInTwoFrom, bool keepHeads = true) noexcept;

  // The result VarCmp gives under sort key `key`'s order (0-based) for the cells of array rows
  // `rowA` and `rowB`, when both have a rank, or both were read as numbers, or one each.
  bool Compare(std::int32_t key, std::int32_t rowA, std::int32_t rowB, HRESULT& v) const noexcept {
    std::uint32_t a = 0, b = 0;
    const std::int32_t slot = Locate(key, rowA, rowB, a, b);
    if (slot < 0) return false;
    const std::uint32_t* ranks = ranks_.get() + static_cast<std::size_t>(slot) * rows_;
    const std::uint32_t ra = ranks[a];
    const std::uint32_t rb = ranks[b];
    if (ra == kNoRank || rb == kNoRank) return false;
    if (ra == kReadsNumber || rb == kReadsNumber) {
      // A number comes before any text; two numbers by value.
      if (ra != rb) {
        v = ra == kReadsNumber ? VARCMP_LT : VARCMP_GT;
        return true;
      }
      const double* numbers = NumbersOf(slot);
      v = numbers[a] < numbers[b] ? VARCMP_LT : numbers[a] == numbers[b] ? VARCMP_EQ : VARCMP_GT;
      return true;
    }
    v = ra < rb ? VARCMP_LT : ra == rb ? VARCMP_EQ : VARCMP_GT;
    return true;
  }

  // Asks the processor for the rank of sort key `key` at array row `row`, which a comparison
  // will read soon. Reads nothing itself.
  void Prefetch(std::int32_t key, std::int32_t row) const noexcept {
    std::uint32_t a = 0, b = 0;
    const std::int32_t slot = Locate(key, row, row, a, b);
    if (slot >= 0) __builtin_prefetch(ranks_.get() + static_cast<std::size_t>(slot) * rows_ + a);
  }

  // For a key that reads numbers in text: 1 when the cell of array row `row` was read as a
  // number (`value`), 0 when it was read and is none, -1 when nothing was made for it.
  int ReadNumber(std::int32_t key, std::int32_t row, double& value) const noexcept {
    std::uint32_t a = 0, b = 0;
    const std::int32_t slot = Locate(key, row, row, a, b);
    const double* numbers = slot >= 0 ? NumbersOf(slot) : nullptr;
    if (numbers == nullptr) return -1;
    if (ranks_[static_cast<std::size_t>(slot) * rows_ + a] != kReadsNumber) return 0;
    value = numbers[a];
    return 1;
  }

  // What was made for the cell of array row `row` under sort key `key`: kMadeRank with its
  // `rank` (1 up), kMadeNumber with the `number` the text reads as, or kMadeNothing.
  static constexpr int kMadeNothing = 0;
  static constexpr int kMadeRank = 1;
  static constexpr int kMadeNumber = 2;
  int Made(std::int32_t key, std::int32_t row, std::uint32_t& rank, double& number) const noexcept {
    std::uint32_t a = 0, b = 0;
    const std::int32_t slot = Locate(key, row, row, a, b);
    if (slot < 0) return kMadeNothing;
    const std::uint32_t made = ranks_[static_cast<std::size_t>(slot) * rows_ + a];
    if (made == kNoRank) return kMadeNothing;
    if (made != kReadsNumber) {
      rank = made;
      return kMadeRank;
    }
    const double* numbers = NumbersOf(slot);
    if (numbers == nullptr) return kMadeNothing;
    number = numbers[a];
    return kMadeNumber;
  }

  // True when the last Build found the sort cannot be interrupted (no key hands comparisons
  // out, no key cell may run the caller's code), whether or not any column had texts to rank.
  bool Settled() const noexcept { return settled_; }

  // Frees the ranks; safe twice.
  void Clear() noexcept;

  // Cells that got a rank or a number.
  std::uint32_t KeyedCells() const noexcept { return keyed_; }

 private:
  static constexpr std::uint32_t kNoRank = 0;
  static constexpr std::uint32_t kReadsNumber = 0xFFFFFFFFu;

  // The slot of sort key `key` and the data rows of `rowA` and `rowB`; -1 when there is none.
  std::int32_t Locate(std::int32_t key, std::int32_t rowA, std::int32_t rowB, std::uint32_t& a,
                      std::uint32_t& b) const noexcept {
    if (static_cast<std::uint32_t>(key) >= slotOfKey_.size()) return -1;
    a = static_cast<std::uint32_t>(rowA) - static_cast<std::uint32_t>(firstRow_);
    b = static_cast<std::uint32_t>(rowB) - static_cast<std::uint32_t>(firstRow_);
    if (a >= rows_ || b >= rows_) return -1;
    return slotOfKey_[static_cast<std::size_t>(key)];
  }
  const double* NumbersOf(std::int32_t slot) const noexcept {
    const std::int32_t column = numbersOfSlot_[static_cast<std::size_t>(slot)];
    return column < 0 ? nullptr : numbers_.get() + static_cast<std::size_t>(column) * rows_;
  }
  // Ranks (and numbers) for one slot; false when memory ran out (the slot then has numbers
  // at most, and the platform functions compare its texts).
  bool BuildSlot(std::size_t slot, VARIANT* cells, const TextRule& rule, std::size_t budget,
                 std::uint32_t inTwoFrom, bool keepHeads) noexcept;

  HeapArray<std::int32_t> slotOfKey_;      // per sort key: its slot, or -1
  HeapArray<std::int32_t> numbersOfSlot_;  // per slot: its column of numbers, or -1
  HeapArray<std::uint32_t> ranks_;         // slots x rows_, by data row
  HeapArray<double> numbers_;              // slots that read numbers x rows_
  std::int32_t firstRow_ = 0;              // array row of the first data row
  std::uint32_t rows_ = 0;                 // data rows
  std::uint32_t keyed_ = 0;
  bool settled_ = false;  // see Settled
};

}  // namespace tk
