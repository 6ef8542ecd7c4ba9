// CSV tables for the tools: RFC 4180 text, kept as the very bytes it came in.
//
// Reading (ReadCsv): records end at CRLF, LF or CR outside quotes; fields are separated by the
// separator; a field in double quotes may hold separators, quotes (doubled) and line breaks.
// The file stays one block of bytes: every record and every field is a slice of it, decoded
// only when a caller asks for its text. So a row written back is the row that was read, byte
// for byte, and a million rows cost 12 bytes of bookkeeping each: a record's fields are found
// again in its bytes when they are asked for, instead of being kept for every field of the
// file (which took more memory than the file).
//
// Encodings: UTF-8 is read as it stands (an invalid sequence is refused with its line and
// byte offset). A byte-order mark decides the encoding over the one asked for: UTF-8, UTF-16
// little- or big-endian; it is kept aside and written back. UTF-16 and Windows code pages are
// converted to UTF-8 once, a part at a time, and converted back when written; a code page is
// read only when every byte converts back to itself, so the rows written are the bytes read.
// A NUL is refused with its line in every encoding.
//
// Cell types (CellFromField), used to compare only: an empty field, quoted or not, is empty;
// TRUE/FALSE (any case) are booleans; YYYY-MM-DD, optionally with Thh:mm or Thh:mm:ss, is a
// date when the calendar has that day and the year is 0100 or later (the first year of OLE
// dates; 0001-01-01 and 2023-02-31 stay text, never another day), and so is a day written
// with slashes in the system's order of day, month and a four-digit year, with points where
// the day comes first (3/14/2026 where the month comes first; 14/03/2026 and 14.03.2026 where
// the day does), optionally with h:mm or h:mm:ss after a blank; a decimal integer that fits in 32
// bits is a Long, another decimal number a Double; everything else is text. Quotes do not make a
// field text: "10" is the number 10, as a spreadsheet's import reads it, unless the caller
// keeps quoted fields as text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ole.h"

namespace tkr {

// A file's encoding, by its Windows code page number: 65001 is UTF-8, 1200 and 1201 are
// UTF-16 little- and big-endian.
using CodePage = unsigned;
constexpr CodePage kUtf8 = 65001;
constexpr CodePage kUtf16Le = 1200;
constexpr CodePage kUtf16Be = 1201;

// Why `page` cannot be read and written back row by row ("code page 42 is ..."), or "".
std::string UnusableCodePage(CodePage page);

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

// A record: its bytes without the line end, and how many fields they hold.
struct RecordSpan {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  std::uint32_t fieldCount = 0;
};

class CsvFile {
 public:
  std::string bytes;           // the file as UTF-8, byte-order mark excluded
  std::string byteOrderMark;   // as it was in the file, or empty
  std::string lineEnd;         // the first line end of the file ("\r\n" when it has none)
  CodePage encoding = kUtf8;   // what the file was and is written back in
  wchar_t separator = L',';    // given, or found on the first line
  std::string separatorBytes;  // the separator as UTF-8
  std::vector<RecordSpan> records;
  std::size_t columns = 0;  // fields of the longest record
  bool ragged = false;      // some record has fewer fields than the longest

  // Field `column` (0-based) of `record`; an empty span past the record's last field. Reads
  // the record's bytes up to that field: for several fields of one record, FieldsOf.
  FieldSpan Field(const RecordSpan& record, std::size_t column) const;
  // The fields of `record`, all of them or its first `count`, in one reading of its bytes,
  // into `fields` (their room is kept).
  void FieldsOf(const RecordSpan& record, std::vector<FieldSpan>& fields,
                std::size_t count = SIZE_MAX) const;
  // The text a field holds: quotes undone, decoded.
  std::wstring Text(const FieldSpan& field) const;
  // The same into `text`, whose room is kept from field to field.
  void TextInto(const FieldSpan& field, std::wstring& text) const;
  // The record's bytes, line end excluded.
  std::string Raw(const RecordSpan& record) const;
};

// Reads `bytes` as CSV in `encoding` (unless a byte-order mark says otherwise) with
// `separator` (one character; 0: the one of `,` `;` tab `|` the first line holds most of,
// a comma when it holds none). Returns false with `error` set ("line N: ..." or
// "line N, byte M: ...") for malformed or wrongly encoded input.
bool ReadCsv(std::string bytes, wchar_t separator, CodePage encoding, CsvFile& file,
             std::string& error);

// `utf8` in `file`'s encoding, after its byte-order mark. False with `error` set when a
// character has no form there (a cell copied in from a file in another encoding).
bool ToFileEncoding(const CsvFile& file, const std::string& utf8, std::string& out,
                    std::string& error);

// A field's text and whether it was quoted: what cell typing needs.
struct CsvField {
  std::wstring text;
  bool quoted = false;
};
using CsvRows = std::vector<std::vector<CsvField>>;

// ReadCsv for UTF-8, with every field decoded: small tables (tests, destinations).
bool ParseCsv(const std::string& bytes, wchar_t separator, CsvRows& rows, std::string& error);

// How fields are typed: whether a quoted field stays text (and "" the empty text), the
// decimal mark ('.' or ','; with ',' points may group thousands: 1.234,5), and the order of
// day, month and year in dates written with slashes or points.
enum class DateOrder { MonthDayYear, DayMonthYear, YearMonthDay };
struct CellTyping {
  bool quotedText = false;
  wchar_t decimal = L'.';
  DateOrder dates = DateOrder::MonthDayYear;
};

// The order of the system's short dates (the one its spreadsheet writes).
DateOrder SystemDateOrder();

// The typed VARIANT for one field (the caller clears it).
VARIANT CellFromField(const CsvField& field, const CellTyping& typing = {});

// A text cell holding `text` as it stands (the caller clears it).
VARIANT TextCell(const std::wstring& text);

// The file written back with its records in `order` (indexes into file.records), each ended
// with the file's line end, the byte-order mark first when it had one, in the file's
// encoding, one part at a time: a large table is written without being held a second time.
class CsvWriter {
 public:
  // `file` and `order` must outlive the writer. A part holds whole records: about `part`
  // bytes, or one record that is longer.
  CsvWriter(const CsvFile& file, const std::vector<std::uint32_t>& order,
            std::size_t part = std::size_t{1} << 22);
  // The next part; empty when all is written.
  std::string_view Next();

 private:
  static constexpr std::size_t kAhead = 16;  // records looked ahead at
  const CsvFile& file_;
  const std::vector<std::uint32_t>& order_;
  std::size_t part_;
  std::size_t next_ = 0;  // in order_
  bool started_ = false;
  std::string utf8_, encoded_;
};

// All parts of a CsvWriter at once.
std::string WriteCsv(const CsvFile& file, const std::vector<std::uint32_t>& order);

// UTF-16 <-> UTF-8.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& bytes);

}  // namespace tkr
