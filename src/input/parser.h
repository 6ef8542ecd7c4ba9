// Command-line parser: a sort, move or export command line into a flat entry array.
//
// A command line is either a text such as "2,TK_COMPASCAUTO 1,TK_COMPBRKO" or an array of
// entries that the caller built itself. ParseCommand turns either into one entry array:
// a one-dimensional VARIANT array, lower bound 0, with 2 elements per entry (column as
// VT_I2, keyword value as VT_I4) or 3 for export lines (source column VT_I2, destination
// column VT_I2, keyword value VT_I4). The key tables are built from it.
//
// Grammar of a text line (case-insensitive): entries separated by white space; an entry
// is a decimal number, exactly one separator character of any kind, then the keyword (for
// export: number, separator, number, separator, keyword); one comma directly after the
// keyword is ignored. Keywords come from the line's own table only.
//
// Statuses: 2 parsed (possibly with 0 entries, for a blank line), 704 no command (empty
// VARIANT or null string), 705 out of memory, 709 anything malformed. The entry count is
// written on success and on failure (the entries read before the bad one).
#pragma once

#include <cstdint>

#include "platform/ole.h"
#include "protocol/codes.h"
#include "protocol/status.h"

namespace tk {

struct KeywordRow {
  const char* text;    // upper case, NUL-terminated
  std::int32_t value;  // the entry's mode
};

struct KeywordTable {
  const KeywordRow* rows;
  std::int32_t count;
};

extern const KeywordTable kSortKeywords;    // TK_COMPASCAUTO ... TK_COMPDESNUMTEXT
extern const KeywordTable kMoveKeywords;    // TK_MOVEAUTO, TK_MOVEBRKO
extern const KeywordTable kExportKeywords;  // TK_EXPORTAUTO, TK_EXPORTBRKO

// The parser's output: the caller's own array (borrowed: never resized or freed here) or
// one the parser created (owned: destroyed by Reset and the destructor).
class EntryArray {
 public:
  EntryArray() = default;
  ~EntryArray() { Reset(); }
  EntryArray(const EntryArray&) = delete;
  EntryArray& operator=(const EntryArray&) = delete;

  // Element i of the array, i < element count. Valid while the array lives.
  const VARIANT& Element(std::uint32_t i) const {
    return static_cast<const VARIANT*>(array_->pvData)[i];
  }
  SAFEARRAY* array() const { return array_; }
  bool owned() const { return owned_; }

  void Borrow(SAFEARRAY* callers) noexcept;  // the caller's array becomes the entry array
  void Own(SAFEARRAY* created) noexcept;     // an array the parser created
  void Reset() noexcept;                     // destroys an owned array; forgets a borrowed one

 private:
  SAFEARRAY* array_ = nullptr;
  bool owned_ = false;
};

// Parses `command` (borrowed) with `keywords` and `fields` (2 or 3) fields per entry.
// [out] entries: the entry array on success; empty after a failure.
// [out] count: the number of whole entries, written on success and failure.
Status ParseCommand(const KeywordTable& keywords, const VARIANT& command, std::int32_t fields,
                    EntryArray& entries, std::int32_t& count) noexcept;

// The first `length` characters of the command text in the process's ANSI code page, up to
// its first NUL, in a block the caller releases with platform::Free; nullptr for a null text
// or when memory is short.
char* ToNarrowText(const wchar_t* text, std::size_t length) noexcept;

}  // namespace tk
