// CSV tables for the tools: RFC 4180 text in UTF-8 to and from VARIANT arrays.
//
// Reading: fields separated by a comma (or the separator given), records by CRLF or LF;
// a field in double quotes may hold separators, quotes (doubled) and line breaks. A UTF-8
// byte-order mark is skipped. Cell types: an empty unquoted field is empty; TRUE/FALSE
// (any case) are booleans; YYYY-MM-DD, optionally with Thh:mm or Thh:mm:ss, is a date; a
// decimal integer that fits in 32 bits is a Long, another number a Double; everything
// else, and every quoted field, is text.
//
// Writing gives each cell back in a form that reads back as the same cell: text is quoted
// only where it holds a separator, a quote or a line break, or would otherwise read as a
// number, date, boolean or empty cell; numbers keep every digit they need.
#pragma once

#include <string>
#include <vector>

#include "platform/ole.h"

namespace tkr {

struct CsvField {
  std::wstring text;
  bool quoted = false;
};
using CsvRows = std::vector<std::vector<CsvField>>;

// Parses `bytes`. Returns false with `error` set ("line N: ...") for malformed input.
bool ParseCsv(const std::string& bytes, wchar_t separator, CsvRows& rows, std::string& error);

// The typed VARIANT for one field (the caller clears it).
VARIANT CellFromField(const CsvField& field);

// A 2-D VARIANT array (rows and columns from 1) of the typed fields; short rows are padded
// with empty cells. The caller owns the result.
SAFEARRAY* TableFromCsv(const CsvRows& rows);

// One cell as CSV text (quoted where needed), and as plain text for display.
std::wstring CsvText(const VARIANT& cell, wchar_t separator);
std::wstring DisplayText(const VARIANT& cell);

// A whole 2-D VARIANT array as CSV in UTF-8, CRLF line ends.
std::string CsvFromTable(SAFEARRAY* table, wchar_t separator);

// UTF-16 <-> UTF-8.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& bytes);

}  // namespace tkr
