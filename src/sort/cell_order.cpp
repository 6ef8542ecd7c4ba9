// The order of two cells without VarCmp. See cell_order.h.
#include "sort/cell_order.h"

#include <cmath>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"

namespace tk {
namespace {

template <class T>
HRESULT Order(T a, T b) noexcept {
  return a < b ? VARCMP_LT : (a == b ? VARCMP_EQ : VARCMP_GT);
}

// Whole numbers of the types a macro's Byte, Integer, Long and LongLong give, which any two
// of them compare exactly in 64 bits. The integer types a macro cannot hold (VT_I1, VT_UI2,
// VT_UI4, VT_UI8, VT_INT, VT_UINT) are left to VarCmp everywhere: the one we run on refuses
// some of them even against their own type.
bool AsWhole(const VARIANT& cell, std::int64_t& value) noexcept {
  switch (cell.vt) {
    case VT_UI1: value = cell.bVal; return true;
    case VT_I2: value = cell.iVal; return true;
    case VT_I4: value = cell.lVal; return true;
    case VT_I8: value = cell.llVal; return true;
    default: return false;
  }
}

// A Double, or a whole number of at most 32 bits, which a Double holds exactly: a Long
// against a Double is compared as two Doubles, with nothing rounded.
bool AsExactDouble(const VARIANT& cell, double& value) noexcept {
  switch (cell.vt) {
    case VT_R8: value = cell.dblVal; return !std::isnan(value);
    case VT_UI1: value = cell.bVal; return true;
    case VT_I2: value = cell.iVal; return true;
    case VT_I4: value = cell.lVal; return true;
    default: return false;
  }
}

// A date before 1899-12-30 with a time of day is stored as minus the days plus the time, so
// its number and its moment order differently; the others order the same both ways.
bool HasOneReading(double date) noexcept {
  return !std::isnan(date) && (date >= 0 || date == std::floor(date));
}

bool FitsHalfRange(std::int64_t value) noexcept {
  constexpr std::int64_t kHalf = std::int64_t{1} << 62;
  return value > -kHalf && value < kHalf;
}

bool IsObjectOrReference(const VARIANT& cell) noexcept {
  const VARTYPE type = cell.vt & VT_TYPEMASK;
  return (cell.vt & VT_BYREF) != 0 || type == VT_DISPATCH || type == VT_UNKNOWN ||
         type == VT_RECORD;
}

// A string VarCmp compares with the locale's string comparison and nothing else: not null,
// not empty, no NUL (VarCmp's string path reads those on its own).
bool IsKeyableText(const VARIANT& cell) noexcept {
  if (cell.vt != VT_BSTR || cell.bstrVal == nullptr) return false;
  const UINT length = SysStringLen(cell.bstrVal);
  return length != 0 && std::wmemchr(cell.bstrVal, L'\0', length) == nullptr;
}

std::uint64_t BigEndianPrefix(const unsigned char* key, std::uint32_t length) noexcept {
  std::uint64_t prefix = 0;
  for (std::uint32_t i = 0; i < 8; ++i) prefix = (prefix << 8) | (i < length ? key[i] : 0u);
  return prefix;
}

}  // namespace

TextRule TextRuleOf(std::int32_t mode) noexcept {
  switch (mode) {
    case kCompareAscendingCase:
    case kCompareDescendingCase: return {0, false};
    case kCompareAscendingNatural:
    case kCompareDescendingNatural:
      return {platform::kTextIgnoreCase | platform::kTextDigitsAsNumbers, false};
    case kCompareAscendingNumText:
    case kCompareDescendingNumText: return {platform::kTextIgnoreCase, true};
    default: return {platform::kTextIgnoreCase, false};
  }
}

bool CompareNumbers(const VARIANT& a, const VARIANT& b, HRESULT& v) noexcept {
  if (a.vt == b.vt) {
    switch (a.vt) {
      case VT_UI1: v = Order(a.bVal, b.bVal); return true;
      case VT_I2: v = Order(a.iVal, b.iVal); return true;
      case VT_I4: v = Order(a.lVal, b.lVal); return true;
      case VT_I8: v = Order(a.llVal, b.llVal); return true;
      case VT_CY:
        // VarCmp subtracts currencies, and a difference past the type's range fails with an
        // overflow: only amounts whose difference fits (within 461 trillion) go by value.
        if (!FitsHalfRange(a.cyVal.int64) || !FitsHalfRange(b.cyVal.int64)) return false;
        v = Order(a.cyVal.int64, b.cyVal.int64);
        return true;
      case VT_R4:
        if (std::isnan(a.fltVal) || std::isnan(b.fltVal)) return false;
        v = Order(a.fltVal, b.fltVal);
        return true;
      case VT_R8:
        if (std::isnan(a.dblVal) || std::isnan(b.dblVal)) return false;
        v = Order(a.dblVal, b.dblVal);
        return true;
      case VT_DATE:
        if (!HasOneReading(a.date) || !HasOneReading(b.date)) return false;
        v = Order(a.date, b.date);
        return true;
      case VT_BOOL: {
        // True is -1: as a number it comes before False.
        const bool canonical = (a.boolVal == VARIANT_TRUE || a.boolVal == VARIANT_FALSE) &&
                               (b.boolVal == VARIANT_TRUE || b.boolVal == VARIANT_FALSE);
        if (!canonical) return false;
        v = Order(a.boolVal, b.boolVal);
        return true;
      }
      default: return false;
    }
  }
  std::int64_t wholeA = 0, wholeB = 0;
  if (AsWhole(a, wholeA) && AsWhole(b, wholeB)) {
    v = Order(wholeA, wholeB);
    return true;
  }
  double realA = 0, realB = 0;
  if (AsExactDouble(a, realA) && AsExactDouble(b, realB)) {
    v = Order(realA, realB);
    return true;
  }
  return false;
}

bool IsPlainCell(const VARIANT& cell) noexcept {
  switch (cell.vt) {
    case VT_EMPTY:
    case VT_UI1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BOOL:
    case VT_BSTR:
    case VT_DECIMAL:
    case VT_ERROR: return true;
    default: return false;
  }
}

void TextKeys::Clear() noexcept {
  slotOfKey_.Release();
  entries_.Release();
  bytes_.Release();
  used_ = 0;
  firstRow_ = 0;
  rows_ = 0;
  keyed_ = 0;
}

void TextKeys::Build(const Selection& selection) noexcept {
  Clear();
  const KeyTable& keys = selection.keys.SortKeys;
  const ArrayBounds& bounds = selection.SourceBounds;
  const std::size_t keyCount = keys.size();
  const std::uint32_t rows = bounds.DataRows;
  if (keyCount == 0 || rows < 2 || bounds.Rows < rows) return;
  const std::int32_t firstRow =
      bounds.FirstArrayRow + static_cast<std::int32_t>(bounds.Rows - rows);

  // Which key columns get keys: each column once, and only when some cell of it can have
  // one. A key that hands comparisons out, or a cell that may run the caller's code, lets
  // the cells change between two comparisons: then no keys at all. The slots are looked up
  // by column, so that a line of thousands of keys costs no more than one pass over each.
  for (std::size_t k = 0; k < keyCount; ++k) {
    if (keys[k].Mode == kCompareBreakOut) return;
  }
  constexpr std::int32_t kUnseen = -2;
  HeapArray<std::int32_t> slotOfColumn;
  HeapArray<VARIANT*> slotCells;
  if (!slotOfKey_.Allocate(keyCount) || !slotOfColumn.Allocate(bounds.Columns) ||
      !slotCells.Allocate(keyCount)) {
    return Clear();
  }
  for (std::uint32_t c = 0; c < bounds.Columns; ++c) slotOfColumn[c] = kUnseen;
  std::size_t slots = 0;
  for (std::size_t k = 0; k < keyCount; ++k) {
    const KeyEntry& key = keys[k];
    slotOfKey_[k] = -1;
    if (key.Mode != kCompareAscending && key.Mode != kCompareDescending) continue;
    const auto offset = static_cast<std::uint32_t>(key.Column - bounds.FirstColumn);
    if (offset >= bounds.Columns || key.Cells == nullptr) continue;
    std::int32_t& slot = slotOfColumn[offset];
    if (slot == kUnseen) {
      bool text = false;
      for (std::uint32_t r = 0; r < rows; ++r) {
        const VARIANT& cell = *ColumnCell(key.Cells, firstRow + static_cast<std::int32_t>(r));
        if (IsObjectOrReference(cell)) return Clear();
        text = text || cell.vt == VT_BSTR;
      }
      slot = -1;
      if (text) {
        slotCells[slots] = key.Cells;
        slot = static_cast<std::int32_t>(slots++);
      }
    }
    slotOfKey_[k] = slot;
  }
  if (slots == 0 || slots > kTextKeyBudget / sizeof(TextKey) / rows ||
      !entries_.AllocateZeroed(slots * rows)) {
    return Clear();
  }
  firstRow_ = firstRow;
  rows_ = rows;
  // Room for short texts at once, so that the bytes are seldom copied to grow.
  const std::size_t room = kTextKeyBudget - entries_.size() * sizeof(TextKey);
  const std::size_t guess = slots * rows * 24;
  (void)Reserve(guess < room ? guess : room);
  // A column whose keys ran out of room ends the making: VarCmp compares what has none.
  for (std::size_t slot = 0; slot < slots; ++slot) {
    if (!BuildColumn(slot, slotCells[slot])) break;
  }
}

bool TextKeys::BuildColumn(std::size_t slot, VARIANT* cells) noexcept {
  TextKey* column = entries_.get() + slot * rows_;
  for (std::uint32_t r = 0; r < rows_; ++r) {
    const VARIANT& cell = *ColumnCell(cells, firstRow_ + static_cast<std::int32_t>(r));
    if (!IsKeyableText(cell)) continue;
    const std::uint32_t length = SysStringLen(cell.bstrVal);
    // About two bytes a character for letters; more when a text needs it.
    if (!Reserve(std::size_t{length} * 2 + 16)) return false;
    std::uint32_t needed = 0;
    auto write = [&] {
      const std::size_t room = bytes_.size() - used_;
      return platform::TextSortKey(
          cell.bstrVal, length, platform::kTextIgnoreCase, bytes_.get() + used_,
          room > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(room), needed);
    };
    std::uint32_t size = write();
    if (size == 0 && needed > 0) {
      if (!Reserve(needed)) return false;
      size = write();
    }
    if (size == 0 || used_ + size > 0xFFFFFFFFu) continue;  // no key: VarCmp compares it
    const unsigned char* key = bytes_.get() + used_;
    column[r] = TextKey{BigEndianPrefix(key, size), static_cast<std::uint32_t>(used_), size};
    used_ += size;
    ++keyed_;
  }
  return true;
}

bool TextKeys::Reserve(std::size_t more) noexcept {
  const std::size_t spent = entries_.size() * sizeof(TextKey);
  if (more > kTextKeyBudget - spent || used_ > kTextKeyBudget - spent - more) return false;
  if (used_ + more <= bytes_.size()) return true;
  // Half as much again, at least what is asked, within the budget: a million short texts
  // need a few growths, each copying what is there.
  std::size_t size = bytes_.size() + bytes_.size() / 2;
  if (size < used_ + more) size = used_ + more;
  if (size < 4096) size = 4096;
  if (size > kTextKeyBudget - spent) size = kTextKeyBudget - spent;
  return bytes_.Resize(size);
}

HRESULT TextKeys::CompareTails(const TextKey& a, const TextKey& b) const noexcept {
  const std::uint32_t shorter = a.Length < b.Length ? a.Length : b.Length;
  if (shorter > 8) {
    const int order =
        std::memcmp(bytes_.get() + a.Offset + 8, bytes_.get() + b.Offset + 8, shorter - 8);
    if (order != 0) return order < 0 ? VARCMP_LT : VARCMP_GT;
  }
  return Order(a.Length, b.Length);
}

}  // namespace tk
