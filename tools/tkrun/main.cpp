// tkrun: sorts a CSV file through tkselect.dll (tkrun64: tkselect64.dll), the way a macro
// drives it.
//
// The file is read once into memory and stays as it was: every row is a slice of its bytes.
// The engine gets a table of the same rows with the columns the command lines name (renumbered
// in file order, and the lines with them), whose automatic key columns hold the typed cells
// (numbers, dates, booleans, text) it compares and whose natural, case and numtext key columns
// hold each field's text, plus one hidden column with each row's original number; the other
// columns need no cells at all, for the rows are written back from the file, not from the
// cells. SELECT sorts (the --compare rules natural, case and numtext become the engine's own
// keywords; compare break-outs, left for length and exact, are answered on the fields' own
// text), EXPORT fills a second table's hidden column the same way, MOVE rearranges the rows;
// the hidden column, read after MOVE, then says which file row stands where, and each one is
// written back byte for byte.
//
// Stable by default: the rows go to the engine in a random order drawn afresh on every run
// (blocks of rows in a random order, each shuffled: see SourceTable), with the hidden column
// as the last key. The order that comes back is exactly the stable
// one (ties keep their file order), and the random order, which no file can anticipate,
// keeps the sort's depth near 2 log2 n whatever the file's layout. --unstable hands the rows
// over as they are and adds no key; where their order takes that sort to its depth limit, they
// are handed over again as the stable mode hands them.
//
// Outputs go to a temporary file created anew beside each one, moved into place once complete:
// a failed write leaves no partial output, and the runner deletes no file but its own
// temporary ones, on every way out (Ctrl-C included).
//
// The keys come from -k (a column by number or header name, with its order) or from --sort,
// which, like --move and --export, is read by the engine's own parser and keyword tables
// (input/parser.h), so that a line means here exactly what it means to the DLL.
//
// The program in files by job: options.h (options, usage, exit statuses), command_lines.h
// (--sort, --move and --export read with the engine's parser), keys.h (-k and the key
// columns of a run), tables.h (planning and filling the engine's tables), outputs.h (writing
// through a temporary file, the same-file checks), progress.h (the progress line, what is
// said past it, the out-of-memory advice), locale.h (the locale a run reads and orders by),
// ranks.h (key columns' texts ranked here: :ordinal, a chosen locale's collation); this file
// reads the tables, runs the engine's commands and is main.
//
// Exit status: 0 sorted, 1 the engine refused or memory ran out, 2 bad options or input, 3 the
// reader of standard output closed it before the table was written (said nowhere).
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/caller.h"
#include "common/cells.h"
#include "common/compare_rules.h"
#include "common/file_bytes.h"
#include "common/library.h"
#include "common/range_object.h"
#include "protocol/codes.h"
#include "protocol/status.h"
#include "tkrun/keys.h"
#include "tkrun/locale.h"
#include "tkrun/options.h"
#include "tkrun/outputs.h"
#include "tkrun/progress.h"
#include "tkrun/tables.h"

// After the Windows headers (common/, platform/ole.h), on which it builds.
#include <shellapi.h>

// The runner's own names: this file is its top.
using namespace tkrun;

namespace {

std::string StatusText(const tk::TKCOMM& comm) {
  return comm.Status.vt == VT_BSTR && comm.Status.bstrVal != nullptr
             ? tkr::ToUtf8(comm.Status.bstrVal)
             : std::string("(no status text)");
}

#ifdef _WIN64
constexpr char kProgramName[] = "tkrun64.exe";
#else
constexpr char kProgramName[] = "tkrun.exe";
#endif

// The library could not be used: what is wrong with it, where it was looked for, and which
// one this program needs.
std::string LibraryRemedy(const tkr::Library& dll, bool named) {
  const std::string needed = std::string(tkr::kLibraryName) + " (" + tkr::ProgramBits() + ")";
  return "cannot use the sorting library: " + dll.Problem() + "; " +
         (named ? std::string(kProgramName) + " needs " + needed +
                      ": name it with --dll PATH, or leave --dll out to use the one beside " +
                      kProgramName
                : std::string(kProgramName) + " looks for " + needed +
                      " in its own folder: put it there, or name it with --dll PATH");
}

// "5 rows below the header", for --verbose.
std::string RowsRead(std::size_t rows, std::size_t headers) {
  const std::string counted = std::to_string(rows) + (rows == 1 ? " row" : " rows");
  if (headers == 0) return counted + ", no header";
  return counted + " below " +
         (headers == 1 ? std::string("the header") : std::to_string(headers) + " header rows");
}

// Rows whose field count is not the table's, named by their lines: the header's count, or
// without a header the one most rows have. With a hint where the lines that differ look like
// comments.
std::string FieldCounts(const Options& o, const CsvFile& file, const std::string& name) {
  constexpr std::size_t kNamed = 5;  // lines named; the others counted
  std::size_t expected = 0;
  if (o.header > 0) {
    expected = file.records[0].fieldCount;
  } else {
    std::map<std::uint32_t, std::size_t> rows;  // field count -> rows
    for (const RecordSpan& record : file.records) ++rows[record.fieldCount];
    std::size_t most = 0;
    for (const auto& [count, many] : rows) {
      if (many > most) {
        most = many;
        expected = count;
      }
    }
  }
  std::string named;
  std::size_t others = 0, line = 1, at = 0;
  // Lines starting with # (the first, or every one named) where no --comment was given:
  // likely comments read as rows.
  const auto hash = [&](const RecordSpan& record) {
    return file.bytes.compare(record.begin, 1, "#") == 0;
  };
  const bool commentLike = o.kept.comment == 0 && hash(file.records[0]);
  bool hashes = o.kept.comment == 0;
  for (const RecordSpan& record : file.records) {
    if (record.fieldCount == expected) continue;
    if (others++ >= kNamed) continue;
    // Lines counted on from the last one named: one pass over the file for all of them.
    line += static_cast<std::size_t>(
        std::count(file.bytes.begin() + at, file.bytes.begin() + record.begin, '\n'));
    at = record.begin;
    named += (named.empty() ? "line " : ", line ") + std::to_string(line) + " has " +
             std::to_string(record.fieldCount);
    hashes = hashes && hash(record);
  }
  others -= std::min(others, kNamed);
  return name + ": " + named + (others != 0 ? " (and " + std::to_string(others) + " more)" : "") +
         " where " + (o.header > 0 ? "the header has " : "most rows have ") +
         std::to_string(expected) + (expected == 1 ? " field" : " fields") +
         "; missing cells count as empty" +
         (commentLike || hashes
              ? "; lines that start with # are rows unless --comment # says they are comments"
              : "");
}

// Reads the table at `path` ("-": standard input) by the options' separator and encoding, and
// says on standard error (unless --quiet) which separator was found when it is not a comma:
// that part of the reading was a guess.
bool ReadTable(const Options& o, const std::wstring& path, CsvFile& table, std::string& error,
               const tkr::LinesKept& kept = {}) {
  const bool piped = path == L"-";
  const std::string name = piped ? "standard input" : Utf8(path);
  std::string bytes;
  if (!(piped ? tkr::ReadStandardInput(bytes, error) : tkr::ReadWholeFile(path, bytes, error))) {
    error = piped ? error : "cannot read '" + name + "': " + error;
    return false;
  }
  if (!tkr::ReadCsv(std::move(bytes), o.separator, o.encoding, table, error, kept)) {
    error = name + " " + error;
    return false;
  }
  if (o.separator == 0 && table.separator != L',') {
    const std::string shown =
        table.separator == L'\t' ? "tabs" : "'" + Utf8({table.separator}) + "'";
    Notice(o, name + ": fields separated by " + shown +
                  ", as its lines show (--separator gives another)" +
                  (table.separator == L';' && o.typing.decimal != L','
                       ? "; decimal commas are numbers with --decimal ,"
                       : ""));
  }
  return true;
}

// The comparison of a key this program compares: its rule on the two rows' fields.
std::int32_t CompareByRule(const Options& o, const Job& job, const tkr::BreakOut& b,
                           const tk::TKCOMM& comm) {
  progressLine.BreakOut();
  const long column = job.used.FileColumn(static_cast<std::size_t>(b.column));
  const auto found = o.rules.find(static_cast<int>(column));
  tkr::CompareRule rule = found != o.rules.end() ? found->second : tkr::CompareRule{};
  rule.descending = rule.descending != o.reverse;  // -r turns this key too
  auto field = [&](std::int32_t row) {
    const std::int32_t fileRow =
        tkr::CellAt(comm.Source.Data.parray, row, static_cast<std::int32_t>(job.idColumn)).lVal - 1;
    const auto& fields = job.comparedFields[static_cast<std::size_t>(b.column - 1)];
    const FieldSpan span = fields.empty()
                               ? job.file.Field(job.file.records[static_cast<std::size_t>(fileRow)],
                                                static_cast<std::size_t>(column - 1))
                               : fields[static_cast<std::size_t>(fileRow)];
    tkr::CsvField text{job.file.Text(span), span.quoted && o.typing.quotedText};
    // A missing-value word of --na is an empty cell here too.
    return tkr::IsMissing(tkr::CsvField{text.text, span.quoted}, o.typing) ? tkr::CsvField{} : text;
  };
  return tkr::CompareByRule(rule, field(b.rowA), field(b.rowB));
}

// What an engine command does, in a CSV user's words: for --verbose, the progress line and
// the message when it fails.
struct Stage {
  const char* doing;  // the progress line's word
  const char* done;   // --verbose's first word
  const char* what;   // in a failure's message
};
Stage StageOf(std::int32_t command) {
  if (command == tk::kSelect) return {"sorting", "sorted", "the sort"};
  if (command == tk::kExport) return {"exporting", "exported", "the export"};
  return {"arranging", "arranged", "arranging the rows in sorted order"};
}

// One engine command with its progress line; false, having said why and what to do, when it
// does not succeed. With `tooDeep` given, a sort that reaches its depth limit (714) says nothing
// and sets it instead. With --verbose it says what it did, how many comparisons the --compare
// rules answered (a sort) or cells this program copied (arranging, exporting), and its time.
bool RunCommand(const Options& o, const Job& job, tkr::Caller& caller, tk::TKCOMM& comm,
                const Destination* destRange, std::int32_t command, bool* tooDeep = nullptr) {
  const std::size_t rows = job.Records() - static_cast<std::size_t>(o.header);
  const Stage stage = StageOf(command);
  caller.seen.clear();
  // The sort's share done is estimated from the reading's pace (see kSortPerRead).
  const double estimate = command == tk::kSelect && rows > 1
                              ? job.readSeconds * kSortPerRead *
                                    std::log2(static_cast<double>(rows)) /
                                    std::log2(kSortEstimateRows)
                              : 0;
  progressLine.Phase(stage.doing, rows, command == tk::kSelect, estimate);
  const auto t0 = std::chrono::steady_clock::now();
  const std::int32_t code = caller.Run(command, comm);
  if (tooDeep != nullptr && code == tk::ToCode(tk::Status::StackOverflow)) {
    *tooDeep = true;  // the caller hands the rows over again, in an order no layout defeats
    return false;
  }
  if (code == tk::ToCode(tk::Status::Success)) {
    const std::size_t asked = caller.seen.size();
    const std::string target = command == tk::kExport ? " into " + job.destName + "'s rows" : "";
    std::string extra;
    if (asked != 0) {
      extra = command == tk::kSelect
                  ? ", " + std::to_string(asked) + " comparisons answered by the --compare rules"
                  : ", " + std::to_string(asked) + " cells copied by tkrun";
    }
    char seconds[40];
    std::snprintf(seconds, sizeof seconds, " (%.3f s)", Since(t0));
    Report(o, std::string(stage.done) + " " + std::to_string(rows) + " rows" + target + extra +
                  seconds);
    return true;
  }
  const bool memory = code == tk::ToCode(tk::Status::NoMemory) ||
                      (destRange != nullptr && destRange->failure == E_OUTOFMEMORY);
  Say("tkrun: " + std::string(stage.what) +
      " stopped: " + (memory ? "out of memory" + MemoryAdvice() : StatusText(comm)) + "\n");
  if (code == tk::ToCode(tk::Status::StackOverflow)) {
    Say("tkrun: the sort reached its depth limit on the random order the rows were handed over "
        "in, which happens by rare chance; run it again for another order\n");
  }
  return false;
}

// The file rows in sorted order, the header's first. The rows themselves are written from the
// file's bytes, so only the order is needed: SORTINDEX hands it over as an index, which costs a
// tenth of moving the table's cells. With --move the rows are moved as asked (MOVE, with the
// copies its line hands to this program), and with --export-to too, since the index then holds
// only as many rows as the destination; the order is then read from the hidden column moved
// with the rows. False, having said why, when either fails.
bool SortedOrder(const Options& o, const Job& job, tkr::Caller& caller, tk::TKCOMM& comm,
                 const Destination* destRange, std::vector<std::uint32_t>& order) {
  const bool moved = !OrderByIndex(o);
  if (!RunCommand(o, job, caller, comm, destRange, moved ? tk::kMove : tk::kSortIndex)) {
    return false;
  }
  if (moved ? OrderAfterMove(comm, job, order)
            : OrderFromIndex(comm, job, static_cast<std::size_t>(o.header), order)) {
    return true;
  }
  Say("tkrun: after arranging the rows in sorted order they are no longer each there once\n");
  return false;
}

// The line (from 1) where `record` of `file` starts.
std::size_t LineOf(const CsvFile& file, std::size_t record) {
  const auto begin = file.bytes.begin();
  return 1 + static_cast<std::size_t>(std::count(begin, begin + file.records[record].begin, '\n'));
}

// --check: the first data row that the sorted `order` puts before the row above it in the
// file. Sorted stable, rows that are in order keep their places relative to each other, so
// the file is in order exactly where no row's place is before its predecessor's.
int CheckOrder(const Options& o, const Job& job, const std::vector<std::uint32_t>& order) {
  std::vector<std::uint32_t> place(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) place[order[k]] = static_cast<std::uint32_t>(k);
  for (std::size_t r = static_cast<std::size_t>(o.header); r + 1 < order.size(); ++r) {
    if (place[r + 1] < place[r]) {
      Say("tkrun: " + job.inputName + ": line " + std::to_string(LineOf(job.file, r + 1)) +
          " is out of order: it sorts before line " + std::to_string(LineOf(job.file, r)) +
          " above it\n");
      return kRefused;
    }
  }
  Report(o, "in order: " + std::to_string(order.size() - static_cast<std::size_t>(o.header)) +
                " rows");
  return kSorted;
}

int Run(const Options& o) {
  memoryUse.input = o.input;
  Options mode = o;  // --unstable turns stable where the rows' own order is too deep
  // --check and --unique read the stable order: rows with equal keys in file order.
  mode.stable = o.stable || o.check || o.unique;
  const auto started = std::chrono::steady_clock::now();
  progressLine.Start(!o.quiet);
  struct StopProgress {
    ~StopProgress() { progressLine.Stop(); }
  } stopProgress;
  char buffer[160];

  // Everything is read and checked before anything is written.
  Job job;
  job.inputName = o.input == L"-" ? "standard input" : Utf8(o.input);
  std::string error;
  if (!ReadTable(o, o.input, job.file, error, o.kept)) return Fail(error);
  const CsvFile& file = job.file;
  const std::size_t records = job.Records();
  const auto headers = static_cast<std::size_t>(o.header);
  if (file.ragged) Notice(o, FieldCounts(o, file, job.inputName));
  if (!o.exportTo.empty()) {
    job.destName = Utf8(o.exportTo);
    if (!ReadTable(o, o.exportTo, job.dest, error)) return Fail(error);
    if (job.dest.records.empty()) return Fail(job.destName + " holds no rows");
  }
  // A file without rows has no columns to check the command lines against.
  if (records == 0) return WriteAsRead(o, file, job.dest);
  memoryUse.records = records;
  error = ReadCommandLines(o, job);
  if (error.empty()) error = CheckOutputs(o, job);
  if (error.empty()) error = OutputEncodingProblem(o, job);
  if (!error.empty()) return Fail(error);
  if (records <= headers) return WriteAsRead(o, file, job.dest);  // a header alone sorts as is

  const tkr::Library dll(o.dll.empty() ? tkr::Library::BesideProgram(tkr::kLibraryName)
                                       : Utf8(o.dll));
  const tkr::TKselectFn tkselect = dll.entry();
  if (tkselect == nullptr) return Fail(LibraryRemedy(dll, !o.dll.empty()));
  error = PlanTables(o, job);
  if (!error.empty()) return Fail(error);

  tk::TKCOMM comm{};
  comm.Source.Data.vt = VT_ARRAY | VT_VARIANT;
  comm.Source.Data.parray = SourceTable(mode, job);
  job.readSeconds = Since(started);
  std::snprintf(buffer, sizeof buffer, "%zu columns (%.3f s)", file.columns, job.readSeconds);
  const std::size_t kept = file.kept.size();
  Report(o, "read " + job.inputName + ": " + RowsRead(records - headers, headers) + ", " + buffer +
                (kept != 0 ? "; " + std::to_string(kept) + (kept == 1 ? " line" : " lines") +
                                 " skipped or commented out, written at the top"
                           : ""));
  Report(o, "keys: " + DescribeKeys(o, job));
  Report(o, LocaleRuling(o));
  comm.Source.HeaderLines = o.header;
  comm.IgnoreEmpty = o.ignoreEmpty ? 1 : 0;
  PutCommandLines(mode, job, comm);
  // The destination: its rows, the columns the export fills and a hidden one that receives
  // the number of the source row each exported row came from.
  std::unique_ptr<Destination> destRange;
  if (!o.exportTo.empty()) {
    destRange = std::make_unique<Destination>(EmptyTable(job.dest.records.size(), job.destId));
    tkr::PutRangeObject(comm.Dest.RangeObj, *destRange);
    comm.Dest.HeaderLines = o.destHeader;
  }

  tkr::Caller caller(tkselect);
  caller.compare = [&](const tkr::BreakOut& b, tk::TKCOMM& c) {
    return CompareByRule(o, job, b, c);
  };
  bool tooDeep = false;
  bool ok = RunCommand(mode, job, caller, comm, destRange.get(), tk::kSelect,
                       mode.stable ? nullptr : &tooDeep);
  if (tooDeep) {
    // The rows' own order took the unstable sort to its depth limit (a key with few values, two
    // sorted runs one after the other): they go over again as the default mode hands them, in
    // a random order with their position as the last key, which no layout can defeat.
    Notice(o,
           "the rows' own order is too deep for --unstable's quick pass; sorting "
           "them in the default, stable order instead");
    mode.stable = true;
    DropSourceTable(comm.Source.Data.parray, job);
    comm.Source.Data.parray = SourceTable(mode, job);
    for (VARIANT* line : {&comm.SortCmd, &comm.MoveCmd, &comm.ExportCmd}) VariantClear(line);
    PutCommandLines(mode, job, comm);
    ok = RunCommand(mode, job, caller, comm, destRange.get(), tk::kSelect);
  }
  if (ok && destRange) {
    ok = RunCommand(o, job, caller, comm, destRange.get(), tk::kExport);
  }
  std::vector<std::uint32_t> order;  // file rows in sorted order, the header's first
  ok = ok && SortedOrder(o, job, caller, comm, destRange.get(), order);
  int checked = kSorted;
  if (ok && o.check) {
    checked = CheckOrder(o, job, order);
  } else if (ok && o.unique) {
    // Sorted once more, rows with equal keys in reverse file order this time: a row that now
    // comes before the row it followed has keys equal to that row's, as the sort compares them.
    Report(o, "--unique: sorting once more, equal rows the other way round, to find them");
    DropSourceTable(comm.Source.Data.parray, job);
    comm.Source.Data.parray = SourceTable(mode, job);
    for (VARIANT* line : {&comm.SortCmd, &comm.MoveCmd, &comm.ExportCmd}) VariantClear(line);
    PutCommandLines(mode, job, comm, true);
    std::vector<std::uint32_t> reversed;
    ok = RunCommand(mode, job, caller, comm, destRange.get(), tk::kSelect) &&
         SortedOrder(o, job, caller, comm, destRange.get(), reversed);
    if (ok) {
      std::vector<std::uint32_t> place(reversed.size());
      for (std::size_t k = 0; k < reversed.size(); ++k) {
        place[reversed[k]] = static_cast<std::uint32_t>(k);
      }
      const std::size_t first = std::min(order.size(), headers + 1);  // the first row stays
      std::size_t written = first;
      for (std::size_t k = first; k < order.size(); ++k) {
        if (place[order[k]] > place[order[k - 1]]) order[written++] = order[k];
      }
      order.resize(written);
    }
  }
  if (ok && o.head >= 0 && order.size() > headers + static_cast<std::size_t>(o.head)) {
    order.resize(headers + static_cast<std::size_t>(o.head));
  }
  if (ok && !o.check) ok = WriteOutputs(o, job, order, destRange.get(), error);

  std::int32_t reset = tk::kReset;  // frees the selection before the tables go
  tkselect(&reset, &comm);
  // The source table goes with the process, which ends now: freeing its strings one by one
  // took a tenth of a large run. Everything else is released as usual.
  VariantInit(&comm.Source.Data);
  tkr::ReleaseRecord(comm);
  if (readerGone) return kReaderGone;
  if (!ok) return error.empty() ? kRefused : kBadInput;
  if (checked != kSorted) return checked;
  std::snprintf(buffer, sizeof buffer, "done: %zu rows in %.3f s", records - headers,
                Since(started));
  Report(o, buffer);
  return kSorted;
}

int OutOfMemory() {
  std::fprintf(stderr, "tkrun: out of memory%s\n", MemoryAdvice().c_str());
  return kRefused;
}

}  // namespace

int main() {
  // The command line as the system holds it, so that file names outside the code page work.
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> args(argv, argv + argc);
  LocalFree(argv);
  // The table goes to standard output as bytes: no line end is rewritten on the way.
  _setmode(_fileno(stdout), _O_BINARY);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  // A run that ends in a fault or an exception no one catches takes its temporary files too.
  std::set_terminate([] {
    partFiles.RemoveAll();
    std::abort();
  });
  SetUnhandledExceptionFilter(OnFault);
  int status = kSorted;
  try {
    Options o;
    const int parsed = ParseOptions(args, o);
    status = parsed != 0 ? (parsed < 0 ? kSorted : parsed) : Run(o);
  } catch (const std::bad_alloc&) {
    status = OutOfMemory();
  } catch (const std::length_error&) {  // a table longer than a string or vector can be here
    status = OutOfMemory();
  }
  partFiles.RemoveAll();  // none is left on any way out
  return status;
}
