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
//
// ReadEntry gives a text line's reading entry by entry, with each entry's place in the text
// and, for the entry it refuses, which part was missing or unknown: a caller that names the
// entry in a message (tkrun) asks the parser rather than reading the grammar a second time.
#pragma once

#include <cstddef>
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

// Letters a-z of `text` (NUL-terminated) become A-Z and every other byte stays as it is: the
// copy of a line ParseCommand reads, keywords compared whole.
void UpperCaseText(char* text) noexcept;

// How the reading of one entry of a text line ended.
enum class EntryOutcome : std::uint8_t {
  Entry,                  // read: columns, mode and spans are set
  End,                    // nothing but white space was left
  NoColumn,               // refused: it does not start with a decimal number
  NoKeyword,              // refused: nothing after its column, or nothing but white space
  NoDestColumn,           // refused (export): no number after the source column's separator
  NoKeywordAfterColumns,  // refused (export): nothing after the destination column
  UnknownKeyword,         // refused: its keyword is none of the line's table
};

// A run of the line's narrow text: bytes [begin, end).
struct TextSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// One entry of a text line as ParseCommand reads it, and where its parts stand.
struct EntryReading {
  EntryOutcome outcome = EntryOutcome::End;
  std::int32_t column = 0;      // as the entry array holds it: the number's low 16 bits, signed
  std::int32_t destColumn = 0;  // the same for an export entry's destination column
  std::int32_t mode = 0;        // the keyword's value
  // The entry: from its first character to the end of its keyword; a refused one to the first
  // white space after the point its reading stopped, and never short of its first word's end.
  TextSpan entry;
  TextSpan number;       // the column's number as written, sign included
  TextSpan destNumber;   // the destination column's, for an export entry
  TextSpan keyword;      // the run read for the keyword, to the next white space
  std::size_t next = 0;  // where the next entry's reading starts
};

// Reads the entry of `upper` that starts at byte `at`, exactly as ParseCommand reads a text
// line: the same grammar, the same keyword table, the same wrapping of column numbers.
// `upper` is the line's narrow text (ToNarrowText) after UpperCaseText. A line's entries are
// read from 0, then from each entry's `next`, until the outcome is no longer Entry; the
// outcome after the last entry is End for a line ParseCommand takes, and says why otherwise.
EntryReading ReadEntry(const KeywordTable& keywords, std::int32_t fields, const char* upper,
                       std::size_t at) noexcept;

}  // namespace tk
