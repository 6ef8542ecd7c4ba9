// Plain words' sort keys from learned weights. See letter_keys.h.
#include "sort/letter_keys.h"

#include <cstring>

#include "platform/platform.h"

namespace tk {

bool LetterKeys::Learn(std::uint32_t flags) noexcept {
  *this = LetterKeys();
  // The basic Latin letters, and the digits where they are not read as numbers.
  wchar_t learned[kCharacters];
  unsigned count = 0;
  for (wchar_t c = 0; c < kCharacters; ++c) {
    const bool letter = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
    const bool digit = c >= L'0' && c <= L'9';
    if (!letter && !(digit && (flags & platform::kTextDigitsAsNumbers) == 0)) continue;
    unsigned char key[32];
    std::uint32_t needed = 0;
    if (platform::TextSortKey(&c, 1, flags, key, sizeof key, needed) != 2 + kClosing) continue;
    const auto weight = static_cast<std::uint16_t>((key[0] << 8) | key[1]);
    if (weight == 0) continue;
    if (count == 0) std::memcpy(closing_, key + 2, kClosing);
    if (std::memcmp(closing_, key + 2, kClosing) != 0) continue;
    weights_[static_cast<unsigned>(c)] = weight;
    learned[count++] = c;
  }
  // Every pair, in both orders: a pair that the locale weighs as one letter, or whose second
  // letter's weight depends on the first, shows here.
  for (unsigned i = 0; i < count; ++i) {
    for (unsigned j = 0; j < count; ++j) {
      const wchar_t pair[2] = {learned[i], learned[j]};
      unsigned char key[32], expected[4 + kClosing];
      std::uint32_t needed = 0;
      if (Compose(pair, 2, expected, sizeof expected) == 0 ||
          platform::TextSortKey(pair, 2, flags, key, sizeof key, needed) != sizeof expected ||
          std::memcmp(key, expected, sizeof expected) != 0) {
        *this = LetterKeys();
        return false;
      }
    }
  }
  learned_ = count > 0;
  return learned_;
}

std::uint32_t LetterKeys::Make(const wchar_t* text, std::uint32_t length, unsigned char* key,
                               std::uint32_t capacity) const noexcept {
  return learned_ ? Compose(text, length, key, capacity) : 0;
}

std::uint32_t LetterKeys::Compose(const wchar_t* text, std::uint32_t length, unsigned char* key,
                                  std::uint32_t capacity) const noexcept {
  if (length == 0 || std::uint64_t{length} * 2 + kClosing > capacity) return 0;
  for (std::uint32_t i = 0; i < length; ++i) {
    const wchar_t c = text[i];
    const std::uint16_t weight = c < kCharacters ? weights_[static_cast<unsigned>(c)] : 0;
    if (weight == 0) return 0;
    key[2 * i] = static_cast<unsigned char>(weight >> 8);
    key[2 * i + 1] = static_cast<unsigned char>(weight);
  }
  std::memcpy(key + 2 * length, closing_, kClosing);
  return length * 2 + kClosing;
}

}  // namespace tk
