// Strings in this program's own blocks (see text_blocks.h).
#include "common/text_blocks.h"

#include <climits>
#include <cstring>
#include <new>

namespace tkr {

BSTR TextBlocks::Add(const wchar_t* text, std::size_t length) {
  if (length > (UINT_MAX - 8) / sizeof(wchar_t)) throw std::bad_alloc();  // no BSTR this long
  // The length word, the characters and their zero, rounded up to whole words.
  const std::size_t words = 1 + (length * sizeof(wchar_t) + sizeof(wchar_t) + 3) / 4;
  if (room_ - used_ < words) {
    // A string longer than a block gets one of its own size.
    const std::size_t size = words > kBlockWords ? words : kBlockWords;
    blocks_.emplace_back(new std::uint32_t[size]);
    used_ = 0;
    room_ = size;
  }
  std::uint32_t* at = blocks_.back().get() + used_;
  used_ += words;
  at[0] = static_cast<std::uint32_t>(length * sizeof(wchar_t));
  auto* characters = reinterpret_cast<wchar_t*>(at + 1);
  if (length != 0) std::memcpy(characters, text, length * sizeof(wchar_t));
  characters[length] = L'\0';
  return characters;
}

void EmptyCells(SAFEARRAY* table) {
  if (table == nullptr || table->pvData == nullptr) return;
  std::size_t cells = 1;
  for (USHORT d = 0; d < table->cDims; ++d) cells *= table->rgsabound[d].cElements;
  // VT_EMPTY is zero: a cell of zeros is an empty one, with nothing to free.
  std::memset(table->pvData, 0, cells * sizeof(VARIANT));
}

}  // namespace tkr
