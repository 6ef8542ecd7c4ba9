// Eight bytes at a time, for the scans that look for a few byte values in a large block of
// text: the encoding check (common/text_encoding.cpp) and the record scanner (common/csv.cpp).
// Each test is exact: no byte is ever taken for another.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tkr {

// A word of eight bytes, and each byte of it repeated over a word.
inline constexpr std::uint64_t kEveryByte = 0x0101010101010101u;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// The eight bytes of `bytes` from `at` (which has eight bytes after it) as one word.
inline std::uint64_t WordAt(const std::string& bytes, std::size_t at) {
  std::uint64_t word = 0;
  std::memcpy(&word, bytes.data() + at, 8);
  return word;
}

// Whether one of the word's bytes is 0 (exact: no byte is taken for another).
inline bool HasZeroByte(std::uint64_t word) {
  return ((word - kEveryByte) & ~word & kHighBits) != 0;
}

// Whether one of the word's bytes is `byte`.
inline bool HasByte(std::uint64_t word, char byte) {
  return HasZeroByte(word ^ (kEveryByte * static_cast<unsigned char>(byte)));
}

// The line (from 1) of byte `offset` of `bytes`, counted by their line feeds.
inline std::size_t LineAt(const std::string& bytes, std::size_t offset) {
  return 1 + static_cast<std::size_t>(std::count(
                 bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

}  // namespace tkr
