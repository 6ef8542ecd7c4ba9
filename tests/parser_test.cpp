// Command lines into entry arrays: texts, caller-built arrays, values of other kinds, and the
// refusals that keep a malformed array or an overlong text from being read out of bounds.
#include "input/parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/table.h"

namespace {

using namespace std::string_literals;
using tk::EntryArray;
using tk::KeywordTable;
using tk::ParseCommand;
using tk::Status;
using tkt::Cell;

// What a parse left behind, in a form that compares in one assertion.
struct Outcome {
  Status status;
  std::int32_t count;
  std::string entries;  // "(1,1) (3,2)"; a wrong element type shows as "vt=N"
};

constexpr std::int32_t kUntouched = 12345;  // a count the parser must not have written

// The entries as "(column,value)" or "(source,dest,value)", checking each element's type.
std::string DumpEntries(const EntryArray& entries, std::int32_t count, std::int32_t fields) {
  std::string out;
  for (std::int32_t k = 0; k < count; ++k) {
    out += k == 0 ? "(" : " (";
    for (std::int32_t f = 0; f < fields; ++f) {
      const VARIANT& v = entries.Element(static_cast<std::uint32_t>(k * fields + f));
      const bool isValue = f == fields - 1;
      if (v.vt != (isValue ? VT_I4 : VT_I2)) {
        out += "vt=" + std::to_string(v.vt);
      } else {
        out += std::to_string(isValue ? v.lVal : v.iVal);
      }
      out += isValue ? ")" : ",";
    }
  }
  return out;
}

// Parses `command` and checks what every parse must leave: nothing of the heap held back, an
// empty output after a failure, and an owned array of exactly the stored entries (room for
// one when there are none) after a successful text parse.
Outcome Parse(const KeywordTable& keywords, const VARIANT& command, std::int32_t fields) {
  const tk::platform::HeapCounters before = tk::platform::Counters();
  EntryArray entries;
  std::int32_t count = kUntouched;
  const Status status = ParseCommand(keywords, command, fields, entries, count);
  const tk::platform::HeapCounters after = tk::platform::Counters();
  EXPECT_EQ(after.allocations - before.allocations, after.frees - before.frees) << "leaked";

  Outcome outcome{status, count, ""};
  if (status != Status::Success) {
    EXPECT_EQ(entries.array(), nullptr);
    return outcome;
  }
  SAFEARRAY* array = entries.array();
  if (array == nullptr) {
    ADD_FAILURE() << "success without an entry array";
    return outcome;
  }
  EXPECT_EQ(entries.owned(), command.vt == VT_BSTR);
  if (entries.owned()) {
    EXPECT_EQ(array->cDims, 1u);
    EXPECT_EQ(array->rgsabound[0].lLbound, 0);
    const std::int32_t room = count == 0 ? fields : count * fields;
    EXPECT_EQ(array->rgsabound[0].cElements, static_cast<ULONG>(room));
  }
  outcome.entries = DumpEntries(entries, count, fields);
  return outcome;
}

// A text parse; the BSTR takes the whole std::wstring, embedded NULs included, and
// `strayByte` after it when given.
Outcome ParseText(const KeywordTable& keywords, const std::wstring& text, std::int32_t fields,
                  const char* strayByte = nullptr) {
  VARIANT command;
  VariantInit(&command);
  command.vt = VT_BSTR;
  if (strayByte != nullptr) {
    std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    bytes += strayByte[0];
    command.bstrVal = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
  } else {
    command.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }
  Outcome outcome = Parse(keywords, command, fields);
  VariantClear(&command);
  return outcome;
}

// The same line read entry by entry with ReadEntry, as the runner reads it to name entries:
// the outcome ParseCommand gives, each entry's own text read alone again being that entry,
// and a refused entry's text starting where the entries before it ended.
Outcome ReadByEntry(const KeywordTable& keywords, const std::wstring& text, std::int32_t fields) {
  char* narrow = tk::ToNarrowText(text.c_str(), text.size());
  if (narrow == nullptr) {
    ADD_FAILURE() << "no narrow text";
    return Outcome{Status::NoMemory, 0, ""};
  }
  std::string upper = narrow;
  tk::platform::Free(narrow);
  tk::UpperCaseText(upper.data());
  Outcome outcome{Status::Success, 0, ""};
  for (std::size_t at = 0;;) {
    const tk::EntryReading read = tk::ReadEntry(keywords, fields, upper.c_str(), at);
    if (read.outcome == tk::EntryOutcome::End) return outcome;
    const std::string own = upper.substr(read.entry.begin, read.entry.end - read.entry.begin);
    EXPECT_GE(read.entry.begin, at);
    EXPECT_TRUE(upper.find_first_not_of(" \t\n\v\f\r", at) == read.entry.begin) << own;
    if (read.outcome != tk::EntryOutcome::Entry) {
      outcome.status = Status::BadCommandLine;
      outcome.entries.clear();
      return outcome;
    }
    const tk::EntryReading alone = tk::ReadEntry(keywords, fields, own.c_str(), 0);
    EXPECT_EQ(alone.outcome, tk::EntryOutcome::Entry) << own;
    EXPECT_EQ(alone.column, read.column) << own;
    EXPECT_EQ(alone.mode, read.mode) << own;
    EXPECT_EQ(tk::ReadEntry(keywords, fields, own.c_str(), alone.next).outcome,
              tk::EntryOutcome::End)
        << own;
    outcome.entries += (outcome.count == 0 ? "(" : " (") + std::to_string(read.column) + "," +
                       (fields == tk::kExportFields ? std::to_string(read.destColumn) + "," : "") +
                       std::to_string(read.mode) + ")";
    ++outcome.count;
    at = read.next;
  }
}

void ExpectOutcome(const Outcome& got, Status status, std::int32_t count,
                   const std::string& entries) {
  EXPECT_EQ(tk::ToCode(got.status), tk::ToCode(status));
  EXPECT_EQ(got.count, count);
  EXPECT_EQ(got.entries, entries);
}

// ---- texts ----------------------------------------------------------------------------------

struct TextCase {
  const char* what;
  const KeywordTable* keywords;
  std::wstring text;
  std::int32_t fields;
  Status status;
  std::int32_t count;
  const char* entries;
  const char* strayByte = nullptr;  // a byte after the text: a string of an odd byte length
};

const KeywordTable* const kSort = &tk::kSortKeywords;
const KeywordTable* const kMove = &tk::kMoveKeywords;
const KeywordTable* const kExport = &tk::kExportKeywords;
constexpr Status kOk = Status::Success;
constexpr Status kBad = Status::BadCommandLine;

const std::wstring kLongTail(200, L'X');

const TextCase kTextCases[] = {
    // The grammar by example.
    {"three separators", kSort, L"1,TK_COMPASCAUTO 3,tk_compdesauto, 2:TK_COMPBRKO", 2, kOk, 3,
     "(1,1) (3,2) (2,3)"},
    {"blank separator", kMove, L"2 TK_MOVEAUTO", 2, kOk, 1, "(2,500)"},
    {"export pairs", kExport, L"1,1,TK_EXPORTAUTO  2, 4,TK_EXPORTBRKO", 3, kOk, 2,
     "(1,1,600) (2,4,601)"},
    {"blank then comma", kSort, L"1 , TK_COMPASCAUTO", 2, kBad, 0, ""},
    {"commas only", kSort, L"1,TK_COMPASCAUTO,2,TK_COMPDESAUTO", 2, kBad, 0, ""},
    {"number without keyword", kSort, L"1,TK_COMPASCAUTO 2", 2, kBad, 1, ""},
    {"move keyword in sort line", kSort, L"1,TK_MOVEAUTO", 2, kBad, 0, ""},
    {"blank line", kSort, L"   ", 2, kOk, 0, ""},
    {"column cut to 16 bits", kSort, L"65537,TK_COMPASCAUTO", 2, kOk, 1, "(1,1)"},
    // Empty and blank texts reach the table builder with no entries.
    {"empty text", kSort, L"", 2, kOk, 0, ""},
    {"tabs and line breaks", kMove, L"\t\r\n \t", 2, kOk, 0, ""},
    {"empty export text", kExport, L"", 3, kOk, 0, ""},
    // Text after the first NUL is not part of the line.
    {"NUL hides a bad tail", kSort, L"1,TK_COMPASCAUTO\0garbage"s, 2, kOk, 1, "(1,1)"},
    {"NUL hides an entry", kSort, L"1,TK_COMPASCAUTO\0 2,TK_COMPBRKO"s, 2, kOk, 1, "(1,1)"},
    {"NUL first", kSort, L"\0 1,TK_COMPASCAUTO"s, 2, kOk, 0, ""},
    {"NUL after a number", kSort, L"1,TK_COMPASCAUTO 2\0,TK_COMPBRKO"s, 2, kBad, 1, ""},
    // White space and separators.
    {"blanks around the line", kSort, L"  1,TK_COMPASCAUTO  ", 2, kOk, 1, "(1,1)"},
    {"blank before keyword", kSort, L"1, TK_COMPDESAUTO", 2, kOk, 1, "(1,2)"},
    {"tab separator, line breaks", kSort, L"1\tTK_COMPBRKO\r\n2;TK_COMPDESAUTO\n", 2, kOk, 2,
     "(1,3) (2,2)"},
    {"any character separates", kMove, L"7xTK_MOVEBRKO 8=TK_MOVEAUTO", 2, kOk, 2,
     "(7,501) (8,500)"},
    {"comma then blank", kSort, L"1,TK_COMPASCAUTO, 2,TK_COMPBRKO,", 2, kOk, 2, "(1,1) (2,3)"},
    {"two commas after keyword", kSort, L"1,TK_COMPASCAUTO,,", 2, kBad, 0, ""},
    {"comma as the keyword", kSort, L"1,,", 2, kBad, 0, ""},
    {"two separators", kSort, L"1,,TK_COMPASCAUTO", 2, kBad, 0, ""},
    {"entries run together", kSort, L"1,TK_COMPASCAUTO2,TK_COMPBRKO", 2, kBad, 0, ""},
    {"nothing after separator", kSort, L"1,", 2, kBad, 0, ""},
    {"number alone", kSort, L"1", 2, kBad, 0, ""},
    // Numbers.
    {"negative column", kSort, L"-3,TK_COMPASCAUTO", 2, kOk, 1, "(-3,1)"},
    {"plus sign", kSort, L"+4,TK_COMPASCAUTO", 2, kOk, 1, "(4,1)"},
    {"32768 wraps negative", kSort, L"32768,TK_COMPASCAUTO", 2, kOk, 1, "(-32768,1)"},
    {"negative cut to 16 bits", kSort, L"-65535,TK_COMPASCAUTO", 2, kOk, 1, "(1,1)"},
    {"export columns cut", kExport, L"65538:131075:TK_EXPORTBRKO", 3, kOk, 1, "(2,3,601)"},
    // Beyond 32 bits a number wraps modulo 2^32 before its low 16 bits are kept.
    {"past 32 bits wraps", kSort, L"4294967297,TK_COMPASCAUTO", 2, kOk, 1, "(1,1)"},
    {"past the largest Long wraps", kSort, L"2147483650:TK_COMPDESAUTO", 2, kOk, 1, "(2,2)"},
    {"below the smallest Long wraps", kSort, L"-2147483650,TK_COMPASCAUTO", 2, kOk, 1, "(-2,1)"},
    {"export columns wrap", kExport, L"4295032834,8589934595,TK_EXPORTAUTO", 3, kOk, 1,
     "(2,3,600)"},
    {"keyword first", kSort, L"TK_COMPASCAUTO", 2, kBad, 0, ""},
    {"hexadecimal", kSort, L"0x10,TK_COMPASCAUTO", 2, kBad, 0, ""},
    {"decimal point", kSort, L"1.5,TK_COMPASCAUTO", 2, kBad, 0, ""},
    {"bad second entry", kSort, L"1,TK_COMPASCAUTO x,TK_COMPBRKO", 2, kBad, 1, ""},
    // Keywords: exact, case-insensitive, from the line's own table.
    {"mixed case", kSort, L"1,Tk_CompAscAuto 2,tk_compbrko", 2, kOk, 2, "(1,1) (2,3)"},
    {"the six text orders", kSort,
     L"1,TK_COMPASCCASE 2,tk_compdescase 3,TK_COMPASCNATURAL 4,TK_COMPDESNATURAL "
     L"5,TK_COMPASCNUMTEXT 6,Tk_CompDesNumText",
     2, kOk, 6, "(1,4) (2,5) (3,6) (4,7) (5,8) (6,9)"},
    {"keyword prefix", kSort, L"1,TK_COMPASC", 2, kBad, 0, ""},
    {"a text order's prefix", kSort, L"1,TK_COMPASCNATURAL 2,TK_COMPASCNUM", 2, kBad, 1, ""},
    {"a text order with a tail", kSort, L"1,TK_COMPDESCASES", 2, kBad, 0, ""},
    {"keyword with a tail", kSort, L"1,TK_COMPASCAUTOX", 2, kBad, 0, ""},
    {"sort keyword in move line", kMove, L"1,TK_COMPBRKO", 2, kBad, 0, ""},
    {"export keyword in sort line", kSort, L"1,TK_EXPORTAUTO", 2, kBad, 0, ""},
    {"sort keyword in export line", kExport, L"1,2,TK_COMPASCAUTO", 3, kBad, 0, ""},
    {"export line with one column", kExport, L"1,TK_EXPORTAUTO", 3, kBad, 0, ""},
    {"good then foreign keyword", kMove, L"1,TK_MOVEAUTO 2,TK_EXPORTBRKO", 2, kBad, 1, ""},
    {"export third entry short", kExport, L"1,2,TK_EXPORTAUTO 3,4,TK_EXPORTBRKO 5,6", 3, kBad, 2,
     ""},
    // Keywords of 49 characters or more are cut at 49 and never match.
    {"49-character keyword", kSort, L"1," + std::wstring(49, L'K'), 2, kBad, 0, ""},
    {"50-character keyword", kSort, L"1," + std::wstring(50, L'K'), 2, kBad, 0, ""},
    {"keyword with long tail", kSort, L"1,TK_COMPASCAUTO" + kLongTail, 2, kBad, 0, ""},
    {"long keyword then entry", kSort, L"1," + kLongTail + L" 2,TK_COMPBRKO", 2, kBad, 0, ""},
    {"huge token", kSort, L"2,TK_COMPBRKO 1," + std::wstring(100000, L'k'), 2, kBad, 1, ""},
    {"long blank run", kSort, std::wstring(50000, L' ') + L"5,TK_COMPDESAUTO", 2, kOk, 1, "(5,2)"},
    // Characters the ANSI code page lacks become its default character, never a keyword.
    {"CJK in keyword", kSort, L"1,TK_COMPASCAUTO\u4E2D", 2, kBad, 0, ""},
    {"CJK instead of keyword", kSort, L"1,\u4E2D\u6587", 2, kBad, 0, ""},
    {"high byte after line", kSort, L"1,TK_COMPASCAUTO \u00FF", 2, kBad, 1, ""},
    // A string of an odd byte length (a macro's byte string): its last byte is no character,
    // though it reads as one before the terminator.
    {"a stray byte after the text", kSort, L"1,TK_COMPDESAUTO", 2, kOk, 1, "(1,2)", "X"},
    {"a stray byte after a blank", kMove, L"2 TK_MOVEAUTO ", 2, kOk, 1, "(2,500)", "9"},
};

TEST(ParseText, EveryTextGivesItsEntries) {
  for (const TextCase& c : kTextCases) {
    SCOPED_TRACE(c.what);
    ExpectOutcome(ParseText(*c.keywords, c.text, c.fields, c.strayByte), c.status, c.count,
                  c.entries);
    ExpectOutcome(ReadByEntry(*c.keywords, c.text, c.fields), c.status, c.count, c.entries);
  }
}

TEST(ParseText, ManyEntriesKeepTheirOrder) {
  constexpr std::int32_t kEntries = 600;
  std::wstring sortLine;
  std::wstring exportLine;
  std::string sortWant;
  std::string exportWant;
  for (std::int32_t i = 1; i <= kEntries; ++i) {
    const bool odd = i % 2 != 0;
    sortLine += std::to_wstring(i) + (odd ? L",TK_COMPDESAUTO, " : L":tk_compbrko\t");
    exportLine += std::to_wstring(i) + L"," + std::to_wstring(i + 1000) +
                  (odd ? L",TK_EXPORTAUTO " : L";TK_EXPORTBRKO\n");
    sortWant += (i == 1 ? "(" : " (") + std::to_string(i) + (odd ? ",2)" : ",3)");
    exportWant += (i == 1 ? "(" : " (") + std::to_string(i) + "," + std::to_string(i + 1000) +
                  (odd ? ",600)" : ",601)");
  }
  {
    SCOPED_TRACE("sort");
    ExpectOutcome(ParseText(tk::kSortKeywords, sortLine, 2), kOk, kEntries, sortWant);
  }
  {
    SCOPED_TRACE("export");
    ExpectOutcome(ParseText(tk::kExportKeywords, exportLine, 3), kOk, kEntries, exportWant);
  }
}

// ---- values that are not texts -----------------------------------------------------------

struct ValueCase {
  const char* what;
  VARTYPE vt;
  LONG bits;  // the value's first 32 bits
  Status status;
};

const ValueCase kValueCases[] = {
    {"empty", VT_EMPTY, 0, Status::NullPointer},
    {"empty with stale bits", VT_EMPTY, 0x00123456, Status::NullPointer},  // a cleared string
    {"null string", VT_BSTR, 0, Status::NullPointer},
    {"null array", VT_ARRAY | VT_VARIANT, 0, Status::NullPointer},
    {"VT_NULL", VT_NULL, 0, Status::NullPointer},
    {"integer zero", VT_I4, 0, Status::NullPointer},
    {"integer", VT_I4, 7, kBad},
    {"boolean true", VT_BOOL, VARIANT_TRUE, kBad},
    {"error value", VT_ERROR, static_cast<LONG>(0x800A07FAu), kBad},
};

TEST(ParseValue, NoValueIsNoCommandAndOtherKindsAreRefused) {
  for (const ValueCase& c : kValueCases) {
    SCOPED_TRACE(c.what);
    VARIANT command{};  // on 64-bit a pointer is more than the 32 bits set here
    command.vt = c.vt;
    command.lVal = c.bits;
    // 704 must leave the count alone: a derived move map keeps the caller's count.
    ExpectOutcome(Parse(tk::kMoveKeywords, command, 2), c.status, kUntouched, "");
  }
}

#ifdef _WIN64
// Only the whole pointer says whether a string is there: one whose characters start at a
// multiple of 4 GB has 32 zero bits at the bottom of its address.
TEST(ParseValue, AStringAtAFourGigabyteBoundaryIsText) {
  constexpr std::uintptr_t k4G = std::uintptr_t{1} << 32;
  constexpr std::size_t kSpan = 0x20000;  // a 64 KB allocation unit on each side
  const wchar_t text[] = L"2,TK_COMPASCAUTO";
  for (std::uintptr_t boundary = k4G; boundary <= 64 * k4G; boundary += k4G) {
    void* block = VirtualAlloc(reinterpret_cast<void*>(boundary - kSpan / 2), kSpan,
                               MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (block == nullptr) continue;
    // A BSTR: its length in bytes, then the characters, then a NUL.
    const std::uint32_t bytes = sizeof text - sizeof(wchar_t);
    std::memcpy(reinterpret_cast<void*>(boundary - sizeof bytes), &bytes, sizeof bytes);
    std::memcpy(reinterpret_cast<void*>(boundary), text, sizeof text);
    VARIANT command{};
    command.vt = VT_BSTR;
    command.bstrVal = reinterpret_cast<BSTR>(boundary);
    ExpectOutcome(Parse(tk::kSortKeywords, command, 2), kOk, 1, "(2,1)");
    VirtualFree(block, 0, MEM_RELEASE);
    return;
  }
  GTEST_SKIP() << "no multiple of 4 GB up to 256 GB had free address space";
}
#endif

TEST(ParseValue, AnEarlierResultIsDroppedBeforeTheNextParse) {
  EntryArray entries;
  std::int32_t count = 0;
  VARIANT command;
  VariantInit(&command);
  tkt::PutText(command, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(ParseCommand(tk::kSortKeywords, command, 2, entries, count), kOk);
  ASSERT_NE(entries.array(), nullptr);

  VariantClear(&command);
  EXPECT_EQ(ParseCommand(tk::kSortKeywords, command, 2, entries, count), Status::NullPointer);
  EXPECT_EQ(entries.array(), nullptr);

  tkt::PutText(command, L"1,TK_COMPASCAUTO");
  ASSERT_EQ(ParseCommand(tk::kSortKeywords, command, 2, entries, count), kOk);
  tkt::PutText(command, L"1,TK_BOGUS");
  EXPECT_EQ(ParseCommand(tk::kSortKeywords, command, 2, entries, count), kBad);
  EXPECT_EQ(entries.array(), nullptr);
  VariantClear(&command);
}

// ---- caller-built arrays -----------------------------------------------------------------

struct ArrayCase {
  const char* what;
  std::vector<Cell> cells;
  std::int32_t firstRow;
  std::int32_t fields;
  Status status;
  std::int32_t count;
};

const ArrayCase kArrayCases[] = {
    {"two sort entries", {Cell::Short(3), 1, Cell::Short(1), 2}, 1, 2, kOk, 2},
    {"lower bound 0", {Cell::Short(3), 1}, 0, 2, kOk, 1},
    {"export entries", {Cell::Short(1), Cell::Short(2), 600, Cell::Short(3), 4, 601}, 1, 3, kOk, 2},
    {"no elements", {}, 0, 2, kOk, 0},
    {"five elements, two fields", {1, 1, 2, 2, 3}, 1, 2, kBad, 2},
    {"seven elements, three fields", {1, 1, 600, 2, 2, 601, 3}, 1, 3, kBad, 2},
    {"one element", {1}, 1, 2, kBad, 0},
    {"types are not checked", {"text", 2.5, true, Cell::Null()}, 1, 2, kOk, 2},
};

TEST(ParseArray, TheCallersArrayIsBorrowedWhenItsCountIsWhole) {
  for (const ArrayCase& c : kArrayCases) {
    SCOPED_TRACE(c.what);
    SAFEARRAY* array = tkt::MakeColumn(c.cells, c.firstRow);
    ASSERT_NE(array, nullptr);
    VARIANT command;
    VariantInit(&command);
    tkt::PutArray(command, array);

    EntryArray entries;
    std::int32_t count = kUntouched;
    const auto before = tk::platform::Counters();
    EXPECT_EQ(tk::ToCode(ParseCommand(tk::kSortKeywords, command, c.fields, entries, count)),
              tk::ToCode(c.status));
    EXPECT_EQ(tk::platform::Counters().allocations, before.allocations);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(entries.array(), c.status == kOk ? array : nullptr);
    EXPECT_FALSE(entries.owned());
    if (c.status == kOk && c.count > 0) {
      // The entries are read in place, from the array's own data.
      EXPECT_EQ(&entries.Element(0), static_cast<VARIANT*>(array->pvData));
    }

    // Forgetting a borrowed array neither frees nor resizes it.
    entries.Reset();
    EXPECT_EQ(array->rgsabound[0].cElements, static_cast<ULONG>(c.cells.size()));
    EXPECT_EQ(array->rgsabound[0].lLbound, c.firstRow);
    EXPECT_EQ(SafeArrayLock(array), S_OK);
    EXPECT_EQ(SafeArrayUnlock(array), S_OK);
    EXPECT_EQ(VariantClear(&command), S_OK);
  }
}

// ---- arrays that must not be read as VARIANTs, and other refusals -----------------------

struct ShapeCase {
  const char* what;
  VARTYPE elementType;
  std::vector<SAFEARRAYBOUND> bounds;
};

const ShapeCase kShapeCases[] = {
    {"4-byte integers", VT_I4, {{4, 0}}},
    {"8-byte doubles", VT_R8, {{4, 0}}},
    {"16-byte decimals, not VARIANTs", VT_DECIMAL, {{4, 0}}},
    {"two-dimensional VARIANTs", VT_VARIANT, {{2, 1}, {2, 1}}},
    {"three-dimensional VARIANTs", VT_VARIANT, {{1, 0}, {2, 0}, {2, 0}}},
    {"strings", VT_BSTR, {{2, 0}}},
};

TEST(ParseRefusals, ArraysOfOtherShapesAreRefusedUnread) {
  for (const ShapeCase& c : kShapeCases) {
    SCOPED_TRACE(c.what);
    std::vector<SAFEARRAYBOUND> bounds = c.bounds;
    SAFEARRAY* array =
        SafeArrayCreate(c.elementType, static_cast<UINT>(bounds.size()), bounds.data());
    ASSERT_NE(array, nullptr);
    VARIANT command;
    VariantInit(&command);
    command.vt = static_cast<VARTYPE>(VT_ARRAY | c.elementType);
    command.parray = array;
    // Every one holds an even number of elements: only its shape can refuse it.
    ExpectOutcome(Parse(tk::kSortKeywords, command, 2), kBad, kUntouched, "");
    EXPECT_EQ(VariantClear(&command), S_OK);
  }
}

TEST(ParseRefusals, ADescriptorWithoutDataIsRefused) {
  SAFEARRAY* array = nullptr;
  ASSERT_EQ(SafeArrayAllocDescriptorEx(VT_VARIANT, 1, &array), S_OK);
  array->cbElements = sizeof(VARIANT);
  array->fFeatures = static_cast<USHORT>(array->fFeatures | FADF_VARIANT);
  array->rgsabound[0] = {4, 0};
  ASSERT_EQ(array->pvData, nullptr);
  VARIANT command;
  VariantInit(&command);
  command.vt = VT_ARRAY | VT_VARIANT;
  command.parray = array;
  ExpectOutcome(Parse(tk::kSortKeywords, command, 2), kBad, kUntouched, "");
  EXPECT_EQ(SafeArrayDestroyDescriptor(array), S_OK);
}

TEST(ParseRefusals, ReferencesAreNotTakenForTheirTargets) {
  SAFEARRAY* array = tkt::MakeColumn({Cell::Short(1), 1}, 0);
  BSTR text = SysAllocString(L"1,TK_COMPASCAUTO");
  const struct {
    const char* what;
    VARTYPE vt;
    void* target;
  } rows[] = {
      {"array by reference", VT_ARRAY | VT_VARIANT | VT_BYREF, &array},
      {"string by reference", VT_BSTR | VT_BYREF, &text},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    VARIANT command;
    VariantInit(&command);
    command.vt = row.vt;
    command.byref = row.target;
    ExpectOutcome(Parse(tk::kSortKeywords, command, 2), kBad, kUntouched, "");
  }
  SafeArrayDestroy(array);
  SysFreeString(text);
}

TEST(ParseRefusals, OnlyTwoOrThreeFieldsAreAccepted) {
  VARIANT text;
  VariantInit(&text);
  tkt::PutText(text, L"1,TK_COMPASCAUTO");
  VARIANT array;
  VariantInit(&array);
  tkt::PutArray(array, tkt::MakeColumn({1, 1, 2, 2}, 0));
  for (const std::int32_t fields : {0, 1, 4, -2}) {
    SCOPED_TRACE(fields);
    ExpectOutcome(Parse(tk::kSortKeywords, text, fields), kBad, kUntouched, "");
    ExpectOutcome(Parse(tk::kSortKeywords, array, fields), kBad, kUntouched, "");
  }
  VariantClear(&text);
  VariantClear(&array);
}

// ---- memory ------------------------------------------------------------------------------

TEST(ParseMemory, EachCopyThatCannotBeMadeGives705) {
  // The allocations of a one-entry parse, in order: the entry array, the narrow text, its
  // upper-case copy, then the entry array sized for the entries found.
  const struct {
    const char* what;
    std::int64_t failing;
    std::int32_t count;
  } rows[] = {{"entry array", 1, kUntouched},
              {"narrow text", 2, kUntouched},
              {"upper-case copy", 3, kUntouched},
              {"growing the entry array: memory, not a typing error", 4, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    tk::platform::FailAllocationAt(row.failing);
    const Outcome got = ParseText(tk::kSortKeywords, L"1,TK_COMPASCAUTO", 2);
    tk::platform::FailAllocationAt(0);
    ExpectOutcome(got, Status::NoMemory, row.count, "");
  }
  // The parse needs nothing more.
  tk::platform::FailAllocationAt(5);
  const Outcome got = ParseText(tk::kSortKeywords, L"1,TK_COMPASCAUTO", 2);
  tk::platform::FailAllocationAt(0);
  ExpectOutcome(got, kOk, 1, "(1,1)");
}

TEST(ParseMemory, NarrowTextEndsAtTheFirstNul) {
  const struct {
    const char* what;
    std::wstring text;
    const char* narrow;
    std::size_t length = static_cast<std::size_t>(-1);  // the characters to take at most
  } rows[] = {
      {"plain", L"1,tk_MoveAuto", "1,tk_MoveAuto"},
      {"empty", L"", ""},
      {"embedded NUL", L"ab\0cd"s, "ab"},
      {"its length before its terminator", L"abc", "ab", 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    char* narrow = tk::ToNarrowText(row.text.c_str(), row.length);
    ASSERT_NE(narrow, nullptr);
    EXPECT_STREQ(narrow, row.narrow);
    tk::platform::Free(narrow);
  }
  EXPECT_EQ(tk::ToNarrowText(nullptr, 1), nullptr);
}

}  // namespace
