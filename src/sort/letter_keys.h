// The system locale's sort keys of plain words, made without asking the locale for each.
//
// Making a text's sort key is most of the cost of ranking a column of texts: a third of a
// microsecond a word, whatever the word. But under most locales the key of a word of the
// basic Latin letters and digits is the two bytes of each character's weight, one after the
// other, and the same closing bytes for every word: the sections for accents, case and
// symbols are empty. LetterKeys learns each character's weight from the locale itself and
// checks that the key of every pair of them is the two weights and those closing bytes; a
// locale where some pair is more than that (two letters that sort as one, as in several
// languages) teaches nothing, and every key is then the locale's own. A text with any other
// character, or in a rule whose keys are not of that shape, is left to the locale too, so the
// keys are the same bytes either way.
#pragma once

#include <cstdint>

namespace tk {

class LetterKeys {
 public:
  // Learns the keys of the locale's string comparison with `flags`, from the keys of each
  // character and of each pair of them (about four thousand keys, a millisecond or two).
  // False when nothing was learned: no character has a key of that shape, or a pair's key is
  // not the two characters' weights, or the locale could not make a key.
  bool Learn(std::uint32_t flags) noexcept;

  // The key of `text` (`length` characters) into `key`, which has room for `capacity` bytes:
  // its length, or 0 when it is not made here (nothing learned, a character not learned, an
  // empty text, or too little room; the locale then makes it).
  std::uint32_t Make(const wchar_t* text, std::uint32_t length, unsigned char* key,
                     std::uint32_t capacity) const noexcept;

 private:
  // Make, whether or not Learn has finished (it checks the pairs with it).
  std::uint32_t Compose(const wchar_t* text, std::uint32_t length, unsigned char* key,
                        std::uint32_t capacity) const noexcept;

  static constexpr unsigned kCharacters = 128;
  static constexpr unsigned kClosing = 5;  // the empty sections' separators and the end

  std::uint16_t weights_[kCharacters] = {};  // each learned character's two bytes, 0 if none
  unsigned char closing_[kClosing] = {};
  bool learned_ = false;
};

}  // namespace tk
