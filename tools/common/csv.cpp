#include "common/csv.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

namespace tkr {
namespace {

bool EqualsNoCase(const std::wstring& text, const wchar_t* word) {
  std::size_t i = 0;
  for (; i < text.size() && word[i] != L'\0'; ++i) {
    if (std::towupper(text[i]) != word[i]) return false;
  }
  return i == text.size() && word[i] == L'\0';
}

// YYYY-MM-DD[Thh:mm[:ss]] as an OLE date.
bool ParseIsoDate(const std::wstring& text, double& date) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
  const wchar_t* s = text.c_str();
  if (std::swscanf(s, L"%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 || used != 10) {
    return false;
  }
  if (text.size() > 10) {
    int more = 0;
    if (text[10] != L'T' && text[10] != L' ') return false;
    if (std::swscanf(s + 11, L"%2d:%2d%n", &hour, &minute, &more) != 2) return false;
    std::size_t end = 11 + static_cast<std::size_t>(more);
    if (end < text.size()) {
      int tail = 0;
      if (std::swscanf(s + end, L":%2d%n", &second, &tail) != 1) return false;
      end += static_cast<std::size_t>(tail);
    }
    if (end != text.size()) return false;
  }
  SYSTEMTIME st = {};
  st.wYear = static_cast<WORD>(year);
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wHour = static_cast<WORD>(hour);
  st.wMinute = static_cast<WORD>(minute);
  st.wSecond = static_cast<WORD>(second);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  return SystemTimeToVariantTime(&st, &date) != FALSE;
}

bool ParseNumber(const std::wstring& text, VARIANT& cell) {
  if (text.empty() || std::iswspace(text[0]) || std::iswspace(text.back())) return false;
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
  // Only plain decimal notation: no hexadecimal, infinities or NaN from a text column.
  for (wchar_t ch : text) {
    if (!(std::iswdigit(ch) || ch == L'.' || ch == L'-' || ch == L'+' || ch == L'e' ||
          ch == L'E')) {
      return false;
    }
  }
  if (*end != L'\0' || errno != 0) return false;
  cell.vt = VT_R8;
  cell.dblVal = real;
  return true;
}

std::wstring FormatDate(double date) {
  SYSTEMTIME st = {};
  if (!VariantTimeToSystemTime(date, &st)) return L"";
  wchar_t text[32];
  if (st.wHour == 0 && st.wMinute == 0 && st.wSecond == 0) {
    std::swprintf(text, 32, L"%04u-%02u-%02u", st.wYear, st.wMonth, st.wDay);
  } else {
    std::swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02u", st.wYear, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond);
  }
  return text;
}

}  // namespace

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

bool ParseCsv(const std::string& bytes, wchar_t separator, CsvRows& rows, std::string& error) {
  std::wstring text = FromUtf8(bytes);
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  rows.clear();
  std::vector<CsvField> row;
  CsvField field;
  std::size_t line = 1;
  bool fieldStarted = false;
  auto endField = [&] {
    row.push_back(field);
    field = CsvField{};
    fieldStarted = false;
  };
  auto endRow = [&] {
    endField();
    rows.push_back(row);
    row.clear();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t ch = text[i];
    if (ch == L'"' && !fieldStarted) {
      field.quoted = true;
      fieldStarted = true;
      const std::size_t openedOn = line;
      for (++i;; ++i) {
        if (i >= text.size()) {
          error = "line " + std::to_string(openedOn) + ": quoted field never closed";
          return false;
        }
        if (text[i] == L'"') {
          if (i + 1 < text.size() && text[i + 1] == L'"') {
            field.text += L'"';
            ++i;
            continue;
          }
          break;
        }
        if (text[i] == L'\n') ++line;
        field.text += text[i];
      }
      // After the closing quote only a separator or the end of the record may follow.
      const std::size_t next = i + 1;
      if (next < text.size() && text[next] != separator && text[next] != L'\r' &&
          text[next] != L'\n') {
        error = "line " + std::to_string(line) + ": text after a closing quote";
        return false;
      }
    } else if (ch == separator) {
      endField();
    } else if (ch == L'\r' || ch == L'\n') {
      if (ch == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
      endRow();
      ++line;
    } else {
      if (field.quoted) {
        error = "line " + std::to_string(line) + ": text after a closing quote";
        return false;
      }
      field.text += ch;
      fieldStarted = true;
    }
  }
  if (fieldStarted || field.quoted || !row.empty()) endRow();
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

SAFEARRAY* TableFromCsv(const CsvRows& rows) {
  std::size_t columns = 0;
  for (const auto& row : rows) columns = row.size() > columns ? row.size() : columns;
  SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(rows.size()), 1},
                              {static_cast<ULONG>(columns), 1}};
  SAFEARRAY* table = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (table == nullptr) return nullptr;
  auto* cells = static_cast<VARIANT*>(table->pvData);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < rows[r].size(); ++c)
      cells[c * rows.size() + r] = CellFromField(rows[r][c]);
  }
  return table;
}

std::wstring DisplayText(const VARIANT& cell) {
  switch (cell.vt) {
    case VT_EMPTY: return L"";
    case VT_NULL: return L"(null)";
    case VT_BOOL: return cell.boolVal != VARIANT_FALSE ? L"TRUE" : L"FALSE";
    case VT_DATE: return FormatDate(cell.date);
    case VT_BSTR: return cell.bstrVal != nullptr ? cell.bstrVal : L"";
    case VT_I4: return std::to_wstring(cell.lVal);
    case VT_R8: {
      wchar_t text[40];
      std::swprintf(text, 40, L"%.15g", cell.dblVal);
      return text;
    }
    default: {
      VARIANT text;
      VariantInit(&text);
      const LCID neutral = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
      if (FAILED(VariantChangeTypeEx(&text, const_cast<VARIANT*>(&cell), neutral, 0, VT_BSTR))) {
        return L"(?)";
      }
      std::wstring out = text.bstrVal;
      VariantClear(&text);
      return out;
    }
  }
}

std::wstring CsvText(const VARIANT& cell, wchar_t separator) {
  std::wstring plain = DisplayText(cell);
  if (cell.vt == VT_R8) {
    // The shortest form that reads back as the same double.
    wchar_t exact[40];
    std::swprintf(exact, 40, L"%.17g", cell.dblVal);
    if (std::wcstod(plain.c_str(), nullptr) != cell.dblVal) plain = exact;
  }
  bool quote = false;
  for (wchar_t ch : plain)
    quote = quote || ch == separator || ch == L'"' || ch == L'\n' || ch == L'\r';
  if (!quote && cell.vt == VT_BSTR) {
    // Text stays text: quote it where reading it back unquoted would give another type
    // (a number, a date, a boolean, an empty cell).
    VARIANT back = CellFromField(CsvField{plain, false});
    quote = back.vt != VT_BSTR;
    VariantClear(&back);
  }
  if (!quote) return plain;
  std::wstring out = L"\"";
  for (wchar_t ch : plain) {
    if (ch == L'"') out += L'"';
    out += ch;
  }
  return out + L"\"";
}

std::string CsvFromTable(SAFEARRAY* table, wchar_t separator) {
  const ULONG rows = table->rgsabound[1].cElements;
  const ULONG columns = table->rgsabound[0].cElements;
  const auto* cells = static_cast<const VARIANT*>(table->pvData);
  std::wstring out;
  for (ULONG r = 0; r < rows; ++r) {
    for (ULONG c = 0; c < columns; ++c) {
      if (c > 0) out += separator;
      out += CsvText(cells[c * rows + r], separator);
    }
    out += L"\r\n";
  }
  return ToUtf8(out);
}

}  // namespace tkr
