// The tools' own pieces: the CSV reader and writer, and tkrun end to end on the bundled
// examples (its output files against the expected ones) and on the orders the engine compares
// itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "common/cells.h"
#include "common/compare_rules.h"
#include "common/csv.h"
#include "common/file_bytes.h"
#include "tkrun/progress.h"

namespace {

using tkr::CsvRows;

// `text` `count` times over: a large file of a few lines.
std::string Times(const std::string& text, std::size_t count) {
  std::string out;
  out.reserve(text.size() * count);
  for (std::size_t k = 0; k < count; ++k) out += text;
  return out;
}

// `row` `count` times, after the rows `first`: what such a file reads as.
std::vector<std::vector<std::wstring>> RowsOf(const std::vector<std::wstring>& row,
                                              std::size_t count,
                                              std::vector<std::vector<std::wstring>> first = {}) {
  first.insert(first.end(), count, row);
  return first;
}

std::vector<std::vector<std::wstring>> Texts(const CsvRows& rows) {
  std::vector<std::vector<std::wstring>> out;
  for (const auto& row : rows) {
    std::vector<std::wstring> texts;
    for (const auto& field : row) texts.push_back(field.text);
    out.push_back(texts);
  }
  return out;
}

TEST(Csv, RecordsAndFields) {
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::vector<std::wstring>> rows;
    wchar_t separator = L',';  // 0: the one the first line shows
  } const cases[] = {
      {"plain, CRLF", "a,b\r\nc,d\r\n", {{L"a", L"b"}, {L"c", L"d"}}},
      {"LF and no final line end", "a,b\nc,d", {{L"a", L"b"}, {L"c", L"d"}}},
      {"empty fields", ",x,\r\n", {{L"", L"x", L""}}},
      {"quoted separator and quote", "\"a,b\",\"say \"\"hi\"\"\"\r\n", {{L"a,b", L"say \"hi\""}}},
      {"line break inside quotes", "\"two\r\nlines\",z\r\n", {{L"two\r\nlines", L"z"}}},
      {"byte-order mark", "\xEF\xBB\xBFh1,h2\r\n", {{L"h1", L"h2"}}},
      {"UTF-8 text", "M\xC3\xBCller,\xC3\x98rsted\r\n", {{L"M\u00fcller", L"\u00d8rsted"}}},
      {"ragged rows", "a\r\nb,c,d\r\n", {{L"a"}, {L"b", L"c", L"d"}}},
      {"quoted empty field", "\"\",1\r\n", {{L"", L"1"}}},
      {"semicolons found: as often on each line",
       "a;b,c;d\r\n1,5;2;3\r\n",
       {{L"a", L"b,c", L"d"}, {L"1,5", L"2", L"3"}},
       0},
      {"tabs found", "a\tb\r\n1;2\t3\r\n", {{L"a", L"b"}, {L"1;2", L"3"}}, 0},
      {"bars found", "a|b|c\r\n", {{L"a", L"b", L"c"}}, 0},
      {"separators inside quotes do not count", "\"x;y;z\",b\r\n", {{L"x;y;z", L"b"}}, 0},
      {"lines that disagree: the first line's",
       "a,b\r\n1;2;3;4\r\n",
       {{L"a", L"b"}, {L"1;2;3;4"}},
       0},
      {"none: a comma", "abc\r\nd,e\r\n", {{L"abc"}, {L"d", L"e"}}, 0},
      {"a tab given", "a\tb;c\r\n", {{L"a", L"b;c"}}, L'\t'},
      {"a two-byte separator, and a character that starts with the same byte",
       "a\xC2\xA7\xC2\xA2"
       "b\xC2\xA7\"\xC2\xA7\"\r\n",
       {{L"a", L"\u00a2b", L"\u00a7"}},
       L'\u00a7'},
      {"long fields, looked through eight bytes at a time",
       "abcdefghijklmnopq,rstuvwxyz0123456789\r\n0123456789abcdef\r\nx",
       {{L"abcdefghijklmnopq", L"rstuvwxyz0123456789"}, {L"0123456789abcdef"}, {L"x"}}},
      {"long fields and a two-byte separator",
       "abcdefghij\xC2\xA2klmnopqrst\xC2\xA7uvwxyz01234567\r\n",
       {{L"abcdefghij\u00a2klmnopqrst", L"uvwxyz01234567"}},
       L'\u00a7'},
      // The separator is found from several lines: a first line's commas do not decide.
      {"tabs under notes with commas",
       "# zones, one a line, by code\r\n# see: the notes, below\r\ncode\tzone\r\n"
       "AD\tEurope/Andorra\r\nAE\tAsia/Dubai\r\n",
       {{L"# zones, one a line, by code"},
        {L"# see: the notes, below"},
        {L"code", L"zone"},
        {L"AD", L"Europe/Andorra"},
        {L"AE", L"Asia/Dubai"}},
       0},
      {"semicolons and decimal commas: most lines hold one semicolon",
       "Name;Price\r\nx;1,5\r\ny;2,25\r\nz;3\r\n",
       {{L"Name", L"Price"}, {L"x", L"1,5"}, {L"y", L"2,25"}, {L"z", L"3"}},
       0},
      // Large files are scanned in two parts at once, the second from the first line end past
      // the middle that lies outside quotes.
      {"two parts: the line end past the middle inside quotes is passed over",
       Times("ab,\"c\r\nd\"\r\n", 40000), RowsOf({L"ab", L"c\r\nd"}, 40000)},
      {"two parts: a stray quote misleads the guess, and the file is read as one part",
       "5\" disk,x\r\n" + Times("ab,\"c\r\nd\"\r\n", 40000),
       RowsOf({L"ab", L"c\r\nd"}, 40000, {{L"5\" disk", L"x"}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CsvRows rows;
    std::string error;
    ASSERT_TRUE(tkr::ParseCsv(c.bytes, c.separator, rows, error)) << error;
    EXPECT_EQ(Texts(rows), c.rows);
    // One field asked for alone, and the first fields of a record, are the same fields.
    tkr::CsvFile file;
    ASSERT_TRUE(tkr::ReadCsv(c.bytes, c.separator, tkr::kUtf8, file, error)) << error;
    std::vector<tkr::FieldSpan> first;
    for (std::size_t r = 0; r < file.records.size(); ++r) {
      file.FieldsOf(file.records[r], first, 2);
      ASSERT_EQ(first.size(), std::min<std::size_t>(2, c.rows[r].size()));
      for (std::size_t f = 0; f < c.rows[r].size(); ++f) {
        EXPECT_EQ(file.Text(file.Field(file.records[r], f)), c.rows[r][f]);
        if (f < first.size()) {
          EXPECT_EQ(file.Text(first[f]), c.rows[r][f]);
        }
      }
    }
  }
}

TEST(Csv, MalformedInputNamesItsLine) {
  struct Case {
    std::string bytes;
    const char* error;
    tkr::CodePage encoding = tkr::kUtf8;
  } const cases[] = {
      {"a,b\r\n\"open,c\r\nd\r\n", "line 2: quoted field never closed"},
      {"a\r\nb\r\n\"x\"y,z\r\n", "line 3: text after a closing quote"},
      // Past runs of ASCII, which are checked eight bytes at a time.
      {"name,value\r\nabcdefgh\xC3\x28x\r\n", "line 2, byte 20: not UTF-8"},
      {std::string("0123456789abcdef\r\nxyz\0", 22),
       "line 2: a NUL byte (at byte 21); CSV text holds none"},
      {std::string("a\0,\0b\0", 6),
       "line 1: a NUL byte (at byte 1); CSV text holds none (UTF-16 without a byte-order mark? "
       "try --encoding utf-16le or utf-16be)"},
      {"\xFF\xFE"
       "a\0b",
       "is UTF-16 (little-endian) by its byte-order mark but ends in half a "
       "character"},
      {std::string("\xFF\xFE"
                   "a\0\n\0\x00\xD8"
                   "b\0",
                   10),
       "line 2, byte 6: half a UTF-16 character (a lone surrogate)"},
      {std::string("\xFE\xFF"
                   "\0a\0\n\0b\xDC\x00",
                   10),
       "line 2, byte 8: half a UTF-16 character (a lone surrogate)"},
      {std::string("a\r\n\0b\r\n", 7), "line 2: a NUL character; CSV text holds none", 1252},
      {"k\r\n\x81\x20\r\n",
       "line 2, byte 3: not text in code page 932 (the bytes do not read back as themselves); "
       "name the file's encoding with --encoding",
       932},
      {"k\r\n", "code page 65000 changes meaning with escapes", 65000},
      {"k\r\n", "code page 4242 is not available on this system", 4242},
      // Large files, scanned in two parts at once: the first fault in the file is named.
      {Times("a,b\r\n", 60000) + "\"open,c\r\nd\r\n", "line 60001: quoted field never closed"},
      {"\"x\"y,z\r\n" + Times("a,b\r\n", 60000) + "\"open\r\n",
       "line 1: text after a closing quote"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    tkr::CsvFile file;
    std::string error;
    EXPECT_FALSE(tkr::ReadCsv(c.bytes, L',', c.encoding, file, error));
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
}

TEST(Csv, CellTypes) {
  const tkr::CellTyping quotedText{true};
  const tkr::CellTyping decimalComma{false, L','};
  const tkr::CellTyping dayFirst{false, L'.', tkr::DateOrder::DayMonthYear};
  const tkr::CellTyping yearFirst{false, L'.', tkr::DateOrder::YearMonthDay};
  tkr::CellTyping missing;  // --na NA,N/A,null
  missing.missing = {L"NA", L"N/A", L"null"};
  tkr::CellTyping euro{false, L',', tkr::DateOrder::DayMonthYear};  // as --locale fr-FR sets it
  euro.groups = L" \u00A0\u202F";
  euro.currency = L"\u20AC";
  struct Case {
    const wchar_t* text;
    bool quoted;
    VARTYPE vt;
    tkr::CellTyping typing = {};   // the month first in short dates
    const wchar_t* day = nullptr;  // a date's day and time, written as YYYY-MM-DD hh:mm:ss
    double number = 0;             // a number's value, when not 0
  } const cases[] = {
      {L"", false, VT_EMPTY},
      {L"", true, VT_EMPTY},
      {L"", true, VT_BSTR, quotedText},
      {L"42", false, VT_I4, {}, nullptr, 42},
      {L"-7", false, VT_I4, {}, nullptr, -7},
      // Quotes do not make a field text, unless asked.
      {L"42", true, VT_I4, {}, nullptr, 42},
      {L"42", true, VT_BSTR, quotedText},
      {L"TRUE", true, VT_BOOL},
      {L"TRUE", true, VT_BSTR, quotedText},
      {L"2026-03-14", true, VT_DATE},
      {L"pear", true, VT_BSTR},
      // Decimal commas, and points grouping the whole part in threes.
      {L"3,5", false, VT_BSTR},
      {L"3,5", true, VT_R8, decimalComma, nullptr, 3.5},
      {L"-1.234,5", false, VT_R8, decimalComma, nullptr, -1234.5},
      {L"1.234.567", false, VT_I4, decimalComma, nullptr, 1234567},
      {L"2,5e3", false, VT_R8, decimalComma, nullptr, 2500},
      {L",5", false, VT_R8, decimalComma, nullptr, 0.5},
      {L"4.10", false, VT_BSTR, decimalComma},
      {L"1.23,4", false, VT_BSTR, decimalComma},
      {L"1234.567", false, VT_BSTR, decimalComma},
      {L"1.234.56", false, VT_BSTR, decimalComma},
      {L"1,2,3", false, VT_BSTR, decimalComma},
      {L"1.234e2", false, VT_R8, decimalComma, nullptr, 123400},
      // Short dates in the system's order, with a four-digit year.
      {L"3/14/2026", false, VT_DATE, {}, L"2026-03-14"},
      {L"3/14/2026 8:05", true, VT_DATE, {}, L"2026-03-14 08:05"},
      {L"12/31/1999 23:59:58", false, VT_DATE, {}, L"1999-12-31 23:59:58"},
      {L"14/03/2026", false, VT_BSTR},
      {L"14/03/2026", false, VT_DATE, dayFirst, L"2026-03-14"},
      {L"14.3.2026", false, VT_DATE, dayFirst, L"2026-03-14"},
      {L"4.10.2023", false, VT_BSTR},  // a version where the month comes first
      {L"2026/3/14", false, VT_DATE, yearFirst, L"2026-03-14"},
      {L"3/14/26", false, VT_BSTR},
      {L"2/29/2023", false, VT_BSTR},
      {L"2/29/2024", false, VT_DATE, {}, L"2024-02-29"},
      {L"3/14/2026 24:00", false, VT_BSTR},
      {L"3/14/2026x", false, VT_BSTR},
      {L"3-14-2026", false, VT_BSTR},
      {L"3000000000", false, VT_R8},
      {L"2.5", false, VT_R8},
      {L"1e3", false, VT_R8},
      {L"0x10", false, VT_BSTR},
      {L"inf", false, VT_BSTR},
      {L" 5", false, VT_I4, {}, nullptr, 5},
      {L"TRUE", false, VT_BOOL},
      {L"false", false, VT_BOOL},
      {L"2026-03-14", false, VT_DATE},
      {L"2026-03-14T08:30", false, VT_DATE},
      {L"2026-13-01", false, VT_BSTR},
      {L"2026-03-14x", false, VT_BSTR},
      {L"pear", false, VT_BSTR},
      // Years as written: OLE dates start at 0100, and no year below is taken for another.
      {L"0001-01-01", false, VT_BSTR},
      {L"0099-12-31T23:59", false, VT_BSTR},
      {L"0100-01-01", false, VT_DATE},
      {L"1899-12-30", false, VT_DATE},
      {L"9999-12-31T23:59:59", false, VT_DATE},
      // Only days the calendar has.
      {L"2023-02-31", false, VT_BSTR},
      {L"2023-04-31", false, VT_BSTR},
      {L"2023-02-29", false, VT_BSTR},
      {L"1900-02-29", false, VT_BSTR},
      {L"2000-02-29", false, VT_DATE},
      {L"2024-02-29 12:00", false, VT_DATE},
      {L"2023-12-31", false, VT_DATE},
      // Numbers as a spreadsheet shows them: currency, thousands marks, percent, accounting
      // negatives, blanks around them; dressed only once, and grouped only in threes.
      {L"$5.25", false, VT_R8, {}, nullptr, 5.25},
      {L"$1,234.50", true, VT_R8, {}, nullptr, 1234.5},
      {L"$1,234.50", true, VT_BSTR, quotedText},
      {L"1,234,567", false, VT_I4, {}, nullptr, 1234567},
      {L"-$5", false, VT_I4, {}, nullptr, -5},
      {L"$ -5.5", false, VT_R8, {}, nullptr, -5.5},
      {L"5.25$", false, VT_R8, {}, nullptr, 5.25},
      {L"5%", false, VT_R8, {}, nullptr, 0.05},
      {L"-12.5 %", false, VT_R8, {}, nullptr, -0.125},
      {L"0.1%", false, VT_R8, {}, nullptr, 0.001},
      {L"(20.00)", false, VT_R8, {}, nullptr, -20},
      {L"($1,000)", false, VT_I4, {}, nullptr, -1000},
      {L"(5%)", false, VT_R8, {}, nullptr, -0.05},
      {L"42 ", false, VT_I4, {}, nullptr, 42},
      {L"\t42\u00A0", true, VT_I4, {}, nullptr, 42},
      {L"   ", false, VT_BSTR},
      {L"1,23", false, VT_BSTR},
      {L"12,3456", false, VT_BSTR},
      {L",123", false, VT_BSTR},
      {L"1,234.5,6", false, VT_BSTR},
      {L"$", false, VT_BSTR},
      {L"$$5", false, VT_BSTR},
      {L"$5%", false, VT_BSTR},
      {L"-(20)", false, VT_BSTR},
      {L"(-20)", false, VT_BSTR},
      {L"()", false, VT_BSTR},
      {L"(pear)", false, VT_BSTR},
      {L"5 EUR", false, VT_BSTR},
      {L"$1e3", false, VT_BSTR},
      {L"\u20AC5", false, VT_BSTR},
      {L"1 234,50 \u20AC", false, VT_R8, euro, nullptr, 1234.5},
      {L"-5,25\u00A0\u20AC", false, VT_R8, euro, nullptr, -5.25},
      {L"1.234,5", false, VT_R8, euro, nullptr, 1234.5},
      {L"$5.25", false, VT_BSTR, euro},
      {L"12 %", false, VT_R8, euro, nullptr, 0.12},
      // Times of day, date-times, ISO days without leading zeros.
      {L"12:30", false, VT_DATE, {}, L"1899-12-30 12:30"},
      {L"8:05:59", false, VT_DATE, {}, L"1899-12-30 08:05:59"},
      {L" 23:59 ", false, VT_DATE, {}, L"1899-12-30 23:59"},
      {L"24:00", false, VT_BSTR},
      {L"12:3", false, VT_BSTR},
      {L"12:30:60", false, VT_BSTR},
      {L"123:30", false, VT_BSTR},
      {L"2024-3-5", false, VT_DATE, {}, L"2024-03-05"},
      {L"2024-12-5T9:05", false, VT_DATE, {}, L"2024-12-05 09:05"},
      {L"2024-3-5 09:05:07", false, VT_DATE, {}, L"2024-03-05 09:05:07"},
      {L"2024-3-", false, VT_BSTR},
      {L"2024-003-05", false, VT_BSTR},
      {L"2024-2-30", false, VT_BSTR},
      {L"2024-3-5 9", false, VT_BSTR},
      // Missing-value words, exactly as given, are empty cells; quoted text keeps them text.
      {L"NA", false, VT_EMPTY, missing},
      {L" N/A ", true, VT_EMPTY, missing},
      {L"null", false, VT_EMPTY, missing},
      {L"NA", false, VT_BSTR},
      {L"na", false, VT_BSTR, missing},
      {L"NAN", false, VT_BSTR, missing},
  };
  tkr::TextBlocks blocks;
  for (const auto& c : cases) {
    SCOPED_TRACE(tkr::ToUtf8(c.text));
    VARIANT cell = tkr::CellFromField(tkr::CsvField{c.text, c.quoted}, c.typing);
    EXPECT_EQ(cell.vt, c.vt);
    // The same cell with its text in the runner's own blocks: the system reads it alike.
    VARIANT own = tkr::CellFromField(tkr::CsvField{c.text, c.quoted}, c.typing, &blocks);
    EXPECT_EQ(own.vt, cell.vt);
    if (own.vt == VT_BSTR) {
      EXPECT_EQ(SysStringByteLen(own.bstrVal), SysStringByteLen(cell.bstrVal));
      EXPECT_EQ(VarCmp(&own, &cell, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
    }
    if (c.number != 0) {
      EXPECT_EQ(cell.vt == VT_I4 ? cell.lVal : cell.vt == VT_R8 ? cell.dblVal : -0.5, c.number);
    }
    if (cell.vt == VT_DATE) {  // the very day and time that were written
      SYSTEMTIME st = {};
      ASSERT_TRUE(VariantTimeToSystemTime(cell.date, &st));
      wchar_t written[20] = {};
      std::swprintf(written, 20, L"%04d-%02d-%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay,
                    st.wHour, st.wMinute, st.wSecond);
      std::wstring text = c.day != nullptr ? c.day : c.text;
      text.replace(10, text.size() > 10 ? 1 : 0, L" ");
      EXPECT_EQ(std::wstring(written).substr(0, text.size()), text);
    }
    VariantClear(&cell);
  }
  // Plain decimals are read without the C library; they must come out as its narrow
  // conversion (correctly rounded) reads them: a Long where the whole number fits, else the
  // very same double. The wide one, used before, misrounds some of these.
  std::mt19937 random(11);
  for (int k = 0; k < 200000; ++k) {
    std::string text = k % 3 == 0 ? "" : k % 3 == 1 ? "-" : "+";
    const unsigned whole = random() % 21, fraction = random() % 24;
    for (unsigned d = 0; d < whole; ++d) text += static_cast<char>('0' + random() % 10);
    if (random() % 4 != 0) text += '.';
    for (unsigned d = 0; d < fraction; ++d) text += static_cast<char>('0' + random() % 10);
    if (k % 5 == 0) text += "e" + std::to_string(static_cast<int>(random() % 40) - 20);
    VARIANT cell = tkr::CellFromField(tkr::CsvField{tkr::FromUtf8(text), false});
    if (text.find_first_of("0123456789") == std::string::npos) {  // "", "-", "+."
      ASSERT_EQ(cell.vt, text.empty() ? VT_EMPTY : VT_BSTR) << text;
      VariantClear(&cell);
      continue;
    }
    char* end = nullptr;
    errno = 0;
    const long long asWhole = std::strtoll(text.c_str(), &end, 10);
    if (*end == '\0' && errno == 0 && asWhole >= INT_MIN && asWhole <= INT_MAX) {
      ASSERT_EQ(cell.vt, VT_I4) << text;
      ASSERT_EQ(cell.lVal, asWhole) << text;
      continue;
    }
    errno = 0;
    const double asReal = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno != 0) {
      ASSERT_EQ(cell.vt, VT_BSTR) << text;
    } else {
      ASSERT_EQ(cell.vt, VT_R8) << text;
      ASSERT_EQ(std::memcmp(&cell.dblVal, &asReal, sizeof asReal), 0)
          << text << " " << cell.dblVal << " " << asReal;
    }
    VariantClear(&cell);
  }
  // Texts of every length from 0 to 600 characters, over many blocks' ends, and one longer
  // than a block: each its own length and characters, a zero after them, none overwritten.
  std::vector<std::pair<std::wstring, BSTR>> made;
  for (std::size_t k = 0; k < 12000; ++k) {
    const std::wstring text(k == 6000 ? 700000 : k % 601, static_cast<wchar_t>(L'a' + k % 26));
    made.emplace_back(text, blocks.Add(text.data(), text.size()));
  }
  for (const auto& [text, bstr] : made) {
    ASSERT_EQ(SysStringLen(bstr), text.size());
    ASSERT_EQ(std::wstring(bstr, SysStringLen(bstr)), text);
    ASSERT_EQ(bstr[text.size()], L'\0');
  }
  // Where the wide conversion went wrong: the nearest double, 651480203.30725944...
  VARIANT nearest = tkr::CellFromField(tkr::CsvField{L"651480203.3072595", false});
  EXPECT_EQ(nearest.dblVal, 651480203.30725944);
  VARIANT scaled = tkr::CellFromField(tkr::CsvField{L"6514802033072595e-7", false});
  EXPECT_EQ(scaled.dblVal, 651480203.30725944);
}

// Written back, every record is the record that was read: its quotes, its numbers and dates
// as they were written, its line breaks inside quoted cells.
TEST(Csv, RoundTripKeepsTextAndTypes) {
  const std::string input =
      "Name,Code,When,Amount,Flag,Empty,Note\r\n"
      "pear,\"007\",2026-03-14,0.1,TRUE,,\"a, b\"\r\n"
      "\"TRUE\",\"2026-01-01\",2026-03-14T08:30:15,-2.25,FALSE,\"\",\"line\nbreak \"\"q\"\"\"\r\n";
  tkr::CsvFile file;
  std::string error;
  ASSERT_TRUE(tkr::ReadCsv(input, L',', tkr::kUtf8, file, error)) << error;
  const std::string written = tkr::WriteCsv(file, {0, 1, 2});
  EXPECT_EQ(written, input);
}

// `utf8` as UTF-16 bytes, little- or big-endian, after a byte-order mark when `mark`.
std::string Utf16(const std::string& utf8, bool big, bool mark = true) {
  std::string out = mark ? (big ? "\xFE\xFF" : "\xFF\xFE") : "";
  for (const wchar_t unit : tkr::FromUtf8(utf8)) {
    const char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
    out += big ? std::string{high, low} : std::string{low, high};
  }
  return out;
}

// Every encoding is read as text and written back as the bytes it came in, with its
// byte-order mark, in any order of the rows.
TEST(Csv, EncodingsRoundTripByteForByte) {
  const std::string rows[] = {"Name;N\xC3\xA4he\r\n", "\"\xC3\x89t\xC3\xA9\r\n2\";1\r\n",
                              "\xF0\x9F\x8D\x90 pear;\"\"\r\n"};
  const std::wstring second = L"\u00c9t\u00e9\r\n2";
  struct Case {
    const char* what;
    tkr::CodePage asked;
    std::vector<std::string> rows;  // in the file's encoding
    std::wstring field;             // the second row's first field
    std::size_t columns;
  } const cases[] = {
      {"UTF-8", tkr::kUtf8, {rows[0], rows[1], rows[2]}, second, 2},
      {"UTF-8 with its mark, asked for cp1252",
       1252,
       {"\xEF\xBB\xBF" + rows[0], rows[1], rows[2]},
       second,
       2},
      {"UTF-16 LE",
       tkr::kUtf8,
       {Utf16(rows[0], false), Utf16(rows[1], false, false), Utf16(rows[2], false, false)},
       second,
       2},
      {"UTF-16 BE",
       1252,
       {Utf16(rows[0], true), Utf16(rows[1], true, false), Utf16(rows[2], true, false)},
       second,
       2},
      {"UTF-16 LE without a mark, asked for",
       tkr::kUtf16Le,
       {Utf16(rows[0], false, false), Utf16(rows[1], false, false)},
       second,
       2},
      {"Windows-1252",
       1252,
       {"Name;N\xE4he\r\n", "\"\xC9t\xE9\r\n2\";1\r\n", "\x80;\x9D\r\n"},
       second,
       2},
      {"Windows-1251", 1251, {"a;b\r\n", "\xC8\xE2\xE0\xED;1\r\n"}, L"\u0418\u0432\u0430\u043d", 2},
      // A trail byte that is a bar, the separator: read as half of a character, not a field's
      // end.
      {"Shift-JIS with a bar in a character",
       932,
       {"k|v\r\n", "\x83\x7C\x83\x5C|\x82\xA0\r\n"},
       L"\u30dd\u30bd",
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string input;
    for (const std::string& row : c.rows) input += row;
    tkr::CsvFile file;
    std::string error;
    ASSERT_TRUE(tkr::ReadCsv(input, 0, c.asked, file, error)) << error;
    ASSERT_EQ(file.records.size(), c.rows.size());
    EXPECT_EQ(file.columns, c.columns);
    EXPECT_EQ(file.Text(file.Field(file.records[1], 0)), c.field);
    std::vector<std::uint32_t> reversed;
    const std::string mark = file.byteOrderMark;
    std::string body;
    for (std::size_t r = c.rows.size(); r-- > 0;) {
      reversed.push_back(static_cast<std::uint32_t>(r));
      body += r == 0 ? c.rows[0].substr(mark.size()) : c.rows[r];
    }
    EXPECT_TRUE(tkr::WriteCsv(file, reversed) == mark + body);
    // Written a record or a few bytes at a time, the parts add up to the same bytes: the mark
    // once, no character split. So do the parts by number, made in any order (as two threads
    // make them), each handed over in pieces of whole records.
    for (const std::size_t part : {std::size_t{1}, std::size_t{9}, std::size_t{40}}) {
      tkr::CsvWriter writer(file, reversed, part);
      std::string parts;
      for (std::string_view next = writer.Next(); !next.empty(); next = writer.Next()) {
        parts += next;
      }
      EXPECT_TRUE(parts == mark + body) << part;
      std::vector<std::string> numbered(writer.Parts());
      tkr::CsvWriter::Room room;
      for (std::size_t k = numbered.size(); k-- > 0;) {
        EXPECT_TRUE(writer.MakePart(k, room, [&](std::string_view piece) {
          numbered[k] += piece;
          return true;
        }));
      }
      std::string joined;
      for (const std::string& piece : numbered) joined += piece;
      EXPECT_TRUE(joined == mark + body) << part;
    }
  }
  // A cell with no form in a destination's code page is refused, not written as '?'.
  tkr::CsvFile legacy;
  std::string error, out;
  ASSERT_TRUE(tkr::ReadCsv("a\r\n", L',', 1252, legacy, error)) << error;
  EXPECT_FALSE(tkr::ToFileEncoding(legacy, "\xE6\x97\xA5\r\n", out, error));
  EXPECT_EQ(error, "some text has no form in code page 1252");
  EXPECT_TRUE(tkr::ToFileEncoding(legacy, "\xC3\xA9\r\n", out, error) && out == "\xE9\r\n");
}

// ---- tkrun end to end ---------------------------------------------------------------------

struct Outcome {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out, err;
};

std::string ReadAll(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}
std::string ReadAll(const std::string& path) {
  return ReadAll(tkr::FromUtf8(path));
}

void WriteAll(const std::wstring& path, const std::string& bytes) {
  std::ofstream(path.c_str(), std::ios::binary) << bytes;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs tkrun.exe (beside this test) with `arguments` in the folder `folder`, standard output
// and standard error each into a file of its own (standard output into `output` when given),
// standard input from the file `input` when one is named.
Outcome RunTool(const std::wstring& arguments, const std::wstring& folder = L".",
                const std::wstring& input = L"", HANDLE output = nullptr) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  auto capture = [&](const wchar_t* path) {
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE out = capture(L"tkrun_test_stdout.txt");
  HANDLE err = capture(L"tkrun_test_stderr.txt");
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output != nullptr ? output : out;
  startup.hStdError = err;
  HANDLE in = input.empty() ? nullptr
                            : CreateFileW(input.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  startup.hStdInput = input.empty() ? GetStdHandle(STD_INPUT_HANDLE) : in;
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring tool = self;
  tool = tool.substr(0, tool.find_last_of(L"\\/") + 1) + TK_RUNNER_NAME;
  std::wstring command = L"\"" + tool + L"\" " + arguments;
  PROCESS_INFORMATION process = {};
  Outcome outcome;
  // A start that fails is the machine's, not tkrun's: tried again, and named if it stays.
  bool started = false;
  DWORD startError = 0;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    if (attempt > 0) Sleep(200);
    started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             folder.c_str(), &startup, &process) != FALSE;
    if (!started) startError = GetLastError();
  }
  if (started) {
    WaitForSingleObject(process.hProcess, 120000);
    GetExitCodeProcess(process.hProcess, &outcome.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(out);
  CloseHandle(err);
  if (in != nullptr) CloseHandle(in);
  outcome.out = ReadAll(L"tkrun_test_stdout.txt");
  outcome.err = ReadAll(L"tkrun_test_stderr.txt");
  if (!started)
    outcome.err += "(the test could not start tkrun: error " + std::to_string(startError) + ")";
  return outcome;
}
Outcome RunTool(const std::string& arguments) {
  return RunTool(tkr::FromUtf8(arguments));
}

// The line --verbose wrote for a stage ("read", "keys:", "sorted", "exported", "arranged",
// "wrote", "done:"), or "".
std::string StageLine(const std::string& err, const std::string& stage) {
  const std::size_t at = err.find("tkrun: " + stage + " ");
  if (at == std::string::npos) return "";
  return err.substr(at, err.find_first_of("\r\n", at) - at);
}

// What --verbose says is in a CSV user's words: none of the engine's commands, statuses or
// break-outs.
void ExpectPlainWords(const std::string& err) {
  for (const char* word : {"SELECT", "MOVE", "EXPORT", "[0", "break-out", "TK_"}) {
    EXPECT_EQ(err.find(word), std::string::npos) << word << " in " << err;
  }
}

// The full path of `path` in the current folder, as UTF-8.
std::string FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH] = {};
  GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return tkr::ToUtf8(full);
}

TEST(Tkrun, SortsTheExamplesAsExpected) {
  struct Case {
    const char* what;
    std::string arguments;
    std::vector<std::pair<std::string, std::string>> files;  // written, expected
    bool comparedByTkrun;                                    // the sort hands comparisons out
  } const cases[] = {
      {"department, then salary descending",
       "--sort \"2,TK_COMPASCAUTO 4,TK_COMPDESAUTO\" --output out_department.csv "
       "examples\\staff.csv",
       {{"out_department.csv", "examples\\expected\\staff_by_department.csv"}},
       false},
      {"file names in natural order: the rule is the engine's own key",
       "--sort \"1,TK_COMPBRKO\" --compare 1=natural --output out_files.csv examples\\files.csv",
       {{"out_files.csv", "examples\\expected\\files_natural.csv"}},
       false},
      {"file names in natural order by the keyword",
       "--sort \"1,TK_COMPASCNATURAL\" --output out_files.csv examples\\files.csv",
       {{"out_files.csv", "examples\\expected\\files_natural.csv"}},
       false},
      // Keys by header name or number, and column numbers read as the engine reads them.
      {"-k by header names",
       "-k Department -k salary:desc --output out_department.csv "
       "examples\\staff.csv",
       {{"out_department.csv", "examples\\expected\\staff_by_department.csv"}},
       false},
      {"-k natural by number",
       "-k 1:natural --output out_files.csv examples\\files.csv",
       {{"out_files.csv", "examples\\expected\\files_natural.csv"}},
       false},
      {"--sort columns keep their low 16 bits, as in the engine, signs too",
       "--sort \"-65534,tk_compascauto 4294967300,TK_COMPDESAUTO\" --output out_department.csv "
       "examples\\staff.csv",
       {{"out_department.csv", "examples\\expected\\staff_by_department.csv"}},
       false},
      {"a regional file: semicolons found, decimal commas in quoted cells, empty last",
       "--sort \"2,TK_COMPDESAUTO\" --decimal , --output out_prices.csv examples\\prices.csv",
       {{"out_prices.csv", "examples\\expected\\prices_by_price.csv"}},
       false},
      {"grade, then name length; export into a shorter table",
       "--sort \"5,TK_COMPASCAUTO 1,TK_COMPBRKO\" --compare 1=length "
       "--export \"1,1,TK_EXPORTAUTO 2,2,TK_EXPORTBRKO 4,3,TK_EXPORTAUTO\" "
       "--export-to examples\\summary.csv --export-out out_summary.csv "
       "--output out_grade.csv examples\\staff.csv",
       {{"out_grade.csv", "examples\\expected\\staff_by_grade.csv"},
        {"out_summary.csv", "examples\\expected\\summary_by_grade.csv"}},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome run = RunTool(c.arguments + " --verbose");
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    const std::string sorted = StageLine(run.err, "sorted");
    EXPECT_NE(sorted.find(" rows"), std::string::npos) << run.err;
    EXPECT_EQ(sorted.find("comparisons answered by the --compare rules") != std::string::npos,
              c.comparedByTkrun)
        << sorted;
    ExpectPlainWords(run.err);
    for (const auto& [written, expected] : c.files) {
      const std::string got = ReadAll(written);
      ASSERT_FALSE(got.empty()) << written;
      EXPECT_TRUE(got == ReadAll(expected)) << written << " differs from " << expected;
    }
  }
}

// The expected natural order of the file names, checked without tkrun or the engine: the
// system's comparison with the natural order's flags puts every name after the one before it,
// or calls them equal and they stand as in the file; and no row is lost or doubled.
TEST(Examples, TheExpectedNaturalOrderIsTheSystemsNaturalComparison) {
  tkr::CsvRows input, expected;
  std::string error;
  ASSERT_TRUE(tkr::ParseCsv(ReadAll("examples\\files.csv"), L',', input, error)) << error;
  ASSERT_TRUE(
      tkr::ParseCsv(ReadAll("examples\\expected\\files_natural.csv"), L',', expected, error))
      << error;
  ASSERT_EQ(expected.size(), input.size());
  ASSERT_GT(input.size(), 100u);
  auto rowOf = [&](const std::vector<tkr::CsvField>& row) {
    for (std::size_t r = 1; r < input.size(); ++r) {
      if (Texts({input[r]}) == Texts({row})) return r;
    }
    return std::size_t{0};
  };
  std::vector<bool> seen(input.size(), false);
  std::size_t before = 0;
  for (std::size_t k = 1; k < expected.size(); ++k) {
    const std::size_t row = rowOf(expected[k]);
    ASSERT_NE(row, 0u) << "row " << k << " is not a row of files.csv";
    EXPECT_FALSE(seen[row]) << "row " << k << " twice";
    seen[row] = true;
    if (k > 1) {
      const std::wstring& a = expected[k - 1][0].text;
      const std::wstring& b = expected[k][0].text;
      const int order =
          CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE | SORT_DIGITSASNUMBERS, a.c_str(),
                         static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()));
      EXPECT_TRUE(order == CSTR_LESS_THAN || (order == CSTR_EQUAL && before < row))
          << tkr::ToUtf8(a) << " before " << tkr::ToUtf8(b);
    }
    before = row;
  }
}

// Keys the engine compares itself: the six text keywords of --sort, and the --compare rules
// natural (also a TK_COMPBRKO key's rule when none is given), case and numtext, which become
// them. Each sees the field's text as it stands; an empty field without quotes is an empty
// cell, last in both directions. No comparison breaks out.
TEST(Tkrun, KeysTheEngineComparesItself) {
  struct Case {
    const char* what;
    std::string sort;                         // what follows --sort
    std::vector<std::string> fields, sorted;  // the key column as written in the file
  } const cases[] = {
      {"natural: runs of digits by value, case ignored",
       "\"1,TK_COMPBRKO\" --compare 1=natural",
       {"file10", "File10", "file9", "img10", "img2"},
       {"file9", "file10", "File10", "img2", "img10"}},
      {"natural: hyphens and apostrophes weigh little",
       "\"1,TK_COMPASCNATURAL\"",
       {"coop 10", "oneil10", "co-op 2", "o'neil2"},
       {"co-op 2", "coop 10", "o'neil2", "oneil10"}},
      {"natural is a TK_COMPBRKO key's rule when none is given; text by the locale's collation",
       "\"1,TK_COMPBRKO\"",
       {"zebra", "v1.10", "report 10 final",
        "\xC3\x89"
        "cole",
        "abc", "v1.9", "ab", "B", "report 2", "a"},
       {"a", "ab", "abc", "B",
        "\xC3\x89"
        "cole",
        "report 2", "report 10 final", "v1.9", "v1.10", "zebra"}},
      {"natural sees the text, whatever it reads as",
       "\"1,TK_COMPASCNATURAL\"",
       {"TRUE", "4.10", "FALSE", "4.9"},
       {"4.9", "4.10", "FALSE", "TRUE"}},
      {"natural, quoted fields as text: empty cells last, the empty text first",
       "\"1,TK_COMPBRKO\" --compare 1=natural --quoted-text",
       {"", "b", "\"\"", "a"},
       {"\"\"", "a", "b", ""}},
      {"natural: \"\" is an empty cell, last with the others in file order",
       "\"1,TK_COMPBRKO\" --compare 1=natural",
       {"", "b", "\"\"", "a"},
       {"a", "b", "", "\"\""}},
      {"automatic: quoted numbers are numbers, \"\" is empty and last",
       "\"1,TK_COMPASCAUTO\"",
       {"\"10\"", "\"\"", "\"100\"", "\"b\"", "\"9\"", "\"TRUE\"", "\"2026-03-14\""},
       {"\"TRUE\"", "\"9\"", "\"10\"", "\"100\"", "\"2026-03-14\"", "\"b\"", "\"\""}},
      {"automatic, quoted fields as text: by their text, \"\" the empty text first",
       "\"1,TK_COMPASCAUTO\" --quoted-text",
       {"\"10\"", "\"\"", "\"100\"", "\"b\"", "\"9\"", "", "8"},
       {"8", "\"\"", "\"10\"", "\"100\"", "\"9\"", "\"b\"", ""}},
      {"automatic, descending: decimal commas, points grouping thousands",
       "\"1,TK_COMPDESAUTO\" --decimal ,",
       {"\"9,75\"", "\"1.000\"", "\"10,5\"", "\"4.10\"", "\"-0,5\""},
       {"\"4.10\"", "\"1.000\"", "\"10,5\"", "\"9,75\"", "\"-0,5\""}},
      {"natural descending: empty cells still last",
       "\"1,TK_COMPBRKO\" --compare 1=natural:desc",
       {"", "a", "file9", "file10"},
       {"file10", "file9", "a", ""}},
      {"natural descending by its keyword",
       "\"1,TK_COMPDESNATURAL\"",
       {"", "a", "file9", "file10"},
       {"file10", "file9", "a", ""}},
      {"case: lower case first where the letters are equal",
       "\"1,TK_COMPBRKO\" --compare 1=case",
       {"B", "a", "b", "A"},
       {"a", "A", "b", "B"}},
      {"case descending by its keyword",
       "\"1,TK_COMPDESCASE\"",
       {"B", "a", "", "b", "A"},
       {"B", "b", "A", "a", ""}},
      {"numtext: a text that reads as a number is that number",
       "\"1,TK_COMPBRKO\" --compare 1=numtext",
       {"10", "abc", "\"007\"", "9", "", "4.10"},
       {"4.10", "\"007\"", "9", "10", "abc", ""}},
      {"numtext descending by its keyword",
       "\"1,TK_COMPDESNUMTEXT\"",
       {"10", "abc", "\"007\"", "9", "", "4.10"},
       {"abc", "10", "9", "\"007\"", "4.10", ""}},
      {"numtext by its rule, descending",
       "\"1,TK_COMPBRKO\" --compare 1=numtext:desc",
       {"10", "abc", "\"007\"", "9", "", "4.10"},
       {"abc", "10", "9", "\"007\"", "4.10", ""}},
      {"case ascending by its keyword",
       "\"1,TK_COMPASCCASE\"",
       {"B", "", "a", "b", "A"},
       {"a", "A", "b", "B", ""}},
      {"an automatic and a natural key on one column: typed cells and text",
       "\"1,TK_COMPASCAUTO 1,TK_COMPASCNATURAL\"",
       {"4.10", "10", "apple", "4.1", "9", "TRUE", "Apple"},
       {"TRUE", "4.1", "4.10", "9", "10", "apple", "Apple"}},
      // -k: the column by its header (exactly, else without regard to case or blanks around
      // it) or number, then :desc and one order.
      {"-k: the automatic order",
       "-k Key",
       {"10", "apple", "9", "TRUE", ""},
       {"TRUE", "9", "10", "apple", ""}},
      {"-k :desc", "-k 1:desc", {"10", "apple", "9", "", "TRUE"}, {"apple", "10", "9", "TRUE", ""}},
      {"-k :text: the automatic order on the text",
       "-k key:text",
       {"9", "apple", "100", "", "10", "TRUE"},
       {"10", "100", "9", "apple", "TRUE", ""}},
      {"-k :text:desc",
       "-k KEY:text:desc",
       {"9", "apple", "100", "", "10"},
       {"apple", "9", "100", "10", ""}},
      {"-k :natural",
       "-k Key:natural",
       {"file10", "File9", "file9", ""},
       {"File9", "file9", "file10", ""}},
      {"-k :desc:case, in either order",
       "-k Key:desc:case",
       {"B", "a", "", "b", "A"},
       {"B", "b", "A", "a", ""}},
      {"-k :numtext",
       "-k \" key \":NUMTEXT",
       {"10", "abc", "\"007\"", "9", "", "4.10"},
       {"4.10", "\"007\"", "9", "10", "abc", ""}},
      {"-k typed, then text on one column",
       "-k Key -k Key:text",
       {"4.10", "10", "4.1", "9"},
       {"4.1", "4.10", "9", "10"}},
      // The conveniences of a sort tool.
      {"-r: every key the other way round, empty cells still last",
       "-k Key -r",
       {"10", "apple", "9", "", "TRUE"},
       {"apple", "10", "9", "TRUE", ""}},
      {"--reverse on a descending key",
       "-k Key:desc --reverse",
       {"b", "", "a", "c"},
       {"a", "b", "c", ""}},
      {"-r on a --compare rule",
       "\"1,TK_COMPBRKO\" --compare 1=natural -r",
       {"file9", "", "file10"},
       {"file10", "file9", ""}},
      {"-u: the first row of each run of equal keys, in file order",
       "-k Key -u",
       {"b", "B", "a", "c", "A", "b"},
       {"a", "b", "c"}},
      {"-u -r", "-k Key -u -r", {"b", "B", "a", "c", "A", "b"}, {"c", "b", "a"}},
      {"--unique on numbers: 1.0, 01 and 1 are one number",
       "-k Key --unique",
       {"1.0", "2", "01", "1"},
       {"1.0", "2"}},
      {"-u on a natural key",
       "-k Key:natural -u",
       {"file10", "File9", "file9", "FILE10"},
       {"File9", "file10"}},
      {"--head 2", "-k Key --head 2", {"c", "a", "d", "b"}, {"a", "b"}},
      {"--head past the last row", "-k Key --head 9", {"b", "a"}, {"a", "b"}},
      {"--head 0: the header alone", "-k Key --head 0", {"b", "a"}, {}},
      {"-u, then --head", "-k Key -u --head 2", {"b", "a", "B", "c"}, {"a", "b"}},
      // Numbers as a spreadsheet shows them, a money column first; the bytes stay as written.
      {"automatic: money in the locale's currency, with thousands and accounting negatives",
       "-k Key --locale en-US",
       {"$99.00", "\"$10,000.00\"", "($20.00)", "\"$1,234.50\"", "$5.25"},
       {"($20.00)", "$5.25", "$99.00", "\"$1,234.50\"", "\"$10,000.00\""}},
      {"automatic: percent, blanks around numbers, times, unpadded ISO days",
       "-k Key --locale en-US",
       {"5%", "42 ", "12:30", "2024-3-5", " 41", "(20.00)", "2024-03-04 23:00", "0.5", "\"1,5\""},
       {"(20.00)", "5%", "0.5", "12:30", " 41", "42 ", "2024-03-04 23:00", "2024-3-5", "\"1,5\""}},
      {"automatic: another locale's currency and marks",
       "-k Key:desc --locale de-DE",
       {"\"1.234,50 \xE2\x82\xAC\"", "\"-5,25 \xE2\x82\xAC\"", "$5.25", "\"12,5\"", "99"},
       {"$5.25", "\"1.234,50 \xE2\x82\xAC\"", "99", "\"12,5\"", "\"-5,25 \xE2\x82\xAC\""}},
      {"automatic: short dates in the locale's order, or in the one --date-order gives",
       "-k Key --locale en-GB",
       {"14/03/2026", "02/03/2026", "3/14/2026"},
       {"02/03/2026", "14/03/2026", "3/14/2026"}},
      {"automatic: --date-order decides over the locale",
       "-k Key --locale en-GB --date-order mdy",
       {"14/03/2026", "02/03/2026", "3/14/2026"},
       {"02/03/2026", "3/14/2026", "14/03/2026"}},
      {"--na: missing-value words are empty cells, last, their text kept",
       "-k Key --na \"NA, N/A,null\"",
       {"NA", "3", "null", "\"N/A\"", "1", "na", ""},
       {"1", "3", "na", "NA", "null", "\"N/A\"", ""}},
      {"--na on a text key",
       "-k Key:natural:desc --na NA",
       {"NA", "b", "a", " NA "},
       {"b", "a", "NA", " NA "}},
      // The collation of the locale --locale names, whatever the system's.
      {"--locale: the collation of the chosen locale (a with diaeresis after z in Swedish)",
       "-k Key --locale sv-SE",
       {"\xC3\xA4pple", "zebra", "apple", "10"},
       {"10", "apple", "zebra", "\xC3\xA4pple"}},
      {"--locale: the same texts under English collation",
       "-k Key --locale en-GB",
       {"\xC3\xA4pple", "zebra", "apple", "10"},
       {"10", "apple", "\xC3\xA4pple", "zebra"}},
      {"--locale: natural, case and numtext keys in the chosen locale",
       "-k Key:natural -k Key:case:desc -k Key:numtext --locale da-DK",
       {"\xC3\xA6"
        "ble2",
        "zoo10",
        "\xC3\x86"
        "ble2",
        "zoo9",
        "\xC3\xA6"
        "ble10"},
       {"zoo9", "zoo10",
        "\xC3\x86"
        "ble2",
        "\xC3\xA6"
        "ble2",
        "\xC3\xA6"
        "ble10"}},
      {"--locale: numtext reads numbers with the chosen locale's decimal mark",
       "-k Key:numtext --locale de-DE",
       {"\"1,5\"", "abc", "\"0,25\"", "3"},
       {"\"0,25\"", "\"1,5\"", "3", "abc"}},
      // :ordinal: code points, no collation; numbers are text too; empty cells last.
      {"-k :ordinal: code-point order",
       "-k Key:ordinal",
       {"b", "B", "", "a-1", "\xC3\xA4", "Z9", "10", "9", "a"},
       {"10", "9", "B", "Z9", "a", "a-1", "b", "\xC3\xA4", ""}},
      {"-k :ordinal: texts alike in their first characters",
       "-k Key:ordinal",
       {"code-10", "code-9", "code\xC3\xA9", "code-1", "code", "code-10", "cod"},
       {"cod", "code", "code-1", "code-10", "code-10", "code-9", "code\xC3\xA9"}},
      {"-k :ordinal:desc, beside an automatic key on the same column",
       "-k Key:ordinal:desc -k Key",
       {"b", "", "\xF0\x9F\x98\x80", "\xEF\xBC\xA1", "b", "B"},
       {"\xF0\x9F\x98\x80", "\xEF\xBC\xA1", "b", "b", "B", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string input = "Key\r\n", expected = "Key\r\n";
    for (const std::string& field : c.fields) input += field + "\r\n";
    for (const std::string& field : c.sorted) expected += field + "\r\n";
    WriteAll(L"keys.csv", input);
    const Outcome run =
        RunTool((c.sort[0] == '-' ? "" : "--sort ") + c.sort + " --verbose keys.csv");
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.out, expected);
    // Nothing compared or copied by tkrun: the stage lines count no comparison or cell.
    const std::string rows = std::to_string(c.fields.size()) + " rows (";
    for (const char* stage : {"sorted", "arranged"}) {
      const std::string line = StageLine(run.err, stage);
      EXPECT_EQ(line.find(std::string(stage) + " " + rows), 7u) << run.err;
    }
    ExpectPlainWords(run.err);
  }
}

// A file as users have them: a byte-order mark, CRLF, version numbers and codes that read as
// numbers, long digit strings, a quoted cell over two lines, words beyond ASCII, empty cells.
const char* const kRealRows[] = {
    "Name,Version,Code,Digits,Note,When,Flag",
    "\xC3\x89mile,4.10,004,12345678901234567890,\"two\r\nlines\",2024-01-01 10:30,true",
    "zebra,10.10,+7,1e3,,2024-01-01,FALSE",
    "Stra\xC3\x9F"
    "e,2.0,007,,\"say \"\"hi\"\"\",,",
    "anna,4.1,0,00012,plain,2023-12-31T23:59,TRUE",
    "Bj\xC3\xB6rk,4.9,\"004\",9,x,,false",
};

std::string RealFile(std::initializer_list<int> rows) {
  std::string bytes = "\xEF\xBB\xBF";
  for (const int r : rows) bytes += std::string(kRealRows[r]) + "\r\n";
  return bytes;
}

// Files are read and written whole, a chunk at a time; what this build cannot hold is refused
// by its size before anything is allocated (no test makes files of gigabytes).
TEST(Files, ReadWholeInChunksAndRefuseWhatCannotBeHeld) {
  const std::string bytes = RealFile({0, 1, 2, 3, 4, 5});
  WriteAll(L"empty.csv", "");
  for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, tkr::kIoChunk}) {
    SCOPED_TRACE(chunk);
    std::FILE* out = _wfopen(L"chunks.csv", L"wb");
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(tkr::WriteChunks(out, bytes, chunk));
    EXPECT_EQ(std::fclose(out), 0);
    EXPECT_TRUE(ReadAll("chunks.csv") == bytes);
    std::string read, error;
    EXPECT_TRUE(tkr::ReadWholeFile(L"chunks.csv", read, error, chunk)) << error;
    EXPECT_TRUE(read == bytes);
    EXPECT_TRUE(tkr::ReadWholeFile(L"empty.csv", read, error, chunk) && read.empty());
  }
  std::string read, error;
  EXPECT_FALSE(tkr::ReadWholeFile(L"no_such_file.csv", read, error));
  EXPECT_FALSE(error.empty());

  const bool is64 = sizeof(void*) == 8;
  const std::uint64_t gib = std::uint64_t{1} << 30;
  struct Case {
    std::uint64_t size;
    bool holds32, holds64;
  } const cases[] = {
      {0, true, true},
      {1'300'000, true, true},
      {gib - 64, true, true},
      {5 * gib / 2, false, true},
      {tkr::kLargestCsv, false, true},
      {tkr::kLargestCsv + 1, false, false},
      {4 * gib + 1'300'000, false, false},
      {~std::uint64_t{0}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string refusal = tkr::TooLargeToHold(c.size);
    EXPECT_EQ(refusal.empty(), is64 ? c.holds64 : c.holds32) << refusal;
    if (!refusal.empty()) {
      // The 64-bit runner is named where it would help, and only there.
      EXPECT_EQ(refusal.find("use tkrun64.exe") != std::string::npos, c.holds64) << refusal;
    }
  }
}

TEST(Tkrun, RowsComeBackByteForByteInTheirOrder) {
  WriteAll(L"real.csv", RealFile({0, 1, 2, 3, 4, 5}));
  // By version ascending as numbers: 2.0, then 4.10 and 4.1 (equal: file order), 4.9, 10.10.
  const Outcome file = RunTool(
      "--sort \"2,TK_COMPASCAUTO\" --output real_sorted.csv "
      "--index real_index.txt real.csv");
  EXPECT_EQ(file.exitCode, 0u) << file.err;
  EXPECT_TRUE(ReadAll("real_sorted.csv") == RealFile({0, 3, 1, 4, 5, 2}));
  EXPECT_EQ(ReadAll("real_index.txt"), "3\r\n1\r\n4\r\n5\r\n2\r\n");
  // Standard output carries the same bytes; the progress lines go to standard error.
  const Outcome out = RunTool("--sort \"2,TK_COMPASCAUTO\" real.csv");
  EXPECT_EQ(out.exitCode, 0u) << out.err;
  EXPECT_TRUE(out.out == ReadAll("real_sorted.csv"));
  EXPECT_EQ(out.err, "");  // a run that works says nothing
  const Outcome verbose = RunTool("--sort \"2,TK_COMPASCAUTO\" --verbose real.csv");
  EXPECT_TRUE(verbose.out == out.out);
  EXPECT_EQ(StageLine(verbose.err, "read")
                .rfind("tkrun: read real.csv: 5 rows below the header, "
                       "7 columns (",
                       0),
            0u)
      << verbose.err;
  EXPECT_EQ(StageLine(verbose.err, "keys:"), "tkrun: keys: 'Version' ascending, automatic order");
  EXPECT_EQ(StageLine(verbose.err, "wrote").rfind("tkrun: wrote 5 rows to standard output (", 0),
            0u)
      << verbose.err;
  EXPECT_EQ(StageLine(verbose.err, "done:").rfind("tkrun: done: 5 rows in ", 0), 0u) << verbose.err;
  ExpectPlainWords(verbose.err);
  // Text keys by the collation of the automatic keys; a legacy file read as Windows-1252.
  const Outcome names = RunTool("--sort \"1,TK_COMPDESAUTO\" --quiet real.csv");
  EXPECT_TRUE(names.out == RealFile({0, 2, 3, 1, 5, 4})) << names.err;
  EXPECT_TRUE(names.err.empty());
  WriteAll(L"legacy.csv", "Name\r\nz\xE9ro\r\n\xC9t\xE9\r\nabc\r\n");
  const Outcome legacy = RunTool("--sort \"1,TK_COMPASCAUTO\" --encoding cp1252 legacy.csv");
  EXPECT_EQ(legacy.exitCode, 0u) << legacy.err;
  EXPECT_TRUE(legacy.out == "Name\r\nabc\r\n\xC9t\xE9\r\nz\xE9ro\r\n");

  // Files as they come: each written back in its own encoding, mark and separator, and the
  // separator found named when it is not a comma. Rows: a header, then keys 2, 10, 1.
  struct Case {
    const char* what;
    std::string options;
    std::vector<std::string> rows;         // the header first, as the file holds them
    const char* says;                      // on standard error
    std::vector<std::string> sorted = {};  // as written; none: rows 0, 3, 1, 2 as they are
  } const cases[] = {
      {"UTF-16 LE with its mark",
       "",
       {Utf16("Name;N\xC2\xB0\r\n", false), Utf16("\"b;\xC3\xA9\";2\r\n", false, false),
        Utf16("c;10\r\n", false, false), Utf16("\xE2\x82\xAC;1\r\n", false, false)},
       "fields separated by ';'"},
      {"UTF-16 BE with its mark, tabs",
       "--encoding cp1252",
       {Utf16("Name\tN\r\n", true), Utf16("b\t2\r\n", true, false), Utf16("c\t10\r\n", true, false),
        Utf16("\xF0\x9F\x8D\x90\t1\r\n", true, false)},
       "fields separated by tabs"},
      {"Windows-1250 by its number, bars given",
       "--encoding 1250 --separator \"|\"",
       {"Name|N\n", "\x8A|2\n", "\xB9|10\n", "z|1\n"},
       ""},
      {"UTF-8, a bar found, lines ending in CR",
       "",
       {"Name|N\r", "a|2\r", "b|10\r", "c|1\r"},
       "fields separated by '|'"},
      {"decimal commas suggested beside semicolons",
       "",
       {"a;b\r\n", "x;2\r\n", "y;10\r\n", "z;1\r\n"},
       "; decimal commas are numbers with --decimal ,"},
      {"--quiet: the separator found goes unsaid",
       "--quiet",
       {"a;b\r\n", "x;2\r\n", "y;10\r\n", "z;1\r\n"},
       ""},
      // Line ends: each row keeps its own; the file ends with one only when it did.
      {"mixed CRLF and LF", "", {"Name,N\r\n", "b,2\n", "c,10\r\n", "a,1\n"}, ""},
      {"no line end after the last row: it takes the file's first where others follow it",
       "",
       {"Name,N\n", "b,2\r\n", "c,10\n", "a,1"},
       "",
       {"Name,N\n", "a,1\n", "b,2\r\n", "c,10"}},
      {"CR, CRLF and none mixed, bars found",
       "",
       {"Name|N\r", "b|2\r\n", "c|10\r", "a|1"},
       "fields separated by '|'",
       {"Name|N\r", "a|1\r", "b|2\r\n", "c|10"}},
      // The sorted table in another encoding; -t and -o as --separator and --output.
      {"--output-encoding utf-16le: with its mark",
       "--output-encoding utf-16le",
       {"Name,N\r\n", "b,2\r\n", "c,10\r\n", "\xE2\x82\xAC,1\r\n"},
       "",
       {Utf16("Name,N\r\n", false), Utf16("\xE2\x82\xAC,1\r\n", false, false),
        Utf16("b,2\r\n", false, false), Utf16("c,10\r\n", false, false)}},
      {"Windows-1252 in, UTF-8 out",
       "--encoding cp1252 --output-encoding utf-8 --separator ;",
       {"Name;N\r\n", "\xE9;2\r\n", "c;10\r\n", "z;1\r\n"},
       "",
       {"Name;N\r\n", "z;1\r\n", "\xC3\xA9;2\r\n", "c;10\r\n"}},
      {"-t and -o", "-t ; -o -", {"a;b\r\n", "x;2\r\n", "y;10\r\n", "z;1\r\n"}, ""},
      // Comment and preamble lines: written first as they are, never sorted with the rows.
      {"--comment: comment lines at the top, wherever they stood, quotes and all",
       "--comment #",
       {"# from the \"register, 2026\r\nName\tN\r\n", "b\t2\r\n", "# in between\r\nc\t10\r\n",
        "a\t1"},
       "fields separated by tabs",
       {"# from the \"register, 2026\r\n# in between\r\nName\tN\r\n", "a\t1\r\n", "b\t2\r\n",
        "c\t10"}},
      {"--skip: preamble lines at the top, the header after them",
       "--skip 2",
       {"Report \"draft\r\n\r\nName,N\r\n", "b,2\r\n", "c,10\r\n", "a,1\r\n"},
       ""},
      {"UTF-16 with mixed line ends and none at the end",
       "--separator ,",
       {Utf16("Name,N\r\n", false), Utf16("b,2\n", false, false), Utf16("c,10\r\n", false, false),
        Utf16("a,1", false, false)},
       "",
       {Utf16("Name,N\r\n", false), Utf16("a,1\r\n", false, false), Utf16("b,2\n", false, false),
        Utf16("c,10", false, false)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteAll(L"encoded.csv", c.rows[0] + c.rows[1] + c.rows[2] + c.rows[3]);
    const Outcome run = RunTool("--sort \"2,TK_COMPASCAUTO\" " + c.options + " encoded.csv");
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    const std::vector<std::string> sorted =
        c.sorted.empty() ? std::vector<std::string>{c.rows[0], c.rows[3], c.rows[1], c.rows[2]}
                         : c.sorted;
    EXPECT_TRUE(run.out == sorted[0] + sorted[1] + sorted[2] + sorted[3]) << run.out;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    if (*c.says == '\0') {
      EXPECT_EQ(run.err, "");  // nothing guessed, or --quiet: nothing said
    }
  }

  // Standard input, read as bytes; "-" as --output is standard output.
  const Outcome piped = RunTool(L"--sort \"2,TK_COMPASCAUTO\" --output - -", L".", L"real.csv");
  EXPECT_EQ(piped.exitCode, 0u) << piped.err;
  EXPECT_TRUE(piped.out == ReadAll("real_sorted.csv"));
  WriteAll(L"utf16.csv", Utf16("k\r\n2\r\n1\r\n", true));
  const Outcome pipedUtf16 = RunTool(L"--sort \"1,TK_COMPASCAUTO\" -", L".", L"utf16.csv");
  EXPECT_TRUE(pipedUtf16.out == Utf16("k\r\n1\r\n2\r\n", true)) << pipedUtf16.err;

  // No data rows: written back as read, exit 0; the command line still checked on the header.
  const std::pair<std::string, const char*> noData[] = {
      {"Name,Amount\r\n", "1"}, {"", "1"},
      {"\xEF\xBB\xBF", "1"},    {Utf16("a;b\n", false), "1"},
      {"a,b\r\n1,2\r\n", "2"},  {"a,b\n1,2", "2"}};
  for (const auto& [bytes, header] : noData) {
    SCOPED_TRACE(bytes);
    WriteAll(L"no_data.csv", bytes);
    const Outcome none = RunTool("--sort \"2,TK_COMPDESAUTO\" --header " + std::string(header) +
                                 " --index no_data_index.txt no_data.csv");
    EXPECT_EQ(none.exitCode, 0u) << none.err;
    EXPECT_TRUE(none.out == bytes);
    EXPECT_EQ(ReadAll("no_data_index.txt"), "");
    const Outcome fromPipe =
        RunTool(L"--sort \"1,TK_COMPASCAUTO\" --quiet -", L".", L"no_data.csv");
    EXPECT_EQ(fromPipe.exitCode, 0u) << fromPipe.err;
    EXPECT_TRUE(fromPipe.out == bytes);
  }
  // A larger file, stable and --unstable: amounts with ties, quoted and unquoted, and empty
  // cells, ordered as the numbers they write (empties last, ties in file order when stable).
  std::mt19937 random(7);
  std::vector<std::pair<double, std::string>> rows;
  for (int r = 0; r < 30000; ++r) {
    const unsigned cents = random() % 4000;
    const bool empty = random() % 50 == 0, quoted = random() % 3 == 0;
    const std::string amount = std::to_string(cents / 100) + "." +
                               std::to_string(cents % 100 / 10) + std::to_string(cents % 10);
    const std::string field = empty ? "" : quoted ? "\"" + amount + "\"" : amount;
    rows.emplace_back(empty ? 1e300 : std::strtod(amount.c_str(), nullptr),
                      "r" + std::to_string(r) + "," + field + "\r\n");
  }
  std::string big = "Row,Amount\r\n";
  for (const auto& row : rows) big += row.second;
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string sorted = "Row,Amount\r\n";
  for (const auto& row : rows) sorted += row.second;
  WriteAll(L"big.csv", big);
  for (const char* mode : {"", "--unstable "}) {
    const Outcome run = RunTool(std::string(mode) + "-k Amount --quiet big.csv");
    EXPECT_EQ(run.exitCode, 0u) << mode << run.err;
    if (*mode == '\0') {
      EXPECT_TRUE(run.out == sorted);
    } else {  // equal amounts in any order: the amounts in order, every row there once
      std::vector<std::string> got, want;
      for (std::size_t at = 0, end; (end = run.out.find("\r\n", at)) != std::string::npos;
           at = end + 2) {
        got.push_back(run.out.substr(at, end - at));
      }
      for (std::size_t at = 0, end; (end = sorted.find("\r\n", at)) != std::string::npos;
           at = end + 2) {
        want.push_back(sorted.substr(at, end - at));
      }
      ASSERT_EQ(got.size(), want.size());
      auto amount = [](const std::string& line) {
        std::string field = line.substr(line.find(',') + 1);
        if (!field.empty() && field[0] == '"') field = field.substr(1, field.size() - 2);
        return field.empty() ? 1e300 : std::strtod(field.c_str(), nullptr);
      };
      for (std::size_t k = 0; k < got.size(); ++k) {
        EXPECT_EQ(amount(got[k]), amount(want[k])) << k;
      }
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      EXPECT_TRUE(got == want);
    }
  }
  // By the names, texts from both halves of the file (filled on two threads), descending.
  std::vector<std::string> lines;
  for (const auto& row : rows) lines.push_back(row.second);
  std::sort(lines.begin(), lines.end(), std::greater<>());
  std::string byName = "Row,Amount\r\n";
  for (const std::string& line : lines) byName += line;
  const Outcome named = RunTool("-k Row:desc --quiet big.csv");
  EXPECT_EQ(named.exitCode, 0u) << named.err;
  EXPECT_TRUE(named.out == byName);

  WriteAll(L"no_data.csv", "Name,Amount\r\n");
  const Outcome badKey = RunTool("--sort \"3,TK_COMPASCAUTO\" no_data.csv");
  EXPECT_EQ(badKey.exitCode, 2u);
  EXPECT_NE(badKey.err.find("column 3 is not a column of no_data.csv"), std::string::npos)
      << badKey.err;
}

// The short (8.3) name of `path`, as UTF-8; the path itself where the system gives none.
std::string ShortName(const std::wstring& path) {
  wchar_t shortName[MAX_PATH] = {};
  const DWORD n = GetShortPathNameW(path.c_str(), shortName, MAX_PATH);
  return n > 0 && n < MAX_PATH ? tkr::ToUtf8(shortName) : tkr::ToUtf8(path);
}

constexpr wchar_t kLongInput[] = L"long input name.csv";
constexpr char kLongInputBytes[] = "k\r\n2\r\n1\r\n";

// The input of the spelling rows, with a second name of each kind: made before the table,
// which asks the system for some of its names. The build makes the symbolic links where the
// system's call makes none (Wine).
void MakeLongInput() {
  WriteAll(kLongInput, kLongInputBytes);
  DeleteFileW(L"input_hard_link.csv");
  EXPECT_TRUE(CreateHardLinkW(L"input_hard_link.csv", kLongInput, nullptr));
  if (!Exists(L"input_symbolic_link.csv")) {
    CreateSymbolicLinkW(L"input_symbolic_link.csv", kLongInput, 0);
  }
  if (!Exists(L"folder_link"))
    CreateSymbolicLinkW(L"folder_link", L".", SYMBOLIC_LINK_FLAG_DIRECTORY);
  EXPECT_EQ(ReadAll(L"input_symbolic_link.csv"), kLongInputBytes);
  EXPECT_EQ(ReadAll(L"folder_link\\long input name.csv"), kLongInputBytes);
}

TEST(Tkrun, ClearErrors) {
  MakeLongInput();
  WriteAll(L"bad_quotes.csv", "a,b\r\n1,\"open\r\n");
  WriteAll(L"latin1.csv", "Name\r\nabc\r\nz\xE9ro\r\n");
  WriteAll(L"with_nul.csv", std::string("Name\r\nab\0c\r\n", 12));
  WriteAll(L"ragged.csv", "a,b,c\r\n2,x\r\n1,y,z\r\n");
  WriteAll(L"years.csv", "2023,2024\r\n1,2\r\n");
  WriteAll(L"twice.csv", "Name,City,name, city \r\nb,x,1,2\r\na,y,3,4\r\n");
  WriteAll(L"not_a.dll", std::string("MZ but nothing more\0\0", 21));
  WriteAll(L"zones.csv",
           "# zones, one a line, by code\r\n# see: the notes, below\r\ncode\tzone\r\n"
           "AD\tEurope/Andorra\r\nAE\tAsia/Dubai\r\n");
  WriteAll(L"uneven.csv",
           "a,1\r\nb\r\nc,3\r\nd,4,x\r\ne,5\r\nf\r\ng,7\r\nh,8,x\r\ni,9\r\nj\r\n"
           "k,1\r\nl\r\nm,3,x\r\nn,4\r\n");
  WriteAll(L"table.csv.gz", std::string("\x1F\x8B\x08\0\0\0\0\0\0\x03", 10));
  WriteAll(L"image.png", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16));
  WriteAll(L"book.xlsx", std::string("PK\x03\x04\x14\0\x06\0", 8));
  WriteAll(L"table.pdf", "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n");
  WriteAll(L"book.xls", "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
  WriteAll(L"mz.csv", "MZ,Code\r\nb,2\r\na,1\r\n");
  WriteAll(L"checked.csv", "k,v\r\n1,a\r\n2,b\r\n2,c\r\n1,d\r\n3,e\r\n");
  WriteAll(L"in_order.csv", "k\r\n1\r\n2\r\n2\r\n3\r\n");
  WriteAll(L"cjk.csv", "k\r\nb\r\n\xE6\x97\xA5\r\n");
  // A program file header for the other architecture: the library must match the runner.
  const bool is64 = sizeof(void*) == 8;
  std::string header(0x40, '\0');
  header[0] = 'M';
  header[1] = 'Z';
  header[0x3C] = 0x40;
  header += std::string("PE\0\0", 4) + (is64 ? "\x4C\x01" : std::string("\x64\x86", 2));
  WriteAll(L"other_bits.dll", header + std::string(0x200, '\0'));
  const std::string otherBits = std::string("'other_bits.dll' is a ") +
                                (is64 ? "32-bit DLL, and a 64-bit program loads only a 64-bit one"
                                      : "64-bit DLL, and a 32-bit program loads only a 32-bit one");
  struct Case {
    const char* what;
    std::string arguments;
    DWORD exitCode;
    const char* says;
  } const cases[] = {
      {"malformed CSV", "--sort \"1,TK_COMPASCAUTO\" bad_quotes.csv", 2,
       "bad_quotes.csv line 2: quoted field never closed"},
      {"missing file", "--sort \"1,TK_COMPASCAUTO\" no_such_file.csv", 2, "cannot read"},
      {"not UTF-8", "--sort \"1,TK_COMPASCAUTO\" latin1.csv", 2,
       "latin1.csv line 3, byte 12: not UTF-8 (a legacy file? try --encoding cp1252, or its code "
       "page's number)"},
      {"NUL byte", "--sort \"1,TK_COMPASCAUTO\" with_nul.csv", 2,
       "with_nul.csv line 2: a NUL byte"},
      {"blank before the separator", "--sort \"1 , TK_COMPASCAUTO\" examples\\files.csv", 2,
       "unknown keyword ',' in --sort entry '1 ,'; --sort takes TK_COMPASCAUTO, "
       "TK_COMPDESAUTO, TK_COMPBRKO, TK_COMPASCCASE, TK_COMPDESCASE, TK_COMPASCNATURAL, "
       "TK_COMPDESNATURAL, TK_COMPASCNUMTEXT, TK_COMPDESNUMTEXT"},
      {"column outside the table", "--sort \"9,TK_COMPASCAUTO\" examples\\files.csv", 2,
       "--sort entry '9,TK_COMPASCAUTO': column 9 is not a column of examples\\files.csv "
       "(columns 1 to 3)"},
      {"a column past 16 bits is read as the engine reads it",
       "--sort \"65540,TK_COMPASCAUTO\" examples\\files.csv", 2,
       "--sort entry '65540,TK_COMPASCAUTO': column 4 is not a column of examples\\files.csv "
       "(columns 1 to 3); the engine keeps the low 16 bits of a column number: 65540 is column 4"},
      {"an export column as the engine reads it",
       "--sort \"1,TK_COMPASCAUTO\" --export \"1,+0065540,TK_EXPORTAUTO\" --export-to "
       "examples\\summary.csv examples\\staff.csv",
       2,
       "--export entry '1,+0065540,TK_EXPORTAUTO': column 4 is not a column of "
       "examples\\summary.csv (columns 1 to 3); the engine keeps the low 16 bits of a column "
       "number: 65540 is column 4"},
      {"the bad entry after good ones of two words and of one",
       "--sort \"2, TK_COMPASCAUTO 65537 TK_COMPDESAUTO 1,TK_COMPASCNATURAL 3,TK_COMPUP\" "
       "examples\\files.csv",
       2, "unknown keyword 'TK_COMPUP' in --sort entry '3,TK_COMPUP'"},
      // -k: unknown, twice-found and header-less names are refused with the columns there are.
      {"-k: no such column", "-k Size examples\\files.csv", 2,
       "-k Size: no column of examples\\files.csv is named 'Size'; its columns are 1 'File', "
       "2 'Bytes', 3 'Modified'"},
      {"-k: an unknown order reads as part of the name", "-k File:alphabetical examples\\files.csv",
       2,
       "(after the column, -k takes :desc and one of :natural, :case, :numtext, :text, :ordinal)"},
      {"-k: a name found twice", "-k city twice.csv", 2,
       "-k city: 'city' names columns 2 and 4 of twice.csv: give the column's number; its columns "
       "are 1 'Name', 2 'City', 3 'name', 4 ' city '"},
      {"-k: a name exactly once wins over others in other case", "-k Name twice.csv", 0, ""},
      {"-k: a name without a header row", "-k Bytes --header 0 examples\\files.csv", 2,
       "-k Bytes: a column named by its header needs a header row, and --header 0 says "
       "examples\\files.csv has none: give the column's number (1 to 3)"},
      {"-k: a column number past the last", "-k 4 examples\\files.csv", 2,
       "-k 4: column 4 is not a column of examples\\files.csv (columns 1 to 3)"},
      {"-k: a number is a column number, even where a header is that number", "-k 2024 years.csv",
       2,
       "-k 2024: column 2024 is not a column of years.csv (columns 1 to 2); the column named "
       "2024 is column 2"},
      {"-k: two orders", "-k 1:case:natural examples\\files.csv", 2,
       "-k 1:case:natural: one order per key: :case or :natural"},
      {"-k: :desc twice", "-k 1:desc:DESC examples\\files.csv", 2, ":desc is given twice"},
      {"-k and --sort", "-k 1 --sort \"2,TK_COMPASCAUTO\" examples\\files.csv", 2,
       "-k and --sort both give the sort keys"},
      {"-k and --compare", "-k 1 --compare 1=length examples\\files.csv", 2,
       "a -k key takes its order after the column"},
      // The library: where it was looked for, what is wrong with it, which one is needed.
      {"no such library", "-k 1 --dll no_such.dll examples\\files.csv", 2,
       "cannot use the sorting library: there is no file 'no_such.dll'"},
      {"a library that is no program file", "-k 1 --dll not_a.dll examples\\files.csv", 2,
       "'not_a.dll' is not a DLL (no Windows program file header)"},
      {"a library of the other architecture", "-k 1 --dll other_bits.dll examples\\files.csv", 2,
       otherBits.c_str()},
      {"a library without TKselect", "-k 1 --dll version.dll examples\\files.csv", 2,
       "'version.dll' loads but has no function TKselect"},
      {"keyword of another line",
       "--sort \"1,TK_COMPASCAUTO\" --move \"1,TK_COMPBRKO\" "
       "examples\\files.csv",
       2, "unknown keyword 'TK_COMPBRKO' in --move entry"},
      {"no keyword", "--sort \"1,TK_COMPASCAUTO 2\" examples\\files.csv", 2,
       "--sort entry '2' has no keyword after its column"},
      // Each refusal of the parser, with the entry as the line writes it.
      {"no column number", "--sort \"1,TK_COMPASCAUTO x,TK_COMPBRKO\" examples\\files.csv", 2,
       "--sort entry 'x,TK_COMPBRKO' does not start with a column number"},
      {"no destination column",
       "--sort \"1,TK_COMPASCAUTO\" --export \"1,  x,TK_EXPORTAUTO\" --export-to "
       "examples\\summary.csv examples\\staff.csv",
       2, "--export entry '1,  x,TK_EXPORTAUTO' has no destination column after its source column"},
      {"no keyword after the columns",
       "--sort \"1,TK_COMPASCAUTO\" --export \"1,2\" --export-to examples\\summary.csv "
       "examples\\staff.csv",
       2, "--export entry '1,2' has no keyword after its columns"},
      {"export column past the destination",
       "--sort \"1,TK_COMPASCAUTO\" --export "
       "\"1,4,TK_EXPORTAUTO\" --export-to examples\\summary.csv examples\\staff.csv",
       2, "column 4 is not a column of examples\\summary.csv (columns 1 to 3)"},
      {"compare rule on an automatic key",
       "--sort \"1,TK_COMPASCAUTO\" --compare 1=natural "
       "examples\\files.csv",
       2, "column 1 is an automatic key"},
      {"compare rule on a key the engine compares",
       "--sort \"1,TK_COMPASCNATURAL\" --compare 1=length examples\\files.csv", 2,
       "--compare 1=length: column 1 is a key the engine compares (1,TK_COMPASCNATURAL); mark "
       "it TK_COMPBRKO"},
      {"a keyword past the six",
       "--sort \"1,TK_COMPDESNUMTEXT 2,TK_COMPASCNUMBER\" "
       "examples\\files.csv",
       2, "unknown keyword 'TK_COMPASCNUMBER' in --sort entry"},
      {"unwritable output",
       "--sort \"1,TK_COMPASCAUTO\" --output no_such_folder\\x.csv "
       "examples\\files.csv",
       2, "cannot write 'no_such_folder\\x.csv'"},
      {"no sort command", "examples\\files.csv", 2, "no --sort"},
      {"unknown option", "--sortt x examples\\files.csv", 2, "unknown option"},
      {"bad compare rule", "--sort \"1,TK_COMPBRKO\" --compare 1=alphabet examples\\files.csv", 2,
       "--compare takes COLUMN=RULE with RULE natural, case, numtext, length or exact"},
      // --unstable never ends in the depth limit: a layout too deep for it is sorted stable.
      {"the depth limit, unstable: sorted in the stable order instead",
       "--sort \"1,TK_COMPASCAUTO\" --unstable alternating.csv", 0,
       "the rows' own order is too deep for --unstable's quick pass; sorting them in the "
       "default, stable order instead"},
      {"ragged rows are padded and said so, by line", "--sort \"1,TK_COMPASCAUTO\" ragged.csv", 0,
       "tkrun: ragged.csv: line 2 has 2 where the header has 3 fields; missing cells count as "
       "empty\r\n"},
      {"help", "--help", 0, ""},
      {"comment lines read as rows: their lines named, --comment suggested", "-k 1 zones.csv", 0,
       "zones.csv: line 3 has 2, line 4 has 2, line 5 has 2 where the header has 1 field; missing "
       "cells count as empty; lines that start with # are rows unless --comment # says they are "
       "comments"},
      {"more lines that differ are counted", "-k 1 --header 0 uneven.csv", 0,
       "uneven.csv: line 2 has 1, line 4 has 3, line 6 has 1, line 8 has 3, line 10 has 1 (and 2 "
       "more) where most rows have 2 fields"},
      {"--comment of two characters", "-k 1 --comment ## same.csv", 2,
       "--comment takes one character that starts a comment line, such as #, not '##'"},
      {"--skip of no number", "-k 1 --skip all same.csv", 2,
       "--skip takes a number of lines, not 'all'"},
      // --check writes nothing: exit 1 naming the first line out of order, else 0.
      {"--check: the first line out of order", "-k 1 --check checked.csv", 1,
       "tkrun: checked.csv: line 5 is out of order: it sorts before line 4 above it\r\n"},
      {"--check: in order, equal keys too", "-k 1 --check in_order.csv", 0, ""},
      {"-c -r", "-k 1 -r -c in_order.csv", 1,
       "in_order.csv: line 3 is out of order: it sorts before line 2 above it"},
      {"--head of no number", "-k 1 --head -1 same.csv", 2,
       "--head takes a number of rows, not '-1'"},
      {"--unique with --export",
       "-k 1 -u --export \"1,1,TK_EXPORTAUTO\" --export-to examples\\summary.csv same.csv", 2,
       "--unique writes some of the sorted rows, and --export fills the destination from all of "
       "them"},
      {"-t of two characters", "-k 1 -t ab same.csv", 2,
       "-t takes tab, \\t or one character other than a quote or a line break"},
      {"--output-encoding without a form for a line", "-k 1 --output-encoding cp1252 cjk.csv", 2,
       "--output-encoding: line 3 of cjk.csv holds text that has no form in code page 1252; write "
       "it as utf-8 or utf-16le"},
      {"--output-encoding of no kind", "-k 1 --output-encoding latin-9 same.csv", 2,
       "--output-encoding takes utf-8, utf-16le, utf-16be, cp1252 or a Windows code page number"},
      // Files that are no text are named as what they look like.
      {"a gzip file", "-k 1 table.csv.gz", 2,
       "table.csv.gz looks like a gzip file, not a text table; decompress it first"},
      {"a PNG image", "-k 1 image.png", 2, "image.png looks like a PNG image, not a text table"},
      {"a workbook", "-k 1 book.xlsx", 2,
       "book.xlsx looks like a zip file (an .xlsx workbook is one), not a text table; unpack it, "
       "or save the workbook as CSV"},
      {"a PDF document", "-k 1 table.pdf", 2, "table.pdf looks like a PDF document"},
      {"an old workbook", "-k 1 book.xls", 2,
       "book.xls looks like an Office file of the older kind (an .xls workbook is one), not a "
       "text table; save it as CSV"},
      {"a program", "-k 1 not_a.dll", 2, "not_a.dll looks like a Windows program or library"},
      {"a table whose first letters are a program's mark is a table", "-k 1 mz.csv", 0, ""},
      {"a separator of two characters", "--sort \"1,TK_COMPASCAUTO\" --separator ab same.csv", 2,
       "--separator takes tab, \\t or one character other than a quote or a line break (such "
       "as ; or |), not 'ab'"},
      {"an unknown encoding", "--sort \"1,TK_COMPASCAUTO\" --encoding latin-9 same.csv", 2,
       "--encoding takes utf-8, utf-16le, utf-16be, cp1252 or a Windows code page number"},
      {"an encoding whose rows cannot move",
       "--sort \"1,TK_COMPASCAUTO\" --encoding 65000 same.csv", 2,
       "--encoding 65000: code page 65000 changes meaning with escapes"},
      {"a decimal mark of neither kind", "--sort \"1,TK_COMPASCAUTO\" --decimal ; same.csv", 2,
       "--decimal takes , or ., not ';'"},
      {"a header alone is written back", "--sort \"1,TK_COMPASCAUTO\" --verbose header_only.csv", 0,
       "0 rows below the header: written as read"},
      // No output but the sorted table itself may name the input, however it is spelt.
      {"--index is the input", "--sort \"1,TK_COMPASCAUTO\" --index same.csv same.csv", 2,
       "--index 'same.csv' is the input file 'same.csv'"},
      {"--index is the input, in capitals",
       "--sort \"1,TK_COMPASCAUTO\" --index .\\SAME.CSV same.csv", 2,
       "--index '.\\SAME.CSV' is the input file"},
      {"--export-out is the input",
       "--sort \"1,TK_COMPASCAUTO\" --export \"1,1,TK_EXPORTAUTO\" --export-to "
       "examples\\summary.csv "
       "--export-out sub\\..\\same.csv same.csv",
       2, "--export-out 'sub\\..\\same.csv' is the input file"},
      {"--export-out is the input, by its full path",
       "--sort \"1,TK_COMPASCAUTO\" --export \"1,1,TK_EXPORTAUTO\" --export-to "
       "examples\\summary.csv --export-out \"" +
           FullPath(L"same.csv") + "\" .\\same.csv",
       2, "is the input file '.\\same.csv'"},
      {"--export-to written back is the input",
       "--sort \"1,TK_COMPASCAUTO\" --export \"1,1,TK_EXPORTAUTO\" --export-to Same.csv same.csv",
       2, "--export-to (written back, as no --export-out is given) 'Same.csv' is the input file"},
      // Nor may two outputs name one file, or an output the destination file only read.
      {"--index is --output",
       "--sort \"1,TK_COMPASCAUTO\" --output out_error.csv --index .\\OUT_ERROR.csv same.csv", 2,
       "--output 'out_error.csv' and --index '.\\OUT_ERROR.csv' name the same file"},
      // However the input is spelt: its short name, the long-path and device prefixes, the
      // trailing dots and blanks the system drops, a second name (hard or symbolic link).
      {"--index is the input by its short name",
       "--sort \"1,TK_COMPASCAUTO\" --index " + ShortName(kLongInput) + " \"long input name.csv\"",
       2, "is the input file"},
      {"--index is the input with the long-path prefix",
       "--sort \"1,TK_COMPASCAUTO\" --index \"\\\\?\\" + FullPath(kLongInput) +
           "\" \"long input name.csv\"",
       2, "is the input file"},
      {"--index is the input with the device prefix",
       "--sort \"1,TK_COMPASCAUTO\" --index \"\\\\.\\" + FullPath(kLongInput) +
           "\" \"long input name.csv\"",
       2, "is the input file"},
      {"--index is the input with a trailing dot",
       "--sort \"1,TK_COMPASCAUTO\" --index \"long input name.csv.\" \"long input name.csv\"", 2,
       "is the input file"},
      {"--index is the input with trailing blanks and dots",
       "--sort \"1,TK_COMPASCAUTO\" --index \"long input name.csv . \" \"long input name.csv\"", 2,
       "is the input file"},
      {"--export-out is a hard link to the input",
       "--sort \"1,TK_COMPASCAUTO\" --export \"1,1,TK_EXPORTAUTO\" --export-to "
       "examples\\summary.csv --export-out input_hard_link.csv \"long input name.csv\"",
       2, "is the input file"},
      {"--index is a symbolic link to the input",
       "--sort \"1,TK_COMPASCAUTO\" --index input_symbolic_link.csv \"long input name.csv\"", 2,
       "is the input file"},
      {"--index is the input through a junction to its folder",
       "--sort \"1,TK_COMPASCAUTO\" --index \"folder_link\\long input name.csv\" "
       "\"long input name.csv\"",
       2, "is the input file"},
      {"--output is the --export-to file, which is only read",
       "--sort \"1,TK_COMPASCAUTO\" --export \"1,1,TK_EXPORTAUTO\" --export-to "
       "examples\\summary.csv --export-out out_summary_error.csv --output examples\\summary.csv "
       "same.csv",
       2, "--output 'examples\\summary.csv' is the --export-to file"},
      {"--locale: a name the system does not know", "-k 1 --locale xx-YY examples\\files.csv", 2,
       "--locale takes a Windows locale name such as en-US, de-DE or fr-FR; 'xx-YY' is none this "
       "system knows"},
      {"--locale: an empty name is no choice of the system's",
       "-k 1 --locale \"\" examples\\files.csv", 2,
       "--locale takes a locale name such as en-US, not ''"},
      {"--locale: a language's name in words", "-k 1 --locale english examples\\files.csv", 2,
       "'english' is none this system knows"},
      {"--date-order: only the three orders", "-k 1 --date-order DM examples\\files.csv", 2,
       "--date-order takes DMY, MDY or YMD, not 'DM'"},
      {"--na: no word", "-k 1 --na \" , \" examples\\files.csv", 2,
       "--na takes words separated by commas, such as NA,N/A,null, not ' , '"},
      {"which locale ruled: one --locale names, canonically, its texts ranked here",
       "-k 1 --verbose --locale DE-de examples\\files.csv", 0,
       "locale de-DE (--locale): texts in its order, ranked by tkrun (the library follows the "
       "system's "},
      {"which locale ruled: what --date-order and --decimal decided over it",
       "-k 1 --verbose --locale fr-FR --date-order ymd --decimal . examples\\files.csv", 0,
       ", short dates year first (2026/03/14) by --date-order, decimal point by --decimal, "
       "currency \xE2\x82\xAC"},
      {"which locale ruled: the system's", "-k 1 --verbose examples\\files.csv", 0,
       ", the system's (--locale chooses another): texts in its order, short dates "},
      {"-k :ordinal with another order", "-k File:ordinal:case examples\\files.csv", 2,
       "-k File:ordinal:case: one order per key: :ordinal or :case"},
  };
  const std::string same = "k\r\n2\r\n1\r\n";
  WriteAll(L"same.csv", same);
  WriteAll(L"header_only.csv", "k\r\n");
  std::string alternating = "Flag\r\n";
  for (int i = 0; i < 2000; ++i) alternating += i % 2 == 0 ? "TRUE\r\n" : "FALSE\r\n";
  WriteAll(L"alternating.csv", alternating);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteFileW(L"out_error.csv");
    const bool named = c.arguments.find("--output") != std::string::npos;
    const Outcome run = RunTool(c.arguments + (named ? "" : " --output out_error.csv"));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    if (c.exitCode != 0) {
      EXPECT_FALSE(Exists(L"out_error.csv"));  // a refusal writes nothing
    }
    EXPECT_TRUE(ReadAll("same.csv") == same) << "the input was replaced";
    EXPECT_EQ(ReadAll(kLongInput), kLongInputBytes) << "the input was replaced";
    WriteAll(L"same.csv", same);
  }
  // The sorted table itself may replace the input: the file is sorted in place.
  const Outcome inPlace = RunTool("--sort \"1,TK_COMPASCAUTO\" --output .\\SAME.csv same.csv");
  EXPECT_EQ(inPlace.exitCode, 0u) << inPlace.err;
  EXPECT_EQ(ReadAll("same.csv"), "k\r\n1\r\n2\r\n");
  const Outcome help = RunTool("--help");
  EXPECT_NE(help.out.find("usage: tkrun"), std::string::npos);
  const Outcome version = RunTool("--version");
  EXPECT_EQ(version.out.rfind("tkrun " TK_PROJECT_VERSION, 0), 0u) << version.out;
  // Stable, the same file and two sorted runs of distinct keys one after the other both sort:
  // the shuffle keeps the depth near 2 log2 n whatever the layout.
  EXPECT_EQ(RunTool("--sort \"1,TK_COMPASCAUTO\" --quiet alternating.csv").exitCode, 0u);
  std::string runs = "Key\r\n";
  for (int i = 0; i < 3000; ++i)
    runs += std::to_string(i < 1500 ? 2 * i : 2 * (i - 1500) + 1) + "\r\n";
  WriteAll(L"two_runs.csv", runs);
  std::string expected = "Key\r\n";
  for (int i = 0; i < 3000; ++i) expected += std::to_string(i) + "\r\n";
  for (const char* mode : {"", "--unstable "}) {
    SCOPED_TRACE(mode);
    const Outcome sorted =
        RunTool(std::string("--sort \"1,TK_COMPASCAUTO\" ") + mode + "--quiet two_runs.csv");
    EXPECT_EQ(sorted.exitCode, 0u) << sorted.err;
    EXPECT_TRUE(sorted.out == expected);
    EXPECT_EQ(sorted.err.find("714"), std::string::npos) << sorted.err;
  }
  // 100,000 random rows keyed by a column of 15 values: ordinary data, which --unstable once
  // ended in 714.
  std::mt19937 draw(20261207);
  std::string fifteen = "Group,Row\r\n";
  for (int i = 0; i < 100000; ++i) {
    fifteen += std::to_string(draw() % 15) + "," + std::to_string(i) + "\r\n";
  }
  WriteAll(L"fifteen.csv", fifteen);
  const Outcome grouped =
      RunTool("--sort \"1,TK_COMPASCAUTO\" --unstable --output fifteen_sorted.csv fifteen.csv");
  EXPECT_EQ(grouped.exitCode, 0u) << grouped.err;
  EXPECT_EQ(grouped.err.find("714"), std::string::npos) << grouped.err;
  CsvRows rows;
  std::string error;
  ASSERT_TRUE(tkr::ParseCsv(ReadAll(L"fifteen_sorted.csv"), L',', rows, error)) << error;
  ASSERT_EQ(rows.size(), 100001u);
  std::vector<bool> seen(100000, false);
  for (std::size_t r = 1; r < rows.size(); ++r) {
    if (r > 1) {
      ASSERT_LE(std::stoi(rows[r - 1][0].text), std::stoi(rows[r][0].text)) << r;
    }
    seen[static_cast<std::size_t>(std::stoi(rows[r][1].text))] = true;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 100000);
  // A file laid out as the inverse of the order the stable mode once drew with a seed the
  // file could know (the row count: 0x7EC5E1 ^ rows), so that the engine met two sorted runs
  // and reached the depth limit. The order is drawn afresh on every run now: the file sorts.
  const std::uint32_t n = 1100;
  std::vector<std::uint32_t> placed(n + 1);  // array row -> file row, as the runner laid them
  for (std::uint32_t r = 0; r <= n; ++r) placed[r] = r;
  std::mt19937 known(0x7EC5E1u ^ (n + 1));
  std::shuffle(placed.begin() + 1, placed.end(), known);
  std::vector<std::uint32_t> keys(n + 1);
  for (std::uint32_t r = 1; r <= n; ++r) {
    keys[placed[r]] = r <= n / 2 ? 2 * (r - 1) : 2 * (r - 1 - n / 2) + 1;
  }
  std::string crafted = "Key\r\n";
  expected = "Key\r\n";
  for (std::uint32_t r = 1; r <= n; ++r) {
    crafted += std::to_string(keys[r]) + "\r\n";
    expected += std::to_string(r - 1) + "\r\n";
  }
  WriteAll(L"crafted.csv", crafted);
  const Outcome craftedRun = RunTool("--sort \"1,TK_COMPASCAUTO\" --quiet crafted.csv");
  EXPECT_EQ(craftedRun.exitCode, 0u) << craftedRun.err;
  EXPECT_TRUE(craftedRun.out == expected);
  EXPECT_EQ(craftedRun.err.find("--unstable"), std::string::npos) << craftedRun.err;
  // Whatever order is drawn, ties keep their file order: two runs write the same bytes.
  std::string ties = "Flag,Row\r\n", trueRows, falseRows;
  for (int i = 0; i < 2000; ++i) {
    const std::string row = (i % 3 == 0 ? "TRUE," : "FALSE,") + std::to_string(i) + "\r\n";
    ties += row;
    (i % 3 == 0 ? trueRows : falseRows) += row;
  }
  WriteAll(L"ties.csv", ties);
  for (int run = 0; run < 2; ++run) {
    const Outcome tied = RunTool("--sort \"1,TK_COMPASCAUTO\" --quiet ties.csv");
    EXPECT_EQ(tied.exitCode, 0u) << tied.err;
    EXPECT_TRUE(tied.out == "Flag,Row\r\n" + trueRows + falseRows);  // TRUE counts as -1
  }
}

// The console's progress line: data rows counted without the header, and the sort, which
// says nothing until it ends, at its share of the time estimated for it.
TEST(Tkrun, TheProgressLine) {
  struct Case {
    const char* what;
    const char* phase;
    std::uint64_t total, done;
    bool sorting;
    std::uint64_t breakOuts;
    double phaseSeconds, estimate, seconds;
    const char* line;
  } const cases[] = {
      {"reading", "reading", 10, 5, false, 0, 0, 0, 3, "tkrun: reading row 5 of 10 (50%), 3 s"},
      {"the sort at a quarter of its estimate", "sorting", 2500000, 0, true, 0, 14, 56, 20,
       "tkrun: sorting 2500000 rows: about 25%, 20 s"},
      {"the sort past its estimate", "sorting", 2500000, 0, true, 0, 80, 56, 86,
       "tkrun: sorting 2500000 rows: about 99%, 86 s"},
      {"comparisons answered by rules", "sorting", 300, 0, true, 1234, 1, 4, 3,
       "tkrun: sorting 300 rows: about 25%, 1234 comparisons answered by --compare rules, 3 s"},
      {"no estimate", "sorting", 300, 0, true, 0, 1, 0, 3, "tkrun: sorting 300 rows, 3 s"},
      {"writing", "writing", 10, 0, false, 0, 0, 0, 3, "tkrun: writing 10 rows, 3 s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(tkrun::ProgressText(c.phase, c.total, c.done, c.sorting, c.breakOuts, c.phaseSeconds,
                                  c.estimate, c.seconds),
              c.line);
  }
}

// The temporary files in the current folder: what a run left behind.
std::vector<std::string> PartFilesLeft() {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(L"*tkrun-part*", &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(tkr::ToUtf8(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

// Every output goes through a temporary file the run creates anew beside it: an input named
// as the old temporary name was is never taken for it, a failed write leaves no output and
// deletes no file but its own, and none is left on any way out.
TEST(Tkrun, OutputsGoThroughATemporaryFileOfTheirOwn) {
  const std::string input = "k\r\n2\r\n1\r\n";
  const struct {
    const char* what;
    const wchar_t* inputName;
    const char* arguments;
    bool outputIsFolder;  // the output cannot be replaced
    DWORD exitCode;
    const char* says;
  } cases[] = {
      {"the input has the output's old temporary name", L"part_out.csv.tkrun-part",
       "--output part_out.csv part_out.csv.tkrun-part", false, 0, ""},
      {"and the output cannot be replaced", L"part_out.csv.tkrun-part",
       "--output part_out.csv part_out.csv.tkrun-part", true, 2, "cannot write 'part_out.csv'"},
      {"the input has the index's old temporary name", L"part_index.tkrun-part",
       "--index part_index --output part_out.csv part_index.tkrun-part", false, 0, ""},
      {"the index cannot be replaced", L"part_in.csv",
       "--index part_index --output part_out.csv part_in.csv", true, 2,
       "cannot write 'part_index'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteFileW(L"part_out.csv");
    RemoveDirectoryW(L"part_out.csv");
    DeleteFileW(L"part_index");
    RemoveDirectoryW(L"part_index");
    if (c.outputIsFolder) {
      ASSERT_TRUE(CreateDirectoryW(
          std::strstr(c.arguments, "--index") ? L"part_index" : L"part_out.csv", nullptr));
    }
    WriteAll(c.inputName, input);
    const Outcome run = RunTool(std::string("--sort \"1,TK_COMPASCAUTO\" --quiet ") + c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(ReadAll(c.inputName), input) << "the input was lost";
    if (c.exitCode == 0) {
      EXPECT_EQ(ReadAll(L"part_out.csv"), "k\r\n1\r\n2\r\n");
    }
    std::vector<std::string> left = PartFilesLeft();
    left.erase(std::remove(left.begin(), left.end(), tkr::ToUtf8(c.inputName)), left.end());
    EXPECT_EQ(left, std::vector<std::string>{});
    DeleteFileW(c.inputName);
  }
  RemoveDirectoryW(L"part_out.csv");
  RemoveDirectoryW(L"part_index");
}

// A reader that closes standard output before the table is written (tkrun ... | head) ends
// the run quietly (exit status 3), as a filter ends.
TEST(Tkrun, AClosedPipeEndsTheRunQuietly) {
  std::string rows = "k\r\n";
  for (int i = 0; i < 20000; ++i) rows += std::to_string(i % 97) + "\r\n";
  WriteAll(L"pipe_in.csv", rows);
  // The pipe as its reader leaves it: an anonymous pipe whose reading end is closed, and the
  // server's end of a named pipe it disconnected ("not connected", which a Unix pipe closed by
  // `| head` also reads as under Wine).
  const struct {
    const wchar_t* options;
    bool named;
  } cases[] = {{L"--quiet", false}, {L"", false}, {L"--verbose", false}, {L"", true}};
  for (const auto& [options, named] : cases) {
    SCOPED_TRACE(tkr::ToUtf8(options) + (named ? " named" : " anonymous"));
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE reader = nullptr, writer = nullptr;
    if (named) {
      const wchar_t* name = L"\\\\.\\pipe\\tkrun_test_closed_reader";
      writer = CreateNamedPipeW(name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                4096, 0, &inherit);
      ASSERT_NE(writer, INVALID_HANDLE_VALUE);
      reader = CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(reader, INVALID_HANDLE_VALUE);
      DisconnectNamedPipe(writer);
    } else {
      ASSERT_TRUE(CreatePipe(&reader, &writer, &inherit, 0));
    }
    CloseHandle(reader);  // the reader is gone before the first byte
    const Outcome run =
        RunTool(std::wstring(L"--sort \"1,TK_COMPASCAUTO\" ") + options + L" pipe_in.csv", L".",
                L"", writer);
    CloseHandle(writer);
    EXPECT_EQ(run.exitCode, 3u) << run.err;
    // --verbose says the stages before the table's write; nobody says the write failed.
    if (std::wcscmp(options, L"--verbose") != 0) {
      EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(run.err.find("cannot write"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("wrote"), std::string::npos) << run.err;
    EXPECT_EQ(PartFilesLeft(), std::vector<std::string>{});
  }
}

// A run interrupted from the console (Ctrl-C, Ctrl-Break, the window closed) while it writes
// its output leaves no temporary file behind, and the input and the output as they were. The
// run shares this test's console; where there is none to send the event on (Wine without a
// console), the test says so and skips.
TEST(Tkrun, AnInterruptedRunLeavesNoTemporaryFile) {
  std::string rows = "k,text\r\n";
  for (int i = 0; i < 400000; ++i) rows += std::to_string(i % 1000) + ",a field of some length\r\n";
  WriteAll(L"interrupted_in.csv", rows);
  WriteAll(L"interrupted_out.csv", "before\r\n");
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = self;
  command = L"\"" + command.substr(0, command.find_last_of(L"\\/") + 1) + TK_RUNNER_NAME +
            L"\" -k 1 --quiet --output interrupted_out.csv interrupted_in.csv";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                             CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process));
  // Interrupted once its temporary output is there (or after 20 s, whatever it is doing).
  for (int waited = 0; waited < 20000 && PartFilesLeft().empty(); waited += 5) {
    if (WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0) break;
  }
  const bool writing = !PartFilesLeft().empty();
  const bool sent = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process.dwProcessId) != FALSE;
  const bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(process.hProcess, 9);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  if (!sent || !writing) {
    GTEST_SKIP() << "no console event could be sent while the run wrote (sent " << sent
                 << ", writing " << writing << ", error " << GetLastError() << ")";
  }
  EXPECT_TRUE(ended);
  EXPECT_NE(exitCode, 0u) << "the run was not interrupted";
  EXPECT_EQ(PartFilesLeft(), std::vector<std::string>{});
  EXPECT_EQ(ReadAll(L"interrupted_out.csv"), "before\r\n");
  EXPECT_TRUE(ReadAll(L"interrupted_in.csv") == rows);
}

// A disk that fills up while an output is written: the reason named, the input and the output
// as they were, nothing partial left, a failing exit status. It needs a folder on a nearly
// full volume, named in TK_FULL_DISK_FOLDER (scripts: a small RAM disk mounted for the run).
TEST(Tkrun, AFullDiskIsNamedAndLeavesNothingBehind) {
  const char* folder = std::getenv("TK_FULL_DISK_FOLDER");
  if (folder == nullptr || *folder == '\0') {
    GTEST_SKIP() << "no nearly full folder named in TK_FULL_DISK_FOLDER";
  }
  std::string rows = "k,text\r\n";
  for (int i = 0; i < 100000; ++i) rows += std::to_string(i % 1000) + ",some text to fill\r\n";
  WriteAll(L"full_in.csv", rows);
  const std::string output = std::string(folder) + "\\full_out.csv";
  WriteAll(tkr::FromUtf8(output), "before\r\n");
  const Outcome run =
      RunTool("--sort \"1,TK_COMPASCAUTO\" --quiet --output \"" + output + "\" full_in.csv");
  EXPECT_EQ(run.exitCode, 2u) << run.err;
  EXPECT_NE(run.err.find("cannot write '" + output + "': no space left on the disk"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(ReadAll(output), "before\r\n");
  EXPECT_EQ(ReadAll(L"full_in.csv"), rows);
  WIN32_FIND_DATAW found;
  const HANDLE search =
      FindFirstFileW(tkr::FromUtf8(std::string(folder) + "\\*tkrun-part*").c_str(), &found);
  EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "a temporary file was left behind";
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

// The engine's table holds the columns the command lines name and the hidden one, not
// rows x (widest row + 1) cells: one very wide row in a file of kilobytes once needed
// gigabytes (past 4 GB the array's size wrapped and the runner crashed), or was refused.
TEST(Tkrun, OneVeryWideRow) {
  struct Case {
    int fields, rows;
    std::string sort;
  } const cases[] = {
      {30'000, 9'000, "1,TK_COMPASCAUTO"},
      {100'000, 50, "3,TK_COMPDESAUTO 1,TK_COMPASCAUTO"},
      {100'000, 50, "2,TK_COMPBRKO 1,TK_COMPASCAUTO\" --compare 2=natural --move \"2,TK_MOVEBRKO"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.fields) + " fields, " + c.sort);
    // Distinct keys in column 1, and in column 2 in natural order; the wide row's key is the
    // smallest.
    std::vector<std::pair<int, std::string>> rows;
    for (int i = 0; i < c.rows; ++i) {
      const int key = i * 7919 % c.rows;
      std::string row = std::to_string(key) + ",r" + std::to_string(key);
      if (key == 0) row += std::string(static_cast<std::size_t>(c.fields - 2), ',');
      rows.emplace_back(key, row + "\r\n");
    }
    std::string bytes = "Key,Text\r\n";
    for (const auto& row : rows) bytes += row.second;
    WriteAll(L"wide.csv", bytes);
    std::sort(rows.begin(), rows.end());
    std::string expected = "Key,Text\r\n";
    for (const auto& row : rows) expected += row.second;
    const Outcome run = RunTool("--sort \"" + c.sort + "\" --quiet wide.csv");
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_TRUE(run.out == expected);
  }
  // The size of a table is checked before it is made: the cell count and the bytes within 32
  // bits, whatever the build.
  const std::uint64_t cells = 0xFFFFFFFFu / sizeof(VARIANT);
  EXPECT_TRUE(tkr::TableFits(1'000'000, 10));
  EXPECT_TRUE(tkr::TableFits(cells / 2, 2));
  EXPECT_FALSE(tkr::TableFits(cells / 2 + 1, 2));
  EXPECT_FALSE(tkr::TableFits(9'001, 30'001));  // 4.3 GB, which once wrapped
  EXPECT_FALSE(tkr::TableFits(std::uint64_t{1} << 32, 1));
  EXPECT_FALSE(tkr::TableFits(1, std::uint64_t{1} << 31));
}

// The help's examples, run as written in a folder holding the files they name: every one
// succeeds, and none overwrites a file it reads.
TEST(Tkrun, TheHelpsExamplesRunAsWritten) {
  CreateDirectoryW(L"help_examples", nullptr);
  for (const wchar_t* name : {L"staff.csv", L"files.csv", L"summary.csv", L"prices.csv"}) {
    WriteAll(std::wstring(L"help_examples\\") + name, ReadAll(std::wstring(L"examples\\") + name));
  }
  const std::string help = RunTool("--help").out;
  std::istringstream lines(help.substr(help.find("Examples:")));
  std::string line, example;
  int ran = 0;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("  tkrun ", 0) != 0 && example.empty()) continue;
    example += line.substr(line.find_first_not_of(' '));
    if (!example.empty() && example.back() == '\\') {
      example.pop_back();
      continue;
    }
    SCOPED_TRACE(example);
    const Outcome run = RunTool(tkr::FromUtf8(example.substr(6)), L"help_examples");
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    example.clear();
    ++ran;
  }
  EXPECT_EQ(ran, 7);
  for (const wchar_t* name : {L"staff.csv", L"files.csv", L"summary.csv", L"prices.csv"}) {
    EXPECT_TRUE(ReadAll(std::wstring(L"help_examples\\") + name) ==
                ReadAll(std::wstring(L"examples\\") + name));
  }
}

// A file name outside the code page, in a folder outside it too.
TEST(Tkrun, UnicodeFileNames) {
  CreateDirectoryW(L"t\u00e4bellen_\u65e5\u672c", nullptr);
  const std::wstring input = L"t\u00e4bellen_\u65e5\u672c\\d\u00e9j\u00e0_\u0416.csv";
  WriteAll(input, "k\r\n2\r\n1\r\n");
  const Outcome run =
      RunTool(L"--sort \"1,TK_COMPASCAUTO\" --output \"" + input + L".out\" \"" + input + L"\"");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(ReadAll(input + L".out"), "k\r\n1\r\n2\r\n");
}

}  // namespace
