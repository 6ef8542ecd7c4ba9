#include "common/csv.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <utility>

namespace tkr {
namespace {

// True when `text` is `word` (upper case, ASCII) in any case.
bool EqualsNoCase(const std::wstring& text, const wchar_t* word) {
  std::size_t i = 0;
  for (; i < text.size() && word[i] != L'\0'; ++i) {
    const wchar_t ch = text[i] >= L'a' && text[i] <= L'z' ? text[i] - L'a' + L'A' : text[i];
    if (ch != word[i]) return false;
  }
  return i == text.size() && word[i] == L'\0';
}

// The value of the `count` digits at text[at], or -1 when they are not all digits.
int Digits(const std::wstring& text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return -1;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return -1;
    value = value * 10 + (text[i] - L'0');
  }
  return value;
}

// The days of `month` in `year` (Gregorian calendar, as OLE dates count).
int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// The OLE date of a day and time, when the calendar has that day: the system's conversion
// would carry 2023-02-31 over into March. And the year is taken as written: OLE dates begin
// with the year 100, and the conversion takes a year below 100 for a two-digit one (0001 would
// become 2001), so such a field stays text rather than become another year.
bool MakeDate(int year, int month, int day, int hour, int minute, int second, double& date) {
  if (year < 100 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return false;
  }
  SYSTEMTIME st = {};
  st.wYear = static_cast<WORD>(year);
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wHour = static_cast<WORD>(hour);
  st.wMinute = static_cast<WORD>(minute);
  st.wSecond = static_cast<WORD>(second);
  return SystemTimeToVariantTime(&st, &date) != FALSE;
}

// YYYY-MM-DD[Thh:mm[:ss]] (or a blank for the T) as an OLE date. Read by hand: a million
// fields are looked at, most of them no date at all.
bool ParseIsoDate(const std::wstring& text, double& date) {
  const std::size_t n = text.size();
  if ((n != 10 && n != 16 && n != 19) || text[4] != L'-' || text[7] != L'-') return false;
  const int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  int hour = 0, minute = 0, second = 0;
  if (n > 10) {
    if ((text[10] != L'T' && text[10] != L' ') || text[13] != L':') return false;
    hour = Digits(text, 11, 2);
    minute = Digits(text, 14, 2);
    if (n == 19) second = text[16] == L':' ? Digits(text, 17, 2) : -1;
  }
  return MakeDate(year, month, day, hour, minute, second, date);
}

// The value of `least` to `most` digits at text[at], moving `at` past them; -1 when fewer.
int DigitRun(const std::wstring& text, std::size_t& at, std::size_t least, std::size_t most) {
  std::size_t k = at;
  int value = 0;
  while (k < text.size() && k - at < most && text[k] >= L'0' && text[k] <= L'9') {
    value = value * 10 + (text[k++] - L'0');
  }
  if (k - at < least) return -1;
  at = k;
  return value;
}

// A day as a spreadsheet writes it in the system's short form: 3/14/2026, 14/03/2026,
// 14.03.2026 (points only where the day comes first, so that a version such as 4.10.2023
// stays text where it does not), 2026/03/14; optionally a blank and h:mm or h:mm:ss.
bool ParseShortDate(const std::wstring& text, DateOrder order, double& date) {
  const std::size_t n = text.size();
  if (n < 8 || n > 19) return false;
  const bool yearFirst = order == DateOrder::YearMonthDay;
  std::size_t p = 0;
  const int a = DigitRun(text, p, yearFirst ? 4 : 1, yearFirst ? 4 : 2);
  if (a < 0 || p >= n) return false;
  const wchar_t mark = text[p];
  if (mark != L'/' && !(mark == L'.' && order == DateOrder::DayMonthYear)) return false;
  ++p;
  const int b = DigitRun(text, p, 1, 2);
  if (b < 0 || p >= n || text[p] != mark) return false;
  ++p;
  const int c = DigitRun(text, p, yearFirst ? 1 : 4, yearFirst ? 2 : 4);
  if (c < 0) return false;
  int hour = 0, minute = 0, second = 0;
  if (p < n) {
    if (text[p++] != L' ') return false;
    hour = DigitRun(text, p, 1, 2);
    if (hour < 0 || p >= n || text[p++] != L':') return false;
    minute = DigitRun(text, p, 2, 2);
    if (p < n) second = text[p++] == L':' ? DigitRun(text, p, 2, 2) : -1;
    if (p != n) return false;
  }
  switch (order) {
    case DateOrder::MonthDayYear: return MakeDate(c, a, b, hour, minute, second, date);
    case DateOrder::DayMonthYear: return MakeDate(c, b, a, hour, minute, second, date);
    case DateOrder::YearMonthDay: break;
  }
  return MakeDate(a, b, c, hour, minute, second, date);
}

// With decimal commas: the comma becomes a point, and points that group the whole part in
// threes (1.234.567,5) are dropped; another point makes the field text ("4.10" is no number
// there). Empty when the field is no number so written.
std::wstring WithDecimalPoint(const std::wstring& text) {
  std::wstring plain;
  plain.reserve(text.size());
  bool whole = true, grouped = false, comma = false;
  std::size_t digits = 0;  // since the start of the number or the last group mark
  for (const wchar_t ch : text) {
    if (ch == L'.') {
      if (!whole || digits < 1 || digits > 3 || (grouped && digits != 3)) return {};
      grouped = true;
      digits = 0;
      continue;
    }
    if (ch == L',' || ch == L'e' || ch == L'E') {
      if (whole && grouped && digits != 3) return {};
      whole = false;
    }
    if (ch == L',') {
      if (comma) return {};
      comma = true;
      plain += L'.';
      continue;
    }
    digits = ch >= L'0' && ch <= L'9' ? digits + 1 : 0;
    plain += ch;
  }
  if (whole && grouped && digits != 3) return {};
  return plain;
}

// Plain decimals ("98043.59", "-7", "0.1") are most of the numbers in a file, and the C
// library's conversion costs several times what the rest of a field's typing does. So they are
// read here, but only where the result is exact: at most 19 digits whose value fits in 53 bits,
// divided by a power of ten a double holds exactly (up to 10^22). One correctly rounded
// division then gives the nearest double, the very value the library's conversion gives.
// False leaves everything else (exponents, long digit runs) to the library.
bool PlainDecimal(const std::wstring& text, VARIANT& cell) {
  static const double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  constexpr std::uint64_t kExact = std::uint64_t{1} << 53;
  std::size_t i = 0;
  const bool negative = text[0] == L'-';
  if (negative || text[0] == L'+') i = 1;
  std::uint64_t digits = 0;
  int count = 0, fraction = -1;  // -1: no decimal point
  for (; i < text.size(); ++i) {
    const wchar_t ch = text[i];
    if (ch >= L'0' && ch <= L'9') {
      if (++count > 19) return false;
      digits = digits * 10 + static_cast<unsigned>(ch - L'0');
      if (fraction >= 0) ++fraction;
    } else if (ch == L'.' && fraction < 0) {
      fraction = 0;
    } else {
      return false;
    }
  }
  if (count == 0 || digits > kExact || fraction > 22) return false;
  if (fraction < 0 && digits <= (negative ? 2147483648u : 2147483647u)) {
    cell.vt = VT_I4;
    cell.lVal = static_cast<LONG>(negative ? -static_cast<std::int64_t>(digits)
                                           : static_cast<std::int64_t>(digits));
    return true;
  }
  const double value = static_cast<double>(digits) / kPowers[fraction < 0 ? 0 : fraction];
  cell.vt = VT_R8;
  cell.dblVal = negative ? -value : value;
  return true;
}

bool ParseNumber(const std::wstring& text, VARIANT& cell) {
  // Only plain decimal notation: no hexadecimal, infinities or NaN from a text column; the
  // characters are looked at first, so that words cost no conversion.
  if (text.empty() || text.size() > 400) return false;
  if (PlainDecimal(text, cell)) return true;
  for (wchar_t ch : text) {
    if (!((ch >= L'0' && ch <= L'9') || ch == L'.' || ch == L'-' || ch == L'+' || ch == L'e' ||
          ch == L'E')) {
      return false;
    }
  }
  // Only these characters are left: each is its own narrow character.
  const std::string narrow(text.begin(), text.end());
  // The narrow conversions: the system library's wide one rounds some decimals to the wrong
  // neighbour ("651480203.3072595" one unit too high), this one to the nearest double.
  char* end = nullptr;
  errno = 0;
  const long long whole = std::strtoll(narrow.c_str(), &end, 10);
  if (*end == '\0' && errno == 0 && whole >= INT_MIN && whole <= INT_MAX) {
    cell.vt = VT_I4;
    cell.lVal = static_cast<LONG>(whole);
    return true;
  }
  errno = 0;
  const double real = std::strtod(narrow.c_str(), &end);
  if (*end != '\0' || errno != 0) return false;
  cell.vt = VT_R8;
  cell.dblVal = real;
  return true;
}

// The length of the UTF-8 sequence at bytes[i], or 0 when it is not a valid one (overlong
// forms, surrogates and code points past U+10FFFF are not).
std::size_t Utf8Length(const std::string& bytes, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char b = at(i);
  if (b < 0x80) return 1;
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + n > bytes.size()) return 0;
  if (at(i + 1) < low || at(i + 1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  }
  return n;
}

// Eight bytes at a time: a word of eight bytes, and each byte of it repeated over a word.
constexpr std::uint64_t kEveryByte = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

std::uint64_t WordAt(const std::string& bytes, std::size_t at) {
  std::uint64_t word = 0;
  std::memcpy(&word, bytes.data() + at, 8);
  return word;
}

// Whether one of the word's bytes is 0 (exact: no byte is taken for another).
bool HasZeroByte(std::uint64_t word) {
  return ((word - kEveryByte) & ~word & kHighBits) != 0;
}

// Whether one of the word's bytes is `byte`.
bool HasByte(std::uint64_t word, char byte) {
  return HasZeroByte(word ^ (kEveryByte * static_cast<unsigned char>(byte)));
}

// The line (from 1) of byte `offset` of `bytes`, counted by their line feeds.
std::size_t LineAt(const std::string& bytes, std::size_t offset) {
  return 1 + static_cast<std::size_t>(std::count(
                 bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

// NUL bytes, and in UTF-8 invalid sequences, with the line and, for a file read as UTF-8,
// the byte offset in the file (`offset` is the byte-order mark's length). A file converted
// to UTF-8 was valid text already: only a NUL can be wrong there, and only its line means
// anything.
bool CheckEncoding(const std::string& bytes, std::size_t offset, bool converted,
                   std::string& error) {
  const std::size_t size = bytes.size();
  for (std::size_t i = 0; i < size;) {
    // Eight bytes of ASCII without a NUL at a time, most of most files; the rest one by one.
    if (i + 8 <= size) {
      const std::uint64_t word = WordAt(bytes, i);
      if ((word & kHighBits) == 0 && !HasZeroByte(word)) {
        i += 8;
        continue;
      }
    }
    if (bytes[i] == '\0') {
      error = "line " + std::to_string(LineAt(bytes, i)) + ": a NUL " +
              (converted ? std::string("character")
                         : "byte (at byte " + std::to_string(offset + i) + ")") +
              "; CSV text holds none";
      // Every other byte NUL: UTF-16 without the byte-order mark that would have said so.
      if (!converted &&
          ((i >= 2 && bytes[i - 2] == '\0') || (i + 2 < size && bytes[i + 2] == '\0'))) {
        error += " (UTF-16 without a byte-order mark? try --encoding utf-16le or utf-16be)";
      }
      return false;
    }
    const std::size_t n = converted ? 1 : Utf8Length(bytes, i);
    if (n == 0) {
      error = "line " + std::to_string(LineAt(bytes, i)) + ", byte " + std::to_string(offset + i) +
              ": not UTF-8 (a legacy file? try --encoding cp1252, or its code page's number)";
      return false;
    }
    i += n;
  }
  return true;
}

// Conversions are made a part of about this many bytes at a time, so that a file in UTF-16 or
// a code page costs its UTF-8 form and a part more, not a second copy in UTF-16 besides.
constexpr std::size_t kPart = std::size_t{1} << 20;

std::string PageName(CodePage page) {
  if (page == kUtf16Le) return "UTF-16 (little-endian)";
  if (page == kUtf16Be) return "UTF-16 (big-endian)";
  return "code page " + std::to_string(page);
}

// Flags for converting into `page`: no best-fit stand-ins (an "a" for an "\u00e0" would not
// convert back), where the page allows flags at all.
DWORD NoBestFit(CodePage page) {
  return page == 54936 ? 0 : WC_NO_BEST_FIT_CHARS;
}

void AppendUtf8(const wchar_t* text, std::size_t units, std::string& out) {
  if (units == 0) return;
  const std::size_t at = out.size();
  out.resize(at + units * 3);  // at most three bytes per UTF-16 unit
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), out.data() + at,
                                    static_cast<int>(units * 3), nullptr, nullptr);
  out.resize(at + static_cast<std::size_t>(n > 0 ? n : 0));
}

// UTF-16 bytes (`page` says which end first) as UTF-8. Every unpaired surrogate is refused:
// what is read must convert back to the very bytes.
bool Utf16ToUtf8(const std::string& in, CodePage page, std::size_t offset, std::string& out,
                 std::string& error) {
  const std::size_t units = in.size() / 2;
  const bool big = page == kUtf16Be;
  auto unitAt = [&](std::size_t u) {
    const auto lo = static_cast<unsigned char>(in[2 * u + (big ? 1 : 0)]);
    const auto hi = static_cast<unsigned char>(in[2 * u + (big ? 0 : 1)]);
    return static_cast<wchar_t>(hi << 8 | lo);
  };
  if (in.size() % 2 != 0) {
    error = "is " + PageName(page) + " by its byte-order mark but ends in half a character";
    return false;
  }
  out.reserve(in.size() / 2 + in.size() / 8);
  std::wstring part;
  for (std::size_t u = 0; u < units;) {
    const std::size_t end = std::min(units, u + kPart);
    part.clear();
    for (std::size_t k = u; k < end; ++k) part += unitAt(k);
    std::size_t take = part.size();
    if (end < units && IS_HIGH_SURROGATE(part.back())) --take;  // its pair is in the next part
    for (std::size_t k = 0; k < take; ++k) {
      const bool high = IS_HIGH_SURROGATE(part[k]), low = IS_LOW_SURROGATE(part[k]);
      if (low || (high && (k + 1 >= take || !IS_LOW_SURROGATE(part[k + 1])))) {
        const std::size_t byte = 2 * (u + k);
        std::size_t line = 1;
        for (std::size_t j = 0; j < u + k; ++j) line += unitAt(j) == L'\n' ? 1 : 0;
        error = "line " + std::to_string(line) + ", byte " + std::to_string(offset + byte) +
                ": half a UTF-16 character (a lone surrogate)";
        return false;
      }
      if (high) ++k;
    }
    AppendUtf8(part.data(), take, out);
    u += take;
  }
  return true;
}

// Bytes in code page `page` as UTF-8, a part at a time, each part converted back and compared
// with the bytes it came from: a byte the page does not define, or one that would come back
// as another, is refused with its line and offset.
bool CodePageToUtf8(const std::string& in, CodePage page, std::string& out, std::string& error) {
  CPINFO info{};
  const bool singleByte = GetCPInfo(page, &info) != FALSE && info.MaxCharSize == 1;
  out.reserve(in.size() + in.size() / 8);
  std::wstring wide;
  std::string back;
  for (std::size_t start = 0; start < in.size();) {
    // A multi-byte page's part ends after a line feed, which no double-byte character holds.
    std::size_t end = std::min(in.size(), start + kPart);
    if (!singleByte && end < in.size()) {
      const void* lf = std::memchr(in.data() + end, '\n', in.size() - end);
      end = lf == nullptr ? in.size() : static_cast<const char*>(lf) - in.data() + 1;
    }
    const int length = static_cast<int>(end - start);
    wide.resize(end - start);  // never more UTF-16 units than bytes
    const int units = MultiByteToWideChar(page, 0, in.data() + start, length, wide.data(), length);
    int n = units > 0 ? WideCharToMultiByte(page, NoBestFit(page), wide.data(), units, nullptr, 0,
                                            nullptr, nullptr)
                      : 0;
    back.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    if (n > 0) {
      n = WideCharToMultiByte(page, NoBestFit(page), wide.data(), units, back.data(), n, nullptr,
                              nullptr);
    }
    if (units <= 0 || back.compare(0, back.size(), in, start, end - start) != 0) {
      std::size_t k = 0;
      while (k < back.size() && start + k < end && back[k] == in[start + k]) ++k;
      // Back to the first byte of the character the difference falls in.
      for (std::size_t j = 0;;) {
        const bool lead = !singleByte && IsDBCSLeadByteEx(page, static_cast<BYTE>(in[start + j]));
        const std::size_t next = j + (lead ? 2 : 1);
        if (next > k) {
          k = j;
          break;
        }
        j = next;
      }
      error = "line " + std::to_string(LineAt(in, start + k)) + ", byte " +
              std::to_string(start + k) + ": not text in " + PageName(page) +
              " (the bytes do not read back as themselves); name the file's encoding with "
              "--encoding";
      return false;
    }
    AppendUtf8(wide.data(), static_cast<std::size_t>(units), out);
    start = end;
  }
  return true;
}

// UTF-8 text converted into `page` and appended to `out`. False with `error` set when a
// character has no form there.
bool Utf8ToPage(const std::string& utf8, CodePage page, std::string& out, std::string& error) {
  std::wstring wide;
  std::string bytes;
  for (std::size_t start = 0; start < utf8.size();) {
    std::size_t end = std::min(utf8.size(), start + kPart);
    while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) ++end;
    wide.resize(end - start);
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data() + start, static_cast<int>(end - start),
                            wide.data(), static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(units > 0 ? units : 0));
    if (page == kUtf16Le || page == kUtf16Be) {
      const std::size_t at = out.size();
      out.resize(at + 2 * wide.size());
      for (std::size_t k = 0; k < wide.size(); ++k) {
        const auto unit = static_cast<unsigned>(wide[k]);
        out[at + 2 * k + (page == kUtf16Be ? 1 : 0)] = static_cast<char>(unit & 0xFF);
        out[at + 2 * k + (page == kUtf16Be ? 0 : 1)] = static_cast<char>(unit >> 8);
      }
    } else if (!wide.empty()) {
      BOOL lossy = FALSE;
      BOOL* usedDefault = page == 54936 ? nullptr : &lossy;
      const int w = static_cast<int>(wide.size());
      int n = WideCharToMultiByte(page, NoBestFit(page), wide.data(), w, nullptr, 0, nullptr,
                                  usedDefault);
      bytes.resize(static_cast<std::size_t>(n > 0 ? n : 0));
      if (n > 0) {
        n = WideCharToMultiByte(page, NoBestFit(page), wide.data(), w, bytes.data(), n, nullptr,
                                usedDefault);
      }
      if (n <= 0 || lossy) {
        error = "some text has no form in " + PageName(page);
        return false;
      }
      out += bytes;
    }
    start = end;
  }
  return true;
}

// The separator a file's first record holds most of, outside quotes, among `,` `;` tab
// and `|` (in that order when counts tie); a comma when it holds none.
wchar_t FindSeparator(const std::string& b) {
  static const char kCandidates[] = {',', ';', '\t', '|'};
  std::size_t counts[4] = {};
  bool quoted = false;
  for (const char ch : b) {
    if (ch == '"') {
      quoted = !quoted;  // a doubled quote inside quotes leaves and enters again
    } else if (!quoted) {
      if (ch == '\n' || ch == '\r') break;
      for (std::size_t k = 0; k < 4; ++k) counts[k] += ch == kCandidates[k] ? 1 : 0;
    }
  }
  std::size_t best = 0;
  for (std::size_t k = 1; k < 4; ++k) best = counts[k] > counts[best] ? k : best;
  return static_cast<wchar_t>(kCandidates[best]);
}

// The field of a record that starts at bytes[at] (a record ReadCsv accepted, ending at
// `end`); `at` moves past it and past the separator that follows.
FieldSpan NextField(const std::string& bytes, const std::string& separator, std::uint32_t end,
                    std::uint32_t& at) {
  FieldSpan field;
  const char* b = bytes.data();
  if (at < end && b[at] == '"') {
    field.quoted = true;
    field.begin = ++at;
    for (;;) {  // ReadCsv saw the closing quote
      const auto* quote = static_cast<const char*>(std::memchr(b + at, '"', end - at));
      at = static_cast<std::uint32_t>(quote - b);
      if (at + 1 < end && b[at + 1] == '"') {
        at += 2;
        continue;
      }
      break;
    }
    field.length = at - field.begin;
    ++at;
  } else {
    field.begin = at;
    while (at < end &&
           !(b[at] == separator[0] &&
             (separator.size() == 1 || bytes.compare(at, separator.size(), separator) == 0))) {
      ++at;
    }
    field.length = at - field.begin;
  }
  if (at < end) at += static_cast<std::uint32_t>(separator.size());
  return field;
}

}  // namespace

FieldSpan CsvFile::Field(const RecordSpan& record, std::size_t column) const {
  if (column >= record.fieldCount) return FieldSpan{};
  std::uint32_t at = record.begin;
  for (std::size_t c = 0; c < column; ++c) NextField(bytes, separatorBytes, record.end, at);
  return NextField(bytes, separatorBytes, record.end, at);
}

void CsvFile::FieldsOf(const RecordSpan& record, std::vector<FieldSpan>& fields,
                       std::size_t count) const {
  fields.resize(std::min<std::size_t>(record.fieldCount, count));
  std::uint32_t at = record.begin;
  for (FieldSpan& field : fields) field = NextField(bytes, separatorBytes, record.end, at);
}

std::wstring CsvFile::Text(const FieldSpan& field) const {
  std::wstring text;
  TextInto(field, text);
  return text;
}

void CsvFile::TextInto(const FieldSpan& field, std::wstring& text) const {
  const char* raw = bytes.data() + field.begin;
  std::size_t length = field.length;
  std::string unquoted;
  if (field.quoted && std::memchr(raw, '"', length) != nullptr) {
    unquoted.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
      unquoted += raw[i];
      if (raw[i] == '"') ++i;  // a doubled quote stands for one
    }
    raw = unquoted.data();
    length = unquoted.size();
  }
  // UTF-16 never needs more units than the bytes it comes from: one conversion, no sizing.
  text.resize(length);
  // ASCII, most fields of most files, is its own UTF-16: no call into the system per field.
  std::size_t ascii = 0;
  while (ascii < length && static_cast<unsigned char>(raw[ascii]) < 0x80) {
    text[ascii] = static_cast<wchar_t>(raw[ascii]);
    ++ascii;
  }
  if (ascii == length) return;
  const int n = MultiByteToWideChar(CP_UTF8, 0, raw + ascii, static_cast<int>(length - ascii),
                                    text.data() + ascii, static_cast<int>(length - ascii));
  text.resize(ascii + static_cast<std::size_t>(n > 0 ? n : 0));
}

std::string CsvFile::Raw(const RecordSpan& record) const {
  return bytes.substr(record.begin, record.end - record.begin);
}

std::string UnusableCodePage(CodePage page) {
  if (page == kUtf8 || page == kUtf16Le || page == kUtf16Be) return {};
  // These carry a state (shifts, escapes) from one character to the next: a row moved
  // elsewhere would not read as it did.
  if (page == 42 || page == 52936 || page == 65000 || (page >= 50220 && page <= 50229) ||
      (page >= 57002 && page <= 57011)) {
    return PageName(page) + " changes meaning with escapes from one character to the next, so " +
           "rows cannot be moved one by one; convert the file to UTF-8 first";
  }
  if (IsValidCodePage(page) == FALSE) return PageName(page) + " is not available on this system";
  return {};
}

bool ReadCsv(std::string bytes, wchar_t separator, CodePage encoding, CsvFile& file,
             std::string& error) {
  file = CsvFile{};
  // A byte-order mark says what the file is, whatever was asked for.
  static const struct {
    const char* mark;
    CodePage page;
  } kMarks[] = {{"\xEF\xBB\xBF", kUtf8}, {"\xFF\xFE", kUtf16Le}, {"\xFE\xFF", kUtf16Be}};
  for (const auto& m : kMarks) {
    if (bytes.compare(0, std::strlen(m.mark), m.mark) == 0) {
      file.byteOrderMark = m.mark;
      encoding = m.page;
      break;
    }
  }
  // UTF-16 without a mark is read, and written back, without one.
  if (file.byteOrderMark.empty() && encoding != kUtf8 && encoding != kUtf16Le &&
      encoding != kUtf16Be) {
    error = UnusableCodePage(encoding);
    if (!error.empty()) return false;
  }
  file.encoding = encoding;
  bytes.erase(0, file.byteOrderMark.size());
  const bool converted = encoding != kUtf8;
  if (converted) {
    std::string utf8;
    const bool read = encoding == kUtf16Le || encoding == kUtf16Be
                          ? Utf16ToUtf8(bytes, encoding, file.byteOrderMark.size(), utf8, error)
                          : CodePageToUtf8(bytes, encoding, utf8, error);
    if (!read) return false;
    bytes = std::move(utf8);
  }
  if (bytes.size() > kLargestCsv) {
    error = converted ? "is larger than 4 GB as UTF-8" : "the file is larger than 4 GB";
    return false;
  }
  if (!CheckEncoding(bytes, file.byteOrderMark.size(), converted, error)) return false;
  file.separator = separator != 0 ? separator : FindSeparator(bytes);
  file.separatorBytes = ToUtf8(std::wstring(1, file.separator));
  const std::string& sep = file.separatorBytes;
  file.bytes = std::move(bytes);
  const std::string& b = file.bytes;
  const std::size_t size = b.size();

  // Room for every record at once: a record ends at most at each line end, so the vector
  // never grows (and never holds twice its size) while a large file is read.
  std::size_t ends = 1;
  for (const char ch : b) ends += (ch == '\n' || ch == '\r') ? 1 : 0;
  file.records.reserve(ends);

  std::size_t i = 0;
  const char first = sep[0];
  auto atSeparator = [&](std::size_t k) {
    return b[k] == first && (sep.size() == 1 || b.compare(k, sep.size(), sep) == 0);
  };
  auto atLineEnd = [&](std::size_t k) { return k < size && (b[k] == '\r' || b[k] == '\n'); };
  // The next separator's first byte, CR or LF at or after k: eight bytes at a time while none
  // of them is one.
  auto fieldEnd = [&](std::size_t k) {
    for (; k + 8 <= size; k += 8) {
      const std::uint64_t word = WordAt(b, k);
      if (HasByte(word, first) || HasByte(word, '\n') || HasByte(word, '\r')) break;
    }
    while (k < size && b[k] != first && b[k] != '\n' && b[k] != '\r') ++k;
    return k;
  };
  while (i < size) {
    RecordSpan record;
    record.begin = static_cast<std::uint32_t>(i);
    for (;;) {  // one field
      ++record.fieldCount;
      if (i < size && b[i] == '"') {
        const std::size_t opened = i;
        for (++i;; i += 2) {  // past a doubled quote
          const void* quote = std::memchr(b.data() + i, '"', size - i);
          if (quote == nullptr) {
            error = "line " + std::to_string(LineAt(b, opened)) + ": quoted field never closed";
            return false;
          }
          i = static_cast<std::size_t>(static_cast<const char*>(quote) - b.data());
          if (i + 1 >= size || b[i + 1] != '"') break;
        }
        ++i;  // the closing quote
        // After the closing quote only a separator or the end of the record may follow.
        if (i < size && !atSeparator(i) && !atLineEnd(i)) {
          error = "line " + std::to_string(LineAt(b, i)) + ": text after a closing quote";
          return false;
        }
      } else {
        i = fieldEnd(i);
        while (i < size && b[i] == first && !atSeparator(i)) i = fieldEnd(i + 1);  // a longer one
      }
      if (i < size && atSeparator(i)) {
        i += sep.size();
        continue;
      }
      break;
    }
    record.end = static_cast<std::uint32_t>(i);
    if (i < size) {  // the line end
      const std::size_t at = i;
      i += (b[i] == '\r' && i + 1 < size && b[i + 1] == '\n') ? 2 : 1;
      if (file.lineEnd.empty()) file.lineEnd = b.substr(at, i - at);
    }
    file.records.push_back(record);
    file.columns = std::max<std::size_t>(file.columns, record.fieldCount);
  }
  if (file.lineEnd.empty()) file.lineEnd = "\r\n";
  for (const RecordSpan& record : file.records) {
    file.ragged = file.ragged || record.fieldCount != file.columns;
  }
  return true;
}

bool ParseCsv(const std::string& bytes, wchar_t separator, CsvRows& rows, std::string& error) {
  CsvFile file;
  if (!ReadCsv(bytes, separator, kUtf8, file, error)) return false;
  rows.clear();
  std::vector<FieldSpan> fields;
  for (const RecordSpan& record : file.records) {
    std::vector<CsvField> row;
    file.FieldsOf(record, fields);
    for (const FieldSpan& field : fields) row.push_back(CsvField{file.Text(field), field.quoted});
    rows.push_back(std::move(row));
  }
  return true;
}

DateOrder SystemDateOrder() {
  wchar_t order[4] = {};
  GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDATE, order, 4);
  return order[0] == L'1'   ? DateOrder::DayMonthYear
         : order[0] == L'2' ? DateOrder::YearMonthDay
                            : DateOrder::MonthDayYear;
}

VARIANT TextCell(const std::wstring& text) {
  VARIANT cell;
  VariantInit(&cell);
  cell.vt = VT_BSTR;
  cell.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return cell;
}

VARIANT CellFromField(const CsvField& field, const CellTyping& typing) {
  if (field.quoted && typing.quotedText) return TextCell(field.text);
  VARIANT cell;
  VariantInit(&cell);
  if (field.text.empty()) return cell;
  if (EqualsNoCase(field.text, L"TRUE") || EqualsNoCase(field.text, L"FALSE")) {
    cell.vt = VT_BOOL;
    cell.boolVal = EqualsNoCase(field.text, L"TRUE") ? VARIANT_TRUE : VARIANT_FALSE;
    return cell;
  }
  double date = 0.0;
  if (ParseIsoDate(field.text, date) || ParseShortDate(field.text, typing.dates, date)) {
    cell.vt = VT_DATE;
    cell.date = date;
    return cell;
  }
  if (typing.decimal == L',') {
    const std::wstring plain = WithDecimalPoint(field.text);
    if (ParseNumber(plain, cell)) return cell;
  } else if (ParseNumber(field.text, cell)) {
    return cell;
  }
  return TextCell(field.text);
}

bool ToFileEncoding(const CsvFile& file, const std::string& utf8, std::string& out,
                    std::string& error) {
  out = file.byteOrderMark;
  if (file.encoding != kUtf8) return Utf8ToPage(utf8, file.encoding, out, error);
  out += utf8;
  return true;
}

CsvWriter::CsvWriter(const CsvFile& file, const std::vector<std::uint32_t>& order, std::size_t part)
    : file_(file), order_(order), part_(std::max<std::size_t>(part, 1)) {}

std::string_view CsvWriter::Next() {
  const bool first = !started_;
  started_ = true;
  const bool utf8 = file_.encoding == kUtf8;
  utf8_.clear();  // its room is kept from part to part
  if (first && utf8) utf8_ = file_.byteOrderMark;
  const std::size_t n = order_.size();
  while (next_ < n && utf8_.size() < part_) {
    // The records come from all over the file: their places and their first bytes are asked
    // for ahead (the place first, then the bytes), so that the cache misses overlap.
    if (next_ + 2 * kAhead < n) __builtin_prefetch(&file_.records[order_[next_ + 2 * kAhead]]);
    if (next_ + kAhead < n) {
      const RecordSpan& later = file_.records[order_[next_ + kAhead]];
      __builtin_prefetch(file_.bytes.data() + later.begin);
      __builtin_prefetch(file_.bytes.data() + later.begin + 64);
    }
    const RecordSpan& record = file_.records[order_[next_++]];
    utf8_.append(file_.bytes, record.begin, record.end - record.begin);
    utf8_ += file_.lineEnd;
  }
  if (utf8) return utf8_;
  // Every character of the file read back as itself when it was read: its rows convert. The
  // parts hold whole records, so no character is split between two of them.
  encoded_.clear();
  if (first) encoded_ = file_.byteOrderMark;
  std::string error;
  if (!utf8_.empty()) Utf8ToPage(utf8_, file_.encoding, encoded_, error);
  return encoded_;
}

std::string WriteCsv(const CsvFile& file, const std::vector<std::uint32_t>& order) {
  CsvWriter writer(file, order);
  std::string out;
  for (std::string_view part = writer.Next(); !part.empty(); part = writer.Next()) out += part;
  return out;
}

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& bytes) {
  if (bytes.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

}  // namespace tkr
