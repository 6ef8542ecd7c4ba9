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

// YYYY-MM-DD[Thh:mm[:ss]] (or a blank for the T) as an OLE date. Read by hand: a million
// fields are looked at, most of them no date at all.
//
// Only a day the calendar has is a date: the system's conversion would carry 2023-02-31 over
// into March. And the year is read as written: OLE dates begin with the year 100, and the
// conversion takes a year below 100 for a two-digit one (0001 would become 2001), so such a
// field stays text rather than become another year.
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

bool ParseNumber(const std::wstring& text, VARIANT& cell) {
  // Only plain decimal notation: no hexadecimal, infinities or NaN from a text column; the
  // characters are looked at first, so that words cost no conversion.
  if (text.empty()) return false;
  for (wchar_t ch : text) {
    if (!((ch >= L'0' && ch <= L'9') || ch == L'.' || ch == L'-' || ch == L'+' || ch == L'e' ||
          ch == L'E')) {
      return false;
    }
  }
  wchar_t* end = nullptr;
  errno = 0;
  const long long whole = std::wcstoll(text.c_str(), &end, 10);
  if (*end == L'\0' && errno == 0 && whole >= INT_MIN && whole <= INT_MAX) {
    cell.vt = VT_I4;
    cell.lVal = static_cast<LONG>(whole);
    return true;
  }
  errno = 0;
  const double real = std::wcstod(text.c_str(), &end);
  if (*end != L'\0' || errno != 0) return false;
  cell.vt = VT_R8;
  cell.dblVal = real;
  return true;
}

// The bytes of `text` in the file's encoding; empty when it has none there.
std::string Encode(wchar_t text, Encoding encoding) {
  const UINT page = encoding == Encoding::Utf8 ? CP_UTF8 : 1252u;
  char bytes[8] = {};
  BOOL lossy = FALSE;
  const int n = WideCharToMultiByte(page, 0, &text, 1, bytes, sizeof bytes, nullptr,
                                    page == CP_UTF8 ? nullptr : &lossy);
  return n > 0 && !lossy ? std::string(bytes, static_cast<std::size_t>(n)) : std::string();
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

// NUL bytes, and in UTF-8 invalid sequences, with the line and the byte offset in the file.
bool CheckEncoding(const std::string& bytes, std::size_t offset, Encoding encoding,
                   std::string& error) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < bytes.size();) {
    const char b = bytes[i];
    if (b == '\0') {
      error = "line " + std::to_string(line) + ": a NUL byte (at byte " +
              std::to_string(offset + i) + "); CSV text holds none";
      return false;
    }
    if (b == '\n') ++line;
    const std::size_t n = encoding == Encoding::Utf8 ? Utf8Length(bytes, i) : 1;
    if (n == 0) {
      error = "line " + std::to_string(line) + ", byte " + std::to_string(offset + i) +
              ": not UTF-8 (a legacy file? try --encoding cp1252)";
      return false;
    }
    i += n;
  }
  return true;
}

}  // namespace

FieldSpan CsvFile::Field(const RecordSpan& record, std::size_t column) const {
  if (column >= record.fieldCount) return FieldSpan{};
  return fields[record.firstField + column];
}

std::wstring CsvFile::Text(const FieldSpan& field) const {
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
  if (length == 0) return {};
  // UTF-16 never needs more units than the bytes it comes from: one conversion, no sizing.
  std::wstring text(length, L'\0');
  const UINT page = encoding == Encoding::Utf8 ? CP_UTF8 : 1252u;
  const int n = MultiByteToWideChar(page, 0, raw, static_cast<int>(length), text.data(),
                                    static_cast<int>(length));
  text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return text;
}

std::string CsvFile::Raw(const RecordSpan& record) const {
  return bytes.substr(record.begin, record.end - record.begin);
}

bool ReadCsv(std::string bytes, wchar_t separator, Encoding encoding, CsvFile& file,
             std::string& error) {
  file = CsvFile{};
  file.encoding = encoding;
  if (encoding == Encoding::Utf8 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    file.byteOrderMark = bytes.substr(0, 3);
    bytes.erase(0, 3);
  }
  if (bytes.size() > kLargestCsv) {
    error = "the file is larger than 4 GB";
    return false;
  }
  if (!CheckEncoding(bytes, file.byteOrderMark.size(), encoding, error)) return false;
  const std::string sep = Encode(separator, encoding);
  if (sep.empty()) {
    error = "the separator has no form in the file's encoding";
    return false;
  }
  file.bytes = std::move(bytes);
  const std::string& b = file.bytes;
  const std::size_t size = b.size();

  // Room for every field and record at once: a field starts at most after each separator
  // byte or line end, so the vectors never grow while a large file is read.
  std::size_t marks = 1;
  for (const char ch : b) marks += (ch == sep[0] || ch == '\n' || ch == '\r') ? 1 : 0;
  file.fields.reserve(marks);
  file.records.reserve(marks);

  std::size_t line = 1;
  std::size_t i = 0;
  const char first = sep[0];
  auto atSeparator = [&](std::size_t k) {
    return b[k] == first && (sep.size() == 1 || b.compare(k, sep.size(), sep) == 0);
  };
  auto atLineEnd = [&](std::size_t k) { return k < size && (b[k] == '\r' || b[k] == '\n'); };
  while (i < size) {
    RecordSpan record;
    record.begin = static_cast<std::uint32_t>(i);
    record.firstField = static_cast<std::uint32_t>(file.fields.size());
    for (;;) {  // one field
      FieldSpan field;
      if (i < size && b[i] == '"') {
        field.quoted = true;
        const std::size_t openedOn = line;
        field.begin = static_cast<std::uint32_t>(++i);
        for (;; ++i) {
          if (i >= size) {
            error = "line " + std::to_string(openedOn) + ": quoted field never closed";
            return false;
          }
          if (b[i] == '"') {
            if (i + 1 < size && b[i + 1] == '"') {
              ++i;
              continue;
            }
            break;
          }
          if (b[i] == '\n') ++line;
        }
        field.length = static_cast<std::uint32_t>(i - field.begin);
        ++i;  // the closing quote
        // After the closing quote only a separator or the end of the record may follow.
        if (i < size && !atSeparator(i) && !atLineEnd(i)) {
          error = "line " + std::to_string(line) + ": text after a closing quote";
          return false;
        }
      } else {
        field.begin = static_cast<std::uint32_t>(i);
        while (i < size && !atSeparator(i) && !atLineEnd(i)) ++i;
        field.length = static_cast<std::uint32_t>(i - field.begin);
      }
      file.fields.push_back(field);
      if (i < size && atSeparator(i)) {
        i += sep.size();
        continue;
      }
      break;
    }
    record.end = static_cast<std::uint32_t>(i);
    record.fieldCount = static_cast<std::uint32_t>(file.fields.size()) - record.firstField;
    if (i < size) {  // the line end
      const std::size_t ends = i;
      i += (b[i] == '\r' && i + 1 < size && b[i + 1] == '\n') ? 2 : 1;
      if (file.lineEnd.empty()) file.lineEnd = b.substr(ends, i - ends);
      ++line;
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
  if (!ReadCsv(bytes, separator, Encoding::Utf8, file, error)) return false;
  rows.clear();
  for (const RecordSpan& record : file.records) {
    std::vector<CsvField> row;
    for (std::uint32_t c = 0; c < record.fieldCount; ++c) {
      const FieldSpan field = file.Field(record, c);
      row.push_back(CsvField{file.Text(field), field.quoted});
    }
    rows.push_back(std::move(row));
  }
  return true;
}

VARIANT CellFromField(const CsvField& field) {
  VARIANT cell;
  VariantInit(&cell);
  if (!field.quoted) {
    if (field.text.empty()) return cell;
    if (EqualsNoCase(field.text, L"TRUE") || EqualsNoCase(field.text, L"FALSE")) {
      cell.vt = VT_BOOL;
      cell.boolVal = EqualsNoCase(field.text, L"TRUE") ? VARIANT_TRUE : VARIANT_FALSE;
      return cell;
    }
    double date = 0.0;
    if (ParseIsoDate(field.text, date)) {
      cell.vt = VT_DATE;
      cell.date = date;
      return cell;
    }
    if (ParseNumber(field.text, cell)) return cell;
  }
  cell.vt = VT_BSTR;
  cell.bstrVal = SysAllocStringLen(field.text.data(), static_cast<UINT>(field.text.size()));
  return cell;
}

std::string WriteCsv(const CsvFile& file, const std::vector<std::uint32_t>& order) {
  std::size_t size = file.byteOrderMark.size();
  for (const std::uint32_t r : order) {
    size += file.records[r].end - file.records[r].begin + file.lineEnd.size();
  }
  std::string out;
  out.reserve(size);
  out += file.byteOrderMark;
  for (const std::uint32_t r : order) {
    const RecordSpan& record = file.records[r];
    out.append(file.bytes, record.begin, record.end - record.begin);
    out += file.lineEnd;
  }
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
