// Strings for a table's text cells, kept in a few large blocks of this program's own instead of
// one system allocation each.
//
// A text cell of an engine table holds a BSTR: the length in bytes in the four bytes before the
// characters, a zero after them. The system allocates each one on its heap, which for the short
// fields of a CSV file costs about twice the text: a million names of seven letters on average
// took 49 MB there. Here each string is laid out the same way, one after the other, 4-byte
// aligned, in blocks of a megabyte, so a string costs its bytes plus six and the padding (22 MB
// for those names).
//
// Such a string reads like any other (SysStringLen, the system's comparisons and conversions),
// but it must never be freed or reallocated: no SysFreeString, VariantClear, VariantCopy into
// its cell, or SafeArrayDestroy of a table that still holds it. So a table whose strings are
// here is one nothing rewrites (the runner's SORTINDEX path), and EmptyCells makes it safe to
// destroy. The strings live as long as the TextBlocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/ole.h"

namespace tkr {

class TextBlocks {
 public:
  // A string holding `length` characters of `text`, laid out as a BSTR; std::bad_alloc when no
  // block can be had.
  BSTR Add(const wchar_t* text, std::size_t length);

 private:
  static constexpr std::size_t kBlockWords = (1u << 20) / 4;  // a megabyte: 22 for 1M names
  std::vector<std::unique_ptr<std::uint32_t[]>> blocks_;
  std::size_t used_ = 0, room_ = 0;  // 4-byte words of the last block
};

// Every cell of `table` made empty without freeing what it held: for a table whose strings are
// in a TextBlocks, before it is destroyed.
void EmptyCells(SAFEARRAY* table);

}  // namespace tkr
