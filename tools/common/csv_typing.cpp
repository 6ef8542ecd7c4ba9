// Typing a CSV field: the VARIANT a field's text stands for. See csv_typing.h.
#include "common/csv_typing.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

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

// h:mm or h:mm:ss from text[at] to the end (the hour with one digit or two): false when the
// rest is anything else. The ranges are MakeDate's to check.
bool TimeToEnd(const std::wstring& text, std::size_t at, int& hour, int& minute, int& second) {
  hour = DigitRun(text, at, 1, 2);
  if (hour < 0 || at >= text.size() || text[at++] != L':') return false;
  minute = DigitRun(text, at, 2, 2);
  second = 0;
  if (minute >= 0 && at < text.size()) {
    second = text[at++] == L':' ? DigitRun(text, at, 2, 2) : -1;
  }
  return minute >= 0 && second >= 0 && at == text.size();
}

// YYYY-M-D, its month and day with one digit or two, optionally with h:mm or h:mm:ss after a
// T or a blank, as an OLE date. Read by hand: a million fields are looked at, most of them no
// date at all.
bool ParseIsoDate(const std::wstring& text, double& date) {
  const std::size_t n = text.size();
  if (n < 8 || n > 19 || text[4] != L'-') return false;
  std::size_t p = 0;
  const int year = DigitRun(text, p, 4, 4);
  if (year < 0) return false;
  ++p;
  const int month = DigitRun(text, p, 1, 2);
  if (month < 0 || p >= n || text[p] != L'-') return false;
  ++p;
  const int day = DigitRun(text, p, 1, 2);
  if (day < 0) return false;
  int hour = 0, minute = 0, second = 0;
  if (p < n &&
      ((text[p] != L'T' && text[p] != L' ') || !TimeToEnd(text, p + 1, hour, minute, second))) {
    return false;
  }
  return MakeDate(year, month, day, hour, minute, second, date);
}

// A time of day alone, h:mm or h:mm:ss (hours 0 to 23): the OLE date 0 at that time, the
// value a spreadsheet gives a time.
bool ParseTime(const std::wstring& text, double& date) {
  int hour = 0, minute = 0, second = 0;
  return text.size() >= 4 && text.size() <= 8 && TimeToEnd(text, 0, hour, minute, second) &&
         MakeDate(1899, 12, 30, hour, minute, second, date);
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
  if (p < n && (text[p] != L' ' || !TimeToEnd(text, p + 1, hour, minute, second))) return false;
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

// A blank around a field, which does not count for its type: space, tab, no-break spaces.
bool IsFieldBlank(wchar_t ch) {
  return ch == L' ' || ch == L'\t' || ch == 0x00A0 || ch == 0x202F;
}

bool StartsWithAt(const std::wstring& text, std::size_t at, std::size_t end,
                  const std::wstring& part) {
  return !part.empty() && end - at >= part.size() && text.compare(at, part.size(), part) == 0;
}

// A number dressed as a spreadsheet shows it, once the plain readings found none: a sign or
// accounting parentheses, the currency symbol before the number (after the sign) or after it,
// or a percent sign after it, blanks allowed between symbol and number; and the whole part
// grouped in threes by one of the locale's thousands marks. Something must be dressed: a
// field the plain readings refused for another reason stays text.
bool ParseDressedNumber(const std::wstring& text, const CellTyping& typing, VARIANT& cell) {
  std::size_t at = 0, end = text.size();
  auto skipBlanks = [&] {
    while (at < end && IsFieldBlank(text[at])) ++at;
    while (end > at && IsFieldBlank(text[end - 1])) --end;
  };
  bool negative = false, dressed = false, hasSign = false;
  if (end - at >= 3 && text[at] == L'(' && text[end - 1] == L')') {
    negative = dressed = hasSign = true;  // (20.00): an amount owed
    ++at;
    --end;
  }
  auto sign = [&] {
    if (!hasSign && at < end && (text[at] == L'-' || text[at] == L'+')) {
      negative = text[at++] == L'-';
      hasSign = true;
    }
  };
  sign();
  bool percent = false;
  if (StartsWithAt(text, at, end, typing.currency)) {
    at += typing.currency.size();
    dressed = true;
    skipBlanks();
    sign();
  } else if (end - at > typing.currency.size() &&
             StartsWithAt(text, end - typing.currency.size(), end, typing.currency)) {
    end -= typing.currency.size();
    dressed = true;
    skipBlanks();
  } else if (end > at && text[end - 1] == L'%') {
    --end;
    dressed = percent = true;
    skipBlanks();
  }
  const std::wstring groups = !typing.groups.empty()   ? typing.groups
                              : typing.decimal == L',' ? L"."
                                                       : L",";
  std::wstring plain;
  std::size_t digits = 0, run = 0;  // in all, and since the last group mark
  bool grouped = false, fraction = false;
  for (; at < end; ++at) {
    const wchar_t ch = text[at];
    if (ch >= L'0' && ch <= L'9') {
      plain += ch;
      ++digits;
      ++run;
    } else if (!fraction && groups.find(ch) != std::wstring::npos && ch != typing.decimal) {
      // 1,234,567: one to three digits before the first mark, three after every one.
      if (run < 1 || run > 3 || (grouped && run != 3)) return false;
      grouped = dressed = true;
      run = 0;
    } else if (!fraction && ch == typing.decimal) {
      if (grouped && run != 3) return false;
      fraction = true;
      plain += L'.';
    } else {
      return false;
    }
  }
  if (!fraction && grouped && run != 3) return false;
  if (!dressed || digits == 0) return false;
  if (percent) plain += L"e-2";  // 12.5% is 0.125, read in one rounding
  if (!ParseNumber(plain, cell)) return false;
  if (negative && cell.vt == VT_I4) cell.lVal = -cell.lVal;
  if (negative && cell.vt == VT_R8) cell.dblVal = -cell.dblVal;
  return true;
}

// `text` without the blanks around it: `text` itself when it has none, else `room`.
const std::wstring& WithoutBlanks(const std::wstring& text, std::wstring& room) {
  if (text.empty() || (!IsFieldBlank(text.front()) && !IsFieldBlank(text.back()))) return text;
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsFieldBlank(text[begin])) ++begin;
  while (end > begin && IsFieldBlank(text[end - 1])) --end;
  room.assign(text, begin, end - begin);
  return room;
}

}  // namespace

DateOrder SystemDateOrder() {
  wchar_t order[4] = {};
  GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDATE, order, 4);
  return order[0] == L'1'   ? DateOrder::DayMonthYear
         : order[0] == L'2' ? DateOrder::YearMonthDay
                            : DateOrder::MonthDayYear;
}

VARIANT TextCell(const std::wstring& text, TextBlocks* blocks) {
  VARIANT cell;
  VariantInit(&cell);
  cell.vt = VT_BSTR;
  cell.bstrVal = blocks != nullptr ? blocks->Add(text.data(), text.size())
                                   : SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return cell;
}

bool IsMissing(const CsvField& field, const CellTyping& typing) {
  if (typing.missing.empty() || (field.quoted && typing.quotedText)) return false;
  std::wstring room;
  const std::wstring& text = WithoutBlanks(field.text, room);
  return std::find(typing.missing.begin(), typing.missing.end(), text) != typing.missing.end();
}

VARIANT CellFromField(const CsvField& field, const CellTyping& typing, TextBlocks* blocks) {
  if (field.quoted && typing.quotedText) return TextCell(field.text, blocks);
  VARIANT cell;
  VariantInit(&cell);
  if (field.text.empty()) return cell;
  std::wstring room;
  const std::wstring& text = WithoutBlanks(field.text, room);
  if (text.empty()) return TextCell(field.text, blocks);  // blanks alone: text as written
  if (!typing.missing.empty() &&
      std::find(typing.missing.begin(), typing.missing.end(), text) != typing.missing.end()) {
    return cell;
  }
  if (EqualsNoCase(text, L"TRUE") || EqualsNoCase(text, L"FALSE")) {
    cell.vt = VT_BOOL;
    cell.boolVal = EqualsNoCase(text, L"TRUE") ? VARIANT_TRUE : VARIANT_FALSE;
    return cell;
  }
  double date = 0.0;
  if (ParseIsoDate(text, date) || ParseShortDate(text, typing.dates, date) ||
      ParseTime(text, date)) {
    cell.vt = VT_DATE;
    cell.date = date;
    return cell;
  }
  if (typing.decimal == L',') {
    const std::wstring plain = WithDecimalPoint(text);
    if (ParseNumber(plain, cell)) return cell;
  } else if (ParseNumber(text, cell)) {
    return cell;
  }
  if (ParseDressedNumber(text, typing, cell)) return cell;
  return TextCell(field.text, blocks);
}

}  // namespace tkr
