// CSV tables for the tools: RFC 4180 text, kept as the very bytes it came in.
//
// Three jobs, each in a file of its own: decoding a file to UTF-8 and writing text back in its
// encoding (common/text_encoding.h), scanning UTF-8 into records and fields and writing
// records back (here), and typing a field's text as a cell (common/csv_typing.h). This header
// offers all three to the tools.
//
// Reading (ReadCsv) is a decode step (DecodeToUtf8) and a scan (ScanCsv). The scanner knows
// nothing of encodings: records end at CRLF, LF or CR outside quotes; fields are separated by
// the separator; a field in double quotes may hold separators, quotes (doubled) and line
// breaks. The file stays one block of bytes: every record and every field is a slice of it,
// decoded only when a caller asks for its text. So a row written back is the row that was
// read, byte for byte, and a million rows cost 12 bytes of bookkeeping each: a record's fields
// are found again in its bytes when they are asked for, instead of being kept for every field
// of the file (which took more memory than the file).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/csv_typing.h"
#include "common/text_encoding.h"

namespace tkr {

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
  std::string bytes;          // the file as UTF-8, byte-order mark excluded
  std::string byteOrderMark;  // as it was in the file, or empty
  std::string lineEnd;  // the first line end of the file ("\r\n" when it has none): for a record
                        // that had none (the file's last) when another comes after it
  CodePage encoding = kUtf8;   // what the file was and is written back in
  wchar_t separator = L',';    // given, or found on the first line
  std::string separatorBytes;  // the separator as UTF-8
  std::vector<RecordSpan> records;
  // Lines that are not rows of the table, written first as they are, in file order: the
  // preamble lines a reader was asked to skip, then the comment lines.
  std::vector<RecordSpan> kept;
  bool finalLineEnd = true;  // the file ends with a line end
  std::size_t columns = 0;   // fields of the longest record
  bool ragged = false;       // some record has fewer fields than the longest

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
  // The line end that followed `record` in the file: CRLF, LF, CR, or none (the file's last
  // record, when the file does not end with a line end).
  std::string_view LineEndOf(const RecordSpan& record) const;
  // The line end written after `record`, written `last` or not: its own, so that a file of
  // mixed line ends keeps each; the file's first line end for the record that had none when
  // it is not written last; and after the last record written, a line end only when the file
  // ended with one.
  std::string_view EndWritten(const RecordSpan& record, bool last) const;
};

// Lines of a file that are not rows of its table: the first `skip` lines (a title, notes
// above the table), and every line whose first character is `comment` (0: none). Both are
// read as plain lines, quotes and all, and kept (CsvFile::kept) to be written first.
struct LinesKept {
  std::size_t skip = 0;
  char comment = 0;
};

// How many lines of a file the separator is found from: enough that a few comment or title
// lines do not decide it, few enough that a large file costs nothing to look at.
constexpr std::size_t kSeparatorLines = 100;

// Reads `bytes` as CSV in `encoding` (unless a byte-order mark says otherwise) with
// `separator` (one character; 0: found from the first lines, see ScanCsv), the lines `kept`
// names set aside: DecodeToUtf8, then ScanCsv. Returns false with `error` set ("line N: ..."
// or "line N, byte M: ...") for malformed or wrongly encoded input.
bool ReadCsv(std::string bytes, wchar_t separator, CodePage encoding, CsvFile& file,
             std::string& error, const LinesKept& kept = {});

// The scan alone: `utf8` (at most kLargestCsv bytes) into `file`'s bytes, separator, records,
// kept lines, line end and columns; its byte-order mark and encoding are left as they are.
// Without a separator given, the one of `,` `;` tab `|` found on most of the first
// kSeparatorLines lines of the table (kept lines and lines holding none left out) the same
// number of times; on a tie, one the first of those lines holds, then the one found more
// times a line, then in that order; a comma when no line holds any. False with `error` set
// ("line N: ...") for a quoted field never closed or text after a closing quote. A large
// file is scanned in two parts at once, on two threads, with the same result.
bool ScanCsv(std::string utf8, wchar_t separator, CsvFile& file, std::string& error,
             const LinesKept& kept = {});

// `utf8` in `file`'s encoding, after its byte-order mark. False with `error` set when a
// character has no form there (a cell copied in from a file in another encoding).
bool ToFileEncoding(const CsvFile& file, const std::string& utf8, std::string& out,
                    std::string& error);

using CsvRows = std::vector<std::vector<CsvField>>;

// ReadCsv for UTF-8, with every field decoded: small tables (tests, destinations).
bool ParseCsv(const std::string& bytes, wchar_t separator, CsvRows& rows, std::string& error);

// The file written back: its kept lines first, then its records in `order` (indexes into
// file.records), each ended as CsvFile::EndWritten says (its own line end; the last written
// ends as the file did), the byte-order mark first when it had one, in the file's encoding,
// one part at a time: a large table is written without being held a second time.
class CsvWriter {
 public:
  // `file` and `order` must outlive the writer. A part holds whole records: about `part`
  // bytes, or one record that is longer.
  CsvWriter(const CsvFile& file, const std::vector<std::uint32_t>& order,
            std::size_t part = std::size_t{1} << 22);
  // The same in `encoding`, `mark` first, instead of the file's own: every line must have a
  // form there (FirstLineWithoutForm finds one that has none).
  CsvWriter(const CsvFile& file, const std::vector<std::uint32_t>& order, CodePage encoding,
            std::string mark, std::size_t part = std::size_t{1} << 22);
  // The next part; empty when all is written.
  std::string_view Next();

  // Room for making parts by number: one for each thread that makes them.
  struct Room {
    std::string utf8, encoded;
  };
  // The parts by number, for writers on two threads: part k holds the kept lines and records
  // from k x the records that `part` bytes hold on average over the file on, as many again
  // (at least one), the byte-order mark first in part 0. Together they are the bytes Next
  // gives.
  std::size_t Parts() const noexcept;
  // Makes part `k` in `room` and hands it to `take` in pieces of whole records, each of about
  // `part` bytes or one longer record (a part whose records are longer than the file's
  // average comes in more than one); false as soon as `take` returns false.
  bool MakePart(std::size_t k, Room& room, const std::function<bool(std::string_view)>& take) const;

 private:
  static constexpr std::size_t kAhead = 16;  // records looked ahead at
  std::size_t PerPart() const noexcept;
  // Appends place `at` of the kept lines and then the records in order (`n` in all), its
  // line end with it, asking for the records further on ahead.
  void Append(std::size_t at, std::size_t n, std::string& out) const;
  // `utf8` (the mark first when `first`) in the writer's encoding: `utf8` itself, or
  // `encoded` made from it.
  std::string_view Encoded(bool first, const std::string& utf8, std::string& encoded) const;
  const CsvFile& file_;
  const std::vector<std::uint32_t>& order_;
  std::size_t part_;
  CodePage encoding_;
  std::string mark_;
  std::size_t next_ = 0;  // in the kept lines, then in order_
  bool started_ = false;
  std::string utf8_, encoded_;
};

// The first line (from 1) of `file`'s text that has no form in `page`, or 0 when all of it
// converts: UTF-8 and UTF-16 hold every character, a code page only some.
std::size_t FirstLineWithoutForm(const CsvFile& file, CodePage page);

// All parts of a CsvWriter at once.
std::string WriteCsv(const CsvFile& file, const std::vector<std::uint32_t>& order);

}  // namespace tkr
