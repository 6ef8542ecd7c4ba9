// Command-line parser. See parser.h for the grammar and the statuses.
//
// ParseCommand takes one of three roads, chosen by the command VARIANT:
//   no command   an empty VARIANT, or one whose value's first 32 bits are zero (a null
//                string): 704, and the count is left as it was, so that a derived move map
//                keeps the caller's count.
//   array        the caller parsed the line itself: its array is borrowed as the entry array
//                once we have made sure it really is a 1-D array of 16-byte VARIANTs.
//   text         converted to the ANSI code page, upper-cased by hand, then scanned entry by
//                entry into an entry array sized once for all entries. ReadEntry reads an
//                entry as: white space, a decimal number (optional sign, digits, wrapping
//                modulo 2^32), any one character as the separator, (for an export line a
//                second number and separator,) white space, then the keyword: the next run
//                of at most 49 characters that are not white space, one trailing comma
//                dropped. A keyword is looked up in the line's own table, whole.
// Anything else is 709. The count is written only once entries have been looked at (an
// array's quotient, or the entries scanned before the first bad one); a line refused before
// that (704, 705, a value of the wrong type or shape) leaves it alone.
//
// The scan works on its own upper-case copy, 10 bytes longer than the text it copies, and
// only reads it; keywords are compared in place, at most 49 characters of them. Both copies are
// freed before ParseCommand returns; the entry array is the only thing that outlives the call.
#include "input/parser.h"

#include <cstddef>
#include <cstring>

#include "platform/heap_block.h"
#include "platform/platform.h"

namespace tk {
namespace {

constexpr KeywordRow kSortRows[] = {
    {"TK_COMPASCAUTO", kCompareAscending},
    {"TK_COMPDESAUTO", kCompareDescending},
    {"TK_COMPBRKO", kCompareBreakOut},
    {"TK_COMPASCCASE", kCompareAscendingCase},
    {"TK_COMPDESCASE", kCompareDescendingCase},
    {"TK_COMPASCNATURAL", kCompareAscendingNatural},
    {"TK_COMPDESNATURAL", kCompareDescendingNatural},
    {"TK_COMPASCNUMTEXT", kCompareAscendingNumText},
    {"TK_COMPDESNUMTEXT", kCompareDescendingNumText},
};
constexpr KeywordRow kMoveRows[] = {
    {"TK_MOVEAUTO", kMoveAuto},
    {"TK_MOVEBRKO", kMoveBreakOut},
};
constexpr KeywordRow kExportRows[] = {
    {"TK_EXPORTAUTO", kExportAuto},
    {"TK_EXPORTBRKO", kExportBreakOut},
};

template <std::size_t N>
constexpr KeywordTable TableOf(const KeywordRow (&rows)[N]) {
  return KeywordTable{rows, static_cast<std::int32_t>(N)};
}

// A keyword is read as at most 49 characters, which bounds what one lookup compares. Every
// keyword is far shorter, so a token cut there never matches a row and the line fails, as a
// long keyword should: the bound changes no line's meaning.
constexpr std::size_t kKeywordLimit = 49;

// The upper-case copy gets 10 bytes beyond the text's length: one for its terminator, the
// rest a margin that costs nothing next to a command line.
constexpr std::size_t kUpperCaseSlack = 10;

// Letters a-z become A-Z and every other byte stays as it is. Done by hand rather than with
// toupper: bytes from 0x80 up belong to the ANSI code page and must not be changed by
// whatever locale the host process happens to run under.
void CopyUpperCase(const char* text, char* upper, std::size_t length) noexcept {
  for (std::size_t i = 0; i < length; ++i) {
    const char c = text[i];
    upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  upper[length] = '\0';
}

// A column travels as a signed 16-bit value: only the low 16 bits of the number are kept.
std::int32_t StoredColumn(std::uint32_t column) noexcept {
  return static_cast<SHORT>(static_cast<std::uint16_t>(column & 0xFFFFu));
}

void PutColumn(VARIANT& element, std::int32_t column) noexcept {
  element.vt = VT_I2;
  element.iVal = static_cast<SHORT>(column);
}

// White space as the C locale has it: blank, tab, line feed, vertical tab, form feed, return.
bool IsBlank(char c) noexcept {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// A decimal number: white space, an optional sign, at least one digit. The value wraps modulo 2^32
// however many digits come (4294967297 is 1, 2147483650 is -2147483646), whatever the runtime this
// is linked with would do; only its low 16 bits matter afterwards. False, with `p` unmoved, when no
// digit comes.
bool ScanNumber(const char*& p, std::uint32_t& value) noexcept {
  const char* q = p;
  while (IsBlank(*q)) ++q;
  const bool negative = *q == '-';
  if (*q == '-' || *q == '+') ++q;
  if (*q < '0' || *q > '9') return false;
  std::uint32_t v = 0;
  for (; *q >= '0' && *q <= '9'; ++q) v = v * 10u + static_cast<std::uint32_t>(*q - '0');
  value = negative ? 0u - v : v;
  p = q;
  return true;
}

// The first white space (or the end) at or after `q`.
const char* WordEnd(const char* q) noexcept {
  while (*q != '\0' && !IsBlank(*q)) ++q;
  return q;
}

// Where a number's digits would start after `q`: past white space and a sign. How far the
// reading of an entry got when no number came.
const char* PastBlanksAndSign(const char* q) noexcept {
  while (IsBlank(*q)) ++q;
  if (*q == '-' || *q == '+') ++q;
  return q;
}

}  // namespace

// Reads one entry: number, exactly one separator character of any kind, (number,
// separator,) then the keyword, the next run of up to 49 non-blank characters, of which one
// trailing comma is dropped. End when only white space is left before the first number; a
// refusal for anything that does not make a whole entry with a keyword of the table. Each
// character is looked at a few times at most, so a line of any length reads in time
// proportional to it.
EntryReading ReadEntry(const KeywordTable& keywords, std::int32_t fields, const char* upper,
                       std::size_t at) noexcept {
  EntryReading r;
  auto offset = [upper](const char* q) { return static_cast<std::size_t>(q - upper); };
  const char* q = upper + at;
  while (IsBlank(*q)) ++q;
  const char* start = q;
  r.entry.begin = r.entry.end = r.next = offset(start);
  if (*q == '\0') return r;  // End
  // A refused entry runs to the first blank after where its reading stopped.
  auto refuse = [&](EntryOutcome why, const char* stopped) {
    r.outcome = why;
    const char* firstWord = WordEnd(start);
    r.entry.end = offset(WordEnd(stopped > firstWord ? stopped : firstWord));
    return r;
  };

  std::uint32_t value = 0;
  if (!ScanNumber(q, value)) return refuse(EntryOutcome::NoColumn, PastBlanksAndSign(q));
  r.number = TextSpan{offset(start), offset(q)};
  r.column = StoredColumn(value);
  if (*q == '\0') return refuse(EntryOutcome::NoKeyword, q);
  ++q;  // the separator
  if (fields == kExportFields) {
    const char* digits = q;
    while (IsBlank(*digits)) ++digits;
    if (!ScanNumber(q, value)) return refuse(EntryOutcome::NoDestColumn, PastBlanksAndSign(q));
    r.destNumber = TextSpan{offset(digits), offset(q)};
    r.destColumn = StoredColumn(value);
    if (*q == '\0') return refuse(EntryOutcome::NoKeywordAfterColumns, q);
    ++q;
  }
  while (IsBlank(*q)) ++q;
  const char* keyword = q;
  while (*q != '\0' && !IsBlank(*q) && static_cast<std::size_t>(q - keyword) < kKeywordLimit) ++q;
  std::size_t length = static_cast<std::size_t>(q - keyword);
  if (length == 0) return refuse(EntryOutcome::NoKeyword, q);
  r.keyword = TextSpan{offset(keyword), offset(WordEnd(keyword))};
  if (keyword[length - 1] == ',') --length;

  const KeywordRow* row = nullptr;
  for (std::int32_t i = 0; i < keywords.count && row == nullptr; ++i) {
    const char* text = keywords.rows[i].text;
    if (std::strlen(text) == length && std::memcmp(text, keyword, length) == 0) {
      row = &keywords.rows[i];
    }
  }
  if (row == nullptr) return refuse(EntryOutcome::UnknownKeyword, WordEnd(keyword));
  r.outcome = EntryOutcome::Entry;
  r.mode = row->value;
  r.entry.end = r.next = offset(q);
  return r;
}

namespace {

// The text road: everything from the narrow conversion to the finished entry array. The
// line is scanned twice: once to count its entries (and find a bad one), once to store them
// into an entry array sized for them in one step.
Status ParseText(const KeywordTable& keywords, BSTR text, std::int32_t fields, EntryArray& entries,
                 std::int32_t& count) noexcept {
  SAFEARRAY* created = platform::CreateVariantVector(static_cast<std::uint32_t>(fields));
  if (created == nullptr) return Status::NoMemory;

  // A failed conversion can only mean that memory ran short; without the text there is
  // nothing to scan, so it ends the parse like the failed copy below.
  // Both texts are freed when the parse leaves by any path. The string's own length, not its
  // terminator: a string of an odd byte length (a macro's byte string) keeps its last byte and
  // a terminator where a character would be read.
  HeapArray<char> narrow;
  if (char* converted = ToNarrowText(text, SysStringLen(text))) {
    narrow.Own(converted, std::strlen(converted) + 1);
  }
  if (!narrow) {
    (void)platform::DestroyArray(created);
    return Status::NoMemory;
  }
  const std::size_t length = narrow.size() - 1;
  HeapArray<char> upper;
  if (!upper.Allocate(length + kUpperCaseSlack)) {
    (void)platform::DestroyArray(created);
    return Status::NoMemory;
  }
  CopyUpperCase(narrow.get(), upper.get(), length);

  std::size_t position = 0;
  EntryReading entry;
  std::uint32_t found = 0;
  while ((entry = ReadEntry(keywords, fields, upper.get(), position)).outcome ==
         EntryOutcome::Entry) {
    position = entry.next;
    ++found;
  }
  count = static_cast<std::int32_t>(found);
  if (entry.outcome != EntryOutcome::End) {
    (void)platform::DestroyArray(created);
    return Status::BadCommandLine;
  }

  // A line of entries fills the array; a blank one leaves it with room for one entry.
  const auto width = static_cast<std::uint32_t>(fields);
  if (found > 0 && !platform::ResizeVector(created, found * width)) {
    count = 0;  // none stored: memory, not the line, is at fault
    (void)platform::DestroyArray(created);
    return Status::NoMemory;
  }
  position = 0;
  auto* element = static_cast<VARIANT*>(created->pvData);
  for (std::uint32_t k = 0; k < found; ++k, element += width) {
    entry = ReadEntry(keywords, fields, upper.get(), position);
    position = entry.next;
    PutColumn(element[0], entry.column);
    if (fields == kExportFields) PutColumn(element[1], entry.destColumn);
    element[width - 1].vt = VT_I4;
    element[width - 1].lVal = entry.mode;
  }
  entries.Own(created);
  return Status::Success;
}

// The array road. The entries are read later straight from the array's data as VARIANTs, so
// anything that is not a one-dimensional block of VARIANTs is refused here, before a single
// element is looked at.
Status BorrowArray(SAFEARRAY* array, std::int32_t fields, EntryArray& entries,
                   std::int32_t& count) noexcept {
  if (array == nullptr) return Status::BadCommandLine;
  if (array->cDims != 1 || !platform::HoldsVariants(*array)) return Status::BadCommandLine;
  const ULONG elements = array->rgsabound[0].cElements;
  // A bare descriptor claims elements that have no storage behind them.
  if (elements != 0 && array->pvData == nullptr) return Status::BadCommandLine;

  const auto width = static_cast<ULONG>(fields);
  count = static_cast<std::int32_t>(elements / width);
  if (elements % width != 0) return Status::BadCommandLine;
  entries.Borrow(array);
  return Status::Success;
}

// An empty VARIANT is no command whatever its value bits hold: clearing a VARIANT
// (VariantClear, assigning Empty in a macro) changes its type and leaves the old string
// pointer behind. A string, an array or a reference is none when its pointer is null: the
// whole pointer, for on 64-bit a real string may lie at an address whose low 32 bits are
// zero. Other kinds count as none when their first 32 bits are zero: the 64-bit macro
// writes only those bits of a Long, so the rest is not looked at.
bool HoldsNoValue(const VARIANT& command) noexcept {
  if (command.vt == VT_EMPTY) return true;
  if (command.vt == VT_BSTR || (command.vt & (VT_ARRAY | VT_BYREF)) != 0) {
    return command.byref == nullptr;
  }
  return command.ulVal == 0;
}

}  // namespace

const KeywordTable kSortKeywords = TableOf(kSortRows);
const KeywordTable kMoveKeywords = TableOf(kMoveRows);
const KeywordTable kExportKeywords = TableOf(kExportRows);

void EntryArray::Borrow(SAFEARRAY* callers) noexcept {
  Reset();
  array_ = callers;
  owned_ = false;
}

void EntryArray::Own(SAFEARRAY* created) noexcept {
  Reset();
  array_ = created;
  owned_ = true;
}

void EntryArray::Reset() noexcept {
  // A destroy that fails (the array was locked meanwhile) leaves nothing we could do better.
  if (owned_ && array_ != nullptr) (void)platform::DestroyArray(array_);
  array_ = nullptr;
  owned_ = false;
}

Status ParseCommand(const KeywordTable& keywords, const VARIANT& command, std::int32_t fields,
                    EntryArray& entries, std::int32_t& count) noexcept {
  entries.Reset();
  // Only the two entry layouts exist; any other width would divide by zero or pick no format.
  if (fields != kPairFields && fields != kExportFields) return Status::BadCommandLine;

  if (HoldsNoValue(command)) return Status::NullPointer;

  // A reference holds a pointer to the array or string, not the thing itself; taking it for
  // one would read the wrong memory.
  if ((command.vt & VT_BYREF) != 0) return Status::BadCommandLine;
  if ((command.vt & VT_ARRAY) != 0) return BorrowArray(command.parray, fields, entries, count);
  if (command.vt != VT_BSTR) return Status::BadCommandLine;
  return ParseText(keywords, command.bstrVal, fields, entries, count);
}

char* ToNarrowText(const wchar_t* text, std::size_t length) noexcept {
  return platform::ToAnsiText(text, length);
}

void UpperCaseText(char* text) noexcept {
  CopyUpperCase(text, text, std::strlen(text));
}

}  // namespace tk
