// Command-line parser. See parser.h for the grammar and the statuses.
//
// ParseCommand takes one of three roads, chosen by the command VARIANT:
//   no command   an empty VARIANT, or one whose value's first 32 bits are zero (a null
//                string): 704, and the count is left as it was, so that a derived move map
//                keeps the caller's count.
//   array        the caller parsed the line itself: its array is borrowed as the entry array
//                once we have made sure it really is a 1-D array of 16-byte VARIANTs.
//   text         converted to the ANSI code page, upper-cased by hand, then scanned entry by
//                entry with sscanf into an entry array that grows by one entry per keyword.
// Anything else is 709. The count is written only once entries have been looked at (an
// array's quotient, or the entries scanned before the first bad one); a line refused before
// that (704, 705, a value of the wrong type or shape) leaves it alone.
//
// The scan works on its own upper-case copy, 10 bytes longer than the text it copies;
// the keyword is read into a 50-byte buffer through a bounded conversion, so no text, however
// long or odd, can write past either. Both copies are freed before ParseCommand returns; the
// entry array is the only thing that outlives the call.
#include "input/parser.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/platform.h"

namespace tk {
namespace {

constexpr KeywordRow kSortRows[] = {
    {"TK_COMPASCAUTO", kCompareAscending},
    {"TK_COMPDESAUTO", kCompareDescending},
    {"TK_COMPBRKO", kCompareBreakOut},
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

// Keyword buffer: 49 characters and the terminator. Every keyword is far shorter, so a token
// cut at 49 characters can never match a row and the line fails, as a long keyword should.
constexpr std::size_t kKeywordBuffer = 50;
// The width in the formats below must leave room for the terminator of kKeywordBuffer.
constexpr char kPairFormat[] = "%ld%*c%49s%n";
constexpr char kExportFormat[] = "%ld%*c%ld%*c%49s%n";
static_assert(kKeywordBuffer == 49 + 1, "the %49s conversions are sized for this buffer");

// The upper-case copy gets 10 bytes beyond the text's length: one for its terminator, the
// rest a margin that costs nothing next to a command line.
constexpr std::size_t kUpperCaseSlack = 10;

// The scanner's answer when nothing but white space is left: the only successful ending.
constexpr int kLineExhausted = EOF;
static_assert(kLineExhausted == -1, "the scan loop ends successfully on -1");
// ScanEntries' own answer when the entry array could not grow: not a value sscanf returns.
constexpr int kArrayFull = -2;

// A block from platform::Alloc, freed when the parse leaves by any path.
class TextBlock {
 public:
  explicit TextBlock(char* block) noexcept : block_(block) {}
  ~TextBlock() { platform::Free(block_); }
  TextBlock(const TextBlock&) = delete;
  TextBlock& operator=(const TextBlock&) = delete;
  char* get() const noexcept { return block_; }

 private:
  char* block_;
};

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

// The row of `keywords` whose text is exactly `keyword`, first match wins; nullptr if none.
const KeywordRow* FindKeyword(const KeywordTable& keywords, const char* keyword) noexcept {
  for (std::int32_t i = 0; i < keywords.count; ++i) {
    if (std::strcmp(keywords.rows[i].text, keyword) == 0) return &keywords.rows[i];
  }
  return nullptr;
}

// A column travels as a signed 16-bit value: only the low 16 bits of the number are kept.
void PutColumn(VARIANT& element, long column) noexcept {
  const auto low = static_cast<std::uint16_t>(static_cast<unsigned long>(column) & 0xFFFFu);
  element.vt = VT_I2;
  element.iVal = static_cast<SHORT>(low);
}

// Scans `line` entry by entry into `array`, which has room for one entry on entry.
// [out] count: the entries stored. Returns the last scan result: kLineExhausted when the
// whole line was read, kArrayFull when the array could not grow (memory, not the line, is
// at fault), anything else when an entry was bad (0 for an unknown keyword).
int ScanEntries(const KeywordTable& keywords, const char* line, std::int32_t fields,
                SAFEARRAY* array, std::int32_t& count) noexcept {
  char keyword[kKeywordBuffer] = {};
  const char* position = line;
  count = 0;
  for (;;) {
    long column = 0;
    long destColumn = 0;
    int used = 0;
    const int r = fields == kExportFields
                      ? std::sscanf(position, kExportFormat, &column, &destColumn, keyword, &used)
                      : std::sscanf(position, kPairFormat, &column, keyword, &used);
    if (r != fields) return r;

    // %s read at least one character, so the keyword is never empty here.
    const std::size_t length = std::strlen(keyword);
    if (keyword[length - 1] == ',') keyword[length - 1] = '\0';

    const KeywordRow* row = FindKeyword(keywords, keyword);
    if (row == nullptr) return 0;

    const auto width = static_cast<std::uint32_t>(fields);
    const auto stored = static_cast<std::uint32_t>(count);
    if (!platform::ResizeVector(array, (stored + 1) * width)) return kArrayFull;

    VARIANT* entry = static_cast<VARIANT*>(array->pvData) + stored * width;
    PutColumn(entry[0], column);
    if (fields == kExportFields) PutColumn(entry[1], destColumn);
    entry[width - 1].vt = VT_I4;
    entry[width - 1].lVal = row->value;

    ++count;
    position += used;
  }
}

// The text road: everything from the narrow conversion to the finished entry array.
Status ParseText(const KeywordTable& keywords, const wchar_t* text, std::int32_t fields,
                 EntryArray& entries, std::int32_t& count) noexcept {
  SAFEARRAY* created = platform::CreateVariantVector(static_cast<std::uint32_t>(fields));
  if (created == nullptr) return Status::NoMemory;

  // A failed conversion can only mean that memory ran short; without the text there is
  // nothing to scan, so it ends the parse like the failed copy below.
  TextBlock narrow(ToNarrowText(text));
  if (narrow.get() == nullptr) {
    (void)platform::DestroyArray(created);
    return Status::NoMemory;
  }
  const std::size_t length = std::strlen(narrow.get());
  TextBlock upper(static_cast<char*>(platform::Alloc(length + kUpperCaseSlack)));
  if (upper.get() == nullptr) {
    (void)platform::DestroyArray(created);
    return Status::NoMemory;
  }
  CopyUpperCase(narrow.get(), upper.get(), length);

  const int r = ScanEntries(keywords, upper.get(), fields, created, count);
  if (r != kLineExhausted) {
    (void)platform::DestroyArray(created);
    return r == kArrayFull ? Status::NoMemory : Status::BadCommandLine;
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

// The VARIANT's value is a null pointer when its first 32 bits are zero; on this 32-bit
// target that covers a null string and a null array. An empty VARIANT is no command whatever
// its value bits hold: clearing a VARIANT (VariantClear, assigning Empty in a macro) changes
// its type and leaves the old string pointer behind.
bool HoldsNoValue(const VARIANT& command) noexcept {
  return command.vt == VT_EMPTY || command.ulVal == 0;
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

char* ToNarrowText(const wchar_t* text) noexcept {
  return platform::ToAnsiText(text);
}

}  // namespace tk
