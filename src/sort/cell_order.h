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
//            in a key column, so no caller code runs until it ends), the system locale's
//            sort key of every text cell of the automatic key columns is made once; two
//            keys compare byte by byte as the locale's string comparison with the same
//            flags orders the texts. Texts that VarCmp's string path treats on its own
//            (a null or empty string, a NUL anywhere in it) get no key.
//
// Memory: the keys of one sort, 16 bytes per data row and text key column plus the keys'
// bytes (about twice the characters), at most kTextKeyBudget in all. A column whose keys do
// not fit, or cannot be allocated, keeps what was made and VarCmp compares the rest: the
// fast path never makes a sort fail. The keys are freed when the call ends.
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

// Keys of the text cells a sort compares, and their budget.
constexpr std::size_t kTextKeyBudget = std::size_t{128} << 20;

struct TextKey {
  std::uint64_t Prefix;  // the key's first 8 bytes, big-endian, zero-padded
  std::uint32_t Offset;  // where the key starts in the key bytes
  std::uint32_t Length;  // bytes, the final zero included; 0: this cell has no key
};

class TextKeys {
 public:
  // Makes the keys for the selection's data rows in the columns of its automatic sort keys,
  // when the sort cannot be interrupted: no key of the table hands comparisons out and no
  // key column holds an object or a reference. Otherwise, or when memory is short, fewer
  // keys or none. Replaces what was there.
  void Build(const Selection& selection) noexcept;

  // VarCmp's result for the cells of array rows `rowA` and `rowB` in the column of sort key
  // `key` (0-based), when both have a key.
  bool Compare(std::int32_t key, std::int32_t rowA, std::int32_t rowB, HRESULT& v) const noexcept {
    if (static_cast<std::uint32_t>(key) >= slotOfKey_.size()) return false;
    const std::int32_t slot = slotOfKey_[static_cast<std::size_t>(key)];
    const std::uint32_t a =
        static_cast<std::uint32_t>(rowA) - static_cast<std::uint32_t>(firstRow_);
    const std::uint32_t b =
        static_cast<std::uint32_t>(rowB) - static_cast<std::uint32_t>(firstRow_);
    if (slot < 0 || a >= rows_ || b >= rows_) return false;
    const TextKey* column = entries_.get() + static_cast<std::size_t>(slot) * rows_;
    const TextKey& ka = column[a];
    const TextKey& kb = column[b];
    if (ka.Length == 0 || kb.Length == 0) return false;
    if (ka.Prefix != kb.Prefix) {
      v = ka.Prefix < kb.Prefix ? VARCMP_LT : VARCMP_GT;
      return true;
    }
    v = CompareTails(ka, kb);
    return true;
  }

  // Frees the keys; safe twice.
  void Clear() noexcept;

  // Cells that got a key.
  std::uint32_t KeyedCells() const noexcept { return keyed_; }

 private:
  // Two keys with equal prefixes: the rest byte by byte, then the shorter first.
  HRESULT CompareTails(const TextKey& a, const TextKey& b) const noexcept;
  // Makes the keys of `slot` from the column at `cells`; false when the budget or memory
  // ran out (the cells done keep their keys).
  bool BuildColumn(std::size_t slot, VARIANT* cells) noexcept;
  // Room for `more` key bytes after the used ones, within the budget.
  bool Reserve(std::size_t more) noexcept;

  HeapArray<std::int32_t> slotOfKey_;  // per sort key: its column's slot, or -1
  HeapArray<TextKey> entries_;         // slots x rows_, by data row
  HeapArray<unsigned char> bytes_;     // the keys, one after the other
  std::size_t used_ = 0;               // key bytes written
  std::int32_t firstRow_ = 0;          // array row of the first data row
  std::uint32_t rows_ = 0;             // data rows
  std::uint32_t keyed_ = 0;
};

}  // namespace tk
