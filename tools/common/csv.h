// CSV tables for the tools: RFC 4180 text, kept as the very bytes it came in.
//
// Reading (ReadCsv): records end at CRLF, LF or CR outside quotes; fields are separated by the
// separator; a field in double quotes may hold separators, quotes (doubled) and line breaks.
// The file stays one block of bytes: every record and every field is a slice of it, decoded
// only when a caller asks for its text. So a row written back is the row that was read, byte
// for byte, and a million rows cost a few bytes of bookkeeping each.
//
// Encodings: UTF-8 (an invalid sequence is refused with its line and byte offset; a leading
// byte-order mark is kept aside and written back) or Windows-1252 for legacy files. A NUL
// byte is refused with its line in either.
//
// Cell types (CellFromField), used to compare only: an empty unquoted field is empty;
// TRUE/FALSE (any case) are booleans; YYYY-MM-DD, optionally with Thh:mm or Thh:mm:ss, is a
// date when the calendar has that day and the year is 0100 or later (the first year of OLE
// dates; 0001-01-01 and 2023-02-31 stay text, never another day); a decimal integer that fits in 32
// bits is a Long, another decimal number a Double; everything else, and every quoted field, is
// text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ole.h"

namespace tkr {

enum class Encoding { Utf8, Cp1252 };

// The most bytes a file may have past its byte-order mark: records and fields are 32-bit
// offsets into it.
constexpr std::uint64_t kLargestCsv = 0xFFFFFFF0u;

// A field's content: the bytes between its quotes (doubled quotes still doubled), or the
// whole unquoted field.
struct FieldSpan {
  std::uint32_t begin = 0;
  std::uint32_t length = 0;
  bool quoted = false;
};

// A record: its bytes without the line end, and its fields.
struct RecordSpan {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  std::uint32_t firstField = 0;
  std::uint32_t fieldCount = 0;
};

class CsvFile {
 public:
  std::string bytes;          // the file, byte-order mark excluded
  std::string byteOrderMark;  // as it was, or empty
  std::string lineEnd;        // the first line end of the file ("\r\n" when it has none)
  Encoding encoding = Encoding::Utf8;
  std::vector<FieldSpan> fields;
  std::vector<RecordSpan> records;
  std::size_t columns = 0;  // fields of the longest record
  bool ragged = false;      // some record has fewer fields than the longest

  // Field `column` (0-based) of `record`; an empty span past the record's last field.
  FieldSpan Field(const RecordSpan& record, std::size_t column) const;
  // The text a field holds: quotes undone, decoded from the file's encoding.
  std::wstring Text(const FieldSpan& field) const;
  // The record's bytes, line end excluded.
  std::string Raw(const RecordSpan& record) const;
};

// Reads `bytes` as CSV with `separator` (one character). Returns false with `error` set
// ("line N: ..." or "line N, byte M: ...") for malformed or wrongly encoded input.
bool ReadCsv(std::string bytes, wchar_t separator, Encoding encoding, CsvFile& file,
             std::string& error);

// A field's text and whether it was quoted: what cell typing needs.
struct CsvField {
  std::wstring text;
  bool quoted = false;
};
using CsvRows = std::vector<std::vector<CsvField>>;

// ReadCsv for UTF-8, with every field decoded: small tables (tests, destinations).
bool ParseCsv(const std::string& bytes, wchar_t separator, CsvRows& rows, std::string& error);

// The typed VARIANT for one field (the caller clears it).
VARIANT CellFromField(const CsvField& field);

// The file written back with its records in `order` (indexes into file.records), each ended
// with the file's line end, the byte-order mark first when it had one.
std::string WriteCsv(const CsvFile& file, const std::vector<std::uint32_t>& order);

// UTF-16 <-> UTF-8.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& bytes);

}  // namespace tkr
