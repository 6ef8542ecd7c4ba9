// Text in the system locale: a caller's UTF-16 text in the ANSI code page (ToAnsiText), the
// sort key of a text (TextSortKey) and the order of two texts (CompareTexts) under the flags
// a sort key chooses, as VarCmp orders strings, and the number a text reads as
// (TextAsNumber). The locale's name is looked up once, on first use.
#pragma once

#include <cstdint>

#include "platform/ole.h"

namespace tk::platform {

// Converts the first `length` characters of `text` (up to its first NUL) to the ANSI code
// page, with a terminator, into a block from Alloc that the caller frees with Free. Characters
// the code page lacks become its default character. nullptr for a null text or when memory is
// short.
char* ToAnsiText(const wchar_t* text, std::size_t length) noexcept;

// The flags of the system locale's string comparison that the sort keys choose from:
// VarCmp's own is kTextIgnoreCase; without it lower case comes before upper case where the
// letters are equal; kTextDigitsAsNumbers compares runs of digits by their value.
constexpr std::uint32_t kTextIgnoreCase = NORM_IGNORECASE;
constexpr std::uint32_t kTextDigitsAsNumbers = 0x8;  // SORT_DIGITSASNUMBERS

// The system locale's sort key of the `length` characters at `text` under `flags`
// (LCMapStringW with LCMAP_SORTKEY): byte strings that order, compared byte by byte with the
// shorter first on a tie, as CompareTexts with the same flags orders the texts. Writes at most
// `capacity` bytes to `key`.
// Returns the key's length in bytes, its final zero included; 0 when it does not fit, with
// `needed` its length (0 too when the text has no key at all).
std::uint32_t TextSortKey(const wchar_t* text, std::uint32_t length, std::uint32_t flags,
                          unsigned char* key, std::uint32_t capacity,
                          std::uint32_t& needed) noexcept;

// The order of two texts as VarCmp orders two strings, under `flags` in place of its
// NORM_IGNORECASE: a null string is an empty one, and one that is empty or starts with a NUL
// comes before any other (two of them by length); any other pair goes to the system locale's
// string comparison (CompareStringEx) with both whole lengths. VARCMP_LT, VARCMP_EQ,
// VARCMP_GT, or the failure the comparison reports.
HRESULT CompareTexts(BSTR a, BSTR b, std::uint32_t flags) noexcept;

// The number the system locale reads in `text` (VarR8FromStr); false when it reads none.
bool TextAsNumber(BSTR text, double& value) noexcept;

}  // namespace tk::platform
