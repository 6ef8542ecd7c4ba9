// Writing files through a temporary file, the same-file checks, and the run's outputs (see
// outputs.h).
#include "tkrun/outputs.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "common/beside.h"
#include "common/cells.h"
#include "common/file_bytes.h"
#include "tkrun/progress.h"

namespace tkrun {

PartFiles partFiles;

// The console's end of the run (Ctrl-C, Ctrl-Break, the window closed, logoff, shutdown): the
// temporary files go, then the system ends the process as it would have.
BOOL WINAPI OnConsoleEvent(DWORD) {
  partFiles.RemoveAll();
  return FALSE;
}

// A fault no one handles: the temporary files go, then the system ends the process as usual.
LONG WINAPI OnFault(EXCEPTION_POINTERS*) {
  partFiles.RemoveAll();
  return EXCEPTION_CONTINUE_SEARCH;
}

// Set when the reader of standard output closed it (`tkrun ... | head`): the run ends
// quietly, as a filter does.
bool readerGone = false;

namespace {

// Why a write or a move failed: the system's reason, in a CSV user's words where the
// system's own are unclear (a full disk once read "Success").
std::string WriteReason(DWORD error) {
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL)
    return "no space left on the disk";
  SetLastError(error);
  return tkr::LastErrorText();
}

// Writes `part` to `file`; the system's error when a write fails, else 0.
DWORD WritePart(HANDLE file, std::string_view part) {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  while (!part.empty()) {
    const auto want = static_cast<DWORD>(std::min(part.size(), kChunk));
    DWORD wrote = 0;
    if (!WriteFile(file, part.data(), want, &wrote, nullptr)) return GetLastError();
    if (wrote == 0) return ERROR_WRITE_FAULT;
    part.remove_prefix(wrote);
  }
  return 0;
}

// Writes the writer's parts to `file` in order, made on two threads: each makes every other
// part in a room of its own and writes it once the part before it is written, so that one
// thread gathers rows while the other writes. A sorted file's rows come from all over the one
// read, and gathering them takes longer than the system takes to write them (ten million
// rows: about two seconds against one and a half); with the gathering on one thread and the
// writing on the other, the gathering alone set the pace. The system's error when a write
// fails, else 0.
DWORD WriteInTurns(HANDLE file, const tkr::CsvWriter& writer) {
  const std::size_t parts = writer.Parts();
  std::mutex lock;
  std::condition_variable turn;
  std::size_t written = 0;  // parts written
  DWORD failed = 0;         // the first write's error
  bool stopped = false;     // a write failed or a thread threw: the other stops as well
  const auto stop = [&] {
    const std::lock_guard<std::mutex> hold(lock);
    stopped = true;
    turn.notify_all();
  };
  // Parts `first`, `first` + `step` and so on.
  const auto writeFrom = [&](std::size_t first, std::size_t step) {
    try {
      tkr::CsvWriter::Room room;
      for (std::size_t k = first; k < parts; k += step) {
        bool mine = false;  // the parts before k are written: the turn is this thread's
        const auto myTurn = [&] {
          std::unique_lock<std::mutex> hold(lock);
          turn.wait(hold, [&] { return written == k || stopped; });
          mine = !stopped;
          return mine;
        };
        const bool made = writer.MakePart(k, room, [&](std::string_view piece) {
          if (!mine && !myTurn()) return false;
          const DWORD error = WritePart(file, piece);
          if (error != 0) {
            const std::lock_guard<std::mutex> hold(lock);
            if (failed == 0) failed = error;
          }
          return error == 0;
        });
        // A part may hand over no piece at all (an empty last record): its turn still comes.
        if (!made || (!mine && !myTurn())) return stop();
        const std::lock_guard<std::mutex> hold(lock);
        written = k + 1;
        turn.notify_all();
      }
    } catch (...) {
      stop();
      throw;
    }
  };
  tkr::Beside other;  // after what its work uses: it ends before they go
  if (parts < 2 || !other.Start([&] { writeFrom(1, 2); })) {
    writeFrom(0, 1);  // no thread: this one makes and writes every part
    return failed;
  }
  writeFrom(0, 2);
  other.Join();
  return failed;
}

// Writes to `path` what `write` writes to a handle (its system error, or 0) through a
// temporary file (PartFiles). An empty path is standard output.
bool WriteParts(const std::wstring& path, const std::function<DWORD(HANDLE)>& write,
                std::string& error) {
  if (path.empty()) {
    std::fflush(stdout);
    const DWORD failed = write(GetStdHandle(STD_OUTPUT_HANDLE));
    if (failed == 0) return true;
    // A pipe whose reader has gone: broken, being closed, or (a Unix pipe under Wine, as
    // `| head` leaves it) no longer connected.
    if (failed == ERROR_BROKEN_PIPE || failed == ERROR_NO_DATA ||
        failed == ERROR_PIPE_NOT_CONNECTED) {
      readerGone = true;
      return false;
    }
    error = "cannot write the table to standard output: " + WriteReason(failed);
    return false;
  }
  std::wstring part;
  const HANDLE file = partFiles.Create(path, part);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot write '" + Utf8(path) + "': " + WriteReason(GetLastError());
    return false;
  }
  DWORD failed = write(file);
  if (!CloseHandle(file) && failed == 0) failed = GetLastError();
  if (failed == 0 && !partFiles.Place(part, path)) failed = GetLastError();
  if (failed != 0) {
    // Nothing of this output stays: the file it would replace is as it was.
    error =
        "cannot write '" + Utf8(path) + "': " + WriteReason(failed) + "; nothing was written there";
    partFiles.Remove(part);
  }
  return failed == 0;
}

// `bytes` written as WriteParts writes.
bool WriteBytes(const std::wstring& path, const std::string& bytes, std::string& error) {
  return WriteParts(
      path, [&](HANDLE file) { return WritePart(file, bytes); }, error);
}

// The size of the parts in which a table of `bytes` bytes is written: a sixteenth of it,
// from 64 KiB to 4 MiB, so that a table of a few hundred kilobytes is made on both threads
// too, and a large one in few writes.
std::size_t PartSize(std::size_t bytes) {
  return std::clamp(bytes / 16, std::size_t{1} << 16, std::size_t{1} << 22);
}

// The records of a table in `order`, written as WriteParts writes.
bool WriteRecords(const std::wstring& path, const tkr::CsvWriter& writer, std::string& error) {
  return WriteParts(
      path, [&](HANDLE file) { return WriteInTurns(file, writer); }, error);
}

// The table's records in `order`, written as WriteParts writes.
bool WriteTable(const std::wstring& path, const CsvFile& table,
                const std::vector<std::uint32_t>& order, std::string& error) {
  const tkr::CsvWriter writer(table, order, PartSize(table.bytes.size()));
  return WriteRecords(path, writer, error);
}

// Whether `a` and `b` name one file. Both are resolved to full paths first, so that ".\x.csv",
// "X.CSV" and "sub\..\x.csv" are all "x.csv"; when both exist, their volume and file index
// decide as well, which also catches hard links, short names, the long-path and device
// prefixes, and symbolic links and junctions (opening follows them).
bool SameFile(const std::wstring& a, const std::wstring& b) {
  auto fullPath = [](const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n >= full.size()) {
      full.resize(n);
      n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    }
    full.resize(n < full.size() ? n : 0);
    return full.empty() ? path : full;
  };
  auto identity = [](const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(file, &info) != FALSE;
    CloseHandle(file);
    return known;
  };
  const std::wstring fullA = fullPath(a), fullB = fullPath(b);
  if (CompareStringOrdinal(fullA.c_str(), static_cast<int>(fullA.size()), fullB.c_str(),
                           static_cast<int>(fullB.size()), TRUE) == CSTR_EQUAL) {
    return true;
  }
  BY_HANDLE_FILE_INFORMATION infoA{}, infoB{};
  return identity(a, infoA) && identity(b, infoB) &&
         infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
         infoA.nFileIndexHigh == infoB.nFileIndexHigh && infoA.nFileIndexLow == infoB.nFileIndexLow;
}

// Before any work: can a file be made beside `path`? Nothing stays behind.
bool CanWrite(const std::wstring& path, std::string& error) {
  if (path.empty()) return true;
  std::wstring part;
  const HANDLE file = partFiles.Create(path, part);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot write '" + Utf8(path) + "': " + WriteReason(GetLastError());
    return false;
  }
  CloseHandle(file);
  partFiles.Remove(part);
  return true;
}

// The bytes of a field as they stand in the file, quotes included.
std::string RawField(const CsvFile& file, const FieldSpan& field) {
  const std::string content = file.bytes.substr(field.begin, field.length);
  return field.quoted ? "\"" + content + "\"" : content;
}

// `utf8` written to `path` in `table`'s encoding.
bool WriteInEncoding(const CsvFile& table, const std::wstring& path, const std::string& utf8,
                     std::string& error) {
  std::string bytes;
  if (!tkr::ToFileEncoding(table, utf8, bytes, error)) {
    error = "cannot write '" + Utf8(path) + "': " + error +
            ", the destination's encoding, which the exported cells need; save it as UTF-8";
    return false;
  }
  return WriteBytes(path, bytes, error);
}

// Appends the file row that the hidden cell of table row `row` names to `order`; false when
// it names none, or one already taken.
bool TakeRow(const tk::TKCOMM& comm, const Job& job, std::int32_t row, std::vector<bool>& seen,
             std::vector<std::uint32_t>& order) {
  const VARIANT& cell =
      tkr::CellAt(comm.Source.Data.parray, row, static_cast<std::int32_t>(job.idColumn));
  const long fileRow = cell.vt == VT_I4 ? cell.lVal - 1 : -1;
  if (fileRow < 0 || static_cast<std::size_t>(fileRow) >= seen.size() ||
      seen[static_cast<std::size_t>(fileRow)]) {
    return false;
  }
  seen[static_cast<std::size_t>(fileRow)] = true;
  order.push_back(static_cast<std::uint32_t>(fileRow));
  return true;
}

}  // namespace

// Which file row stands where after MOVE, from the hidden column moved with the rows; false
// when a row is not there exactly once.
bool OrderAfterMove(const tk::TKCOMM& comm, const Job& job, std::vector<std::uint32_t>& order) {
  const std::size_t records = job.Records();
  std::vector<bool> seen(records, false);
  order.clear();
  order.reserve(records);
  for (std::size_t row = 0; row < records; ++row) {
    if (!TakeRow(comm, job, static_cast<std::int32_t>(row + 1), seen, order)) return false;
  }
  return true;
}

bool OrderFromIndex(const tk::TKCOMM& comm, const Job& job, std::size_t headers,
                    std::vector<std::uint32_t>& order) {
  const std::size_t records = job.Records();
  SAFEARRAY* index = comm.SortIndex;
  if (headers > records || index == nullptr || index->cDims != 1 ||
      index->rgsabound[0].cElements != records - headers) {
    return false;
  }
  std::vector<bool> seen(records, false);
  order.clear();
  order.reserve(records);
  for (std::size_t row = 0; row < headers; ++row) {
    seen[row] = true;
    order.push_back(static_cast<std::uint32_t>(row));
  }
  const auto* rows = static_cast<const std::int32_t*>(index->pvData);
  const std::size_t count = records - headers;
  constexpr std::size_t kAhead = 16;
  for (std::size_t k = 0; k < count; ++k) {
    // The rows come in sorted order from all over the table: their hidden cells are asked for
    // ahead, so that the cache misses overlap.
    if (k + kAhead < count && rows[k + kAhead] > 0 &&
        static_cast<std::size_t>(rows[k + kAhead]) <= records) {
      __builtin_prefetch(&tkr::CellAt(comm.Source.Data.parray, rows[k + kAhead],
                                      static_cast<std::int32_t>(job.idColumn)));
    }
    if (rows[k] <= static_cast<std::int32_t>(headers) ||
        static_cast<std::size_t>(rows[k]) > records || !TakeRow(comm, job, rows[k], seen, order)) {
      return false;
    }
  }
  return true;
}

namespace {

// The sorted table written as --output-encoding asks, or in the input's encoding.
bool WriteSorted(const Options& o, const CsvFile& file, const std::vector<std::uint32_t>& order,
                 std::string& error) {
  if (o.outputEncoding == 0 || o.outputEncoding == file.encoding) {
    return WriteTable(o.output, file, order, error);
  }
  const tkr::CodePage page = o.outputEncoding;
  const std::string mark = page == tkr::kUtf16Le                               ? "\xFF\xFE"
                           : page == tkr::kUtf16Be                             ? "\xFE\xFF"
                           : page == tkr::kUtf8 && !file.byteOrderMark.empty() ? "\xEF\xBB\xBF"
                                                                               : "";
  const tkr::CsvWriter writer(file, order, page, mark, PartSize(file.bytes.size()));
  return WriteRecords(o.output, writer, error);
}

// The destination as the export left it, written to `path`: exported rows rebuilt from the
// source rows they came from; every other row, and every column the export map does not
// fill, as it was.
bool WriteDestination(const Job& job, SAFEARRAY* cells, const std::wstring& path,
                      std::string& error) {
  const CsvFile& file = job.file;
  const CsvFile& dest = job.dest;
  std::vector<long> writer(dest.columns, -1);  // destination column -> source column
  std::vector<bool> named(file.columns, false);
  for (const Entry& e : job.exportEntries) {
    const auto source = static_cast<std::size_t>(e.column - 1);
    if (named[source]) continue;  // the first entry of a column counts
    named[source] = true;
    long& w = writer[static_cast<std::size_t>(e.destColumn - 1)];
    w = std::max(w, static_cast<long>(source));  // the higher source column is copied last
  }
  const std::string& sep = dest.separatorBytes;
  std::string out;
  std::vector<FieldSpan> sourceFields, destFields;
  auto fieldOf = [](const std::vector<FieldSpan>& fields, std::size_t c) {
    return c < fields.size() ? fields[c] : FieldSpan{};
  };
  for (std::size_t d = 0; d < dest.records.size(); ++d) {
    const RecordSpan& row = dest.records[d];
    const VARIANT& from =
        tkr::CellAt(cells, static_cast<std::int32_t>(d + 1), static_cast<std::int32_t>(job.destId));
    if (from.vt != VT_I4) {
      out += dest.Raw(row);
    } else {
      file.FieldsOf(file.records[static_cast<std::size_t>(from.lVal - 1)], sourceFields);
      dest.FieldsOf(row, destFields);
      for (std::size_t c = 0; c < dest.columns; ++c) {
        if (c > 0) out += sep;
        out += writer[c] >= 0
                   ? RawField(file, fieldOf(sourceFields, static_cast<std::size_t>(writer[c])))
                   : RawField(dest, fieldOf(destFields, c));
      }
    }
    out += dest.EndWritten(row, d + 1 == dest.records.size());
  }
  return WriteInEncoding(dest, path, out, error);
}

}  // namespace

// A table with no data rows written back as it was read (and the destination too): nothing
// to sort, and nothing lost.
int WriteAsRead(const Options& o, const CsvFile& file, const CsvFile& dest) {
  std::vector<std::uint32_t> all(file.records.size());
  for (std::size_t r = 0; r < all.size(); ++r) all[r] = static_cast<std::uint32_t>(r);
  std::string error;
  if (o.check) return kSorted;  // nothing out of order, and nothing written
  bool ok = WriteSorted(o, file, all, error);
  if (ok && !o.exportTo.empty()) {
    std::vector<std::uint32_t> rows(dest.records.size());
    for (std::size_t r = 0; r < rows.size(); ++r) rows[r] = static_cast<std::uint32_t>(r);
    ok = WriteTable(o.exportOut.empty() ? o.exportTo : o.exportOut, dest, rows, error);
  }
  if (ok && !o.index.empty()) ok = WriteBytes(o.index, "", error);
  if (readerGone) return kReaderGone;
  if (!ok) return Fail(error);
  Report(o, "0 rows below the header: written as read");
  return kSorted;
}

// Whether the outputs may be written: "" or why not. The sorted table may replace the input
// (--output naming it sorts the file in place), but nothing else may, nor may two outputs
// name one file, or an output the --export-to file that is only read.
std::string CheckOutputs(const Options& o, const Job& job) {
  const std::wstring destOut = o.exportOut.empty() ? o.exportTo : o.exportOut;
  // The row numbers or the destination table written over the input would lose the data
  // for good.
  const std::pair<const char*, const std::wstring*> others[] = {
      {"--index", &o.index},
      {o.exportOut.empty() ? "--export-to (written back, as no --export-out is given)"
                           : "--export-out",
       &destOut}};
  for (const auto& [option, path] : others) {
    if (!path->empty() && o.input != L"-" && SameFile(*path, o.input)) {
      return std::string(option) + " '" + Utf8(*path) + "' is the input file '" + job.inputName +
             "': writing there would replace the input; name another file";
    }
  }
  // Whichever of two outputs on one file is written last would replace the other for good.
  const std::pair<const char*, const std::wstring*> written[] = {
      {"--output", &o.output}, others[0], others[1]};
  for (std::size_t a = 0; a < 3; ++a) {
    const auto& [option, path] = written[a];
    if (path->empty()) continue;
    for (std::size_t b = a + 1; b < 3; ++b) {
      if (!written[b].second->empty() && SameFile(*path, *written[b].second)) {
        return std::string(option) + " '" + Utf8(*path) + "' and " + written[b].first + " '" +
               Utf8(*written[b].second) +
               "' name the same file: one would replace the other; name another file";
      }
    }
    if (a < 2 && !o.exportOut.empty() && SameFile(*path, o.exportTo)) {
      return std::string(option) + " '" + Utf8(*path) + "' is the --export-to file '" +
             job.destName + "', which is only read as --export-out is given: writing there " +
             "would replace it; name another file";
    }
  }
  std::string error;
  for (const std::wstring* path : {&o.output, &destOut, &o.index}) {
    if (!CanWrite(*path, error)) return error;
  }
  return {};
}

// After MOVE: the sorted table, the destination and the row numbers written; false, having
// said why (`error` set for a file that could not be written), when one is not.
std::string OutputEncodingProblem(const Options& o, const Job& job) {
  if (o.outputEncoding == 0 || o.outputEncoding == job.file.encoding) return {};
  const std::size_t line = tkr::FirstLineWithoutForm(job.file, o.outputEncoding);
  if (line == 0) return {};
  return "--output-encoding: line " + std::to_string(line) + " of " + job.inputName +
         " holds text that has no form in code page " + std::to_string(o.outputEncoding) +
         "; write it as utf-8 or utf-16le";
}

bool WriteOutputs(const Options& o, const Job& job, const std::vector<std::uint32_t>& order,
                  Destination* destRange, std::string& error) {
  const auto t0 = std::chrono::steady_clock::now();
  const auto headers = static_cast<std::size_t>(o.header);
  // The table written to the console would run into the progress line: no more of it then.
  DWORD console = 0;
  if (o.output.empty() && GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &console)) {
    progressLine.Stop();
  }
  progressLine.Phase("writing", order.size() - headers);
  bool ok = WriteSorted(o, job.file, order, error);
  if (ok && destRange != nullptr) {
    ok = WriteDestination(job, destRange->cells(), o.exportOut.empty() ? o.exportTo : o.exportOut,
                          error);
  }
  if (ok && !o.index.empty()) {
    std::string lines;
    for (std::size_t k = headers; k < order.size(); ++k) {
      lines += std::to_string(order[k] - headers + 1) + "\r\n";
    }
    ok = WriteBytes(o.index, lines, error);
  }
  if (!ok) {
    if (!readerGone) Say("tkrun: " + error + "\n");
    return false;
  }
  char seconds[40];
  std::snprintf(seconds, sizeof seconds, " (%.3f s)", Since(t0));
  Report(o, "wrote " + std::to_string(order.size() - headers) + " rows to " +
                (o.output.empty() ? std::string("standard output") : "'" + Utf8(o.output) + "'") +
                (o.index.empty() ? "" : ", their order to '" + Utf8(o.index) + "'") + seconds);
  return true;
}

}  // namespace tkrun
