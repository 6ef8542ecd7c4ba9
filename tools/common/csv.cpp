// CSV tables as blocks of UTF-8: the record scanner, a field's text, and writing back. See
// csv.h.
#include "common/csv.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <utility>

#include "common/beside.h"
#include "common/byte_words.h"

namespace tkr {
namespace {

// The end of the line that starts at b[i]: its first CR or LF, or the end of the block.
std::size_t LineEndAt(const std::string& b, std::size_t i) {
  while (i < b.size() && b[i] != '\n' && b[i] != '\r') ++i;
  return i;
}

// Past the line end at b[i] (CRLF, LF or CR; nothing at the end of the block).
std::size_t PastLineEnd(const std::string& b, std::size_t i) {
  if (i >= b.size()) return i;
  return i + (b[i] == '\r' && i + 1 < b.size() && b[i + 1] == '\n' ? 2 : 1);
}

// The separator of the table that starts at b[from], as ScanCsv says: counted outside
// quotes on each of its first lines (a quoted line break continues the line), comment lines
// left out.
wchar_t FindSeparator(const std::string& b, std::size_t from, char comment) {
  static const char kCandidates[] = {',', ';', '\t', '|'};
  constexpr std::size_t kKinds = sizeof kCandidates;
  std::vector<std::array<std::size_t, kKinds>> lines;  // the counts of each line
  std::array<std::size_t, kKinds> counts{};
  bool quoted = false;
  std::size_t i = from;
  while (i < b.size() && lines.size() < kSeparatorLines) {
    if (comment != 0 && b[i] == comment) {  // a comment line counts nothing
      i = PastLineEnd(b, LineEndAt(b, i));
      continue;
    }
    for (; i < b.size(); ++i) {
      const char ch = b[i];
      if (ch == '"') {
        quoted = !quoted;  // a doubled quote inside quotes leaves and enters again
      } else if (!quoted && (ch == '\n' || ch == '\r')) {
        break;
      } else if (!quoted) {
        for (std::size_t k = 0; k < kKinds; ++k) counts[k] += ch == kCandidates[k] ? 1 : 0;
      }
    }
    i = PastLineEnd(b, i);
    if (std::any_of(counts.begin(), counts.end(), [](std::size_t n) { return n != 0; })) {
      lines.push_back(counts);
    }
    counts = {};
  }
  if (lines.empty()) return L',';
  // For each separator: how many lines hold it the number of times most lines do, and that
  // number.
  std::size_t best = 0, bestAgree = 0, bestTimes = 0;
  for (std::size_t k = 0; k < kKinds; ++k) {
    std::map<std::size_t, std::size_t> lineCounts;  // times a line -> lines
    for (const auto& line : lines) {
      if (line[k] != 0) ++lineCounts[line[k]];
    }
    std::size_t agree = 0, times = 0;
    for (const auto& [n, many] : lineCounts) {
      if (many >= agree) {  // on a tie, the larger number
        agree = many;
        times = n;
      }
    }
    const bool onFirst = lines[0][k] != 0, bestOnFirst = lines[0][best] != 0;
    const bool better =
        k == 0 || agree > bestAgree ||
        (agree == bestAgree && (onFirst != bestOnFirst ? onFirst : times > bestTimes));
    if (better && agree != 0) {
      best = k;
      bestAgree = agree;
      bestTimes = times;
    }
  }
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

// One record of `b` from byte `i` (a record start): its fields counted, `i` moved to its line
// end (or the end of the block). False with `error` set for a quoted field never closed, or
// text after a closing quote.
bool ScanRecord(const std::string& b, const std::string& sep, std::size_t& i, RecordSpan& record,
                std::string& error) {
  const std::size_t size = b.size();
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
  return true;
}

// Files of at least this many bytes are scanned in two parts at once (see ScanCsv): below
// it, starting a thread (about a tenth of a millisecond under Wine) costs more than half of
// the scan saves; the tests' larger files still take the two-part path.
constexpr std::size_t kScannedInTwo = std::size_t{1} << 18;

// The records of one part of a block, from a record start to the end of the part or past it
// (a part ends after the record that crosses its end).
struct PartScan {
  std::vector<RecordSpan> records;
  std::string lineEnd;  // the first line end met, "" while none
  std::size_t columns = 0;
  std::size_t at = 0;  // where the scan stopped: the part's end, or past it
  bool ok = true;
  std::string error;
  std::vector<RecordSpan>* kept = nullptr;  // comment lines go here, with `comment` set
  char comment = 0;

  // Scans from b[from] (a record start) until `to` is reached or passed.
  void Run(const std::string& b, const std::string& sep, std::size_t from, std::size_t to) {
    const std::size_t size = b.size();
    // Room for every record at once: a record ends at most at each line end, so the vector
    // never grows (and never holds twice its size) while a large file is read.
    std::size_t ends = 1;
    for (std::size_t k = from; k < to; ++k) ends += (b[k] == '\n' || b[k] == '\r') ? 1 : 0;
    records.reserve(records.size() + ends);
    std::size_t i = from;
    while (i < to) {
      if (comment != 0 && b[i] == comment) {  // a line kept as it is, whatever quotes it holds
        RecordSpan line;
        line.begin = static_cast<std::uint32_t>(i);
        i = LineEndAt(b, i);
        line.end = static_cast<std::uint32_t>(i);
        line.fieldCount = 1;
        if (i < size && lineEnd.empty()) lineEnd = b.substr(i, PastLineEnd(b, i) - i);
        i = PastLineEnd(b, i);
        kept->push_back(line);
        continue;
      }
      RecordSpan record;
      if (!ScanRecord(b, sep, i, record, error)) {
        ok = false;
        break;
      }
      if (i < size) {  // the line end
        const std::size_t end = i;
        i += (b[i] == '\r' && i + 1 < size && b[i + 1] == '\n') ? 2 : 1;
        if (lineEnd.empty()) lineEnd = b.substr(end, i - end);
      }
      records.push_back(record);
      columns = std::max<std::size_t>(columns, record.fieldCount);
    }
    at = i;
  }

  // The part that follows this one, found by another scan.
  void Append(PartScan& next) {
    if (!next.ok) {
      ok = false;
      error = std::move(next.error);
      return;
    }
    records.insert(records.end(), next.records.begin(), next.records.end());
    if (lineEnd.empty()) lineEnd = std::move(next.lineEnd);
    columns = std::max(columns, next.columns);
    at = next.at;
  }
};

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

std::string_view CsvFile::LineEndOf(const RecordSpan& record) const {
  const std::size_t at = record.end;
  if (at >= bytes.size()) return {};
  const std::size_t length = bytes[at] == '\r' && at + 1 < bytes.size() && bytes[at + 1] == '\n' ? 2
                             : bytes[at] == '\r' || bytes[at] == '\n'                            ? 1
                                                                      : 0;
  return std::string_view(bytes).substr(at, length);
}

std::string_view CsvFile::EndWritten(const RecordSpan& record, bool last) const {
  const std::string_view own = LineEndOf(record);
  if (last && !finalLineEnd) return {};
  return own.empty() ? std::string_view(lineEnd) : own;
}

bool ScanCsv(std::string utf8, wchar_t separator, CsvFile& file, std::string& error,
             const LinesKept& kept) {
  file.bytes = std::move(utf8);
  const std::string& b = file.bytes;
  const std::size_t size = b.size();
  file.finalLineEnd = size == 0 || b.back() == '\n' || b.back() == '\r';
  // A line kept as it is: to its line end, whatever quotes it holds.
  auto keepLine = [&](std::size_t& i) {
    RecordSpan line;
    line.begin = static_cast<std::uint32_t>(i);
    i = LineEndAt(b, i);
    line.end = static_cast<std::uint32_t>(i);
    line.fieldCount = 1;
    if (i < size && file.lineEnd.empty()) file.lineEnd = b.substr(i, PastLineEnd(b, i) - i);
    i = PastLineEnd(b, i);
    file.kept.push_back(line);
  };
  std::size_t start = 0;
  for (std::size_t k = 0; k < kept.skip && start < size; ++k) keepLine(start);
  file.separator = separator != 0 ? separator : FindSeparator(b, start, kept.comment);
  file.separatorBytes = ToUtf8(std::wstring(1, file.separator));

  // A large file without comment lines is scanned in two parts at once, the second on
  // another core, from a guess at where a record starts: the first line end past the middle
  // with an even number of quotes before it, outside quotes in a well-formed file. The guess
  // holds when the first part's last record ends right there (a stray quote in an unquoted
  // field can put it inside a record instead); otherwise what the second part found is
  // dropped and the first part goes on to the end, as a scan in one part would.
  std::size_t split = size;
  if (kept.comment == 0 && size - start >= kScannedInTwo) {
    const auto middle = static_cast<std::ptrdiff_t>(start + (size - start) / 2);
    auto quotes =
        std::count(b.begin() + static_cast<std::ptrdiff_t>(start), b.begin() + middle, '"');
    std::size_t k = static_cast<std::size_t>(middle);
    for (; k < size; ++k) {
      if (b[k] == '"') {
        ++quotes;
      } else if ((b[k] == '\n' || b[k] == '\r') && quotes % 2 == 0) {
        break;
      }
    }
    split = PastLineEnd(b, k);
  }
  PartScan second;
  Beside other;
  if (split < size && !other.Start([&] { second.Run(b, file.separatorBytes, split, size); })) {
    split = size;  // no thread: the first part goes on to the end
  }
  PartScan first;
  first.lineEnd = file.lineEnd;  // the skipped lines' first, when they had one
  first.kept = &file.kept;
  first.comment = kept.comment;
  first.Run(b, file.separatorBytes, start, split);
  other.Join();
  if (first.ok && first.at == split && split < size) {
    first.Append(second);  // the guess held
  } else if (first.ok && first.at < size) {
    first.Run(b, file.separatorBytes, first.at, size);
  }
  if (!first.ok) {
    error = std::move(first.error);
    return false;
  }
  file.records = std::move(first.records);
  file.lineEnd = std::move(first.lineEnd);
  file.columns = first.columns;
  if (file.lineEnd.empty()) file.lineEnd = "\r\n";
  for (const RecordSpan& record : file.records) {
    file.ragged = file.ragged || record.fieldCount != file.columns;
  }
  return true;
}

bool ReadCsv(std::string bytes, wchar_t separator, CodePage encoding, CsvFile& file,
             std::string& error, const LinesKept& kept) {
  file = CsvFile{};
  DecodedText text;
  const bool decoded = DecodeToUtf8(std::move(bytes), encoding, kLargestCsv, text, error);
  // The mark and the encoding are the file's even when its text is refused.
  file.byteOrderMark = std::move(text.byteOrderMark);
  file.encoding = text.encoding;
  return decoded && ScanCsv(std::move(text.utf8), separator, file, error, kept);
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

bool ToFileEncoding(const CsvFile& file, const std::string& utf8, std::string& out,
                    std::string& error) {
  out = file.byteOrderMark;
  if (file.encoding != kUtf8) return Utf8ToPage(utf8, file.encoding, out, error);
  out += utf8;
  return true;
}

CsvWriter::CsvWriter(const CsvFile& file, const std::vector<std::uint32_t>& order, std::size_t part)
    : CsvWriter(file, order, file.encoding, file.byteOrderMark, part) {}

CsvWriter::CsvWriter(const CsvFile& file, const std::vector<std::uint32_t>& order,
                     CodePage encoding, std::string mark, std::size_t part)
    : file_(file),
      order_(order),
      part_(std::max<std::size_t>(part, 1)),
      encoding_(encoding),
      mark_(std::move(mark)) {}

std::size_t FirstLineWithoutForm(const CsvFile& file, CodePage page) {
  if (page == kUtf8 || page == kUtf16Le || page == kUtf16Be) return 0;
  const std::string& b = file.bytes;
  std::string scratch, error;
  // A part of about a megabyte at a time, ending after a line feed; the part that does not
  // convert is looked at line by line.
  constexpr std::size_t kPart = std::size_t{1} << 20;
  for (std::size_t start = 0; start < b.size();) {
    std::size_t end = std::min(b.size(), start + kPart);
    while (end < b.size() && b[end - 1] != '\n') ++end;
    scratch.clear();
    if (Utf8ToPage(b.substr(start, end - start), page, scratch, error)) {
      start = end;
      continue;
    }
    for (std::size_t line = start; line < end;) {
      std::size_t next = line;
      while (next < end && b[next] != '\n') ++next;
      next = std::min(end, next + 1);
      scratch.clear();
      if (!Utf8ToPage(b.substr(line, next - line), page, scratch, error)) return LineAt(b, line);
      line = next;
    }
    return LineAt(b, start);
  }
  return 0;
}

void CsvWriter::Append(std::size_t at, std::size_t n, std::string& out) const {
  const std::size_t kept = file_.kept.size();
  if (at < kept) {
    const RecordSpan& line = file_.kept[at];
    out.append(file_.bytes, line.begin, line.end - line.begin);
    out += file_.EndWritten(line, at + 1 == n);
    return;
  }
  const std::size_t k = at - kept;  // in order_
  // The records come from all over the file: their places and their first bytes are asked
  // for ahead (the place first, then the bytes), so that the cache misses overlap.
  if (at + 2 * kAhead < n) __builtin_prefetch(&file_.records[order_[k + 2 * kAhead]]);
  if (at + kAhead < n) {
    const RecordSpan& later = file_.records[order_[k + kAhead]];
    __builtin_prefetch(file_.bytes.data() + later.begin);
    __builtin_prefetch(file_.bytes.data() + later.begin + 64);
  }
  const RecordSpan& record = file_.records[order_[k]];
  out.append(file_.bytes, record.begin, record.end - record.begin);
  out += file_.EndWritten(record, at + 1 == n);
}

std::string_view CsvWriter::Encoded(bool first, const std::string& utf8,
                                    std::string& encoded) const {
  if (encoding_ == kUtf8) return utf8;
  // Every character of the file read back as itself when it was read: its rows convert. The
  // parts hold whole records, so no character is split between two of them.
  encoded.clear();
  if (first) encoded = mark_;
  std::string error;
  if (!utf8.empty()) Utf8ToPage(utf8, encoding_, encoded, error);
  return encoded;
}

std::string_view CsvWriter::Next() {
  const bool first = !started_;
  started_ = true;
  utf8_.clear();  // its room is kept from part to part
  if (first && encoding_ == kUtf8) utf8_ = mark_;
  // The kept lines first, then the records in order: place k of n written.
  const std::size_t n = file_.kept.size() + order_.size();
  for (; next_ < n && utf8_.size() < part_; ++next_) Append(next_, n, utf8_);
  return Encoded(first, utf8_, encoded_);
}

std::size_t CsvWriter::PerPart() const noexcept {
  const std::size_t lines = file_.records.size() + file_.kept.size();
  const std::size_t average = lines == 0 ? 1 : std::max<std::size_t>(1, file_.bytes.size() / lines);
  return std::max<std::size_t>(1, part_ / average);
}

std::size_t CsvWriter::Parts() const noexcept {
  const std::size_t n = file_.kept.size() + order_.size();
  if (n == 0) return mark_.empty() ? 0 : 1;
  return (n + PerPart() - 1) / PerPart();
}

bool CsvWriter::MakePart(std::size_t k, Room& room,
                         const std::function<bool(std::string_view)>& take) const {
  const std::size_t n = file_.kept.size() + order_.size();
  const std::size_t per = PerPart();
  std::size_t at = std::min(n, k * per);
  const std::size_t end = std::min(n, at + per);
  bool first = k == 0;
  do {
    room.utf8.clear();
    if (first && encoding_ == kUtf8) room.utf8 = mark_;
    for (; at < end && room.utf8.size() < part_; ++at) Append(at, n, room.utf8);
    const std::string_view piece = Encoded(first, room.utf8, room.encoded);
    if (!piece.empty() && !take(piece)) return false;
    first = false;
  } while (at < end);
  return true;
}

std::string WriteCsv(const CsvFile& file, const std::vector<std::uint32_t>& order) {
  CsvWriter writer(file, order);
  std::string out;
  for (std::string_view part = writer.Next(); !part.empty(); part = writer.Next()) out += part;
  return out;
}

}  // namespace tkr
